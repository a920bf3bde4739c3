// Running work on several threads for the length of one call. Threads are
// started per call and joined before it returns, so no thread outlives a call:
// a process that forks afterwards (or between calls) inherits no worker.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace tessra {

// The number of cores this process may run on (its CPU affinity), at least 1.
std::size_t usable_cores();

// Runs body(worker, workers) on `threads` workers: worker 0 is the calling
// thread, the others are new threads. Returns the number of workers that ran
// (fewer than asked when the system refuses a new thread; at least 1). An
// exception thrown by any body is rethrown here once every worker has
// returned (the first one thrown wins); the bodies must stop by themselves
// when another fails, e.g. through a shared flag.
std::size_t run_workers(std::size_t threads, const std::function<void(std::size_t worker, std::size_t workers)>& body);

// What parallel_for asks of its caller between two chunks of work.
struct ParallelFor {
    std::size_t threads = 1;  // workers, the calling thread included
    std::size_t chunk = 1;    // items handed out at a time
    // Called on the calling thread alone, between its chunks, about once per
    // `poll_interval`; returning true stops the run (no new chunk starts).
    std::function<bool()> poll;
    std::chrono::milliseconds poll_interval{50};
};

// Runs body(begin, end, worker) over [0, count) in chunks handed out in
// increasing order. Returns false when poll stopped the run (some items may
// not have run), true when every item ran. An exception from a body stops
// the others at their next chunk and is rethrown here.
bool parallel_for(std::size_t count, const ParallelFor& options,
                  const std::function<void(std::size_t begin, std::size_t end, std::size_t worker)>& body);

}  // namespace tessra
