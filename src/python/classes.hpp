// The module's two class objects, each created once on first need.
#pragma once

#include "python/ref.hpp"

namespace tessra::py {

PyTypeObject* flat_type();
PyTypeObject* hnsw_type();

// What the two classes differ in. Both derive from object, have only the
// default flags (no subclassing, no __dict__, no weak references) and no slots
// beyond these.
struct ClassSpec {
    const char* full_name;   // "builtins.PyFlat"
    const char* class_name;  // "PyFlat"
    int instance_size;
    newfunc construct;
    destructor dealloc;
    const char* doc;         // "Name(signature)\n--\n\ndocstring"
    PyMethodDef* methods;    // static, null-terminated
    PyGetSetDef* attributes = nullptr;  // read-only attributes, static, null-terminated
    lenfunc length = nullptr;           // len(index)
    reprfunc repr = nullptr;            // repr(index)
};

// Creates the class object; a failure is an internal fault.
PyTypeObject* create_class(const ClassSpec& spec);

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A method entry with the fast calling convention and keywords.
inline PyMethodDef fast_method(const char* name, FastMethod method, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method)), METH_FASTCALL | METH_KEYWORDS,
            doc};
}

}  // namespace tessra::py
