// Shared helpers for the graph index tests: scripted and seeded random
// sources, and small builders.
#pragma once

#include <cstdint>
#include <deque>
#include <sstream>
#include <initializer_list>
#include <vector>

#include "check.hpp"
#include "hnsw/hnsw.hpp"
#include "hnsw/level_draw.hpp"

namespace hnsw_test {

// Hands out the words it was given, in order; running dry is a test failure.
struct ScriptedRandom : tessra::RandomSource {
    std::deque<std::uint64_t> words;
    std::size_t used = 0;

    ScriptedRandom() = default;
    ScriptedRandom(std::initializer_list<std::uint64_t> script) : words(script) {}

    std::uint64_t next_u64() override {
        ++used;
        if (words.empty()) {
            check::fail(__FILE__, __LINE__, "scripted random source ran dry");
            return 0;
        }
        const std::uint64_t word = words.front();
        words.pop_front();
        return word;
    }
};

// A reproducible stream (splitmix64), so two indexes can be fed the same words.
struct SeededRandom : tessra::RandomSource {
    std::uint64_t state;
    explicit SeededRandom(std::uint64_t seed) : state(seed) {}
    std::uint64_t next_u64() override {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }
    std::uint64_t below(std::uint64_t n) { return next_u64() % n; }
};

// A random word whose level draw gives exactly `level` for an index of `layers` layers.
inline std::uint64_t word_for_level(std::uint64_t layers, std::uint64_t level) {
    const std::vector<double> weights = tessra::make_level_weights(layers);
    double total = 0.0;
    for (double w : weights) total += w;
    double below = 0.0;
    for (std::uint64_t k = 0; k < level; ++k) below += weights[k];
    const double u = (below + weights[level] / 2) / total;
    const std::uint64_t word = static_cast<std::uint64_t>(u * 0x1.0p53) << 11;
    ScriptedRandom check_word{word};
    CHECK_EQ(tessra::draw_level(weights, layers, check_word), level);
    return word;
}

inline tessra::HNSW make_index(std::size_t dim, std::uint64_t layers, std::uint64_t ef_construction = 200,
                               std::uint64_t ef_search = 50, tessra::Schema schema = std::nullopt,
                               tessra::Metric metric = tessra::Metric::Euclidean) {
    return tessra::HNSW(dim, metric, layers, 16, ef_construction, ef_search, std::move(schema));
}

inline std::optional<tessra::HNSWError> insert(tessra::HNSW& index, std::vector<double> vector,
                                               tessra::RandomSource& rng,
                                               const tessra::MetadataRecord* record = nullptr) {
    return index.insert(vector.data(), vector.size(), record, rng);
}

inline std::vector<std::uint32_t> run(const tessra::HNSW& index, std::uint64_t id) {
    const tessra::RunSpan span = index.run(id);
    return std::vector<std::uint32_t>(span.begin(), span.end());
}
inline std::vector<std::uint32_t> ids(std::initializer_list<std::uint32_t> list) { return list; }

// Node ids of a result, in order.
inline std::vector<std::uint64_t> result_ids(const std::vector<tessra::Candidate>& result) {
    std::vector<std::uint64_t> out;
    for (const auto& c : result) out.push_back(c.id);
    return out;
}
inline std::vector<std::uint64_t> id_list(std::initializer_list<std::uint64_t> list) { return list; }

inline tessra::VectorList vector_list(std::initializer_list<std::vector<double>> vectors) {
    tessra::VectorList list;
    for (const auto& v : vectors) {
        list.values().insert(list.values().end(), v.begin(), v.end());
        list.end_vector();
    }
    return list;
}

// Like CHECK_EQ, for lists of ids (printed in full on failure).
template <typename A, typename B>
void expect_same_list(const A& a, const B& b, const char* as, const char* bs, const char* file, int line) {
    bool same = a.size() == b.size();
    for (std::size_t i = 0; same && i < a.size(); ++i) same = static_cast<std::uint64_t>(a[i]) == static_cast<std::uint64_t>(b[i]);
    if (same) return;
    std::ostringstream out;
    out << as << " == " << bs << " ([";
    for (const auto& x : a) out << " " << x;
    out << " ] vs [";
    for (const auto& x : b) out << " " << x;
    out << " ])";
    check::fail(file, line, out.str());
}

inline bool is_none(const std::optional<tessra::HNSWError>& error) { return !error.has_value(); }
inline bool is_error(const std::optional<tessra::HNSWError>& error, tessra::HNSWError expected) {
    return error.has_value() && *error == expected;
}

}  // namespace hnsw_test

#define CHECK_LIST(a, b) hnsw_test::expect_same_list((a), (b), #a, #b, __FILE__, __LINE__)
