#include "platform.hpp"

#include "host/failure.hpp"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

#if defined(_WIN32)
#    include <io.h>
#    include <windows.h>
#else
#    include <unistd.h>
#endif

namespace gridvane::io {

void close_keeping_errno(std::FILE *stream)
{
    const KeepErrno keep;
    std::fclose(stream);
}

void close_keeping_errno(int fd)
{
    const KeepErrno keep;
#if defined(_WIN32)
    _close(fd);
#else
    ::close(fd);
#endif
}

std::int64_t size_of(int fd)
{
#if defined(_WIN32)
    struct _stat64 st {};
    return _fstat64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG ? st.st_size : -1;
#else
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : -1;
#endif
}

#if defined(_WIN32)

int open_for_reading(const char *name) { return _open(name, _O_RDONLY | _O_BINARY); }

std::int64_t read_at(int fd, void *out, std::size_t size, std::int64_t offset)
{
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED at{};
        const auto where = static_cast<std::uint64_t>(offset) + done;
        at.Offset = static_cast<DWORD>(where & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(handle, static_cast<char *>(out) + done, want, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF)
                break;
            errno = EIO;
            return -1;
        }
        if (got == 0)
            break;
        done += got;
    }
    return static_cast<std::int64_t>(done);
}

BinaryMode::BinaryMode(std::FILE *stream) : stream_(stream)
{
    std::fflush(stream_);
    previous_ = _setmode(_fileno(stream_), _O_BINARY);
}

BinaryMode::~BinaryMode()
{
    const KeepErrno keep;
    std::fflush(stream_);
    if (previous_ != -1)
        _setmode(_fileno(stream_), previous_);
}

#else

int open_for_reading(const char *name) { return ::open(name, O_RDONLY | O_CLOEXEC); }

std::int64_t read_at(int fd, void *out, std::size_t size, std::int64_t offset)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, static_cast<char *>(out) + done, size - done,
                                    static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

BinaryMode::BinaryMode(std::FILE *stream) : stream_(stream), previous_(0) {}
BinaryMode::~BinaryMode() = default;

#endif

} // namespace gridvane::io
