// Test hook for the sketch bounds. The environment variables of
// sketch_settings_from_environment() are read once at import; in checking
// mode (TESSRA_SKETCH_CHECK set) every skipped vector is recomputed; in it and
// in counting mode (TESSRA_SKETCH_COUNT set) the module gains a hidden
// function _sketch_stats() -> (tested, skipped, violations), so a test or
// benchmark program can see how much was skipped, and _sketch_fit_from(n).
// Without the variables the module is unchanged.
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

// _sketch_fit_from(n) -> previous n: indexes fit sketches from n stored
// vectors on (2**62: never), so a benchmark can build a baseline beside them.
PyObject* sketch_fit_from(PyObject*, PyObject* arg) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(arg);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    SketchSettings settings = sketch_settings();
    const std::size_t previous = settings.min_vectors;
    settings.min_vectors = static_cast<std::size_t>(value);
    set_sketch_settings(settings);
    return PyLong_FromSize_t(previous);
}

PyMethodDef stats_method = {"_sketch_stats", sketch_stats, METH_NOARGS, nullptr};
PyMethodDef fit_from_method = {"_sketch_fit_from", sketch_fit_from, METH_O, nullptr};

}  // namespace

bool install_sketch_check(PyObject* module) {
    sketch_settings_from_environment();
    if (!sketch_settings().checking && !sketch_settings().counting) return true;
    for (PyMethodDef* method : {&stats_method, &fit_from_method}) {
        Ref function(PyCFunction_NewEx(method, nullptr, nullptr));
        if (!function || PyObject_SetAttrString(module, method->ml_name, function.get()) != 0) return false;
    }
    return true;
}

}  // namespace tessra::py
