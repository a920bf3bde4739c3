// The boundary guard: every entry point runs its body through guarded(), which
// turns an internal fault into the internal-fault exception, memory exhaustion
// into MemoryError, and lets nothing native escape into the interpreter.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

#include "common/fault.hpp"
#include "python/ref.hpp"

namespace tessra::py {

// The internal-fault exception type (derived from BaseException), created on first use.
PyObject* internal_fault_type();

// Writes the fault to standard error and raises the internal-fault exception.
void raise_internal_fault(const Fault& fault);

// An internal-fault exception coming back from Python code that the module
// called: reported on standard error, then thrown on as a new fault. Returns
// normally when the pending error is anything else.
void resume_if_internal_fault();

// Ends an entry point after a failed Python call that cannot fail in a healthy
// interpreter: memory exhaustion stays a MemoryError, anything else is a fault.
[[noreturn]] void python_api_failed(const char* file, int line);

template <typename Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const Fault& fault) {
        raise_internal_fault(fault);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
    return decltype(body())();
}

}  // namespace tessra::py

#define TESSRA_PY_API_FAILED() ::tessra::py::python_api_failed(__FILE__, __LINE__)
