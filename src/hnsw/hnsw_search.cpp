// k-nearest search: a greedy descent from node 0 through the upper layers,
// then a beam search of layer 0.
#include <algorithm>

#include "hnsw/hnsw.hpp"

namespace tessra {

std::optional<HNSWError> HNSW::search(const double* query, std::size_t query_len, std::uint64_t k,
                                      const Filter* filter, std::vector<Candidate>& out,
                                      std::optional<std::uint64_t> ef) const {
    out.clear();
    const std::uint64_t ef_search = ef.value_or(ef_search_);
    if (size() == 0) return std::nullopt;

    // Wraps to the largest layer number when there are no layers; the first check refuses it.
    const std::uint64_t top = layers_ - 1;
    // The first layer search reports the first problem: a descent step (beam 1)
    // when there are upper layers, else the final search with ef_search. It
    // runs its checks even when the layers it would search are skipped below.
    std::optional<BoundFilter> bound;
    if (auto error = check_layer_search(top >= 1 ? 1 : ef_search, top, filter, bound)) return error;

    const QueryDistances distances(metric_, query, query_len, dim_);
    const SketchQuery sketch(sketches_, metric_, query, query_len, vector_store_.data(), dim_);
    std::uint64_t entry = 0;
    for (std::uint64_t layer = std::min(top, highest_other_level_); layer >= 1; --layer) {
        if (auto error = knn(entry, distances, 1, layer, filter, out, sketch)) return error;
        entry = out.front().id;
    }
    if (auto error = knn(entry, distances, ef_search, 0, filter, out, sketch, nullptr, true)) return error;

    // The start node joins the result untested; it guided the search, but a
    // filtered search must not return it unless it passes. Nearer nodes may
    // already have pushed it out of a full result list.
    if (bound && !passes(*bound, entry)) {
        const auto at = std::find_if(out.begin(), out.end(), [entry](const Candidate& c) { return c.id == entry; });
        if (at != out.end()) out.erase(at);
    }
    const std::uint64_t keep = std::max<std::uint64_t>(k, 1);
    if (out.size() > keep) out.resize(keep);
    return std::nullopt;
}

}  // namespace tessra
