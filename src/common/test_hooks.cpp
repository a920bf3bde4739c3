#include "common/test_hooks.hpp"

#include <atomic>

namespace tessra {
namespace {

std::atomic<bool> counting{false};
std::atomic<std::uint64_t> layer_searches{0}, distances_taken{0}, entries_scanned{0};
std::atomic<WorkerTaskHook> task_hook{nullptr};
std::atomic<bool> lockstep{false};

}  // namespace

void count_search_work(bool on) { counting.store(on, std::memory_order_relaxed); }
bool counting_search_work() { return counting.load(std::memory_order_relaxed); }

void add_search_work(std::uint64_t distances, std::uint64_t entries) {
    layer_searches.fetch_add(1, std::memory_order_relaxed);
    distances_taken.fetch_add(distances, std::memory_order_relaxed);
    entries_scanned.fetch_add(entries, std::memory_order_relaxed);
}

SearchWork search_work() {
    return SearchWork{layer_searches.load(std::memory_order_relaxed), distances_taken.load(std::memory_order_relaxed),
                      entries_scanned.load(std::memory_order_relaxed)};
}

void reset_search_work() {
    layer_searches.store(0, std::memory_order_relaxed);
    distances_taken.store(0, std::memory_order_relaxed);
    entries_scanned.store(0, std::memory_order_relaxed);
}

void set_worker_task_hook(WorkerTaskHook hook) { task_hook.store(hook, std::memory_order_relaxed); }
WorkerTaskHook worker_task_hook() { return task_hook.load(std::memory_order_relaxed); }

void set_lockstep_build(bool on) { lockstep.store(on, std::memory_order_relaxed); }
bool lockstep_build() { return lockstep.load(std::memory_order_relaxed); }

}  // namespace tessra
