// Buffered output for the writers: callers fill a staging block, which goes
// to the stream in large writes. The first failed write or flush is kept and
// reported once, with the stream's error number (EIO if it left none).
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>

namespace gridvane::formats {

class StreamOutput {
public:
    static constexpr std::size_t capacity = 1 << 16;

    explicit StreamOutput(std::FILE *stream) : stream_(stream), saved_errno_(errno) { errno = 0; }

    // Room for n more bytes (n <= capacity), writing out what is staged.
    char *room(std::size_t n)
    {
        if (used_ + n > capacity)
            drain();
        return buffer_ + used_;
    }
    bool failed() const { return failed_; }
    void commit(char *end) { used_ = static_cast<std::size_t>(end - buffer_); }

    // Writes what is left and flushes: 0, or -1 with errno set.
    int finish()
    {
        drain();
        if (!failed_ && std::fflush(stream_) != 0)
            fail();
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
        if (used_ != 0 && !failed_ && std::fwrite(buffer_, 1, used_, stream_) != used_)
            fail();
        used_ = 0;
    }
    void fail()
    {
        failed_ = true;
        failure_errno_ = errno != 0 ? errno : EIO;
    }

    std::FILE *stream_;
    int saved_errno_;
    int failure_errno_ = 0;
    bool failed_ = false;
    std::size_t used_ = 0;
    char buffer_[capacity];
};

} // namespace gridvane::formats
