// The one status every internal step returns: a cause (the extension
// interface's GRIDVANE_E_ code), the error number that goes with it and,
// where there is one, the place in the input. Exported functions turn it
// into what their callers see: a gridvane_status as it is, or the 20
// functions' sentinel, errno and message from their module's table.
#pragma once

#include "gridvane_ext.h"

#include <cstdint>

namespace gridvane {

using Status = gridvane_status;

inline constexpr Status ok_status() { return Status{GRIDVANE_OK, 0, 0, 0, -1, 0, 0}; }

inline constexpr Status failure(std::int32_t code, int error = 0)
{
    return Status{code, error, 0, 0, -1, 0, 0};
}

// A failure at a place in the input.
inline constexpr Status failure_at(std::int32_t code, std::int64_t line, std::int64_t column, std::int64_t offset,
                                   int error = 0)
{
    return Status{code, error, line, column, offset, 0, 0};
}

inline constexpr Status with_counts(Status s, std::int64_t expected, std::int64_t found)
{
    s.expected = expected;
    s.found = found;
    return s;
}

inline constexpr bool succeeded(const Status &s) { return s.code == GRIDVANE_OK; }

} // namespace gridvane
