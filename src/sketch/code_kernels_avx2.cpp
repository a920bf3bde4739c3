// AVX2 code kernels: eight dimensions per register, two registers per bank,
// in the lane order of code_kernels.hpp.
#include <immintrin.h>

#include "sketch/code_kernels.hpp"

namespace tessra {
namespace {

// Lanes 0-7 and 8-15 of a chunk of sixteen codes, as floats.
inline void load_codes(const std::uint8_t* c, __m256& low, __m256& high) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c));
    low = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
    high = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(bytes, 8)));
}

struct Bank {
    __m256 low = _mm256_setzero_ps();
    __m256 high = _mm256_setzero_ps();
};

inline float reduce(const Bank* b) {
    const __m256 low = _mm256_add_ps(_mm256_add_ps(b[0].low, b[1].low), _mm256_add_ps(b[2].low, b[3].low));
    const __m256 high = _mm256_add_ps(_mm256_add_ps(b[0].high, b[1].high), _mm256_add_ps(b[2].high, b[3].high));
    const __m256 r8 = _mm256_add_ps(low, high);
    const __m128 r4 = _mm_add_ps(_mm256_castps256_ps128(r8), _mm256_extractf128_ps(r8, 1));
    const __m128 r2 = _mm_add_ps(r4, _mm_movehl_ps(r4, r4));
    return _mm_cvtss_f32(_mm_add_ss(r2, _mm_shuffle_ps(r2, r2, 1)));
}

struct Gap {
    const float* u;
    const float* step;
    void operator()(Bank& b, const std::uint8_t* c, std::size_t j) const {
        __m256 low, high;
        load_codes(c, low, high);
        const __m256 t0 = _mm256_sub_ps(_mm256_loadu_ps(u + j), _mm256_mul_ps(low, _mm256_loadu_ps(step + j)));
        const __m256 t1 = _mm256_sub_ps(_mm256_loadu_ps(u + j + 8), _mm256_mul_ps(high, _mm256_loadu_ps(step + j + 8)));
        b.low = _mm256_add_ps(b.low, _mm256_mul_ps(t0, t0));
        b.high = _mm256_add_ps(b.high, _mm256_mul_ps(t1, t1));
    }
};

struct Dot {
    const float* a;
    void operator()(Bank& b, const std::uint8_t* c, std::size_t j) const {
        __m256 low, high;
        load_codes(c, low, high);
        b.low = _mm256_add_ps(b.low, _mm256_mul_ps(_mm256_loadu_ps(a + j), low));
        b.high = _mm256_add_ps(b.high, _mm256_mul_ps(_mm256_loadu_ps(a + j + 8), high));
    }
};

// As in the AVX-512 file: banks in registers, the last chunk read in full.
template <typename Term>
float row_sum(const Term& term, const std::uint8_t* row, std::size_t dim) {
    Bank b[4];
    std::size_t j = 0;
    for (; j + 4 * kCodeLanes <= dim; j += 4 * kCodeLanes) {
        term(b[0], row + j, j);
        term(b[1], row + j + kCodeLanes, j + kCodeLanes);
        term(b[2], row + j + 2 * kCodeLanes, j + 2 * kCodeLanes);
        term(b[3], row + j + 3 * kCodeLanes, j + 3 * kCodeLanes);
    }
    // The last chunk may run past the row (into slack its owner keeps);
    // the query side is zero there, so those lanes add exact zeros.
    if (j < dim) term(b[0], row + j, j);
    if (j + kCodeLanes < dim) term(b[1], row + j + kCodeLanes, j + kCodeLanes);
    if (j + 2 * kCodeLanes < dim) term(b[2], row + j + 2 * kCodeLanes, j + 2 * kCodeLanes);
    if (j + 3 * kCodeLanes < dim) term(b[3], row + j + 3 * kCodeLanes, j + 3 * kCodeLanes);
    return reduce(b);
}

void gaps_avx2(const float* u, const float* step, const std::uint8_t* const* rows, std::size_t count,
               std::size_t dim, float* out) {
    const Gap term{u, step};
    for (std::size_t i = 0; i < count; ++i) out[i] = row_sum(term, rows[i], dim);
}

void dots_avx2(const float* a, const std::uint8_t* const* rows, std::size_t count, std::size_t dim, float* out) {
    const Dot term{a};
    for (std::size_t i = 0; i < count; ++i) out[i] = row_sum(term, rows[i], dim);
}

// Sixteen codes at a time, widened to 16 bits and multiplied in pairs
// (vpmaddwd) into eight 32-bit lanes. A chunk at j < dim reads at most 15
// bytes past the row, which its owner keeps readable; weights past dim are 0.
void weights_avx2(const std::int16_t* w, const std::uint8_t* const* rows, std::size_t count, std::size_t dim,
                  std::int64_t* out) {
    for (std::size_t i = 0; i < count; ++i) {
        __m256i acc = _mm256_setzero_si256();
        for (std::size_t j = 0; j < dim; j += kCodeLanes) {
            const __m256i codes =
                _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[i] + j)));
            const __m256i weights = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + j));
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(codes, weights));
        }
        alignas(32) std::int32_t lanes[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
        std::int64_t sum = 0;
        for (const std::int32_t lane : lanes) sum += lane;
        out[i] = sum;
    }
}

}  // namespace

const CodeKernels kAvx2CodeKernels{"avx2", gaps_avx2, dots_avx2, weights_avx2};

}  // namespace tessra
