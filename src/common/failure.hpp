// The one way an exported function fails: its message, if it has one, goes
// to the tools library's Libprintf; then the error number is set (an error
// of 0 leaves it as it was); then the failure result is returned.
#pragma once

#include "host/tools.hpp"
#include "status.hpp"

#include <cerrno>
#include <cstdint>
#include <type_traits>

namespace gridvane_core {

template <typename Result> Result fail(Result result, int error)
{
    if (error != 0)
        errno = error;
    return result;
}

// The same with a message, named where the compiler can check its format
// against its values (Libprintf is declared as printf is).
#define GRIDVANE_FAIL(result, error, ...) (Libprintf(__VA_ARGS__), ::gridvane_core::fail((result), (error)))

// What a body that refuses returns: -1 where the function returns a number,
// NULL where it returns a pointer. at_edge hands its caller the failure
// result whatever the body returned, so this only has to convert.
struct Refusal {
    template <typename T>
        requires std::is_integral_v<T>
    constexpr operator T() const
    {
        return T(-1);
    }
    template <typename T> constexpr operator T *() const { return nullptr; }
};

// A refusal in one line: fills the body's status and returns,
// `if (name == nullptr) return refuse(s, GRIDVANE_E_ARGUMENT);`.
inline Refusal refuse(Status &s, const Status &failed)
{
    s = failed;
    return {};
}
inline Refusal refuse(Status &s, std::int32_t code, int error = 0) { return refuse(s, failure(code, error)); }

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

// The one exit of the extension interface's functions that can fail. The
// body fills status when it fails (it starts OK) and returns the function's
// result; on failure the caller gets the failure result, the status with an
// error number that is never 0, and errno set to it. What the body throws
// (a standard container out of memory, a lock the system refuses) is
// NO_MEMORY; observers' exceptions never get here (the observer turns them
// into its own stop).
template <typename Result, typename Body> Result at_edge(gridvane_status *out, Result failed, Body &&body) noexcept
{
    gridvane_status ignored;
    gridvane_status &s = out != nullptr ? *out : ignored;
    s = ok_status();
    Result result = failed;
    try {
        result = body(s);
    } catch (...) {
        s = failure(GRIDVANE_E_NO_MEMORY, ENOMEM);
    }
    if (succeeded(s))
        return result;
    if (s.error == 0)
        s.error = error_of(s.code);
    errno = s.error;
    return failed;
}

// The same for the functions that fill a report: it starts as a report of
// nothing read, and on failure its status is the failure's.
template <typename Result, typename Body>
Result at_edge(gridvane_report *out, Result failed, Body &&body) noexcept
{
    gridvane_report ignored;
    gridvane_report &r = out != nullptr ? *out : ignored;
    r.kind = GRIDVANE_KIND_UNKNOWN;
    r.errors = r.warnings = r.comments = 0;
    return at_edge(&r.status, failed, [&](Status &s) { return body(s, r); });
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

} // namespace gridvane_core
