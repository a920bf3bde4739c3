// PyHNSW files of the full graph (docs/format.md): parameters, schema,
// vectors, levels, runs, metadata records and, from version 2, the level
// generator and the removed ids. Readers hold a file to every rule insertion
// keeps (graph_invariants.hpp) and throw io::FormatError or io::SystemError.
#pragma once

#include <cstdint>

#include "hnsw/hnsw.hpp"
#include "io/index_file.hpp"
#include "io/stream.hpp"

namespace tessra::io {

// Bytes write_hnsw produces, so a memory block can be sized first.
std::uint64_t hnsw_file_size(const HNSW& hnsw);
void write_hnsw(const HNSW& hnsw, Sink& sink);
HNSW read_hnsw(Source& source);
// The rest of a full-graph file whose header `in` has read.
HNSW read_hnsw_sections(IndexReader& in);

}  // namespace tessra::io
