// The one status every internal step returns: a cause (the extension
// interface's GRIDVANE_E_ code), the error number that goes with it and,
// where there is one, the place in the input. Exported functions turn it
// into what their callers see: a gridvane_status as it is, or the 20
// functions' sentinel, errno and message from their module's table.
#pragma once

#include "gridvane_ext.h"

#include <cerrno>
#include <cstdint>

namespace gridvane_core {

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

// The error number a failure carries where the system gave none: the
// input's fault (a file that changed while it was read too) is EIO, as
// the 20 functions say it; a refused argument,
// name or form EINVAL; a read stopped by its observer ECANCELED.
inline constexpr int error_of(std::int32_t code)
{
    switch (code) {
    case GRIDVANE_OK: return 0;
    case GRIDVANE_E_NO_MEMORY: return ENOMEM;
    case GRIDVANE_E_READ:
    case GRIDVANE_E_WRITE:
    case GRIDVANE_E_EMPTY:
    case GRIDVANE_E_INVALID_FORMAT:
    case GRIDVANE_E_NO_DATA:
    case GRIDVANE_E_NO_RULE_LINE:
    case GRIDVANE_E_NO_DATA_AFTER_RULE:
    case GRIDVANE_E_BAD_MAGIC:
    case GRIDVANE_E_TRUNCATED_HEADER:
    case GRIDVANE_E_TRUNCATED_SAMPLES:
    case GRIDVANE_E_NEGATIVE_COUNT:
    case GRIDVANE_E_CHANGED:
    case GRIDVANE_E_OUT_OF_PROPORTION:
    case GRIDVANE_E_AGAINST_READING: return EIO;
    case GRIDVANE_E_REFUSED:
    case GRIDVANE_E_OBSERVER: return ECANCELED;
    default: return EINVAL;
    }
}

} // namespace gridvane_core
