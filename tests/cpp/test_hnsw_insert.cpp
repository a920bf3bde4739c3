// Insertion and bulk insertion: run order, stored state, and failures that store nothing.
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "common/fault.hpp"
#include "hnsw_test_support.hpp"

using namespace tessra;
using namespace hnsw_test;

TEST(insert_runs_one_layer_worked_example) {
    HNSW index = make_index(1, 1);
    ScriptedRandom rng{0, 0};
    CHECK(is_none(insert(index, {0.0}, rng)));
    CHECK(is_none(insert(index, {1.0}, rng)));
    CHECK_LIST(run(index, 0), ids({1}));
    CHECK_LIST(run(index, 1), ids({0}));
    // The layer-0 search returns node 1 (distance 2) before node 0 (distance 3):
    // back links go to node 1 then node 0, and the forward list keeps that order.
    CHECK(is_none(insert(index, {3.0}, rng)));
    CHECK_LIST(run(index, 0), ids({1, 2}));
    CHECK_LIST(run(index, 1), ids({0, 2}));
    CHECK_LIST(run(index, 2), ids({1, 0}));
    CHECK_EQ(index.size(), 3u);
    CHECK_EQ(index.vector(2)[0], 3.0);
}

TEST(insert_runs_two_layers_linking_on_both) {
    HNSW index = make_index(1, 2);
    ScriptedRandom rng{word_for_level(2, 1)};
    CHECK(is_none(insert(index, {0.0}, rng)));
    CHECK(is_none(insert(index, {1.0}, rng)));
    CHECK_EQ(index.level(0), 1u);
    CHECK_EQ(index.level(1), 1u);
    // Layer 1 links nodes 1 and 0; layer 0 starts from node 1, which finds
    // itself first (distance 0); each neighbour is linked once and no node to itself.
    CHECK_LIST(run(index, 0), ids({1}));
    CHECK_LIST(run(index, 1), ids({0}));
}

TEST(insert_runs_two_layers_greedy_then_link) {
    HNSW index = make_index(1, 2);
    ScriptedRandom rng{word_for_level(2, 0)};
    CHECK(is_none(insert(index, {0.0}, rng)));
    CHECK(is_none(insert(index, {1.0}, rng)));
    CHECK_EQ(index.level(1), 0u);
    CHECK_LIST(run(index, 0), ids({1}));
    CHECK_LIST(run(index, 1), ids({0}));
}

TEST(insert_links_every_node_found_once_across_layers) {
    // Three layers, node 1 on layer 2, node 2 on layer 1: node 2 greedily
    // passes layer 2, then links on layers 1 and 0 from itself.
    HNSW index = make_index(1, 3);
    ScriptedRandom rng{word_for_level(3, 2), word_for_level(3, 1)};
    CHECK(is_none(insert(index, {0.0}, rng)));
    CHECK(is_none(insert(index, {4.0}, rng)));
    // Node 1, level 2: layer 2 finds node 0; layers 1 and 0 start from node 1.
    CHECK_LIST(run(index, 0), ids({1}));
    CHECK_LIST(run(index, 1), ids({0}));
    CHECK(is_none(insert(index, {3.0}, rng)));
    // Layer 2: the greedy step from node 0 moves to node 1 (distance 1).
    // Layer 1 from node 1: finds node 1 (1), node 0 (3); node 2 is not linked yet.
    // Layer 0 from node 2: itself (0), node 1 (1), node 0 (3).
    // Each pair is linked once, on the highest layer both share.
    CHECK_LIST(run(index, 0), ids({1, 2}));
    CHECK_LIST(run(index, 1), ids({0, 2}));
    CHECK_LIST(run(index, 2), ids({1, 0}));
}

TEST(insert_stores_records_per_node) {
    HNSW index = make_index(1, 1, 200, 50, std::vector<std::string>{"color", "size"});
    ScriptedRandom rng{0, 0, 0};
    const MetadataRecord blue = {Metadata::text("blue"), Metadata::integer(42)};
    const MetadataRecord short_record = {Metadata::text("red")};
    CHECK(is_none(insert(index, {0.0}, rng)));
    CHECK(is_none(insert(index, {1.0}, rng, &blue)));
    CHECK(is_none(insert(index, {2.0}, rng, &short_record)));
    CHECK(!index.record(0).has_value());
    const auto second = index.record(1);
    CHECK(second.has_value() && second->size() == 2);
    if (second && second->size() == 2) {
        CHECK((*second)[0] == Metadata::text("blue"));
        CHECK((*second)[1] == Metadata::integer(42));
    }
    const auto third = index.record(2);
    CHECK(third.has_value() && third->size() == 1 && (*third)[0] == Metadata::text("red"));
}

