// Portable block kernels: every pair through the plain functions, exactly as
// the portable one-query kernels take it.
#include <algorithm>
#include <cmath>

#include "metrics/kernels_block.hpp"

namespace tessra {
namespace {

void euclidean_block_scalar(const QueryBlockView& b, const double* const* stored, std::size_t count, double* out) {
    for (std::size_t s = 0; s < count; ++s)
        for (std::size_t j = 0; j < b.lanes; ++j)
            out[s * kQueryLanes + j] = euclidean_distance(b.rows[j], b.dim, stored[s], b.dim);
}

void dot_block_scalar(const QueryBlockView& b, const double* const* stored, std::size_t count, double* out) {
    for (std::size_t s = 0; s < count; ++s)
        for (std::size_t j = 0; j < b.lanes; ++j)
            out[s * kQueryLanes + j] = dot_product(b.rows[j], b.dim, stored[s], b.dim);
}

void cosine_block_scalar(const QueryBlockView& b, const double* const* stored, std::size_t count, double* out) {
    for (std::size_t s = 0; s < count; ++s) {
        const double norm_s = std::sqrt(sum_of_squares(stored[s], b.dim));
        for (std::size_t j = 0; j < b.lanes; ++j) {
            const double dot = dot_product(b.rows[j], b.dim, stored[s], b.dim);
            out[s * kQueryLanes + j] = dot / (std::sqrt(b.sum_sq[j]) * norm_s);
        }
    }
}

// Per pair, as the portable bounded kernel: a pair gives up alone.
void euclidean_bounded_block_scalar(const QueryBlockView& b, const double* const* stored, std::size_t count,
                                    const double* bounds, double* out) {
    for (std::size_t j = 0; j < b.lanes; ++j) {
        const QueryView query{b.rows[j], b.dim, 0.0};
        double distances[kBatch];
        for (std::size_t start = 0; start < count; start += kBatch) {
            const std::size_t n = std::min(kBatch, count - start);
            if (std::isnan(bounds[j])) kScalarKernels.euclidean(query, stored + start, n, b.dim, distances);
            else kScalarKernels.euclidean_bounded(query, stored + start, n, b.dim, bounds[j], distances);
            for (std::size_t s = 0; s < n; ++s) out[(start + s) * kQueryLanes + j] = distances[s];
        }
    }
}

}  // namespace

const BlockKernelSet kScalarBlockKernels{"scalar", euclidean_block_scalar, dot_block_scalar, cosine_block_scalar,
                                         euclidean_bounded_block_scalar};

const BlockKernelSet& block_kernels_for(const KernelSet& kernels) {
#if defined(TESSRA_X86)
    if (&kernels == &kAvx512Kernels) return kAvx512BlockKernels;
    if (&kernels == &kAvx2Kernels) return kAvx2BlockKernels;
#endif
    (void)kernels;
    return kScalarBlockKernels;
}

}  // namespace tessra
