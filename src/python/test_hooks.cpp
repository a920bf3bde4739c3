// With TESSRA_TEST_HOOKS set at import, the module gains hidden functions for
// tests that run it in a child process:
//   _search_work() -> (layer searches, distances, run entries scanned) by
//                     graph searches since import, over every thread.
//   _fail_task(n)     the n-th task of parallel calls from now on (counted
//                     over every thread) fails as memory exhaustion does;
//                     0 turns it off.
//   _lockstep_build(on)  bulk adds in lockstep (common/test_hooks.hpp).
#include "python/test_hooks.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

#include "common/test_hooks.hpp"

namespace tessra::py {
namespace {

PyObject* search_work_counts(PyObject*, PyObject*) {
    const SearchWork work = search_work();
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(work.layer_searches),
                         static_cast<unsigned long long>(work.distances),
                         static_cast<unsigned long long>(work.entries));
}

std::atomic<unsigned long long> tasks_left{0};

void fail_when_counted_out(std::size_t) {
    unsigned long long left = tasks_left.load();
    // Counts down to 1 once; the task that takes the last count fails.
    while (left > 0 && !tasks_left.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 1) throw std::bad_alloc();
}

PyObject* fail_task(PyObject*, PyObject* arg) {
    const unsigned long long n = PyLong_AsUnsignedLongLong(arg);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    tasks_left.store(n);
    set_worker_task_hook(n == 0 ? nullptr : fail_when_counted_out);
    Py_RETURN_NONE;
}

PyObject* lockstep(PyObject*, PyObject* arg) {
    const int on = PyObject_IsTrue(arg);
    if (on < 0) return nullptr;
    set_lockstep_build(on == 1);
    Py_RETURN_NONE;
}

PyMethodDef search_work_method = {"_search_work", search_work_counts, METH_NOARGS, nullptr};
PyMethodDef fail_task_method = {"_fail_task", fail_task, METH_O, nullptr};
PyMethodDef lockstep_method = {"_lockstep_build", lockstep, METH_O, nullptr};

}  // namespace

bool install_test_hooks(PyObject* module) {
    const char* setting = std::getenv("TESSRA_TEST_HOOKS");
    if (setting == nullptr || *setting == '\0') return true;
    count_search_work(true);
    for (PyMethodDef* method : {&search_work_method, &fail_task_method, &lockstep_method}) {
        Ref function(PyCFunction_NewEx(method, nullptr, nullptr));
        if (!function || PyObject_SetAttrString(module, method->ml_name, function.get()) != 0) return false;
    }
    return true;
}

}  // namespace tessra::py
