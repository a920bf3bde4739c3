// Conversions from Python values to native ones. Each returns false with the
// Python error set on failure; none keeps a reference to the caller's objects.
#pragma once

#include <cstdint>
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

}  // namespace tessra::py
