// Portable kernels: the plain functions, one stored vector after another.
#include "metrics/kernels.hpp"

#include <algorithm>
#include <limits>

namespace tessra {
namespace {

void euclidean_scalar(const QueryView& q, const double* const* stored, std::size_t count,
                      std::size_t dim, double* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = euclidean_distance(q.data, q.len, stored[i], dim);
}

void dot_scalar(const QueryView& q, const double* const* stored, std::size_t count, std::size_t dim,
                double* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = dot_product(q.data, q.len, stored[i], dim);
}

void cosine_scalar(const QueryView& q, const double* const* stored, std::size_t count,
                   std::size_t dim, double* out) {
    const double norm_q = std::sqrt(q.sum_sq);
    for (std::size_t i = 0; i < count; ++i) {
        const double dot = dot_product(q.data, q.len, stored[i], dim);
        out[i] = dot / (norm_q * std::sqrt(sum_of_squares(stored[i], dim)));
    }
}

void euclidean_bounded_scalar(const QueryView& q, const double* const* stored, std::size_t count,
                              std::size_t dim, double bound, double* out) {
    const std::size_t n = std::min(q.len, dim);
    for (std::size_t v = 0; v < count; ++v) {
        const double* b = stored[v];
        double sum = 0.0;
        std::size_t i = 0;
        while (i < n) {
            const std::size_t end = std::min(n, i + kBoundBlock);
            for (; i < end; ++i) {
                const double diff = q.data[i] - b[i];
                sum += diff * diff;
            }
            if (i < n && std::sqrt(sum) >= bound) break;
        }
        out[v] = i < n ? std::numeric_limits<double>::infinity() : std::sqrt(sum);
    }
}

}  // namespace

const KernelSet kScalarKernels{"scalar", euclidean_scalar, dot_scalar, cosine_scalar, euclidean_bounded_scalar};

}  // namespace tessra
