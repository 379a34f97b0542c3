#include "descriptor.hpp"

#include "platform.hpp"

#include <algorithm>

#if !defined(_WIN32)

#    include <algorithm>
#    include <cerrno>
#    include <sys/uio.h>
#    include <unistd.h>

namespace gridvane::io {

namespace {

// Vectors per writev call; POSIX promises at least this many.
constexpr std::size_t max_vectors = 1024;

// Drops the first `done` bytes of the vectors from first on: the index of
// the first vector with bytes left.
std::size_t advance(iovec *vectors, std::size_t first, std::size_t count, std::size_t done)
{
    for (; first < count && done >= vectors[first].iov_len; ++first)
        done -= vectors[first].iov_len;
    if (first < count) {
        vectors[first].iov_base = static_cast<char *>(vectors[first].iov_base) + done;
        vectors[first].iov_len -= done;
    }
    return first;
}

enum class Moved { all, ended, failed };

// Moves count blocks of size bytes through a vectored call, up to
// max_vectors at a time, retrying after signals and short transfers, until
// all moved, the call moved nothing or failed (errno set).
template <typename Call> Moved move_blocks(Call call, void *const *blocks, std::size_t size, std::size_t count)
{
    iovec vectors[max_vectors];
    for (std::size_t start = 0; start < count;) {
        const std::size_t n = std::min(max_vectors, count - start);
        for (std::size_t i = 0; i < n; ++i)
            vectors[i] = iovec{blocks[start + i], size};
        for (std::size_t first = 0; first < n;) {
            const ssize_t moved = call(vectors + first, static_cast<int>(n - first));
            if (moved < 0 && errno == EINTR)
                continue;
            if (moved <= 0)
                return moved < 0 ? Moved::failed : Moved::ended;
            first = advance(vectors, first, n, static_cast<std::size_t>(moved));
        }
        start += n;
    }
    return Moved::all;
}

} // namespace

std::size_t DescriptorSource::read(void *out, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd_, static_cast<char *>(out) + done, size - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            failed_ = got < 0;
            if (failed_)
                error_ = errno;
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

long long DescriptorSource::remaining() const
{
    const std::int64_t size = size_of(fd_);
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    return size < 0 || at < 0 || at > size ? -1 : size - at;
}

bool DescriptorSink::write(const void *data, std::size_t size)
{
    void *block = const_cast<void *>(data);
    return write_blocks(&block, size, 1);
}

bool DescriptorSink::write_blocks(const void *const *blocks, std::size_t size, std::size_t count)
{
    const Moved moved = move_blocks([this](const iovec *v, int n) { return ::writev(fd_, v, n); },
                                    const_cast<void *const *>(blocks), size, count);
    if (moved == Moved::all)
        return true;
    if (moved == Moved::ended)
        errno = EIO; // a write that stored nothing
    return false;
}

} // namespace gridvane::io

#endif

namespace gridvane::io {

long long RangeSource::remaining() const
{
    const std::int64_t size = size_of(fd_);
    if (size < 0)
        return -1;
    return std::max<std::int64_t>(0, (end_ >= 0 ? std::min(end_, size) : size) - at_);
}

std::size_t RangeSource::read(void *out, std::size_t size)
{
    if (end_ >= 0)
        size = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(size), end_ - at_));
    if (size == 0)
        return 0;
    const std::int64_t got = read_at(fd_, out, size, at_);
    if (got < 0) {
        failed_ = true;
        error_ = errno;
        return 0;
    }
    at_ += got;
    return static_cast<std::size_t>(got);
}

} // namespace gridvane::io

