// Every block Gridvane hands out or keeps comes from here: plain malloc
// blocks, so callers may release reader storage with the standard free.
// Tests use the failure seam to make a chosen allocation fail.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gridvane::heap {

// A block of at least one byte (malloc(0) may legally return null), or null.
void *allocate(std::size_t bytes);
// count * size bytes, or null when the product overflows or memory runs out.
void *allocate_array(std::size_t count, std::size_t size);
// Like realloc, but failure leaves the old block untouched.
void *reallocate(void *block, std::size_t bytes);
void release(void *block);

template <typename T> T *allocate_n(std::size_t count) { return static_cast<T *>(allocate_array(count, sizeof(T))); }

// Test seam: the n-th allocation from now (1 = the next) fails; 0 disarms.
void fail_nth_allocation(std::uint64_t n);
// Allocations made since the process started, failed ones included.
std::uint64_t allocation_count();
// Blocks obtained here and not yet released here.
std::int64_t live_blocks();

// Rows of floats and their index, as handed to callers: one block for the
// index, one per row.
float **make_rows(std::int64_t row_count, std::int64_t row_width, bool zeroed);
void free_rows(float **rows, std::int64_t row_count);

// Rows the library keeps for itself may share blocks: pack k holds
// pack_rows(k, row_width) consecutive rows, a number that follows from the
// row width alone, so the first row of each pack is its block and freeing
// needs no other record. Packs start small and double up to a megabyte.
std::int64_t pack_rows(std::int64_t pack, std::int64_t row_width);
void free_packed_rows(float **rows, std::int64_t row_count, std::int64_t row_width);

} // namespace gridvane::heap
