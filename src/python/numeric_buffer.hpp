// Fast path for numpy arrays of plain numbers: reads the array's memory
// directly instead of iterating it. It gives exactly what iterating would give
// (each element converted to a double), so it only applies to exact ndarrays
// of native-order numeric types; anything else takes the general path.
#pragma once

#include <cstddef>
#include <vector>

#include "python/ref.hpp"

namespace tessra::py {

class NumericBuffer {
public:
    // ok() when obj is an exact numpy.ndarray with `ndim` dimensions and a
    // float64, float32, bool or integer element type.
    NumericBuffer(PyObject* obj, int ndim);
    ~NumericBuffer();
    NumericBuffer(const NumericBuffer&) = delete;
    NumericBuffer& operator=(const NumericBuffer&) = delete;

    bool ok() const { return kind_ != Kind::None; }
    std::size_t rows() const { return view_.ndim == 2 ? static_cast<std::size_t>(view_.shape[0]) : 1; }
    std::size_t columns() const { return static_cast<std::size_t>(view_.shape[view_.ndim - 1]); }
    // Appends the elements of one row (the whole array when 1-d).
    void append_row(std::size_t row, std::vector<double>& out) const;

    enum class Kind { None, F64, F32, Bool, I8, U8, I16, U16, I32, U32, I64, U64 };

private:
    Py_buffer view_{};
    bool held_ = false;
    Kind kind_ = Kind::None;
};

}  // namespace tessra::py
