// The pruned graph's byte codes and filtered searches: walks with the codes'
// bound return what they return without it (checking mode audits every
// skip), the planner's scans equal an exact search of the matching nodes bit
// for bit, and no search returns a failing or removed node.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "check.hpp"
#include "pruned/graph_distance.hpp"
#include "pruned_test_support.hpp"
#include "sketch/sketch_index.hpp"

using namespace tessra;
using namespace pruned_test;

namespace {

// Codes fitted from 16 vectors on, every skip recomputed (a wrong one faults).
struct CheckedCodes {
    SketchSettings saved = sketch_settings();
    CheckedCodes() {
        SketchSettings s = saved;
        s.min_vectors = 16;
        s.checking = true;
        set_sketch_settings(s);
        reset_sketch_counters();
    }
    ~CheckedCodes() { set_sketch_settings(saved); }
};

bool same_bits(const std::vector<Candidate>& a, const std::vector<Candidate>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].id != b[i].id || std::memcmp(&a[i].distance, &b[i].distance, sizeof(double)) != 0) return false;
    return true;
}

const Metric kMetrics[] = {Metric::Euclidean, Metric::Cosine, Metric::Dot};

// Rows with a zero vector and a repeated one among them, so cosine meets
// NaN and every metric meets exact ties.
Rows test_rows(Data kind, std::size_t n, std::size_t dim, std::uint64_t seed) {
    Rows rows = make_data(kind, n, dim, seed);
    std::fill(rows[5].begin(), rows[5].end(), 0.0);
    rows[9] = rows[3];
    return rows;
}

std::vector<MetadataRecord> tags(std::size_t n, std::uint64_t values, std::uint64_t seed) {
    hnsw_test::SeededRandom rng(seed);
    std::vector<MetadataRecord> records(n);
    for (auto& record : records) record.push_back(Metadata::integer(static_cast<std::int64_t>(rng.below(values))));
    return records;
}

PrunedHNSW tagged_index(const Rows& rows, Metric metric, const std::vector<MetadataRecord>& records,
                        const BuildTuning& tuning = BuildTuning()) {
    PrunedHNSW index(rows[0].size(), metric, 16, 6, 24, 20, Schema(std::vector<std::string>{"tag"}));
    index.set_tuning(tuning);
    const std::vector<std::uint64_t> levels = draw_levels(rows.size(), 6, 16, 7);
    CHECK(!index.add_with_levels(as_list(rows, 0, rows.size()), &records, levels, threads(2)).error.has_value());
    return index;
}

Rows queries_for(const Rows& rows, std::uint64_t seed) {
    hnsw_test::SeededRandom rng(seed);
    Rows queries;
    for (std::size_t i = 0; i < 12; ++i) {
        std::vector<double> q = rows[(i * 37) % rows.size()];
        if (i % 2 == 1)
            for (double& x : q) x += (rng.unit() - 0.5) * 0.2;
        queries.push_back(q);
    }
    return queries;
}

}  // namespace

TEST(pruned_walks_with_codes_return_what_they_return_without) {
    const CheckedCodes checked;
    for (const Metric metric : kMetrics) {
        for (const Data kind : {Data::Random, Data::Clustered, Data::Duplicates}) {
            const Rows rows = test_rows(kind, 700, 12, 11);
            const std::vector<MetadataRecord> records = tags(rows.size(), 3, 12);
            BuildTuning coded_build;
            coded_build.codes_in_build = true;
            const PrunedHNSW plain = tagged_index(rows, metric, records);
            PrunedHNSW coded = tagged_index(rows, metric, records, coded_build);
            // The build's bound changes no list.
            CHECK(same_graph(plain, coded));
            SearchTuning walks = coded.search_tuning();
            walks.codes_in_walks = true;
            walks.scan_factor = 0.0;  // every filtered search walks
            coded.set_search_tuning(walks);
            SearchTuning unbounded = walks;
            unbounded.codes_in_walks = false;
            PrunedHNSW reference = coded;
            reference.set_search_tuning(unbounded);
            const Filter filter = Filter::equals("tag", Metadata::integer(1));
            std::vector<Candidate> a, b;
            for (const auto& q : queries_for(rows, 13)) {
                for (const std::uint64_t ef : {1, 4, 30}) {
                    for (const Filter* f : {static_cast<const Filter*>(nullptr), &filter}) {
                        CHECK(!coded.search(q.data(), q.size(), 10, f, a, ef).has_value());
                        CHECK(!reference.search(q.data(), q.size(), 10, f, b, ef).has_value());
                        CHECK(same_bits(a, b));
                    }
                }
            }
        }
    }
    const SketchCounters counts = sketch_counters();
    CHECK(counts.skipped > 0);
    CHECK_EQ(counts.violations, std::uint64_t{0});
}

