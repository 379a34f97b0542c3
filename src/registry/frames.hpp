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
#include <vector>

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

// The rows a lookup passes: every row whose number is below the count, so
// a count of 8.5 takes row 8 too (never more rows than the storage holds).
inline std::int64_t rows_below_count(const Record &t)
{
    return static_cast<std::int64_t>(std::ceil(row_extent(t).exact));
}

// Where frame f falls, given i, the first of the rows' frames at or above
// it (count: none is): row i where it holds f exactly, else between rows
// i - 1 and i, by the 32-bit arithmetic every lookup shares (the two
// differences, then the quotient, then the row added); -1 before the first
// frame and after the last.
template <typename FrameAt> float place_frame(float f, std::int64_t i, std::int64_t count, FrameAt frame_at)
{
    if (i >= count)
        return -1.0f;
    if (frame_at(i) == f)
        return static_cast<float>(i);
    if (i == 0)
        return -1.0f;
    const float above = frame_at(i) - frame_at(i - 1);
    const float below = f - frame_at(i - 1);
    return below / above + static_cast<float>(i - 1);
}

// One lookup: the scan from the first row up (a NaN frame is never at or
// above f).
inline float row_of_frame(const Record &t, float f)
{
    if (!t.has_frame() || !(t.node.countV > 0.0f))
        return -1.0f;
    const std::int64_t slot = frame_slot(t);
    if (slot < 0)
        return -1.0f;
    float *const *rows = t.node.rows;
    const std::int64_t rows_there = rows_below_count(t);
    std::int64_t i = 0;
    while (i < rows_there && !(rows[i][slot] >= f))
        ++i;
    return place_frame(f, i, rows_there, [&](std::int64_t r) { return rows[r][slot]; });
}

// Many lookups: a copy of the frames, searched in halves. Where the frames
// rise, the first at or above f is found among them directly; otherwise
// among their running highest (NaN passed over), whose first at or above f
// is the scan's row whatever the order. Either way each lookup gives the
// scan's result.
class FrameIndex {
public:
    explicit FrameIndex(const Record &t)
    {
        const std::int64_t slot = frame_slot(t);
        if (!t.has_frame() || !(t.node.countV > 0.0f) || slot < 0)
            return;
        const auto count = static_cast<std::size_t>(rows_below_count(t));
        frames_.resize(count);
        for (std::size_t i = 0; i < count; ++i)
            frames_[i] = t.node.rows[i][slot];
        bool rising = true;
        for (std::size_t i = 0; i < count && rising; ++i)
            rising = !std::isnan(frames_[i]) && (i == 0 || frames_[i - 1] <= frames_[i]);
        if (rising)
            return;
        highest_.resize(count);
        float high = std::numeric_limits<float>::quiet_NaN();
        for (std::size_t i = 0; i < count; ++i) {
            if (std::isnan(high) || frames_[i] > high)
                high = frames_[i];
            highest_[i] = high;
        }
    }

    float row_of(float f) const
    {
        const std::vector<float> &keys = highest_.empty() ? frames_ : highest_;
        const auto at = std::partition_point(keys.begin(), keys.end(), [f](float k) { return !(k >= f); });
        return place_frame(f, at - keys.begin(), static_cast<std::int64_t>(frames_.size()),
                           [this](std::int64_t r) { return frames_[static_cast<std::size_t>(r)]; });
    }

private:
    std::vector<float> frames_;
    std::vector<float> highest_; // empty where the frames rise
};

} // namespace gridvane_core::registry
