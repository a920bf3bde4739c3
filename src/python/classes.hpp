// The module's two class objects, each created once on first need.
#pragma once

#include "python/ref.hpp"

namespace tessra::py {

PyTypeObject* flat_type();
PyTypeObject* hnsw_type();

// Creates a heap type from its specification; a failure is an internal fault.
PyTypeObject* create_type(PyType_Spec* spec, const char* class_name);

}  // namespace tessra::py
