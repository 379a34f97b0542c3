// The binary channel format: a 64-byte header ("chan" or, byte-reversed,
// "nahc"; a reserved word; 16-bit column and row counts; 52 reserved bytes)
// and the samples row by row. The reader takes exactly the bytes the header
// describes, a row per read; the writer always writes little-endian.
#include "formats.hpp"
#include "messages.hpp"
#include "stream_output.hpp"

#include "host/heap.hpp"
#include "host/tools.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

namespace gridvane::formats {

namespace {

constexpr std::size_t header_size = 64;
constexpr std::size_t staging_bytes = 1 << 20;
constexpr unsigned char magic[4] = {'c', 'h', 'a', 'n'};
constexpr unsigned char reversed_magic[4] = {'n', 'a', 'h', 'c'};

// Reverses the bytes of each 4-byte word in place (any alignment).
void reverse_words(void *data, std::size_t count)
{
    auto *bytes = static_cast<unsigned char *>(data);
    for (std::size_t i = 0; i < count; ++i, bytes += 4) {
        std::uint32_t word;
        std::memcpy(&word, bytes, 4);
        word = __builtin_bswap32(word);
        std::memcpy(bytes, &word, 4);
    }
}

std::int16_t count_field(const unsigned char *field, bool little_endian)
{
    const auto bits = little_endian ? static_cast<std::uint16_t>(field[0] | field[1] << 8)
                                    : static_cast<std::uint16_t>(field[1] | field[0] << 8);
    return static_cast<std::int16_t>(bits);
}

float **fail(int error, const char *message = nullptr)
{
    if (message != nullptr)
        Libprintf(message);
    errno = error;
    return nullptr;
}

} // namespace

float **read_binary(std::FILE *stream, std::int32_t &count_u, std::int32_t &count_v)
{
    unsigned char header[header_size];
    if (std::fread(header, 1, 4, stream) != 4)
        return fail(EIO);
    bool little_endian;
    if (std::memcmp(header, magic, 4) == 0)
        little_endian = true;
    else if (std::memcmp(header, reversed_magic, 4) == 0)
        little_endian = false;
    else
        return fail(EIO, msg::bin_bad_magic);
    if (std::fread(header + 4, 1, header_size - 4, stream) != header_size - 4)
        return fail(EIO);

    count_u = count_field(header + 8, little_endian);
    count_v = count_field(header + 10, little_endian);
    // A negative count describes no storage that could be obtained.
    if (count_u < 0 || count_v < 0)
        return fail(ENOMEM, msg::bin_no_space);

    const bool swap = little_endian != (std::endian::native == std::endian::little);
    const auto width = static_cast<std::size_t>(count_u);
    auto rows = heap::allocate_n<float *>(static_cast<std::size_t>(count_v));
    if (rows == nullptr)
        return fail(ENOMEM, msg::bin_no_space);
    // Narrow rows are read many at a time into a staging block and copied
    // out, so that a file costs a few large reads rather than one per row;
    // a row of a megabyte or more is read straight into its block. Batches
    // start small and grow as the file proves to hold what its header says.
    const std::size_t row_bytes = width * sizeof(float);
    std::size_t stage_bytes = 1 << 16;
    char *staging = nullptr;
    std::size_t staging_size = 0;
    std::int32_t done = 0;
    int error = 0;
    while (done < count_v && error == 0) {
        const std::size_t batch = row_bytes == 0 ? 1 : std::max<std::size_t>(1, stage_bytes / row_bytes);
        const auto n = static_cast<std::int32_t>(std::min<std::size_t>(batch, static_cast<std::size_t>(count_v - done)));
        const bool staged = batch > 1;
        if (staged && staging_size < static_cast<std::size_t>(n) * row_bytes) {
            heap::release(staging);
            staging_size = static_cast<std::size_t>(n) * row_bytes;
            staging = static_cast<char *>(heap::allocate(staging_size));
            if (staging == nullptr) {
                heap::free_rows(rows, done);
                return fail(ENOMEM, msg::bin_no_space);
            }
        }
        for (std::int32_t i = 0; i < n; ++i) {
            rows[done + i] = heap::allocate_n<float>(width);
            if (rows[done + i] == nullptr) {
                heap::free_rows(rows, done + i);
                heap::release(staging);
                return fail(ENOMEM, msg::bin_no_space);
            }
        }
        if (!staged) {
            if (std::fread(rows[done], 1, row_bytes, stream) != row_bytes)
                error = EIO;
        } else if (std::fread(staging, row_bytes, static_cast<std::size_t>(n), stream) != static_cast<std::size_t>(n)) {
            error = EIO;
        } else {
            for (std::int32_t i = 0; i < n; ++i)
                std::memcpy(rows[done + i], staging + static_cast<std::size_t>(i) * row_bytes, row_bytes);
        }
        done += n;
        stage_bytes = std::min(stage_bytes * 2, staging_bytes);
    }
    heap::release(staging);
    if (error != 0) {
        heap::free_rows(rows, done);
        return fail(error);
    }
    if (swap)
        for (std::int32_t r = 0; r < count_v; ++r)
            reverse_words(rows[r], width);
    return rows;
}

int write_binary(std::FILE *stream, float *const *rows, std::int32_t count_u, std::int32_t count_v)
{
    StreamOutput out(stream, header_size + static_cast<std::size_t>(count_u) * static_cast<std::size_t>(count_v) * sizeof(float));
    char *p = out.room(header_size);
    std::memset(p, 0, header_size);
    std::memcpy(p, magic, 4);
    p[8] = static_cast<char>(count_u & 0xFF);
    p[9] = static_cast<char>(count_u >> 8);
    p[10] = static_cast<char>(count_v & 0xFF);
    p[11] = static_cast<char>(count_v >> 8);
    out.commit(p + header_size);

    const bool swap = std::endian::native != std::endian::little;
    const std::size_t chunk = StreamOutput::capacity / sizeof(float);
    for (std::int32_t r = 0; r < count_v && !out.failed(); ++r) {
        const float *row = count_u > 0 ? rows[r] : nullptr;
        for (std::size_t done = 0; done < static_cast<std::size_t>(count_u);) {
            const std::size_t n = std::min(chunk, static_cast<std::size_t>(count_u) - done);
            p = out.room(n * sizeof(float));
            std::memcpy(p, row + done, n * sizeof(float));
            if (swap)
                reverse_words(p, n);
            out.commit(p + n * sizeof(float));
            done += n;
        }
    }
    return out.finish();
}

} // namespace gridvane::formats
