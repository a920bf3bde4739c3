// k-nearest search: check order, result sizes, ties, NaN, filters and huge layer counts.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "check.hpp"
#include "hnsw_test_support.hpp"

using namespace tessra;
using namespace hnsw_test;

namespace {

std::optional<HNSWError> search(const HNSW& index, std::vector<double> query, std::uint64_t k,
                                const Filter* filter, std::vector<Candidate>& out) {
    return index.search(query.data(), query.size(), k, filter, out);
}

// One-dimensional index holding the given points, every node on layer 0 only
// beyond node 0.
HNSW line_index(std::initializer_list<double> points, std::uint64_t layers = 1, std::uint64_t ef_search = 50,
                Schema schema = std::nullopt, const std::vector<MetadataRecord>* records = nullptr,
                std::uint64_t ef_construction = 200) {
    HNSW index = make_index(1, layers, ef_construction, ef_search, std::move(schema));
    ScriptedRandom rng;
    for (std::size_t i = 1; i < points.size(); ++i) rng.words.push_back(word_for_level(layers == 0 ? 1 : layers, 0));
    std::size_t i = 0;
    for (double x : points) {
        const MetadataRecord* record = records != nullptr && i < records->size() ? &(*records)[i] : nullptr;
        CHECK(is_none(insert(index, {x}, rng, record)));
        ++i;
    }
    return index;
}

std::vector<MetadataRecord> colors(std::initializer_list<const char*> names) {
    std::vector<MetadataRecord> records;
    for (const char* name : names) records.push_back({Metadata::text(name)});
    return records;
}

const Filter kMissingAttribute = Filter::equals("weight", Metadata::integer(1));

}  // namespace

TEST(search_empty_index_answers_without_checks) {
    std::vector<Candidate> out{{1.0, 1}};
    for (std::uint64_t layers : {0u, 1u, 3u}) {
        const HNSW index = make_index(2, layers, 200, 0);
        CHECK(is_none(search(index, {1.0, 2.0}, 5, &kMissingAttribute, out)));
        CHECK(out.empty());
    }
}

TEST(search_single_node_answers_every_query) {
    const HNSW index = line_index({2.0}, 3);
    std::vector<Candidate> out;
    for (std::uint64_t k : {0u, 1u, 7u}) {
        CHECK(is_none(search(index, {5.0}, k, nullptr, out)));
        CHECK_EQ(out.size(), 1u);
        CHECK_EQ(out[0].id, 0u);
        CHECK_EQ(out[0].distance, 3.0);
    }
    // Queries of any length compare the common prefix.
    CHECK(is_none(search(index, {}, 1, nullptr, out)));
    CHECK_EQ(out[0].distance, 0.0);
    CHECK(is_none(search(index, {2.0, 9.0}, 1, nullptr, out)));
    CHECK_EQ(out[0].distance, 0.0);
}

TEST(search_result_sizes_follow_k_and_ef_search) {
    const HNSW index = line_index({0.0, 1.0, 2.0, 3.0, 4.0}, 1, 50);
    std::vector<Candidate> out;
    CHECK(is_none(search(index, {2.2}, 0, nullptr, out)));
    CHECK_LIST(result_ids(out), id_list({2}));
    CHECK(is_none(search(index, {2.2}, 3, nullptr, out)));
    CHECK_LIST(result_ids(out), id_list({2, 3, 1}));
    CHECK(is_none(search(index, {2.2}, 10, nullptr, out)));
    CHECK_LIST(result_ids(out), id_list({2, 3, 1, 4, 0}));
    CHECK(is_none(search(index, {2.2}, UINT64_MAX, nullptr, out)));
    CHECK_EQ(out.size(), 5u);
    const HNSW narrow = line_index({0.0, 1.0, 2.0, 3.0, 4.0}, 1, 3);
    CHECK(is_none(search(narrow, {2.2}, 10, nullptr, out)));
    CHECK(out.size() <= 3u);
}

