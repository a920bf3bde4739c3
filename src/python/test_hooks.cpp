// With TESSRA_TEST_HOOKS set at import, the module gains hidden functions for
// tests that run it in a child process:
//   _search_work() -> (layer searches, distances, run entries scanned) by
//                     graph searches since import, over every thread.
#include "python/test_hooks.hpp"

#include <cstdlib>

#include "common/test_hooks.hpp"

namespace tessra::py {
namespace {

PyObject* search_work_counts(PyObject*, PyObject*) {
    const SearchWork work = search_work();
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(work.layer_searches),
                         static_cast<unsigned long long>(work.distances),
                         static_cast<unsigned long long>(work.entries));
}

PyMethodDef search_work_method = {"_search_work", search_work_counts, METH_NOARGS, nullptr};

}  // namespace

bool install_test_hooks(PyObject* module) {
    const char* setting = std::getenv("TESSRA_TEST_HOOKS");
    if (setting == nullptr || *setting == '\0') return true;
    count_search_work(true);
    for (PyMethodDef* method : {&search_work_method}) {
        Ref function(PyCFunction_NewEx(method, nullptr, nullptr));
        if (!function || PyObject_SetAttrString(module, method->ml_name, function.get()) != 0) return false;
    }
    return true;
}

}  // namespace tessra::py
