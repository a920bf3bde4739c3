// An order of a batch's queries that puts queries near each other next to
// each other, so that a group of kQueryLanes consecutive queries tends to
// need the same stored vectors: their exact distances then go through the
// block kernels together, and a stored vector read for one of a block's
// queries is still in cache for the next. Only speed depends on the order;
// every query's answer is its own.
#pragma once

#include <cstddef>
#include <vector>

#include "sketch/sketch_index.hpp"

namespace tessra {

// A permutation of [0, queries.size()): queries with sketches first, split
// recursively at the median of the sketch coordinate of widest spread into
// halves whose sizes are multiples of `group`, then the others in their
// given order.
std::vector<std::size_t> coherent_order(const std::vector<SketchQuery>& queries, std::size_t group);

}  // namespace tessra
