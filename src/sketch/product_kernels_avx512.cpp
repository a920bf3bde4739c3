// AVX-512 product kernels: stored rows across the lanes of a register, the
// eight queries' coordinates broadcast, sixteen accumulators in flight.
#include <immintrin.h>

#include "sketch/product_kernels.hpp"

namespace tessra {
namespace {

struct Floats {
    using T = float;
    using V = __m512;
    static constexpr std::size_t kWidth = 16;
    static V zero() { return _mm512_setzero_ps(); }
    static V load(const T* p) { return _mm512_loadu_ps(p); }
    static V broadcast(T x) { return _mm512_set1_ps(x); }
    static V fma(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
    static void store(T* p, V v) { _mm512_storeu_ps(p, v); }
};

struct Doubles {
    using T = double;
    using V = __m512d;
    static constexpr std::size_t kWidth = 8;
    static V zero() { return _mm512_setzero_pd(); }
    static V load(const T* p) { return _mm512_loadu_pd(p); }
    static V broadcast(T x) { return _mm512_set1_pd(x); }
    static V fma(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }
    static void store(T* p, V v) { _mm512_storeu_pd(p, v); }
};

// Columns [first, first + Vectors * width) for every query.
template <typename S, std::size_t Vectors>
inline void chunk(const typename S::T* z, std::size_t rank, const typename S::T* panel, std::size_t first,
                  typename S::T* out) {
    typename S::V acc[kBoundLanes][Vectors];
    for (auto& lane : acc)
        for (auto& a : lane) a = S::zero();
    for (std::size_t k = 0; k < rank; ++k) {
        typename S::V x[Vectors];
        for (std::size_t v = 0; v < Vectors; ++v) x[v] = S::load(panel + k * kProductPanel + first + v * S::kWidth);
        for (std::size_t j = 0; j < kBoundLanes; ++j) {
            const typename S::V q = S::broadcast(z[j * rank + k]);
            for (std::size_t v = 0; v < Vectors; ++v) acc[j][v] = S::fma(q, x[v], acc[j][v]);
        }
    }
    for (std::size_t j = 0; j < kBoundLanes; ++j)
        for (std::size_t v = 0; v < Vectors; ++v) S::store(out + j * kProductPanel + first + v * S::kWidth, acc[j][v]);
}

template <typename S>
void product(const typename S::T* z, std::size_t rank, const typename S::T* panel, std::size_t count,
             typename S::T* out) {
    constexpr std::size_t kPair = 2 * S::kWidth;
    const std::size_t columns = padded_columns(count);
    std::size_t first = 0;
    for (; first + kPair <= columns; first += kPair) chunk<S, 2>(z, rank, panel, first, out);
    for (; first < columns; first += S::kWidth) chunk<S, 1>(z, rank, panel, first, out);
}

void floats_avx512(const float* z, std::size_t rank, const float* panel, std::size_t count, float* out) {
    product<Floats>(z, rank, panel, count, out);
}

void doubles_avx512(const double* z, std::size_t rank, const double* panel, std::size_t count, double* out) {
    product<Doubles>(z, rank, panel, count, out);
}

}  // namespace

const ProductKernels kAvx512ProductKernels{"avx512", floats_avx512, doubles_avx512};

}  // namespace tessra
