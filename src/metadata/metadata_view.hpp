// A read-only look at one metadata value where it is stored, without a copy:
// what filters test. Equality is Metadata's: same kind and equal payload.
#pragma once

#include <cstdint>
#include <string_view>

#include "metadata/metadata.hpp"

namespace tessra {

class MetadataView {
public:
    using Kind = Metadata::Kind;

    static MetadataView text(std::string_view value) { return MetadataView(Kind::Str, 0, 0.0, value); }
    static MetadataView integer(std::int64_t value) { return MetadataView(Kind::Int, value, 0.0, {}); }
    static MetadataView real(double value) { return MetadataView(Kind::Float, 0, value, {}); }
    // A view of `value`, which must outlive it.
    MetadataView(const Metadata& value);  // NOLINT: implicit, so a stored value and a view compare alike

    Kind kind() const { return kind_; }
    // Each accessor is an internal fault when the value is of another kind.
    std::string_view as_text() const;
    std::int64_t as_int() const;
    double as_float() const;
    // An owned copy.
    Metadata to_metadata() const;

    // Integers as integers, doubles by IEEE equality (NaN equals nothing,
    // 0.0 equals -0.0), text byte for byte; values of different kinds differ.
    friend bool operator==(const MetadataView& a, const MetadataView& b);
    friend bool operator!=(const MetadataView& a, const MetadataView& b) { return !(a == b); }

private:
    MetadataView(Kind kind, std::int64_t integer, double real, std::string_view text)
        : kind_(kind), integer_(integer), real_(real), text_(text) {}

    Kind kind_;
    std::int64_t integer_;
    double real_;
    std::string_view text_;
};

}  // namespace tessra
