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
#include <cstring>
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

// The one NaN a sample that comes out NaN gives, whatever computed it: the
// first NaN among the cells the formula read, taken top-left, bottom-left,
// top-right, bottom-right, with its quiet bit set; where none of them is
// NaN (infinities of both signs blended), the positive quiet NaN. The
// arithmetic's own NaN cannot be the answer: which operand's NaN an addition
// keeps differs between processors, a compiler may order an addition's
// operands either way in each copy of the formula it makes, and x86 makes
// inf - inf the negative NaN where ARM makes it positive. Callers pass the
// four values they loaded, as bits: where a fraction is zero the formula
// reads one column (or row), and the cell it stands for in the other is
// the same one read again, which leaves the first NaN unchanged.
[[gnu::cold, gnu::noinline]] inline float nan_of_cells(std::uint32_t top_left, std::uint32_t bottom_left,
                                                       std::uint32_t top_right, std::uint32_t bottom_right)
{
    for (const std::uint32_t cell : {top_left, bottom_left, top_right, bottom_right})
        if ((cell & 0x7fffffffu) > 0x7f800000u)
            return std::bit_cast<float>(cell | 0x00400000u);
    return std::bit_cast<float>(0x7fc00000u);
}

// A cell's bits, read as an integer: a signalling NaN loaded into a
// floating-point register may come out quieted.
inline std::uint32_t bits_at(const float *cell)
{
    std::uint32_t bits;
    std::memcpy(&bits, cell, sizeof bits);
    return bits;
}

// The rule's NaN for the point whose cells start at (iv, iu); a zero
// fraction's neighbour is the cell itself.
[[gnu::cold, gnu::noinline]] inline float nan_at(float *const *rows, std::int32_t iv, std::int32_t iu, bool next_v,
                                                 bool next_u)
{
    const float *top = rows[iv], *bottom = rows[iv + (next_v ? 1 : 0)];
    const std::int32_t right = iu + (next_u ? 1 : 0);
    return nan_of_cells(bits_at(top + iu), bits_at(bottom + iu), bits_at(top + right), bits_at(bottom + right));
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

    // Each case checks its own result: one check where the cases meet
    // costs the common path two instructions more.
    if (fu == 0.0f) {
        const float sample = fv == 0.0f ? rows[iv][iu] : (1.0f - fv) * rows[iv][iu] + fv * rows[iv + 1][iu];
        if (std::isnan(sample)) [[unlikely]]
            return nan_at(rows, iv, iu, fv != 0.0f, false);
        return sample;
    }
    if (fv == 0.0f) {
        const float sample = (1.0f - fu) * rows[iv][iu] + fu * rows[iv][iu + 1];
        if (std::isnan(sample)) [[unlikely]]
            return nan_at(rows, iv, iu, false, true);
        return sample;
    }
    const float left = (1.0f - fv) * rows[iv][iu] + fv * rows[iv + 1][iu];
    const float right = (1.0f - fv) * rows[iv][iu + 1] + fv * rows[iv + 1][iu + 1];
    const float sample = (1.0f - fu) * left + fu * right;
    if (std::isnan(sample)) [[unlikely]]
        return nan_at(rows, iv, iu, true, true);
    return sample;
}

[[gnu::noinline, gnu::cold]] inline float sample_refreshing(Record &t, float u, float v)
{
    return interpolate(t, u, v, refresh_bounds(t));
}

// Samples at n points, u[i * u_stride] and v[i * v_stride] (a stride of 0
// repeats one coordinate, a negative one walks back), into out[i]: each
// result the bits sample() gives for the same pair. Several points at a
// time, with the vector instructions the processor has.
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
