// AVX2 kernels: four stored vectors per register, one lane (and one
// accumulator) per stored vector. Each block of four elements is loaded per
// vector, differenced or multiplied, transposed so that a register holds one
// element of four vectors, and added into the accumulators in element order.
#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "metrics/kernels.hpp"
#include "metrics/kernels_bounded.hpp"
#include "metrics/kernel_terms.hpp"

namespace tessra {
namespace {

constexpr std::size_t kLanes = 4;
constexpr std::size_t kMaxGroups = kBatch / kLanes;

// Rows r0..r3 (one per vector) become columns c0..c3 (one per element).
inline void transpose4(__m256d& r0, __m256d& r1, __m256d& r2, __m256d& r3) {
    const __m256d t0 = _mm256_unpacklo_pd(r0, r1);
    const __m256d t1 = _mm256_unpackhi_pd(r0, r1);
    const __m256d t2 = _mm256_unpacklo_pd(r2, r3);
    const __m256d t3 = _mm256_unpackhi_pd(r2, r3);
    r0 = _mm256_permute2f128_pd(t0, t2, 0x20);
    r1 = _mm256_permute2f128_pd(t1, t3, 0x20);
    r2 = _mm256_permute2f128_pd(t0, t2, 0x31);
    r3 = _mm256_permute2f128_pd(t1, t3, 0x31);
}

inline __m256d partial_mask(std::size_t valid) {
    const __m256i idx = _mm256_setr_epi64x(0, 1, 2, 3);
    return _mm256_castsi256_pd(_mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(valid)), idx));
}

// Adds the first `cols` columns into acc, in element order.
inline __m256d accumulate(__m256d acc, const __m256d& c0, const __m256d& c1, const __m256d& c2,
                          const __m256d& c3, std::size_t cols) {
    acc = _mm256_add_pd(acc, c0);
    if (cols > 1) acc = _mm256_add_pd(acc, c1);
    if (cols > 2) acc = _mm256_add_pd(acc, c2);
    if (cols > 3) acc = _mm256_add_pd(acc, c3);
    return acc;
}

// acc[g] lane j += sum over elements [begin, end) of term(q[i], p[4g + j][i]).
template <Term T, std::size_t Groups>
inline void sweep(const double* q, const double* const* p, std::size_t begin, std::size_t end,
                  __m256d* acc) {
    std::size_t i = begin;
    for (; i + kLanes <= end; i += kLanes) {
        const __m256d qv = T == Term::Square ? _mm256_setzero_pd() : _mm256_loadu_pd(q + i);
        for (std::size_t g = 0; g < Groups; ++g) {
            const double* const* v = p + g * kLanes;
            __m256d r0 = term<T>(qv, _mm256_loadu_pd(v[0] + i));
            __m256d r1 = term<T>(qv, _mm256_loadu_pd(v[1] + i));
            __m256d r2 = term<T>(qv, _mm256_loadu_pd(v[2] + i));
            __m256d r3 = term<T>(qv, _mm256_loadu_pd(v[3] + i));
            transpose4(r0, r1, r2, r3);
            acc[g] = accumulate(acc[g], r0, r1, r2, r3, kLanes);
        }
    }
    if (i < end) {
        const std::size_t rest = end - i;
        const __m256i mask = _mm256_castpd_si256(partial_mask(rest));
        const __m256d qv = T == Term::Square ? _mm256_setzero_pd() : _mm256_maskload_pd(q + i, mask);
        for (std::size_t g = 0; g < Groups; ++g) {
            const double* const* v = p + g * kLanes;
            __m256d r0 = term<T>(qv, _mm256_maskload_pd(v[0] + i, mask));
            __m256d r1 = term<T>(qv, _mm256_maskload_pd(v[1] + i, mask));
            __m256d r2 = term<T>(qv, _mm256_maskload_pd(v[2] + i, mask));
            __m256d r3 = term<T>(qv, _mm256_maskload_pd(v[3] + i, mask));
            transpose4(r0, r1, r2, r3);
            acc[g] = accumulate(acc[g], r0, r1, r2, r3, rest);
        }
    }
}

// Fills unused lanes with the first vector so every lane reads valid memory.
inline void pad(const double* const* stored, std::size_t count, const double** p) {
    for (std::size_t i = 0; i < kBatch; ++i) p[i] = stored[i < count ? i : 0];
}

template <std::size_t Groups>
void euclidean_groups(const QueryView& q, const double* const* p, std::size_t dim, double* out) {
    __m256d acc[Groups];
    for (auto& a : acc) a = _mm256_setzero_pd();
    sweep<Term::SquaredDifference, Groups>(q.data, p, 0, std::min(q.len, dim), acc);
    for (std::size_t g = 0; g < Groups; ++g) _mm256_storeu_pd(out + g * kLanes, _mm256_sqrt_pd(acc[g]));
}

