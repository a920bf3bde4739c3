// Python values to metadata: one value (text, then integer, then float) and
// whole records in schema order.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "metadata/metadata.hpp"
#include "python/convert.hpp"

namespace tessra::py {

// The value as Str, Int or Float, trying those in that order; nullopt when the
// object is none of them. Never leaves a Python error set.
std::optional<Metadata> extract_metadata_value(PyObject* obj);

// One value per schema name, in schema order; the last pair for a name wins and
// pairs naming no schema attribute are ignored. On failure sets ValueError
// "Missing metadata for attribute '{name}'" or "Unsupported metadata type for
// attribute '{name}'" for the first failing schema entry and returns false.
bool build_metadata_record(const std::vector<std::string>& schema, const std::vector<Pair>& pairs,
                           MetadataRecord& out);

// Sets ValueError with a message that may hold any UTF-8 (NUL bytes included).
void raise_value_error_text(const std::string& message);

}  // namespace tessra::py
