#include "python/binding.hpp"

#include <cstring>
#include <string>

namespace tessra::py {
namespace {

bool too_many_positional(const Signature& sig, std::size_t given) {
    const char* verb = given == 1 ? "was" : "were";
    const std::size_t most = sig.positional_count();
    if (sig.required == most)
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given", sig.display,
                     most, given, verb);
    else
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                     sig.display, sig.required, most, given, verb);
    return false;
}

// Puts one keyword argument in place; false (with TypeError set) if it names
// no parameter or one already given by position.
bool bind_keyword(const Signature& sig, PyObject* keyword, PyObject* value, std::size_t positional,
                  PyObject** out) {
    Py_ssize_t length = 0;
    const char* name = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &length) : nullptr;
    if (name == nullptr) PyErr_Clear();
    for (std::size_t i = 0; name != nullptr && i < sig.count; ++i) {
        if (std::strlen(sig.names[i]) != static_cast<std::size_t>(length) ||
            std::memcmp(sig.names[i], name, length) != 0)
            continue;
        if (i < positional) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display,
                         sig.names[i]);
            return false;
        }
        out[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.display, keyword);
    return false;
}

bool check_required(const Signature& sig, PyObject** out) {
    std::string names;
    std::size_t missing = 0;
    std::size_t last = 0;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (out[i] == nullptr) ++missing, last = i;
    if (missing == 0) return true;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (out[i] != nullptr) continue;
        if (seen > 0) names += missing == 2 ? " and " : (i == last ? ", and " : ", ");
        names += std::string("'") + sig.names[i] + "'";
        ++seen;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.display, missing,
                 missing == 1 ? "argument" : "arguments", names.c_str());
    return false;
}

std::size_t bind_positional(const Signature& sig, PyObject* const* args, std::size_t nargs, PyObject** out) {
    for (std::size_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    return nargs;
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
    const std::size_t positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
    if (positional > sig.positional_count()) return too_many_positional(sig, positional);
    bind_positional(sig, args, positional, out);
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < keywords; ++i)
            if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[positional + i], positional, out))
                return false;
    }
    return check_required(sig, out);
}

bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const std::size_t positional = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (positional > sig.positional_count()) return too_many_positional(sig, positional);
    bind_positional(sig, PySequence_Fast_ITEMS(args), positional, out);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(sig, key, value, positional, out)) return false;
    }
    return check_required(sig, out);
}

}  // namespace tessra::py
