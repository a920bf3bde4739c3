#include "python/numeric_buffer.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tessra::py {
namespace {

using Kind = NumericBuffer::Kind;

Kind integer_kind(bool is_signed, Py_ssize_t size) {
    switch (size) {
        case 1: return is_signed ? Kind::I8 : Kind::U8;
        case 2: return is_signed ? Kind::I16 : Kind::U16;
        case 4: return is_signed ? Kind::I32 : Kind::U32;
        case 8: return is_signed ? Kind::I64 : Kind::U64;
        default: return Kind::None;
    }
}

bool little_endian_host() {
    const std::uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

Kind element_kind(const Py_buffer& view) {
    const char* f = view.format != nullptr ? view.format : "B";
    if (*f == '@' || *f == '=' || (*f == '<' && little_endian_host())) ++f;
    if (f[0] == '\0' || f[1] != '\0') return Kind::None;
    const Py_ssize_t size = view.itemsize;
    switch (f[0]) {
        case 'd': return size == 8 ? Kind::F64 : Kind::None;
        case 'f': return size == 4 ? Kind::F32 : Kind::None;
        case '?': return size == 1 ? Kind::Bool : Kind::None;
        case 'b': case 'h': case 'i': case 'l': case 'q': return integer_kind(true, size);
        case 'B': case 'H': case 'I': case 'L': case 'Q': return integer_kind(false, size);
        default: return Kind::None;
    }
}

template <typename T>
void append_strided(const char* p, std::size_t n, Py_ssize_t stride, std::vector<double>& out) {
    for (std::size_t i = 0; i < n; ++i, p += stride) {
        T value;
        std::memcpy(&value, p, sizeof value);
        out.push_back(static_cast<double>(value));
    }
}

}  // namespace

NumericBuffer::NumericBuffer(PyObject* obj, int ndim) {
    if (std::strcmp(Py_TYPE(obj)->tp_name, "numpy.ndarray") != 0) return;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return;
    }
    held_ = true;
    if (view_.ndim != ndim || view_.suboffsets != nullptr) return;
    kind_ = element_kind(view_);
}

NumericBuffer::~NumericBuffer() {
    if (held_) PyBuffer_Release(&view_);
}

void NumericBuffer::append_row(std::size_t row, std::vector<double>& out) const {
    const std::size_t n = columns();
    const Py_ssize_t stride = view_.strides[view_.ndim - 1];
    const char* p = static_cast<const char*>(view_.buf);
    if (view_.ndim == 2) p += static_cast<Py_ssize_t>(row) * view_.strides[0];
    const std::size_t needed = out.size() + n;  // grows geometrically: `out` may hold many rows
    if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
    if (kind_ == Kind::F64 && stride == sizeof(double)) {
        const std::size_t at = out.size();
        out.resize(at + n);
        if (n != 0) std::memcpy(out.data() + at, p, n * sizeof(double));
        return;
    }
    switch (kind_) {
        case Kind::F64: append_strided<double>(p, n, stride, out); break;
        case Kind::F32: append_strided<float>(p, n, stride, out); break;
        case Kind::Bool:
            for (std::size_t i = 0; i < n; ++i, p += stride) out.push_back(*p != 0 ? 1.0 : 0.0);
            break;
        case Kind::I8: append_strided<std::int8_t>(p, n, stride, out); break;
        case Kind::U8: append_strided<std::uint8_t>(p, n, stride, out); break;
        case Kind::I16: append_strided<std::int16_t>(p, n, stride, out); break;
        case Kind::U16: append_strided<std::uint16_t>(p, n, stride, out); break;
        case Kind::I32: append_strided<std::int32_t>(p, n, stride, out); break;
        case Kind::U32: append_strided<std::uint32_t>(p, n, stride, out); break;
        case Kind::I64: append_strided<std::int64_t>(p, n, stride, out); break;
        case Kind::U64: append_strided<std::uint64_t>(p, n, stride, out); break;
        case Kind::None: break;
    }
}

}  // namespace tessra::py