TEST(pruned_filtered_scans_equal_an_exact_search_of_the_matching_nodes) {
    const CheckedCodes checked;
    std::size_t scans = 0, walks = 0;
    for (const Metric metric : kMetrics) {
        const Rows rows = test_rows(Data::Duplicates, 900, 8, 21);
        for (const std::uint64_t values : {1, 2, 9, 60, 900}) {
            const std::vector<MetadataRecord> records = tags(rows.size(), values, 22 + values);
            PrunedHNSW index = tagged_index(rows, metric, records);
            CHECK(!index.remove({0, 3, 17, 400, 899}).has_value());
            for (const double factor : {3.7, -1.0}) {
                SearchTuning tuning = index.search_tuning();
                tuning.scan_factor = factor;
                tuning.scan_codes_from = factor < 0 ? 0 : tuning.scan_codes_from;
                index.set_search_tuning(tuning);
                for (std::int64_t tag = 0; tag < 3; ++tag) {
                    const Filter filter = Filter::equals("tag", Metadata::integer(tag));
                    for (const auto& q : queries_for(rows, 23)) {
                        for (const std::uint64_t k : {0, 1, 10, 1000}) {
                            PrunedHNSW::SearchPlan plan;
                            CHECK(!index.plan_search(k, &filter, std::nullopt, plan).has_value());
                            std::vector<Candidate> found;
                            CHECK(!index.search(q.data(), q.size(), k, &filter, found).has_value());
                            for (const Candidate& c : found) {
                                CHECK(!index.removed().contains(c.id));
                                CHECK(records[c.id][0] == Metadata::integer(tag));
                            }
                            if (!plan.scans()) {
                                ++walks;
                                continue;
                            }
                            ++scans;
                            std::vector<Candidate> exact;
                            for (std::size_t id = 0; id < rows.size(); ++id)
                                if (records[id][0] == Metadata::integer(tag) && !index.removed().contains(id))
                                    exact.push_back(
                                        Candidate{graph_distance(metric, q.data(), q.size(), rows[id].data(), 8), id});
                            CHECK_EQ(*plan.matching(), exact.size());
                            std::sort(exact.begin(), exact.end(), candidate_before);
                            exact.resize(std::min<std::size_t>(exact.size(), std::max<std::uint64_t>(k, 1)));
                            CHECK(same_bits(found, exact));
                        }
                    }
                }
            }
        }
    }
    CHECK(scans > 0 && walks > 0);
    CHECK(sketch_counters().skipped > 0);
}

TEST(pruned_plans_walk_for_a_predicate_that_is_not_an_equality) {
    const Rows rows = make_data(Data::Clustered, 400, 6, 31);
    const std::vector<MetadataRecord> records = tags(rows.size(), 50, 32);
    PrunedHNSW index = tagged_index(rows, Metric::Euclidean, records);
    Filter odd = Filter::equals("tag", Metadata::integer(1));
    odd.equal_to.reset();
    odd.predicate = std::make_shared<const Filter::Predicate>(
        [](const MetadataView& v) { return v.kind() == Metadata::Kind::Int && v.as_int() % 2 == 1; });
    PrunedHNSW::SearchPlan plan;
    CHECK(!index.plan_search(10, &odd, std::nullopt, plan).has_value());
    CHECK(!plan.scans());
    CHECK_EQ(plan.beam(), std::uint64_t{20});
    std::vector<Candidate> found;
    CHECK(!index.search(rows[7].data(), 6, 10, &odd, found).has_value());
    CHECK(!found.empty());
    for (const Candidate& c : found) CHECK(records[c.id][0].as_int() % 2 == 1);
    // An equality matching nothing scans nothing; the checks still come first.
    const Filter none = Filter::equals("tag", Metadata::integer(999));
    CHECK(!index.plan_search(10, &none, std::nullopt, plan).has_value());
    CHECK(plan.scans() && *plan.matching() == 0);
    CHECK(hnsw_test::is_error(index.plan_search(10, &none, 0, plan), HNSWError::InvalidEF));
}
