// The container of an index file: a header naming the index kind, then
// sections in a fixed order, each framed by its tag and length and closed by a
// CRC-32C. Layout and field meanings: docs/format.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "io/crc32c.hpp"
#include "io/stream.hpp"

namespace tessra::io {

// Files are written in kFormatVersion; every version from kOldestFormatVersion on is read.
constexpr std::uint32_t kFormatVersion = 2;
constexpr std::uint32_t kOldestFormatVersion = 1;
constexpr unsigned char kMagic[8] = {0x89, 'T', 'S', 'R', '\r', '\n', 0x1A, '\n'};
constexpr std::size_t kHeaderSize = 20;          // magic, version, kind, header checksum
constexpr std::size_t kSectionHeaderSize = 16;   // tag, reserved, length
constexpr std::size_t kSectionTrailerSize = 4;   // checksum

// PyHNSW's two graphs are two kinds of file.
enum class IndexKind : std::uint32_t { Flat = 1, HNSW = 2, PrunedHNSW = 3 };
// The class name users see: "PyFlat", "PyHNSW" (for both graphs).
const char* index_kind_name(IndexKind kind);

enum class Section : std::uint32_t {
    Parameters = 1,
    Schema = 2,
    Vectors = 3,
    Levels = 4,
    Runs = 5,
    Records = 6,
    Generator = 7,
    Removed = 8,
    Lists = 9,
};
const char* section_name(Section section);  // "parameters", "runs", ...

// The framed size of a section with `payload` bytes.
constexpr std::uint64_t framed_size(std::uint64_t payload) {
    return kSectionHeaderSize + payload + kSectionTrailerSize;
}

constexpr bool kLittleEndianHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Unsigned integers and doubles as little-endian bytes.
template <typename T>
void encode_le(T value, unsigned char* out) {
    static_assert(std::is_trivially_copyable_v<T>);
    unsigned char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = raw[kLittleEndianHost ? i : sizeof(T) - 1 - i];
}

template <typename T>
T decode_le(const unsigned char* in) {
    unsigned char raw[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i) raw[kLittleEndianHost ? i : sizeof(T) - 1 - i] = in[i];
    T value;
    std::memcpy(&value, raw, sizeof(T));
    return value;
}

// Writes the header at construction, then one section at a time: begin() with
// the payload length, the payload through put*(), end(). Writing more or less
// than the declared length is an internal fault.
class IndexWriter {
public:
    IndexWriter(Sink& sink, IndexKind kind);

    void begin(Section section, std::uint64_t length);
    void put(const void* data, std::size_t size);
    template <typename T>
    void put_value(T value) {
        unsigned char bytes[sizeof(T)];
        encode_le(value, bytes);
        put(bytes, sizeof(T));
    }
    template <typename T>
    void put_array(const T* values, std::size_t count) {
        if constexpr (kLittleEndianHost || sizeof(T) == 1) {
            put(values, count * sizeof(T));
        } else {
            for (std::size_t i = 0; i < count; ++i) put_value(values[i]);
        }
    }
    void end();

private:
    Sink& sink_;
    Section section_ = Section::Parameters;
    std::uint64_t left_ = 0;
    std::uint32_t crc_ = 0;
    bool open_ = false;
};

// Reads and checks the header at construction (FormatError with the message
// users see: a version it does not read, a kind of index `wanted` does not
// name), then sections in the order the caller expects. Nothing read
// from the file is allocated for before its size is checked against the
// bytes that remain. A content check that fails calls fail(), which reads to
// the end of the section first: a damaged section reports its checksum
// mismatch, a well-formed but invalid one the content error.
class IndexReader {
public:
    // `wanted`: the class whose load() reads the file ("PyFlat", "PyHNSW").
    IndexReader(Source& source, const char* wanted);

    std::uint32_t version() const { return version_; }
    IndexKind kind() const { return kind_; }

    // Reads a section's frame; the section must come next and fit in the file.
    void begin(Section section);
    // Payload bytes of the current section not yet read.
    std::uint64_t left() const { return left_; }
    void get(void* data, std::size_t size);
    template <typename T>
    T get_value() {
        unsigned char bytes[sizeof(T)];
        get(bytes, sizeof(T));
        return decode_le<T>(bytes);
    }
    template <typename T>
    void get_array(T* values, std::size_t count) {
        if (count > left_ / sizeof(T)) fail("data runs past the end of the section");
        if constexpr (kLittleEndianHost || sizeof(T) == 1) {
            get(values, count * sizeof(T));
        } else {
            for (std::size_t i = 0; i < count; ++i) values[i] = get_value<T>();
        }
    }
    // Checks the payload was read in full and its checksum.
    void end();
    // Checks nothing follows the last section.
    void finish();
    // Refuses the file: "Corrupted index file: checksum mismatch in section
    // 'name'" when the rest of the section does not match its checksum, else
    // "Corrupted index file: <message> (section 'name')".
    [[noreturn]] void fail(const std::string& message);

private:
    void read(void* data, std::size_t size);
    std::uint32_t read_checksum();
    [[noreturn]] void checksum_mismatch();

    Source& source_;
    std::uint32_t version_ = 0;
    IndexKind kind_ = IndexKind::Flat;
    std::uint64_t position_ = 0;
    Section section_ = Section::Parameters;
    std::uint64_t left_ = 0;
    std::uint32_t crc_ = 0;
};

}  // namespace tessra::io
