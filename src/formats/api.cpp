// The exported channel format functions: pointer checks, then the readers
// and writers.
#include "gridvane.h"

#include "formats.hpp"

#include <cerrno>

using namespace gridvane;

namespace {

template <typename Result> Result refuse(Result result)
{
    errno = EINVAL;
    return result;
}

bool rows_missing(float **rows, int32_t count_u, int32_t count_v)
{
    return rows == nullptr && count_u > 0 && count_v > 0;
}

} // namespace

int formats::write_binary_checked(std::FILE *stream, float **rows, std::int32_t count_u, std::int32_t count_v,
                                  bool direct)
{
    // The header's 16-bit counts could not describe a larger table.
    if (stream == nullptr || rows_missing(rows, count_u, count_v) || count_u < 0 || count_u > binary_count_max ||
        count_v < 0 || count_v > binary_count_max)
        return refuse(-1);
    return write_binary(stream, rows, count_u, count_v, direct);
}

extern "C" {

GRIDVANE_API float **ChanReadAscii(FILE *stream, int32_t *countU, int32_t *countV)
{
    if (stream == nullptr || countU == nullptr || countV == nullptr)
        return refuse<float **>(nullptr);
    const formats::AsciiRead read = formats::read_ascii(stream);
    if (read.rows.index != nullptr) {
        *countU = static_cast<int32_t>(read.rows.width);
        *countV = static_cast<int32_t>(read.rows.count);
    }
    return read.rows.index;
}

GRIDVANE_API int32_t ChanWriteAscii(FILE *stream, float **rows, int32_t countU, int32_t countV)
{
    if (stream == nullptr || rows_missing(rows, countU, countV))
        return refuse(-1);
    return formats::write_ascii(stream, rows, countU, countV);
}

GRIDVANE_API float **ChanReadBin(FILE *stream, int32_t *countU, int32_t *countV)
{
    if (stream == nullptr || countU == nullptr || countV == nullptr)
        return refuse<float **>(nullptr);
    return formats::read_binary(stream, *countU, *countV);
}

GRIDVANE_API int32_t ChanWriteBin(FILE *stream, float **rows, int32_t countU, int32_t countV)
{
    return formats::write_binary_checked(stream, rows, countU, countV, false);
}

} // extern "C"
