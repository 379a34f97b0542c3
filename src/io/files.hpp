// Files read and written through their descriptors, with no stdio buffer
// between them and the rows: a read goes straight into a block of rows, a
// write straight from the rows' blocks, many per system call. POSIX only;
// Windows reads and writes through stdio.
#pragma once

#include "formats/stream.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>

#if !defined(_WIN32)

namespace gridvane::io {

class DescriptorSource final : public formats::Source {
public:
    explicit DescriptorSource(int fd) : fd_(fd) {}
    std::size_t read(void *out, std::size_t size) override;
    bool failed() const override { return failed_; }
    int error() const override { return error_; }
    long long remaining() const override;

private:
    int fd_;
    bool failed_ = false;
    int error_ = EIO;
};

class DescriptorSink final : public formats::Sink {
public:
    explicit DescriptorSink(int fd) : fd_(fd) {}
    bool write(const void *data, std::size_t size) override;
    bool write_blocks(const void *const *blocks, std::size_t size, std::size_t count) override;
    bool flush() override { return true; } // nothing is held back

private:
    int fd_;
};

} // namespace gridvane::io

#endif

namespace gridvane::io {

// A stretch [begin, end) of a file read by position (end -1: to the end of
// the file), so that several threads may each read their own stretch of
// one descriptor.
class RangeSource final : public formats::Source {
public:
    RangeSource(int fd, std::int64_t begin, std::int64_t end) : fd_(fd), at_(begin), end_(end) {}
    std::size_t read(void *out, std::size_t size) override;
    bool failed() const override { return failed_; }
    int error() const override { return error_; }
    long long remaining() const override;

private:
    int fd_;
    std::int64_t at_, end_;
    bool failed_ = false;
    int error_ = EIO;
};

} // namespace gridvane::io

