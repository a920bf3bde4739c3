// The axes sketches are taken on: a centre and up to kMaxSketchRank nearly
// orthonormal directions of largest variance of the stored vectors, fitted on
// a sample. Their quality only decides how much a sketch bound prunes; its
// soundness rests on the deviation from orthonormality measured here.
#pragma once

#include <cstddef>
#include <vector>

#include "metrics/metrics.hpp"

// The dense loops of fitting and projecting are compiled for several vector
// widths and picked at load time where the toolchain supports it. Their sums
// keep a fixed order in every variant (no contraction), though the bounds
// would tolerate any. Sanitizer builds take the plain loops: their runtimes
// are not ready when the loader runs the choosing functions.
#if defined(TESSRA_X86) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define TESSRA_WIDE_LOOPS __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define TESSRA_WIDE_LOOPS
#endif

namespace tessra {

constexpr std::size_t kMaxSketchRank = 64;
// A fit samples at most kSketchSample stored vectors, and at most
// kSketchSampleValues / dim of them, which bounds its cost for long vectors.
constexpr std::size_t kSketchSample = 1024;
constexpr std::size_t kSketchSampleValues = 1u << 19;

struct SketchBasis {
    std::size_t dim = 0;
    std::size_t rank = 0;        // 0: no sketches (the data does not pay for them, or no fit yet)
    std::vector<double> mean;    // dim: the centre sketches are measured from
    std::vector<double> axes;    // rank x dim, row i = axis i, largest variance first
    std::vector<double> axes_t;  // dim x rank: the same matrix transposed, for projecting
    double mean_norm = 0.0;      // |mean|
    // Relative slack that covers every rounding of the bounds (sums of dim
    // and rank terms, projections, residuals) and the axes' measured
    // deviation from orthonormality; at most kMaxSlack, else rank is 0.
    double slack = 0.0;
    double deviation = 0.0;      // upper bound on |A A^T - I|_2 for the stored axes A
};

constexpr double kMaxSlack = 1e-10;

// Fits axes to `count` stored vectors of `dim` doubles (back to back). The
// rank is `forced_rank` (clamped to dim and kMaxSketchRank) when non-zero,
// else the one the sample predicts to save the most work for `metric`, or 0.
SketchBasis fit_sketch_basis(Metric metric, const double* store, std::size_t count, std::size_t dim,
                             std::size_t forced_rank);

// Bound on |A A^T - I|_2 for the rank x dim row-major matrix A, rounding of
// the check itself included.
double orthonormality_deviation(const std::vector<double>& axes, std::size_t rank, std::size_t dim);

}  // namespace tessra
