// PyHNSW.search_batch: many queries at once, on several threads.
#pragma once

#include "python/ref.hpp"

namespace tessra::py {

PyObject* hnsw_search_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kHnswSearchBatchDoc[];

}  // namespace tessra::py
