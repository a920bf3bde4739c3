#include "flat/flat.hpp"

#include <algorithm>
#include <string>

#include "common/fault.hpp"
#include "metrics/kernels.hpp"

namespace tessra {

const char* flat_error_name(FlatError error) {
    switch (error) {
        case FlatError::EmptyIndex: return "EmptyIndex";
        case FlatError::EmptyVectors: return "EmptyVectors";
        case FlatError::MetadataMismatch: return "MetadataMismatch";
        case FlatError::NoSchema: return "NoSchema";
        case FlatError::EmptySchema: return "EmptySchema";
        case FlatError::AttributeNotFound: return "AttributeNotFound";
    }
    return "Unknown";
}

Metric flat_metric_from_name(const std::string_view* name) {
    if (name != nullptr) {
        if (*name == "inner_product") return Metric::Dot;
        if (*name == "cosine") return Metric::Cosine;
    }
    return Metric::Euclidean;
}

namespace {

void check_length(std::size_t length, std::size_t dim) {
    if (length != dim)
        TESSRA_FAULT("Vector length " + std::to_string(length) + " does not match index dimension " +
                     std::to_string(dim));
}

}  // namespace

void Flat::insert(const double* vector, std::size_t length) {
    check_length(length, dim);
    vector_store.insert(vector_store.end(), vector, vector + length);
    sketches.update(metric, vector_store.data(), size(), dim);
}

std::optional<FlatError> Flat::create(const VectorList& vectors) {
    if (vectors.empty()) return FlatError::EmptyVectors;
    for (std::size_t i = 0; i < vectors.size(); ++i) check_length(vectors.length(i), dim);
    vector_store.reserve(vector_store.size() + vectors.size() * dim);
    for (std::size_t i = 0; i < vectors.size(); ++i) insert(vectors.data(i), vectors.length(i));
    return std::nullopt;
}

std::optional<RemovedSet::Refused> Flat::remove(const std::vector<std::uint64_t>& ids) {
    if (auto refused = removed.check(ids, size())) return refused;
    removed.remove(ids);
    return std::nullopt;
}

std::optional<FlatError> Flat::search(const double* query, std::size_t query_len, std::size_t k,
                                      std::vector<Candidate>& out) const {
    out.clear();
    const std::size_t count = size();
    if (live() == 0) return FlatError::EmptyIndex;
    const std::size_t keep = std::min(std::max<std::size_t>(k, 1), live());
    out.reserve(keep);

    // `out` is a max-heap in candidate order holding the best `keep` so far. Ids
    // arrive in increasing order, so a newcomer beats the worst kept pair exactly
    // when its distance ranks strictly before that pair's.
    const QueryDistances distances(metric, query, query_len, dim);
    const SketchQuery sketch(sketches, metric, query, query_len, vector_store.data(), dim);
    const double* base = vector_store.data();
    const bool any_removed = !removed.empty();
    std::uint64_t batch_ids[kBatch];
    const double* batch[kBatch];
    double batch_distances[kBatch];
    for (std::size_t next = 0; next < count;) {
        // Once `keep` pairs are held, a vector whose distance cannot rank before
        // the worst of them is out: its sketch may prove it unread, and
        // euclidean scans may stop reading it early.
        const bool full = out.size() == keep;
        const double worst = full ? out.front().distance : 0.0;
        std::size_t n = 0;
        if (any_removed) {
            // Removed ids are left out before their sketches are read.
            for (; next < count && n < kBatch; ++next)
                if (!removed.contains(next)) batch_ids[n++] = next;
            if (full) n = sketch.keep(batch_ids, n, worst);
        } else if (full) {
            next = sketch.collect(next, count, worst, batch_ids, n, kBatch);
        } else {
            for (; next < count && n < kBatch; ++next) batch_ids[n++] = next;
        }
        for (std::size_t i = 0; i < n; ++i) batch[i] = base + batch_ids[i] * dim;
        if (n == 0) {
            if (next < count) continue;  // every id of this stretch was removed or proven out
            break;
        }
        if (full) distances.batch_below(batch, n, worst, batch_distances);
        else distances.batch(batch, n, batch_distances);
        for (std::size_t i = 0; i < n; ++i) {
            const Candidate c{batch_distances[i], batch_ids[i]};
            if (out.size() < keep) {
                out.push_back(c);
                std::push_heap(out.begin(), out.end(), candidate_before);
            } else if (distance_before(c.distance, out.front().distance)) {
                std::pop_heap(out.begin(), out.end(), candidate_before);
                out.back() = c;
                std::push_heap(out.begin(), out.end(), candidate_before);
            }
        }
    }
    std::sort_heap(out.begin(), out.end(), candidate_before);
    return std::nullopt;
}

}  // namespace tessra
