// The exported registry, sampling and frame functions: argument checks and
// sentinels here, the work in the registry namespace.
#include "gridvane.h"
#include "gridvane_ext.h"

#include "common/status.hpp"
#include "common/failure.hpp"
#include "common/heap.hpp"

#include <algorithm>
#include "host/tools.hpp"
#include "messages.hpp"
#include "registry.hpp"
#include "cells.hpp"
#include "frames.hpp"
#include "sampling.hpp"

using namespace gridvane_core;
using registry::Record;

namespace {

// Whether n floats stride floats apart fit in one array: no array holds
// more bytes than PTRDIFF_MAX, so a larger n is no caller's real count and
// would walk past the arrays.
bool fits_an_array(size_t n, ptrdiff_t stride)
{
    if (n < 2 || stride == 0)
        return n <= PTRDIFF_MAX / sizeof(float);
    const auto step = stride < 0 ? 0 - static_cast<size_t>(stride) : static_cast<size_t>(stride);
    return step <= (PTRDIFF_MAX / sizeof(float) - 1) / (n - 1);
}

[[gnu::noinline]] float sample_after_lookup(int32_t id, float u, float v)
{
    Record *table = registry::find_uncached(id);
    return table == nullptr ? 0.0f : registry::sample(*table, u, v);
}

} // namespace

extern "C" {

GRIDVANE_API int32_t ArrayAlloc(int32_t rowCount, int32_t columnCount)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        if (rowCount < 1 || columnCount < 1)
            return GRIDVANE_FAIL(-1, 0, registry::msg::bad_counts);
        const storage::Rows rows = storage::make_rows(rowCount, columnCount);
        if (rows.index == nullptr) // not every C library's allocator says so itself
            return GRIDVANE_FAIL(-1, ENOMEM, registry::msg::no_space);
        Status status;
        const registry::Registered made = registry::register_table(CHAN_ASCII, 0, rows, {}, status);
        if (made.table == nullptr) // the record's memory, as the storage's: ENOMEM whatever the allocator said
            return made.registry_was_empty ? GRIDVANE_FAIL(-1, ENOMEM, registry::msg::no_first_node)
                                           : GRIDVANE_FAIL(-1, ENOMEM, registry::msg::no_next_node);
        return made.table->node.id;
    });
}

GRIDVANE_API int32_t ArrayFree(int32_t id) {
    return guarded(int32_t(-1), [&]() -> int32_t {
    return registry::free_table(id) ? 0 : -1;
    });
}

GRIDVANE_API ArrayNode *ArrayGetPointer(int32_t id)
{
    return guarded(static_cast<ArrayNode *>(nullptr), [&]() -> ArrayNode * {
        Record *table = registry::find(id);
        return table == nullptr ? nullptr : &table->node;
    });
}

GRIDVANE_API int32_t ArrayType(int32_t id)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        Record *table = registry::find(id);
        return table == nullptr ? -1 : table->node.type;
    });
}

GRIDVANE_API float ArrayCountU(int32_t id)
{
    return guarded(float(-1.0f), [&]() -> float {
        Record *table = registry::find(id);
        return table == nullptr ? -1.0f : table->node.countU;
    });
}

GRIDVANE_API float ArrayCountV(int32_t id)
{
    return guarded(float(-1.0f), [&]() -> float {
        Record *table = registry::find(id);
        return table == nullptr ? -1.0f : table->node.countV;
    });
}

GRIDVANE_API float **ArrayGetArray(int32_t id)
{
    return guarded(static_cast<float **>(nullptr), [&]() -> float ** {
        Record *table = registry::find(id);
        if (table == nullptr)
            return nullptr;
        if (!table->has_sample_type())
            return GRIDVANE_FAIL(static_cast<float **>(nullptr), 0, registry::msg::no_array_for_type);
        return table->node.rows;
    });
}

GRIDVANE_API float ArrayGetValue(int32_t id, float u, float v)
{
    return guarded(float(0.0f), [&]() -> float {
        // A table the thread found lately is sampled with no call at all; the
        // rest goes out of line, so the common path saves no registers for it.
        if (Record *table = registry::find_cached(id))
            return registry::sample(*table, u, v);
        return sample_after_lookup(id, u, v);
    });
}

GRIDVANE_API float ArrayGetIValue(int32_t id, int32_t u, int32_t v)
{
    return guarded(float(-1.0f), [&]() -> float {
        Record *table = registry::find(id);
        if (table == nullptr || !table->has_sample_type())
            return -1.0f;
        const float *target = registry::cell(*table, u, v);
        return target == nullptr ? -1.0f : *target;
    });
}

GRIDVANE_API float ArrayPutIValue(int32_t id, int32_t u, int32_t v, float value)
{
    return guarded(float(-1.0f), [&]() -> float {
        Record *table = registry::find(id);
        if (table == nullptr)
            return -1.0f;
        if (!table->has_sample_type())
            return GRIDVANE_FAIL(value, 0, registry::msg::no_write_for_type);
        if (float *target = registry::cell(*table, u, v))
            *target = value;
        return value;
    });
}

