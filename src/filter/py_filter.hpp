// A search filter from the Python pair (attribute, value).
#pragma once

#include <optional>

#include "filter/filter.hpp"
#include "metadata/metadata.hpp"
#include "python/convert.hpp"

namespace tessra::py {

// Refuses a filter on an index without a schema and a value that is not text,
// integer or float (ValueError); otherwise an equality filter. The attribute is
// resolved against the schema by the search itself.
bool filter_from_pair(const Pair& pair, const Schema& schema, std::optional<Filter>& out);

// The `filter` argument of a search: nothing when absent or None, else the
// pair converted (failures labelled with the argument's name) and checked.
bool to_filter(PyObject* arg, const Schema& schema, std::optional<Filter>& out);

}  // namespace tessra::py
