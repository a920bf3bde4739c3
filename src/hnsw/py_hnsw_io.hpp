// What PyHNSW's save, load, pickling and len() need to know of the index, and
// its read-only attributes.
#pragma once

#include <cstdint>

#include "hnsw/hnsw.hpp"
#include "io/stream.hpp"
#include "python/persist_methods.hpp"

namespace tessra::py {

template <>
struct Persistence<HNSW> {
    static constexpr const char* kName = "PyHNSW";
    static PyTypeObject* type();
    static std::uint64_t file_size(const HNSW& hnsw);
    static void write(const HNSW& hnsw, io::Sink& sink);
    static HNSW read(io::Source& source);
    static std::size_t size(const HNSW& hnsw) { return hnsw.live(); }
};

extern PyGetSetDef hnsw_attributes[];  // dim, metric, layers, m, ef_construction, ef_search, schema

}  // namespace tessra::py
