// Helpers every bounded euclidean kernel shares. They have internal linkage
// on purpose: each kernel file is compiled for its own instruction set, and
// one shared copy could carry instructions the running CPU lacks.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "metrics/kernels.hpp"

namespace tessra {

// A partial sum of squares at or above this proves the distance reaches
// `bound`: the sum only grows, and sqrt(s) >= bound once s >= bound^2. The
// product is rounded up a step, so comparing squares needs no square root.
static inline double squared_bound(double bound) {
    return std::nextafter(bound * bound, std::numeric_limits<double>::infinity());
}

// Finishes one stored vector in plain code from element `i` on, where a
// vector kernel left its partial sum `sum` (same terms, same order, so the
// result is bit-identical); +inf once the sum reaches `limit` (squared_bound).
static inline double finish_bounded(const double* q, const double* b, std::size_t i, std::size_t n, double sum,
                                    double limit) {
    while (i < n) {
        const std::size_t end = std::min(n, i + kBoundBlock);
        for (; i < end; ++i) {
            const double diff = q[i] - b[i];
            sum += diff * diff;
        }
        if (i < n && sum >= limit) return std::numeric_limits<double>::infinity();
    }
    return std::sqrt(sum);
}

}  // namespace tessra
