// What PyHNSW's save, load, pickling and len() need to know of the index, and
// its read-only attributes.
#pragma once

#include <cstdint>

#include "hnsw/graph_index.hpp"
#include "io/stream.hpp"
#include "python/persist_methods.hpp"

namespace tessra::py {

template <>
struct Persistence<GraphIndex> {
    static constexpr const char* kName = "PyHNSW";
    static PyTypeObject* type();
    static std::uint64_t file_size(const GraphIndex& index);
    static void write(const GraphIndex& index, io::Sink& sink);
    static GraphIndex read(io::Source& source);
    static std::size_t size(const GraphIndex& index) {
        return index.visit([](const auto& graph) { return graph.live(); });
    }
};

// "PyHNSW(dim=128, metric='euclidean', graph='pruned', m=16, ef_construction=200, ef_search=50, len=20000)".
PyObject* hnsw_repr(PyObject* self);

extern PyGetSetDef hnsw_attributes[];  // dim, metric, layers, m, ef_construction, ef_search, schema, graph, seed

}  // namespace tessra::py
