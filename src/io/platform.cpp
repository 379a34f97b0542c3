#include "platform.hpp"

#include <cerrno>

#if defined(_WIN32)
#    include <fcntl.h>
#    include <io.h>
#endif

namespace gridvane::io {

void close_keeping_errno(std::FILE *stream)
{
    const int saved = errno;
    std::fclose(stream);
    errno = saved;
}

#if defined(_WIN32)

BinaryMode::BinaryMode(std::FILE *stream) : stream_(stream)
{
    std::fflush(stream_);
    previous_ = _setmode(_fileno(stream_), _O_BINARY);
}

BinaryMode::~BinaryMode()
{
    const int saved = errno;
    std::fflush(stream_);
    if (previous_ != -1)
        _setmode(_fileno(stream_), previous_);
    errno = saved;
}

#else

BinaryMode::BinaryMode(std::FILE *stream) : stream_(stream), previous_(0) {}
BinaryMode::~BinaryMode() = default;

#endif

} // namespace gridvane::io
