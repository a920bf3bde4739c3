#include "metadata/py_metadata.hpp"

#include <string_view>
#include <unordered_map>

namespace tessra::py {

std::optional<Metadata> extract_metadata_value(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        Py_ssize_t length = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &length))
            return Metadata::text(std::string(utf8, static_cast<std::size_t>(length)));
        PyErr_Clear();  // lone surrogates: try the other kinds, as any other object
    }
    const long long integer = PyLong_AsLongLong(obj);
    if (!(integer == -1 && PyErr_Occurred())) return Metadata::integer(integer);
    PyErr_Clear();
    if (PyFloat_CheckExact(obj)) return Metadata::real(PyFloat_AS_DOUBLE(obj));
    const double real = PyFloat_AsDouble(obj);
    if (!(real == -1.0 && PyErr_Occurred())) return Metadata::real(real);
    PyErr_Clear();
    return std::nullopt;
}

void raise_value_error_text(const std::string& message) {
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

bool build_metadata_record(const std::vector<std::string>& schema, const std::vector<Pair>& pairs,
                           MetadataRecord& out) {
    std::unordered_map<std::string_view, PyObject*> by_name;
    by_name.reserve(pairs.size());
    for (const Pair& pair : pairs) by_name[pair.name] = pair.value.get();
    out.clear();
    out.reserve(schema.size());
    for (const std::string& name : schema) {
        const auto found = by_name.find(name);
        if (found == by_name.end()) {
            raise_value_error_text("Missing metadata for attribute '" + name + "'");
            return false;
        }
        std::optional<Metadata> value = extract_metadata_value(found->second);
        if (!value) {
            raise_value_error_text("Unsupported metadata type for attribute '" + name + "'");
            return false;
        }
        out.push_back(std::move(*value));
    }
    return true;
}

}  // namespace tessra::py
