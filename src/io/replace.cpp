#include "replace.hpp"

#include "host/heap.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#    include <fcntl.h>
#    include <io.h>
#    include <share.h>
#    include <sys/stat.h>
#    include <windows.h>
#else
#    include <fcntl.h>
#    include <sys/stat.h>
#    include <unistd.h>
#endif

namespace gridvane::io {

#if defined(_WIN32)

namespace {

// Whether name is a regular file we may write, or does not exist yet: only
// those are replaced through a temporary file. Keeps the mode for the copy.
bool replaceable(const char *name, int &mode)
{
    struct _stat64 st;
    if (_stat64(name, &st) != 0) {
        mode = _S_IREAD | _S_IWRITE;
        return errno == ENOENT;
    }
    mode = st.st_mode & (_S_IREAD | _S_IWRITE);
    return (st.st_mode & _S_IFMT) == _S_IFREG && (st.st_mode & _S_IWRITE) != 0 && st.st_nlink <= 1;
}

std::FILE *create_temporary(char *pattern, int mode)
{
    if (_mktemp_s(pattern, std::strlen(pattern) + 1) != 0)
        return nullptr;
    int fd = -1;
    if (_sopen_s(&fd, pattern, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _SH_DENYNO, mode) != 0)
        return nullptr;
    std::FILE *stream = _fdopen(fd, "wb");
    if (stream == nullptr) {
        _close(fd);
        _unlink(pattern);
    }
    return stream;
}

bool put_in_place(const char *temporary, const char *name)
{
    if (MoveFileExA(temporary, name, MOVEFILE_REPLACE_EXISTING) != 0)
        return true;
    const DWORD error = GetLastError();
    errno = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? EACCES : EIO;
    return false;
}

} // namespace

#else

namespace {

// In a sticky folder (such as /tmp) only root and the owners of the file or
// of the folder may replace a file; others who may write it write in place.
bool sticky_keeps_out(const char *name, const struct stat &file)
{
    const uid_t me = ::geteuid();
    if (me == 0 || file.st_uid == me)
        return false;
    const char *slash = std::strrchr(name, '/');
    const std::size_t length = slash == nullptr ? 1 : slash == name ? 1 : static_cast<std::size_t>(slash - name);
    auto *folder = static_cast<char *>(heap::allocate(length + 1));
    if (folder == nullptr)
        return true; // cannot tell: the safe choice is the plain open
    std::memcpy(folder, slash == nullptr ? "." : name, length);
    folder[length] = '\0';
    struct stat st {};
    const bool sticky = ::stat(folder, &st) == 0 && (st.st_mode & S_ISVTX) != 0 && st.st_uid != me;
    heap::release(folder);
    return sticky;
}

bool replaceable(const char *name, struct stat &st, bool &exists)
{
    exists = ::lstat(name, &st) == 0;
    if (!exists)
        return errno == ENOENT;
    // Links are written through, and a file we could not open for writing
    // is left for the open to refuse.
    return S_ISREG(st.st_mode) && st.st_nlink == 1 && ::access(name, W_OK) == 0 && !sticky_keeps_out(name, st);
}

std::FILE *create_temporary(char *pattern, const struct stat &st, bool exists)
{
    const int fd = ::mkstemp(pattern);
    if (fd < 0)
        return nullptr;
    if (exists) {
        (void)!::fchown(fd, st.st_uid, st.st_gid); // only root can; others keep their own
        ::fchmod(fd, st.st_mode & 07777);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }
    std::FILE *stream = ::fdopen(fd, "wb");
    if (stream == nullptr) {
        ::close(fd);
        ::unlink(pattern);
    }
    return stream;
}

bool put_in_place(const char *temporary, const char *name)
{
#if defined(RENAME_EXCHANGE)
    // Swapping the two names replaces the file as atomically as a rename
    // does, and the old file then goes with the temporary name. ext4 treats
    // a rename over an existing file as a cue to write the new data out
    // inside the call, which made replacing a file cost three times writing
    // a new one; a swap does not, so the data is left to ordinary writeback,
    // as it is for every other file we write.
    if (::renameat2(AT_FDCWD, temporary, AT_FDCWD, name, RENAME_EXCHANGE) == 0) {
        if (::unlink(temporary) == 0)
            return true;
        // What took the target's place since we looked is not a file (a
        // folder cannot be unlinked): swap back and let rename refuse.
        const int unlink_errno = errno;
        if (::renameat2(AT_FDCWD, temporary, AT_FDCWD, name, RENAME_EXCHANGE) == 0) {
            errno = unlink_errno;
            return false;
        }
        return true;
    }
    // The name is not taken, or the filesystem cannot swap.
#endif
    return std::rename(temporary, name) == 0;
}

} // namespace

#endif

SaveTarget::~SaveTarget()
{
    if (stream_ != nullptr)
        finish(false);
    discard_temporary();
}

bool SaveTarget::open(const char *name)
{
    name_ = name;
#if defined(_WIN32)
    int mode = 0;
    const bool replace = replaceable(name, mode);
#else
    struct stat st {};
    bool exists = false;
    const bool replace = replaceable(name, st, exists);
#endif
    if (replace) {
        static constexpr char suffix[] = ".XXXXXX";
        const std::size_t length = std::strlen(name);
        temporary_ = static_cast<char *>(heap::allocate(length + sizeof suffix));
        if (temporary_ != nullptr) {
            std::memcpy(temporary_, name, length);
            std::memcpy(temporary_ + length, suffix, sizeof suffix);
#if defined(_WIN32)
            stream_ = create_temporary(temporary_, mode);
#else
            stream_ = create_temporary(temporary_, st, exists);
#endif
            if (stream_ != nullptr)
                return true;
            heap::release(temporary_);
            temporary_ = nullptr;
        }
    }
    // No temporary file: write in place, as a plain open would.
    stream_ = std::fopen(name, "wb");
    return stream_ != nullptr;
}

bool SaveTarget::finish(bool written)
{
    if (stream_ == nullptr)
        return false;
    const int writer_errno = errno;
    const bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    if (!written) {
        discard_temporary();
        errno = writer_errno;
        return false;
    }
    if (!closed) {
        const int close_errno = errno != 0 ? errno : EIO;
        discard_temporary();
        errno = close_errno;
        return false;
    }
    if (temporary_ == nullptr) {
        errno = writer_errno;
        return true;
    }
    if (!put_in_place(temporary_, name_)) {
        const int rename_errno = errno;
        discard_temporary();
        errno = rename_errno;
        return false;
    }
    heap::release(temporary_);
    temporary_ = nullptr;
    errno = writer_errno;
    return true;
}

void SaveTarget::discard_temporary()
{
    if (temporary_ == nullptr)
        return;
    const int saved = errno;
    std::remove(temporary_);
    errno = saved;
    heap::release(temporary_);
    temporary_ = nullptr;
}

} // namespace gridvane::io
