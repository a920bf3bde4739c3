#include "hnsw/graph_invariants.hpp"

#include <algorithm>

#include "hnsw/level_draw.hpp"

namespace tessra {
namespace {

std::string node(std::uint64_t id) { return "node " + std::to_string(id); }

// Forward links gathered before their back links are looked up.
constexpr std::size_t kPending = 256;

}  // namespace

std::optional<std::string> check_levels(const std::vector<std::uint16_t>& levels, std::uint64_t layers) {
    const std::uint64_t first = std::min<std::uint64_t>(layers - 1, UINT16_MAX);
    const std::uint64_t highest =
        layers == 0 ? UINT16_MAX
                    : std::min<std::uint64_t>(highest_drawable_level(make_level_weights(layers), layers), UINT16_MAX);
    for (std::size_t id = 0; id < levels.size(); ++id) {
        const std::uint16_t level = levels[id];
        if (id == 0 && level != first)
            return node(0) + " has level " + std::to_string(level) + ", not the top layer " + std::to_string(first);
        if (id != 0 && layers == 0 && level != UINT16_MAX)
            return node(id) + " has level " + std::to_string(level) + " in an index without layers";
        if (id != 0 && level > highest)
            return node(id) + " has level " + std::to_string(level) + ", above the highest a level draw gives (" +
                   std::to_string(highest) + ")";
    }
    return std::nullopt;
}

RunChecker::RunChecker(const std::vector<std::uint16_t>& levels, std::uint64_t layers, std::uint64_t ef_construction)
    : levels_(levels), layers_(layers), ef_construction_(ef_construction) {
    next_back_.reserve(levels.size());
    pending_.reserve(kPending);
}

std::optional<std::string> RunChecker::check_run(std::uint64_t id, RunSpan run, const RunTable& runs) {
    const std::uint64_t count = levels_.size();
    const auto self = static_cast<std::uint32_t>(id);
    if (layers_ == 0 && !run.empty()) return node(id) + " has links in an index without layers";
    std::size_t forward = 0;
    while (forward < run.size() && run[forward] < self) ++forward;
    for (std::size_t i = forward; i < run.size(); ++i) {
        const std::uint32_t other = run[i];
        if (other >= count)
            return node(id) + " links to node " + std::to_string(other) + " of " + std::to_string(count);
        if (other == self) return node(id) + " links to itself";
        if (other < self)
            return node(id) + " links to node " + std::to_string(other) + " after a node inserted after it";
        if (i > forward && other <= run[i - 1])
            return node(id) + (other == run[i - 1] ? " links to node " + std::to_string(other) + " twice"
                                                   : "'s links to later nodes are out of order");
    }
    if (id > 0 && forward == 0 && layers_ > 0) return node(id) + " links to no node inserted before it";
    // One linking layer per level from the node's own down to 0, each adding at most ef_construction.
    std::uint64_t most;
    if (__builtin_mul_overflow(ef_construction_, std::uint64_t{levels_[id]} + 1, &most)) most = UINT64_MAX;
    if (forward > most)
        return node(id) + " links to " + std::to_string(forward) + " nodes inserted before it, more than " +
               std::to_string(most) + " (ef_construction per linking layer)";
    next_back_.push_back(static_cast<std::uint32_t>(forward));
    for (std::size_t i = 0; i < forward; ++i) {
        pending_.push_back({self, run[i]});
        runs.prefetch(run[i]);
        __builtin_prefetch(next_back_.data() + run[i]);
        if (pending_.size() == kPending)
            if (auto problem = match_pending(runs)) return problem;
    }
    return std::nullopt;
}

// The pending links in the order they were read (by node, then run order):
// each back run is consumed in that order.
std::optional<std::string> RunChecker::match_pending(const RunTable& runs) {
    for (const Link& link : pending_) {
        const RunSpan back = runs.get(link.to);
        __builtin_prefetch(back.data() + std::min<std::size_t>(next_back_[link.to], back.size()));
    }
    for (const Link& link : pending_) {
        const RunSpan back = runs.get(link.to);
        std::uint32_t& next = next_back_[link.to];
        // Forward entries are below `to`, so an earlier match of this link sits just before `next`.
        if (next > 0 && back[next - 1] == link.from)
            return node(link.from) + " links to node " + std::to_string(link.to) + " twice";
        if (next >= back.size() || back[next] != link.from)
            return node(link.from) + " links to node " + std::to_string(link.to) + ", which does not link back";
        ++next;
    }
    pending_.clear();
    return std::nullopt;
}

std::optional<std::string> RunChecker::finish(const RunTable& runs) {
    if (auto problem = match_pending(runs)) return problem;
    for (std::size_t id = 0; id < next_back_.size(); ++id) {
        const RunSpan run = runs.get(id);
        if (next_back_[id] != run.size())
            return node(id) + " links to node " + std::to_string(run[next_back_[id]]) + ", which does not link back";
    }
    return std::nullopt;
}

}  // namespace tessra
