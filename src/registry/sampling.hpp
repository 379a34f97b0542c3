// Bilinear sampling of one table. Every step is float32 arithmetic in a
// fixed order (the V blends first, then U), built without contraction, so
// results are bit-identical on every platform.
#pragma once

#include "bounds.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace gridvane_core::registry {

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

} // namespace gridvane_core::registry
