// What loading and saving need from the operating system beyond stdio:
// binary mode on the standard streams, and closing without losing errno.
// Replacing a file safely lives in replace.hpp.
#pragma once

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

} // namespace gridvane::io
