// The stdio calls a save makes on its stream, the same on every platform,
// through the test seam like the system calls of posix.cpp and windows.cpp.
#include "through.hpp"

namespace gridvane_core::platform {

int flush_stream(std::FILE *stream)
{
    return through<int>("fflush", [&] { return std::fflush(stream) != 0 || std::ferror(stream) != 0 ? -1 : 0; });
}

int close_stream(std::FILE *stream)
{
    return made_anyway("fclose", [&] { return std::fclose(stream); });
}

} // namespace gridvane_core::platform
