#include "heap.hpp"

#include "platform/memory.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>


namespace gridvane_core::heap {

namespace {
// The failure seam counts each thread's own allocations, so a test that
// fails one of its calls' allocations is not disturbed by other threads.
thread_local std::uint64_t made = 0;
thread_local std::uint64_t asked = 0; // bytes, for tests that bound a call's memory
thread_local std::uint64_t fail_at = 0;
thread_local bool fail_on = false; // every allocation from fail_at on fails
std::atomic<std::int64_t> live{0};

bool should_fail(std::size_t bytes = 0)
{
    ++made;
    asked += bytes;
    if (fail_at == 0 || made < fail_at)
        return false;
    if (made == fail_at && !fail_on)
        fail_at = 0;
    return true;
}
} // namespace

void *allocate(std::size_t bytes)
{
    if (should_fail(bytes))
        return nullptr;
    void *block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block != nullptr)
        live.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void *allocate_array(std::size_t count, std::size_t size)
{
    if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) {
        should_fail(); // counted like any other request
        return nullptr;
    }
    return allocate(count * size);
}

void *allocate_zeroed(std::size_t count, std::size_t size)
{
    if (should_fail(count * size))
        return nullptr;
    void *block = std::calloc(count == 0 || size == 0 ? 1 : count, size == 0 ? 1 : size);
    if (block != nullptr)
        live.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void *reallocate(void *block, std::size_t bytes)
{
    if (block == nullptr)
        return allocate(bytes);
    if (should_fail(bytes))
        return nullptr;
    return std::realloc(block, bytes == 0 ? 1 : bytes);
}

void release(void *block)
{
    if (block != nullptr)
        live.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

void fail_nth_allocation(std::uint64_t n, bool and_after)
{
    fail_at = n == 0 ? 0 : made + n;
    fail_on = and_after;
}

std::uint64_t allocation_count() { return made; }

std::uint64_t bytes_asked() { return asked; }

std::int64_t live_blocks() { return live.load(std::memory_order_relaxed); }

void *allocate_aligned(std::size_t bytes, std::size_t alignment)
{
    if (should_fail(bytes))
        return nullptr;
    void *block = platform::allocate_aligned(bytes, alignment);
    if (block != nullptr)
        live.fetch_add(1, std::memory_order_relaxed);
    return block;
}

} // namespace gridvane_core::heap
