#include "descriptors.hpp"

#include "common/failure.hpp"
#include "platform/system.hpp"

#include <algorithm>

namespace gridvane_core::io {

namespace {

// Moves count blocks of size bytes through one call at a time (as many as
// the platform gathers), retrying after signals and short transfers, until
// all moved; WRITE when a call failed or moved nothing (EIO).
Status write_all(int fd, const void *const *blocks, std::size_t size, std::size_t count)
{
    const std::size_t limit = std::max<std::size_t>(platform::block_limit(), 1);
    std::size_t first = 0, done = 0; // the first block with bytes left, and its bytes written
    while (first < count) {
        const long long moved =
            done != 0 ? platform::write(fd, static_cast<const char *>(blocks[first]) + done, size - done)
                      : platform::write_blocks(fd, blocks + first, size, std::min(limit, count - first));
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            return formats::write_failure(moved == 0 ? EIO : errno); // EIO: a write that stored nothing
        const std::size_t through = done + static_cast<std::size_t>(moved);
        first += through / size;
        done = through % size;
    }
    return ok_status();
}

// Reads size bytes with read_some(to, n, done so far) until all came or the
// file ended, retrying after signals and reading on after short reads;
// failed and error tell a failure.
template <typename ReadSome>
std::size_t read_fully(void *out, std::size_t size, bool &failed, int &error, ReadSome read_some)
{
    std::size_t done = 0;
    while (done < size) {
        const long long got = read_some(static_cast<char *>(out) + done, size - done, done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            failed = got < 0;
            if (failed)
                error = errno;
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

} // namespace

DescriptorSource::DescriptorSource(int fd, std::int64_t begin, std::int64_t end)
    : fd_(fd), at_(begin), end_(end), size_(size_of(fd))
{
}

std::size_t DescriptorSource::read(void *out, std::size_t size)
{
    if (!positional()) {
        const std::size_t done = read_fully(out, size, failed_, error_, [this](void *to, std::size_t n, std::size_t) {
            return platform::read(fd_, to, n);
        });
        at_ += static_cast<std::int64_t>(done);
        return done;
    }
    if (end_ >= 0)
        size = static_cast<std::size_t>(std::clamp<std::int64_t>(end_ - at_, 0, static_cast<std::int64_t>(size)));
    const std::size_t done = read_fully(out, size, failed_, error_, [this](void *to, std::size_t n, std::size_t from) {
        return platform::read_at(fd_, to, n, at_ + static_cast<std::int64_t>(from));
    });
    at_ += static_cast<std::int64_t>(done);
    return done;
}

long long DescriptorSource::remaining() const
{
    // Asked again: a file may have grown or shrunk since.
    const std::int64_t size = positional() ? size_of(fd_) : -1;
    if (size < 0)
        return -1;
    return std::max<std::int64_t>(0, (end_ >= 0 ? std::min(end_, size) : size) - at_);
}

Status DescriptorSink::write(const void *data, std::size_t size)
{
    return size == 0 ? ok_status() : write_all(fd_, &data, size, 1);
}

Status DescriptorSink::write_blocks(const void *const *blocks, std::size_t size, std::size_t count)
{
    return size == 0 ? ok_status() : write_all(fd_, blocks, size, count);
}

std::int64_t size_of(int fd)
{
    platform::FileInfo info;
    return platform::info_of(fd, info) == 0 && info.regular ? info.size : -1;
}

void close_keeping_errno(int fd)
{
    const KeepErrno keep;
    platform::close(fd);
}

void close_keeping_errno(std::FILE *stream)
{
    const KeepErrno keep;
    platform::close_stream(stream);
}

BinaryMode::BinaryMode(std::FILE *stream) : stream_(stream), previous_(platform::binary_mode(stream)) {}

BinaryMode::~BinaryMode()
{
    const KeepErrno keep;
    platform::restore_mode(stream_, previous_);
}

} // namespace gridvane_core::io
