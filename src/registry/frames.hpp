// The frame column of a table read from the table form: the frame of a row,
// and the fractional row at which a frame falls.
#pragma once

#include "record.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace gridvane_core::registry {

// The frame slot's index, or -1 when the record's countU does not name the
// slot that is there.
inline std::int64_t frame_slot(const Record &t)
{
    const float count_u = t.node.countU;
    if (!(count_u >= 0.0f) || static_cast<double>(count_u) >= static_cast<double>(t.storage.width))
        return -1;
    return static_cast<std::int64_t>(count_u);
}

inline std::int32_t frame_of_row(const Record &t, std::int32_t row)
{
    if (!t.has_frame() || row < 0 || !(static_cast<double>(row) < row_extent(t).exact))
        return -1;
    const std::int64_t slot = frame_slot(t);
    if (slot < 0)
        return -1;
    const float frame = t.node.rows[row][slot];
    if (!(frame >= -2147483648.0f && frame < 2147483648.0f))
        return -1; // NaN or beyond int32
    return static_cast<std::int32_t>(frame);
}

inline float row_of_frame(const Record &t, std::int32_t frame)
{
    if (!t.has_frame() || !(t.node.countV > 0.0f))
        return -1.0f;
    const std::int64_t slot = frame_slot(t);
    if (slot < 0)
        return -1.0f;
    const float f = static_cast<float>(frame);
    float *const *rows = t.node.rows;
    std::int64_t i = 0;
    const double rows_there = row_extent(t).exact;
    while (static_cast<double>(i) < rows_there && !(rows[i][slot] >= f))
        ++i;
    if (!(static_cast<double>(i) < rows_there))
        return -1.0f;
    if (rows[i][slot] == f)
        return static_cast<float>(i);
    if (i == 0)
        return -1.0f;
    const float above = rows[i][slot] - rows[i - 1][slot];
    const float below = f - rows[i - 1][slot];
    return below / above + static_cast<float>(i - 1);
}

} // namespace gridvane_core::registry
