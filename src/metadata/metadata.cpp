#include "metadata/metadata.hpp"

#include "common/fault.hpp"

namespace tessra {

namespace {

const char* kind_name(Metadata::Kind kind) {
    switch (kind) {
        case Metadata::Kind::Str: return "Str";
        case Metadata::Kind::Int: return "Int";
        case Metadata::Kind::Float: return "Float";
    }
    return "Unknown";
}

void expect_kind(const Metadata& value, Metadata::Kind wanted) {
    if (value.kind() != wanted)
        TESSRA_FAULT(std::string("Metadata value of kind ") + kind_name(value.kind()) + " read as " +
                     kind_name(wanted));
}

}  // namespace

const std::string& Metadata::as_text() const {
    expect_kind(*this, Kind::Str);
    return std::get<0>(payload_);
}

std::int64_t Metadata::as_int() const {
    expect_kind(*this, Kind::Int);
    return std::get<1>(payload_);
}

double Metadata::as_float() const {
    expect_kind(*this, Kind::Float);
    return std::get<2>(payload_);
}

bool operator==(const Metadata& a, const Metadata& b) {
    // std::variant's own == would do, but spelling it out keeps the IEEE rule visible.
    if (a.payload_.index() != b.payload_.index()) return false;
    switch (a.kind()) {
        case Metadata::Kind::Str: return std::get<0>(a.payload_) == std::get<0>(b.payload_);
        case Metadata::Kind::Int: return std::get<1>(a.payload_) == std::get<1>(b.payload_);
        case Metadata::Kind::Float: return std::get<2>(a.payload_) == std::get<2>(b.payload_);
    }
    return false;
}

}  // namespace tessra
