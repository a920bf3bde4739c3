// Product kernels: the sketch rows of a group of queries against a panel of
// stored sketch rows, every pair's dot product at once, as in a matrix
// product. They feed a bound only, never a returned value, so they may use
// fused multiply-adds; still every variant takes the same steps, so each
// result is bit-identical to the plain loop of product_kernels_scalar.cpp:
// per pair one accumulator, starting at zero, and one fused multiply-add per
// axis in axis order.
#pragma once

#include <cstddef>
#include <vector>

namespace tessra {

// Queries per call: the lanes of a query group of the batched scan.
constexpr std::size_t kBoundLanes = 8;
// Stored rows per panel, and the granule a kernel works in: a call computes
// whole granules, reading panel columns up to the next multiple of
// kProductGranule past `count` (whoever owns the panel keeps them readable).
constexpr std::size_t kProductPanel = 64;
constexpr std::size_t kProductGranule = 16;
constexpr std::size_t padded_columns(std::size_t count) {
    return (count + kProductGranule - 1) / kProductGranule * kProductGranule;
}

// out[j * kProductPanel + i] = sum over k < rank of z[j * rank + k] * panel[k * kProductPanel + i]
// for every query j < kBoundLanes and stored row i < padded_columns(count) <= kProductPanel.
using FloatProductKernel = void (*)(const float* z, std::size_t rank, const float* panel, std::size_t count,
                                    float* out);
using DoubleProductKernel = void (*)(const double* z, std::size_t rank, const double* panel, std::size_t count,
                                     double* out);

struct ProductKernels {
    const char* name;
    FloatProductKernel floats;
    DoubleProductKernel doubles;
};

extern const ProductKernels kScalarProductKernels;
#if defined(TESSRA_X86)
extern const ProductKernels kAvx2ProductKernels;
extern const ProductKernels kAvx512ProductKernels;
#endif

// The fastest set this CPU runs, chosen once by CPU features.
const ProductKernels& active_product_kernels();
// Every set compiled in that this CPU runs, plain scalar first.
std::vector<const ProductKernels*> supported_product_kernels();

}  // namespace tessra
