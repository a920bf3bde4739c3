// Rebuilding an index from its saved state: the stored parts move in, the
// derived ones are recomputed exactly as insertion left them.
#include <algorithm>

#include "hnsw/hnsw.hpp"

namespace tessra {

HNSW HNSW::restore(SavedState state) {
    HNSW index(state.dim, state.metric, state.layers, state.m, state.ef_construction, state.ef_search,
               std::move(state.schema));
    const std::size_t count = state.levels.size();
    index.vector_store_ = std::move(state.vectors);
    index.levels_ = std::move(state.levels);
    // Each saved run is copied into the run table and freed at once, so the
    // two never both hold the whole graph.
    index.runs_.reserve(count);
    for (std::size_t id = 0; id < count; ++id) {
        std::vector<std::uint32_t>& run = state.runs[id];
        index.runs_.add_node();
        index.runs_.reserve_more(id, run.size());
        for (const std::uint32_t neighbour : run) index.runs_.append(id, neighbour);
        std::vector<std::uint32_t>().swap(run);
    }
    index.records_ = std::move(state.records);
    // The first node took level layers - 1 (levels_ holds it capped).
    if (count > 0) index.first_level_ = index.layers_ - 1;
    // Insertion raises the highest other level only for nodes it links, and it
    // links none without layers.
    if (index.layers_ > 0)
        for (std::size_t id = 1; id < count; ++id)
            index.highest_other_level_ = std::max<std::uint64_t>(index.highest_other_level_, index.levels_[id]);
    index.sketches_.update(index.metric_, index.vector_store_.data(), count, index.dim_);
    return index;
}

}  // namespace tessra
