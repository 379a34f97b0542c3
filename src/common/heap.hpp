// Every block Gridvane hands out or keeps comes from here: plain malloc
// blocks, so callers may release reader storage with the standard free.
// Tests use the failure seam to make a chosen allocation fail; the tables'
// storage built from these blocks is in storage/rows.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gridvane_core::heap {

// A block of at least one byte (malloc(0) may legally return null), or null.
void *allocate(std::size_t bytes);
// count * size bytes, or null when the product overflows or memory runs out.
void *allocate_array(std::size_t count, std::size_t size);
// The same, every byte zero; the system's zero pages are not touched here.
void *allocate_zeroed(std::size_t count, std::size_t size);
// Like realloc, but failure leaves the old block untouched.
void *reallocate(void *block, std::size_t bytes);
void release(void *block);

template <typename T> T *allocate_n(std::size_t count) { return static_cast<T *>(allocate_array(count, sizeof(T))); }

// Test seam: the calling thread's n-th allocation from now (1 = the next)
// fails, and with and_after every one after it too, until disarmed; 0
// disarms. Other threads' allocations do not count.
void fail_nth_allocation(std::uint64_t n, bool and_after = false);
// Allocations the calling thread has made, failed ones included, and the
// bytes they asked for.
std::uint64_t allocation_count();
std::uint64_t bytes_asked();
// Blocks obtained here and not yet released here, by every thread.
std::int64_t live_blocks();

// A block aligned to alignment (a power of two, a multiple of the pointer
// size) that free releases, or null: for memory the system may back with
// huge pages.
void *allocate_aligned(std::size_t bytes, std::size_t alignment);

} // namespace gridvane_core::heap
