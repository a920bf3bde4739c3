// Building the pruned graph: the same graph on any thread count, a batch of
// one is one insertion, lists within their bounds, and a stop or a fault
// keeping a complete prefix from which the build resumes as if never stopped.
#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "check.hpp"
#include "pruned_test_support.hpp"

using namespace tessra;
using namespace pruned_test;

namespace {

PrunedHNSW built(const Rows& rows, std::size_t count, const std::vector<std::uint64_t>& levels, std::size_t workers,
                 Metric metric = Metric::Euclidean, BuildTuning tuning = BuildTuning()) {
    PrunedHNSW index = make_index(rows[0].size(), metric);
    index.set_tuning(tuning);
    const std::vector<std::uint64_t> taken(levels.begin(), levels.begin() + count);
    const AddResult result = index.add_with_levels(as_list(rows, 0, count), nullptr, taken, threads(workers));
    CHECK(!result.error.has_value());
    CHECK_EQ(result.added, count);
    return index;
}

// Small batches early and a cap reached within the test's sizes.
BuildTuning small_batches() {
    BuildTuning tuning;
    tuning.divisor = 8;
    tuning.cap = 64;
    return tuning;
}

}  // namespace

TEST(pruned_parallel_build_is_the_same_on_every_thread_count) {
    for (const Data kind : {Data::Random, Data::Clustered, Data::Duplicates, Data::Sorted}) {
        for (const Metric metric : {Metric::Euclidean, Metric::Cosine}) {
            const Rows rows = make_data(kind, 1200, 6, 21);
            const Rows queries = make_data(kind, 30, 6, 22);
            const std::vector<std::uint64_t> levels = draw_levels(rows.size(), 6, 16, 23);
            const PrunedHNSW one = built(rows, rows.size(), levels, 1, metric, small_batches());
            check_invariants(one);
            for (const std::size_t workers : {2, 8}) {
                const PrunedHNSW many = built(rows, rows.size(), levels, workers, metric, small_batches());
                CHECK(same_graph(one, many));
                CHECK(answers(one, queries, 10) == answers(many, queries, 10));
            }
        }
    }
}

// create runs the same batches on the calling thread, from the same level draws.
TEST(pruned_parallel_add_equals_create) {
    const Rows rows = make_data(Data::Clustered, 900, 5, 31);
    PrunedHNSW created = make_index(5), added = make_index(5);
    hnsw_test::SeededRandom rng_a(32), rng_b(32);
    CHECK(!created.create(as_list(rows, 0, rows.size()), nullptr, rng_a).has_value());
    const AddResult result = added.add(as_list(rows, 0, rows.size()), nullptr, rng_b, threads(3));
    CHECK(!result.error.has_value() && result.added == rows.size());
    CHECK(same_graph(created, added));
    CHECK_EQ(rng_a.next_u64(), rng_b.next_u64());
    // Every node drew its level from its own word, in order.
    const std::vector<std::uint64_t> levels = draw_levels(rows.size(), 6, 16, 32);
    for (std::size_t id = 0; id < rows.size(); ++id) CHECK_EQ(created.level(id), levels[id]);
}

// With batches of one, a bulk insertion is one insertion after another, and
// an insertion into a bulk-built graph is a batch of one more.
TEST(pruned_batch_of_one_equals_insert) {
    const Rows rows = make_data(Data::Random, 400, 4, 41);
    const std::vector<std::uint64_t> levels = draw_levels(rows.size(), 6, 16, 42);
    BuildTuning single;
    single.divisor = 0;
    const PrunedHNSW batched = built(rows, rows.size(), levels, 2, Metric::Euclidean, single);
    PrunedHNSW inserted = make_index(4);
    hnsw_test::ScriptedRandom words;
    for (std::size_t i = 0; i < rows.size(); ++i) words.words.push_back(word_for_level(6, 16, levels[i]));
    for (const auto& row : rows) CHECK(!inserted.insert(row.data(), row.size(), nullptr, words).has_value());
    CHECK(same_graph(batched, inserted));

    PrunedHNSW grown = built(rows, 300, levels, 2);
    PrunedHNSW added = built(rows, 300, levels, 2);
    added.set_tuning(single);
    for (std::size_t i = 300; i < rows.size(); ++i) {
        hnsw_test::ScriptedRandom word{word_for_level(6, 16, levels[i])};
        CHECK(!grown.insert(rows[i].data(), rows[i].size(), nullptr, word).has_value());
    }
    const std::vector<std::uint64_t> rest(levels.begin() + 300, levels.end());
    CHECK(!added.add_with_levels(as_list(rows, 300, rows.size()), nullptr, rest, threads(2)).error.has_value());
    CHECK(same_graph(grown, added));
}

