#include "python/fault.hpp"

namespace tessra::py {

namespace {

const char kInternalFaultDoc[] =
    "\nThe exception raised when native code called from Python fails internally.\n\n"
    "Like SystemExit, this exception derives from BaseException so that it will\n"
    "typically propagate all the way up the stack and cause the Python interpreter to exit.\n";

PyObject* created_type = nullptr;  // kept for the life of the process

}  // namespace

PyObject* internal_fault_type() {
    PyObject*& type = created_type;
    if (type == nullptr) {
        PendingError pending;  // creating a type needs a clean error state
        PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kInternalFaultDoc,
                                                      PyExc_BaseException, nullptr);
        if (created == nullptr) {
            PyErr_Print();
            std::fputs("uncaught panic at ffi boundary\n", stderr);
            std::abort();
        }
        if (type == nullptr) type = created;
        else Py_DECREF(created);
        pending.restore();
    }
    return type;
}

void raise_internal_fault(const Fault& fault) {
    std::fprintf(stderr, "internal fault at %s:%d:\n%s\n", fault.file, fault.line, fault.what());
    PyObject* type = internal_fault_type();
    Ref message(PyUnicode_FromString(fault.what()));
    if (!message) return;  // MemoryError (or the decode error) stays pending
    PyErr_SetObject(type, message.get());
}

void resume_if_internal_fault() {
    // No internal-fault exception can exist before its type does.
    if (created_type == nullptr || !PyErr_Occurred() || !PyErr_ExceptionMatches(created_type)) return;
    PendingError pending;
    std::string text = "internal fault";
    if (pending.value() != nullptr) {
        Ref args(PyObject_GetAttrString(pending.value(), "args"));
        if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1) {
            Ref str(PyObject_Str(PyTuple_GET_ITEM(args.get(), 0)));
            const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
            if (utf8 != nullptr) text = utf8;
        }
        PyErr_Clear();
    }
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
    std::fputs("Python stack trace below:\n", stderr);
    pending.restore();
    PyErr_PrintEx(0);
    throw Fault(text, __FILE__, __LINE__);
}

void python_api_failed(const char* file, int line) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw std::bad_alloc();
    PyErr_Print();
    throw Fault("Python API call failed", file, line);
}

}  // namespace tessra::py
