// Cross-check against a plain reimplementation of the graph index: one
// concatenated adjacency array whose tail shifts on every back link, a hash
// set of visited nodes, a linear-scan candidate queue, one distance at a time,
// a weight for every layer and no layer skipped.
#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

#include "check.hpp"
#include "hnsw/result_list.hpp"
#include "hnsw_test_support.hpp"

using namespace tessra;
using namespace hnsw_test;

namespace {

class PlainIndex {
public:
    PlainIndex(std::size_t dim, Metric metric, std::uint64_t layers, std::uint64_t ef_construction,
               std::uint64_t ef_search, Schema schema)
        : dim_(dim),
          metric_(metric_function(metric)),
          layers_(layers),
          ef_construction_(ef_construction),
          ef_search_(ef_search),
          schema_(std::move(schema)) {
        for (std::uint64_t j = 0; j < layers; ++j) level_weights_.push_back(std::exp(-static_cast<double>(j)));
    }

    std::size_t count() const { return vector_store_.size() / dim_; }
    std::uint64_t level(std::uint64_t v) const { return levels_[v]; }
    std::vector<std::uint64_t> run(std::uint64_t v) const {
        return std::vector<std::uint64_t>(neighbours_.begin() + offsets_[v], neighbours_.begin() + run_end(v));
    }

    // Every insertion here carries a record, so node v's record starts at v x S.
    std::optional<HNSWError> insert(const std::vector<double>& vector, const MetadataRecord& record,
                                    RandomSource& rng) {
        if (count() == 0) {
            store(vector, layers_ - 1, record);
            return std::nullopt;
        }
        const std::uint64_t level = draw(rng);
        store(vector, level, record);
        const std::uint64_t n = count() - 1;
        if (layers_ == 0) return std::nullopt;
        std::uint64_t entry = 0;
        for (std::uint64_t j = layers_ - 1;; --j) {
            std::vector<Candidate> found;
            if (j > level) {
                if (auto e = knn(entry, vector, 1, j, nullptr, found)) return e;
                if (!found.empty()) entry = found[0].id;
            } else {
                if (auto e = knn(entry, vector, ef_construction_, j, nullptr, found)) return e;
                std::vector<std::uint64_t> forward;
                for (const Candidate& c : found) {
                    forward.push_back(c.id);
                    const std::size_t p = run_end(c.id);
                    neighbours_.insert(neighbours_.begin() + p, n);
                    for (std::size_t i = c.id + 1; i < offsets_.size(); ++i) ++offsets_[i];
                }
                neighbours_.insert(neighbours_.end(), forward.begin(), forward.end());
                entry = n;
            }
            if (j == 0) break;
        }
        return std::nullopt;
    }

    std::optional<HNSWError> search(const std::vector<double>& q, std::uint64_t k, const Filter* filter,
                                    std::vector<Candidate>& out) const {
        out.clear();
        if (vector_store_.empty()) return std::nullopt;
        std::uint64_t entry = 0;
        std::vector<Candidate> r;
        for (std::uint64_t layer = layers_ - 1; layer >= 1; --layer) {
            if (auto e = knn(entry, q, 1, layer, filter, r)) return e;
            entry = r[0].id;
        }
        if (auto e = knn(entry, q, ef_search_, 0, filter, r)) return e;
        for (const Candidate& c : r) {
            // A filtered search returns no node failing the filter (only the start node can).
            if (filter != nullptr && !passes(*filter, c.id)) continue;
            out.push_back(c);
            if (out.size() >= k) break;
        }
        return std::nullopt;
    }

private:
    std::size_t run_end(std::uint64_t v) const { return v + 1 < offsets_.size() ? offsets_[v + 1] : neighbours_.size(); }

    void store(const std::vector<double>& vector, std::uint64_t level, const MetadataRecord& record) {
        vector_store_.insert(vector_store_.end(), vector.begin(), vector.end());
        levels_.push_back(level);
        offsets_.push_back(neighbours_.size());
        metadata_store_.insert(metadata_store_.end(), record.begin(), record.end());
    }

    std::uint64_t draw(RandomSource& rng) const {
        double total = 0.0;
        for (double w : level_weights_) total += w;
        const double threshold = total * (static_cast<double>(rng.next_u64() >> 11) * 0x1.0p-53);
        double running = 0.0;
        for (std::uint64_t k = 0; k < layers_; ++k) {
            running += level_weights_[k];
            if (running > threshold) return k;
        }
        return layers_ - 1;
    }

    std::size_t position(const Filter& filter) const {
        for (std::size_t p = 0; p < schema_->size(); ++p)
            if ((*schema_)[p] == filter.attribute) return p;
        return SIZE_MAX;
    }
    bool passes(const Filter& filter, std::uint64_t v) const {
        return filter.passes(metadata_store_[v * schema_->size() + position(filter)]);
    }
    double distance(const std::vector<double>& q, std::uint64_t v) const {
        return metric_(q.data(), q.size(), vector_store_.data() + v * dim_, dim_);
    }

