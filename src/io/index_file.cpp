#include "io/index_file.hpp"

#include <algorithm>

#include "common/fault.hpp"

namespace tessra::io {

const char* index_kind_name(IndexKind kind) {
    switch (kind) {
        case IndexKind::Flat: return "PyFlat";
        case IndexKind::HNSW:
        case IndexKind::PrunedHNSW: return "PyHNSW";
    }
    return "unknown";
}

const char* section_name(Section section) {
    switch (section) {
        case Section::Parameters: return "parameters";
        case Section::Schema: return "schema";
        case Section::Vectors: return "vectors";
        case Section::Levels: return "levels";
        case Section::Runs: return "runs";
        case Section::Records: return "records";
        case Section::Generator: return "generator";
        case Section::Removed: return "removed";
        case Section::Lists: return "lists";
    }
    return "unknown";
}

// ---------------------------------------------------------------- writing

IndexWriter::IndexWriter(Sink& sink, IndexKind kind) : sink_(sink) {
    unsigned char header[kHeaderSize];
    std::memcpy(header, kMagic, sizeof(kMagic));
    encode_le(kFormatVersion, header + 8);
    encode_le(static_cast<std::uint32_t>(kind), header + 12);
    encode_le(crc32c_extend(0, header, 16), header + 16);
    sink_.write(header, kHeaderSize);
}

void IndexWriter::begin(Section section, std::uint64_t length) {
    if (open_) TESSRA_FAULT("Index file section begun inside another");
    unsigned char frame[kSectionHeaderSize];
    encode_le(static_cast<std::uint32_t>(section), frame);
    encode_le(std::uint32_t{0}, frame + 4);
    encode_le(length, frame + 8);
    crc_ = crc32c_extend(0, frame, sizeof(frame));
    sink_.write(frame, sizeof(frame));
    section_ = section;
    left_ = length;
    open_ = true;
}

// Large blocks go in pieces that stay in cache between the checksum and the copy.
constexpr std::size_t kPiece = 256 * 1024;

void IndexWriter::put(const void* data, std::size_t size) {
    if (!open_ || size > left_)
        TESSRA_FAULT(std::string("Index file section '") + section_name(section_) + "' written past its length");
    const char* bytes = static_cast<const char*>(data);
    for (std::size_t done = 0; done < size;) {
        const std::size_t n = std::min(kPiece, size - done);
        crc_ = crc32c_extend(crc_, bytes + done, n);
        sink_.write(bytes + done, n);
        done += n;
    }
    left_ -= size;
}

void IndexWriter::end() {
    if (!open_ || left_ != 0)
        TESSRA_FAULT(std::string("Index file section '") + section_name(section_) + "' written short");
    unsigned char trailer[kSectionTrailerSize];
    encode_le(crc_, trailer);
    sink_.write(trailer, sizeof(trailer));
    open_ = false;
}

// ---------------------------------------------------------------- reading

IndexReader::IndexReader(Source& source, const char* wanted) : source_(source) {
    unsigned char header[kHeaderSize];
    if (source_.size() < sizeof(kMagic)) throw FormatError("Not a tessra index file");
    read(header, sizeof(kMagic));
    if (std::memcmp(header, kMagic, sizeof(kMagic)) != 0) throw FormatError("Not a tessra index file");
    if (source_.size() < kHeaderSize) throw FormatError("Truncated index file: the header is incomplete");
    read(header + 8, kHeaderSize - 8);
    version_ = decode_le<std::uint32_t>(header + 8);
    if (version_ < kOldestFormatVersion || version_ > kFormatVersion)
        throw FormatError("Unsupported index file version " + std::to_string(version_) + " (this build reads " +
                          std::to_string(kOldestFormatVersion) + " to " + std::to_string(kFormatVersion) + ")");
    if (crc32c_extend(0, header, 16) != decode_le<std::uint32_t>(header + 16))
        throw FormatError("Corrupted index file: checksum mismatch in section 'header'");
    const auto kind = decode_le<std::uint32_t>(header + 12);
    // The pruned graph came with version 2.
    const std::uint32_t kinds = version_ >= 2 ? 3 : 2;
    if (kind < 1 || kind > kinds) throw FormatError("Corrupted index file: unknown index kind " + std::to_string(kind));
    kind_ = static_cast<IndexKind>(kind);
    if (std::string(index_kind_name(kind_)) != wanted)
        throw FormatError(std::string("File holds a ") + index_kind_name(kind_) + " index, not a " + wanted +
                          " index");
}

void IndexReader::read(void* data, std::size_t size) {
    source_.read(data, size);
    position_ += size;
}

void IndexReader::begin(Section section) {
    section_ = section;
    const std::string name = section_name(section);
    if (source_.size() - position_ < kSectionHeaderSize)
        throw FormatError("Truncated index file: section '" + name + "' is missing");
    unsigned char frame[kSectionHeaderSize];
    read(frame, sizeof(frame));
    crc_ = crc32c_extend(0, frame, sizeof(frame));
    const auto tag = decode_le<std::uint32_t>(frame);
    const auto reserved = decode_le<std::uint32_t>(frame + 4);
    const auto length = decode_le<std::uint64_t>(frame + 8);
    if (length > source_.size() - position_ || source_.size() - position_ - length < kSectionTrailerSize)
        throw FormatError("Truncated index file: section '" + name + "' ends past the end of the file");
    left_ = length;
    if (tag != static_cast<std::uint32_t>(section))
        fail("expected this section, found tag " + std::to_string(tag));
    if (reserved != 0) fail("reserved field is " + std::to_string(reserved));
}

void IndexReader::get(void* data, std::size_t size) {
    if (size > left_) fail("data runs past the end of the section");
    char* bytes = static_cast<char*>(data);
    for (std::size_t done = 0; done < size;) {
        const std::size_t n = std::min(kPiece, size - done);
        read(bytes + done, n);
        crc_ = crc32c_extend(crc_, bytes + done, n);
        done += n;
    }
    left_ -= size;
}

std::uint32_t IndexReader::read_checksum() {
    unsigned char trailer[kSectionTrailerSize];
    read(trailer, sizeof(trailer));
    return decode_le<std::uint32_t>(trailer);
}

void IndexReader::checksum_mismatch() {
    throw FormatError(std::string("Corrupted index file: checksum mismatch in section '") + section_name(section_) +
                      "'");
}

void IndexReader::end() {
    if (left_ != 0) fail(std::to_string(left_) + " bytes left unread");
    if (read_checksum() != crc_) checksum_mismatch();
}

void IndexReader::fail(const std::string& message) {
    // begin() checked the whole section and its checksum fit in the file.
    unsigned char chunk[1 << 14];
    while (left_ > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left_, sizeof(chunk)));
        read(chunk, n);
        crc_ = crc32c_extend(crc_, chunk, n);
        left_ -= n;
    }
    if (read_checksum() != crc_) checksum_mismatch();
    throw FormatError("Corrupted index file: " + message + " (section '" + section_name(section_) + "')");
}

void IndexReader::finish() {
    if (position_ != source_.size()) throw FormatError("Corrupted index file: unexpected data after the last section");
}

}  // namespace tessra::io
