// The exported channel format functions: pointer checks, then the readers
// and writers on the caller's stream.
#include "gridvane.h"

#include "formats.hpp"
#include "host/failure.hpp"

#include <cerrno>

using namespace gridvane;

namespace {

bool rows_missing(float *const *rows, int32_t count_u, int32_t count_v)
{
    return rows == nullptr && count_u > 0 && count_v > 0;
}

} // namespace

int formats::write_ascii_checked(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v)
{
    if (rows_missing(rows, count_u, count_v))
        return fail(-1, EINVAL);
    return write_ascii(sink, rows, count_u, count_v);
}

int formats::write_binary_checked(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v)
{
    // The header's 16-bit counts could not describe a larger table.
    if (rows_missing(rows, count_u, count_v) || count_u < 0 || count_u > binary_count_max || count_v < 0 ||
        count_v > binary_count_max)
        return fail(-1, EINVAL);
    return write_binary(sink, rows, count_u, count_v);
}

extern "C" {

GRIDVANE_API float **ChanReadAscii(FILE *stream, int32_t *countU, int32_t *countV)
{
    if (stream == nullptr || countU == nullptr || countV == nullptr)
        return fail<float **>(nullptr, EINVAL);
    formats::StdioSource source(stream);
    const formats::AsciiRead read = formats::read_ascii(source);
    if (read.rows.index != nullptr) {
        *countU = static_cast<int32_t>(read.rows.width);
        *countV = static_cast<int32_t>(read.rows.count);
    }
    return read.rows.index;
}

GRIDVANE_API int32_t ChanWriteAscii(FILE *stream, float **rows, int32_t countU, int32_t countV)
{
    if (stream == nullptr)
        return fail(-1, EINVAL);
    formats::StdioSink sink(stream);
    return formats::write_ascii_checked(sink, rows, countU, countV);
}

GRIDVANE_API float **ChanReadBin(FILE *stream, int32_t *countU, int32_t *countV)
{
    if (stream == nullptr || countU == nullptr || countV == nullptr)
        return fail<float **>(nullptr, EINVAL);
    formats::StdioSource source(stream);
    return formats::read_binary(source, *countU, *countV);
}

GRIDVANE_API int32_t ChanWriteBin(FILE *stream, float **rows, int32_t countU, int32_t countV)
{
    if (stream == nullptr)
        return fail(-1, EINVAL);
    formats::StdioSink sink(stream);
    return formats::write_binary_checked(sink, rows, countU, countV);
}

} // extern "C"
