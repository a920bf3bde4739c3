// Bulk insertion on several threads: the checks and level draws of create,
// every new node stored up front, then the links made in insertion order by
// a parallel build (parallel_build.cpp). Nodes the build did not reach are
// dropped again, so the index holds exactly the nodes linked.
#include <algorithm>
#include <string>

#include "common/fault.hpp"
#include "hnsw/hnsw.hpp"
#include "hnsw/level_draw.hpp"
#include "hnsw/parallel_build.hpp"

namespace tessra {

namespace {

// The checks create makes before storing anything, in its order.
std::optional<HNSWError> check_bulk(const HNSW& index, const VectorList& vectors,
                                    const std::vector<MetadataRecord>* records) {
    if (vectors.empty()) return HNSWError::EmptyVectors;
    if (records != nullptr && records->size() != vectors.size()) return HNSWError::AttributeNotFound;
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        if (index.dim() == 0) TESSRA_FAULT("HNSW index of dimension 0 cannot store vectors");
        if (vectors.length(i) != index.dim())
            TESSRA_FAULT("Vector length " + std::to_string(vectors.length(i)) + " does not match index dimension " +
                         std::to_string(index.dim()));
    }
    if (vectors.size() > HNSW::kMaxNodes - index.size()) TESSRA_FAULT("HNSW index holds the most nodes it can number");
    return std::nullopt;
}

}  // namespace

AddResult HNSW::add(const VectorList& vectors, const std::vector<MetadataRecord>* records, RandomSource& rng,
                    const AddOptions& options) {
    // Without a schema the records are ignored.
    if (!schema_.has_value()) records = nullptr;
    AddResult result;
    if (auto error = check_bulk(*this, vectors, records)) {
        result.error = error;
        return result;
    }
    // Levels do not depend on the graph: drawn up front, in order, as one
    // insertion after another draws them (the entry node of an empty index
    // draws nothing; with a zero beam the first linking insertion fails after
    // its draw, and nothing after it runs).
    std::vector<std::uint64_t> levels(vectors.size());
    std::size_t count = vectors.size();
    std::optional<HNSWError> failure;
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        if (i == 0 && size() == 0) {
            levels[i] = layers_ - 1;
            continue;
        }
        levels[i] = draw_level(level_weights_, layers_, rng);
        if (layers_ >= 1 && ef_construction_ == 0) {
            count = i;
            failure = HNSWError::InvalidEF;
            break;
        }
    }
    result = build_bulk(vectors, records, levels, count, options);
    if (result.added == count && failure) result.error = failure;
    last_add_ = result;
    return result;
}

AddResult HNSW::add_with_levels(const VectorList& vectors, const std::vector<MetadataRecord>* records,
                                const std::vector<std::uint64_t>& levels, const AddOptions& options) {
    if (!schema_.has_value()) records = nullptr;
    AddResult result;
    if (auto error = check_bulk(*this, vectors, records)) {
        result.error = error;
        return result;
    }
    if (levels.size() != vectors.size()) TESSRA_FAULT("one level per vector expected");
    std::size_t count = vectors.size();
    // Only levels a draw can give, so the graph is one insertion could build (and a loader accepts).
    const std::uint64_t highest = highest_drawable_level(level_weights_, layers_);
    for (std::size_t i = (size() == 0 ? 1 : 0); i < vectors.size(); ++i) {
        if (layers_ == 0 ? levels[i] != highest : levels[i] > highest) TESSRA_FAULT("level no draw gives");
        if (layers_ >= 1 && ef_construction_ == 0) {
            count = i;
            result.error = HNSWError::InvalidEF;
            break;
        }
    }
    std::vector<std::uint64_t> taken(levels);
    if (size() == 0) taken[0] = layers_ - 1;
    const std::optional<HNSWError> failure = result.error;
    result = build_bulk(vectors, records, taken, count, options);
    if (result.added == count && failure) result.error = failure;
    last_add_ = result;
    return result;
}

AddResult HNSW::build_bulk(const VectorList& vectors, const std::vector<MetadataRecord>* records,
                           const std::vector<std::uint64_t>& levels, std::size_t count, const AddOptions& options) {
    AddResult result;
    const std::size_t base = size();
    // Every per-node array holds the final count before any worker reads it.
    std::size_t values = 0;
    if (records != nullptr)
        for (std::size_t i = 0; i < count; ++i) values += (*records)[i].size();
    vector_store_.reserve(vector_store_.size() + count * dim_);
    levels_.reserve(base + count);
    records_.reserve(count, values);
    runs_.reserve(base + count);
    for (std::size_t i = 0; i < count; ++i)
        store_node(vectors.data(i), levels[i], records != nullptr ? &(*records)[i] : nullptr);
    // Sketched once for the whole batch: during the build the sketches are
    // read by every thread and written by none.
    sketches_.update(metric_, vector_store_.data(), size(), dim_);
    // The entry node and, without layers, every node is stored and links nothing.
    const std::size_t linked_from = base == 0 ? 1 : 0;
    if (layers_ == 0 || count <= linked_from) {
        result.added = count;
        return result;
    }
    ParallelBuild build(*this, base, base + linked_from, base + count, options, result);
    try {
        build.run();
    } catch (...) {
        truncate_nodes(build.committed());
        throw;
    }
    truncate_nodes(build.committed());
    result.added = build.committed() - base;
    return result;
}

}  // namespace tessra
