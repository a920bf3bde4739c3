// PyHNSW files of the pruned graph (docs/format.md, index kind 3):
// parameters, schema, vectors, levels, lists, metadata records, the level
// generator and the removed ids. The reader holds a file to every rule a
// build keeps, so a loaded graph costs a search what a built one costs:
//  - m from 2 to 32767, at least one layer, dim at least 1;
//  - every level at most layers - 1 and at most what a draw can give for m
//    (the level of the smallest random number, draw_pruned_level);
//  - per node and layer 0 to its level a list of at most 2m ids on layer 0
//    and m above, each below the node count, on that layer (its level at
//    least the layer), never the node itself, none twice;
//  - every node but the first with at least one neighbour on layer 0 (its
//    insertion linked it to a node found before it).
// The entry point (the first node of the highest level) is derived.
#pragma once

#include <cstdint>

#include "io/index_file.hpp"
#include "io/stream.hpp"
#include "pruned/pruned_hnsw.hpp"

namespace tessra::io {

std::uint64_t pruned_file_size(const PrunedHNSW& index);
void write_pruned(const PrunedHNSW& index, Sink& sink);
// The rest of a pruned-graph file whose header `in` has read.
PrunedHNSW read_pruned_sections(IndexReader& in);

}  // namespace tessra::io
