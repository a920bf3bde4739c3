// k-nearest search: a greedy descent from the entry point through the upper
// layers, then a beam search of layer 0.
#include <algorithm>

#include "pruned/graph_distance.hpp"
#include "pruned/pruned_hnsw.hpp"

namespace tessra {

std::optional<HNSWError> PrunedHNSW::check_search(std::uint64_t ef, const Filter* filter, ReturnGate& gate) const {
    if (ef == 0) return HNSWError::InvalidEF;
    if (filter == nullptr) {
        gate = ReturnGate(&records_, nullptr, 0, &removed_);
        return std::nullopt;
    }
    if (!schema_) return HNSWError::NoSchema;
    if (schema_->empty()) return HNSWError::EmptySchema;
    const auto found = std::find(schema_->begin(), schema_->end(), filter->attribute);
    if (found == schema_->end()) return HNSWError::AttributeNotFound;
    gate = ReturnGate(&records_, filter, static_cast<std::size_t>(found - schema_->begin()), &removed_);
    return std::nullopt;
}

std::optional<RemovedSet::Refused> PrunedHNSW::remove(const std::vector<std::uint64_t>& ids) {
    if (auto refused = removed_.check(ids, size())) return refused;
    removed_.remove(ids);
    return std::nullopt;
}

std::optional<HNSWError> PrunedHNSW::search(const double* query, std::size_t query_len, std::uint64_t k,
                                            const Filter* filter, std::vector<Candidate>& out,
                                            std::optional<std::uint64_t> ef) const {
    out.clear();
    const std::uint64_t ef_search = ef.value_or(ef_search_);
    if (size() == 0) return std::nullopt;
    ReturnGate gate;
    if (auto error = check_search(ef_search, filter, gate)) return error;

    const GraphDistances distances(metric_, query, query_len, dim_);
    Candidate start{distances.one(vector(entry_)), entry_};
    if (top_level_ >= 1) start = descend(distances, start, top_level_, 1);
    search_layer(distances, start, std::max(ef_search, k), 0, gate, out);
    const std::uint64_t keep = std::max<std::uint64_t>(k, 1);
    if (out.size() > keep) out.resize(keep);
    return std::nullopt;
}

}  // namespace tessra
