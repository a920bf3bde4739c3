// PyHNSW: the Python face of the graph index (placeholder until the core lands).
#include "python/classes.hpp"
#include "python/instance.hpp"

namespace tessra::py {
namespace {

struct Empty {};
PyTypeObject* type_object = nullptr;

PyObject* hnsw_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "PyHNSW is not built yet");
    return nullptr;
}

char doc[] =
    "PyHNSW(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None)\n--\n\n";

PyType_Slot slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(hnsw_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Empty>)},
    {Py_tp_doc, doc},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.PyHNSW", static_cast<int>(sizeof(Instance<Empty>)), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* hnsw_type() {
    if (type_object == nullptr) type_object = create_type(&spec, "PyHNSW");
    return type_object;
}

}  // namespace tessra::py
