#include "handle_index.hpp"

#include "common/heap.hpp"

namespace gridvane_core::registry {

Record *HandleIndex::find(std::int32_t id) const
{
    if (capacity_ == 0)
        return nullptr;
    const std::size_t mask = capacity_ - 1;
    for (std::size_t i = home(id);; i = (i + 1) & mask) {
        if (slots_[i].id == id)
            return slots_[i].table;
        if (slots_[i].id == 0)
            return nullptr;
    }
}

bool HandleIndex::grow()
{
    const std::size_t new_capacity = capacity_ == 0 ? 16 : capacity_ * 2;
    auto fresh = heap::allocate_n<Slot>(new_capacity);
    if (fresh == nullptr)
        return false;
    for (std::size_t i = 0; i < new_capacity; ++i)
        fresh[i] = Slot{0, nullptr};

    Slot *old = slots_;
    const std::size_t old_capacity = capacity_;
    slots_ = fresh;
    capacity_ = new_capacity;
    shift_ = 64;
    for (std::size_t c = new_capacity; c > 1; c >>= 1)
        --shift_;
    const std::size_t mask = capacity_ - 1;
    for (std::size_t j = 0; j < old_capacity; ++j) {
        if (old[j].id == 0)
            continue;
        std::size_t i = home(old[j].id);
        while (slots_[i].id != 0)
            i = (i + 1) & mask;
        slots_[i] = old[j];
    }
    heap::release(old);
    return true;
}

bool HandleIndex::insert(std::int32_t id, Record *table)
{
    // Keep the load at most one half: probes stay short.
    if ((size_ + 1) * 2 > capacity_ && !grow())
        return false;
    const std::size_t mask = capacity_ - 1;
    std::size_t i = home(id);
    while (slots_[i].id != 0 && slots_[i].id != id)
        i = (i + 1) & mask;
    if (slots_[i].id == 0)
        ++size_;
    slots_[i] = Slot{id, table};
    return true;
}

void HandleIndex::erase(std::int32_t id)
{
    if (capacity_ == 0)
        return;
    const std::size_t mask = capacity_ - 1;
    std::size_t hole = home(id);
    while (slots_[hole].id != id) {
        if (slots_[hole].id == 0)
            return;
        hole = (hole + 1) & mask;
    }
    // Shift later members of the cluster back so that no probe meets a gap
    // before reaching its key.
    for (std::size_t next = (hole + 1) & mask; slots_[next].id != 0; next = (next + 1) & mask) {
        const std::size_t want = home(slots_[next].id);
        const bool movable = hole <= next ? (want <= hole || want > next) : (want <= hole && want > next);
        if (movable) {
            slots_[hole] = slots_[next];
            hole = next;
        }
    }
    slots_[hole] = Slot{0, nullptr};
    --size_;
    if (size_ == 0)
        clear();
}

void HandleIndex::clear()
{
    heap::release(slots_);
    slots_ = nullptr;
    capacity_ = 0;
    size_ = 0;
    shift_ = 64;
}

} // namespace gridvane_core::registry
