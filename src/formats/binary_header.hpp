// The binary form's header, read in one place for the reader, the content
// decision and the extension interface: "chan" (a little-endian file) or
// "nahc" (big-endian), a reserved word, the column and row counts as signed
// 16-bit numbers in the file's byte order, 52 reserved bytes.
#pragma once

#include "common/status.hpp"
#include "gridvane_ext.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace gridvane_core::formats {

inline constexpr std::size_t header_size = GRIDVANE_BINARY_HEADER_SIZE;
inline constexpr std::int32_t binary_count_max = GRIDVANE_BINARY_COUNT_MAX;
inline constexpr char magic[] = GRIDVANE_BINARY_MAGIC;
inline constexpr char reversed_magic[] = GRIDVANE_BINARY_MAGIC_REVERSED;

// 1 for a little-endian magic, 2 for a big-endian one, 0 for neither, in the
// first four of size bytes.
inline int magic_order(const void *bytes, std::size_t size)
{
    if (size < 4)
        return 0;
    if (std::memcmp(bytes, magic, 4) == 0)
        return 1;
    return std::memcmp(bytes, reversed_magic, 4) == 0 ? 2 : 0;
}

// Up to four bytes, the first in the lowest byte, as statuses carry them.
inline std::int64_t packed_bytes(const void *bytes, std::size_t size)
{
    std::int64_t packed = 0;
    const auto *b = static_cast<const unsigned char *>(bytes);
    for (std::size_t i = 0; i < size && i < 4; ++i)
        packed |= static_cast<std::int64_t>(b[i]) << (8 * i);
    return packed;
}

struct BinaryHeader {
    bool big_endian = false;
    std::int32_t columns = 0, rows = 0;
};

// Where a row's samples begin in the file, and the bytes a row takes (at
// least 1: rows of no columns are still cut into parts).
inline std::int64_t binary_row_offset(const BinaryHeader &h, std::int64_t row)
{
    return std::int64_t{GRIDVANE_BINARY_HEADER_SIZE} + row * h.columns * std::int64_t{sizeof(float)};
}
inline std::int64_t binary_row_bytes(const BinaryHeader &h)
{
    return h.columns > 0 ? std::int64_t{h.columns} * std::int64_t{sizeof(float)} : 1;
}

// The bytes of samples a header promises.
inline std::int64_t sample_bytes(const BinaryHeader &header) { return std::int64_t{header.columns} * header.rows * 4; }

// The header in the first size bytes (the whole header when size is at
// least header_size). A status that fails: TRUNCATED_HEADER, BAD_MAGIC or
// NEGATIVE_COUNT (the counts then filled); positions count from offset.
Status parse_header(const unsigned char *bytes, std::size_t size, BinaryHeader &header, std::int64_t offset = 0);

void fill_header(char *out, std::int32_t columns, std::int32_t rows);

} // namespace gridvane_core::formats
