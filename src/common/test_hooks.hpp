// Switches and counters for tests, all off unless a test turns them on.
// Where the core consults one it reads it once per call, so unused they cost
// a load and a branch per call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessra {

// The work of graph searches: layer searches run, distances taken and run
// entries scanned, summed over every thread while counting is on.
struct SearchWork {
    std::uint64_t layer_searches = 0;
    std::uint64_t distances = 0;
    std::uint64_t entries = 0;
};
void count_search_work(bool on);
bool counting_search_work();
void add_search_work(std::uint64_t distances, std::uint64_t entries);
SearchWork search_work();
void reset_search_work();

// Called by a parallel call on the thread about to run one of its tasks (a
// speculative search of a bulk add, a chunk of a batched search), with the
// thread's worker number (0: the calling thread). It may throw, standing for
// a worker that fails. Null (the default): nothing is called.
using WorkerTaskHook = void (*)(std::size_t worker);
void set_worker_task_hook(WorkerTaskHook hook);
WorkerTaskHook worker_task_hook();

// A bulk add in lockstep: the calling thread links an insertion only once the
// searches of the whole window after it are done, and runs none itself, so
// every search but the first runs on a graph older than its turn and is
// validated, on any machine, whatever the scheduling (with two threads or more).
void set_lockstep_build(bool on);
bool lockstep_build();

}  // namespace tessra