GRIDVANE_API int32_t ArrayGetFrame(int32_t id, int32_t row)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        Record *table = registry::find(id);
        return table == nullptr ? -1 : registry::frame_of_row(*table, row);
    });
}

GRIDVANE_API float ArrayFrameGetV(int32_t id, int32_t frame)
{
    return guarded(float(0.0f), [&]() -> float {
        Record *table = registry::find(id);
        return table == nullptr ? 0.0f : registry::row_of_frame(*table, static_cast<float>(frame));
    });
}

GRIDVANE_API int32_t gridvane_alloc(int32_t rows, int32_t columns, uint32_t flags, gridvane_status *status)
{
    return at_edge(status, int32_t(-1), [&](Status &s) -> int32_t {
        if (rows < 1 || columns < 1 || (flags & ~uint32_t{ARRAY_FRAME}) != 0)
            return refuse(s, GRIDVANE_E_ARGUMENT);
        const bool frames = (flags & ARRAY_FRAME) != 0;
        const storage::Rows storage = storage::make_rows(rows, int64_t{columns} + (frames ? 1 : 0));
        if (storage.index == nullptr)
            return refuse(s, GRIDVANE_E_NO_MEMORY);
        const Record *table = registry::register_table(CHAN_ASCII, flags, storage, {}, s).table;
        return table == nullptr ? -1 : table->node.id;
    });
}

GRIDVANE_API int32_t gridvane_extent_of(int32_t id, gridvane_extent *extent, gridvane_status *status)
{
    return at_edge(status, int32_t(-1), [&](Status &s) -> int32_t {
        Record *table = extent == nullptr ? nullptr : registry::find(id);
        if (table == nullptr)
            return refuse(s, extent == nullptr ? GRIDVANE_E_ARGUMENT : GRIDVANE_E_UNKNOWN_HANDLE);
        *extent = gridvane_extent{registry::exact_rows(*table), registry::exact_columns(*table),
                                  table->has_frame() ? 1 : 0, table->node.type};
        return 0;
    });
}

GRIDVANE_API int32_t gridvane_column_name_count(int32_t id, gridvane_status *status)
{
    return at_edge(status, int32_t(-1), [&](Status &s) -> int32_t {
        Record *table = registry::find(id);
        if (table == nullptr)
            s = failure(GRIDVANE_E_UNKNOWN_HANDLE);
        return table == nullptr ? -1 : table->names.count;
    });
}

GRIDVANE_API const char *gridvane_column_name(int32_t id, int32_t column, gridvane_status *status)
{
    return at_edge(status, static_cast<const char *>(nullptr), [&](Status &s) -> const char * {
        Record *table = registry::find(id);
        if (table == nullptr || column < 0)
            return refuse(s, table == nullptr ? GRIDVANE_E_UNKNOWN_HANDLE : GRIDVANE_E_ARGUMENT);
        return column < table->names.count ? table->names.list[column] : nullptr;
    });
}

GRIDVANE_API int32_t gridvane_sample_many(int32_t id, size_t n, const float *u, ptrdiff_t u_stride, const float *v,
                                          ptrdiff_t v_stride, float *out, gridvane_status *status)
{
    return at_edge(status, int32_t(-1), [&](Status &s) -> int32_t {
        if ((n != 0 && (u == nullptr || v == nullptr || out == nullptr)) || !fits_an_array(n, 1) ||
            !fits_an_array(n, u_stride) || !fits_an_array(n, v_stride))
            return refuse(s, GRIDVANE_E_ARGUMENT);
        Record *table = registry::find(id);
        if (table == nullptr) {
            std::fill(out, out + n, 0.0f); // as ArrayGetValue answers an unknown handle
            return refuse(s, GRIDVANE_E_UNKNOWN_HANDLE);
        }
        registry::sample_many(*table, registry::current_bounds(*table), n, u, u_stride, v, v_stride, out);
        return 0;
    });
}

GRIDVANE_API gridvane_frame_index *gridvane_frame_index_open(int32_t id, gridvane_status *status)
{
    return at_edge(status, static_cast<gridvane_frame_index *>(nullptr), [&](Status &s) -> gridvane_frame_index * {
        Record *table = registry::find(id);
        if (table == nullptr || !table->has_frame())
            return refuse(s, table == nullptr ? GRIDVANE_E_UNKNOWN_HANDLE : GRIDVANE_E_ARGUMENT);
        return reinterpret_cast<gridvane_frame_index *>(new registry::FrameIndex(*table));
    });
}

GRIDVANE_API float gridvane_frame_index_row(const gridvane_frame_index *index, double frame)
{
    return guarded(-1.0f, [&] {
        return index == nullptr ? -1.0f
                                : reinterpret_cast<const registry::FrameIndex *>(index)->row_of(static_cast<float>(frame));
    });
}

GRIDVANE_API void gridvane_frame_index_close(gridvane_frame_index *index)
{
    delete reinterpret_cast<registry::FrameIndex *>(index);
}

} // extern "C"
