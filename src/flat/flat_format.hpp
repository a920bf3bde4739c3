// PyFlat files (docs/format.md): parameters, vectors and, from version 2,
// the removed ids. Readers check everything a file declares before
// allocating for it and throw io::FormatError (bad data) or io::SystemError.
#pragma once

#include <cstdint>

#include "flat/flat.hpp"
#include "io/stream.hpp"

namespace tessra::io {

// Bytes write_flat produces, so a memory block can be sized first.
std::uint64_t flat_file_size(const Flat& flat);
void write_flat(const Flat& flat, Sink& sink);
Flat read_flat(Source& source);

}  // namespace tessra::io
