#include "metadata/metadata_view.hpp"

#include <string>

#include "common/fault.hpp"

namespace tessra {

namespace {

void expect_kind(Metadata::Kind kind, Metadata::Kind wanted) {
    if (kind != wanted) TESSRA_FAULT("Metadata value read as a value of another kind");
}

}  // namespace

MetadataView::MetadataView(const Metadata& value) : kind_(value.kind()), integer_(0), real_(0.0) {
    switch (kind_) {
        case Kind::Str: text_ = value.as_text(); break;
        case Kind::Int: integer_ = value.as_int(); break;
        case Kind::Float: real_ = value.as_float(); break;
    }
}

std::string_view MetadataView::as_text() const {
    expect_kind(kind_, Kind::Str);
    return text_;
}

std::int64_t MetadataView::as_int() const {
    expect_kind(kind_, Kind::Int);
    return integer_;
}

double MetadataView::as_float() const {
    expect_kind(kind_, Kind::Float);
    return real_;
}

Metadata MetadataView::to_metadata() const {
    switch (kind_) {
        case Kind::Str: return Metadata::text(std::string(text_));
        case Kind::Int: return Metadata::integer(integer_);
        case Kind::Float: break;
    }
    return Metadata::real(real_);
}

bool operator==(const MetadataView& a, const MetadataView& b) {
    if (a.kind_ != b.kind_) return false;
    switch (a.kind_) {
        case Metadata::Kind::Str: return a.text_ == b.text_;
        case Metadata::Kind::Int: return a.integer_ == b.integer_;
        case Metadata::Kind::Float: return a.real_ == b.real_;
    }
    return false;
}

}  // namespace tessra
