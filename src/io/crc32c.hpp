// CRC-32C (Castagnoli polynomial, reflected, as used by iSCSI and ext4): the
// checksum of every section of an index file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessra::io {

// Extends a running checksum by `size` bytes: crc32c_extend(0, data, n) is the
// CRC-32C of the n bytes, and extending in pieces gives the same value as one
// call over the whole. Uses the processor's crc32 instruction when present.
std::uint32_t crc32c_extend(std::uint32_t crc, const void* data, std::size_t size);

// The table-driven version (slicing by 8) every processor can run; the
// hardware path must agree with it on every input.
std::uint32_t crc32c_extend_portable(std::uint32_t crc, const void* data, std::size_t size);

// True when crc32c_extend uses the crc32 instruction.
bool crc32c_uses_hardware();

}  // namespace tessra::io
