// The layout shared by both classes: object header, the index record owned by
// value, then the borrow flag. Also the pieces every entry point uses.
#pragma once

#include <new>
#include <utility>

#include "python/binding.hpp"
#include "python/borrow.hpp"
#include "python/convert.hpp"
#include "python/fault.hpp"

namespace tessra::py {

template <typename Record>
struct Instance {
    PyObject_HEAD
    Record record;
    BorrowFlag borrow;
};

// Allocates an instance of `type` and moves the record in.
template <typename Record>
PyObject* new_instance(PyTypeObject* type, Record&& record) {
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    auto* self = reinterpret_cast<Instance<Record>*>(obj);
    new (&self->record) Record(std::move(record));
    new (&self->borrow) BorrowFlag(0);
    return obj;
}

template <typename Record>
void dealloc_instance(PyObject* obj) {
    auto* self = reinterpret_cast<Instance<Record>*>(obj);
    PyTypeObject* type = Py_TYPE(obj);
    self->record.~Record();
    self->borrow.~BorrowFlag();
    type->tp_free(obj);
    Py_DECREF(type);
}

// The receiver of a method: refuses objects of another type.
template <typename Record>
Instance<Record>* receiver(PyObject* self, PyTypeObject* type, const char* class_name) {
    if (type == nullptr || !PyObject_TypeCheck(self, type)) {
        raise_conversion_error(self, class_name);
        return nullptr;
    }
    return reinterpret_cast<Instance<Record>*>(self);
}

// Binds a method's arguments, then checks its receiver; null with the error set on failure.
template <typename Record>
Instance<Record>* bind_method(const Signature& sig, PyObject* self, PyTypeObject* type, const char* class_name,
                              PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (!bind_fastcall(sig, args, nargs, kwnames, out)) return nullptr;
    return receiver<Record>(self, type, class_name);
}

// A new reference to None, the result of methods without a value.
inline PyObject* none() { Py_RETURN_NONE; }

// Raises ValueError "{prefix}{name}" and returns null.
inline PyObject* raise_value_error(const char* prefix, const char* name) {
    PyErr_Format(PyExc_ValueError, "%s%s", prefix, name);
    return nullptr;
}

}  // namespace tessra::py
