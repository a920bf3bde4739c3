// A search restriction: an attribute name and a predicate over that attribute's value.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "metadata/metadata.hpp"
#include "metadata/metadata_view.hpp"

namespace tessra {

struct Filter {
    // Called with a view of the stored value, which is not copied.
    using Predicate = std::function<bool(const MetadataView&)>;

    // Compared with the schema by the search, byte for byte; the first equal name wins.
    std::string attribute;
    // Shared, immutable and safe to call from several threads at once.
    std::shared_ptr<const Predicate> predicate;
    // The value an equality filter passes, so a search may look its matches
    // up instead of testing nodes; none for any other predicate.
    std::optional<Metadata> equal_to;

    // Passes exactly the values equal to `value` (Metadata equality: same kind,
    // equal payload). The predicate keeps its own copy of `value`.
    static Filter equals(std::string attribute, Metadata value);

    bool passes(const MetadataView& value) const { return (*predicate)(value); }
};

}  // namespace tessra
