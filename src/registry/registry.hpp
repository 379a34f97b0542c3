// The process-wide registry: a circular doubly linked list of tables in
// registration order (Head, Tail), a cursor (Current) left on the table the
// last lookup found, and the last handle issued. A handle index beside the
// list makes lookups independent of the number of tables.
#pragma once

#include "table.hpp"

#include <cstdint>

namespace gridvane::registry {

namespace detail {
extern ArrayNode *cursor; // Current
Table *find_beyond_cursor(std::int32_t id);
} // namespace detail

// The table with this handle, or null. Leaves Current on the result (null
// after a failed lookup), as a walk of the list from Head would. Asking again
// for the table the last lookup found costs one compare.
inline Table *find(std::int32_t id)
{
    ArrayNode *cursor = detail::cursor;
    if (cursor != nullptr && cursor->id == id)
        return Table::of(cursor);
    return detail::find_beyond_cursor(id);
}

// The table with this handle, or null, leaving Current where it is.
Table *peek(std::int32_t id);

bool empty();

// Links a new record after Tail with the next handle, flags 0 and no
// storage, and makes it Current. Null, with nothing changed, when memory
// runs out.
Table *enroll();

// Unlinks a table, releases its storage and record, and moves Current to Head.
void discard(Table *table);

ArrayNode *head();
ArrayNode *tail();
ArrayNode *current();
std::int32_t last_id();

// Test seams: drop every table (whatever its type), and move the handle
// counter, e.g. to just below the int32 limit.
void discard_all();
void set_last_id(std::int32_t id);

} // namespace gridvane::registry
