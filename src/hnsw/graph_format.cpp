#include "hnsw/graph_format.hpp"

#include "hnsw/hnsw_format.hpp"
#include "io/index_file.hpp"
#include "pruned/pruned_format.hpp"

namespace tessra::io {

std::uint64_t graph_file_size(const GraphIndex& index) {
    if (const HNSW* full = index.full()) return hnsw_file_size(*full);
    return pruned_file_size(*index.pruned_graph());
}

void write_graph(const GraphIndex& index, Sink& sink) {
    if (const HNSW* full = index.full()) return write_hnsw(*full, sink);
    write_pruned(*index.pruned_graph(), sink);
}

GraphIndex read_graph(Source& source) {
    IndexReader in(source, "PyHNSW");
    if (in.kind() == IndexKind::PrunedHNSW) return GraphIndex(read_pruned_sections(in));
    return GraphIndex(read_hnsw_sections(in));
}

}  // namespace tessra::io