TEST(search_check_order_where_problems_meet) {
    const std::vector<MetadataRecord> records = colors({"blue", "red"});
    std::vector<Candidate> out;
    const Filter blue = Filter::equals("color", Metadata::text("blue"));
    // No layers: the first descent step asks for a layer that does not exist, whatever else is wrong.
    const HNSW no_layers = line_index({0.0, 1.0}, 0, 0, std::nullopt);
    CHECK(is_error(search(no_layers, {0.0}, 1, nullptr, out), HNSWError::InvalidLayer));
    CHECK(is_error(search(no_layers, {0.0}, 1, &kMissingAttribute, out), HNSWError::InvalidLayer));
    // One layer: the final search is the first, and its beam is checked before the filter.
    const HNSW one_layer = line_index({0.0, 1.0}, 1, 0, std::vector<std::string>{"color"}, &records);
    CHECK(is_error(search(one_layer, {0.0}, 1, &kMissingAttribute, out), HNSWError::InvalidEF));
    CHECK(is_error(search(one_layer, {0.0}, 1, &blue, out), HNSWError::InvalidEF));
    CHECK(is_error(search(one_layer, {0.0}, 1, nullptr, out), HNSWError::InvalidEF));
    // Upper layers: descent steps use a beam of 1, so filter problems come before ef_search 0.
    const HNSW two_layers = line_index({0.0, 1.0}, 2, 0, std::vector<std::string>{"color"}, &records);
    CHECK(is_error(search(two_layers, {0.0}, 1, &kMissingAttribute, out), HNSWError::AttributeNotFound));
    CHECK(is_error(search(two_layers, {0.0}, 1, &blue, out), HNSWError::InvalidEF));
    CHECK(is_error(search(two_layers, {0.0}, 1, nullptr, out), HNSWError::InvalidEF));
    const HNSW no_schema = line_index({0.0, 1.0}, 2, 0);
    CHECK(is_error(search(no_schema, {0.0}, 1, &blue, out), HNSWError::NoSchema));
    const HNSW empty_schema = line_index({0.0, 1.0}, 2, 0, std::vector<std::string>{});
    CHECK(is_error(search(empty_schema, {0.0}, 1, &blue, out), HNSWError::EmptySchema));
    CHECK(out.empty());
    // The same holds when every upper layer holds node 0 alone and is skipped.
    const HNSW tall = line_index({0.0, 1.0}, std::uint64_t{1} << 63, 0, std::vector<std::string>{"color"}, &records);
    CHECK(is_error(search(tall, {0.0}, 1, &kMissingAttribute, out), HNSWError::AttributeNotFound));
    CHECK(is_error(search(tall, {0.0}, 1, &blue, out), HNSWError::InvalidEF));
    const HNSW tall_alone = line_index({0.0}, std::uint64_t{1} << 63, 0, std::vector<std::string>{});
    CHECK(is_error(search(tall_alone, {0.0}, 1, &blue, out), HNSWError::EmptySchema));
}

TEST(search_filter_attribute_resolution) {
    const std::vector<std::string> schema = {"a", "b", "a"};
    std::vector<MetadataRecord> records = {
        {Metadata::integer(1), Metadata::integer(2), Metadata::integer(3)},
        {Metadata::integer(3), Metadata::integer(2), Metadata::integer(1)},
    };
    const HNSW index = line_index({0.0, 1.0}, 1, 50, schema, &records);
    std::vector<Candidate> out;
    // A repeated name resolves to its first position.
    const Filter a_is_3 = Filter::equals("a", Metadata::integer(3));
    CHECK(is_none(search(index, {0.0}, 5, &a_is_3, out)));
    CHECK_LIST(result_ids(out), id_list({1}));
    const Filter b_is_2 = Filter::equals("b", Metadata::integer(2));
    CHECK(is_none(search(index, {0.0}, 5, &b_is_2, out)));
    CHECK_LIST(result_ids(out), id_list({0, 1}));
    const Filter upper_a = Filter::equals("A", Metadata::integer(3));
    CHECK(is_error(search(index, {0.0}, 5, &upper_a, out), HNSWError::AttributeNotFound));
}

TEST(search_filter_kinds_must_match) {
    const std::vector<MetadataRecord> records = {
        {Metadata::integer(1)}, {Metadata::real(1.0)}, {Metadata::text("1")},
        {Metadata::real(std::numeric_limits<double>::quiet_NaN())}, {Metadata::real(-0.0)}};
    const HNSW index = line_index({0.0, 1.0, 2.0, 3.0, 4.0}, 1, 50, std::vector<std::string>{"x"}, &records);
    std::vector<Candidate> out;
    const auto matching = [&](Metadata value) {
        const Filter filter = Filter::equals("x", std::move(value));
        CHECK(is_none(search(index, {0.0}, 10, &filter, out)));
        return result_ids(out);
    };
    CHECK_LIST(matching(Metadata::integer(1)), id_list({0}));
    CHECK_LIST(matching(Metadata::real(1.0)), id_list({1}));
    CHECK_LIST(matching(Metadata::text("1")), id_list({2}));
    CHECK(matching(Metadata::real(std::numeric_limits<double>::quiet_NaN())).empty());
    CHECK_LIST(matching(Metadata::real(0.0)), id_list({4}));
}

