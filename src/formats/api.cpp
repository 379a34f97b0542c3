// The exported channel format functions: pointer checks, then the readers
// and writers on the caller's stream; and what the extension interface adds
// for the formats.
#include "gridvane.h"
#include "gridvane_ext.h"

#include "binary_header.hpp"
#include "formats.hpp"
#include "growth.hpp"
#include "common/failure.hpp"
#include "messages.hpp"

#include <cerrno>

using namespace gridvane_core;

namespace gridvane_core::formats {

void tell_host_of_ascii_failure(const Status &status)
{
    switch (status.code) {
    case GRIDVANE_E_NO_DATA:
    case GRIDVANE_E_NO_RULE_LINE:
    case GRIDVANE_E_NO_DATA_AFTER_RULE: GRIDVANE_FAIL(0, 0, msg::ascii_eof); return;
    // A table out of all proportion to its input is storage refused.
    case GRIDVANE_E_OUT_OF_PROPORTION:
    case GRIDVANE_E_NO_MEMORY: GRIDVANE_FAIL(0, 0, msg::ascii_no_space); return;
    default: fail(0, EIO); return; // the input failed part way: what was read is not the whole table
    }
}

void tell_host_of_binary_failure(const Status &status)
{
    switch (status.code) {
    case GRIDVANE_E_BAD_MAGIC: GRIDVANE_FAIL(0, EIO, msg::bin_bad_magic); return;
    // A negative count describes no storage that could be obtained.
    case GRIDVANE_E_NEGATIVE_COUNT:
    case GRIDVANE_E_NO_MEMORY: GRIDVANE_FAIL(0, ENOMEM, msg::bin_no_space); return;
    default: fail(0, EIO); return; // short reads and read errors alike
    }
}

int written_for_host(const Status &status, int errno_before)
{
    if (succeeded(status)) {
        errno = errno_before;
        return 0;
    }
    return fail(-1, status.error);
}

} // namespace gridvane_core::formats

extern "C" {

GRIDVANE_API float **ChanReadAscii(FILE *stream, int32_t *countU, int32_t *countV)
{
    return guarded(static_cast<float **>(nullptr), [&]() -> float ** {
        if (stream == nullptr || countU == nullptr || countV == nullptr)
            return fail<float **>(nullptr, EINVAL);
        formats::StdioSource source(stream);
        const formats::AsciiRead read = formats::read_ascii(source, storage::Layout::separate);
        if (!succeeded(read.status)) {
            formats::tell_host_of_ascii_failure(read.status);
            return nullptr;
        }
        // The caller frees rows and index; the names have no place here.
        storage::release_names(read.names);
        *countU = static_cast<int32_t>(read.rows.width);
        *countV = static_cast<int32_t>(read.rows.count);
        return read.rows.index;
    });
}

GRIDVANE_API int32_t ChanWriteAscii(FILE *stream, float **rows, int32_t countU, int32_t countV)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        if (stream == nullptr)
            return fail(-1, EINVAL);
        formats::StdioSink sink(stream);
        const int before = errno;
        return formats::written_for_host(formats::write_ascii_checked(sink, rows, countU, countV), before);
    });
}

GRIDVANE_API float **ChanReadBin(FILE *stream, int32_t *countU, int32_t *countV)
{
    return guarded(static_cast<float **>(nullptr), [&]() -> float ** {
        if (stream == nullptr || countU == nullptr || countV == nullptr)
            return fail<float **>(nullptr, EINVAL);
        formats::StdioSource source(stream);
        const formats::BinaryRead read = formats::read_binary(source, storage::Layout::separate);
        if (!succeeded(read.status)) {
            formats::tell_host_of_binary_failure(read.status);
            return nullptr;
        }
        *countU = static_cast<int32_t>(read.rows.width);
        *countV = static_cast<int32_t>(read.rows.count);
        return read.rows.index;
    });
}

GRIDVANE_API int32_t ChanWriteBin(FILE *stream, float **rows, int32_t countU, int32_t countV)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        if (stream == nullptr)
            return fail(-1, EINVAL);
        formats::StdioSink sink(stream);
        const int before = errno;
        return formats::written_for_host(formats::write_binary_checked(sink, rows, countU, countV), before);
    });
}

GRIDVANE_API int32_t gridvane_parse_binary_header(const void *bytes, size_t size, gridvane_binary_header *header,
                                                  gridvane_status *status)
{
    return at_edge(status, int32_t(-1), [&](Status &s) -> int32_t {
        if (bytes == nullptr || header == nullptr)
            return refuse(s, GRIDVANE_E_ARGUMENT);
        formats::BinaryHeader parsed;
        s = formats::parse_header(static_cast<const unsigned char *>(bytes), size, parsed);
        *header = gridvane_binary_header{parsed.big_endian ? 1 : 0, parsed.columns, parsed.rows};
        return succeeded(s) ? 0 : -1;
    });
}

GRIDVANE_API int64_t gridvane_read_growth(int64_t factor)
{
    return factor < 0 ? formats::read_growth.load() : formats::read_growth.exchange(factor);
}

} // extern "C"
