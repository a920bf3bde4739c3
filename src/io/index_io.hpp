// Saving and loading both index kinds in the tessra index file format
// (docs/format.md). Writers stream the index as it is held in memory; readers
// check everything a file declares before allocating for it and throw
// FormatError (bad data) or SystemError (a failed read).
#pragma once

#include <cstdint>

#include "flat/flat.hpp"
#include "hnsw/hnsw.hpp"
#include "io/stream.hpp"

namespace tessra::io {

// Bytes write_flat / write_hnsw produce, so a memory block can be sized first.
std::uint64_t flat_file_size(const Flat& flat);
std::uint64_t hnsw_file_size(const HNSW& hnsw);

void write_flat(const Flat& flat, Sink& sink);
void write_hnsw(const HNSW& hnsw, Sink& sink);

Flat read_flat(Source& source);
HNSW read_hnsw(Source& source);

// Metric codes in the parameters section.
std::uint32_t metric_code(Metric metric);

}  // namespace tessra::io