TEST(search_filter_drops_a_failing_start_node) {
    const std::vector<MetadataRecord> records = colors({"red", "blue", "blue", "red"});
    const HNSW index = line_index({0.0, 1.0, 2.0, 0.5}, 1, 50, std::vector<std::string>{"color"}, &records);
    const Filter blue = Filter::equals("color", Metadata::text("blue"));
    const Filter red = Filter::equals("color", Metadata::text("red"));
    std::vector<Candidate> out;
    // Node 0 starts the search nearest of all, but fails the filter.
    CHECK(is_none(search(index, {0.0}, 3, &blue, out)));
    CHECK_LIST(result_ids(out), id_list({1, 2}));
    CHECK(is_none(search(index, {0.0}, 1, &blue, out)));
    CHECK_LIST(result_ids(out), id_list({1}));
    CHECK(is_none(search(index, {0.0}, 0, &blue, out)));
    CHECK_LIST(result_ids(out), id_list({1}));
    // A passing start node stays.
    CHECK(is_none(search(index, {0.0}, 5, &red, out)));
    CHECK_LIST(result_ids(out), id_list({0, 3}));
    // With ef_search 1 only the start node is kept; it fails, so nothing is returned.
    const HNSW narrow = line_index({0.0, 1.0, 2.0, 0.5}, 1, 1, std::vector<std::string>{"color"}, &records);
    CHECK(is_none(search(narrow, {0.0}, 3, &blue, out)));
    CHECK(out.empty());
}

TEST(search_filter_does_not_pass_through_failing_nodes) {
    // With ef_construction 1, node 2 links only to node 1, and node 1 only to
    // node 0: node 2 is reachable only through node 1, which fails the filter.
    const std::vector<MetadataRecord> records = colors({"red", "red", "blue"});
    const HNSW index = line_index({0.0, 10.0, 11.0}, 1, 50, std::vector<std::string>{"color"}, &records, 1);
    CHECK_LIST(run(index, 0), ids({1}));
    CHECK_LIST(run(index, 2), ids({1}));
    const Filter blue = Filter::equals("color", Metadata::text("blue"));
    std::vector<Candidate> out;
    CHECK(is_none(search(index, {11.0}, 3, &blue, out)));
    CHECK(out.empty());
    CHECK(is_none(search(index, {11.0}, 3, nullptr, out)));
    CHECK_LIST(result_ids(out), id_list({2, 1, 0}));
}

TEST(search_node_without_record_never_passes) {
    // Node 0 has no record, so node 1's record is the first stored: a search
    // must find each node's own record, not the one at node x schema length.
    const std::vector<std::string> schema = {"color"};
    HNSW index = make_index(1, 1, 200, 50, schema);
    ScriptedRandom rng{0, 0, 0};
    const MetadataRecord red = {Metadata::text("red")}, blue = {Metadata::text("blue")};
    const MetadataRecord too_short = {};
    CHECK(is_none(insert(index, {0.0}, rng)));
    CHECK(is_none(insert(index, {1.0}, rng, &red)));
    CHECK(is_none(insert(index, {2.0}, rng, &blue)));
    CHECK(is_none(insert(index, {3.0}, rng, &too_short)));
    const Filter on_red = Filter::equals("color", Metadata::text("red"));
    const Filter on_blue = Filter::equals("color", Metadata::text("blue"));
    std::vector<Candidate> out;
    for (double q : {0.0, 1.0, 2.0, 3.0}) {
        CHECK(is_none(search(index, {q}, 10, &on_red, out)));
        CHECK_LIST(result_ids(out), id_list({1}));
        CHECK(is_none(search(index, {q}, 10, &on_blue, out)));
        CHECK_LIST(result_ids(out), id_list({2}));
    }
}

TEST(search_equal_distances_follow_the_insert_position) {
    // Query 1 lies at distance 1 from all three nodes. Node 1 enters a list
    // holding only node 0 and goes first; node 2 enters between the two.
    const HNSW index = line_index({0.0, 2.0, 2.0});
    CHECK_LIST(run(index, 0), ids({1, 2}));
    std::vector<Candidate> out;
    CHECK(is_none(search(index, {1.0}, 3, nullptr, out)));
    CHECK_LIST(result_ids(out), id_list({1, 2, 0}));
    for (const auto& c : out) CHECK_EQ(c.distance, 1.0);
}

