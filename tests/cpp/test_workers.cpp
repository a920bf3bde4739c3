// Worker threads for one call: every item runs exactly once, errors come back
// to the caller, and a poll on the calling thread stops the run.
#include <atomic>
#include <stdexcept>
#include <vector>

#include "check.hpp"
#include "parallel/workers.hpp"

using tessra::ParallelFor;
using tessra::parallel_for;

TEST(parallel_for_runs_every_item_once_for_any_threads_and_chunk) {
    for (std::size_t threads : {1, 2, 3, 8}) {
        for (std::size_t count : {0, 1, 7, 100}) {
            for (std::size_t chunk : {1, 3, 64}) {
                std::vector<std::atomic<int>> hits(count);
                ParallelFor options;
                options.threads = threads;
                options.chunk = chunk;
                const bool finished = parallel_for(count, options, [&](std::size_t begin, std::size_t end, std::size_t) {
                    CHECK(begin < end && end <= count && end - begin <= chunk);
                    for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
                });
                CHECK(finished);
                for (auto& hit : hits) CHECK_EQ(hit.load(), 1);
            }
        }
    }
    CHECK(tessra::usable_cores() >= 1);
}

TEST(parallel_for_rethrows_a_worker_error_on_the_caller_and_stops_the_rest) {
    for (std::size_t threads : {1, 2, 4}) {
        std::atomic<std::size_t> ran{0};
        ParallelFor options;
        options.threads = threads;
        bool thrown = false;
        try {
            parallel_for(100000, options, [&](std::size_t begin, std::size_t, std::size_t) {
                ran.fetch_add(1);
                if (begin == 10) throw std::runtime_error("item 10");
            });
        } catch (const std::runtime_error& error) {
            thrown = std::string(error.what()) == "item 10";
        }
        CHECK(thrown);
        CHECK(ran.load() < 100000);
    }
}

TEST(parallel_for_poll_on_the_calling_thread_stops_the_run) {
    for (std::size_t threads : {1, 3}) {
        std::atomic<std::size_t> ran{0};
        std::size_t polls = 0;
        ParallelFor options;
        options.threads = threads;
        options.poll_interval = std::chrono::milliseconds(0);
        options.poll = [&] { return ++polls == 5; };
        const bool finished = parallel_for(1000000, options, [&](std::size_t, std::size_t, std::size_t) { ran.fetch_add(1); });
        CHECK(!finished);
        CHECK_EQ(polls, std::size_t{5});
        CHECK(ran.load() < 1000000);
    }
}
