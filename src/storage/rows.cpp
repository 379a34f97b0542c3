#include "rows.hpp"

#include "common/heap.hpp"
#include "platform/memory.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace gridvane_core::storage {

using heap::allocate_n;
using heap::allocate;
using heap::allocate_zeroed;
using heap::release;

Rows make_rows(std::int64_t count, std::int64_t width)
{
    Rows rows{nullptr, count, width, Layout::block};
    if (count < 0 || width < 0 || (width > 0 && static_cast<std::uint64_t>(count) > SIZE_MAX / static_cast<std::uint64_t>(width)))
        return rows; // or more samples than the address space counts
    // calloc asks the system for the whole size at once: more than the
    // machine can hold fails here, and the zero pages come untouched.
    float *block = count == 0 ? nullptr
                              : static_cast<float *>(allocate_zeroed(static_cast<std::size_t>(count) *
                                                                         static_cast<std::size_t>(width > 0 ? width : 1),
                                                                     sizeof(float)));
    if (count != 0 && block == nullptr)
        return rows;
    rows.index = allocate_n<float *>(static_cast<std::size_t>(count));
    if (rows.index == nullptr) {
        release(block);
        return rows;
    }
    for (std::int64_t r = 0; r < count; ++r)
        rows.index[r] = block + r * width;
    return rows;
}

namespace {
constexpr std::int64_t largest_pack_bytes = 2 << 20; // one huge page on x86-64
} // namespace

std::int64_t pack_rows(std::int64_t pack, std::int64_t width)
{
    // 16 rows, and no more than 64 KB, doubling with each pack up to two
    // megabytes: a file must show the rows of one pack before the next,
    // larger one is asked for, so a header that promises wide rows it does
    // not have costs a small first pack, not the largest.
    constexpr std::int64_t first_rows = 16, first_bytes = 1 << 16;
    const std::int64_t rows = first_rows << std::min<std::int64_t>(pack, 20);
    const std::int64_t bytes = std::min(first_bytes << std::min<std::int64_t>(pack, 20), largest_pack_bytes);
    const std::int64_t fitting = bytes / (std::max<std::int64_t>(width, 1) * std::int64_t{sizeof(float)});
    return std::max<std::int64_t>(1, std::min(rows, fitting));
}

float *allocate_pack(std::int64_t rows, std::int64_t width)
{
    const auto count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(width);
    // A pack of the largest size (whole rows, so a little under it) gets
    // whole huge pages, where the system has them.
    constexpr auto huge = static_cast<std::size_t>(largest_pack_bytes);
    if (count * sizeof(float) > huge / 2 && platform::has_huge_pages()) {
        const std::size_t bytes = (count * sizeof(float) + huge - 1) / huge * huge;
        void *block = heap::allocate_aligned(bytes, huge);
        if (block != nullptr)
            platform::advise_huge_pages(block, bytes);
        return static_cast<float *>(block);
    }
    return allocate_n<float>(count);
}

float *allocate_block(std::int64_t count)
{
    const auto bytes = static_cast<std::size_t>(count) * sizeof(float);
    auto *block = allocate_n<float>(static_cast<std::size_t>(count));
    constexpr auto huge = static_cast<std::uintptr_t>(largest_pack_bytes);
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + huge - 1) / huge * huge, end = (start + bytes) / huge * huge;
    if (block != nullptr && end > first)
        platform::advise_huge_pages(reinterpret_cast<void *>(first), end - first);
    return block;
}

void release_row_blocks(float *const *index, std::int64_t count, std::int64_t width, Layout layout)
{
    if (layout == Layout::block) {
        if (count > 0)
            release(index[0]);
        return;
    }
    const bool packed = layout == Layout::packs;
    for (std::int64_t r = 0, pack = 0; r < count; r += packed ? pack_rows(pack++, width) : 1)
        release(index[r]);
}

void release_rows(const Rows &rows)
{
    if (rows.index == nullptr)
        return;
    if (rows.layout == Layout::parts) {
        std::int64_t first = 0;
        for (std::int32_t p = 0; p < rows.parts; ++p) {
            release_row_blocks(rows.index + first, rows.part_rows[p], rows.width, Layout::packs);
            first += rows.part_rows[p];
        }
        release(rows.part_rows);
    } else {
        release_row_blocks(rows.index, rows.count, rows.width, rows.layout);
    }
    release(rows.index);
}

Names make_names(const char *const *texts, const std::size_t *lengths, std::int32_t count)
{
    if (count <= 0)
        return {};
    std::size_t bytes = static_cast<std::size_t>(count) * sizeof(char *);
    for (std::int32_t i = 0; i < count; ++i)
        bytes += (lengths != nullptr ? lengths[i] : std::strlen(texts[i])) + 1;
    auto *block = static_cast<char *>(allocate(bytes));
    if (block == nullptr)
        return {};
    auto **list = reinterpret_cast<char **>(block);
    char *text = block + static_cast<std::size_t>(count) * sizeof(char *);
    for (std::int32_t i = 0; i < count; ++i) {
        const std::size_t n = lengths != nullptr ? lengths[i] : std::strlen(texts[i]);
        std::memcpy(text, texts[i], n);
        text[n] = '\0';
        list[i] = text;
        text += n + 1;
    }
    return Names{list, count};
}

void release_names(const Names &names) { release(names.list); }

} // namespace gridvane_core::storage
