// Cell access, bilinear sampling and frame lookup on one table. Every step
// is float32 arithmetic in a fixed order (the V blends first, then U), built
// without contraction, so results are bit-identical on every platform.
#pragma once

#include "table.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace gridvane::registry {

// The last valid coordinate along an axis: the record's float count less
// one, bounded by the storage that is really there. Negative: no samples.
inline double last_coordinate(float count, std::int64_t stored)
{
    return std::min(static_cast<double>(count), static_cast<double>(stored)) - 1.0;
}

// Narrows a clamp bound to float without rounding it past the bound (only
// counts above 2^24 could round up).
inline float narrow_down(double bound)
{
    float f = static_cast<float>(bound);
    if (static_cast<double>(f) > bound)
        f = std::nextafter(f, 0.0f);
    return f;
}

// Works out the clamp bounds for the record's current counts. Each bound is
// the count less one, computed in double as the sampling rule says and
// narrowed down to a float; for a float coordinate, exceeding the float
// bound is the same as exceeding the double one.
inline void refresh_bounds(Table &t)
{
    SampleBounds &b = t.bounds;
    b.count_u = t.node.countU;
    b.count_v = t.node.countV;
    b.type = t.node.type;
    const double last_v = last_coordinate(b.count_v, t.row_count);
    const double last_u = last_coordinate(b.count_u, t.data_width());
    b.empty = !(last_v >= 0.0) || !(last_u >= 0.0) || !t.has_sample_type();
    b.last_v = b.empty ? 0.0f : narrow_down(last_v);
    b.last_u = b.empty ? 0.0f : narrow_down(last_u);
}

// Clamps a coordinate into [0, last]; false when it is NaN (which fails
// every comparison, so the check costs nothing on the common path).
inline bool clamp_coordinate(float &c, float last)
{
    if (!(c <= last)) {
        if (std::isnan(c))
            return false;
        c = last;
    }
    if (c < 0.0f)
        c = 0.0f;
    return true;
}

inline float sample(Table &t, float u, float v)
{
    const SampleBounds &b = t.bounds;
    if (b.count_u != t.node.countU || b.count_v != t.node.countV || b.type != t.node.type || b.empty) {
        refresh_bounds(t);
        if (t.bounds.empty)
            return -1.0f; // another family, or a count of zero
    }
    if (!clamp_coordinate(v, b.last_v) || !clamp_coordinate(u, b.last_u))
        return std::numeric_limits<float>::quiet_NaN();

    const auto iu = static_cast<std::int32_t>(u);
    const auto iv = static_cast<std::int32_t>(v);
    const float fu = u - static_cast<float>(iu);
    const float fv = v - static_cast<float>(iv);
    float *const *rows = t.node.rows;

    if (fu == 0.0f) {
        if (fv == 0.0f)
            return rows[iv][iu];
        return (1.0f - fv) * rows[iv][iu] + fv * rows[iv + 1][iu];
    }
    if (fv == 0.0f)
        return (1.0f - fu) * rows[iv][iu] + fu * rows[iv][iu + 1];
    const float left = (1.0f - fv) * rows[iv][iu] + fv * rows[iv + 1][iu];
    const float right = (1.0f - fv) * rows[iv][iu + 1] + fv * rows[iv + 1][iu + 1];
    return (1.0f - fu) * left + fu * right;
}

// The cell a pair of integer coordinates clamps to, or null when the table
// has no samples.
inline float *cell(const Table &t, std::int32_t u, std::int32_t v)
{
    const std::int64_t last_v = std::min(whole_count(t.node.countV), t.row_count) - 1;
    const std::int64_t last_u = std::min(whole_count(t.node.countU), t.data_width()) - 1;
    if (last_v < 0 || last_u < 0)
        return nullptr;
    const std::int64_t row = std::max<std::int64_t>(std::min<std::int64_t>(v, last_v), 0);
    const std::int64_t col = std::max<std::int64_t>(std::min<std::int64_t>(u, last_u), 0);
    return &t.node.rows[row][col];
}

// The frame slot's index, or -1 when the record's countU does not name the
// slot that is there.
inline std::int64_t frame_slot(const Table &t)
{
    const float count_u = t.node.countU;
    if (!(count_u >= 0.0f) || static_cast<double>(count_u) >= static_cast<double>(t.row_width))
        return -1;
    return static_cast<std::int64_t>(count_u);
}

inline std::int32_t frame_of_row(const Table &t, std::int32_t row)
{
    if (!t.has_frame() || row < 0 || !(static_cast<float>(row) < t.node.countV) || row >= t.row_count)
        return -1;
    const std::int64_t slot = frame_slot(t);
    if (slot < 0)
        return -1;
    const float frame = t.node.rows[row][slot];
    if (!(frame >= -2147483648.0f && frame < 2147483648.0f))
        return -1; // NaN or beyond int32
    return static_cast<std::int32_t>(frame);
}

inline float row_of_frame(const Table &t, std::int32_t frame)
{
    if (!t.has_frame() || !(t.node.countV > 0.0f))
        return -1.0f;
    const std::int64_t slot = frame_slot(t);
    if (slot < 0)
        return -1.0f;
    const float f = static_cast<float>(frame);
    float *const *rows = t.node.rows;
    std::int64_t i = 0;
    const double count_v = t.node.countV;
    while (static_cast<double>(i) < count_v && i < t.row_count && !(rows[i][slot] >= f))
        ++i;
    if (!(static_cast<double>(i) < count_v && i < t.row_count))
        return -1.0f;
    if (rows[i][slot] == f)
        return static_cast<float>(i);
    if (i == 0)
        return -1.0f;
    const float above = rows[i][slot] - rows[i - 1][slot];
    const float below = f - rows[i - 1][slot];
    return below / above + static_cast<float>(i - 1);
}

} // namespace gridvane::registry
