// Buffered output for the writers: callers fill a staging block, which goes
// to the sink in large writes (a megabyte when the heap has one to spare,
// else a small block of its own). The first failed write or flush is kept
// and reported once, with the sink's error number (EIO if it left none).
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include "stream.hpp"

namespace gridvane::formats {

class StreamOutput {
public:
    // The most a caller may ask room for at once.
    static constexpr std::size_t capacity = 1 << 14;

    // expected: about how many bytes will be written, to size the block.
    StreamOutput(Sink &sink, std::size_t expected) : sink_(sink), saved_errno_(errno)
    {
        const std::size_t wanted = expected < large_size ? expected : large_size;
        if (wanted > capacity) {
            if (auto *large = static_cast<char *>(std::malloc(wanted))) {
                buffer_ = large;
                size_ = wanted;
            }
        }
        errno = 0;
    }
    ~StreamOutput()
    {
        if (buffer_ != small_)
            std::free(buffer_);
    }
    StreamOutput(const StreamOutput &) = delete;
    StreamOutput &operator=(const StreamOutput &) = delete;

    // Room for n more bytes (n <= capacity), writing out what is staged.
    char *room(std::size_t n)
    {
        if (used_ + n > size_)
            drain();
        return buffer_ + used_;
    }
    bool failed() const { return failed_; }
    void commit(char *end) { used_ = static_cast<std::size_t>(end - buffer_); }

    // Writes what is left and flushes: 0, or -1 with errno set.
    int finish()
    {
        drain();
        if (!failed_ && !sink_.flush())
            record_failure();
        if (!failed_) {
            errno = saved_errno_;
            return 0;
        }
        errno = failure_errno_;
        return -1;
    }

private:
    void drain()
    {
        if (used_ != 0 && !failed_ && !sink_.write(buffer_, used_))
            record_failure();
        used_ = 0;
    }
    void record_failure()
    {
        failed_ = true;
        failure_errno_ = errno != 0 ? errno : EIO;
    }

    Sink &sink_;
    int saved_errno_;
    int failure_errno_ = 0;
    bool failed_ = false;
    static constexpr std::size_t large_size = 1 << 20;
    std::size_t used_ = 0;
    char small_[capacity];
    char *buffer_ = small_;
    std::size_t size_ = capacity;
};

} // namespace gridvane::formats
