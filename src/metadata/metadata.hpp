// Typed metadata values, the records built from them, and the schema naming them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tessra {

// One metadata value: text (owned UTF-8 bytes), a signed 64-bit integer or a double.
class Metadata {
public:
    enum class Kind { Str, Int, Float };

    static Metadata text(std::string value) { return Metadata(Payload(std::in_place_index<0>, std::move(value))); }
    static Metadata integer(std::int64_t value) { return Metadata(Payload(std::in_place_index<1>, value)); }
    static Metadata real(double value) { return Metadata(Payload(std::in_place_index<2>, value)); }

    Kind kind() const { return static_cast<Kind>(payload_.index()); }
    // Each accessor is an internal fault when the value is of another kind.
    const std::string& as_text() const;
    std::int64_t as_int() const;
    double as_float() const;

    // Same kind and equal payload: integers as integers, doubles by IEEE
    // equality (NaN equals nothing, 0.0 equals -0.0), text byte for byte.
    // Values of different kinds are never equal, so Int 1 != Float 1.0.
    friend bool operator==(const Metadata& a, const Metadata& b);
    friend bool operator!=(const Metadata& a, const Metadata& b) { return !(a == b); }

private:
    // Alternatives in Kind order, so index() is the kind.
    using Payload = std::variant<std::string, std::int64_t, double>;
    explicit Metadata(Payload payload) : payload_(std::move(payload)) {}

    Payload payload_;
};

// One value per schema attribute, in schema order.
using MetadataRecord = std::vector<Metadata>;

// Attribute names of an index, unvalidated (may be empty or repeat a name);
// absent when the index takes no metadata.
using Schema = std::optional<std::vector<std::string>>;

}  // namespace tessra
