// AVX2 product kernels (with FMA): stored rows across the lanes of a
// register, four queries at a time, eight accumulators in flight.
#include <immintrin.h>

#include "sketch/product_kernels.hpp"

namespace tessra {
namespace {

struct Floats {
    using T = float;
    using V = __m256;
    static constexpr std::size_t kWidth = 8;
    static V zero() { return _mm256_setzero_ps(); }
    static V load(const T* p) { return _mm256_loadu_ps(p); }
    static V broadcast(T x) { return _mm256_set1_ps(x); }
    static V fma(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
    static void store(T* p, V v) { _mm256_storeu_ps(p, v); }
};

struct Doubles {
    using T = double;
    using V = __m256d;
    static constexpr std::size_t kWidth = 4;
    static V zero() { return _mm256_setzero_pd(); }
    static V load(const T* p) { return _mm256_loadu_pd(p); }
    static V broadcast(T x) { return _mm256_set1_pd(x); }
    static V fma(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
    static void store(T* p, V v) { _mm256_storeu_pd(p, v); }
};

constexpr std::size_t kLanesPerPass = 4;
constexpr std::size_t kVectors = 2;

// Queries [lane, lane + 4), columns [first, first + 2 * width).
template <typename S>
inline void chunk(const typename S::T* z, std::size_t rank, const typename S::T* panel, std::size_t lane,
                  std::size_t first, typename S::T* out) {
    typename S::V acc[kLanesPerPass][kVectors];
    for (auto& row : acc)
        for (auto& a : row) a = S::zero();
    for (std::size_t k = 0; k < rank; ++k) {
        typename S::V x[kVectors];
        for (std::size_t v = 0; v < kVectors; ++v) x[v] = S::load(panel + k * kProductPanel + first + v * S::kWidth);
        for (std::size_t j = 0; j < kLanesPerPass; ++j) {
            const typename S::V q = S::broadcast(z[(lane + j) * rank + k]);
            for (std::size_t v = 0; v < kVectors; ++v) acc[j][v] = S::fma(q, x[v], acc[j][v]);
        }
    }
    for (std::size_t j = 0; j < kLanesPerPass; ++j)
        for (std::size_t v = 0; v < kVectors; ++v)
            S::store(out + (lane + j) * kProductPanel + first + v * S::kWidth, acc[j][v]);
}

template <typename S>
void product(const typename S::T* z, std::size_t rank, const typename S::T* panel, std::size_t count,
             typename S::T* out) {
    static_assert(kProductGranule % (kVectors * S::kWidth) == 0, "a granule is whole chunks");
    const std::size_t columns = padded_columns(count);
    for (std::size_t first = 0; first < columns; first += kVectors * S::kWidth)
        for (std::size_t lane = 0; lane < kBoundLanes; lane += kLanesPerPass) chunk<S>(z, rank, panel, lane, first, out);
}

void floats_avx2(const float* z, std::size_t rank, const float* panel, std::size_t count, float* out) {
    product<Floats>(z, rank, panel, count, out);
}

void doubles_avx2(const double* z, std::size_t rank, const double* panel, std::size_t count, double* out) {
    product<Doubles>(z, rank, panel, count, out);
}

}  // namespace

const ProductKernels kAvx2ProductKernels{"avx2", floats_avx2, doubles_avx2};

}  // namespace tessra
