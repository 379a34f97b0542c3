// The registry's record of one table: the ArrayNode callers see, followed by
// the true size of the storage behind it. countU and countV are floats and
// cannot describe every count exactly (above 2^24 they round), so every index
// the library computes is also bounded by the counts kept here.
#pragma once

#include "gridvane.h"
#include "host/heap.hpp"

#include <cstdint>

namespace gridvane::registry {

// The clamp bounds sampling uses, worked out for one pair of record counts.
struct SampleBounds {
    float count_u = -1.0f, count_v = -1.0f; // the counts they were made for
    std::int32_t type = 0;                  // and the type
    float last_u = 0.0f, last_v = 0.0f;     // largest coordinates, as floats
    bool empty = true;                      // no sample to return
};

struct Table {
    ArrayNode node;             // must stay first: callers hold &node
    std::int64_t row_count = 0; // rows allocated
    std::int64_t row_width = 0; // floats allocated per row, frame slot included
    bool packed_rows = false;   // rows share blocks (heap::pack_rows)
    SampleBounds bounds;        // refreshed whenever the record's counts change

    static Table *of(ArrayNode *node) { return reinterpret_cast<Table *>(node); }

    bool has_frame() const { return (node.flags & ARRAY_FRAME) != 0; }
    bool has_sample_type() const { return node.type == CHAN_BIN || node.type == CHAN_ASCII; }
    std::int64_t data_width() const { return has_frame() ? row_width - 1 : row_width; }
    void free_rows()
    {
        if (packed_rows)
            heap::free_packed_rows(node.rows, row_count, row_width);
        else
            heap::free_rows(node.rows, row_count);
    }
};

// A float count as an integer, truncated toward zero; NaN and negatives give 0.
inline std::int64_t whole_count(float count)
{
    if (!(count >= 1.0f))
        return 0;
    if (count >= 2147483648.0f)
        return 2147483648LL;
    return static_cast<std::int64_t>(count);
}

} // namespace gridvane::registry
