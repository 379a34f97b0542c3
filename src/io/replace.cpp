#include "replace.hpp"

#include "descriptors.hpp"

#include "formats/stream.hpp"

#include "common/failure.hpp"
#include "common/heap.hpp"
#include "platform/system.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace gridvane_core::io {

namespace {

// printf into a heap block of the right size; null when memory runs out.
template <typename... Args> char *format_to_heap(const char *format, Args... args)
{
    const int length = std::snprintf(nullptr, 0, format, args...);
    if (length < 0)
        return nullptr;
    auto *text = static_cast<char *>(heap::allocate(static_cast<std::size_t>(length) + 1));
    if (text != nullptr)
        std::snprintf(text, static_cast<std::size_t>(length) + 1, format, args...);
    return text;
}

// Where the last part of a name starts.
const char *base_of(const char *name)
{
    const char *base = name;
    for (const char *p = name; *p != '\0'; ++p)
        if (*p == '/' || (*p == '\\' && platform::backslash_separates()))
            base = p + 1;
    return base;
}

// The folder part of a name on the heap ("." when it has none), or null.
char *folder_of(const char *name, const char *base)
{
    if (base == name)
        return format_to_heap("%s", ".");
    const auto length = static_cast<int>(base - name == 1 ? 1 : base - name - 1); // "/x": the root
    return format_to_heap("%.*s", length, name);
}

// A save's new file, while it has a name, is ".<target>.gridvane-<slot>" in
// the target's folder: hidden, and found again by the next save of the same
// target without reading the folder. Its writer holds it (a lock, or an
// open that forbids deleting it) until it is renamed or removed, so a slot
// file that nobody holds was left by a writer that ended (killed, crashed,
// its machine down) and the next save removes it.
constexpr char marker[] = ".gridvane-";
constexpr int slot_count = 64;
constexpr int longest_base = 240; // the slot's name stays within 255 bytes
// Where an open holds a slot file, a file unheld and untouched this many
// seconds is taken for abandoned.
constexpr std::int64_t abandoned_after = 60;

char *slot_name(const char *folder, const char *base, int slot)
{
    const int length = static_cast<int>(std::min<std::size_t>(std::strlen(base), longest_base));
    return format_to_heap("%s/.%.*s%s%d", folder, length, base, marker, slot);
}

// In a sticky folder (such as /tmp) only the file's owner, the folder's or
// the system's may replace a file; others who may write it write in place.
bool sticky_keeps_out(const char *name, const platform::FileInfo &file)
{
    const std::uint32_t me = platform::user();
    if (me == 0 || file.owner == me)
        return false;
    char *folder = folder_of(name, base_of(name));
    if (folder == nullptr)
        return true; // cannot tell: the safe choice is the plain open
    platform::FileInfo info;
    const bool sticky = platform::info_of_folder(folder, info) == 0 && info.sticky && info.owner != me;
    heap::release(folder);
    return sticky;
}

// Whether name is a regular file we may write, or does not exist yet: only
// those are replaced through a new file. (A file we could not open for
// writing is left for the open to refuse.)
bool replaceable(const char *name, platform::FileInfo &info, bool &exists)
{
    exists = platform::info_of_name(name, info) == 0;
    if (!exists)
        return errno == ENOENT;
    return info.regular && info.links <= 1 && platform::may_write(name) == 0 && !sticky_keeps_out(name, info);
}

// Whether a descriptor and a name are one file.
bool same_file(int fd, const char *name)
{
    platform::FileInfo mine, named;
    return platform::info_of(fd, mine) == 0 && platform::info_of_name(name, named) == 0 && mine.inode == named.inode &&
           mine.device == named.device;
}

// A new slot file, 0666 less the umask as a plain open creates a file (the
// mode of an existing target is set afterwards), held before it is
// returned. Where holding is a lock, another save of the same target may
// take the file for abandoned between its creation and its lock and remove
// it; the lock, once had, is only kept when the name still leads to the
// file, else the file is made again. A filesystem that keeps no locks
// leaves the file unheld: no other save can take it for abandoned there
// either, as their probes cannot lock it.
int create_slot(const char *name)
{
    for (;;) {
        const int fd = platform::create_new(name, true);
        if (fd < 0 || !platform::holds_by_lock())
            return fd;
        int rc;
        do
            rc = platform::lock(fd, true);
        while (rc != 0 && errno == EINTR);
        if (same_file(fd, name))
            return fd;
        close_keeping_errno(fd); // made again, or the name is another's now (EEXIST)
    }
}

// Removes a slot file whose writer has ended: true when it is gone, false
// while its writer still holds it (or it is not a plain file of ours).
bool remove_if_abandoned(const char *name)
{
    if (!platform::holds_by_lock()) {
        // Held by an open, deleting fails while it is held; but its writer
        // lets go of it for the instant before the rename, so a file
        // written to lately is left alone.
        platform::FileInfo info;
        if (platform::info_of_name(name, info) != 0)
            return errno == ENOENT;
        if (std::time(nullptr) - info.modified < abandoned_after)
            return false;
        return platform::remove(name) == 0 || errno == ENOENT;
    }
    const int fd = platform::open_probe(name);
    if (fd < 0)
        return errno == ENOENT;
    platform::FileInfo held;
    bool removed = false;
    if (platform::lock(fd, false) == 0 && platform::info_of(fd, held) == 0 && held.regular && same_file(fd, name))
        removed = platform::remove(name) == 0 || errno == ENOENT;
    close_keeping_errno(fd);
    return removed;
}

// Holds the file behind fd for as long as the returned descriptor stays
// open (a duplicate, so closing the file lets nothing go), or -1 where the
// open itself holds it.
int hold(int fd)
{
    if (!platform::holds_by_lock() || platform::lock(fd, false) != 0)
        return -1;
    return platform::duplicate(fd);
}

// The new file takes on the old one's owner (where the system lets us) and
// mode.
void keep_owner(int fd, const platform::FileInfo &old)
{
    platform::set_owner(fd, old); // only root can; others keep their own
    platform::set_mode(fd, old);
}

// Flushes the folder's names to the disk. A folder we may write but not read
// cannot be opened to be flushed, nor can one where the system flushes
// names with the move: the new name then reaches the disk as any other
// does; a filesystem that cannot flush a folder keeps its names as it can.
int flush_folder(const char *folder)
{
    const int fd = platform::open_folder(folder);
    if (fd < 0)
        return errno == EACCES || errno == EOPNOTSUPP ? 0 : -1;
    int rc = platform::flush_folder(fd);
    if (rc != 0 && errno == EINVAL)
        rc = 0;
    close_keeping_errno(fd);
    return rc;
}

// Removes what writers that ended left in the target's slots, from the first
// on, until a run of free slots says nothing more is there.
void sweep_slots(const char *folder, const char *base)
{
    const KeepErrno keep;
    for (int slot = 0, free_run = 0; slot < slot_count && free_run < 4; ++slot) {
        char *name = slot_name(folder, base, slot);
        if (name == nullptr)
            return;
        const bool taken = platform::exists(name) == 0;
        if (taken)
            remove_if_abandoned(name);
        free_run = taken ? 0 : free_run + 1;
        heap::release(name);
    }
}

} // namespace

