// Module initialisation: one interpreter per process, one module object,
// the two classes registered in order.
#include <atomic>
#include <cstdint>
#include <string>

#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/fault.hpp"
#include "python/sketch_check.hpp"
#include "python/test_hooks.hpp"

namespace tessra::py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tessra",  // m_name
    "",        // m_doc: present and empty
    0,         // m_size
    nullptr,   // m_methods
    nullptr,   // m_slots
    nullptr,   // m_traverse
    nullptr,   // m_clear
    nullptr,   // m_free
};

std::atomic<std::int64_t> recorded_interpreter{-1};
PyObject* module_object = nullptr;  // kept for the life of the process

bool append_to_all(PyObject* module, const char* name) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    }
    if (!PyList_Check(all.get())) {
        raise_conversion_error(all.get(), "PyList");
        return false;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) != 0) {
        std::string description = "unknown error";
        {
            PendingError error;
            if (error.value() != nullptr) {
                Ref str(PyObject_Str(error.value()));
                const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
                if (utf8 != nullptr) description = utf8;
                PyErr_Clear();
            }
        }
        TESSRA_FAULT("could not append __name__ to __all__: " + description);
    }
    return true;
}

bool register_class(PyObject* module, PyTypeObject* type, const char* name) {
    if (!append_to_all(module, name)) return false;
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!recorded_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules do not yet support subinterpreters, see "
                        "https://peps.python.org/pep-0489/");
        return nullptr;
    }
    if (module_object != nullptr) return Py_NewRef(module_object);

    Ref module(PyModule_Create2(&module_definition, 1013));
    if (!module) return nullptr;
    if (!register_class(module.get(), flat_type(), "PyFlat")) return nullptr;
    if (!register_class(module.get(), hnsw_type(), "PyHNSW")) return nullptr;
    if (!install_sketch_check(module.get())) return nullptr;
    if (!install_test_hooks(module.get())) return nullptr;
    module_object = Py_NewRef(module.get());
    return module.release();
}

int always_true(PyObject*) { return 1; }

}  // namespace

PyTypeObject* create_class(const ClassSpec& spec) {
    PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_new, reinterpret_cast<void*>(spec.construct)},
        {Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)},
        {Py_tp_doc, const_cast<char*>(spec.doc)},
        {Py_tp_methods, spec.methods},
        {0, nullptr},
        {0, nullptr},
        {0, nullptr},
        {0, nullptr},
        {0, nullptr},
    };
    std::size_t used = 5;
    if (spec.repr != nullptr) slots[used++] = {Py_tp_repr, reinterpret_cast<void*>(spec.repr)};
    if (spec.attributes != nullptr) slots[used++] = {Py_tp_getset, spec.attributes};
    if (spec.length != nullptr) {
        slots[used++] = {Py_mp_length, reinterpret_cast<void*>(spec.length)};
        // len() must not make an empty index false: indexes were always true.
        slots[used++] = {Py_nb_bool, reinterpret_cast<void*>(always_true)};
    }
    PyType_Spec type_spec = {spec.full_name, spec.instance_size, 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&type_spec);  // copies the name, doc and slots it keeps
    if (type == nullptr) {
        PyErr_Print();
        TESSRA_FAULT(std::string("failed to create type object for ") + spec.class_name);
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tessra::py

PyMODINIT_FUNC PyInit_tessra() {
    return tessra::py::guarded([] { return tessra::py::init_module(); });
}
