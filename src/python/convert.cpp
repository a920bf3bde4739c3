#include "python/convert.hpp"

#include <algorithm>
#include <cstring>

#include "python/fault.hpp"
#include "python/numeric_buffer.hpp"

namespace tessra::py {
namespace {

// A size hint from a lying __len__ must not turn into a huge reservation.
constexpr Py_ssize_t kMaxReserve = 1 << 16;

// Room for `more` elements without giving up geometric growth: `out` may be a
// buffer shared by many vectors, and exact reservations would copy it each time.
void reserve_more(std::vector<double>& out, std::size_t more) {
    const std::size_t needed = out.size() + more;
    if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
}

std::size_t size_hint(PyObject* obj) {
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(std::min(n, kMaxReserve));
}

// Refuses str and non-sequences, then hands every item (a strong reference,
// so user code run by the conversion cannot free it) to `convert`.
template <typename Reserve, typename Convert>
bool for_each_item(PyObject* obj, Reserve&& reserve, Convert&& convert) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_conversion_error(obj, "Sequence");
        return false;
    }
    reserve(size_hint(obj));
    if (PyList_CheckExact(obj)) {
        // The list may shrink or grow under user code; re-read its size each step.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
            if (!convert(item.get())) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
            Ref item = Ref::borrow(PyTuple_GET_ITEM(obj, i));
            if (!convert(item.get())) return false;
        }
        return true;
    }
    Ref iterator(PyObject_GetIter(obj));
    if (!iterator) return false;
    while (true) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item) return !PyErr_Occurred();
        if (!convert(item.get())) return false;
    }
}

const auto no_reserve = [](std::size_t) {};

}  // namespace

void raise_conversion_error(PyObject* obj, const char* target) {
    Ref name(PyType_GetQualName(Py_TYPE(obj)));
    if (name) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
    } else {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object cannot be converted to '%s'",
                     target);
    }
}

bool label_argument_error(const char* name) {
    resume_if_internal_fault();
    if (!PyErr_Occurred()) return false;
    PendingError error;
    if (error.type() != PyExc_TypeError || error.value() == nullptr) {
        error.restore();
        return false;
    }
    Ref message(PyObject_Str(error.value()));
    if (!message) return false;
    Ref labelled(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
    if (!labelled) return false;
    Ref replacement(PyObject_CallOneArg(PyExc_TypeError, labelled.get()));
    if (!replacement) return false;
    if (PyObject* cause = PyException_GetCause(error.value())) PyException_SetCause(replacement.get(), cause);
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    return false;
}

bool to_unsigned(PyObject* obj, std::uint64_t& out) {
    Ref index;
    if (!PyLong_Check(obj)) {
        index = Ref(PyNumber_Index(obj));
        if (!index) return false;
        obj = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_text(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        raise_conversion_error(obj, "PyString");
        return false;
    }
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &length);
    if (utf8 == nullptr) return false;
    out.assign(utf8, static_cast<std::size_t>(length));
    return true;
}

bool to_doubles(PyObject* obj, std::vector<double>& out) {
    if (NumericBuffer buffer(obj, 1); buffer.ok()) {
        buffer.append_row(0, out);
        return true;
    }
    const auto reserve = [&](std::size_t hint) { reserve_more(out, hint); };
    return for_each_item(obj, reserve, [&](PyObject* item) {
        double value;
        if (!to_double(item, value)) return false;
        out.push_back(value);
        return true;
    });
}

bool to_vector_list(PyObject* obj, VectorList& out) {
    if (NumericBuffer buffer(obj, 2); buffer.ok()) {
        out.reserve(buffer.rows(), buffer.rows() * buffer.columns());
        for (std::size_t row = 0; row < buffer.rows(); ++row) {
            buffer.append_row(row, out.values());
            out.end_vector();
        }
        return true;
    }
    return for_each_item(obj, no_reserve, [&](PyObject* item) {
        if (!to_doubles(item, out.values())) return false;
        out.end_vector();
        return true;
    });
}

bool to_query_and_k(PyObject* query_arg, PyObject* k_arg, std::vector<double>& query, std::uint64_t& k) {
    if (!to_doubles(query_arg, query)) return label_argument_error("query");
    k = 1;
    if (k_arg != Py_None && k_arg != nullptr && !to_unsigned(k_arg, k)) return label_argument_error("k");
    return true;
}

namespace {

bool append_id(PyObject* item, IdList& out) {
    Ref index(PyNumber_Index(item));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        if (!out.out_of_range_at) {
            Ref text(PyObject_Str(index.get()));
            const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
            if (utf8 == nullptr) return false;
            out.out_of_range_at = out.ids.size();
            out.out_of_range_text = utf8;
        }
        out.ids.push_back(UINT64_MAX);
        return true;
    }
    out.ids.push_back(value);
    return true;
}

}  // namespace

bool to_id_list(PyObject* obj, IdList& out) {
    if (PyIndex_Check(obj) && !PySequence_Check(obj)) return append_id(obj, out);
    return for_each_item(obj, [&](std::size_t size) { out.ids.reserve(size); },
                         [&](PyObject* item) { return append_id(item, out); });
}

bool to_text_list(PyObject* obj, std::vector<std::string>& out) {
    return for_each_item(obj, no_reserve, [&](PyObject* item) {
        std::string text;
        if (!to_text(item, text)) return false;
        out.push_back(std::move(text));
        return true;
    });
}

bool to_pair(PyObject* obj, Pair& out) {
    if (!PyTuple_Check(obj)) {
        raise_conversion_error(obj, "PyTuple");
        return false;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(obj);
    if (size != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", size);
        return false;
    }
    if (!to_text(PyTuple_GET_ITEM(obj, 0), out.name)) return false;
    out.value = Ref::borrow(PyTuple_GET_ITEM(obj, 1));
    return true;
}

bool to_pair_list(PyObject* obj, std::vector<Pair>& out) {
    return for_each_item(obj, no_reserve, [&](PyObject* item) {
        Pair pair;
        if (!to_pair(item, pair)) return false;
        out.push_back(std::move(pair));
        return true;
    });
}

bool to_pair_lists(PyObject* obj, std::vector<std::vector<Pair>>& out) {
    return for_each_item(obj, no_reserve, [&](PyObject* item) {
        std::vector<Pair> pairs;
        if (!to_pair_list(item, pairs)) return false;
        out.push_back(std::move(pairs));
        return true;
    });
}

}  // namespace tessra::py
