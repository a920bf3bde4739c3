// AVX2 block kernels: the eight queries of a block in two registers, four
// stored vectors at a time (eight accumulators in flight). Each step takes one
// element of every query, broadcasts the same element of a stored vector, and
// adds the term into that vector's accumulators, with the operands in the
// order the one-query AVX2 kernels use.
#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "metrics/kernels_block.hpp"
#include "metrics/kernel_terms.hpp"

namespace tessra {
namespace {

static_assert(kQueryLanes == 8, "two registers hold the queries of a block");
constexpr std::size_t kGroup = 4;  // stored vectors in flight

// The eight lanes of one stored vector.
struct Lanes {
    __m256d low, high;
};

// acc[g] lane j += term(query j element i, p[g][i]) for i in [begin, end), in element order.
template <Term T, std::size_t G>
inline void sweep(const double* columns, const double* const* p, std::size_t begin, std::size_t end, Lanes* acc) {
    for (std::size_t i = begin; i < end; ++i) {
        const __m256d q_low = T == Term::Square ? _mm256_setzero_pd() : _mm256_loadu_pd(columns + i * kQueryLanes);
        const __m256d q_high =
            T == Term::Square ? _mm256_setzero_pd() : _mm256_loadu_pd(columns + i * kQueryLanes + 4);
        for (std::size_t g = 0; g < G; ++g) {
            const __m256d v = _mm256_broadcast_sd(p[g] + i);
            acc[g].low = _mm256_add_pd(acc[g].low, term<T>(q_low, v));
            acc[g].high = _mm256_add_pd(acc[g].high, term<T>(q_high, v));
        }
    }
}

template <Term T>
inline void sweep_any(std::size_t g, const double* columns, const double* const* p, std::size_t begin,
                      std::size_t end, Lanes* acc) {
    switch (g) {
        case 1: sweep<T, 1>(columns, p, begin, end, acc); break;
        case 2: sweep<T, 2>(columns, p, begin, end, acc); break;
        case 3: sweep<T, 3>(columns, p, begin, end, acc); break;
        default: sweep<T, kGroup>(columns, p, begin, end, acc); break;
    }
}

inline Lanes zero() { return {_mm256_setzero_pd(), _mm256_setzero_pd()}; }

inline void store(double* out, const Lanes& lanes) {
    _mm256_storeu_pd(out, lanes.low);
    _mm256_storeu_pd(out + 4, lanes.high);
}

inline Lanes root(const Lanes& lanes) { return {_mm256_sqrt_pd(lanes.low), _mm256_sqrt_pd(lanes.high)}; }

void euclidean_block_avx2(const QueryBlockView& b, const double* const* stored, std::size_t count, double* out) {
    for (std::size_t s = 0; s < count; s += kGroup) {
        const std::size_t g = std::min(kGroup, count - s);
        Lanes acc[kGroup] = {zero(), zero(), zero(), zero()};
        sweep_any<Term::SquaredDifference>(g, b.columns, stored + s, 0, b.dim, acc);
        for (std::size_t i = 0; i < g; ++i) store(out + (s + i) * kQueryLanes, root(acc[i]));
    }
}

void dot_block_avx2(const QueryBlockView& b, const double* const* stored, std::size_t count, double* out) {
    for (std::size_t s = 0; s < count; s += kGroup) {
        const std::size_t g = std::min(kGroup, count - s);
        Lanes acc[kGroup] = {zero(), zero(), zero(), zero()};
        sweep_any<Term::Product>(g, b.columns, stored + s, 0, b.dim, acc);
        for (std::size_t i = 0; i < g; ++i) store(out + (s + i) * kQueryLanes, acc[i]);
    }
}

void cosine_block_avx2(const QueryBlockView& b, const double* const* stored, std::size_t count, double* out) {
    double norms_q[kQueryLanes] = {};
    for (std::size_t j = 0; j < b.lanes; ++j) norms_q[j] = std::sqrt(b.sum_sq[j]);
    const Lanes norm_q{_mm256_loadu_pd(norms_q), _mm256_loadu_pd(norms_q + 4)};
    for (std::size_t s = 0; s < count; s += kGroup) {
        const std::size_t g = std::min(kGroup, count - s);
        Lanes dot[kGroup] = {zero(), zero(), zero(), zero()};
        Lanes norm[kGroup] = {zero(), zero(), zero(), zero()};
        sweep_any<Term::Product>(g, b.columns, stored + s, 0, b.dim, dot);
        sweep_any<Term::Square>(g, nullptr, stored + s, 0, b.dim, norm);
        for (std::size_t i = 0; i < g; ++i) {
            const Lanes r = root(norm[i]);
            const __m256d low = _mm256_div_pd(dot[i].low, _mm256_mul_pd(norm_q.low, r.low));
            const __m256d high = _mm256_div_pd(dot[i].high, _mm256_mul_pd(norm_q.high, r.high));
            store(out + (s + i) * kQueryLanes, {low, high});
        }
    }
}

// As the AVX-512 variant: a stored vector whose partial distances reach the
// bound in every lane is dropped (all its lanes report +inf).
void euclidean_bounded_block_avx2(const QueryBlockView& b, const double* const* stored, std::size_t count,
                                  const double* bounds, double* out) {
    const Lanes limit{_mm256_loadu_pd(bounds), _mm256_loadu_pd(bounds + 4)};
    const __m256d infinity = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    for (std::size_t s = 0; s < count; s += kGroup) {
        std::size_t live = std::min(kGroup, count - s);
        const double* p[kGroup];
        std::size_t slot[kGroup];
        Lanes acc[kGroup];
        for (std::size_t i = 0; i < live; ++i) p[i] = stored[s + i], slot[i] = s + i, acc[i] = zero();
        for (std::size_t begin = 0; begin < b.dim && live > 0; begin += kBoundBlock) {
            const std::size_t end = std::min(b.dim, begin + kBoundBlock);
            sweep_any<Term::SquaredDifference>(live, b.columns, p, begin, end, acc);
            if (end == b.dim) break;
            for (std::size_t i = 0; i < live;) {
                const Lanes r = root(acc[i]);
                const int reached = _mm256_movemask_pd(_mm256_cmp_pd(r.low, limit.low, _CMP_GE_OQ)) |
                                    _mm256_movemask_pd(_mm256_cmp_pd(r.high, limit.high, _CMP_GE_OQ)) << 4;
                if (reached != 0xFF) {
                    ++i;
                    continue;
                }
                _mm256_storeu_pd(out + slot[i] * kQueryLanes, infinity);
                _mm256_storeu_pd(out + slot[i] * kQueryLanes + 4, infinity);
                --live;
                p[i] = p[live], slot[i] = slot[live], acc[i] = acc[live];
            }
        }
        for (std::size_t i = 0; i < live; ++i) store(out + slot[i] * kQueryLanes, root(acc[i]));
    }
}

}  // namespace

const BlockKernelSet kAvx2BlockKernels{"avx2", euclidean_block_avx2, dot_block_avx2, cosine_block_avx2,
                                       euclidean_bounded_block_avx2};

}  // namespace tessra
