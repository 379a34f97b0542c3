// The system calls of loads and saves on Windows (through the C runtime's
// descriptors where it has them): each passes the test seam, then makes its
// call.
#include "system.hpp"
#include "memory.hpp"
#include "through.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

namespace gridvane_core::platform {

namespace {

// The C runtime's reads and writes take an unsigned count.
unsigned counted(std::size_t size, bool shorten)
{
    return static_cast<unsigned>(std::min<std::size_t>(shortened(size, shorten), 1u << 30));
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

void fill(FileInfo &info, const struct _stat64 &st)
{
    info.regular = (st.st_mode & _S_IFMT) == _S_IFREG;
    info.folder = (st.st_mode & _S_IFMT) == _S_IFDIR;
    info.sticky = false;
    info.links = static_cast<std::uint64_t>(st.st_nlink);
    info.mode = static_cast<std::uint32_t>(st.st_mode & (_S_IREAD | _S_IWRITE));
    info.owner = info.group = 0;
    info.device = static_cast<std::uint64_t>(st.st_dev);
    info.inode = static_cast<std::uint64_t>(st.st_ino);
    info.size = st.st_size;
    info.modified = static_cast<std::int64_t>(st.st_mtime);
}

int errno_of_last_error()
{
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    default: return EIO;
    }
}

} // namespace

// A save's new file is held by its open, which forbids deleting it.
bool holds_by_lock() { return false; }
bool backslash_separates() { return true; }

int open_read(const char *name)
{
    return through<int>("open", [&] { return _open(name, _O_RDONLY | _O_BINARY); });
}

int open_probe(const char *name) { return open_read(name); }

int create_new(const char *name, bool hidden)
{
    return through<int>("open new", [&] {
        int fd = -1;
        // Sharing read and write but not delete: while we have it open,
        // nobody can remove it; once we are gone, anybody can.
        if (_sopen_s(&fd, name, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0)
            return -1;
        if (hidden)
            SetFileAttributesA(name, FILE_ATTRIBUTE_HIDDEN);
        return fd;
    });
}

int open_unnamed(const char *)
{
    errno = EOPNOTSUPP;
    return -1;
}

int open_in_place(const char *name)
{
    return through<int>("open in place", [&] {
        return _open(name, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    });
}

// A folder cannot be flushed from here: the move that names a new file asks
// to write through instead.
int open_folder(const char *)
{
    errno = EOPNOTSUPP;
    return -1;
}

int close(int fd)
{
    return made_anyway("close", [&] { return _close(fd); });
}

std::FILE *stream_of(int fd, const char *mode) { return refused("fdopen") ? nullptr : _fdopen(fd, mode); }

long long read(int fd, void *out, std::size_t size)
{
    bool shorten = false;
    return through<long long>("read", [&] { return _read(fd, out, counted(size, shorten)); }, &shorten);
}

long long read_at(int fd, void *out, std::size_t size, std::int64_t offset)
{
    bool shorten = false;
    return through<long long>(
        "pread",
        [&]() -> long long {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
            at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
            DWORD got = 0;
            if (ReadFile(handle_of(fd), out, counted(size, shorten), &got, &at))
                return got;
            if (GetLastError() == ERROR_HANDLE_EOF)
                return 0;
            errno = errno_of_last_error();
            return -1;
        },
        &shorten);
}

long long write(int fd, const void *data, std::size_t size)
{
    bool shorten = false;
    return through<long long>("write", [&] { return _write(fd, data, counted(size, shorten)); }, &shorten);
}

// No gathering write: one block per call.
std::size_t block_limit() { return 1; }

long long write_blocks(int fd, const void *const *blocks, std::size_t size, std::size_t)
{
    return write(fd, blocks[0], size);
}

int info_of(int fd, FileInfo &info)
{
    return through<int>("fstat", [&] {
        struct _stat64 st {};
        const int rc = _fstat64(fd, &st);
        if (rc == 0) {
            fill(info, st);
            // The C runtime keeps whole seconds; the system keeps 100 ns.
            FILETIME written;
            if (GetFileTime(handle_of(fd), nullptr, nullptr, &written))
                info.modified_nanoseconds =
                    static_cast<std::int64_t>(
                        ((static_cast<ULONGLONG>(written.dwHighDateTime) << 32 | written.dwLowDateTime) % 10000000) *
                        100);
        }
        return rc;
    });
}

int info_of_name(const char *name, FileInfo &info)
{
    return through<int>("stat", [&] {
        struct _stat64 st {};
        const int rc = _stat64(name, &st);
        if (rc == 0)
            fill(info, st);
        return rc;
    });
}

int info_of_folder(const char *folder, FileInfo &info) { return info_of_name(folder, info); }

int may_write(const char *name) { return through<int>("access W_OK", [&] { return _access(name, 2); }); }

int exists(const char *name) { return through<int>("access F_OK", [&] { return _access(name, 0); }); }

std::uint32_t user() { return 0; } // no owners to tell apart

// The open's sharing holds a file: nothing to lock or keep.
int lock(int, bool) { return 0; }
int duplicate(int)
{
    errno = EOPNOTSUPP;
    return -1;
}

int set_owner(int, const FileInfo &) { return 0; }
int set_mode(int, const FileInfo &) { return 0; } // the mode went to the open

int flush_data(int fd)
{
    return through<int>("FlushFileBuffers", [&] {
        if (FlushFileBuffers(handle_of(fd)))
            return 0;
        errno = EIO; // what a save has always said of a flush that failed
        return -1;
    });
}

int flush_folder(int)
{
    errno = EOPNOTSUPP;
    return -1;
}

int link_unnamed(int, const char *)
{
    errno = EOPNOTSUPP;
    return -1;
}

int rename(const char *from, const char *to)
{
    return through<int>("MoveFileEx", [&] {
        SetFileAttributesA(from, FILE_ATTRIBUTE_NORMAL); // the hidden mark must not pass to the target
        // Another save replacing the same target at this moment holds it
        // for an instant: the move is tried again for half a second, no
        // longer, as a target someone else keeps open stays refused.
        const ULONGLONG began = GetTickCount64();
        for (;;) {
            if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
                return 0;
            const DWORD error = GetLastError();
            if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) {
                errno = EIO; // what a save has always said of a move that failed
                return -1;
            }
            if (GetTickCount64() - began > 500) {
                errno = EACCES;
                return -1;
            }
            Sleep(1);
        }
    });
}

int remove(const char *name)
{
    return through<int>("DeleteFile", [&] {
        if (DeleteFileA(name) != 0)
            return 0;
        errno = errno_of_last_error();
        return -1;
    });
}

int binary_mode(std::FILE *stream)
{
    std::fflush(stream);
    return _setmode(_fileno(stream), _O_BINARY);
}

void restore_mode(std::FILE *stream, int previous)
{
    std::fflush(stream);
    if (previous != -1)
        _setmode(_fileno(stream), previous);
}

bool has_huge_pages() { return false; }
void *allocate_aligned(std::size_t, std::size_t) { return nullptr; }
void advise_huge_pages(void *, std::size_t) {}

} // namespace gridvane_core::platform
