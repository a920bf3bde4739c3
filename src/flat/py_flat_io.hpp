// What PyFlat's save, load, pickling and len() need to know of the index, and
// its read-only attributes.
#pragma once

#include <cstdint>

#include "flat/flat.hpp"
#include "io/stream.hpp"
#include "python/persist_methods.hpp"

namespace tessra::py {

template <>
struct Persistence<Flat> {
    static constexpr const char* kName = "PyFlat";
    static PyTypeObject* type();
    static std::uint64_t file_size(const Flat& flat);
    static void write(const Flat& flat, io::Sink& sink);
    static Flat read(io::Source& source);
    static std::size_t size(const Flat& flat) { return flat.live(); }
};

// "PyFlat(dim=3, metric='euclidean', len=2)".
PyObject* flat_repr(PyObject* self);

extern PyGetSetDef flat_attributes[];  // dim, metric

}  // namespace tessra::py
