// Replacing a file only once its new contents are complete and on the disk.
// The library's saves and its clients' files (through the extension
// interface) are all written through SaveTarget, so a file keeps its mode,
// owner and links, and a failure or a crash leaves it as it was.
#pragma once

#include "common/status.hpp"

#include <cstddef>
#include <cstdio>

namespace gridvane_core::io {

// The file a save writes to. A regular file (or a name not yet taken) is
// written to a new file in the same folder, which is flushed to the disk
// and then takes the target's name, after which the folder is flushed too;
// anything else (a device, a pipe, a link, a file with several links, a
// file in a sticky folder that only its owner may replace) is written in
// place. Where the system has unnamed files (Linux), the new file has no
// name until it is complete, so a process killed while writing leaves
// nothing behind; elsewhere it is named recognisably, hidden beside the
// target, held by its writer (a lock until the rename on POSIX; on Windows
// an open, let go of just before the move, where a file written to in the
// last minute counts as held), and each save removes such files of the
// same target that no writer holds any more.
class SaveTarget {
public:
    SaveTarget() = default;
    SaveTarget(const SaveTarget &) = delete;
    SaveTarget &operator=(const SaveTarget &) = delete;
    ~SaveTarget();

    // OPEN with the error number when neither a new file nor the target
    // could be opened.
    Status open(const char *name);
    // The descriptor to write to (nothing written through it yet).
    int descriptor() const { return fd_; }
    // A stream over the descriptor, for writers that want one (made once).
    std::FILE *stream();
    // Writes size bytes, through the stream once it is made: WRITE with
    // the error number when that failed.
    Status write(const void *data, std::size_t size);
    // Whether the file written is a new one of our own (not the target).
    bool replacing() const { return replacing_; }
    // The new file's name while it has one, else null: what a signal handler
    // must remove if the process ends before finish.
    const char *temporary_name() const { return temporary_; }
    // Closes and, when written is true, puts the new contents in place:
    // WRITE with the error number when flushing, closing or renaming
    // failed; on any failure before the rename the new file is gone and the
    // target is untouched. (Only a failure to flush the folder comes after
    // the rename: the new contents are then in place, but the save reports
    // that their name may not survive a crash.) Unwritten, the error number
    // is left as the writer left it.
    Status finish(bool written);

private:
    template <typename Take> int take_slot(Take take);
    bool give_name();
    bool close_file();
    void discard_temporary();

    int fd_ = -1;
    std::FILE *stream_ = nullptr; // owns fd_ once made
    char *name_ = nullptr;       // heap block: a copy of the target's name
    const char *base_ = nullptr; // the name's last part
    char *folder_ = nullptr;    // heap block: the target's folder, when replacing
    char *temporary_ = nullptr; // heap block: the new file's name while it has one
    bool replacing_ = false;
    bool unnamed_ = false; // the new file has no name yet
    int held_ = -1; // keeps the new file locked by its writer until it is in place (POSIX)
};

} // namespace gridvane_core::io
