// Shared pieces of the fuzz harnesses: memory streams over the input, and
// the round-trip property every harness checks: what reads successfully
// writes back and reads again to the same table.
#pragma once

#include "gridvane.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include <sys/stat.h>

namespace gvfuzz {

// A file in a folder of this process's own under the temporary folder,
// which goes when the process ends.
inline std::string scratch_file(const std::string &name)
{
    static const std::string dir = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/gridvane-fuzz-XXXXXX";
        const std::string made = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string(".");
        static std::string kept = made;
        std::atexit([] {
            const std::string command = "rm -rf '" + kept + "'";
            if (kept != ".")
                (void)!std::system(command.c_str());
        });
        return made;
    }();
    return dir + "/" + name;
}

inline void write_file(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    const bool written = f != nullptr && (size == 0 || std::fwrite(data, 1, size, f) == size);
    if (f == nullptr || std::fclose(f) != 0 || !written) {
        std::perror(path.c_str()); // an input never written would pass unread
        std::abort();
    }
}

// A read stream over the bytes (an empty input still gives a stream).
inline FILE *input_stream(const uint8_t *data, size_t size)
{
    if (size == 0)
        return std::tmpfile();
    return fmemopen(const_cast<uint8_t *>(data), size, "rb");
}

[[noreturn]] inline void property_failed(const char *what)
{
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
}

// Bit-identical, or for text (which keeps no NaN payload) both NaN with the
// same sign.
inline bool same_value(float a, float b, bool text)
{
    if (text && std::isnan(a) && std::isnan(b))
        return std::signbit(a) == std::signbit(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline bool same_table(float *const *a, float *const *b, int32_t count_u, int32_t count_v, bool text)
{
    for (int32_t r = 0; r < count_v; ++r)
        for (int32_t c = 0; c < count_u; ++c)
            if (!same_value(a[r][c], b[r][c], text))
                return false;
    return true;
}

inline void free_rows(float **rows, int32_t count_v)
{
    for (int32_t r = 0; r < count_v; ++r)
        std::free(rows[r]);
    std::free(rows);
}

// Writes rows in one format to memory and reads them back with the same
// format's reader; aborts unless the table comes back the same.
inline void check_round_trip(float **rows, int32_t count_u, int32_t count_v, bool binary)
{
    char *buffer = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&buffer, &length);
    const int32_t written =
        binary ? ChanWriteBin(out, rows, count_u, count_v) : ChanWriteAscii(out, rows, count_u, count_v);
    std::fclose(out);
    if (written != 0)
        property_failed("writing a table that was read");
    FILE *in = input_stream(reinterpret_cast<const uint8_t *>(buffer), length);
    int32_t u = -1, v = -1;
    float **again = binary ? ChanReadBin(in, &u, &v) : ChanReadAscii(in, &u, &v);
    std::fclose(in);
    std::free(buffer);
    if (again == nullptr || u != count_u || v != count_v)
        property_failed("reading back a written table");
    if (!same_table(rows, again, count_u, count_v, !binary))
        property_failed("samples changed in a round trip");
    free_rows(again, v);
}

// One of the bare readers on arbitrary bytes; what it reads must survive a
// round trip through the matching writer.
inline void check_reader(const uint8_t *data, size_t size, bool binary)
{
    FILE *in = input_stream(data, size);
    int32_t count_u = 0, count_v = 0;
    float **rows = binary ? ChanReadBin(in, &count_u, &count_v) : ChanReadAscii(in, &count_u, &count_v);
    std::fclose(in);
    if (rows == nullptr)
        return;
    // Text tables always have a sample; binary counts fit the header.
    if (binary ? (count_u < 0 || count_v < 0 || count_u > 32767 || count_v > 32767) : (count_u < 1 || count_v < 1))
        property_failed("counts a table cannot have");
    check_round_trip(rows, count_u, count_v, binary);
    free_rows(rows, count_v);
}

} // namespace gvfuzz
