// Replacing a file only once its new contents are complete. The library's
// save and the command-line tool both write through SaveTarget, so a file
// keeps its mode, owner and links, and a failure leaves it as it was,
// whichever of them wrote it.
#pragma once

#include <cstdio>

namespace gridvane::io {

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
    // The temporary file's name while one exists under a name, else null:
    // what a signal handler must remove if the process ends before finish.
    const char *temporary_name() const { return temporary_; }
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

} // namespace gridvane::io
