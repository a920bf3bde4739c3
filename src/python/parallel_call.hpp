// What a call that runs native work on several threads needs from the
// interpreter: the `threads` argument, the interpreter lock released around
// the work, and a way to notice Ctrl-C while it runs.
#pragma once

#include <cstddef>

#include "python/ref.hpp"

namespace tessra::py {

// The `threads` keyword: absent or None means every core the process may use;
// an integer of at least 1 is taken as is (ValueError "Thread count must be at
// least 1" otherwise). Failures are labelled with the argument's name.
bool to_thread_count(PyObject* arg, std::size_t& out);

// Releases the interpreter lock for its lifetime; no Python object may be
// touched until it ends. Must be created on a thread that holds the lock.
class GilReleased {
public:
    GilReleased() : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

    // Takes the lock back for a moment and runs pending signal handlers; true
    // when one raised (KeyboardInterrupt for Ctrl-C), with the exception set
    // for when the lock is taken back for good. Call on the creating thread.
    bool signal_raised() {
        PyEval_RestoreThread(state_);
        const bool raised = PyErr_CheckSignals() != 0;
        state_ = PyEval_SaveThread();
        return raised;
    }

    // Takes the lock back for a moment to run `body`, which may call into
    // Python, and returns its result. Call on the creating thread.
    template <typename Body>
    bool with_lock(Body&& body) {
        PyEval_RestoreThread(state_);
        const bool result = body();
        state_ = PyEval_SaveThread();
        return result;
    }

private:
    PyThreadState* state_;
};

}  // namespace tessra::py
