// Owned Python references: every new reference the module takes lives in a Ref,
// so no path out of a call can leak one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tessra::py {

class Ref {
public:
    Ref() = default;
    // Takes ownership of a new reference (which may be null).
    explicit Ref(PyObject* owned) : obj_(owned) {}
    static Ref borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

// A pending Python exception, taken out of the interpreter and put back on demand.
class PendingError {
public:
    PendingError() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
        type_ = Ref(type);
        value_ = Ref(value);
        traceback_ = Ref(traceback);
    }
    PyObject* type() const { return type_.get(); }
    PyObject* value() const { return value_.get(); }
    void restore() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

private:
    Ref type_, value_, traceback_;
};

}  // namespace tessra::py
