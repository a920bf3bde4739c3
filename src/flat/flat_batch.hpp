// Exhaustive search of many queries at once, on several threads.
#pragma once

#include <cstddef>
#include <optional>

#include "common/batch_results.hpp"
#include "flat/flat.hpp"
#include "parallel/workers.hpp"

namespace tessra {

// Row i of `out` holds exactly what flat.search(queries + i * flat.dim, ...)
// finds with the same k: the same ids in the same order and the same distance
// bits, whatever the thread count. `queries` holds `rows` vectors of flat.dim
// elements back to back. The width is min(max(k, 1), stored count).
// `options` gives the threads and the poll (options.chunk is not used); when
// the poll stops the run, `finished` is false and `out` is incomplete.
// EmptyIndex when nothing is stored and there is at least one query.
std::optional<FlatError> flat_search_batch(const Flat& flat, const double* queries, std::size_t rows, std::size_t k,
                                           const ParallelFor& options, BatchResults& out, bool& finished);

}  // namespace tessra
