// Files read and written through their descriptors, with no stdio buffer
// between them and the rows: a read goes straight into a block of rows, a
// write straight from the rows' blocks, many per system call. The system
// calls are the platform's (platform/system.hpp); here they are retried
// after signals and carried on after short transfers.
#pragma once

#include "common/status.hpp"
#include "formats/stream.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace gridvane_core::io {

// A file read through its descriptor. A regular file is read by position,
// over [begin, end) (end -1: to the file's end), so that several threads
// may each read their own stretch of one descriptor; anything else (a
// pipe, a FIFO, a terminal, a device) cannot be read by position and is
// read in order from where it stands, to its end.
class DescriptorSource final : public formats::Source {
public:
    explicit DescriptorSource(int fd, std::int64_t begin = 0, std::int64_t end = -1);
    std::size_t read(void *out, std::size_t size) override;
    bool failed() const override { return failed_; }
    int error() const override { return error_; }
    long long remaining() const override;
    // Whether the source reads by position (a regular file).
    bool positional() const { return size_ >= 0; }
    // Where the next read begins: for a stretch read to its end, short of
    // that end when the file ended first.
    std::int64_t position() const { return at_; }

private:
    int fd_;
    std::int64_t at_, end_;
    std::int64_t size_; // the regular file's size when made, else -1
    bool failed_ = false;
    int error_ = EIO;
};

class DescriptorSink final : public formats::Sink {
public:
    explicit DescriptorSink(int fd) : fd_(fd) {}
    Status write(const void *data, std::size_t size) override;
    Status write_blocks(const void *const *blocks, std::size_t size, std::size_t count) override;
    Status flush() override { return ok_status(); } // nothing is held back

private:
    int fd_;
};

// The size of a regular file, or -1 (anything else, or no answer).
std::int64_t size_of(int fd);

// Closes without disturbing errno.
void close_keeping_errno(int fd);
void close_keeping_errno(std::FILE *stream);

// A standard stream in binary mode for one call (Windows opens them in text
// mode, which would alter binary tables), restored after.
class BinaryMode {
public:
    explicit BinaryMode(std::FILE *stream);
    ~BinaryMode();
    BinaryMode(const BinaryMode &) = delete;
    BinaryMode &operator=(const BinaryMode &) = delete;

private:
    std::FILE *stream_;
    int previous_;
};

} // namespace gridvane_core::io