TEST(search_nan_distances_rank_last_and_stop_admission) {
    // Under cosine a zero vector is at NaN from everything.
    HNSW index = make_index(2, 1, 200, 50, std::nullopt, Metric::Cosine);
    ScriptedRandom rng{0, 0, 0};
    for (std::vector<double> v : {std::vector<double>{0.0, 0.0}, {1.0, 0.0}, {0.0, 2.0}, {1.0, 1.0}})
        CHECK(is_none(insert(index, v, rng)));
    std::vector<Candidate> out;
    CHECK(is_none(search(index, {1.0, 0.0}, 4, nullptr, out)));
    CHECK_EQ(out.size(), 4u);
    CHECK_EQ(out[0].id, 2u);
    CHECK_EQ(out[0].distance, 0.0);
    CHECK(std::isnan(out[3].distance) && out[3].id == 0);
    // A zero query is at NaN from every node: with ef_search 1 the start node fills the
    // list and nothing beats its NaN.
    HNSW nan_index = make_index(2, 1, 200, 1, std::nullopt, Metric::Cosine);
    ScriptedRandom rng2{0, 0};
    for (std::vector<double> v : {std::vector<double>{1.0, 0.0}, {0.0, 1.0}, {1.0, 1.0}})
        CHECK(is_none(insert(nan_index, v, rng2)));
    CHECK(is_none(search(nan_index, {0.0, 0.0}, 3, nullptr, out)));
    CHECK_LIST(result_ids(out), id_list({0}));
    CHECK(std::isnan(out[0].distance));
}

TEST(search_ranks_similarities_smallest_first) {
    HNSW index = make_index(2, 1, 200, 50, std::nullopt, Metric::Dot);
    ScriptedRandom rng{0, 0};
    // Dot products with the query (1, 1): 10, -2, 3.
    for (std::vector<double> v : {std::vector<double>{5.0, 5.0}, {-1.0, -1.0}, {1.0, 2.0}})
        CHECK(is_none(insert(index, v, rng)));
    std::vector<Candidate> out;
    CHECK(is_none(search(index, {1.0, 1.0}, 3, nullptr, out)));
    CHECK_LIST(result_ids(out), id_list({1, 2, 0}));
    CHECK_EQ(out[0].distance, -2.0);
}

TEST(search_huge_layer_counts_stay_fast) {
    const std::uint64_t layers = std::uint64_t{1} << 63;
    HNSW index = make_index(4, layers, 16, 20, std::vector<std::string>{"parity"});
    SeededRandom data(3);
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 3000; ++i) {
        const MetadataRecord record = {Metadata::integer(i % 2)};
        const std::vector<double> v = {data.unit(), data.unit(), data.unit(), data.unit()};
        CHECK(is_none(index.insert(v.data(), v.size(), &record, data)));
    }
    CHECK_EQ(index.level(0), layers - 1);
    std::vector<Candidate> out;
    const Filter even = Filter::equals("parity", Metadata::integer(0));
    for (int i = 0; i < 500; ++i) {
        const std::vector<double> q = {data.unit(), data.unit(), data.unit(), data.unit()};
        CHECK(is_none(index.search(q.data(), q.size(), 10, i % 2 ? &even : nullptr, out)));
        CHECK_EQ(out.size(), 10u);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    CHECK(seconds < 20.0);
}

TEST(search_tests_a_failing_node_again_on_every_run_that_reaches_it) {
    // Runs: 0: [1, 2], 1: [0, 2], 2: [1, 0]. Node 2 fails the filter, so it is
    // not marked visited and is tested once from node 0's run and once from
    // node 1's. Node 0, the untested start node, is tested when node 1's run
    // reaches it and once more when the result is checked for it.
    const std::vector<MetadataRecord> records = colors({"a", "b", "c"});
    const HNSW index = line_index({0.0, 1.0, 3.0}, 1, 50, std::vector<std::string>{"color"}, &records);
    CHECK_LIST(run(index, 1), ids({0, 2}));
    auto calls = std::make_shared<std::map<std::string, int>>();
    Filter counting{"color", std::make_shared<const Filter::Predicate>([calls](const MetadataView& value) {
                        ++(*calls)[std::string(value.as_text())];
                        return value.as_text() != "c";
                    }),
                    std::nullopt};
    std::vector<Candidate> out;
    CHECK(is_none(search(index, {0.0}, 5, &counting, out)));
    CHECK_LIST(result_ids(out), id_list({0, 1}));
    CHECK_EQ((*calls)["a"], 2);
    CHECK_EQ((*calls)["b"], 1);
    CHECK_EQ((*calls)["c"], 2);
}
