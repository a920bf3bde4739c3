#include "python/numpy_result.hpp"

#include <cstring>

namespace tessra::py {
namespace {

// numpy.empty(shape, dtype=dtype_name), filled from `values` through the buffer protocol.
PyObject* new_array(const char* dtype_name, const void* values, std::size_t item_size, std::size_t rows,
                    std::size_t columns) {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Ref empty(PyObject_GetAttrString(numpy.get(), "empty"));
    if (!empty) return nullptr;
    Ref shape(columns == kNoColumns ? Py_BuildValue("(n)", static_cast<Py_ssize_t>(rows))
                                    : Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows),
                                                    static_cast<Py_ssize_t>(columns)));
    if (!shape) return nullptr;
    Ref args(PyTuple_Pack(1, shape.get()));
    Ref kwargs(Py_BuildValue("{s:s}", "dtype", dtype_name));
    if (!args || !kwargs) return nullptr;
    Ref array(PyObject_Call(empty.get(), args.get(), kwargs.get()));
    if (!array) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) return nullptr;
    const std::size_t bytes = rows * (columns == kNoColumns ? 1 : columns) * item_size;
    if (static_cast<std::size_t>(view.len) == bytes && bytes > 0) std::memcpy(view.buf, values, bytes);
    const bool sized = static_cast<std::size_t>(view.len) == bytes;
    PyBuffer_Release(&view);
    if (!sized) {
        PyErr_SetString(PyExc_SystemError, "numpy returned an array of unexpected size");
        return nullptr;
    }
    return array.release();
}

}  // namespace

PyObject* new_int64_array(const std::int64_t* values, std::size_t rows, std::size_t columns) {
    return new_array("int64", values, sizeof(std::int64_t), rows, columns);
}

PyObject* new_float64_array(const double* values, std::size_t rows, std::size_t columns) {
    return new_array("float64", values, sizeof(double), rows, columns);
}

}  // namespace tessra::py
