// Result arrays handed to the caller as numpy arrays. numpy is imported on the
// first call that builds one, so importing the module does not load numpy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "python/ref.hpp"

namespace tessra::py {

// A new C-contiguous numpy array of the given shape (rows x columns, or rows
// alone when columns is kNoColumns) holding a copy of `values`, which has
// rows * columns elements. Null with the error set on failure (ImportError
// when numpy is missing).
constexpr std::size_t kNoColumns = static_cast<std::size_t>(-1);
PyObject* new_int64_array(const std::int64_t* values, std::size_t rows, std::size_t columns = kNoColumns);
PyObject* new_float64_array(const double* values, std::size_t rows, std::size_t columns = kNoColumns);

}  // namespace tessra::py