    std::optional<HNSWError> knn(std::uint64_t s, const std::vector<double>& q, std::uint64_t ef,
                                 std::uint64_t layer, const Filter* filter, std::vector<Candidate>& w) const {
        w.clear();
        if (ef == 0) return HNSWError::InvalidEF;
        if (layers_ <= layer) return HNSWError::InvalidLayer;
        if (filter != nullptr) {
            if (!schema_) return HNSWError::NoSchema;
            if (schema_->empty()) return HNSWError::EmptySchema;
            if (position(*filter) == SIZE_MAX) return HNSWError::AttributeNotFound;
        }
        const double d = distance(q, s);
        w.push_back({d, s});
        std::vector<Candidate> h = {{d, s}};
        std::unordered_set<std::uint64_t> visited = {s};
        while (!h.empty()) {
            std::size_t best = 0;
            for (std::size_t i = 1; i < h.size(); ++i)
                if (candidate_before(h[i], h[best])) best = i;
            const Candidate c = h[best];
            h.erase(h.begin() + best);
            if (distance_before(w.back().distance, c.distance)) break;
            for (std::size_t i = offsets_[c.id]; i < run_end(c.id); ++i) {
                const std::uint64_t v = neighbours_[i];
                if (levels_[v] < layer) continue;
                if (filter != nullptr && !passes(*filter, v)) continue;
                if (!visited.insert(v).second) continue;
                const double dv = distance(q, v);
                if (!(w.size() < ef || dv < w.back().distance)) continue;
                h.push_back({dv, v});
                // The halving search for the insert position, written out afresh.
                std::size_t size = w.size(), base = 0;
                while (size > 1) {
                    const std::size_t half = size / 2;
                    if (!distance_before(dv, w[base + half].distance)) base += half;
                    size -= half;
                }
                const std::size_t at = distance_before(w[base].distance, dv) ? base + 1 : base;
                w.insert(w.begin() + at, {dv, v});
                if (w.size() == ef + 1) w.pop_back();
            }
        }
        return std::nullopt;
    }

    std::size_t dim_;
    MetricFn metric_;
    std::uint64_t layers_, ef_construction_, ef_search_;
    Schema schema_;
    std::vector<double> vector_store_;
    std::vector<std::uint64_t> neighbours_, offsets_, levels_;
    std::vector<double> level_weights_;
    std::vector<Metadata> metadata_store_;
};

// The plain index links a neighbour again on every layer it is found on, and a
// node to itself; the index under test keeps each neighbour's first entry only.
std::vector<std::uint64_t> first_occurrences(const std::vector<std::uint64_t>& run, std::uint64_t self) {
    std::vector<std::uint64_t> kept;
    std::unordered_set<std::uint64_t> seen;
    for (const std::uint64_t id : run)
        if (id != self && seen.insert(id).second) kept.push_back(id);
    return kept;
}

bool same_results(const std::vector<Candidate>& a, const std::vector<Candidate>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].id != b[i].id) return false;
        if (!(a[i].distance == b[i].distance || (std::isnan(a[i].distance) && std::isnan(b[i].distance))))
            return false;
    }
    return true;
}

// Small coordinates make equal distances and repeated vectors common.
std::vector<double> random_vector(SeededRandom& data, std::size_t dim, bool coarse) {
    std::vector<double> v(dim);
    for (double& x : v) x = coarse ? static_cast<double>(data.below(5)) - 2.0 : data.unit() * 2.0 - 1.0;
    return v;
}

struct Case {
    Metric metric;
    std::uint64_t layers;       // of the index under test
    std::uint64_t plain_layers; // of the plain one: equal, or a smaller count with the same weights
    std::uint64_t ef_construction;
    std::uint64_t ef_search;
    std::size_t dim;
    std::size_t nodes;
    bool coarse;
};

