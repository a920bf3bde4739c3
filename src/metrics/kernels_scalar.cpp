// Portable kernels: the plain functions, one stored vector after another.
#include "metrics/kernels.hpp"
#include "metrics/kernels_bounded.hpp"

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
    const double limit = squared_bound(bound);
    for (std::size_t v = 0; v < count; ++v) out[v] = finish_bounded(q.data, stored[v], 0, n, 0.0, limit);
}

}  // namespace

const KernelSet kScalarKernels{"scalar", euclidean_scalar, dot_scalar, cosine_scalar, euclidean_bounded_scalar};

}  // namespace tessra
