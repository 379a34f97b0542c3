// Where the readers take their bytes from and the writers put theirs. The
// formats know only these two interfaces; a stdio stream serves on every
// platform, and the loading layer brings its own (a file's descriptor, read
// and written without a copy through a stream's buffer).
#pragma once

#include "common/status.hpp"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace gridvane_core::formats {

class Source {
public:
    virtual ~Source() = default;
    // Up to size bytes into out; fewer only at the end of the input or on
    // an error, which failed() then tells, with the system's error().
    virtual std::size_t read(void *out, std::size_t size) = 0;
    virtual bool failed() const = 0;
    virtual int error() const { return EIO; }
    // The bytes left to read, where the source knows them (a regular
    // file), else -1.
    virtual long long remaining() const { return -1; }
};

class Sink {
public:
    virtual ~Sink() = default;
    // All of size bytes, or WRITE with the system's error number (EIO when
    // it left none).
    virtual Status write(const void *data, std::size_t size) = 0;
    // count blocks of size bytes each, in order.
    virtual Status write_blocks(const void *const *blocks, std::size_t size, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i)
            if (const Status s = write(blocks[i], size); !succeeded(s))
                return s;
        return ok_status();
    }
    // Hands what was written on to the file.
    virtual Status flush() = 0;
};

// A failed write with the error number the system left (EIO when none).
inline Status write_failure(int error) { return failure(GRIDVANE_E_WRITE, error != 0 ? error : EIO); }

class StdioSource final : public Source {
public:
    explicit StdioSource(std::FILE *stream) : stream_(stream) {}
    std::size_t read(void *out, std::size_t size) override
    {
        // The read's own error number is kept for the status; the caller's
        // stays as it was.
        const int before = errno;
        errno = 0;
        const std::size_t got = std::fread(out, 1, size, stream_);
        if (got < size && std::ferror(stream_) != 0)
            error_ = errno != 0 ? errno : EIO;
        errno = before;
        return got;
    }
    bool failed() const override { return std::ferror(stream_) != 0; }
    int error() const override { return error_; }

private:
    std::FILE *stream_;
    int error_ = EIO;
};

class StdioSink final : public Sink {
public:
    explicit StdioSink(std::FILE *stream) : stream_(stream) {}
    Status write(const void *data, std::size_t size) override
    {
        errno = 0;
        return std::fwrite(data, 1, size, stream_) == size ? ok_status() : write_failure(errno);
    }
    Status flush() override
    {
        errno = 0;
        return std::fflush(stream_) == 0 ? ok_status() : write_failure(errno);
    }

private:
    std::FILE *stream_;
};

// The error number a callback's negative result stands for: its negation,
// or EIO where that is no error number (below -INT_MAX).
inline int error_of(std::ptrdiff_t result)
{
    return result >= -static_cast<std::ptrdiff_t>(INT_MAX) ? static_cast<int>(-result) : EIO;
}

// The caller's own functions (gridvane_io), for hosts whose FILE and errno
// are not ours and for memory. A function that throws (a C++ host's) ends
// the transfer as a failure that threw() tells, and goes no further.
class CallbackSource final : public Source {
public:
    explicit CallbackSource(const gridvane_io &io) : io_(io) {}
    std::size_t read(void *out, std::size_t size) override
    {
        std::size_t done = 0;
        while (done < size && !failed_) {
            std::ptrdiff_t got = -EIO;
            try {
                got = io_.read(io_.context, static_cast<char *>(out) + done, size - done);
            } catch (...) {
                threw_ = true;
            }
            if (got == 0)
                break;
            if (got < 0 || threw_ || static_cast<std::size_t>(got) > size - done) {
                failed_ = true;
                error_ = threw_ ? ECANCELED : got < 0 ? error_of(got) : EIO;
                break;
            }
            done += static_cast<std::size_t>(got);
        }
        return done;
    }
    bool failed() const override { return failed_; }
    int error() const override { return error_; }
    bool threw() const { return threw_; }

private:
    const gridvane_io &io_;
    bool failed_ = false, threw_ = false;
    int error_ = EIO;
};

class CallbackSink final : public Sink {
public:
    explicit CallbackSink(const gridvane_io &io) : io_(io) {}
    Status write(const void *data, std::size_t size) override
    {
        for (std::size_t done = 0; done < size;) {
            std::ptrdiff_t put = -EIO;
            try {
                put = io_.write(io_.context, static_cast<const char *>(data) + done, size - done);
            } catch (...) {
                return threw();
            }
            if (put <= 0 || static_cast<std::size_t>(put) > size - done)
                return write_failure(put < 0 ? error_of(put) : EIO);
            done += static_cast<std::size_t>(put);
        }
        return ok_status();
    }
    Status flush() override
    {
        if (io_.flush == nullptr)
            return ok_status();
        int rc = -EIO;
        try {
            rc = io_.flush(io_.context);
        } catch (...) {
            return threw();
        }
        return rc == 0 ? ok_status() : write_failure(rc < 0 ? error_of(rc) : EIO);
    }

private:
    static Status threw() { return failure(GRIDVANE_E_OBSERVER, ECANCELED); }
    const gridvane_io &io_;
};

// Bytes taken from a source while looking at it, given back before the rest.
class ReplaySource final : public Source {
public:
    ReplaySource(std::string_view taken, Source &rest) : taken_(taken), rest_(rest) {}

    std::size_t read(void *out, std::size_t size) override
    {
        const std::size_t given = replay(out, size);
        return given == size ? size : given + rest_.read(static_cast<char *>(out) + given, size - given);
    }
    bool failed() const override { return rest_.failed(); }
    int error() const override { return rest_.error(); }
    long long remaining() const override
    {
        const long long rest = rest_.remaining();
        return rest < 0 ? -1 : rest + static_cast<long long>(taken_.size());
    }

private:
    std::size_t replay(void *out, std::size_t size)
    {
        const std::size_t n = size < taken_.size() ? size : taken_.size();
        if (n != 0)
            std::memcpy(out, taken_.data(), n);
        taken_.remove_prefix(n);
        return n;
    }

    std::string_view taken_;
    Source &rest_;
};

} // namespace gridvane_core::formats
