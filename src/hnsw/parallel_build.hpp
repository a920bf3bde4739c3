// Linking stored nodes in insertion order while worker threads run their
// layer searches ahead: exact optimistic concurrency. The graph is the graph
// one insertion after another builds, link for link, whatever the timing.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/test_hooks.hpp"
#include "hnsw/hnsw.hpp"
#include "hnsw/speculation.hpp"

namespace tessra {

class ParallelBuild {
public:
    // Nodes [first, end) are stored with their levels and not yet linked;
    // every node below `first` is linked. Progress counts from node `base`
    // (the call's first vector). Statistics go to `stats`.
    ParallelBuild(HNSW& index, std::uint64_t base, std::uint64_t first, std::uint64_t end, const AddOptions& options,
                  AddResult& stats);

    // Links the nodes in order on options.threads threads (the calling thread
    // commits). Returns early when the poll asks to stop; rethrows a fault
    // from any thread once all have stopped.
    void run();
    // Nodes below this are linked (valid after run, returned or thrown).
    std::uint64_t committed() const { return committed_.load(std::memory_order_acquire); }

private:
    // One speculative search's outcome; slot j % window holds insertion j's.
    struct Slot {
        std::atomic<std::uint64_t> holds{UINT64_MAX};  // the insertion whose search is complete here
        std::vector<std::vector<Candidate>> found;     // per linking layer
        Speculation speculation;
        double seconds = 0;
    };

    bool try_claim(std::uint64_t& claimed);
    bool claimable() const;
    void speculate(std::uint64_t id);
    bool still_exact(std::uint64_t id, const Slot& slot);
    void commit(std::uint64_t id, Slot* slot);
    void run_worker(std::size_t worker);
    // `lockstep`: see set_lockstep_build (only with a worker thread beside this one).
    void run_committer(bool lockstep);
    // Whether the searches of insertions id .. id + window - 1 (up to the end) are all done.
    bool window_searched(std::uint64_t id) const;
    bool poll_due(std::chrono::steady_clock::time_point& last);
    void wake_all();
    void stop();

    HNSW& index_;
    const std::uint64_t base_;
    const std::uint64_t first_;
    const std::uint64_t end_;
    const AddOptions& options_;
    AddResult& stats_;
    std::size_t window_ = 1;
    std::unique_ptr<Slot[]> slots_;
    std::vector<std::uint64_t> tops_;  // each insertion's first layer, from the levels before it
    // Whether speculative searches skip by sketches: fixed for the build, as
    // the committer's insertions may switch the index's own choice meanwhile.
    bool speculate_with_sketches_ = false;
    // Test hooks, read once per build (common/test_hooks.hpp).
    WorkerTaskHook task_hook_ = nullptr;
    bool lockstep_ = false;

    std::atomic<std::uint64_t> next_claim_;
    std::atomic<std::uint64_t> committed_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;

    // The committer's index of one search's expansions by node: marks_[x] ==
    // mark_ when x was expanded, first_expansion_[x] its latest expansion and
    // same_node_[k] the one before expansion k.
    std::vector<std::uint32_t> marks_;
    std::vector<std::uint32_t> first_expansion_;
    std::vector<std::uint32_t> same_node_;
    std::uint32_t mark_ = 0;
};

}  // namespace tessra
