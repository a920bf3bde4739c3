// The parallel build links exactly the graph of one insertion after another:
// every run and every answer, for any thread count, data order and stop.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <new>
#include <thread>
#include <vector>

#include "check.hpp"
#include "common/test_hooks.hpp"
#include "hnsw_test_support.hpp"

using namespace tessra;
using namespace hnsw_test;

namespace {

enum class Data { Random, Clustered, Duplicates, Sorted };

std::vector<std::vector<double>> make_data(Data kind, std::size_t n, std::size_t dim, std::uint64_t seed) {
    SeededRandom rng(seed);
    std::vector<std::vector<double>> centres(8, std::vector<double>(dim));
    for (auto& c : centres)
        for (double& x : c) x = rng.unit() * 20.0 - 10.0;
    std::vector<std::vector<double>> rows(n, std::vector<double>(dim));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t d = 0; d < dim; ++d) {
            switch (kind) {
                case Data::Random: rows[i][d] = rng.unit() * 2.0 - 1.0; break;
                case Data::Clustered: rows[i][d] = centres[i % centres.size()][d] + (rng.unit() - 0.5) * 0.3; break;
                // Few distinct points: equal distances and repeated vectors everywhere.
                case Data::Duplicates: rows[i][d] = static_cast<double>(rng.below(3)); break;
                // Consecutive insertions are near each other: most speculative searches conflict.
                case Data::Sorted: rows[i][d] = static_cast<double>(i) * 0.01 + (d == 0 ? 0.0 : rng.unit() * 0.05); break;
            }
        }
    }
    return rows;
}

VectorList as_list(const std::vector<std::vector<double>>& rows, std::size_t from, std::size_t to) {
    VectorList list;
    for (std::size_t i = from; i < to; ++i) {
        list.values().insert(list.values().end(), rows[i].begin(), rows[i].end());
        list.end_vector();
    }
    return list;
}

std::vector<std::uint64_t> draw_levels(std::size_t n, std::uint64_t layers, std::uint64_t seed) {
    const std::vector<double> weights = make_level_weights(layers);
    SeededRandom rng(seed);
    std::vector<std::uint64_t> levels(n);
    for (auto& level : levels) level = draw_level(weights, layers, rng);
    return levels;
}

// One insertion after another, each fed the word that draws its level.
HNSW one_by_one(const std::vector<std::vector<double>>& rows, const std::vector<std::uint64_t>& levels,
                std::size_t count, Metric metric, std::uint64_t layers, std::uint64_t ef_construction) {
    HNSW index = make_index(rows[0].size(), layers, ef_construction, 20, std::nullopt, metric);
    for (std::size_t i = 0; i < count; ++i) {
        ScriptedRandom rng;
        if (i > 0) rng.words.push_back(word_for_level(layers, levels[i]));
        CHECK(is_none(index.insert(rows[i].data(), rows[i].size(), nullptr, rng)));
    }
    return index;
}

void expect_same_graph(const HNSW& got, const HNSW& want, const std::vector<std::vector<double>>& queries) {
    CHECK_EQ(got.size(), want.size());
    if (got.size() != want.size()) return;
    std::size_t differing = 0;
    for (std::uint64_t id = 0; id < got.size(); ++id) {
        const RunSpan a = got.run(id), b = want.run(id);
        if (got.level(id) != want.level(id) || !std::equal(a.begin(), a.end(), b.begin(), b.end())) ++differing;
    }
    CHECK_EQ(differing, 0u);
    std::vector<Candidate> a, b;
    std::size_t mismatches = 0;
    for (const auto& q : queries) {
        got.search(q.data(), q.size(), 10, nullptr, a);
        want.search(q.data(), q.size(), 10, nullptr, b);
        bool same = a.size() == b.size();
        for (std::size_t i = 0; same && i < a.size(); ++i)
            same = a[i].id == b[i].id && (a[i].distance == b[i].distance || (std::isnan(a[i].distance) && std::isnan(b[i].distance)));
        if (!same) ++mismatches;
    }
    CHECK_EQ(mismatches, 0u);
}

