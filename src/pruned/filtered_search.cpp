// Filtered searches: the plan (scan the matching nodes or walk the graph)
// and the exact scan.
//
// The walk: failing nodes are waypoints, never results, so the walk keeps
// going until its beam holds b matching nodes. With a matching share s the
// beam is widened to b s^-p (p = widen_power): measured on MNIST 9,000 at
// beam 10, the unwidened walk's recall@10 among the matching nodes fell to
// 0.979 at s = 1/2 and the widened one kept 0.991 (at the default beam 50
// both stay above 0.999).
//
// The rule. The walk fills a beam of b s^-p matching nodes, so it measures
// about b s^-(1 + p) nodes: c_w b s^-(1 + p). A scan of the M = s n matching
// nodes reads M code rows in increasing id order and the exact distances of
// the few the codes cannot prove out: c_s s n. The scan is the cheaper while
// s^(2 + p) <= (c_w / c_s) b / n, that is while
//     M <= (c_w / c_s)^(1 / (2 + p)) b^(1 / (2 + p)) n^((1 + p) / (2 + p)):
// with p = 1/2, M* = f b^0.4 n^0.6. Both costs are sums over the d
// components (the walk's scattered, the scan's streamed), so the dimension
// scales c_w and c_s alike and leaves f. Measured crossovers (bench/cpp's
// pruned_probe FILE filters, one query at a time, where the scan's and the
// widened walk's time per query meet): MNIST 9,000 x 784 at b 10, 20, 50:
// M* = 2,200, 3,000, 3,950 (f = 3.7, 3.85, 3.5); clustered 20,000 x 128 at
// b 50: M* = 6,900 (f = 3.8). Hence scan_factor 3.7.
#include <algorithm>
#include <cmath>

#include "common/test_hooks.hpp"
#include "pruned/graph_distance.hpp"
#include "pruned/pruned_hnsw.hpp"
#include "pruned/walk_scratch.hpp"

namespace tessra {

std::uint64_t PrunedHNSW::widened_beam(std::uint64_t beam, std::size_t matching) const {
    const SearchTuning& tuning = search_tuning_;
    const double share = size() == 0 ? 1.0 : static_cast<double>(matching) / static_cast<double>(size());
    double factor = share > 0.0 ? std::pow(share, -tuning.widen_power) : tuning.widen_cap;
    factor = std::clamp(factor, 1.0, std::max(tuning.widen_cap, 1.0));
    const double widened = std::ceil(static_cast<double>(beam) * factor);
    // A beam never needs to exceed the node count.
    const double limit = static_cast<double>(std::max<std::uint64_t>(beam, size()));
    return static_cast<std::uint64_t>(std::min(widened, limit));
}

std::optional<HNSWError> PrunedHNSW::plan_search(std::uint64_t k, const Filter* filter,
                                                 std::optional<std::uint64_t> ef, SearchPlan& plan) const {
    plan = SearchPlan();
    const std::uint64_t ef_search = ef.value_or(ef_search_);
    // An empty index returns nothing and checks nothing.
    if (size() == 0) return std::nullopt;
    if (auto error = check_search(ef_search, filter, plan.gate_)) return error;
    plan.nothing_ = false;
    plan.keep_ = std::max<std::uint64_t>(k, 1);
    plan.beam_ = std::max(ef_search, k);
    plan.codes_ = search_tuning_.codes_in_walks;
    if (filter == nullptr || !filter->equal_to) return std::nullopt;

    const std::size_t position = static_cast<std::size_t>(
        std::find(schema_->begin(), schema_->end(), filter->attribute) - schema_->begin());
    const PostingLists::Ids* ids = postings_.find(position, MetadataView(*filter->equal_to));
    const std::size_t held = ids != nullptr ? ids->size() : 0;
    const double factor = search_tuning_.scan_factor;
    const double p = search_tuning_.widen_power;
    const double limit = factor < 0.0 ? static_cast<double>(size())
                                      : factor * std::pow(static_cast<double>(plan.beam_), 1.0 / (2.0 + p)) *
                                            std::pow(static_cast<double>(size()), (1.0 + p) / (2.0 + p));
    // At least held - removed of them are live, so a list that long is
    // walked without counting; a shorter one is counted exactly.
    std::size_t matching = held > removed_.size() ? held - removed_.size() : 0;
    if (static_cast<double>(matching) <= limit) {
        if (!removed_.empty() && ids != nullptr) {
            matching = 0;
            for (const std::uint32_t id : *ids) matching += removed_.contains(id) ? 0 : 1;
        } else {
            matching = held;
        }
        plan.matching_ = matching;
    }
    if (plan.matching_ && static_cast<double>(matching) <= limit) {
        plan.scans_ = true;
        plan.matches_ = ids;
        plan.codes_ = search_tuning_.codes_in_scan && matching >= search_tuning_.scan_codes_from;
    } else {
        plan.beam_ = widened_beam(plan.beam_, matching);
    }
    add_filter_plan(plan.scans_);
    return std::nullopt;
}

// Ids ascend, so a later id never displaces an equal distance: admitting only
// what ranks strictly before the furthest kept gives candidate order. With k
// kept, a node ranks before the furthest only when its distance is below the
// furthest's, or equal and of a lower id, which a later id never is; so
// the codes may drop every node they prove at or beyond that distance, and
// euclidean sums may stop there.
void PrunedHNSW::scan(const GraphDistances& query, const SearchPlan& plan, std::vector<Candidate>& out) const {
    out.clear();
    if (plan.matches_ == nullptr) return;
    const std::uint32_t* ids = plan.matches_->data();
    const std::size_t count = plan.matches_->size();
    const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(plan.keep_, count));
    const bool bounded = query.bounded();
    const bool any_removed = !removed_.empty();
    // Code rows this many ids ahead start loading while a batch is measured.
    constexpr std::size_t kAhead = 2 * kBatch;
    std::uint32_t batch_ids[kBatch];
    const double* batch_vectors[kBatch];
    double distances[kBatch];
    std::vector<Candidate>& kept = out;
    kept.reserve(keep);
    std::size_t next = 0;
    if (bounded)
        for (std::size_t i = 0; i < std::min(count, kAhead); ++i) query.prefetch_code(ids[i]);
    while (next < count) {
        std::size_t n = 0;
        for (; next < count && n < kBatch; ++next) {
            if (bounded && next + kAhead < count) query.prefetch_code(ids[next + kAhead]);
            if (any_removed && removed_.contains(ids[next])) continue;
            batch_ids[n++] = ids[next];
        }
        const bool full = kept.size() >= keep;
        const double furthest = full ? kept.front().distance : 0.0;
        if (full && bounded) n = query.keep(batch_ids, n, furthest);
        for (std::size_t i = 0; i < n; ++i) batch_vectors[i] = vector(batch_ids[i]);
        if (full && std::isfinite(furthest)) query.batch_below(batch_vectors, n, furthest, distances);
        else query.batch(batch_vectors, n, distances);
        for (std::size_t i = 0; i < n; ++i) {
            const Candidate found{distances[i], batch_ids[i]};
            if (kept.size() < keep) {
                kept.push_back(found);
                std::push_heap(kept.begin(), kept.end(), FurthestFirst{});
            } else if (ranks_before(found, kept.front())) {
                std::pop_heap(kept.begin(), kept.end(), FurthestFirst{});
                kept.back() = found;
                std::push_heap(kept.begin(), kept.end(), FurthestFirst{});
            }
        }
    }
    std::sort(kept.begin(), kept.end(), candidate_before);
}

}  // namespace tessra
