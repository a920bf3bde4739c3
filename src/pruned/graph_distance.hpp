// Distances as the pruned graph ranks them: smaller is nearer for every
// metric. Euclidean distance is the kernels' value; for the similarity
// metrics it is 1.0 - s, with s the exact sequential cosine similarity or dot
// product, so the most similar vector is the nearest (as peers rank them).
// NaN stays NaN and ranks last (distance order of metrics.hpp).
#pragma once

#include <cmath>
#include <cstddef>

#include "metrics/kernels.hpp"
#include "metrics/metrics.hpp"

namespace tessra {

class GraphDistances {
public:
    GraphDistances(Metric metric, const double* query, std::size_t query_len, std::size_t dim)
        : query_(metric, query, query_len, dim), similarity_(metric != Metric::Euclidean) {}

    // out[i] = distance(query, stored[i]) for i < count <= kBatch.
    void batch(const double* const* stored, std::size_t count, double* out) const {
        query_.batch(stored, count, out);
        if (similarity_) flip(out, count);
    }
    // Like batch(), but a distance that cannot rank before `bound` may come
    // back as +inf; every distance below it is exact. Only euclidean
    // distances give up early (their sum only grows).
    void batch_below(const double* const* stored, std::size_t count, double bound, double* out) const {
        if (similarity_) return batch(stored, count, out);
        query_.batch_below(stored, count, bound, out);
    }
    double one(const double* stored) const {
        double out;
        batch(&stored, 1, &out);
        return out;
    }

private:
    static void flip(double* out, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) out[i] = 1.0 - out[i];
    }

    QueryDistances query_;
    bool similarity_;
};

// The same distance from the plain metric functions (the reference the kernels match bit for bit).
inline double graph_distance(Metric metric, const double* a, std::size_t a_len, const double* b, std::size_t b_len) {
    const double value = metric_function(metric)(a, a_len, b, b_len);
    return metric == Metric::Euclidean ? value : 1.0 - value;
}

}  // namespace tessra