template <std::size_t Groups>
void dot_groups(const QueryView& q, const double* const* p, std::size_t dim, double* out) {
    __m256d acc[Groups];
    for (auto& a : acc) a = _mm256_setzero_pd();
    sweep<Term::Product, Groups>(q.data, p, 0, std::min(q.len, dim), acc);
    for (std::size_t g = 0; g < Groups; ++g) _mm256_storeu_pd(out + g * kLanes, acc[g]);
}

template <std::size_t Groups>
void cosine_groups(const QueryView& q, const double* const* p, std::size_t dim, double* out) {
    __m256d dot[Groups], norm[Groups];
    for (std::size_t g = 0; g < Groups; ++g) dot[g] = norm[g] = _mm256_setzero_pd();
    sweep<Term::Product, Groups>(q.data, p, 0, std::min(q.len, dim), dot);
    sweep<Term::Square, Groups>(nullptr, p, 0, dim, norm);
    const __m256d norm_q = _mm256_set1_pd(std::sqrt(q.sum_sq));
    for (std::size_t g = 0; g < Groups; ++g) {
        const __m256d denom = _mm256_mul_pd(norm_q, _mm256_sqrt_pd(norm[g]));
        _mm256_storeu_pd(out + g * kLanes, _mm256_div_pd(dot[g], denom));
    }
}

#define TESSRA_GROUP_KERNEL(name, impl)                                                         \
    void name(const QueryView& q, const double* const* stored, std::size_t count,              \
              std::size_t dim, double* out) {                                                  \
        const double* p[kBatch];                                                               \
        pad(stored, count, p);                                                                 \
        double tmp[kBatch];                                                                    \
        switch ((count + kLanes - 1) / kLanes) {                                               \
            case 0: return;                                                                    \
            case 1: impl<1>(q, p, dim, tmp); break;                                            \
            case 2: impl<2>(q, p, dim, tmp); break;                                            \
            case 3: impl<3>(q, p, dim, tmp); break;                                            \
            default: impl<kMaxGroups>(q, p, dim, tmp); break;                                  \
        }                                                                                      \
        std::copy(tmp, tmp + count, out);                                                      \
    }

TESSRA_GROUP_KERNEL(euclidean_avx2, euclidean_groups)
TESSRA_GROUP_KERNEL(dot_avx2, dot_groups)
TESSRA_GROUP_KERNEL(cosine_avx2, cosine_groups)
#undef TESSRA_GROUP_KERNEL

template <std::size_t Groups>
void squared_differences(const double* q, const double* const* p, std::size_t begin, std::size_t end,
                         __m256d* acc) {
    sweep<Term::SquaredDifference, Groups>(q, p, begin, end, acc);
}

// Works through the vectors block by block; a group of four whose partial
// distances all reach the bound is dropped (its lanes report +inf) and the
// live groups are kept packed at the front.
void euclidean_bounded_avx2(const QueryView& q, const double* const* stored, std::size_t count,
                            std::size_t dim, double bound, double* out) {
    if (count == 0) return;
    const double* p[kBatch];
    pad(stored, count, p);
    double tmp[kBatch];
    std::size_t live = (count + kLanes - 1) / kLanes;
    std::size_t slot[kMaxGroups];
    __m256d acc[kMaxGroups];
    for (std::size_t g = 0; g < live; ++g) slot[g] = g, acc[g] = _mm256_setzero_pd();
    const __m256d limit = _mm256_set1_pd(squared_bound(bound));  // squares compared: no square root per check
    const std::size_t n = std::min(q.len, dim);
    for (std::size_t begin = 0; begin < n && live > 0; begin += kBoundBlock) {
        const std::size_t end = std::min(n, begin + kBoundBlock);
        switch (live) {
            case 1: squared_differences<1>(q.data, p, begin, end, acc); break;
            case 2: squared_differences<2>(q.data, p, begin, end, acc); break;
            case 3: squared_differences<3>(q.data, p, begin, end, acc); break;
            default: squared_differences<kMaxGroups>(q.data, p, begin, end, acc); break;
        }
        if (end == n) break;
        for (std::size_t g = 0; g < live;) {
            const __m256d reached = _mm256_cmp_pd(acc[g], limit, _CMP_GE_OQ);
            if (_mm256_movemask_pd(reached) != 0xF) {
                ++g;
                continue;
            }
            _mm256_storeu_pd(tmp + slot[g] * kLanes, _mm256_set1_pd(std::numeric_limits<double>::infinity()));
            --live;
            std::copy(p + live * kLanes, p + live * kLanes + kLanes, p + g * kLanes);
            acc[g] = acc[live];
            slot[g] = slot[live];
        }
    }
    for (std::size_t g = 0; g < live; ++g) _mm256_storeu_pd(tmp + slot[g] * kLanes, _mm256_sqrt_pd(acc[g]));
    std::copy(tmp, tmp + count, out);
}

}  // namespace

const KernelSet kAvx2Kernels{"avx2", euclidean_avx2, dot_avx2, cosine_avx2, euclidean_bounded_avx2};

}  // namespace tessra
