// Searches of the pruned graph: check order, the k rule, distances ranking
// the most similar first, and filters that never let a failing node out.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "check.hpp"
#include "pruned/graph_distance.hpp"
#include "pruned_test_support.hpp"

using namespace tessra;
using namespace pruned_test;
using hnsw_test::is_error;

namespace {

// Every node in candidate order from the plain metric functions, optionally only those `keep` accepts.
template <typename Keep>
std::vector<Candidate> brute_force(const Rows& rows, const std::vector<double>& q, Metric metric, Keep keep) {
    std::vector<Candidate> all;
    for (std::size_t id = 0; id < rows.size(); ++id)
        if (keep(id)) all.push_back(Candidate{graph_distance(metric, q.data(), q.size(), rows[id].data(), rows[id].size()), id});
    std::sort(all.begin(), all.end(), candidate_before);
    return all;
}

bool same_results(const std::vector<Candidate>& a, const std::vector<Candidate>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const bool equal = a[i].distance == b[i].distance || (std::isnan(a[i].distance) && std::isnan(b[i].distance));
        if (a[i].id != b[i].id || !equal) return false;
    }
    return true;
}

Schema tag_schema() { return Schema(std::vector<std::string>{"tag"}); }

}  // namespace

TEST(pruned_search_checks_in_order) {
    PrunedHNSW empty = make_index(2);
    std::vector<Candidate> out{{1.0, 1}};
    const Filter filter = Filter::equals("tag", Metadata::integer(1));
    // An empty index answers nothing and checks nothing.
    CHECK(!empty.search(std::vector<double>{0, 0}.data(), 2, 5, &filter, out, 0).has_value());
    CHECK(out.empty());

    PrunedHNSW index = make_index(2);
    hnsw_test::SeededRandom rng(1);
    const std::vector<double> v{1.0, 2.0};
    CHECK(!index.insert(v.data(), 2, nullptr, rng).has_value());
    // A beam of 0 is refused before any filter problem.
    CHECK(is_error(index.search(v.data(), 2, 5, &filter, out, 0), HNSWError::InvalidEF));
    CHECK(is_error(index.search(v.data(), 2, 5, &filter, out), HNSWError::NoSchema));
    PrunedHNSW empty_schema(2, Metric::Euclidean, 16, 4, 8, 8, Schema(std::vector<std::string>{}));
    CHECK(!empty_schema.insert(v.data(), 2, nullptr, rng).has_value());
    CHECK(is_error(empty_schema.search(v.data(), 2, 5, &filter, out), HNSWError::EmptySchema));
    PrunedHNSW other(2, Metric::Euclidean, 16, 4, 8, 8, Schema(std::vector<std::string>{"colour"}));
    CHECK(!other.insert(v.data(), 2, nullptr, rng).has_value());
    CHECK(is_error(other.search(v.data(), 2, 5, &filter, out), HNSWError::AttributeNotFound));
    // k = 0 still returns the nearest node.
    CHECK(!index.search(v.data(), 2, 0, nullptr, out).has_value());
    CHECK_EQ(out.size(), std::size_t{1});
    CHECK_EQ(out[0].distance, 0.0);
}

// With a beam as large as the index every node is reached, so each search
// must equal the exact ranking: ids, distance bits and the tie order. The
// similarity metrics rank the most similar first (1 - similarity), and a
// zero vector's NaN cosine comes last. (1 - dot is no metric: on repeated
// small-integer vectors the long ones shadow the short ones in the lists, so
// the duplicate-heavy set is not expected to be reachable in full there.)
TEST(pruned_search_ranks_as_brute_force) {
    for (const Metric metric : {Metric::Euclidean, Metric::Cosine, Metric::Dot}) {
        for (const Data kind : {Data::Random, Data::Duplicates}) {
            if (metric == Metric::Dot && kind == Data::Duplicates) continue;
            Rows rows = make_data(kind, 300, 5, 3);
            rows[17].assign(5, 0.0);
            PrunedHNSW index(5, metric, 16, 8, 40, 400, std::nullopt);
            CHECK(!index.add_with_levels(as_list(rows, 0, rows.size()), nullptr, draw_levels(rows.size(), 8, 16, 4),
                                         threads(2)).error.has_value());
            const Rows queries = make_data(Data::Random, 20, 5, 5);
            std::vector<Candidate> found;
            for (const auto& q : queries) {
                for (const std::uint64_t k : {1, 10, 400}) {
                    CHECK(!index.search(q.data(), q.size(), k, nullptr, found).has_value());
                    std::vector<Candidate> expected = brute_force(rows, q, metric, [](std::size_t) { return true; });
                    expected.resize(std::min<std::size_t>(k, expected.size()));
                    CHECK(same_results(found, expected));
                }
            }
        }
    }
}

// Nodes without a record or failing the filter guide the walk but are never
// returned; with a large beam the result is the exact ranking of the passing nodes.
TEST(pruned_search_filter_returns_passing_nodes_only) {
    const Rows rows = make_data(Data::Clustered, 400, 4, 6);
    std::vector<MetadataRecord> records(300);
    for (std::size_t i = 0; i < records.size(); ++i) records[i] = {Metadata::integer(static_cast<std::int64_t>(i % 7))};
    PrunedHNSW index(4, Metric::Euclidean, 16, 6, 30, 10, tag_schema());
    CHECK(!index.add_with_levels(as_list(rows, 0, 300), &records, draw_levels(300, 6, 16, 7), threads(1)).error.has_value());
    // The last hundred carry no record.
    hnsw_test::SeededRandom rng(8);
    for (std::size_t i = 300; i < rows.size(); ++i) CHECK(!index.insert(rows[i].data(), 4, nullptr, rng).has_value());

    const Rows queries = make_data(Data::Clustered, 30, 4, 9);
    std::vector<Candidate> found;
    for (const std::int64_t tag : {0, 3}) {
        const Filter filter = Filter::equals("tag", Metadata::integer(tag));
        const auto passes = [&](std::size_t id) { return id < 300 && static_cast<std::int64_t>(id % 7) == tag; };
        for (const auto& q : queries) {
            CHECK(!index.search(q.data(), q.size(), 5, &filter, found).has_value());
            CHECK_EQ(found.size(), std::size_t{5});
            for (const Candidate& c : found) CHECK(passes(c.id));
            CHECK(!index.search(q.data(), q.size(), 5, &filter, found, 400).has_value());
            std::vector<Candidate> expected = brute_force(rows, q, Metric::Euclidean, passes);
            expected.resize(5);
            CHECK(same_results(found, expected));
        }
    }
    // A filter nothing passes returns nothing.
    const Filter none = Filter::equals("tag", Metadata::integer(99));
    CHECK(!index.search(queries[0].data(), 4, 5, &none, found).has_value());
    CHECK(found.empty());
}
