#include "platform.hpp"

#include "host/failure.hpp"

#include <cerrno>

#if defined(_WIN32)
#    include <fcntl.h>
#    include <io.h>
#endif

namespace gridvane::io {

void close_keeping_errno(std::FILE *stream)
{
    const KeepErrno keep;
    std::fclose(stream);
}

#if defined(_WIN32)

BinaryMode::BinaryMode(std::FILE *stream) : stream_(stream)
{
    std::fflush(stream_);
    previous_ = _setmode(_fileno(stream_), _O_BINARY);
}

BinaryMode::~BinaryMode()
{
    const KeepErrno keep;
    std::fflush(stream_);
    if (previous_ != -1)
        _setmode(_fileno(stream_), previous_);
}

#else

BinaryMode::BinaryMode(std::FILE *stream) : stream_(stream), previous_(0) {}
BinaryMode::~BinaryMode() = default;

#endif

} // namespace gridvane::io
