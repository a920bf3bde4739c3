// PyHNSW files of either graph: the header's index kind says which.
#pragma once

#include <cstdint>

#include "hnsw/graph_index.hpp"
#include "io/stream.hpp"

namespace tessra::io {

std::uint64_t graph_file_size(const GraphIndex& index);
void write_graph(const GraphIndex& index, Sink& sink);
GraphIndex read_graph(Source& source);

}  // namespace tessra::io
