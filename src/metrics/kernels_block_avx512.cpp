// AVX-512 block kernels: the eight queries of a block in one register, eight
// stored vectors at a time (eight accumulators in flight). Each step takes one
// element of every query, broadcasts the same element of a stored vector, and
// adds the term into that vector's accumulator, with the operands in the order
// the one-query AVX-512 kernels use.
#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "metrics/kernels_block.hpp"
#include "metrics/kernel_terms.hpp"

namespace tessra {
namespace {

static_assert(kQueryLanes == 8, "one register holds the queries of a block");
constexpr std::size_t kGroup = 8;  // stored vectors in flight

// q - v computed as v * -1 + q: the product is exact, so the one rounding
// gives q - v exactly (as a number; a NaN operand may come out as another
// NaN). It runs on the multiply units, which a plain difference leaves idle
// while the adders take both the difference and the sum.
inline __m512d fused_difference(__m512d q, __m512d v) { return _mm512_fmadd_pd(v, _mm512_set1_pd(-1.0), q); }

// acc[g] lane j += term(query j element i, p[g][i]) for i in [begin, end), in element order.
template <Term T, std::size_t G>
inline void sweep(const double* columns, const double* const* p, std::size_t begin, std::size_t end, __m512d* acc) {
    std::size_t i = begin;
    if constexpr (T == Term::SquaredDifference) {
        // Every other element takes its difference on the multiply units.
        for (; i + 2 <= end; i += 2) {
            const __m512d q0 = _mm512_loadu_pd(columns + i * kQueryLanes);
            const __m512d q1 = _mm512_loadu_pd(columns + (i + 1) * kQueryLanes);
            for (std::size_t g = 0; g < G; ++g) {
                const __m512d d0 = _mm512_sub_pd(q0, _mm512_set1_pd(p[g][i]));
                const __m512d d1 = fused_difference(q1, _mm512_set1_pd(p[g][i + 1]));
                acc[g] = _mm512_add_pd(acc[g], _mm512_mul_pd(d0, d0));
                acc[g] = _mm512_add_pd(acc[g], _mm512_mul_pd(d1, d1));
            }
        }
    }
    for (; i < end; ++i) {
        const __m512d q = T == Term::Square ? _mm512_setzero_pd() : _mm512_loadu_pd(columns + i * kQueryLanes);
        for (std::size_t g = 0; g < G; ++g) acc[g] = _mm512_add_pd(acc[g], term<T>(q, _mm512_set1_pd(p[g][i])));
    }
}

template <Term T>
inline void sweep_any(std::size_t g, const double* columns, const double* const* p, std::size_t begin,
                      std::size_t end, __m512d* acc) {
    switch (g) {
        case 1: sweep<T, 1>(columns, p, begin, end, acc); break;
        case 2: sweep<T, 2>(columns, p, begin, end, acc); break;
        case 3: sweep<T, 3>(columns, p, begin, end, acc); break;
        case 4: sweep<T, 4>(columns, p, begin, end, acc); break;
        case 5: sweep<T, 5>(columns, p, begin, end, acc); break;
        case 6: sweep<T, 6>(columns, p, begin, end, acc); break;
        case 7: sweep<T, 7>(columns, p, begin, end, acc); break;
        default: sweep<T, kGroup>(columns, p, begin, end, acc); break;
    }
}

void euclidean_block_avx512(const QueryBlockView& b, const double* const* stored, std::size_t count, double* out) {
    for (std::size_t s = 0; s < count; s += kGroup) {
        const std::size_t g = std::min(kGroup, count - s);
        __m512d acc[kGroup];
        for (auto& a : acc) a = _mm512_setzero_pd();
        sweep_any<Term::SquaredDifference>(g, b.columns, stored + s, 0, b.dim, acc);
        for (std::size_t i = 0; i < g; ++i) _mm512_storeu_pd(out + (s + i) * kQueryLanes, _mm512_sqrt_pd(acc[i]));
    }
}

void dot_block_avx512(const QueryBlockView& b, const double* const* stored, std::size_t count, double* out) {
    for (std::size_t s = 0; s < count; s += kGroup) {
        const std::size_t g = std::min(kGroup, count - s);
        __m512d acc[kGroup];
        for (auto& a : acc) a = _mm512_setzero_pd();
        sweep_any<Term::Product>(g, b.columns, stored + s, 0, b.dim, acc);
        for (std::size_t i = 0; i < g; ++i) _mm512_storeu_pd(out + (s + i) * kQueryLanes, acc[i]);
    }
}

void cosine_block_avx512(const QueryBlockView& b, const double* const* stored, std::size_t count, double* out) {
    alignas(64) double norms_q[kQueryLanes] = {};
    for (std::size_t j = 0; j < b.lanes; ++j) norms_q[j] = std::sqrt(b.sum_sq[j]);
    const __m512d norm_q = _mm512_loadu_pd(norms_q);
    for (std::size_t s = 0; s < count; s += kGroup) {
        const std::size_t g = std::min(kGroup, count - s);
        __m512d dot[kGroup], norm[kGroup];
        for (std::size_t i = 0; i < kGroup; ++i) dot[i] = norm[i] = _mm512_setzero_pd();
        sweep_any<Term::Product>(g, b.columns, stored + s, 0, b.dim, dot);
        sweep_any<Term::Square>(g, nullptr, stored + s, 0, b.dim, norm);
        for (std::size_t i = 0; i < g; ++i) {
            const __m512d denom = _mm512_mul_pd(norm_q, _mm512_sqrt_pd(norm[i]));
            _mm512_storeu_pd(out + (s + i) * kQueryLanes, _mm512_div_pd(dot[i], denom));
        }
    }
}

// Element block by element block; a stored vector whose partial distances
// reach the bound in every lane is dropped (all its lanes report +inf) and
// the live vectors stay packed at the front.
void euclidean_bounded_block_avx512(const QueryBlockView& b, const double* const* stored, std::size_t count,
                                    const double* bounds, double* out) {
    const __m512d limit = _mm512_loadu_pd(bounds);
    const __m512d infinity = _mm512_set1_pd(std::numeric_limits<double>::infinity());
    for (std::size_t s = 0; s < count; s += kGroup) {
        std::size_t live = std::min(kGroup, count - s);
        const double* p[kGroup];
        std::size_t slot[kGroup];
        __m512d acc[kGroup];
        for (std::size_t i = 0; i < live; ++i) p[i] = stored[s + i], slot[i] = s + i, acc[i] = _mm512_setzero_pd();
        for (std::size_t begin = 0; begin < b.dim && live > 0; begin += kBoundBlock) {
            const std::size_t end = std::min(b.dim, begin + kBoundBlock);
            sweep_any<Term::SquaredDifference>(live, b.columns, p, begin, end, acc);
            if (end == b.dim) break;
            for (std::size_t i = 0; i < live;) {
                if (_mm512_cmp_pd_mask(_mm512_sqrt_pd(acc[i]), limit, _CMP_GE_OQ) != 0xFF) {
                    ++i;
                    continue;
                }
                _mm512_storeu_pd(out + slot[i] * kQueryLanes, infinity);
                --live;
                p[i] = p[live], slot[i] = slot[live], acc[i] = acc[live];
            }
        }
        for (std::size_t i = 0; i < live; ++i) _mm512_storeu_pd(out + slot[i] * kQueryLanes, _mm512_sqrt_pd(acc[i]));
    }
}

}  // namespace

const BlockKernelSet kAvx512BlockKernels{"avx512", euclidean_block_avx512, dot_block_avx512, cosine_block_avx512,
                                         euclidean_bounded_block_avx512};

}  // namespace tessra
