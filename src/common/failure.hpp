// The one way an exported function fails: its message, if it has one, goes
// to the tools library's Libprintf; then the error number is set (an error
// of 0 leaves it as it was); then the failure result is returned.
#pragma once

#include "host/tools.hpp"

#include <cerrno>

namespace gridvane {

template <typename Result> Result fail(Result result, int error)
{
    if (error != 0)
        errno = error;
    return result;
}

// The same with a message, named where the compiler can check its format
// against its values (Libprintf is declared as printf is).
#define GRIDVANE_FAIL(result, error, ...) (Libprintf(__VA_ARGS__), ::gridvane::fail((result), (error)))

// Runs the body of an exported function: whatever it throws (a standard
// container out of memory, a lock the system refuses) becomes the
// function's failure result with ENOMEM, and never crosses the C
// interface.
template <typename Result, typename Body> Result guarded(Result on_throw, Body &&body) noexcept
{
    try {
        return body();
    } catch (...) {
        errno = ENOMEM;
        return on_throw;
    }
}

// Keeps the error number as it was across cleanup (closing a stream).
class KeepErrno {
public:
    KeepErrno() : saved_(errno) {}
    ~KeepErrno() { errno = saved_; }
    KeepErrno(const KeepErrno &) = delete;
    KeepErrno &operator=(const KeepErrno &) = delete;

private:
    int saved_;
};

} // namespace gridvane
