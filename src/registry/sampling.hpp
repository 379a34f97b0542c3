// Cell access, bilinear sampling and frame lookup on one table. Every step
// is float32 arithmetic in a fixed order (the V blends first, then U), built
// without contraction, so results are bit-identical on every platform.
#pragma once

#include "record.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace gridvane::registry {

// Narrows a clamp bound to float without rounding it past the bound (only
// counts above 2^24 could round up).
inline float narrow_down(double bound)
{
    float f = static_cast<float>(bound);
    if (static_cast<double>(f) > bound)
        f = std::nextafter(f, 0.0f);
    return f;
}

// The clamp bounds for a table's record as it is now. Each bound is the
// count less one, computed in double as the sampling rule says and narrowed
// down to a float; for a float coordinate, exceeding the float bound is the
// same as exceeding the double one.
struct Clamp {
    float last_u, last_v;
    bool empty; // no sample to return: another family, or a count below 1
};

inline Clamp bounds_for(const Record &t)
{
    const double last_v = row_extent(t).exact - 1.0;
    const double last_u = column_extent(t).exact - 1.0;
    const bool empty = !(last_v >= 0.0) || !(last_u >= 0.0) || !t.has_sample_type();
    return Clamp{empty ? 0.0f : narrow_down(last_u), empty ? 0.0f : narrow_down(last_v), empty};
}

inline std::uint32_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }

// Stores bounds as the cached ones for the record's present fields. The
// counts go last, with release: a thread that sees them match sees the
// bounds that belong to them.
inline void publish_bounds(Record &t, const Clamp &c)
{
    SampleBounds &b = t.bounds;
    b.last_u.store(c.last_u, std::memory_order_relaxed);
    b.last_v.store(c.last_v, std::memory_order_relaxed);
    b.empty.store(c.empty, std::memory_order_relaxed);
    b.type.store(t.node.type, std::memory_order_release);
    b.flags.store(t.node.flags, std::memory_order_release);
    b.count_u_bits.store(bits_of(t.node.countU), std::memory_order_release);
    b.count_v_bits.store(bits_of(t.node.countV), std::memory_order_release);
}

// Works the bounds out afresh and caches them again, by one thread at a time
// (another that finds the cache being rewritten uses its own result).
[[gnu::noinline, gnu::cold]] inline Clamp refresh_bounds(Record &t)
{
    const Clamp fresh = bounds_for(t);
    if (!t.bounds.updating.test_and_set(std::memory_order_acquire)) {
        publish_bounds(t, fresh);
        t.bounds.updating.clear(std::memory_order_release);
    }
    return fresh;
}

// Whether the cached bounds belong to the record's present fields.
[[gnu::always_inline]] inline bool bounds_current(const Record &t)
{
    const SampleBounds &b = t.bounds;
    return b.count_u_bits.load(std::memory_order_acquire) == bits_of(t.node.countU) &&
           b.count_v_bits.load(std::memory_order_acquire) == bits_of(t.node.countV) &&
           b.type.load(std::memory_order_acquire) == t.node.type &&
           b.flags.load(std::memory_order_acquire) == t.node.flags;
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

// Clamps the coordinates into the bounds and interpolates.
[[gnu::always_inline]] inline float interpolate(const Record &t, float u, float v, const Clamp &b)
{
    if (b.empty)
        return -1.0f; // another family, or a count of zero
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

[[gnu::noinline, gnu::cold]] inline float sample_refreshing(Record &t, float u, float v)
{
    return interpolate(t, u, v, refresh_bounds(t));
}

// The bounds for the record as it is now: the cached ones, or fresh.
inline Clamp current_bounds(Record &t)
{
    if (!bounds_current(t))
        return refresh_bounds(t);
    const SampleBounds &b = t.bounds;
    return Clamp{b.last_u.load(std::memory_order_relaxed), b.last_v.load(std::memory_order_relaxed),
                 b.empty.load(std::memory_order_relaxed)};
}

// Samples at n points, u[i * u_stride] and v[i * v_stride] (a stride of 0
// repeats one coordinate), into out[i]: each result the bits sample() gives
// for the same pair. Several points at a time, with the vector
// instructions the processor has.
void sample_many(const Record &t, const Clamp &bounds, std::size_t n, const float *u, std::ptrdiff_t u_stride,
                 const float *v, std::ptrdiff_t v_stride, float *out);
// The same with AVX2 allowed or not, whatever the processor has (tests).
void sample_many_using(bool avx2, const Record &t, const Clamp &bounds, std::size_t n, const float *u,
                       std::ptrdiff_t u_stride, const float *v, std::ptrdiff_t v_stride, float *out);

// The common path makes no call: when the record has changed since the
// bounds were cached, the whole sample goes out of line.
[[gnu::noinline]] inline float sample(Record &t, float u, float v)
{
    if (!bounds_current(t))
        return sample_refreshing(t, u, v);
    const SampleBounds &b = t.bounds;
    return interpolate(t, u, v,
                       Clamp{b.last_u.load(std::memory_order_relaxed), b.last_v.load(std::memory_order_relaxed),
                             b.empty.load(std::memory_order_relaxed)});
}

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

} // namespace gridvane::registry
