#include "replace.hpp"

#include "host/failure.hpp"
#include "host/heap.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#    include <fcntl.h>
#    include <io.h>
#    include <process.h>
#    include <share.h>
#    include <sys/stat.h>
#    include <windows.h>
#else
#    include <fcntl.h>
#    include <sys/file.h>
#    include <sys/stat.h>
#    include <unistd.h>
#endif

namespace gridvane::io {

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

#if defined(_WIN32)
constexpr char separators[] = "/\\";
#else
constexpr char separators[] = "/";
#endif

// Where the last part of a name starts.
const char *base_of(const char *name)
{
    const char *base = name;
    for (const char *p = name; *p != '\0'; ++p)
        if (std::strchr(separators, *p) != nullptr)
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
// target without reading the folder. Its writer holds it (a lock on POSIX,
// an open without delete sharing on Windows) until it is renamed or
// removed, so a slot file that nobody holds was left by a writer that ended
// (killed, crashed, its machine down) and the next save removes it.
constexpr char marker[] = ".gridvane-";
constexpr int slot_count = 64;
constexpr int longest_base = 240; // the slot's name stays within 255 bytes

char *slot_name(const char *folder, const char *base, int slot)
{
    const int length = static_cast<int>(std::min<std::size_t>(std::strlen(base), longest_base));
    return format_to_heap("%s/.%.*s%s%d", folder, length, base, marker, slot);
}

#if defined(_WIN32)

struct TargetState {
    int mode = _S_IREAD | _S_IWRITE;
};

// Whether name is a regular file we may write, or does not exist yet: only
// those are replaced through a new file. Keeps the mode for the copy.
bool replaceable(const char *name, TargetState &state, bool &exists)
{
    struct _stat64 st;
    exists = _stat64(name, &st) == 0;
    if (!exists)
        return errno == ENOENT;
    state.mode = st.st_mode & (_S_IREAD | _S_IWRITE);
    return (st.st_mode & _S_IFMT) == _S_IFREG && (st.st_mode & _S_IWRITE) != 0 && st.st_nlink <= 1;
}

// A new slot file, opened without delete sharing: while we have it open
// nobody can remove it, once we are gone anybody can.
int create_slot(const char *name, const TargetState &state)
{
    int fd = -1;
    if (_sopen_s(&fd, name, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _SH_DENYNO, state.mode) != 0)
        return -1;
    SetFileAttributesA(name, FILE_ATTRIBUTE_HIDDEN);
    return fd;
}

// Removes a slot file whose writer has ended: true when it is gone, false
// while its writer still holds it.
bool remove_if_abandoned(const char *name)
{
    if (DeleteFileA(name) != 0)
        return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The open's sharing holds the slot; nothing more to keep.
int hold(int) { return -1; }
void let_go(int) {}

void keep_owner(int, const TargetState &) {} // the mode went to the open

std::FILE *stream_of(int fd) { return _fdopen(fd, "wb"); }
void close_descriptor(int fd) { _close(fd); }

int flush_file(std::FILE *stream)
{
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle))
        return 0;
    errno = EIO;
    return -1;
}

// The move below asks to write through (it returns once Windows has
// flushed the move); a folder cannot be flushed from here.
int flush_folder(const char *) { return 0; }

int link_unnamed(std::FILE *, const char *)
{
    errno = EOPNOTSUPP;
    return -1;
}

int rename_over(const char *from, const char *to)
{
    SetFileAttributesA(from, FILE_ATTRIBUTE_NORMAL); // the hidden mark must not pass to the target
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return 0;
    const DWORD error = GetLastError();
    errno = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? EACCES : EIO;
    return -1;
}

int open_unnamed(const char *)
{
    errno = EOPNOTSUPP;
    return -1;
}

#else

struct TargetState {
    struct stat st {};
};

// In a sticky folder (such as /tmp) only root and the owners of the file or
// of the folder may replace a file; others who may write it write in place.
bool sticky_keeps_out(const char *name, const struct stat &file)
{
    const uid_t me = ::geteuid();
    if (me == 0 || file.st_uid == me)
        return false;
    char *folder = folder_of(name, base_of(name));
    if (folder == nullptr)
        return true; // cannot tell: the safe choice is the plain open
    struct stat st {};
    const bool sticky = ::stat(folder, &st) == 0 && (st.st_mode & S_ISVTX) != 0 && st.st_uid != me;
    heap::release(folder);
    return sticky;
}

bool replaceable(const char *name, TargetState &state, bool &exists)
{
    exists = ::lstat(name, &state.st) == 0;
    if (!exists)
        return errno == ENOENT;
    // Links are written through, and a file we could not open for writing
    // is left for the open to refuse.
    return S_ISREG(state.st.st_mode) && state.st.st_nlink == 1 && ::access(name, W_OK) == 0 &&
           !sticky_keeps_out(name, state.st);
}

// Holds the file behind fd for as long as the returned descriptor stays
// open (a duplicate, so closing the stream lets nothing go), or -1.
int hold(int fd)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return -1;
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

void let_go(int held)
{
    if (held >= 0)
        ::close(held);
}

// A new slot file, 0666 less the umask as a plain open creates a file (the
// mode of an existing target is set afterwards), locked before it is
// returned. Between its creation and its lock another save of the same
// target may take it for abandoned and remove it; the lock, once had, is
// only kept when the name still leads to the file, else the file is made
// again.
int create_slot(const char *name, const TargetState &)
{
    for (;;) {
        const int fd = ::open(name, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0)
            return -1;
        struct stat mine {}, named {};
        if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &mine) == 0 && ::lstat(name, &named) == 0 &&
            mine.st_ino == named.st_ino && mine.st_dev == named.st_dev)
            return fd;
        ::close(fd);
    }
}

