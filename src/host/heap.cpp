#include "heap.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace gridvane::heap {

namespace {
std::uint64_t made = 0;
std::uint64_t fail_at = 0;
std::int64_t live = 0;

bool should_fail()
{
    ++made;
    if (fail_at != 0 && made == fail_at) {
        fail_at = 0;
        return true;
    }
    return false;
}
} // namespace

void *allocate(std::size_t bytes)
{
    if (should_fail())
        return nullptr;
    void *block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block != nullptr)
        ++live;
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

void *reallocate(void *block, std::size_t bytes)
{
    if (block == nullptr)
        return allocate(bytes);
    if (should_fail())
        return nullptr;
    return std::realloc(block, bytes == 0 ? 1 : bytes);
}

void release(void *block)
{
    if (block != nullptr)
        --live;
    std::free(block);
}

void fail_nth_allocation(std::uint64_t n) { fail_at = n == 0 ? 0 : made + n; }

std::uint64_t allocation_count() { return made; }

std::int64_t live_blocks() { return live; }

float **make_rows(std::int64_t row_count, std::int64_t row_width, bool zeroed)
{
    if (row_count < 0 || row_width < 0)
        return nullptr;
    auto rows = allocate_n<float *>(static_cast<std::size_t>(row_count));
    if (rows == nullptr)
        return nullptr;
    for (std::int64_t r = 0; r < row_count; ++r) {
        rows[r] = allocate_n<float>(static_cast<std::size_t>(row_width));
        if (rows[r] == nullptr) {
            free_rows(rows, r);
            return nullptr;
        }
        if (zeroed)
            std::memset(rows[r], 0, static_cast<std::size_t>(row_width) * sizeof(float));
    }
    return rows;
}

void free_rows(float **rows, std::int64_t row_count)
{
    if (rows == nullptr)
        return;
    for (std::int64_t r = 0; r < row_count; ++r)
        release(rows[r]);
    release(rows);
}

std::int64_t pack_rows(std::int64_t pack, std::int64_t row_width)
{
    constexpr std::int64_t first_rows = 16, largest_bytes = 1 << 20;
    const std::int64_t rows = first_rows << std::min<std::int64_t>(pack, 20);
    const std::int64_t fitting = largest_bytes / (std::max<std::int64_t>(row_width, 1) * std::int64_t{sizeof(float)});
    return std::max<std::int64_t>(1, std::min(rows, fitting));
}

void free_packed_rows(float **rows, std::int64_t row_count, std::int64_t row_width)
{
    if (rows == nullptr)
        return;
    for (std::int64_t r = 0, pack = 0; r < row_count; r += pack_rows(pack++, row_width))
        release(rows[r]);
    release(rows);
}

} // namespace gridvane::heap
