// Graph searches of many queries at once, on several threads sharing the
// read-only graph: the full graph's or the pruned one's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/batch_results.hpp"
#include "common/vector_list.hpp"
#include "filter/filter.hpp"
#include "hnsw/hnsw.hpp"
#include "pruned/pruned_hnsw.hpp"
#include "parallel/workers.hpp"

namespace tessra {

// The widest row a batch can produce: max(k, 1) capped by the beam (ef in
// the full graph, max(ef, k) in the pruned one) and by the node count.
std::size_t hnsw_batch_width(const HNSW& hnsw, std::uint64_t k, std::uint64_t ef);
std::size_t hnsw_batch_width(const PrunedHNSW& pruned, std::uint64_t k, std::uint64_t ef);

// Row i of `out` holds the node ids and distances of
// hnsw.search(queries[i], k, filter, ef), in order, whatever the thread count;
// the width is hnsw_batch_width(). Any query may have any length. A search
// error ends the batch with the error of the lowest query that reported one.
// `options` gives the threads and the poll (options.chunk is not used); when
// the poll stops the run, `finished` is false and `out` is incomplete.
// Defined for HNSW and PrunedHNSW.
template <typename Graph>
std::optional<HNSWError> hnsw_search_batch(const Graph& hnsw, const VectorList& queries, std::uint64_t k,
                                           const Filter* filter, std::uint64_t ef, const ParallelFor& options,
                                           BatchResults& out, bool& finished);

}  // namespace tessra
