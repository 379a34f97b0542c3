// Cells of one table by whole coordinates, clamped into the storage really
// there.
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

// The cell a pair of integer coordinates clamps to, or null when the table
// has no samples.
inline float *cell(const Record &t, std::int32_t u, std::int32_t v)
{
    const std::int64_t last_v = row_extent(t).whole - 1;
    const std::int64_t last_u = column_extent(t).whole - 1;
    if (last_v < 0 || last_u < 0)
        return nullptr;
    const std::int64_t row = std::max<std::int64_t>(std::min<std::int64_t>(v, last_v), 0);
    const std::int64_t col = std::max<std::int64_t>(std::min<std::int64_t>(u, last_u), 0);
    return &t.node.rows[row][col];
}

} // namespace gridvane_core::registry
