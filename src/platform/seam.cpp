// The test seam every system call of system.hpp passes: per thread, so that
// a test that arms it is not disturbed by other threads.
#include "system.hpp"

#include <cstring>

namespace gridvane_core::platform::seam {

namespace {
thread_local std::uint64_t counted = 0, armed_at = 0;
thread_local Act armed_act = Act::none;
thread_local bool armed_on = false; // every call from armed_at on
thread_local int armed_error = 0;
constexpr std::size_t log_room = 512;
thread_local const char *logged[log_room];
thread_local std::size_t log_size = 0;
thread_local bool logging = false;
thread_local const char *named = nullptr;
thread_local Act named_act = Act::none;
thread_local int named_error = 0;
constexpr std::size_t always_room = 8;
thread_local const char *always_names[always_room];
thread_local Act always_acts[always_room];
thread_local int always_errors[always_room];
thread_local std::size_t always_count = 0;
} // namespace

void arm_named(const char *name, Act act, int error)
{
    named = name;
    named_act = act;
    named_error = error;
}

void always(const char *name, Act act, int error)
{
    std::size_t i = 0;
    while (i < always_count && std::strcmp(always_names[i], name) != 0)
        ++i;
    if (i == always_room)
        return;
    always_names[i] = name;
    always_acts[i] = act;
    always_errors[i] = error;
    always_count = i == always_count ? i + 1 : always_count;
}

void arm(std::uint64_t n, Act act, int error, bool and_after)
{
    armed_at = n == 0 ? 0 : counted + n;
    armed_act = act;
    armed_error = error;
    armed_on = and_after;
}

void start_log()
{
    log_size = 0;
    logging = true;
}

std::size_t stop_log(const char **names, std::size_t room)
{
    logging = false;
    const std::size_t n = log_size < room ? log_size : room;
    for (std::size_t i = 0; i < n; ++i)
        names[i] = logged[i];
    return log_size;
}

Act next(const char *name, int &error)
{
    ++counted;
    if (logging && log_size < log_room)
        logged[log_size++] = name;
    for (std::size_t i = 0; i < always_count; ++i)
        if (always_acts[i] != Act::none && std::strcmp(always_names[i], name) == 0) {
            error = always_errors[i];
            return always_acts[i];
        }
    if (named != nullptr && std::strcmp(named, name) == 0) {
        named = nullptr;
        error = named_error;
        return named_act;
    }
    if (armed_at == 0 || counted < armed_at)
        return Act::none;
    if (!armed_on)
        armed_at = 0;
    error = armed_error;
    return armed_act;
}

namespace {
thread_local Recorder recorder = nullptr;
thread_local void *recorder_context = nullptr;
} // namespace

void record(Recorder r, void *context)
{
    recorder = r;
    recorder_context = context;
}

void note(const Note &n)
{
    if (recorder != nullptr)
        recorder(n, recorder_context);
}

} // namespace gridvane_core::platform::seam
