// What loading and saving need from the operating system beyond stdio:
// binary mode on the standard streams, and closing without losing errno.
// Replacing a file safely lives in replace.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace gridvane::io {

// Puts a standard stream into binary mode for one call (Windows opens them
// in text mode, which would alter binary tables) and restores it after.
class BinaryMode {
public:
    explicit BinaryMode(std::FILE *stream);
    ~BinaryMode();
    BinaryMode(const BinaryMode &) = delete;
    BinaryMode &operator=(const BinaryMode &) = delete;

private:
    [[maybe_unused]] std::FILE *stream_; // unused where streams have no text mode
    [[maybe_unused]] int previous_;
};

// Closes a stream without disturbing errno.
void close_keeping_errno(std::FILE *stream);

// Files read by position, so that several threads read one file at once: a
// descriptor opened for reading (or -1 with errno); size bytes at offset,
// retrying after signals and short reads (the count read, less only at the
// end of the file, or -1 with errno); the size of a regular file (-1 for
// anything else); and closing it without disturbing errno.
int open_for_reading(const char *name);
std::int64_t read_at(int fd, void *out, std::size_t size, std::int64_t offset);
std::int64_t size_of(int fd);
void close_keeping_errno(int fd);

} // namespace gridvane::io
