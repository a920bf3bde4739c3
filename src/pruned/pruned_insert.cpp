// Insertion: the checks, the level draws and the storing of new nodes; the
// linking is BatchBuild's (a single insertion is a batch of one).
#include <algorithm>
#include <string>

#include "common/fault.hpp"
#include "pruned/batch_build.hpp"
#include "pruned/levels.hpp"
#include "pruned/pruned_hnsw.hpp"

namespace tessra {

namespace {

void check_vector_length(std::size_t length, std::size_t dim) {
    if (length != dim)
        TESSRA_FAULT("Vector length " + std::to_string(length) + " does not match index dimension " +
                     std::to_string(dim));
}

// The checks create makes before storing anything, in its order.
std::optional<HNSWError> check_bulk(const PrunedHNSW& index, const VectorList& vectors,
                                    const std::vector<MetadataRecord>* records) {
    if (vectors.empty()) return HNSWError::EmptyVectors;
    if (records != nullptr && records->size() != vectors.size()) return HNSWError::AttributeNotFound;
    for (std::size_t i = 0; i < vectors.size(); ++i) check_vector_length(vectors.length(i), index.dim());
    if (vectors.size() > PrunedHNSW::kMaxNodes - index.size()) TESSRA_FAULT("pruned graph holds the most nodes it can number");
    return std::nullopt;
}

// Room for `extra` more elements, growing by half at least, so a run of
// small calls does not copy the array each time.
template <typename T>
void reserve_more(std::vector<T>& array, std::size_t extra) {
    const std::size_t needed = array.size() + extra;
    if (needed > array.capacity()) array.reserve(std::max(needed, array.capacity() + array.capacity() / 2));
}

// How many of `wanted` new nodes a zero beam lets through: only the entry
// point of an empty index needs no search.
std::size_t linkable(const PrunedHNSW& index, std::size_t wanted) {
    if (index.ef_construction() != 0) return wanted;
    return index.size() == 0 ? std::min<std::size_t>(wanted, 1) : 0;
}

}  // namespace

std::optional<HNSWError> PrunedHNSW::insert(const double* vector, std::size_t length, const MetadataRecord* record,
                                            RandomSource& rng) {
    check_vector_length(length, dim_);
    if (size() >= kMaxNodes) TESSRA_FAULT("pruned graph holds the most nodes it can number");
    if (linkable(*this, 1) == 0) return HNSWError::InvalidEF;
    const std::uint64_t level = draw_pruned_level(m_, layers_, rng);
    const std::uint64_t id = size();
    // The build keeps references to its options and probe: they must outlive it.
    const AddOptions options;
    const PlanProbe probe;
    AddResult stats;
    BatchBuild build(*this, id, id + 1, options, probe, stats);
    try {
        store_node(vector, level, record);
        code_stored();
        build.run();
    } catch (...) {
        truncate_nodes(id);
        throw;
    }
    return std::nullopt;
}

std::optional<HNSWError> PrunedHNSW::create(const VectorList& vectors, const std::vector<MetadataRecord>* records,
                                            RandomSource& rng) {
    return add(vectors, records, rng, AddOptions()).error;
}

AddResult PrunedHNSW::add(const VectorList& vectors, const std::vector<MetadataRecord>* records, RandomSource& rng,
                          const AddOptions& options) {
    if (!schema_.has_value()) records = nullptr;
    AddResult result;
    if (auto error = check_bulk(*this, vectors, records)) {
        result.error = error;
        return result;
    }
    const std::size_t count = linkable(*this, vectors.size());
    std::vector<std::uint64_t> levels(count);
    for (std::uint64_t& level : levels) level = draw_pruned_level(m_, layers_, rng);
    return add_with_levels(vectors, records, levels, options);
}

AddResult PrunedHNSW::add_with_levels(const VectorList& vectors, const std::vector<MetadataRecord>* records,
                                      const std::vector<std::uint64_t>& levels, const AddOptions& options,
                                      const PlanProbe& probe) {
    if (!schema_.has_value()) records = nullptr;
    AddResult result;
    if (auto error = check_bulk(*this, vectors, records)) {
        result.error = error;
        return result;
    }
    const std::size_t count = linkable(*this, vectors.size());
    if (levels.size() < count) TESSRA_FAULT("one level per vector expected");
    std::size_t upper_lists = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (levels[i] >= layers_ || levels[i] > 52) TESSRA_FAULT("level beyond the top layer");
        upper_lists += static_cast<std::size_t>(levels[i]);
    }
    // Every array holds the call's nodes before any worker reads it.
    const std::size_t base = size();
    std::size_t values = 0;
    if (records != nullptr)
        for (std::size_t i = 0; i < count; ++i) values += (*records)[i].size();
    reserve_more(vectors_, count * dim_);
    reserve_more(levels_, count);
    lists_.reserve(count, upper_lists);
    records_.reserve(count, values);
    BatchBuild build(*this, base, base + count, options, probe, result);
    try {
        for (std::size_t i = 0; i < count; ++i)
            store_node(vectors.data(i), levels[i], records != nullptr ? &(*records)[i] : nullptr);
        code_stored();
        build.run();
    } catch (...) {
        truncate_nodes(build.linked());
        throw;
    }
    truncate_nodes(build.linked());
    result.added = build.linked() - base;
    if (result.added == count && count < vectors.size()) result.error = HNSWError::InvalidEF;
    last_add_ = result;
    return result;
}

}  // namespace tessra