TEST(insert_with_zero_ef_construction_stores_nothing) {
    HNSW index = make_index(2, 1, 0, 50, std::vector<std::string>{"n"});
    ScriptedRandom rng{0, 0, 0};
    const MetadataRecord first = {Metadata::integer(1)};
    const MetadataRecord second = {Metadata::integer(2)};
    CHECK(is_none(insert(index, {1.0, 2.0}, rng, &first)));
    CHECK(is_error(insert(index, {3.0, 4.0}, rng, &second), HNSWError::InvalidEF));
    CHECK(is_error(insert(index, {5.0, 6.0}, rng, &second), HNSWError::InvalidEF));
    CHECK_EQ(index.size(), 1u);
    CHECK(run(index, 0).empty());
    const auto record = index.record(0);
    CHECK(record.has_value() && record->size() == 1 && (*record)[0] == Metadata::integer(1));
    // The index still answers, and a later filter finds only what is stored.
    std::vector<Candidate> out;
    const double query[] = {3.0, 4.0};
    const Filter on_two = Filter::equals("n", Metadata::integer(2));
    CHECK(is_none(index.search(query, 2, 5, nullptr, out)));
    CHECK_LIST(result_ids(out), id_list({0}));
    CHECK(is_none(index.search(query, 2, 5, &on_two, out)));
    CHECK(out.empty());
}

TEST(insert_with_zero_layers_links_nothing) {
    HNSW index = make_index(1, 0, 0);
    ScriptedRandom rng{0, UINT64_MAX, 5};
    for (double x : {0.0, 1.0, 2.0, 3.0}) CHECK(is_none(insert(index, {x}, rng)));
    CHECK_EQ(index.size(), 4u);
    CHECK_EQ(rng.used, 3u);
    for (std::uint64_t id = 0; id < 4; ++id) CHECK(run(index, id).empty());
    CHECK_EQ(index.level(0), UINT64_MAX);
}

TEST(insert_vector_of_wrong_length_is_a_fault) {
    HNSW index = make_index(2, 1);
    ScriptedRandom rng;
    bool faulted = false;
    try {
        insert(index, {1.0}, rng);
    } catch (const Fault&) {
        faulted = true;
    }
    CHECK(faulted);
    CHECK_EQ(index.size(), 0u);
    HNSW zero_dim = make_index(0, 1);
    faulted = false;
    try {
        insert(zero_dim, {}, rng);
    } catch (const Fault&) {
        faulted = true;
    }
    CHECK(faulted);
}

TEST(create_refuses_before_storing_anything) {
    HNSW index = make_index(1, 1, 200, 50, std::vector<std::string>{"color"});
    ScriptedRandom rng;
    const std::vector<MetadataRecord> none;
    CHECK(is_error(index.create(VectorList(), nullptr, rng), HNSWError::EmptyVectors));
    CHECK(is_error(index.create(VectorList(), &none, rng), HNSWError::EmptyVectors));
    const std::vector<MetadataRecord> two = {{Metadata::text("a")}, {Metadata::text("b")}};
    CHECK(is_error(index.create(vector_list({{0.0}, {1.0}, {2.0}}), &two, rng), HNSWError::AttributeNotFound));
    CHECK_EQ(index.size(), 0u);
    CHECK_EQ(rng.used, 0u);
    // A wrong length anywhere in the list is caught before the first vector is stored.
    bool faulted = false;
    try {
        index.create(vector_list({{0.0}, {1.0, 2.0}}), nullptr, rng);
    } catch (const Fault&) {
        faulted = true;
    }
    CHECK(faulted);
    CHECK_EQ(index.size(), 0u);
}

TEST(create_inserts_in_order_with_records) {
    HNSW index = make_index(1, 1, 200, 50, std::vector<std::string>{"color"});
    ScriptedRandom rng{0, 0};
    const std::vector<MetadataRecord> records = {{Metadata::text("a")}, {Metadata::text("b")}, {Metadata::text("c")}};
    CHECK(is_none(index.create(vector_list({{0.0}, {1.0}, {3.0}}), &records, rng)));
    CHECK_EQ(rng.used, 2u);
    CHECK_LIST(run(index, 2), ids({1, 0}));
    CHECK((*index.record(2))[0] == Metadata::text("c"));
    // The same vectors one by one give the same graph.
    HNSW single = make_index(1, 1, 200, 50, std::vector<std::string>{"color"});
    ScriptedRandom again{0, 0};
    for (double x : {0.0, 1.0, 3.0}) insert(single, {x}, again);
    for (std::uint64_t id = 0; id < 3; ++id) CHECK_LIST(run(index, id), run(single, id));
}

TEST(create_without_schema_ignores_records) {
    HNSW index = make_index(1, 1);
    ScriptedRandom rng{0};
    const std::vector<MetadataRecord> one = {{Metadata::text("a")}};
    CHECK(is_none(index.create(vector_list({{0.0}, {1.0}}), &one, rng)));
    CHECK_EQ(index.size(), 2u);
    CHECK(!index.record(0).has_value());
    CHECK(!index.record(1).has_value());
}

TEST(create_keeps_vectors_before_the_failing_one) {
    HNSW index = make_index(1, 2, 0);
    ScriptedRandom rng{0, 0, 0, 0};
    CHECK(is_error(index.create(vector_list({{7.0}, {8.0}, {9.0}, {10.0}, {11.0}}), nullptr, rng),
                   HNSWError::InvalidEF));
    CHECK_EQ(index.size(), 1u);
    CHECK_EQ(index.vector(0)[0], 7.0);
    // The failing insertion drew its level; nothing after it ran.
    CHECK_EQ(rng.used, 1u);
    // A second create on the non-empty index fails at its first vector.
    CHECK(is_error(index.create(vector_list({{1.0}}), nullptr, rng), HNSWError::InvalidEF));
    CHECK_EQ(index.size(), 1u);
}
