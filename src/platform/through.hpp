// How each system call of a platform file passes the test seam first: a
// failure or an interruption the seam asks for instead of the call, or the
// call not made and reported done; a shortened transfer is the caller's to
// make, with shortened(). For the platform files only.
#pragma once

#include "system.hpp"

#include <cerrno>
#include <cstddef>

namespace gridvane_core::platform {

template <typename Result, typename Real> Result through(const char *name, Real real, bool *shorten = nullptr)
{
    int error = 0;
    switch (seam::next(name, error)) {
    case seam::Act::fail: errno = error; return Result(-1);
    case seam::Act::interrupt: errno = EINTR; return Result(-1);
    case seam::Act::pretend: return Result(0);
    case seam::Act::shorten:
        if (shorten != nullptr)
            *shorten = true;
        break;
    case seam::Act::none: break;
    }
    return real();
}

// A call that is made whatever the seam says (closing gives the descriptor
// back in any case); a failure or an interruption the seam asks for is
// reported after it.
template <typename Real> int made_anyway(const char *name, Real real)
{
    int error = 0;
    const seam::Act act = seam::next(name, error);
    const int rc = real();
    if (act == seam::Act::fail || act == seam::Act::interrupt) {
        errno = act == seam::Act::fail ? error : EINTR;
        return -1;
    }
    return act == seam::Act::pretend ? 0 : rc;
}

// Whether the seam refuses a call that answers a pointer (errno set).
inline bool refused(const char *name)
{
    int error = 0;
    const seam::Act act = seam::next(name, error);
    if (act != seam::Act::fail && act != seam::Act::interrupt)
        return false;
    errno = act == seam::Act::fail ? error : EINTR;
    return true;
}

inline std::size_t shortened(std::size_t size, bool shorten) { return shorten && size > 1 ? size / 2 : size; }

// Tells the seam's recorder what a call did, when it succeeded; returns
// its result.
template <typename Result>
Result noted(Result result, const char *call, int fd, const char *path = nullptr, const char *path2 = nullptr,
             const void *data = nullptr)
{
    if (result >= 0)
        seam::note(seam::Note{call, fd, path, path2, data, data != nullptr ? static_cast<std::size_t>(result) : 0});
    return result;
}

} // namespace gridvane_core::platform
