#include "parallel/workers.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "common/test_hooks.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

namespace tessra {

std::size_t usable_cores() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
#endif
    const unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? count : 1;
}

namespace {

// The first exception thrown by any worker.
class FirstError {
public:
    void capture() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!error_) error_ = std::current_exception();
    }
    void rethrow() const {
        if (error_) std::rethrow_exception(error_);
    }

private:
    std::mutex mutex_;
    std::exception_ptr error_;
};

}  // namespace

std::size_t run_workers(std::size_t threads, const std::function<void(std::size_t, std::size_t)>& body) {
    threads = std::max<std::size_t>(threads, 1);
    FirstError error;
    // Workers learn the final count only once every thread that could be
    // started is running, so a refused thread leaves no work unassigned.
    std::atomic<std::size_t> started{0};
    std::atomic<bool> ready{false};
    const auto run = [&](std::size_t worker) {
        while (!ready.load(std::memory_order_acquire)) std::this_thread::yield();
        try {
            body(worker, started.load(std::memory_order_relaxed));
        } catch (...) {
            error.capture();
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    for (std::size_t worker = 1; worker < threads; ++worker) {
        try {
            pool.emplace_back(run, worker);
        } catch (const std::system_error&) {
            break;  // the system refuses more threads: go on with those running
        }
    }
    started.store(pool.size() + 1, std::memory_order_relaxed);
    ready.store(true, std::memory_order_release);
    run(0);
    for (std::thread& thread : pool) thread.join();
    error.rethrow();
    return pool.size() + 1;
}

bool parallel_for(std::size_t count, const ParallelFor& options,
                  const std::function<void(std::size_t, std::size_t, std::size_t)>& body) {
    const std::size_t chunk = std::max<std::size_t>(options.chunk, 1);
    const std::size_t chunks = count / chunk + (count % chunk != 0);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    bool stopped = false;  // by poll; written by worker 0 only
    const WorkerTaskHook hook = worker_task_hook();
    run_workers(std::min(options.threads, std::max<std::size_t>(chunks, 1)), [&](std::size_t worker, std::size_t) {
        auto last_poll = std::chrono::steady_clock::now();
        try {
            while (!stop.load(std::memory_order_relaxed)) {
                if (worker == 0 && options.poll) {
                    const auto now = std::chrono::steady_clock::now();
                    if (now - last_poll >= options.poll_interval) {
                        last_poll = now;
                        if (options.poll()) {
                            stopped = true;
                            stop.store(true, std::memory_order_relaxed);
                            break;
                        }
                    }
                }
                const std::size_t index = next.fetch_add(1, std::memory_order_relaxed);
                if (index >= chunks) break;
                const std::size_t begin = index * chunk;
                if (hook != nullptr) hook(worker);
                body(begin, std::min(count, begin + chunk), worker);
            }
        } catch (...) {
            stop.store(true, std::memory_order_relaxed);
            throw;
        }
    });
    return !stopped;
}

}  // namespace tessra
