// Batched searches on worker threads: every row equals the one-query search
// (bit for bit) for any thread count, and a poll stops the run. Also run under
// ThreadSanitizer by dev/tsan.sh.
#include <atomic>
#include <cstdint>
#include <new>
#include <cstring>
#include <limits>
#include <random>

#include "check.hpp"
#include "common/test_hooks.hpp"
#include "flat/flat_batch.hpp"
#include "hnsw/hnsw_batch.hpp"
#include "hnsw_test_support.hpp"
#include "sketch/sketch_index.hpp"

using namespace tessra;

namespace {

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Small integers (ties), with NaNs of both signs and infinities mixed in.
std::vector<double> values(std::mt19937_64& rng, std::size_t n) {
    std::uniform_int_distribution<int> pick(-3, 40);
    std::vector<double> v(n);
    for (auto& x : v) {
        const int r = pick(rng);
        x = r == 40 ? std::numeric_limits<double>::quiet_NaN()
            : r == 39 ? -std::numeric_limits<double>::quiet_NaN()
            : r == 38 ? std::numeric_limits<double>::infinity()
                      : static_cast<double>(r % 4);
    }
    return v;
}

// Row `row` of `out` holds exactly `found`, then padding.
bool row_matches(const BatchResults& out, std::size_t row, const std::vector<Candidate>& found) {
    if (found.size() > out.width) return false;
    for (std::size_t i = 0; i < out.width; ++i) {
        const std::int64_t id = out.ids[row * out.width + i];
        const double d = out.distances[row * out.width + i];
        if (i < found.size() ? (id != static_cast<std::int64_t>(found[i].id) || bits(d) != bits(found[i].distance))
                             : (id != -1 || !std::isnan(d)))
            return false;
    }
    return true;
}

ParallelFor threads(std::size_t count) {
    ParallelFor options;
    options.threads = count;
    return options;
}

}  // namespace

TEST(flat_batch_rows_equal_flat_search) {
    std::mt19937_64 rng(31);
    for (Metric metric : {Metric::Euclidean, Metric::Dot, Metric::Cosine}) {
        for (std::size_t dim : {1, 9, 130}) {
            Flat flat(dim, metric);
            for (std::size_t i = 0; i < 300; ++i) {
                const auto v = values(rng, dim);
                flat.insert(v.data(), dim);
            }
            const std::size_t rows = 45;
            const auto queries = values(rng, rows * dim);
            for (std::size_t k : {1, 10, 400}) {
                for (std::size_t count : {1, 3}) {
                    BatchResults out;
                    bool finished = false;
                    CHECK(!flat_search_batch(flat, queries.data(), rows, k, threads(count), out, finished));
                    CHECK(finished);
                    std::vector<Candidate> found;
                    for (std::size_t q = 0; q < rows; ++q) {
                        flat.search(queries.data() + q * dim, dim, k, found);
                        CHECK(row_matches(out, q, found));
                    }
                }
            }
        }
    }
}

TEST(hnsw_batch_rows_equal_hnsw_search) {
    hnsw_test::SeededRandom random(5);
    std::mt19937_64 rng(6);
    HNSW hnsw(4, Metric::Euclidean, 3, 16, 12, 6, Schema(std::vector<std::string>{"tag"}));
    for (std::size_t i = 0; i < 200; ++i) {
        const auto v = values(rng, 4);
        const MetadataRecord record{Metadata::integer(static_cast<std::int64_t>(i % 3))};
        CHECK(!hnsw.insert(v.data(), 4, &record, random));
    }
    VectorList queries;
    for (std::size_t q = 0; q < 60; ++q) {
        const auto v = values(rng, 1 + q % 5);  // any length
        queries.values().insert(queries.values().end(), v.begin(), v.end());
        queries.end_vector();
    }
    const Filter filter = Filter::equals("tag", Metadata::integer(1));
    for (const Filter* f : {static_cast<const Filter*>(nullptr), &filter}) {
        for (std::uint64_t ef : {1, 6, 40}) {
            BatchResults out;
            bool finished = false;
            CHECK(!hnsw_search_batch(hnsw, queries, 10, f, ef, threads(3), out, finished));
            CHECK(finished && out.width == std::min<std::size_t>(10, ef));
            std::vector<Candidate> found;
            for (std::size_t q = 0; q < queries.size(); ++q) {
                CHECK(!hnsw.search(queries.data(q), queries.length(q), 10, f, found, ef));
                CHECK(row_matches(out, q, found));
            }
        }
    }
    BatchResults out;
    bool finished = false;
    CHECK(hnsw_search_batch(hnsw, queries, 10, nullptr, 0, threads(3), out, finished) == HNSWError::InvalidEF);
}

