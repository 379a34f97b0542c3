// The ASCII and binary channel formats on open streams and bare row storage.
// Readers hand back a row index of separately allocated rows (free-able with
// the standard free), or rows in packs when the library keeps them itself, or
// null; they never return a partial table.
#pragma once

#include "host/heap.hpp"

#include <cstdint>
#include <cstdio>
#include <string_view>

namespace gridvane::formats {

// What the ASCII reader found: the rows (a null index when it failed, after
// its message), each count rows of width floats, and whether the text had the
// table form, whose rows keep their frame number in the last slot.
struct AsciiRead {
    heap::Rows rows;
    bool table_form = false;
};

// taken: bytes a caller already read from the stream, read first. packed:
// the rows are for the library itself and come in packs (heap::Rows).
AsciiRead read_ascii(std::FILE *stream, std::string_view taken = {}, bool packed = false);
int write_ascii(std::FILE *stream, float *const *rows, std::int32_t count_u, std::int32_t count_v);

// direct: the stream is unbuffered and may be read through its descriptor.
float **read_binary(std::FILE *stream, std::int32_t &count_u, std::int32_t &count_v, bool direct = false);
// direct: the stream is a file of the caller's own, closed after the write;
// the rows may go straight to its descriptor.
int write_binary(std::FILE *stream, float *const *rows, std::int32_t count_u, std::int32_t count_v,
                 bool direct = false);

// write_binary behind the checks ChanWriteBin makes (EINVAL, nothing written).
int write_binary_checked(std::FILE *stream, float **rows, std::int32_t count_u, std::int32_t count_v, bool direct);

// The largest count the binary header's signed 16-bit fields can hold.
inline constexpr std::int32_t binary_count_max = 32767;

} // namespace gridvane::formats
