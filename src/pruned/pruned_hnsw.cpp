#include "pruned/pruned_hnsw.hpp"

#include <algorithm>

#include "common/fault.hpp"

namespace tessra {

PrunedHNSW::PrunedHNSW(std::size_t dim, Metric metric, std::uint64_t layers, std::uint64_t m,
                       std::uint64_t ef_construction, std::uint64_t ef_search, Schema schema)
    : lists_(static_cast<std::size_t>(std::clamp<std::uint64_t>(m, 1, kMaxM))),
      schema_(std::move(schema)),
      metric_(metric),
      dim_(dim),
      layers_(layers),
      m_(m),
      ef_construction_(ef_construction),
      ef_search_(ef_search) {
    if (dim == 0) TESSRA_FAULT("pruned graph of dimension 0");
    if (layers == 0) TESSRA_FAULT("pruned graph without layers");
    if (m < kMinM || m > kMaxM) TESSRA_FAULT("pruned graph's m out of range");
}

void PrunedHNSW::store_node(const double* vector, std::uint64_t level, const MetadataRecord* record) {
    vectors_.insert(vectors_.end(), vector, vector + dim_);
    levels_.push_back(static_cast<std::uint8_t>(level));
    lists_.add_node(level);
    records_.append(record);
}

void PrunedHNSW::truncate_nodes(std::size_t nodes) {
    if (nodes >= size()) return;
    records_.truncate(nodes);
    lists_.truncate(nodes);
    levels_.resize(nodes);
    vectors_.resize(nodes * dim_);
}

PrunedHNSW PrunedHNSW::restore(SavedState state) {
    PrunedHNSW index(state.dim, state.metric, state.layers, state.m, state.ef_construction, state.ef_search,
                     std::move(state.schema));
    index.vectors_ = std::move(state.vectors);
    index.levels_ = std::move(state.levels);
    index.lists_ = std::move(state.lists);
    index.records_ = std::move(state.records);
    index.generator_ = std::move(state.generator);
    index.removed_ = std::move(state.removed);
    // The entry point is the first node that reached the highest level.
    for (std::size_t id = 0; id < index.size(); ++id) {
        if (id == 0 || index.levels_[id] > index.top_level_) {
            index.entry_ = static_cast<std::uint32_t>(id);
            index.top_level_ = index.levels_[id];
        }
    }
    return index;
}

std::size_t PrunedHNSW::memory_bytes() const {
    return vectors_.capacity() * sizeof(double) + levels_.capacity() + lists_.bytes() + records_.bytes();
}

}  // namespace tessra
