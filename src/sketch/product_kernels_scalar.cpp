// Portable product kernels, and the choice of a set by CPU features.
#include <cmath>

#include "sketch/product_kernels.hpp"

namespace tessra {
namespace {

template <typename T>
void product_scalar(const T* z, std::size_t rank, const T* panel, std::size_t count, T* out) {
    const std::size_t columns = padded_columns(count);
    for (std::size_t j = 0; j < kBoundLanes; ++j)
        for (std::size_t i = 0; i < columns; ++i) {
            T acc = 0;
            for (std::size_t k = 0; k < rank; ++k) acc = std::fma(z[j * rank + k], panel[k * kProductPanel + i], acc);
            out[j * kProductPanel + i] = acc;
        }
}

void floats_scalar(const float* z, std::size_t rank, const float* panel, std::size_t count, float* out) {
    product_scalar(z, rank, panel, count, out);
}

void doubles_scalar(const double* z, std::size_t rank, const double* panel, std::size_t count, double* out) {
    product_scalar(z, rank, panel, count, out);
}

}  // namespace

const ProductKernels kScalarProductKernels{"scalar", floats_scalar, doubles_scalar};

std::vector<const ProductKernels*> supported_product_kernels() {
    std::vector<const ProductKernels*> sets{&kScalarProductKernels};
#if defined(TESSRA_X86) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) sets.push_back(&kAvx2ProductKernels);
    if (__builtin_cpu_supports("avx512f")) sets.push_back(&kAvx512ProductKernels);
#endif
    return sets;
}

const ProductKernels& active_product_kernels() {
    static const ProductKernels* best = supported_product_kernels().back();
    return *best;
}

}  // namespace tessra
