// What loading and saving need from the operating system beyond stdio:
// binary mode on the standard streams, and replacing a file only once its
// new contents are complete.
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

// The stream a save writes to. A regular file (or a name not yet taken) is
// written to a temporary file in the same folder and renamed over the target
// on success; anything else (a device, a pipe, a link) is written in place.
class SaveTarget {
public:
    SaveTarget() = default;
    SaveTarget(const SaveTarget &) = delete;
    SaveTarget &operator=(const SaveTarget &) = delete;
    ~SaveTarget();

    // False with errno set when neither the temporary file nor the target
    // could be opened.
    bool open(const char *name);
    std::FILE *stream() const { return stream_; }
    // Whether the stream is a temporary file of our own (not the target).
    bool replacing() const { return temporary_ != nullptr; }
    // Closes the stream and, when written is true, puts the new contents in
    // place. False with errno set when closing or renaming failed; on any
    // failure a temporary file is removed and the target is untouched.
    bool finish(bool written);

private:
    void discard_temporary();

    std::FILE *stream_ = nullptr;
    const char *name_ = nullptr;
    char *temporary_ = nullptr; // heap block, null when writing in place
};

// Closes a stream without disturbing errno.
void close_keeping_errno(std::FILE *stream);

} // namespace gridvane::io
