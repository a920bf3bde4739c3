#include "filter/filter.hpp"

namespace tessra {

Filter Filter::equals(std::string attribute, Metadata value) {
    auto predicate = std::make_shared<const Predicate>(
        [wanted = value](const MetadataView& stored) { return stored == MetadataView(wanted); });
    return Filter{std::move(attribute), std::move(predicate), std::move(value)};
}

}  // namespace tessra
