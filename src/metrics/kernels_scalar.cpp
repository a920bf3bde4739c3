// Portable kernels: the plain functions, one stored vector after another.
#include "metrics/kernels.hpp"

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

}  // namespace

const KernelSet kScalarKernels{"scalar", euclidean_scalar, dot_scalar, cosine_scalar};

}  // namespace tessra
