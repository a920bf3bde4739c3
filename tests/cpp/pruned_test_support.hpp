// Shared helpers for the pruned graph's tests: data sets, builders and the
// structural invariants every build must keep.
#pragma once

#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include "check.hpp"
#include "hnsw_test_support.hpp"
#include "pruned/levels.hpp"
#include "pruned/pruned_hnsw.hpp"

namespace pruned_test {

using Rows = std::vector<std::vector<double>>;

enum class Data { Random, Clustered, Duplicates, Sorted };

inline Rows make_data(Data kind, std::size_t n, std::size_t dim, std::uint64_t seed) {
    hnsw_test::SeededRandom rng(seed);
    Rows centres(8, std::vector<double>(dim));
    for (auto& c : centres)
        for (double& x : c) x = rng.unit() * 20.0 - 10.0;
    Rows rows(n, std::vector<double>(dim));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t d = 0; d < dim; ++d) {
            switch (kind) {
                case Data::Random: rows[i][d] = rng.unit() * 2.0 - 1.0; break;
                case Data::Clustered: rows[i][d] = centres[rng.below(centres.size())][d] + (rng.unit() - 0.5) * 0.3; break;
                // Few distinct points: equal distances and repeated vectors everywhere.
                case Data::Duplicates: rows[i][d] = static_cast<double>(rng.below(3)); break;
                // Consecutive nodes are near each other and far from the graph before them.
                case Data::Sorted: rows[i][d] = static_cast<double>(i) * 0.01 + (d == 0 ? 0.0 : rng.unit() * 0.05); break;
            }
        }
    }
    return rows;
}

inline tessra::VectorList as_list(const Rows& rows, std::size_t from, std::size_t to) {
    tessra::VectorList list;
    for (std::size_t i = from; i < to; ++i) {
        list.values().insert(list.values().end(), rows[i].begin(), rows[i].end());
        list.end_vector();
    }
    return list;
}

inline std::vector<std::uint64_t> draw_levels(std::size_t n, std::uint64_t m, std::uint64_t layers,
                                              std::uint64_t seed) {
    hnsw_test::SeededRandom rng(seed);
    std::vector<std::uint64_t> levels(n);
    for (auto& level : levels) level = tessra::draw_pruned_level(m, layers, rng);
    return levels;
}

// A word whose draw gives exactly `level` (below layers - 1, or the cap itself).
inline std::uint64_t word_for_level(std::uint64_t m, std::uint64_t layers, std::uint64_t level) {
    // Thresholds t_level >= u > t_{level+1}: take u halfway.
    double upper = 1.0;
    for (std::uint64_t j = 0; j < level; ++j) upper = upper / static_cast<double>(m);
    const double lower = upper / static_cast<double>(m);
    const double u = (upper + lower) / 2;
    const std::uint64_t word = (static_cast<std::uint64_t>(u * 0x1.0p53) - 1) << 11;
    CHECK_EQ(tessra::draw_pruned_level(m, layers, word), level);
    return word;
}

inline tessra::PrunedHNSW make_index(std::size_t dim, tessra::Metric metric = tessra::Metric::Euclidean,
                                     std::uint64_t m = 6, std::uint64_t ef_construction = 24,
                                     tessra::Schema schema = std::nullopt) {
    return tessra::PrunedHNSW(dim, metric, 16, m, ef_construction, 20, std::move(schema));
}

inline tessra::AddOptions threads(std::size_t count) {
    tessra::AddOptions options;
    options.threads = count;
    return options;
}

inline std::vector<std::uint32_t> list_of(const tessra::PrunedHNSW& index, std::uint64_t id, std::uint64_t layer) {
    const tessra::ListSpan span = index.neighbours(id, layer);
    return std::vector<std::uint32_t>(span.begin(), span.end());
}

// Every list of two indexes, the entry points and the levels are equal.
inline bool same_graph(const tessra::PrunedHNSW& a, const tessra::PrunedHNSW& b) {
    if (a.size() != b.size() || a.entry_point() != b.entry_point() || a.top_level() != b.top_level()) return false;
    for (std::uint64_t id = 0; id < a.size(); ++id) {
        if (a.level(id) != b.level(id)) return false;
        for (std::uint64_t layer = 0; layer <= a.level(id); ++layer) {
            if (list_of(a, id, layer) != list_of(b, id, layer)) return false;
            if (a.neighbours(id, layer).selected() != b.neighbours(id, layer).selected()) return false;
        }
    }
    return true;
}

// The invariants of a built graph: lists within their capacity, no node
// listing itself or another twice, every neighbour present on the layer,
// and the entry point the earliest node of the highest level.
inline void check_invariants(const tessra::PrunedHNSW& index) {
    const std::uint64_t m = index.m();
    std::uint64_t top = 0, entry = 0;
    for (std::uint64_t id = 0; id < index.size(); ++id) {
        if (index.level(id) > top || id == 0) top = index.level(id), entry = id;
        for (std::uint64_t layer = 0; layer <= index.level(id); ++layer) {
            const tessra::ListSpan list = index.neighbours(id, layer);
            CHECK(list.size() <= (layer == 0 ? 2 * m : m));
            CHECK(list.selected() <= list.size());
            std::set<std::uint32_t> seen;
            for (const std::uint32_t neighbour : list) {
                CHECK(neighbour < index.size());
                CHECK(neighbour != id);
                CHECK(seen.insert(neighbour).second);
                if (neighbour < index.size()) CHECK(index.level(neighbour) >= layer);
            }
        }
    }
    if (index.size() > 0) {
        CHECK_EQ(index.entry_point(), entry);
        CHECK_EQ(index.top_level(), top);
    }
}

// Node ids of the answers to `queries` (k nearest, the index's ef).
inline std::vector<std::vector<std::uint64_t>> answers(const tessra::PrunedHNSW& index, const Rows& queries,
                                                       std::uint64_t k, const tessra::Filter* filter = nullptr) {
    std::vector<std::vector<std::uint64_t>> out;
    std::vector<tessra::Candidate> found;
    for (const auto& q : queries) {
        CHECK(!index.search(q.data(), q.size(), k, filter, found).has_value());
        out.push_back(hnsw_test::result_ids(found));
    }
    return out;
}

}  // namespace pruned_test
