// Replacing a file only once its new contents are complete and on the disk.
// The library's save and the command-line tool both write through
// SaveTarget, so a file keeps its mode, owner and links, and a failure or a
// crash leaves it as it was, whichever of them wrote it.
#pragma once

#include <cstdio>

namespace gridvane::io {

// The stream a save writes to. A regular file (or a name not yet taken) is
// written to a new file in the same folder, which is flushed to the disk
// and then takes the target's name, after which the folder is flushed too;
// anything else (a device, a pipe, a link, a file with several links, a
// file in a sticky folder that only its owner may replace) is written in
// place. Where the system has unnamed files (Linux), the new file has no
// name until it is complete, so a process killed while writing leaves
// nothing behind; elsewhere it is named recognisably, hidden beside the
// target, held by its writer until it is renamed, and each save removes
// such files of the same target that no writer holds any more.
class SaveTarget {
public:
    SaveTarget() = default;
    SaveTarget(const SaveTarget &) = delete;
    SaveTarget &operator=(const SaveTarget &) = delete;
    ~SaveTarget();

    // False with errno set when neither a new file nor the target could be
    // opened.
    bool open(const char *name);
    std::FILE *stream() const { return stream_; }
    // Whether the stream is a new file of our own (not the target).
    bool replacing() const { return replacing_; }
    // The new file's name while it has one, else null: what a signal handler
    // must remove if the process ends before finish.
    const char *temporary_name() const { return temporary_; }
    // Closes the stream and, when written is true, puts the new contents in
    // place. False with errno set when flushing, closing or renaming failed;
    // on any failure before the rename the new file is gone and the target
    // is untouched. (Only a failure to flush the folder comes after the
    // rename: the new contents are then in place, but the save reports that
    // their name may not survive a crash.)
    bool finish(bool written);

private:
    template <typename Take> int take_slot(Take take);
    bool give_name(const char *name);
    void discard_temporary();

    std::FILE *stream_ = nullptr;
    const char *name_ = nullptr;
    const char *base_ = nullptr; // the name's last part
    char *folder_ = nullptr;    // heap block: the target's folder, when replacing
    char *temporary_ = nullptr; // heap block: the new file's name while it has one
    bool replacing_ = false;
    bool unnamed_ = false;      // the new file has no name yet
    bool target_exists_ = false;
    int held_ = -1; // keeps the new file held by its writer until it is in place
};

// The calls that put a save's new file in place, in one table so that tests
// can watch their order and make one fail. Each returns 0, or -1 with errno.
struct ReplaceCalls {
    int (*flush_file)(std::FILE *stream);                 // the file's data, to the disk
    int (*flush_folder)(const char *folder);              // the folder's names, to the disk
    int (*link_unnamed)(std::FILE *stream, const char *name); // a name for an unnamed file
    int (*rename)(const char *from, const char *to);      // over the target
    // An unnamed new file in the folder (mode 0666, less the umask), or -1:
    // errno EOPNOTSUPP where the system or the filesystem has none.
    int (*open_unnamed)(const char *folder);
};

// Test seam: the calls saves make; tests replace entries and restore them.
ReplaceCalls &replace_calls();

} // namespace gridvane::io
