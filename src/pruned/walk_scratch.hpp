// Working memory of the graph walks, kept per thread and reused across
// calls, so a search allocates nothing once its thread has warmed up.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "metrics/metrics.hpp"

namespace tessra {

struct WalkScratch {
    // A node is visited in the current walk when its stamp equals `epoch`,
    // so starting a walk costs one increment instead of clearing a set.
    std::vector<std::uint32_t> stamps;
    std::uint32_t epoch = 0;
    std::vector<Candidate> queue;    // waypoints to expand: a heap, nearest first
    std::vector<Candidate> results;  // the beam: a heap, furthest first
    std::vector<std::uint32_t> gathered;  // neighbours waiting for their distances
    bool busy = false;

    std::uint32_t* pending(std::size_t room) {
        if (gathered.size() < room) gathered.resize(room);
        return gathered.data();
    }

    void start(std::size_t nodes) {
        if (stamps.size() < nodes) stamps.resize(nodes, 0);
        if (++epoch == 0) {
            std::fill(stamps.begin(), stamps.end(), 0);
            epoch = 1;
        }
        queue.clear();
        results.clear();
    }
};

// The thread's scratch, or a private one if the thread's is already in use.
class WalkLease {
public:
    WalkLease() {
        thread_local WalkScratch shared;
        if (!shared.busy) {
            scratch_ = &shared;
        } else {
            owned_ = std::make_unique<WalkScratch>();
            scratch_ = owned_.get();
        }
        scratch_->busy = true;
    }
    ~WalkLease() { scratch_->busy = false; }
    WalkLease(const WalkLease&) = delete;
    WalkLease& operator=(const WalkLease&) = delete;
    WalkScratch& operator*() const { return *scratch_; }

private:
    WalkScratch* scratch_;
    std::unique_ptr<WalkScratch> owned_;
};

// Candidate order, deciding two different numbers before anything else
// (ties and NaN go the long way); inlined into the heap operations.
inline __attribute__((always_inline)) bool ranks_before(const Candidate& a, const Candidate& b) {
    if (a.distance < b.distance) return true;
    if (b.distance < a.distance) return false;
    return candidate_before(a, b);
}

// Heap orders for std::push_heap and friends (which keep the greatest first).
struct NearestFirst {
    bool operator()(const Candidate& a, const Candidate& b) const { return ranks_before(b, a); }
};
struct FurthestFirst {
    bool operator()(const Candidate& a, const Candidate& b) const { return ranks_before(a, b); }
};

}  // namespace tessra
