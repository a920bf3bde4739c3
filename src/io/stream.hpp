// Where index files are written to and read from: a file descriptor or a
// block of memory (pickling). Failures are exceptions, so the format code
// reads straight through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessra::io {

// A file that is not a valid index file; the message says why.
struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A failed system call; `error_number` is its errno.
struct SystemError : std::runtime_error {
    SystemError(int error_number, const std::string& what) : std::runtime_error(what), error_number(error_number) {}
    int error_number;
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(const void* data, std::size_t size) = 0;
};

class Source {
public:
    virtual ~Source() = default;
    // Total bytes, known before anything is read, so every declared size can be checked against it.
    virtual std::uint64_t size() const = 0;
    // Exactly `size` bytes, or FormatError when the data ends first (a file shrinking underfoot).
    virtual void read(void* data, std::size_t size) = 0;
};

// Buffered writes to an open descriptor (not owned); flush() before closing.
class FdSink : public Sink {
public:
    // Blocks this large skip the buffer.
    static constexpr std::size_t kDirect = 64 * 1024;
    explicit FdSink(int fd) : fd_(fd) { buffer_.reserve(kBuffer); }
    void write(const void* data, std::size_t size) override;
    void flush();

private:
    static constexpr std::size_t kBuffer = 1 << 20;
    void write_all(const char* data, std::size_t size);
    int fd_;
    std::vector<char> buffer_;
};

// Buffered reads from an open descriptor (not owned), its size taken at construction.
class FdSource : public Source {
public:
    static constexpr std::size_t kDirect = 64 * 1024;
    explicit FdSource(int fd);
    std::uint64_t size() const override { return size_; }
    void read(void* data, std::size_t size) override;

private:
    static constexpr std::size_t kBuffer = 1 << 20;
    std::size_t read_some(char* data, std::size_t size);
    int fd_;
    std::uint64_t size_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0, end_ = 0;  // unread bytes of buffer_
};

// Writes into a caller's block of exactly the planned size; overrunning it is an internal fault.
class MemorySink : public Sink {
public:
    MemorySink(char* data, std::size_t capacity) : data_(data), capacity_(capacity) {}
    void write(const void* data, std::size_t size) override;
    std::size_t written() const { return used_; }

private:
    char* data_;
    std::size_t capacity_;
    std::size_t used_ = 0;
};

class MemorySource : public Source {
public:
    MemorySource(const void* data, std::size_t size) : data_(static_cast<const char*>(data)), size_(size) {}
    std::uint64_t size() const override { return size_; }
    void read(void* data, std::size_t size) override;

private:
    const char* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

}  // namespace tessra::io
