// Batched metric kernels: one query against up to kBatch stored vectors at once.
// Every variant keeps one accumulator per stored vector and adds its terms in
// element order, so each result is bit-identical to the plain function of
// metrics.hpp; the speed comes from working on several vectors side by side.
#pragma once

#include <cstddef>
#include <vector>

#include "metrics/metrics.hpp"

namespace tessra {

constexpr std::size_t kBatch = 16;

struct QueryView {
    const double* data;
    std::size_t len;
    double sum_sq;  // the query's sum of squares over all of it (cosine only)
};

// out[i] = metric(query, stored[i] with dim elements) for i < count <= kBatch.
using BatchKernel = void (*)(const QueryView& query, const double* const* stored, std::size_t count,
                             std::size_t dim, double* out);

// Euclidean distances that may give up early: a vector whose partial distance
// already reaches `bound` (a number) cannot end below it, since the sum only
// grows, so its distance is reported as +inf without reading the rest of it.
// Every distance below `bound` is exact, bit for bit.
using BoundedKernel = void (*)(const QueryView& query, const double* const* stored, std::size_t count,
                               std::size_t dim, double bound, double* out);

// How many elements a bounded kernel adds between two looks at the bound.
constexpr std::size_t kBoundBlock = 64;

struct KernelSet {
    const char* name;
    BatchKernel euclidean;
    BatchKernel dot;
    BatchKernel cosine;
    BoundedKernel euclidean_bounded;

    BatchKernel for_metric(Metric metric) const {
        switch (metric) {
            case Metric::Cosine: return cosine;
            case Metric::Dot: return dot;
            case Metric::Euclidean: break;
        }
        return euclidean;
    }
};

extern const KernelSet kScalarKernels;
#if defined(TESSRA_X86)
extern const KernelSet kAvx2Kernels;
extern const KernelSet kAvx512Kernels;
#endif

// The fastest set this CPU runs, chosen once by CPU features.
const KernelSet& active_kernels();
// Every set compiled in that this CPU runs, plain scalar first.
std::vector<const KernelSet*> supported_kernels();

// A query bound to a metric and the active kernels.
class QueryDistances {
public:
    QueryDistances(Metric metric, const double* query, std::size_t query_len, std::size_t dim,
                   const KernelSet& kernels = active_kernels())
        : metric_(metric),
          kernel_(kernels.for_metric(metric)),
          bounded_(kernels.euclidean_bounded),
          query_{query, query_len, metric == Metric::Cosine ? sum_of_squares(query, query_len) : 0.0},
          dim_(dim) {}

    void batch(const double* const* stored, std::size_t count, double* out) const {
        kernel_(query_, stored, count, dim_, out);
    }
    double one(const double* stored) const {
        double out;
        kernel_(query_, &stored, 1, dim_, &out);
        return out;
    }
    // Like batch(), but distances that cannot rank before `bound` may come
    // back as +inf. Only euclidean distance can stop early; a NaN bound (which
    // every number ranks before) disables it.
    void batch_below(const double* const* stored, std::size_t count, double bound, double* out) const {
        if (metric_ == Metric::Euclidean && !std::isnan(bound))
            bounded_(query_, stored, count, dim_, bound, out);
        else
            kernel_(query_, stored, count, dim_, out);
    }
    Metric metric() const { return metric_; }

private:
    Metric metric_;
    BatchKernel kernel_;
    BoundedKernel bounded_;
    QueryView query_;
    std::size_t dim_;
};

}  // namespace tessra
