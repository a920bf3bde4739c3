// The exhaustive index: every vector back to back, every query scanned in full.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "common/removed_set.hpp"
#include "common/vector_list.hpp"
#include "metrics/metrics.hpp"
#include "sketch/sketch_index.hpp"

namespace tessra {

enum class FlatError { EmptyIndex, EmptyVectors, MetadataMismatch, NoSchema, EmptySchema, AttributeNotFound };

const char* flat_error_name(FlatError error);

// "inner_product" and "cosine" choose their functions; any other name, or
// none, chooses euclidean distance.
Metric flat_metric_from_name(const std::string_view* name);

struct Flat {
    std::size_t dim = 0;
    Metric metric = Metric::Euclidean;
    std::vector<double> vector_store;
    // Derived from vector_store: lets a search skip vectors that cannot rank.
    SketchIndex sketches;
    // Ids no search returns; their vectors stay stored, so ids keep their positions.
    RemovedSet removed;

    Flat(std::size_t dim, Metric metric) : dim(dim), metric(metric) {}

    // Ids assigned so far: vectors stored, removed ones included.
    std::size_t size() const { return dim == 0 ? 0 : vector_store.size() / dim; }
    // Vectors a search can return.
    std::size_t live() const { return size() - removed.size(); }

    // Precondition: length == dim (an internal fault otherwise).
    void insert(const double* vector, std::size_t length);
    // Appends every vector after the stored ones. Precondition: every length == dim;
    // it is checked for all vectors before anything is appended.
    std::optional<FlatError> create(const VectorList& vectors);
    // Removes every id of `ids` or, when one cannot be removed, none (the first such id is returned).
    std::optional<RemovedSet::Refused> remove(const std::vector<std::uint64_t>& ids);
    // The first max(k, 1) stored vectors in candidate order (fewer when fewer
    // are stored), removed ones left out; EmptyIndex when none remains.
    std::optional<FlatError> search(const double* query, std::size_t query_len, std::size_t k,
                                    std::vector<Candidate>& out) const;
};

}  // namespace tessra