struct BuildCase {
    Data data;
    Metric metric;
    std::uint64_t layers;
    std::uint64_t ef_construction;
    std::size_t n;
    std::size_t dim;
};

void check_parallel_build(const BuildCase& c, std::uint64_t seed) {
    const auto rows = make_data(c.data, c.n, c.dim, seed);
    const auto queries = make_data(Data::Random, 20, c.dim, seed + 1);
    const auto levels = draw_levels(c.n, c.layers, seed + 2);
    const HNSW want = one_by_one(rows, levels, c.n, c.metric, c.layers, c.ef_construction);
    for (std::size_t threads : {1u, 2u, 8u}) {
        // All at once into an empty index, and in two calls (the second onto a linked graph).
        HNSW whole = make_index(c.dim, c.layers, c.ef_construction, 20, std::nullopt, c.metric);
        AddOptions options;
        options.threads = threads;
        const AddResult result = whole.add_with_levels(as_list(rows, 0, c.n), nullptr, levels, options);
        CHECK(is_none(result.error));
        CHECK_EQ(result.added, c.n);
        CHECK_EQ(result.speculated + result.direct, c.n - 1);
        if (threads == 1) CHECK_EQ(result.speculated, 0u);
        expect_same_graph(whole, want, queries);

        HNSW halves = make_index(c.dim, c.layers, c.ef_construction, 20, std::nullopt, c.metric);
        const std::size_t half = c.n / 3;
        halves.add_with_levels(as_list(rows, 0, half), nullptr,
                               std::vector<std::uint64_t>(levels.begin(), levels.begin() + half), options);
        halves.add_with_levels(as_list(rows, half, c.n), nullptr,
                               std::vector<std::uint64_t>(levels.begin() + half, levels.end()), options);
        expect_same_graph(halves, want, queries);
    }
}

}  // namespace

TEST(parallel_build_links_the_one_by_one_graph) {
    std::uint64_t seed = 1;
    for (Data data : {Data::Random, Data::Clustered, Data::Duplicates, Data::Sorted}) {
        check_parallel_build({data, Metric::Euclidean, 4, 24, 700, 6}, seed++);
        check_parallel_build({data, Metric::Cosine, 1, 8, 500, 4}, seed++);
    }
    // Long vectors, where euclidean distances may stop early at a full list's bound.
    check_parallel_build({Data::Clustered, Metric::Euclidean, 3, 16, 400, 80}, seed++);
    check_parallel_build({Data::Random, Metric::Dot, 2, 10, 400, 5}, seed++);
}

TEST(parallel_build_stopped_keeps_a_prefix_and_resumes) {
    const std::size_t n = 900;
    const auto rows = make_data(Data::Clustered, n, 8, 77);
    const auto levels = draw_levels(n, 4, 78);
    const auto queries = make_data(Data::Random, 10, 8, 79);
    for (std::size_t threads : {1u, 3u}) {
        HNSW index = make_index(8, 4, 32);
        AddOptions options;
        options.threads = threads;
        options.poll_interval = std::chrono::milliseconds(0);
        std::size_t calls = 0, last_done = 0;
        bool monotone = true;
        options.poll = [&](std::size_t done, std::size_t total) {
            monotone = monotone && done >= last_done && done <= total && total == n;
            last_done = done;
            return ++calls == 40;
        };
        const AddResult result = index.add_with_levels(as_list(rows, 0, n), nullptr, levels, options);
        CHECK(result.stopped);
        CHECK(monotone);
        CHECK(result.added < n);
        CHECK_EQ(index.size(), result.added);
        expect_same_graph(index, one_by_one(rows, levels, result.added, Metric::Euclidean, 4, 32), queries);
        // The rest, added afterwards, completes the very same graph.
        AddOptions rest;
        rest.threads = threads;
        index.add_with_levels(as_list(rows, result.added, n), nullptr,
                              std::vector<std::uint64_t>(levels.begin() + result.added, levels.end()), rest);
        expect_same_graph(index, one_by_one(rows, levels, n, Metric::Euclidean, 4, 32), queries);
    }
}

