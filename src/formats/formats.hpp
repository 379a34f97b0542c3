// The ASCII and binary channel formats on sources and sinks of bytes and on
// bare row storage.
// Readers hand back a row index of separately allocated rows (free-able with
// the standard free), or rows in packs when the library keeps them itself, or
// null; they never return a partial table.
#pragma once

#include "host/heap.hpp"
#include "stream.hpp"

#include <cstdint>

namespace gridvane::formats {

// What the ASCII reader found: the rows (a null index when it failed, after
// its message), each count rows of width floats, and whether the text had the
// table form, whose rows keep their frame number in the last slot.
struct AsciiRead {
    heap::Rows rows;
    bool table_form = false;
};

// packed: the rows are for the library itself and come in packs
// (heap::Rows).
AsciiRead read_ascii(Source &source, bool packed = false);
int write_ascii(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v);

float **read_binary(Source &source, std::int32_t &count_u, std::int32_t &count_v, bool packed = false);
int write_binary(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v);

// The writers behind the checks ChanWriteAscii and ChanWriteBin make
// (EINVAL, nothing written).
int write_ascii_checked(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v);
int write_binary_checked(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v);

// The largest count the binary header's signed 16-bit fields can hold.
inline constexpr std::int32_t binary_count_max = 32767;

} // namespace gridvane::formats
