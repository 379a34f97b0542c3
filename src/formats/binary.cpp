// The binary channel format: a 64-byte header ("chan" or, byte-reversed,
// "nahc"; a reserved word; 16-bit column and row counts; 52 reserved bytes)
// and the samples row by row. The reader takes exactly the bytes the header
// describes, many rows per read, straight into the row blocks; the writer
// always writes little-endian.
#include "formats.hpp"
#include "messages.hpp"
#include "stream_output.hpp"

#include "host/failure.hpp"
#include "host/heap.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

namespace gridvane::formats {

namespace {

constexpr std::size_t header_size = 64;
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

} // namespace

float **read_binary(Source &source, std::int32_t &count_u, std::int32_t &count_v, bool packed)
{
    constexpr auto null = static_cast<float **>(nullptr);
    unsigned char header[header_size];
    if (source.read(header, 4) != 4)
        return fail(null, EIO);
    bool little_endian;
    if (std::memcmp(header, magic, 4) == 0)
        little_endian = true;
    else if (std::memcmp(header, reversed_magic, 4) == 0)
        little_endian = false;
    else
        return fail(null, EIO, msg::bin_bad_magic);
    if (source.read(header + 4, header_size - 4) != header_size - 4)
        return fail(null, EIO);

    count_u = count_field(header + 8, little_endian);
    count_v = count_field(header + 10, little_endian);
    // A negative count describes no storage that could be obtained.
    if (count_u < 0 || count_v < 0)
        return fail(null, ENOMEM, msg::bin_no_space);

    const bool swap = little_endian != (std::endian::native == std::endian::little);
    const auto width = static_cast<std::size_t>(count_u);
    auto rows = heap::allocate_n<float *>(static_cast<std::size_t>(count_v));
    if (rows == nullptr)
        return fail(null, ENOMEM, msg::bin_no_space);
    // Rows are obtained and read a block at a time, each read straight into
    // its block: packs of rows that start small and grow as the file proves
    // to hold what its header says (so a header promising more than the
    // file holds costs at most one pack), or one row each for a caller who
    // frees them one by one.
    std::int32_t done = 0;
    for (std::int64_t pack = 0; done < count_v; ++pack) {
        const auto n = static_cast<std::int32_t>(
            packed ? std::min<std::int64_t>(heap::pack_rows(pack, count_u), count_v - done) : 1);
        float *block = heap::allocate_pack(n, count_u);
        if (block == nullptr) {
            heap::release_rows(heap::Rows{rows, done, count_u, packed});
            return fail(null, ENOMEM, msg::bin_no_space);
        }
        for (std::int32_t i = 0; i < n; ++i)
            rows[done + i] = block + static_cast<std::size_t>(i) * width;
        done += n;
        const std::size_t bytes = static_cast<std::size_t>(n) * width * sizeof(float);
        if (source.read(block, bytes) != bytes) {
            heap::release_rows(heap::Rows{rows, done, count_u, packed});
            return fail(null, EIO);
        }
    }
    if (swap)
        for (std::int32_t r = 0; r < count_v; ++r)
            reverse_words(rows[r], width);
    return rows;
}

namespace {

void fill_header(char *p, std::int32_t count_u, std::int32_t count_v)
{
    std::memset(p, 0, header_size);
    std::memcpy(p, magic, 4);
    p[8] = static_cast<char>(count_u & 0xFF);
    p[9] = static_cast<char>(count_u >> 8);
    p[10] = static_cast<char>(count_v & 0xFF);
    p[11] = static_cast<char>(count_v >> 8);
}

} // namespace

int write_binary(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v)
{
    const std::size_t row_bytes = static_cast<std::size_t>(count_u) * sizeof(float);
    char header[header_size];
    fill_header(header, count_u, count_v);
    if constexpr (std::endian::native == std::endian::little) {
        // The rows go to the sink straight from their blocks; a sink that
        // fails leaves its error number.
        const int saved = errno;
        if (!sink.write(header, header_size) ||
            (row_bytes != 0 && !sink.write_blocks(reinterpret_cast<const void *const *>(rows), row_bytes,
                                                  static_cast<std::size_t>(count_v))) ||
            !sink.flush())
            return -1;
        errno = saved;
        return 0;
    }
    StreamOutput out(sink, header_size + row_bytes * static_cast<std::size_t>(count_v));
    char *p = out.room(header_size);
    std::memcpy(p, header, header_size);
    out.commit(p + header_size);
    const std::size_t chunk = StreamOutput::capacity / sizeof(float);
    for (std::int32_t r = 0; r < count_v && !out.failed(); ++r) {
        for (std::size_t done = 0; done < static_cast<std::size_t>(count_u);) {
            const std::size_t n = std::min(chunk, static_cast<std::size_t>(count_u) - done);
            p = out.room(n * sizeof(float));
            std::memcpy(p, rows[r] + done, n * sizeof(float));
            reverse_words(p, n);
            out.commit(p + n * sizeof(float));
            done += n;
        }
    }
    return out.finish();
}

} // namespace gridvane::formats
