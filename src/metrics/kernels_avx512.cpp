// AVX-512 kernels: eight stored vectors per register, one lane (and one
// accumulator) per stored vector, additions in element order. Each 8x8 block
// is transposed with 24 shuffles, the least two-source shuffles can do.
#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "metrics/kernels.hpp"
#include "metrics/kernels_bounded.hpp"
#include "metrics/kernel_terms.hpp"

namespace tessra {
namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kMaxGroups = kBatch / kLanes;

// Forced inline: as a call, the transpose passes every register through
// memory (measured: a quarter of a graph search's time spent in it alone).
#define TESSRA_INLINE inline __attribute__((always_inline))

// rows[j] holds elements i..i+7 of vector j; afterwards cols[k] holds element
// i+k of vectors 0..7. Three rounds of eight two-source shuffles: pairs of
// rows, then pairs of 128-bit lanes, then halves.
TESSRA_INLINE void transpose8(const __m512d* rows, __m512d* cols) {
    // t[2p] = (r[2p][0], r[2p+1][0], r[2p][2], r[2p+1][2], ...), t[2p+1] the odd elements.
    __m512d t[8];
#pragma GCC unroll 4
    for (int p = 0; p < 4; ++p) {
        t[2 * p] = _mm512_unpacklo_pd(rows[2 * p], rows[2 * p + 1]);
        t[2 * p + 1] = _mm512_unpackhi_pd(rows[2 * p], rows[2 * p + 1]);
    }
    // u: elements e and e + 4 of four rows, for e = 0, 2 (from the even
    // pairs) and 1, 3 (from the odd pairs), rows 0-3 and rows 4-7.
    const __m512i low_pairs = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
    const __m512i high_pairs = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
    __m512d u[8];
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
        const int r = 4 * h;  // t index of the row group's first pair
        u[4 * h + 0] = _mm512_permutex2var_pd(t[r], low_pairs, t[r + 2]);       // element 0 | 4
        u[4 * h + 1] = _mm512_permutex2var_pd(t[r + 1], low_pairs, t[r + 3]);   // element 1 | 5
        u[4 * h + 2] = _mm512_permutex2var_pd(t[r], high_pairs, t[r + 2]);      // element 2 | 6
        u[4 * h + 3] = _mm512_permutex2var_pd(t[r + 1], high_pairs, t[r + 3]);  // element 3 | 7
    }
    // Element e of rows 0-3 and 4-7 side by side: the low halves give e, the high halves e + 4.
#pragma GCC unroll 4
    for (int e = 0; e < 4; ++e) {
        cols[e] = _mm512_shuffle_f64x2(u[e], u[4 + e], 0x44);
        cols[e + 4] = _mm512_shuffle_f64x2(u[e], u[4 + e], 0xEE);
    }
}

// acc[g] lane j += sum over elements [begin, end) of term(q[i], p[8g + j][i]), in element order.
// Whole blocks of eight elements take a path with fixed trip counts, so the
// rows and columns stay in registers; the last partial block is masked.
template <Term T, std::size_t Groups>
inline void sweep(const double* q, const double* const* p, std::size_t begin, std::size_t end, __m512d* acc) {
    std::size_t i = begin;
    for (; i + kLanes <= end; i += kLanes) {
        const __m512d qv = T == Term::Square ? _mm512_setzero_pd() : _mm512_loadu_pd(q + i);
        for (std::size_t g = 0; g < Groups; ++g) {
            const double* const* v = p + g * kLanes;
            __m512d rows[kLanes], columns[kLanes];
#pragma GCC unroll 8
            for (std::size_t j = 0; j < kLanes; ++j) rows[j] = term<T>(qv, _mm512_loadu_pd(v[j] + i));
            transpose8(rows, columns);
#pragma GCC unroll 8
            for (std::size_t k = 0; k < kLanes; ++k) acc[g] = _mm512_add_pd(acc[g], columns[k]);
        }
    }
    if (i == end) return;
    const std::size_t cols = end - i;
    const __mmask8 mask = static_cast<__mmask8>((1u << cols) - 1u);
    const __m512d qv = T == Term::Square ? _mm512_setzero_pd() : _mm512_maskz_loadu_pd(mask, q + i);
    for (std::size_t g = 0; g < Groups; ++g) {
        const double* const* v = p + g * kLanes;
        __m512d rows[kLanes], columns[kLanes];
#pragma GCC unroll 8
        for (std::size_t j = 0; j < kLanes; ++j) rows[j] = term<T>(qv, _mm512_maskz_loadu_pd(mask, v[j] + i));
        transpose8(rows, columns);
        for (std::size_t k = 0; k < cols; ++k) acc[g] = _mm512_add_pd(acc[g], columns[k]);
    }
}

inline void pad(const double* const* stored, std::size_t count, const double** p) {
    for (std::size_t i = 0; i < kBatch; ++i) p[i] = stored[i < count ? i : 0];
}

template <std::size_t Groups>
void euclidean_groups(const QueryView& q, const double* const* p, std::size_t dim, double* out) {
    __m512d acc[Groups];
    for (auto& a : acc) a = _mm512_setzero_pd();
    sweep<Term::SquaredDifference, Groups>(q.data, p, 0, std::min(q.len, dim), acc);
    for (std::size_t g = 0; g < Groups; ++g) _mm512_storeu_pd(out + g * kLanes, _mm512_sqrt_pd(acc[g]));
}

