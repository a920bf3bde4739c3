// PyFlat.search_batch: many queries at once, on several threads.
#pragma once

#include "python/ref.hpp"

namespace tessra::py {

PyObject* flat_search_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kFlatSearchBatchDoc[];

}  // namespace tessra::py
