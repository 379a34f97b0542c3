// A heap-seam-backed array that grows by doubling and reports failure by
// its result instead of throwing, for the readers' line buffer, token list
// and row list.
#pragma once

#include "heap.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace gridvane_core {

template <typename T> class Growable {
public:
    Growable() = default;
    Growable(const Growable &) = delete;
    Growable &operator=(const Growable &) = delete;
    ~Growable() { heap::release(data_); }

    // Room for at least n elements; false (nothing changed) when memory is out.
    bool reserve(std::size_t n)
    {
        if (n <= capacity_)
            return true;
        if (n > SIZE_MAX / sizeof(T) / 2)
            return false;
        std::size_t grown = capacity_ == 0 ? 16 : capacity_;
        while (grown < n)
            grown *= 2;
        void *moved = heap::reallocate(data_, grown * sizeof(T));
        if (moved == nullptr)
            return false;
        data_ = static_cast<T *>(moved);
        capacity_ = grown;
        return true;
    }

    bool push(T value)
    {
        if (size_ == capacity_ && !reserve(size_ + 1))
            return false;
        data_[size_++] = value;
        return true;
    }

    // Hands the block over, trimmed to its size when possible; the caller
    // releases it with free.
    T *release_trimmed()
    {
        if (size_ != 0 && size_ < capacity_) {
            if (void *trimmed = heap::reallocate(data_, size_ * sizeof(T)))
                data_ = static_cast<T *>(trimmed);
        }
        T *out = data_ != nullptr ? data_ : static_cast<T *>(heap::allocate(0));
        data_ = nullptr;
        capacity_ = size_ = 0;
        return out;
    }

    T *data() { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    void resize(std::size_t n) { size_ = n; } // within capacity
    T &operator[](std::size_t i) { return data_[i]; }
    const T &operator[](std::size_t i) const { return data_[i]; }

private:
    T *data_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

} // namespace gridvane_core