template <std::size_t Groups>
void dot_groups(const QueryView& q, const double* const* p, std::size_t dim, double* out) {
    __m512d acc[Groups];
    for (auto& a : acc) a = _mm512_setzero_pd();
    sweep<Term::Product, Groups>(q.data, p, 0, std::min(q.len, dim), acc);
    for (std::size_t g = 0; g < Groups; ++g) _mm512_storeu_pd(out + g * kLanes, acc[g]);
}

template <std::size_t Groups>
void cosine_groups(const QueryView& q, const double* const* p, std::size_t dim, double* out) {
    __m512d dot[Groups], norm[Groups];
    for (std::size_t g = 0; g < Groups; ++g) dot[g] = norm[g] = _mm512_setzero_pd();
    sweep<Term::Product, Groups>(q.data, p, 0, std::min(q.len, dim), dot);
    sweep<Term::Square, Groups>(nullptr, p, 0, dim, norm);
    const __m512d norm_q = _mm512_set1_pd(std::sqrt(q.sum_sq));
    for (std::size_t g = 0; g < Groups; ++g) {
        const __m512d denom = _mm512_mul_pd(norm_q, _mm512_sqrt_pd(norm[g]));
        _mm512_storeu_pd(out + g * kLanes, _mm512_div_pd(dot[g], denom));
    }
}

#define TESSRA_GROUP_KERNEL(name, impl)                                                  \
    void name(const QueryView& q, const double* const* stored, std::size_t count,       \
              std::size_t dim, double* out) {                                           \
        if (count == 0) return;                                                         \
        const double* p[kBatch];                                                        \
        pad(stored, count, p);                                                          \
        double tmp[kBatch];                                                             \
        if (count <= kLanes) impl<1>(q, p, dim, tmp);                                   \
        else impl<kMaxGroups>(q, p, dim, tmp);                                          \
        std::copy(tmp, tmp + count, out);                                               \
    }

TESSRA_GROUP_KERNEL(euclidean_avx512, euclidean_groups)
TESSRA_GROUP_KERNEL(dot_avx512, dot_groups)
TESSRA_GROUP_KERNEL(cosine_avx512, cosine_groups)
#undef TESSRA_GROUP_KERNEL

// A group of eight whose partial sums all reach the bound is dropped (its
// lanes report +inf); live groups stay packed in front. Once at most two
// lanes of a group are live, they are finished one at a time in plain code,
// so a group does not keep eight lanes busy for one straggler.
void euclidean_bounded_avx512(const QueryView& q, const double* const* stored, std::size_t count,
                              std::size_t dim, double bound, double* out) {
    if (count == 0) return;
    const double* p[kBatch];
    pad(stored, count, p);
    double tmp[kBatch];
    std::size_t live = (count + kLanes - 1) / kLanes;
    std::size_t slot[kMaxGroups];
    __m512d acc[kMaxGroups];
    for (std::size_t g = 0; g < live; ++g) slot[g] = g, acc[g] = _mm512_setzero_pd();
    const double limit = squared_bound(bound);
    const __m512d limit_v = _mm512_set1_pd(limit);
    const std::size_t n = std::min(q.len, dim);
    for (std::size_t begin = 0; begin < n && live > 0; begin += kBoundBlock) {
        const std::size_t end = std::min(n, begin + kBoundBlock);
        if (live == 1) sweep<Term::SquaredDifference, 1>(q.data, p, begin, end, acc);
        else sweep<Term::SquaredDifference, kMaxGroups>(q.data, p, begin, end, acc);
        if (end == n) break;
        for (std::size_t g = 0; g < live;) {
            // Padding lanes (beyond count) count as done.
            const std::size_t first = slot[g] * kLanes;
            const unsigned real = first + kLanes <= count ? 0xFFu : (1u << (count - first)) - 1u;
            const unsigned done = (_mm512_cmp_pd_mask(acc[g], limit_v, _CMP_GE_OQ) | ~real) & 0xFFu;
            if (__builtin_popcount(~done & 0xFFu) > 2) {
                ++g;
                continue;
            }
            double sums[kLanes];
            _mm512_storeu_pd(sums, acc[g]);
            for (std::size_t j = 0; j < kLanes; ++j)
                if (real >> j & 1u)
                    tmp[first + j] = (done >> j & 1u) ? std::numeric_limits<double>::infinity()
                                                      : finish_bounded(q.data, p[g * kLanes + j], end, n, sums[j], limit);
            --live;
            std::copy(p + live * kLanes, p + live * kLanes + kLanes, p + g * kLanes);
            acc[g] = acc[live];
            slot[g] = slot[live];
        }
    }
    for (std::size_t g = 0; g < live; ++g) _mm512_storeu_pd(tmp + slot[g] * kLanes, _mm512_sqrt_pd(acc[g]));
    std::copy(tmp, tmp + count, out);
}

}  // namespace

const KernelSet kAvx512Kernels{"avx512", euclidean_avx512, dot_avx512, cosine_avx512, euclidean_bounded_avx512};

}  // namespace tessra
