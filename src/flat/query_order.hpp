// An order of a batch's queries that puts queries near each other next to
// each other, so that a group of kQueryLanes consecutive queries tends to
// need the same stored vectors: their exact distances then go through the
// block kernels together, and a stored vector read for one of a block's
// queries is still in cache for the next. Only speed depends on the order;
// every query's answer is its own.
#pragma once

#include <cstddef>
#include <vector>

#include "sketch/sketch_basis.hpp"

namespace tessra {

// Coordinates an order looks at: the leading sketch axes carry most of the spread.
constexpr std::size_t kOrderAxes = 8;

// Writes the first min(kOrderAxes, basis.rank) coordinates of P (query - mean)
// to key; false (key unused) when the basis has no axes or the query a
// non-finite component or coordinate.
bool order_key(const SketchBasis& basis, const double* query, double* key);

// A permutation of [0, rows): the rows with a key (has_key[q]) first, split
// recursively at the median of the key coordinate of widest spread into
// halves whose sizes are multiples of `group`, then the others in their
// given order. Row q's key is at keys + q * kOrderAxes, `axes` coordinates.
std::vector<std::size_t> coherent_order(const std::vector<double>& keys, const std::vector<char>& has_key,
                                        std::size_t axes, std::size_t group);

}  // namespace tessra
