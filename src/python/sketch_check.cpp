// Test hook for the sketch bounds. The environment variables of
// sketch_settings_from_environment() are read once at import; in checking
// mode (TESSRA_SKETCH_CHECK set) every skipped vector is recomputed; in it and
// in counting mode (TESSRA_SKETCH_COUNT set) the module gains a hidden
// function _sketch_stats() -> (tested, skipped, violations), so a test or
// benchmark program can see how much was skipped. Without the variables the
// module is unchanged.
#include "python/sketch_check.hpp"

#include "sketch/sketch_index.hpp"

namespace tessra::py {
namespace {

PyObject* sketch_stats(PyObject*, PyObject*) {
    const SketchCounters counters = sketch_counters();
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(counters.tested),
                         static_cast<unsigned long long>(counters.skipped),
                         static_cast<unsigned long long>(counters.violations));
}

PyMethodDef stats_method = {"_sketch_stats", sketch_stats, METH_NOARGS, nullptr};

}  // namespace

bool install_sketch_check(PyObject* module) {
    sketch_settings_from_environment();
    if (!sketch_settings().checking && !sketch_settings().counting) return true;
    Ref function(PyCFunction_NewEx(&stats_method, nullptr, nullptr));
    return function && PyObject_SetAttrString(module, "_sketch_stats", function.get()) == 0;
}

}  // namespace tessra::py