TEST(parallel_add_draws_levels_as_create_does) {
    const auto rows = make_data(Data::Random, 300, 5, 5);
    HNSW created = make_index(5, 5, 20, 10, std::vector<std::string>{"n"});
    HNSW added = make_index(5, 5, 20, 10, std::vector<std::string>{"n"});
    std::vector<MetadataRecord> records;
    for (std::size_t i = 0; i < rows.size(); ++i) records.push_back({Metadata::integer(static_cast<std::int64_t>(i % 3))});
    SeededRandom a(9), b(9);
    CHECK(is_none(created.create(as_list(rows, 0, rows.size()), &records, a)));
    AddOptions options;
    options.threads = 4;
    const AddResult result = added.add(as_list(rows, 0, rows.size()), &records, b, options);
    CHECK(is_none(result.error));
    CHECK_EQ(a.next_u64(), b.next_u64());  // the same number of words drawn
    expect_same_graph(added, created, make_data(Data::Random, 10, 5, 6));
    const Filter one = Filter::equals("n", Metadata::integer(1));
    std::vector<Candidate> x, y;
    const double q[] = {0.1, 0.2, 0.3, 0.4, 0.5};
    CHECK(is_none(added.search(q, 5, 8, &one, x)));
    CHECK(is_none(created.search(q, 5, 8, &one, y)));
    CHECK_LIST(result_ids(x), result_ids(y));
}

TEST(parallel_add_failures_as_create) {
    // A zero beam: the first node is stored, the first linking one fails after its draw.
    HNSW index = make_index(1, 2, 0);
    ScriptedRandom rng{0, 0, 0};
    AddOptions options;
    options.threads = 2;
    const AddResult result = index.add(vector_list({{7.0}, {8.0}, {9.0}}), nullptr, rng, options);
    CHECK(is_error(result.error, HNSWError::InvalidEF));
    CHECK_EQ(result.added, 1u);
    CHECK_EQ(index.size(), 1u);
    CHECK_EQ(rng.used, 1u);
    ScriptedRandom none;
    CHECK(is_error(index.add(VectorList(), nullptr, none, options).error, HNSWError::EmptyVectors));
    HNSW schema = make_index(1, 2, 10, 10, std::vector<std::string>{"n"});
    const std::vector<MetadataRecord> one = {{Metadata::integer(1)}};
    CHECK(is_error(schema.add(vector_list({{1.0}, {2.0}}), &one, none, options).error, HNSWError::AttributeNotFound));
    CHECK_EQ(schema.size(), 0u);
    CHECK_EQ(none.used, 0u);
    // Without layers nothing is linked and every vector still draws.
    HNSW flat = make_index(1, 0, 0);
    ScriptedRandom words{1, 2};
    CHECK(is_none(flat.add(vector_list({{1.0}, {2.0}, {3.0}}), nullptr, words, options).error));
    CHECK_EQ(flat.size(), 3u);
    CHECK_EQ(words.used, 2u);
}

TEST(concurrent_run_table_readers_see_whole_prefixes) {
    // One writer appends value f(node, k) at position k while readers scan;
    // every entry a reader sees must be the one written there.
    RunTable table;
    const std::size_t nodes = 64, per_node = 3000;
    table.reserve(nodes);
    for (std::size_t i = 0; i < nodes; ++i) table.add_node();
    table.set_readers_may_scan(true);
    std::atomic<bool> done{false};
    std::atomic<std::size_t> bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&, r] {
            std::size_t node = static_cast<std::size_t>(r);
            while (!done.load(std::memory_order_relaxed)) {
                const RunSpan span = table.get(node);
                for (std::size_t k = 0; k < span.size(); ++k)
                    if (span[k] != node * 100000 + k) bad.fetch_add(1);
                node = (node + 7) % nodes;
            }
        });
    }
    for (std::size_t k = 0; k < per_node; ++k)
        for (std::size_t node = 0; node < nodes; ++node) {
            if (k % 50 == 0) table.reserve_more(node, 10);
            table.append(node, static_cast<std::uint32_t>(node * 100000 + k));
        }
    done = true;
    for (auto& t : readers) t.join();
    table.set_readers_may_scan(false);
    CHECK_EQ(bad.load(), 0u);
    CHECK_EQ(table.entries(), nodes * per_node);
}

