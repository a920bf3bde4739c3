// What both graph indexes share with their callers: the error enumeration,
// metric names, parameter defaults, and the options and outcome of a bulk add.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "metrics/metrics.hpp"

namespace tessra {

enum class HNSWError { InvalidEF, InvalidLayer, NoSchema, EmptySchema, AttributeNotFound, EmptyVectors, InvalidNodeID };

// The variant's name as written in the enumeration.
const char* hnsw_error_name(HNSWError error);

// "euclidean", "angular" (cosine similarity) and "inner_product" (dot product),
// compared exactly; anything else has no metric.
std::optional<Metric> hnsw_metric_from_name(std::string_view name);

// Parameter values the constructor's caller uses when an argument is absent.
constexpr std::uint64_t kDefaultLayers = 5;
constexpr std::uint64_t kDefaultM = 16;
constexpr std::uint64_t kDefaultEfConstruction = 200;
constexpr std::uint64_t kDefaultEfSearch = 50;

// How add() runs: on how many threads, and what it reports on the way.
struct AddOptions {
    std::size_t threads = 1;  // the calling thread included
    // Called on the calling thread about every poll_interval with the vectors
    // added so far and the total; returning true stops the build.
    std::function<bool(std::size_t done, std::size_t total)> poll;
    std::chrono::milliseconds poll_interval{100};
};

// What add() did: how many vectors it added, why it stopped early, and how
// the parallel build went.
struct AddResult {
    std::size_t added = 0;
    std::optional<HNSWError> error;  // the failing vector is vectors[added]
    bool stopped = false;            // by the poll
    std::size_t speculated = 0;      // insertions linked from a search run ahead on a worker
    std::size_t redone = 0;          // of those searches, the ones invalidated by later commits
    std::size_t direct = 0;          // insertions searched by the committer on the current graph
    // Processor seconds: speculative searches (summed over every thread),
    // validating and linking on the calling thread, and the searches the
    // calling thread ran in insertion order (with their linking).
    double search_seconds = 0;
    double commit_seconds = 0;
    double redo_seconds = 0;
    std::size_t pairs_found = 0;     // nodes the linking searches found, the new node included
    std::size_t batches = 0;         // batches linked (pruned graph)
};

}  // namespace tessra
