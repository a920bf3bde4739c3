// Conversions from Python values to native ones. Each returns false with the
// Python error set on failure; none keeps a reference to the caller's objects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/vector_list.hpp"
#include "python/ref.hpp"

namespace tessra::py {

// TypeError "'{type}' object cannot be converted to '{target}'".
void raise_conversion_error(PyObject* obj, const char* target);

// After a failed conversion of argument `name`: an exception of exactly type
// TypeError is replaced by TypeError "argument '{name}': {message}"; others
// pass unchanged. Always returns false.
bool label_argument_error(const char* name);

bool to_unsigned(PyObject* obj, std::uint64_t& out);
bool to_double(PyObject* obj, double& out);
bool to_text(PyObject* obj, std::string& out);

// A sequence of numbers, appended to out.
bool to_doubles(PyObject* obj, std::vector<double>& out);
// A sequence of sequences of numbers.
bool to_vector_list(PyObject* obj, VectorList& out);
// The query and k of a search: k is 1 when absent or None. Failures are
// labelled with the argument's name.
bool to_query_and_k(PyObject* query_arg, PyObject* k_arg, std::vector<double>& query, std::uint64_t& k);

// A sequence of str.
bool to_text_list(PyObject* obj, std::vector<std::string>& out);

// A (str, object) tuple: the text is copied, the object held for the call.
struct Pair {
    std::string name;
    Ref value;
};
bool to_pair(PyObject* obj, Pair& out);
bool to_pair_list(PyObject* obj, std::vector<Pair>& out);
bool to_pair_lists(PyObject* obj, std::vector<std::vector<Pair>>& out);

// The ids of a removal: one int (or object with __index__), or a sequence of
// them (a 1-d integer numpy array included). An integer outside 0 to 2**64 - 1
// names no id; the first such one is kept by position and decimal text, so
// the caller can refuse it in request order.
struct IdList {
    std::vector<std::uint64_t> ids;
    std::optional<std::size_t> out_of_range_at;
    std::string out_of_range_text;
};
bool to_id_list(PyObject* obj, IdList& out);

}  // namespace tessra::py
