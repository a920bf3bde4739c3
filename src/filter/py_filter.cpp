#include "filter/py_filter.hpp"

#include "metadata/py_metadata.hpp"
#include "python/binding.hpp"

namespace tessra::py {

bool filter_from_pair(const Pair& pair, const Schema& schema, std::optional<Filter>& out) {
    if (!schema) {
        PyErr_SetString(PyExc_ValueError, "No schema provided in HNSW instance; cannot use metadata filtering");
        return false;
    }
    std::optional<Metadata> value = extract_metadata_value(pair.value.get());
    if (!value) {
        PyErr_SetString(PyExc_ValueError, "Unsupported type for metadata filter");
        return false;
    }
    out = Filter::equals(pair.name, std::move(*value));
    return true;
}

bool to_filter(PyObject* arg, const Schema& schema, std::optional<Filter>& out) {
    if (given(arg) == nullptr) return true;
    Pair pair;
    if (!to_pair(arg, pair)) return label_argument_error("filter");
    return filter_from_pair(pair, schema, out);
}

}  // namespace tessra::py