namespace {

// Sets a test hook for one test and clears it after.
struct ScopedHooks {
    ScopedHooks(bool lockstep, WorkerTaskHook hook) {
        set_lockstep_build(lockstep);
        set_worker_task_hook(hook);
    }
    ~ScopedHooks() {
        set_lockstep_build(false);
        set_worker_task_hook(nullptr);
    }
};

std::atomic<std::size_t> tasks_before_failure{0};

// A worker thread that fails at its task once tasks_before_failure runs out.
void failing_worker(std::size_t worker) {
    if (worker != 0 && tasks_before_failure.fetch_sub(1) == 1) throw std::bad_alloc();
}

}  // namespace

// In lockstep every search but the first runs ahead on a graph older than its
// turn, whatever the scheduling (a one-core runner included): speculation and
// its validation both run, the conflicting ones are redone, the others kept,
// and the graph is the one-by-one graph.
TEST(parallel_build_validates_and_redoes_speculative_searches) {
    ScopedHooks hooks(true, nullptr);
    for (Data data : {Data::Random, Data::Clustered, Data::Sorted}) {
        const std::size_t n = 600;
        const auto rows = make_data(data, n, 6, 40 + static_cast<int>(data));
        const auto levels = draw_levels(n, 4, 41);
        for (std::size_t threads : {2u, 4u}) {
            HNSW index = make_index(6, 4, 16, 20);
            AddOptions options;
            options.threads = threads;
            const AddResult result = index.add_with_levels(as_list(rows, 0, n), nullptr, levels, options);
            CHECK_EQ(result.added, n);
            CHECK_EQ(result.speculated, n - 1);
            CHECK_EQ(result.direct, 0u);
            CHECK(result.redone > 0);
            CHECK(result.redone < result.speculated);
            expect_same_graph(index, one_by_one(rows, levels, n, Metric::Euclidean, 4, 16),
                              make_data(Data::Random, 10, 6, 42));
        }
    }
}

// A worker thread that fails midway: the error comes out of add, every worker
// has stopped, and the index holds exactly the insertions linked before it
// (the one-by-one graph of them), ready to take the rest.
TEST(parallel_build_worker_failure_keeps_a_linked_prefix) {
    ScopedHooks hooks(true, failing_worker);
    const std::size_t n = 500;
    const auto rows = make_data(Data::Clustered, n, 6, 50);
    const auto levels = draw_levels(n, 3, 51);
    const auto queries = make_data(Data::Random, 10, 6, 52);
    for (std::size_t fail_at : {1u, 200u}) {
        tasks_before_failure = fail_at;
        HNSW index = make_index(6, 3, 16, 20);
        AddOptions options;
        options.threads = 3;
        bool thrown = false;
        try {
            index.add_with_levels(as_list(rows, 0, n), nullptr, levels, options);
        } catch (const std::bad_alloc&) {
            thrown = true;
        }
        CHECK(thrown);
        const std::size_t kept = index.size();
        CHECK(kept >= 1 && kept < n);
        expect_same_graph(index, one_by_one(rows, levels, kept, Metric::Euclidean, 3, 16), queries);
        set_worker_task_hook(nullptr);
        index.add_with_levels(as_list(rows, kept, n), nullptr,
                              std::vector<std::uint64_t>(levels.begin() + kept, levels.end()), options);
        expect_same_graph(index, one_by_one(rows, levels, n, Metric::Euclidean, 3, 16), queries);
        set_worker_task_hook(failing_worker);
    }
}
