// Block kernels: a block of up to kQueryLanes queries against several stored
// vectors at once, one SIMD lane per query. Every stored element is broadcast
// to all lanes and the block's queries are read element-major, so nothing is
// transposed, and each pair's distance is its own accumulator fed in element
// order with the operations of the matching one-query kernels: each result
// is bit-identical to what that kernel set's one-query kernels give.
#pragma once

#include <cstddef>

#include "metrics/kernels.hpp"

namespace tessra {

constexpr std::size_t kQueryLanes = 8;

struct QueryBlockView {
    std::size_t lanes;            // queries in the block, 1..kQueryLanes
    std::size_t dim;              // elements of every query and stored vector
    const double* const* rows;    // rows[j]: query j, dim elements
    const double* columns;        // element i of query j at columns[i * kQueryLanes + j]; unused lanes hold 0
    const double* sum_sq;         // sum_sq[j]: query j's sum of squares (cosine only), kQueryLanes entries
};

// out[s * kQueryLanes + j] = metric(query j, stored[s]) for s < count, j < lanes
// (unused lanes get anything).
using BlockKernel = void (*)(const QueryBlockView& block, const double* const* stored, std::size_t count,
                             double* out);

// Euclidean distances that may give up early: a pair whose partial distance
// already reaches its lane's bound (bounds[j], a number; NaN is never reached)
// cannot end below it, so it may report +inf without reading the rest. Every
// distance below its lane's bound is exact, bit for bit. Unused lanes must
// hold the bound -inf.
using BlockBoundedKernel = void (*)(const QueryBlockView& block, const double* const* stored, std::size_t count,
                                    const double* bounds, double* out);

struct BlockKernelSet {
    const char* name;
    BlockKernel euclidean;
    BlockKernel dot;
    BlockKernel cosine;
    BlockBoundedKernel euclidean_bounded;

    BlockKernel for_metric(Metric metric) const {
        switch (metric) {
            case Metric::Cosine: return cosine;
            case Metric::Dot: return dot;
            case Metric::Euclidean: break;
        }
        return euclidean;
    }
};

extern const BlockKernelSet kScalarBlockKernels;
#if defined(TESSRA_X86)
extern const BlockKernelSet kAvx2BlockKernels;
extern const BlockKernelSet kAvx512BlockKernels;
#endif

// The block kernels whose results match those of `kernels` bit for bit.
const BlockKernelSet& block_kernels_for(const KernelSet& kernels);

}  // namespace tessra
