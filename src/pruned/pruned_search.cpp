// k-nearest search: the checks and the plan, then a greedy descent from the
// entry point through the upper layers and a beam search of layer 0, or the
// exact scan a filter's plan chose (filtered_search.cpp).
#include <algorithm>

#include "common/test_hooks.hpp"
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
    SearchPlan plan;
    if (auto error = plan_search(k, filter, ef, plan)) return error;
    search_planned(query, query_len, plan, out);
    return std::nullopt;
}

void PrunedHNSW::search_planned(const double* query, std::size_t query_len, const SearchPlan& plan,
                                std::vector<Candidate>& out) const {
    out.clear();
    if (plan.nothing_) return;
    const GraphDistances distances = distances_to(query, query_len, plan.codes_);
    if (plan.scans_) return scan(distances, plan, out);
    Candidate start{distances.one(vector(entry_)), entry_};
    if (top_level_ >= 1) start = descend(distances, start, top_level_, 1);
    search_layer(distances, start, plan.beam_, 0, plan.gate_, out);
    if (out.size() > plan.keep_) out.resize(plan.keep_);
}

}  // namespace tessra
