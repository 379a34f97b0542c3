// Buffered output for the writers: callers fill a staging block, which goes
// to the sink in large writes (a megabyte when the heap has one to spare,
// else a small block of its own). The first failed write or flush is kept
// and reported once, as the sink's status.
#pragma once

#include <cerrno>
#include <cstddef>

#include "common/heap.hpp"
#include "stream.hpp"

namespace gridvane_core::formats {

class StreamOutput {
public:
    // The most a caller may ask room for at once.
    static constexpr std::size_t capacity = 1 << 14;

    // expected: about how many bytes will be written, to size the block.
    StreamOutput(Sink &sink, std::size_t expected) : sink_(sink)
    {
        const std::size_t wanted = expected < large_size ? expected : large_size;
        if (wanted > capacity) {
            if (auto *large = static_cast<char *>(heap::allocate(wanted))) {
                buffer_ = large;
                size_ = wanted;
            }
        }
    }
    ~StreamOutput()
    {
        if (buffer_ != small_)
            heap::release(buffer_);
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
    bool failed() const { return !succeeded(status_); }
    void commit(char *end) { used_ = static_cast<std::size_t>(end - buffer_); }

    // Writes what is left and flushes.
    Status finish()
    {
        drain();
        if (succeeded(status_))
            status_ = sink_.flush();
        return status_;
    }

private:
    void drain()
    {
        if (used_ != 0 && succeeded(status_))
            status_ = sink_.write(buffer_, used_);
        used_ = 0;
    }

    Sink &sink_;
    Status status_ = ok_status();
    static constexpr std::size_t large_size = 1 << 20;
    std::size_t used_ = 0;
    char small_[capacity];
    char *buffer_ = small_;
    std::size_t size_ = capacity;
};

} // namespace gridvane_core::formats
