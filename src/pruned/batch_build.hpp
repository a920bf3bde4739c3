// Linking stored nodes batch by batch, deterministically on any number of
// threads. Each batch runs two phases with a barrier between them:
//   plan:  every node of the batch searches the graph as it stood before the
//          batch (read-only, in parallel) and writes its own lists, which
//          nothing reads until the batch is linked;
//   merge: the reverse links, grouped by (layer, target), each target taking
//          its new sources in id order and, if its list overflows,
//          re-selecting once over list and sources; targets in parallel, each
//          list computed by one thread into a staging area, then copied in.
// Batch boundaries depend only on the index size and the levels (see
// batch_end), so the graph never depends on threads or timing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pruned/pruned_hnsw.hpp"

namespace tessra {

class BatchBuild {
public:
    // Nodes [first, end) are stored with their levels and empty lists; every
    // node below `first` is linked. Progress counts from `first`.
    BatchBuild(PrunedHNSW& index, std::uint64_t first, std::uint64_t end, const AddOptions& options,
               const PlanProbe& probe, AddResult& stats);

    // Links batch after batch. Returns when every node is linked or the poll
    // stopped the build (between batches or while a batch plans); a fault
    // from any thread is rethrown once all have stopped. Either way the nodes
    // below linked() form a complete graph and the others were never linked.
    void run();
    std::uint64_t linked() const { return linked_; }

    // Where the batch starting at `begin` ends.
    std::uint64_t batch_end(std::uint64_t begin) const;

private:
    struct Link {
        std::uint32_t layer;
        std::uint32_t target;
        std::uint32_t source;
    };

    bool plan(std::uint64_t begin, std::uint64_t end);
    void plan_node(std::uint64_t id, std::uint64_t batch_begin);
    void merge(std::uint64_t begin, std::uint64_t end);
    void merge_group(std::size_t group);
    bool poll_stops();

    PrunedHNSW& index_;
    const std::uint64_t first_;
    const std::uint64_t end_;
    const AddOptions& options_;
    const PlanProbe& probe_;
    AddResult& stats_;
    std::uint64_t linked_;
    std::chrono::steady_clock::time_point last_poll_;
    std::vector<double> worker_seconds_;

    // The merge's working state, reused across batches.
    std::vector<Link> links_;                // sorted by (layer, target, source)
    std::vector<std::size_t> group_begin_;   // groups' first links, and one past the last
    std::vector<std::size_t> staged_at_;     // each group's staging slot
    std::vector<std::uint32_t> staging_;     // per group: count, selected, then the ids
};

}  // namespace tessra
