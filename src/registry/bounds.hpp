// The clamp bounds sampling uses, worked out from a record's fields and
// cached in its SampleBounds (record.hpp): sampling reads the cache, and
// the first sample after the record's fields changed works them out again.
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

// The bounds for the record as it is now: the cached ones, or fresh.
inline Clamp current_bounds(Record &t)
{
    if (!bounds_current(t))
        return refresh_bounds(t);
    const SampleBounds &b = t.bounds;
    return Clamp{b.last_u.load(std::memory_order_relaxed), b.last_v.load(std::memory_order_relaxed),
                 b.empty.load(std::memory_order_relaxed)};
}

} // namespace gridvane_core::registry
