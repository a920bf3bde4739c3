// Stopping a parallel run from inside long work items: every worker asks
// between steps of its work, and the calling thread (worker 0) runs the
// caller's poll when it asks, at most once per poll interval. One slow item
// therefore delays a stop by one step, not by the whole item.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>

#include "parallel/workers.hpp"

namespace tessra {

class StopCheck {
public:
    // Takes the poll and its interval from `options` (which must outlive this).
    explicit StopCheck(const ParallelFor& options)
        : options_(options), last_poll_(std::chrono::steady_clock::now()) {}
    StopCheck(const StopCheck&) = delete;
    StopCheck& operator=(const StopCheck&) = delete;

    // True once the run should stop; the worker then leaves its item unfinished.
    bool operator()(std::size_t worker) {
        if (stopped_.load(std::memory_order_relaxed)) return true;
        if (worker != 0 || !options_.poll) return false;
        const auto now = std::chrono::steady_clock::now();  // last_poll_ is worker 0's alone
        if (now - last_poll_ < options_.poll_interval) return false;
        last_poll_ = now;
        if (!options_.poll()) return false;
        stopped_.store(true, std::memory_order_relaxed);
        return true;
    }
    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

private:
    const ParallelFor& options_;
    std::chrono::steady_clock::time_point last_poll_;
    std::atomic<bool> stopped_{false};
};

}  // namespace tessra
