// The Python side of index files, shared by both classes: atomic saving to a
// path, loading from one, the bytes behind pickling, and the callable pickle
// finds the loader by. Format errors become ValueError, failed system calls
// the matching OSError subclass naming the path.
#pragma once

#include <cstdint>
#include <functional>

#include "io/stream.hpp"
#include "python/ref.hpp"

namespace tessra::py {

using WriteIndex = std::function<void(io::Sink&)>;
using ReadIndex = std::function<void(io::Source&)>;

// Writes a temporary file beside the target, flushes and fsyncs it, then
// renames it over the target; on any failure the target is untouched and the
// temporary removed. When `path` is a symbolic link the target is the file it
// names (link after link), and the link stays. `write` runs without the interpreter lock, so the caller
// holds its shared borrow across the call. Returns None, or null with the error set.
PyObject* save_to_path(PyObject* path, const WriteIndex& write);

// Opens `path` and runs `read` on it without the interpreter lock; false with the error set.
bool load_from_path(PyObject* path, const ReadIndex& read);

// A bytes object of exactly `size` bytes filled by `write` (without the interpreter lock).
PyObject* write_to_bytes(std::uint64_t size, const WriteIndex& write);

// Runs `read` over a bytes-like object; false with the error set.
bool load_from_buffer(PyObject* data, const ReadIndex& read);

// The value of __reduce__: (loader, (data,)). The loader calls
// `cls._from_bytes`; pickle stores it by name as "tessra:<class>._from_bytes",
// so the unpickling process imports tessra on its own.
PyObject* reduce_to_loader(PyTypeObject* cls, const char* class_name, PyObject* data);

}  // namespace tessra::py
