// What PyHNSW's save, load, pickling and len() need to know of the index, and
// its read-only attributes.
#pragma once

#include <cstdint>

#include "hnsw/graph_index.hpp"
#include "io/stream.hpp"
#include "python/persist_methods.hpp"

namespace tessra::py {

// Only the full graph has a file format so far: a pruned graph is refused by
// save (ValueError) and by __reduce__ (so pickling and copying refuse it too).
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

// __reduce__: the saved form of a full graph; ValueError for a pruned one.
PyObject* hnsw_reduce(PyObject* self, PyObject*);

// The persistence entries of PyHNSW's method table: save, load and
// _from_bytes as for every index, and a __reduce__ that refuses a pruned graph.
#define TESSRA_HNSW_PERSISTENCE_METHODS                                                                           \
    fast_method("save", save_method<GraphIndex>,                                                                  \
                "save($self, path)\n--\n\nWrite the index to a file.\n\n"                                         \
                "The file is written beside `path` and renamed over it once complete, so an existing "            \
                "file is replaced whole or not at all."),                                                         \
        {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_method<GraphIndex>)),           \
         METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "load($type, path)\n--\n\nRead an index written by PyHNSW.save()."}, \
        {"_from_bytes", from_bytes_method<GraphIndex>, METH_O | METH_CLASS, nullptr},                             \
        {"__reduce__", hnsw_reduce, METH_NOARGS, nullptr}

extern PyGetSetDef hnsw_attributes[];  // dim, metric, layers, m, ef_construction, ef_search, schema, graph, seed

}  // namespace tessra::py