TEST(batches_stop_when_the_poll_says_so) {
    std::mt19937_64 rng(8);
    Flat flat(64, Metric::Euclidean);
    for (std::size_t i = 0; i < 20000; ++i) {
        const auto v = values(rng, 64);
        flat.insert(v.data(), 64);
    }
    const auto queries = values(rng, 64 * 400);
    for (std::size_t count : {1, 3}) {
        ParallelFor options = threads(count);
        options.poll_interval = std::chrono::milliseconds(0);
        std::size_t polls = 0;
        options.poll = [&] { return ++polls == 3; };
        BatchResults out;
        bool finished = true;
        CHECK(!flat_search_batch(flat, queries.data(), 400, 5, options, out, finished));
        CHECK(!finished && polls == 3);
    }
}

// Queries of one batch that want different parts of the data: a stored
// vector the sketch proves out for one query is wanted by another, so the
// batched scan may leave a pair out only for the query whose bound proves it
// out. Clusters in a low-dimensional subspace, so sketches are fitted and
// skip most of the data.
TEST(flat_batch_leaves_a_pair_out_only_for_the_query_that_proves_it_out) {
    const SketchSettings saved = sketch_settings();
    set_sketch_settings({256, 0, false, true});
    hnsw_test::SeededRandom rng(12);
    const std::size_t dim = 64, clusters = 8;
    std::vector<std::vector<double>> centres(clusters, std::vector<double>(dim, 0.0));
    for (std::size_t c = 0; c < clusters; ++c)
        for (std::size_t j = 0; j < 12; ++j) centres[c][j] = 100.0 * (rng.unit() - 0.5);
    const auto near = [&](std::size_t c) {
        std::vector<double> v = centres[c];
        for (std::size_t j = 0; j < 12; ++j) v[j] += rng.unit() - 0.5;
        return v;
    };
    for (Metric metric : {Metric::Euclidean, Metric::Dot, Metric::Cosine}) {
        Flat flat(dim, metric);
        for (std::size_t i = 0; i < 3000; ++i) {
            const auto v = near(i % clusters);
            flat.insert(v.data(), dim);
        }
        CHECK(flat.sketches.rank() > 0);
        // Neighbouring queries from different clusters (the scan regroups them by their sketches).
        std::vector<double> queries;
        const std::size_t rows = 70;
        for (std::size_t q = 0; q < rows; ++q) {
            const auto v = near((q * 3) % clusters);
            queries.insert(queries.end(), v.begin(), v.end());
        }
        reset_sketch_counters();
        for (std::size_t k : {1, 20}) {
            BatchResults out;
            bool finished = false;
            CHECK(!flat_search_batch(flat, queries.data(), rows, k, threads(2), out, finished));
            std::vector<Candidate> found;
            std::size_t differing = 0;
            for (std::size_t q = 0; q < rows; ++q) {
                flat.search(queries.data() + q * dim, dim, k, found);
                differing += row_matches(out, q, found) ? 0 : 1;
            }
            CHECK_EQ(differing, 0u);
        }
        CHECK(sketch_counters().skipped > 0);
    }
    set_sketch_settings(saved);
}

namespace {

std::atomic<int> tasks_left{0};

void failing_task(std::size_t) {
    if (tasks_left.fetch_sub(1) == 1) throw std::bad_alloc();
}

}  // namespace

// A task that fails midway through a batch (on whichever thread runs it):
// the batch throws once every worker has stopped, and the next batch, on the
// same index, answers as before.
TEST(a_failing_batch_task_surfaces_and_changes_nothing) {
    std::mt19937_64 rng(9);
    Flat flat(16, Metric::Euclidean);
    hnsw_test::SeededRandom levels(3);
    HNSW hnsw(16, Metric::Euclidean, 3, 16, 12, 10, std::nullopt);
    for (std::size_t i = 0; i < 400; ++i) {
        const auto v = values(rng, 16);
        flat.insert(v.data(), 16);
        CHECK(!hnsw.insert(v.data(), 16, nullptr, levels));
    }
    const std::size_t rows = 300;
    const auto flat_queries = values(rng, rows * 16);
    VectorList queries;
    for (std::size_t q = 0; q < rows; ++q) {
        queries.values().insert(queries.values().end(), flat_queries.begin() + q * 16, flat_queries.begin() + q * 16 + 16);
        queries.end_vector();
    }
    const auto run = [&](bool graph, BatchResults& out) {
        bool finished = false;
        if (graph) return !hnsw_search_batch(hnsw, queries, 5, nullptr, 10, threads(3), out, finished);
        return !flat_search_batch(flat, flat_queries.data(), rows, 5, threads(3), out, finished);
    };
    for (bool graph : {false, true}) {
        BatchResults before, after;
        CHECK(run(graph, before));
        for (int fail_at : {1, 4}) {
            tasks_left = fail_at;
            set_worker_task_hook(failing_task);
            bool thrown = false;
            try {
                BatchResults out;
                run(graph, out);
            } catch (const std::bad_alloc&) {
                thrown = true;
            }
            set_worker_task_hook(nullptr);
            CHECK(thrown);
            CHECK(run(graph, after));
            CHECK(after.ids == before.ids);
        }
    }
}