SaveTarget::~SaveTarget()
{
    if (fd_ >= 0)
        finish(false);
    discard_temporary();
    heap::release(folder_);
    heap::release(name_);
    if (held_ >= 0)
        close_keeping_errno(held_);
}

Status SaveTarget::open(const char *name)
{
    // A copy: the caller's name may go before the file is committed.
    name_ = format_to_heap("%s", name);
    if (name_ == nullptr)
        return failure(GRIDVANE_E_NO_MEMORY, ENOMEM);
    name = name_;
    base_ = base_of(name);
    platform::FileInfo old;
    bool exists = false;
    if (replaceable(name, old, exists) && (folder_ = folder_of(name, base_)) != nullptr) {
        sweep_slots(folder_, base_);
        fd_ = platform::open_unnamed(folder_);
        unnamed_ = fd_ >= 0;
        if (fd_ < 0 && errno == EOPNOTSUPP)
            fd_ = take_slot([](const char *slot) { return create_slot(slot); });
        if (fd_ >= 0) {
            held_ = hold(fd_);
            if (exists)
                keep_owner(fd_, old);
            replacing_ = true;
            return ok_status();
        }
        // A folder we may not write leaves the plain open; any other reason
        // (no space, no inodes, no descriptors) would make writing in place
        // lose the old file at the first failure.
        if (errno != EACCES && errno != EPERM)
            return failure(GRIDVANE_E_OPEN, errno);
        unnamed_ = false;
        heap::release(folder_);
        folder_ = nullptr;
    }
    // No new file: write in place, as a plain open would.
    fd_ = platform::open_in_place(name);
    return fd_ >= 0 ? ok_status() : failure(GRIDVANE_E_OPEN, errno);
}

