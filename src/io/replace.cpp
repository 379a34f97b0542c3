#include "replace.hpp"

#include "host/heap.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#    include <fcntl.h>
#    include <io.h>
#    include <process.h>
#    include <share.h>
#    include <sys/stat.h>
#    include <windows.h>
#else
#    include <dirent.h>
#    include <fcntl.h>
#    include <signal.h>
#    include <sys/stat.h>
#    include <unistd.h>
#endif

namespace gridvane::io {

namespace {

// Puts errno back as it was when the scope ends: cleanup on a failure path
// must not change the error the caller reports.
class KeepErrno {
public:
    KeepErrno() : saved_(errno) {}
    ~KeepErrno() { errno = saved_; }
    KeepErrno(const KeepErrno &) = delete;
    KeepErrno &operator=(const KeepErrno &) = delete;

private:
    int saved_;
};

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
unsigned long this_process() { return static_cast<unsigned long>(_getpid()); }
#else
constexpr char separators[] = "/";
unsigned long this_process() { return static_cast<unsigned long>(::getpid()); }
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

// New files of a save are named ".<target>.gridvane-<process>-<salt>" in the
// target's folder: hidden, and telling which process wrote them.
constexpr char marker[] = ".gridvane-";

char *temporary_name_for(const char *folder, const char *base)
{
    // The salt differs between the threads of one process and between calls.
    static std::atomic<std::uint64_t> calls{0};
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::uint64_t salt = now ^ (calls.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ULL);
    return format_to_heap("%s/.%s%s%lu-%016" PRIx64, folder, base, marker, this_process(), salt);
}

// The process id in a name of ours for the target base, or 0. Only a name
// made exactly as temporary_name_for makes it counts (decimal digits, a dash
// and 16 hex digits to the end): a file of the user's that merely starts
// the same way is never taken for one of ours.
unsigned long writer_of(const char *entry, const char *base)
{
    const std::size_t base_length = std::strlen(base);
    if (entry[0] != '.' || std::strncmp(entry + 1, base, base_length) != 0 ||
        std::strncmp(entry + 1 + base_length, marker, sizeof marker - 1) != 0)
        return 0;
    const char *digits = entry + 1 + base_length + sizeof marker - 1;
    if (*digits < '0' || *digits > '9')
        return 0;
    char *end = nullptr;
    const unsigned long pid = std::strtoul(digits, &end, 10);
    if (end == nullptr || *end != '-' || std::strlen(end + 1) != 16 ||
        std::strspn(end + 1, "0123456789abcdef") != 16)
        return 0;
    return pid;
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

bool process_ended(unsigned long pid)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr)
        return GetLastError() == ERROR_INVALID_PARAMETER; // no such process
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

void remove_stale_temporaries(const char *folder, const char *base)
{
    const KeepErrno keep;
    char *pattern = format_to_heap("%s/.%s%s*", folder, base, marker);
    if (pattern == nullptr)
        return;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    heap::release(pattern);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const unsigned long pid = writer_of(found.cFileName, base);
        if (pid != 0 && pid != this_process() && process_ended(pid)) {
            if (char *stale = format_to_heap("%s/%s", folder, found.cFileName)) {
                SetFileAttributesA(stale, FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(stale);
                heap::release(stale);
            }
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

int create_exclusive(const char *name, const TargetState &state)
{
    int fd = -1;
    if (_sopen_s(&fd, name, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _SH_DENYNO, state.mode) != 0)
        return -1;
    SetFileAttributesA(name, FILE_ATTRIBUTE_HIDDEN);
    return fd;
}

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

// The move below writes through: it returns once the new name is on the
// disk, so there is nothing more to flush.
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

// A writer that shares the folder from another process-id namespace may look
// ended; its save then fails at its rename and leaves the old file as it was.
bool process_ended(unsigned long pid)
{
    return pid <= INT32_MAX && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

void remove_stale_temporaries(const char *folder, const char *base)
{
    const KeepErrno keep;
    DIR *dir = ::opendir(folder);
    if (dir == nullptr)
        return;
    while (const dirent *entry = ::readdir(dir)) {
        const unsigned long pid = writer_of(entry->d_name, base);
        if (pid != 0 && pid != this_process() && process_ended(pid))
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

// 0666 less the umask, as a plain open creates a file; the mode of an
// existing target is set afterwards.
int create_exclusive(const char *name, const TargetState &)
{
    return ::open(name, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
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

ReplaceCalls default_calls{flush_file, flush_folder, link_unnamed, rename_over, open_unnamed};

} // namespace

ReplaceCalls &replace_calls() { return default_calls; }

SaveTarget::~SaveTarget()
{
    if (stream_ != nullptr)
        finish(false);
    discard_temporary();
    heap::release(folder_);
}

bool SaveTarget::open(const char *name)
{
    name_ = name;
    TargetState state;
    bool exists = false;
    if (replaceable(name, state, exists) && (folder_ = folder_of(name, base_of(name))) != nullptr) {
        remove_stale_temporaries(folder_, base_of(name));
        target_exists_ = exists;
        int fd = replace_calls().open_unnamed(folder_);
        unnamed_ = fd >= 0;
        // Without unnamed files: a named one, retried should the name be taken.
        for (int attempt = 0; fd < 0 && errno == EOPNOTSUPP && attempt < 100; ++attempt) {
            temporary_ = temporary_name_for(folder_, base_of(name));
            if (temporary_ == nullptr)
                break;
            fd = create_exclusive(temporary_, state);
            if (fd < 0) {
                const KeepErrno keep;
                heap::release(temporary_);
                temporary_ = nullptr;
            }
            if (fd < 0 && errno == EEXIST)
                errno = EOPNOTSUPP;
        }
        if (fd >= 0) {
            if (exists)
                keep_owner(fd, state);
            stream_ = stream_of(fd);
            if (stream_ != nullptr) {
                replacing_ = true;
                return true;
            }
            close_descriptor(fd);
            discard_temporary();
        }
        unnamed_ = false;
        heap::release(folder_);
        folder_ = nullptr;
    }
    // No new file: write in place, as a plain open would.
    stream_ = std::fopen(name, "wb");
    return stream_ != nullptr;
}

// Gives the finished unnamed file a name: the target's own when there was
// none, else a temporary one that the rename then moves over the target.
// (Between the two a killed process leaves the temporary name behind; the
// next save of the target removes it.)
bool SaveTarget::give_name(const char *name)
{
    if (!target_exists_) {
        if (replace_calls().link_unnamed(stream_, name) == 0)
            return true;
        if (errno != EEXIST)
            return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_ = temporary_name_for(folder_, base_of(name));
        if (temporary_ == nullptr) {
            errno = ENOMEM;
            return false;
        }
        if (replace_calls().link_unnamed(stream_, temporary_) == 0)
            return true;
        const KeepErrno keep;
        heap::release(temporary_);
        temporary_ = nullptr;
        if (errno != EEXIST)
            break;
    }
    return false;
}

bool SaveTarget::finish(bool written)
{
    if (stream_ == nullptr)
        return false;
    const int writer_errno = errno;
    int error = 0;
    // The data reaches the disk before the new file takes the target's name:
    // a crash then leaves the old file or the whole new one.
    if (written) {
        if (std::fflush(stream_) != 0 || (replacing_ && replace_calls().flush_file(stream_) != 0) ||
            (unnamed_ && !give_name(name_)))
            error = errno != 0 ? errno : EIO;
    }
    if (std::fclose(stream_) != 0 && written && error == 0)
        error = errno != 0 ? errno : EIO;
    stream_ = nullptr;
    if (!written || error != 0) {
        discard_temporary();
        errno = written ? error : writer_errno;
        return false;
    }
    if (!replacing_) {
        errno = writer_errno;
        return true;
    }
    if (temporary_ != nullptr) {
        if (replace_calls().rename(temporary_, name_) != 0) {
            const int rename_errno = errno;
            discard_temporary();
            errno = rename_errno;
            return false;
        }
        heap::release(temporary_);
        temporary_ = nullptr;
    }
    // Then the folder, so that the new name survives a crash too.
    if (replace_calls().flush_folder(folder_) != 0)
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