TEST(pruned_degree_bounds_hold_after_random_builds) {
    for (const std::uint64_t m : {2, 3, 8}) {
        for (const bool fill : {false, true}) {
            const Rows rows = make_data(Data::Clustered, 700, 3, 50 + m);
            PrunedHNSW index(3, Metric::Euclidean, 16, m, 16, 16, std::nullopt);
            BuildTuning tuning;
            tuning.fill_layer0 = fill;
            index.set_tuning(tuning);
            hnsw_test::SeededRandom rng(m);
            CHECK(!index.add(as_list(rows, 0, 500), nullptr, rng, threads(2)).error.has_value());
            for (std::size_t i = 500; i < rows.size(); ++i) CHECK(!index.insert(rows[i].data(), 3, nullptr, rng).has_value());
            check_invariants(index);
            // A new node's own list holds up to m on layer 0 unless filled.
            std::size_t longest = 0;
            for (std::uint64_t id = 0; id < index.size(); ++id) longest = std::max(longest, index.neighbours(id, 0).size());
            CHECK(longest <= 2 * m);
        }
    }
}

// A stop between or inside batches keeps the batches linked before it: the
// graph a build of just those nodes makes. Resuming from there builds the
// graph of the uninterrupted build, since batches depend on the index size alone.
TEST(pruned_parallel_build_stopped_keeps_batches_and_resumes) {
    const Rows rows = make_data(Data::Clustered, 1500, 6, 61);
    const std::vector<std::uint64_t> levels = draw_levels(rows.size(), 6, 16, 62);
    const PrunedHNSW whole = built(rows, rows.size(), levels, 2, Metric::Euclidean, small_batches());
    for (const std::size_t workers : {1, 2, 3}) {
        for (const int polls : {1, 5, 40}) {
            PrunedHNSW index = make_index(6);
            index.set_tuning(small_batches());
            AddOptions options = threads(workers);
            options.poll_interval = std::chrono::milliseconds(0);
            int calls = 0;
            options.poll = [&](std::size_t done, std::size_t total) {
                CHECK(done <= total && total == rows.size());
                return ++calls >= polls;
            };
            const AddResult result = index.add_with_levels(as_list(rows, 0, rows.size()), nullptr, levels, options);
            CHECK(result.stopped && !result.error.has_value());
            CHECK(result.added < rows.size() && result.added == index.size());
            check_invariants(index);
            CHECK(same_graph(index, built(rows, result.added, levels, 1, Metric::Euclidean, small_batches())));
            const std::vector<std::uint64_t> rest(levels.begin() + result.added, levels.end());
            CHECK(!index.add_with_levels(as_list(rows, result.added, rows.size()), nullptr, rest, threads(workers))
                       .error.has_value());
            CHECK(same_graph(index, whole));
        }
    }
}

// A fault on a worker surfaces once every thread stopped, and leaves the
// batches linked before the faulting one.
TEST(pruned_parallel_build_fault_keeps_batches) {
    const Rows rows = make_data(Data::Random, 1000, 5, 71);
    const std::vector<std::uint64_t> levels = draw_levels(rows.size(), 6, 16, 72);
    for (const std::size_t workers : {1, 2, 4}) {
        PrunedHNSW index = make_index(5);
        index.set_tuning(small_batches());
        std::atomic<bool> thrown{false};
        const PlanProbe probe = [&](std::uint64_t id) {
            if (id == 700 && !thrown.exchange(true)) throw std::runtime_error("injected");
        };
        bool surfaced = false;
        try {
            index.add_with_levels(as_list(rows, 0, rows.size()), nullptr, levels, threads(workers), probe);
        } catch (const std::runtime_error&) {
            surfaced = true;
        }
        CHECK(surfaced);
        CHECK(index.size() <= 700 && index.size() > 600);
        check_invariants(index);
        CHECK(same_graph(index, built(rows, index.size(), levels, 1, Metric::Euclidean, small_batches())));
    }
}

TEST(pruned_bulk_errors_store_nothing) {
    PrunedHNSW index(2, Metric::Euclidean, 16, 4, 8, 8, Schema(std::vector<std::string>{"tag"}));
    hnsw_test::ScriptedRandom none;
    CHECK(hnsw_test::is_error(index.create(VectorList(), nullptr, none), HNSWError::EmptyVectors));
    const std::vector<MetadataRecord> records(3);
    CHECK(hnsw_test::is_error(index.create(hnsw_test::vector_list({{1, 2}}), &records, none), HNSWError::AttributeNotFound));
    CHECK_EQ(index.size(), std::size_t{0});
    CHECK_EQ(none.used, std::size_t{0});

    // A zero beam: the entry point of an empty index is stored, nothing after it, and no word is drawn for it.
    PrunedHNSW zero(2, Metric::Euclidean, 16, 4, 0, 8, std::nullopt);
    hnsw_test::SeededRandom rng(1);
    const AddResult result = zero.add(hnsw_test::vector_list({{1, 2}, {3, 4}, {5, 6}}), nullptr, rng, threads(2));
    CHECK(hnsw_test::is_error(result.error, HNSWError::InvalidEF));
    CHECK_EQ(result.added, std::size_t{1});
    hnsw_test::ScriptedRandom untouched;
    const std::vector<double> v{1, 1};
    CHECK(hnsw_test::is_error(zero.insert(v.data(), 2, nullptr, untouched), HNSWError::InvalidEF));
    CHECK_EQ(untouched.used, std::size_t{0});
    CHECK_EQ(zero.size(), std::size_t{1});
}
