// AVX-512 code kernels: sixteen dimensions per register, one register per
// bank, in the lane order of code_kernels.hpp.
#include <immintrin.h>

#include "sketch/code_kernels.hpp"

namespace tessra {
namespace {

inline __m512 load_codes(const std::uint8_t* c) {
    return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c))));
}

inline float reduce(__m512 b0, __m512 b1, __m512 b2, __m512 b3) {
    const __m512 lanes = _mm512_add_ps(_mm512_add_ps(b0, b1), _mm512_add_ps(b2, b3));
    const __m256 low = _mm512_castps512_ps256(lanes);
    const __m256 high = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(lanes), 1));
    const __m256 r8 = _mm256_add_ps(low, high);
    const __m128 r4 = _mm_add_ps(_mm256_castps256_ps128(r8), _mm256_extractf128_ps(r8, 1));
    const __m128 r2 = _mm_add_ps(r4, _mm_movehl_ps(r4, r4));
    return _mm_cvtss_f32(_mm_add_ss(r2, _mm_shuffle_ps(r2, r2, 1)));
}

struct Gap {
    const float* u;
    const float* step;
    __m512 operator()(__m512 acc, const std::uint8_t* c, std::size_t j) const {
        const __m512 t = _mm512_sub_ps(_mm512_loadu_ps(u + j), _mm512_mul_ps(load_codes(c), _mm512_loadu_ps(step + j)));
        return _mm512_add_ps(acc, _mm512_mul_ps(t, t));
    }
};

struct Dot {
    const float* a;
    __m512 operator()(__m512 acc, const std::uint8_t* c, std::size_t j) const {
        return _mm512_add_ps(acc, _mm512_mul_ps(_mm512_loadu_ps(a + j), load_codes(c)));
    }
};

// The banks are named, not indexed, so they stay in registers.
template <typename Term>
float row_sum(const Term& term, const std::uint8_t* row, std::size_t dim) {
    __m512 b0 = _mm512_setzero_ps(), b1 = _mm512_setzero_ps(), b2 = _mm512_setzero_ps(), b3 = _mm512_setzero_ps();
    std::size_t j = 0;
    for (; j + 4 * kCodeLanes <= dim; j += 4 * kCodeLanes) {
        b0 = term(b0, row + j, j);
        b1 = term(b1, row + j + kCodeLanes, j + kCodeLanes);
        b2 = term(b2, row + j + 2 * kCodeLanes, j + 2 * kCodeLanes);
        b3 = term(b3, row + j + 3 * kCodeLanes, j + 3 * kCodeLanes);
    }
    // The last chunk may run past the row (into slack its owner keeps);
    // the query side is zero there, so those lanes add exact zeros.
    if (j < dim) b0 = term(b0, row + j, j);
    if (j + kCodeLanes < dim) b1 = term(b1, row + j + kCodeLanes, j + kCodeLanes);
    if (j + 2 * kCodeLanes < dim) b2 = term(b2, row + j + 2 * kCodeLanes, j + 2 * kCodeLanes);
    if (j + 3 * kCodeLanes < dim) b3 = term(b3, row + j + 3 * kCodeLanes, j + 3 * kCodeLanes);
    return reduce(b0, b1, b2, b3);
}

void gaps_avx512(const float* u, const float* step, const std::uint8_t* const* rows, std::size_t count,
                 std::size_t dim, float* out) {
    const Gap term{u, step};
    for (std::size_t i = 0; i < count; ++i) out[i] = row_sum(term, rows[i], dim);
}

void dots_avx512(const float* a, const std::uint8_t* const* rows, std::size_t count, std::size_t dim, float* out) {
    const Dot term{a};
    for (std::size_t i = 0; i < count; ++i) out[i] = row_sum(term, rows[i], dim);
}

// Thirty-two codes at a time, widened to 16 bits and multiplied in pairs
// into sixteen 32-bit lanes; the last (up to 31) dimensions in chunks of
// sixteen, so no chunk reads more than 15 bytes past the row.
void weights_avx512(const std::int16_t* w, const std::uint8_t* const* rows, std::size_t count, std::size_t dim,
                    std::int64_t* out) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* row = rows[i];
        __m512i acc = _mm512_setzero_si512();
        std::size_t j = 0;
        for (; j + 2 * kCodeLanes <= dim; j += 2 * kCodeLanes) {
            const __m512i codes = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j)));
            acc = _mm512_add_epi32(acc, _mm512_madd_epi16(codes, _mm512_loadu_si512(w + j)));
        }
        __m256i tail = _mm256_setzero_si256();
        for (; j < dim; j += kCodeLanes) {
            const __m256i codes = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j)));
            tail = _mm256_add_epi32(tail, _mm256_madd_epi16(codes, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + j))));
        }
        // Lanes widened to 64 bits before they are added: their sum may pass 2^31.
        const __m512i wide = _mm512_add_epi64(
            _mm512_add_epi64(_mm512_cvtepi32_epi64(_mm512_castsi512_si256(acc)),
                             _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(acc, 1))),
            _mm512_cvtepi32_epi64(tail));
        out[i] = _mm512_reduce_add_epi64(wide);
    }
}

}  // namespace

const CodeKernels kAvx512CodeKernels{"avx512", gaps_avx512, dots_avx512, weights_avx512};

}  // namespace tessra
