// Distances as the pruned graph ranks them: smaller is nearer for every
// metric. Euclidean distance is the kernels' value; for the similarity
// metrics it is 1.0 - s, with s the exact sequential cosine similarity or dot
// product, so the most similar vector is the nearest (as peers rank them).
// NaN stays NaN and ranks last (distance order of metrics.hpp).
//
// A query may carry the index's byte codes (byte_codes.hpp): keep() then
// drops the candidates whose distance the codes prove to be at or beyond a
// threshold, before their exact distances are taken. A walk calls it only
// where such a candidate could not change what it does, so every result is
// the one without the bound, bit for bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "metrics/kernels.hpp"
#include "metrics/metrics.hpp"
#include "sketch/byte_codes.hpp"

namespace tessra {

class GraphDistances {
public:
    GraphDistances(Metric metric, const double* query, std::size_t query_len, std::size_t dim)
        : query_(metric, query, query_len, dim), similarity_(metric != Metric::Euclidean) {}
    // With the codes of `store` (the index's vectors, which checking mode reads).
    GraphDistances(Metric metric, const double* query, std::size_t query_len, std::size_t dim,
                   const ByteCodes& codes, const double* store)
        : query_(metric, query, query_len, dim),
          similarity_(metric != Metric::Euclidean),
          bound_(codes, query, query_len, store,
                 metric == Metric::Euclidean ? CodeRanking::Value : CodeRanking::OneMinus, /*weighted=*/true) {}

    // Whether keep() can drop anything.
    bool bounded() const { return bound_.active(); }
    void prefetch_code(std::uint32_t id) const { bound_.prefetch(id); }
    // Compacts ids[0, count) to the ids whose distance may rank before
    // `threshold` (a distance at or beyond it, or NaN, may be dropped), in
    // their order; returns how many remain.
    std::size_t keep(std::uint32_t* ids, std::size_t count, double threshold) const {
        return bound_.keep(ids, count, threshold);
    }
    const ByteCodeQuery& bound() const { return bound_; }

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
    ByteCodeQuery bound_;  // inactive unless codes were given and cover the query
};

// The same distance from the plain metric functions (the reference the kernels match bit for bit).
inline double graph_distance(Metric metric, const double* a, std::size_t a_len, const double* b, std::size_t b_len) {
    const double value = metric_function(metric)(a, a_len, b, b_len);
    return metric == Metric::Euclidean ? value : 1.0 - value;
}

}  // namespace tessra