void cross_check(const Case& c, std::uint64_t seed) {
    const std::vector<std::string> schema = {"group", "tag"};
    HNSW index(c.dim, c.metric, c.layers, 16, c.ef_construction, c.ef_search, schema);
    PlainIndex plain(c.dim, c.metric, c.plain_layers, c.ef_construction, c.ef_search, schema);
    SeededRandom data(seed), rng_a(seed * 7 + 1), rng_b(seed * 7 + 1);
    for (std::size_t i = 0; i < c.nodes; ++i) {
        const std::vector<double> v = random_vector(data, c.dim, c.coarse);
        const MetadataRecord record = {Metadata::integer(static_cast<std::int64_t>(data.below(3))),
                                       Metadata::text(data.below(2) ? "x" : "y")};
        CHECK(is_none(index.insert(v.data(), v.size(), &record, rng_a)));
        CHECK(is_none(plain.insert(v, record, rng_b)));
    }
    std::size_t differing_nodes = 0;
    for (std::uint64_t id = 0; id < c.nodes; ++id) {
        const auto& got = index.run(id);
        const auto want = first_occurrences(plain.run(id), id);
        const bool same_level = id == 0 || index.level(id) == plain.level(id);
        if (!same_level || !std::equal(got.begin(), got.end(), want.begin(), want.end())) ++differing_nodes;
    }
    CHECK_EQ(differing_nodes, 0u);

    const Filter filters[] = {Filter::equals("group", Metadata::integer(1)),
                              Filter::equals("tag", Metadata::text("x")),
                              Filter::equals("group", Metadata::real(1.0))};
    std::vector<Candidate> got, want;
    int mismatches = 0;
    for (int i = 0; i < 60; ++i) {
        std::vector<double> q = random_vector(data, c.dim, c.coarse);
        if (i % 10 == 9) q.pop_back();  // queries of another length are allowed
        const std::uint64_t k = data.below(8);
        const Filter* filter = i % 4 == 3 ? nullptr : &filters[i % 3];
        const auto e1 = index.search(q.data(), q.size(), k, filter, got);
        const auto e2 = plain.search(q, k, filter, want);
        if (e1 != e2 || !same_results(got, want)) ++mismatches;
        // No node comes back twice.
        std::vector<std::uint64_t> returned = result_ids(got);
        std::sort(returned.begin(), returned.end());
        CHECK(std::adjacent_find(returned.begin(), returned.end()) == returned.end());
    }
    CHECK_EQ(mismatches, 0);
}

}  // namespace

TEST(cross_check_single_layer_against_plain_index) {
    std::uint64_t seed = 1;
    for (Metric metric : {Metric::Euclidean, Metric::Cosine, Metric::Dot})
        for (std::uint64_t ef_c : {1u, 3u, 200u})
            for (std::uint64_t ef_s : {1u, 4u, 50u})
                for (bool coarse : {true, false}) cross_check({metric, 1, 1, ef_c, ef_s, 3, 90, coarse}, seed++);
}

TEST(cross_check_several_layers_against_plain_index) {
    std::uint64_t seed = 100;
    for (Metric metric : {Metric::Euclidean, Metric::Cosine, Metric::Dot})
        for (std::uint64_t layers : {2u, 3u, 6u})
            for (std::uint64_t ef_c : {1u, 5u, 40u})
                for (bool coarse : {true, false}) cross_check({metric, layers, layers, ef_c, 8, 4, 120, coarse}, seed++);
}

TEST(cross_check_huge_layer_count_against_plain_index) {
    // Beyond layer 745 every weight is 0.0 and no node but node 0 gets there,
    // so 2**63 layers behave like 800 apart from node 0's own level.
    std::uint64_t seed = 500;
    for (Metric metric : {Metric::Euclidean, Metric::Dot})
        for (bool coarse : {true, false})
            cross_check({metric, std::uint64_t{1} << 63, 800, 10, 8, 3, 60, coarse}, seed++);
    cross_check({Metric::Euclidean, 800, 800, 10, 8, 3, 60, true}, seed++);
}

TEST(result_insert_position_among_equal_distances) {
    const auto at = [](std::vector<double> distances, double d) {
        std::vector<Candidate> list;
        for (double x : distances) list.push_back({x, 0});
        return result_insert_position(list, d);
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    CHECK_EQ(at({1.0}, 1.0), 0u);  // into one equal pair: first
    CHECK_EQ(at({1.0, 1.0}, 1.0), 1u);  // into two equal pairs: between them
    CHECK_EQ(at({1.0, 1.0, 1.0}, 1.0), 2u);
    CHECK_EQ(at({1.0, 1.0, 1.0, 1.0}, 1.0), 3u);
    CHECK_EQ(at({1.0, 2.0, 2.0, 3.0}, 2.0), 2u);
    CHECK_EQ(at({0.0, 1.0, 1.0}, 1.0), 2u);
    CHECK_EQ(at({1.0, 1.0, 5.0}, 1.0), 1u);
    CHECK_EQ(at({1.0}, 0.5), 0u);
    CHECK_EQ(at({1.0}, 2.0), 1u);
    CHECK_EQ(at({1.0, 2.0, 3.0}, 9.0), 3u);
    CHECK_EQ(at({1.0, 2.0, 3.0}, -9.0), 0u);
    CHECK_EQ(at({-0.0}, 0.0), 0u);
    // NaN ranks after every number and equal to another NaN.
    CHECK_EQ(at({1.0, nan}, nan), 1u);
    CHECK_EQ(at({1.0, nan}, 5.0), 1u);
    CHECK_EQ(at({nan}, 5.0), 0u);
}

TEST(cross_check_long_vectors_where_distances_stop_early) {
    // Past 64 components a euclidean distance may stop at the list's bound;
    // the graph and every answer must not change.
    std::uint64_t seed = 900;
    for (std::uint64_t layers : {1u, 3u})
        for (std::uint64_t ef_c : {4u, 40u})
            for (bool coarse : {true, false})
                cross_check({Metric::Euclidean, layers, layers, ef_c, 6, 150, 150, coarse}, seed++);
}