std::FILE *SaveTarget::stream()
{
    if (stream_ == nullptr && fd_ >= 0)
        stream_ = platform::stream_of(fd_, "wb");
    return stream_;
}

Status SaveTarget::write(const void *data, std::size_t size)
{
    if (fd_ < 0)
        return failure(GRIDVANE_E_ARGUMENT, EINVAL);
    // Through the stream once there is one, so the bytes stay in order.
    if (stream_ != nullptr)
        return formats::StdioSink(stream_).write(data, size);
    return DescriptorSink(fd_).write(data, size);
}

// The first slot that take (creating a file, or linking ours) can have: a
// free one, or one whose leftover the writer that ended no longer holds.
// take answers a descriptor or 0, or -1 with errno.
template <typename Take> int SaveTarget::take_slot(Take take)
{
    for (int slot = 0; slot < slot_count; ++slot) {
        char *name = slot_name(folder_, base_, slot);
        if (name == nullptr) {
            errno = ENOMEM;
            return -1;
        }
        int got = take(name);
        // A name whose file is being deleted cannot be made again yet.
        if (got < 0 && errno == EACCES && platform::exists(name) == 0)
            errno = EEXIST;
        if (got < 0 && errno == EEXIST) {
            // A slot another writer still holds is passed over, whatever
            // the attempt to remove it left in errno (a lock refused).
            if (remove_if_abandoned(name))
                got = take(name);
            else
                errno = EEXIST;
        }
        if (got >= 0) {
            temporary_ = name;
            return got;
        }
        const KeepErrno keep;
        heap::release(name);
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

// Gives the finished unnamed file a slot's name, which the rename then moves
// over the target: a save that fails before the rename leaves no trace
// under the target's name. (Between the two a killed process leaves the
// slot's name behind; the next save of the target removes it.)
bool SaveTarget::give_name()
{
    return take_slot([this](const char *slot) { return platform::link_unnamed(fd_, slot); }) >= 0;
}

// Closes the stream or the descriptor: false with errno when that failed.
bool SaveTarget::close_file()
{
    const int fd = fd_;
    fd_ = -1;
    if (stream_ != nullptr) {
        std::FILE *stream = stream_;
        stream_ = nullptr;
        return platform::close_stream(stream) == 0;
    }
    return platform::close(fd) == 0;
}

Status SaveTarget::finish(bool written)
{
    if (fd_ < 0)
        return failure(GRIDVANE_E_ARGUMENT, EINVAL);
    const int writer_errno = errno;
    int error = 0;
    const auto failed = [&error] { error = errno != 0 ? errno : EIO; };
    // The data reaches the disk before the new file takes the target's name:
    // a crash then leaves the old file or the whole new one.
    errno = 0;
    if (written && ((stream_ != nullptr && platform::flush_stream(stream_) != 0) ||
                    (replacing_ && platform::flush_data(fd_) != 0) || (unnamed_ && !give_name())))
        failed();
    if (!close_file() && written && error == 0)
        failed();
    if (written && error == 0 && temporary_ != nullptr) {
        if (platform::rename(temporary_, name_) == 0) {
            heap::release(temporary_);
            temporary_ = nullptr;
        } else {
            failed();
        }
    }
    discard_temporary(); // whatever did not take the target's place
    if (held_ >= 0) {
        close_keeping_errno(held_);
        held_ = -1;
    }
    if (!written) {
        errno = writer_errno;
        return failure(GRIDVANE_E_WRITE, writer_errno);
    }
    if (error != 0) {
        errno = error;
        return formats::write_failure(error);
    }
    // Then the folder, so that the new name survives a crash too.
    if (replacing_ && flush_folder(folder_) != 0)
        return formats::write_failure(errno);
    errno = writer_errno;
    return ok_status();
}

void SaveTarget::discard_temporary()
{
    if (temporary_ == nullptr)
        return;
    const KeepErrno keep;
    platform::remove(temporary_);
    heap::release(temporary_);
    temporary_ = nullptr;
}

} // namespace gridvane_core::io
