// Building result objects; a failure here ends the call (python_api_failed).
#pragma once

#include <cstdint>

#include "python/fault.hpp"

namespace tessra::py {

inline PyObject* checked(PyObject* created) {
    if (created == nullptr) TESSRA_PY_API_FAILED();
    return created;
}

inline PyObject* new_list(std::size_t size) { return checked(PyList_New(static_cast<Py_ssize_t>(size))); }
inline PyObject* new_float(double value) { return checked(PyFloat_FromDouble(value)); }
inline PyObject* new_int(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

// A 2-tuple taking ownership of both members (both already checked).
inline PyObject* new_pair(PyObject* first, PyObject* second) {
    Ref a(first), b(second);
    PyObject* pair = checked(PyTuple_New(2));
    PyTuple_SET_ITEM(pair, 0, a.release());
    PyTuple_SET_ITEM(pair, 1, b.release());
    return pair;
}

}  // namespace tessra::py
