// Rebuilding an index from its saved state: the stored parts move in, as the
// reader left them, and the derived ones are recomputed exactly as insertion
// left them.
#include <algorithm>

#include "hnsw/hnsw.hpp"

namespace tessra {

HNSW HNSW::restore(SavedState state) {
    HNSW index(state.dim, state.metric, state.layers, state.m, state.ef_construction, state.ef_search,
               std::move(state.schema));
    const std::size_t count = state.levels.size();
    index.vector_store_ = std::move(state.vectors);
    index.levels_ = std::move(state.levels);
    index.runs_ = std::move(state.runs);
    index.records_ = std::move(state.records);
    index.generator_ = std::move(state.generator);
    index.removed_ = std::move(state.removed);
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
