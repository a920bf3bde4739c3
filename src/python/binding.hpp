// Binding call arguments to parameters by position and keyword, with the
// module's own TypeError wording. Every parameter can be given by keyword; the
// first `positional` ones (all, unless set) by position as well.
#pragma once

#include <cstddef>

#include "python/ref.hpp"

namespace tessra::py {

struct Signature {
    const char* display;        // "PyFlat.search()"
    const char* const* names;   // parameter names in order
    std::size_t count;          // number of parameters
    std::size_t required;       // leading parameters that must be given
    // Leading parameters that may be given by position; the rest are keyword-only.
    std::size_t positional = static_cast<std::size_t>(-1);

    std::size_t positional_count() const { return positional < count ? positional : count; }
};

// Fills out[0..count) with borrowed references, null for parameters not given.
// On failure sets TypeError and returns false.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);
bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// An optional parameter given as None counts as not given.
inline PyObject* given(PyObject* arg) { return arg == Py_None ? nullptr : arg; }

}  // namespace tessra::py
