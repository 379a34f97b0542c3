// Handle -> table, beside the registration list, so that finding a table does
// not depend on how many others are registered. Open addressing with linear
// probing and backward-shift deletion; storage comes from the heap seam.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gridvane_core::registry {

struct Record;

class HandleIndex {
public:
    HandleIndex() = default;
    HandleIndex(const HandleIndex &) = delete;
    HandleIndex &operator=(const HandleIndex &) = delete;
    ~HandleIndex() { clear(); }

    Record *find(std::int32_t id) const;
    // False when the index had to grow and could not; nothing changes then.
    bool insert(std::int32_t id, Record *table);
    void erase(std::int32_t id);
    void clear();
    std::size_t size() const { return size_; }

private:
    struct Slot {
        std::int32_t id; // 0: empty (handles are never 0)
        Record *table;
    };

    std::size_t home(std::int32_t id) const
    {
        return static_cast<std::size_t>(
            (static_cast<std::uint64_t>(static_cast<std::uint32_t>(id)) * 0x9E3779B97F4A7C15ULL) >> shift_);
    }
    bool grow();

    Slot *slots_ = nullptr;
    std::size_t capacity_ = 0; // a power of two, or 0
    std::size_t size_ = 0;
    unsigned shift_ = 64;
};

} // namespace gridvane_core::registry