// Removes a slot file whose writer has ended: true when it is gone, false
// while its writer still holds it (or it is not a plain file of ours).
bool remove_if_abandoned(const char *name)
{
    const int fd = ::open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    struct stat held {}, named {};
    bool removed = false;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
        ::lstat(name, &named) == 0 && named.st_ino == held.st_ino && named.st_dev == held.st_dev)
        removed = ::unlink(name) == 0 || errno == ENOENT;
    ::close(fd);
    return removed;
}

void keep_owner(int fd, const TargetState &state)
{
    (void)!::fchown(fd, state.st.st_uid, state.st.st_gid); // only root can; others keep their own
    ::fchmod(fd, state.st.st_mode & 07777);
}

std::FILE *stream_of(int fd) { return ::fdopen(fd, "wb"); }
void close_descriptor(int fd) { ::close(fd); }

int flush_file(std::FILE *stream)
{
#if defined(__linux__)
    return ::fdatasync(::fileno(stream)); // the data and what reading it needs, such as the size
#else
    return ::fsync(::fileno(stream));
#endif
}

int flush_folder(const char *folder)
{
    // A folder we may write but not read cannot be opened to be flushed: the
    // new name then reaches the disk when the filesystem next commits its
    // journal, as any other name does.
    const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES ? 0 : -1;
    int rc = ::fsync(fd);
    if (rc != 0 && errno == EINVAL)
        rc = 0; // a filesystem that cannot flush a folder keeps its names as it can
    const KeepErrno keep;
    ::close(fd);
    return rc;
}

int link_unnamed(std::FILE *stream, const char *name)
{
#if defined(O_TMPFILE)
    char self[48];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", ::fileno(stream));
    return ::linkat(AT_FDCWD, self, AT_FDCWD, name, AT_SYMLINK_FOLLOW);
#else
    (void)stream;
    (void)name;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

int rename_over(const char *from, const char *to) { return std::rename(from, to); }

int open_unnamed(const char *folder)
{
#if defined(O_TMPFILE)
    // Naming the file later goes through /proc/self/fd.
    if (::access("/proc/self/fd", X_OK) != 0) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const int fd = ::open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    // Kernels and filesystems without unnamed files answer in several ways.
    if (fd < 0 && (errno == EISDIR || errno == EINVAL))
        errno = EOPNOTSUPP;
    return fd;
#else
    (void)folder;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

#endif

bool slot_taken(const char *name)
{
#if defined(_WIN32)
    return _access(name, 0) == 0;
#else
    return ::access(name, F_OK) == 0;
#endif
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
        const bool taken = slot_taken(name);
        if (taken)
            remove_if_abandoned(name);
        free_run = taken ? 0 : free_run + 1;
        heap::release(name);
    }
}

ReplaceCalls default_calls{flush_file, flush_folder, link_unnamed, rename_over, open_unnamed};

} // namespace

