#include "io/stream.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/fault.hpp"

namespace tessra::io {

void FdSink::write(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    if (size >= kDirect) {
        // Large blocks (the vector store) go to the file directly, without a copy.
        flush();
        write_all(bytes, size);
        return;
    }
    if (buffer_.size() + size > kBuffer) flush();
    buffer_.insert(buffer_.end(), bytes, bytes + size);
}

void FdSink::flush() {
    write_all(buffer_.data(), buffer_.size());
    buffer_.clear();
}

void FdSink::write_all(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, std::min<std::size_t>(size, std::size_t{1} << 30));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw SystemError(errno, "write");
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

FdSource::FdSource(int fd) : fd_(fd) {
    struct stat info;
    if (::fstat(fd, &info) != 0) throw SystemError(errno, "fstat");
    if (S_ISDIR(info.st_mode)) throw SystemError(EISDIR, "open");
    size_ = S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
    buffer_.resize(kBuffer);
}

std::size_t FdSource::read_some(char* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd_, data, std::min<std::size_t>(size, std::size_t{1} << 30));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) throw SystemError(errno, "read");
    }
}

void FdSource::read(void* data, std::size_t size) {
    char* out = static_cast<char*>(data);
    const std::size_t buffered = std::min(size, end_ - begin_);
    std::memcpy(out, buffer_.data() + begin_, buffered);
    begin_ += buffered;
    out += buffered;
    size -= buffered;
    while (size > 0) {
        if (size >= kDirect) {
            // Large blocks are read straight into place.
            const std::size_t n = read_some(out, size);
            if (n == 0) throw FormatError("Truncated index file: the file ended while it was read");
            out += n;
            size -= n;
            continue;
        }
        begin_ = 0;
        end_ = read_some(buffer_.data(), kBuffer);
        if (end_ == 0) throw FormatError("Truncated index file: the file ended while it was read");
        const std::size_t n = std::min(size, end_);
        std::memcpy(out, buffer_.data(), n);
        begin_ = n;
        out += n;
        size -= n;
    }
}

void MemorySink::write(const void* data, std::size_t size) {
    if (size > capacity_ - used_) TESSRA_FAULT("Index serialization ran past its planned size");
    if (size > 0) std::memcpy(data_ + used_, data, size);
    used_ += size;
}

void MemorySource::read(void* data, std::size_t size) {
    if (size > size_ - position_) throw FormatError("Truncated index file: the data ended while it was read");
    if (size > 0) std::memcpy(data, data_ + position_, size);
    position_ += size;
}

}  // namespace tessra::io
