// The registry's record of one table: the ArrayNode callers see, followed by
// the true size of the storage behind it. countU and countV are floats and
// cannot describe every count exactly (above 2^24 they round), and a caller
// may edit them, so every index the library computes is also bounded by the
// storage kept here.
#pragma once

#include "gridvane.h"
#include "common/heap.hpp"
#include "storage/rows.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace gridvane_core::registry {

// The clamp bounds sampling uses, worked out for one set of record fields.
// Threads sampling the same table read them at once, so the fields are
// atomics (relaxed: plain loads and stores on the targets we build for).
struct SampleBounds {
    std::atomic<std::uint32_t> count_u_bits{0}, count_v_bits{0}; // the counts they were made for
    std::atomic<std::int32_t> type{0};                            // the type
    std::atomic<std::uint32_t> flags{0};                          // and the flags (the frame slot)
    std::atomic<float> last_u{0.0f}, last_v{0.0f};                // largest coordinates
    std::atomic<bool> empty{true};                                // no sample to return
    std::atomic_flag updating;                                    // one thread rewrites them at a time
};

// Each record has cache lines of its own: a thread that registers, frees or
// edits one table never writes a line that another thread's samples of
// another table read.
struct alignas(64) Record {
    ArrayNode node; // must stay first: callers hold &node
    storage::Rows storage;
    storage::Names names; // the column names, where the table has them
    // Which registration this record holds now: never 0 while registered, 0
    // once freed. Records are reused, never returned to the heap while the
    // library runs, so a thread's lookup cache may read this field of any
    // record it once found and so tell whether it still holds that table.
    std::atomic<std::uint64_t> serial{0};
    SampleBounds bounds; // refreshed whenever the record's counts change

    static Record *of(ArrayNode *node) { return reinterpret_cast<Record *>(node); }

    bool has_frame() const { return (node.flags & ARRAY_FRAME) != 0; }
    bool has_sample_type() const { return node.type == CHAN_BIN || node.type == CHAN_ASCII; }
    std::int64_t data_width() const { return has_frame() ? storage.width - 1 : storage.width; }
};

// A float count truncated toward zero, NaN as 0, saturated to int32's range.
inline std::int64_t truncated_count(float count)
{
    if (!(count == count))
        return 0;
    if (count >= 2147483648.0f)
        return INT32_MAX;
    if (count <= -2147483648.0f)
        return INT32_MIN;
    return static_cast<std::int64_t>(count);
}

// How far an operation may reach along one axis: the record's count bounded
// by the storage really there. `whole` is truncated toward zero (cells,
// frames, writers; below 1 there is nothing to reach); `exact` keeps a
// fractional count for the sampling clamp.
struct Extent {
    double exact;
    std::int64_t whole;
};

inline Extent extent(float count, std::int64_t stored)
{
    return Extent{std::min(static_cast<double>(count), static_cast<double>(stored)),
                  std::min(truncated_count(count), stored)};
}

inline Extent row_extent(const Record &t) { return extent(t.node.countV, t.storage.count); }
inline Extent column_extent(const Record &t) { return extent(t.node.countU, t.data_width()); }

// A count as a whole number for callers who need it exact: the storage's
// own where the record's float is the one nearest to it (as the library
// sets it), else the record's count bounded by the storage.
inline std::int64_t exact_count(float count, std::int64_t stored)
{
    return count == static_cast<float>(stored) ? stored : std::max<std::int64_t>(0, extent(count, stored).whole);
}
inline std::int64_t exact_rows(const Record &t) { return exact_count(t.node.countV, t.storage.count); }
inline std::int64_t exact_columns(const Record &t) { return exact_count(t.node.countU, t.data_width()); }

} // namespace gridvane_core::registry