ReplaceCalls &replace_calls() { return default_calls; }

SaveTarget::~SaveTarget()
{
    if (stream_ != nullptr)
        finish(false);
    discard_temporary();
    heap::release(folder_);
    let_go(held_);
}

bool SaveTarget::open(const char *name)
{
    name_ = name;
    TargetState state;
    bool exists = false;
    base_ = base_of(name);
    if (replaceable(name, state, exists) && (folder_ = folder_of(name, base_)) != nullptr) {
        sweep_slots(folder_, base_);
        target_exists_ = exists;
        int fd = replace_calls().open_unnamed(folder_);
        unnamed_ = fd >= 0;
        if (fd < 0 && errno == EOPNOTSUPP)
            fd = take_slot([&](const char *slot) { return create_slot(slot, state); });
        if (fd >= 0) {
            held_ = hold(fd);
            if (exists)
                keep_owner(fd, state);
            stream_ = stream_of(fd);
            if (stream_ != nullptr) {
                replacing_ = true;
                return true;
            }
            const KeepErrno keep;
            close_descriptor(fd);
            discard_temporary();
        }
        // A folder we may not write leaves the plain open; any other reason
        // (no space, no inodes, no descriptors) would make writing in place
        // lose the old file at the first failure.
        if (errno != EACCES && errno != EPERM)
            return false;
        unnamed_ = false;
        heap::release(folder_);
        folder_ = nullptr;
    }
    // No new file: write in place, as a plain open would.
    stream_ = std::fopen(name, "wb");
    return stream_ != nullptr;
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

// Gives the finished unnamed file a name: the target's own when there was
// none, else a slot's, which the rename then moves over the target.
// (Between the two a killed process leaves the slot's name behind; the next
// save of the target removes it.)
bool SaveTarget::give_name(const char *name)
{
    if (!target_exists_) {
        if (replace_calls().link_unnamed(stream_, name) == 0)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return take_slot([&](const char *slot) { return replace_calls().link_unnamed(stream_, slot); }) >= 0;
}

bool SaveTarget::finish(bool written)
{
    if (stream_ == nullptr)
        return false;
    const int writer_errno = errno;
    int error = 0;
    const auto failed = [&error] { error = errno != 0 ? errno : EIO; };
    // The data reaches the disk before the new file takes the target's name:
    // a crash then leaves the old file or the whole new one.
    if (written && (std::fflush(stream_) != 0 || (replacing_ && replace_calls().flush_file(stream_) != 0) ||
                    (unnamed_ && !give_name(name_))))
        failed();
    if (std::fclose(stream_) != 0 && written && error == 0)
        failed();
    stream_ = nullptr;
    if (written && error == 0 && temporary_ != nullptr) {
        if (replace_calls().rename(temporary_, name_) == 0) {
            heap::release(temporary_);
            temporary_ = nullptr;
        } else {
            failed();
        }
    }
    discard_temporary(); // whatever did not take the target's place
    let_go(held_);
    held_ = -1;
    if (!written || error != 0) {
        errno = written ? error : writer_errno;
        return false;
    }
    // Then the folder, so that the new name survives a crash too.
    if (replacing_ && replace_calls().flush_folder(folder_) != 0)
        return false;
    errno = writer_errno;
    return true;
}

void SaveTarget::discard_temporary()
{
    if (temporary_ == nullptr)
        return;
    const KeepErrno keep;
#if defined(_WIN32)
    SetFileAttributesA(temporary_, FILE_ATTRIBUTE_NORMAL);
#endif
    std::remove(temporary_);
    heap::release(temporary_);
    temporary_ = nullptr;
}

} // namespace gridvane::io
