// The binary channel format: the 64-byte header (binary_header.hpp) and the
// samples row by row. The reader takes exactly the bytes the header
// describes, many rows per read, straight into the row blocks; the writer
// always writes little-endian.
#include "binary_header.hpp"
#include "formats.hpp"
#include "joining.hpp"
#include "observer.hpp"
#include "stream_output.hpp"

#include "common/heap.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace gridvane_core::formats {

namespace {

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

// A failure in the one line of bytes a binary file is.
Status at_byte(std::int32_t code, std::int64_t offset, int error = 0)
{
    return failure_at(code, 1, offset + 1, offset, error);
}

// A run of samples short of what the header promises, or a failed read,
// where a single read finds it: at the byte where the samples stop.
Status short_samples(const Source &source, const BinaryHeader &header, std::int64_t offset, std::int64_t read)
{
    const std::int64_t at = offset + static_cast<std::int64_t>(header_size) + read;
    return source.failed() ? at_byte(GRIDVANE_E_READ, at, source.error())
                           : with_counts(at_byte(GRIDVANE_E_TRUNCATED_SAMPLES, at), sample_bytes(header), read);
}

bool tell_trailing(Observer &observer, std::int64_t at, std::int64_t after)
{
    if (after <= 0)
        return true;
    gridvane_finding f = finding_at(GRIDVANE_FINDING_TRAILING_BYTES, 1, at + 1, at);
    f.found = after;
    return observer.tell(f);
}

} // namespace

Status parse_header(const unsigned char *bytes, std::size_t size, BinaryHeader &header, std::int64_t offset)
{
    const int order = magic_order(bytes, size);
    if (order == 0 && size >= 4)
        return with_counts(at_byte(GRIDVANE_E_BAD_MAGIC, offset), 4, packed_bytes(bytes, 4));
    if (size < header_size)
        return with_counts(at_byte(GRIDVANE_E_TRUNCATED_HEADER, offset + static_cast<std::int64_t>(size)),
                           static_cast<std::int64_t>(header_size), static_cast<std::int64_t>(size));
    header.big_endian = order == 2;
    header.columns = count_field(bytes + GRIDVANE_BINARY_COLUMNS_AT, !header.big_endian);
    header.rows = count_field(bytes + GRIDVANE_BINARY_ROWS_AT, !header.big_endian);
    if (header.columns < 0)
        return with_counts(at_byte(GRIDVANE_E_NEGATIVE_COUNT, offset + GRIDVANE_BINARY_COLUMNS_AT),
                           GRIDVANE_BINARY_COLUMNS_AT, header.columns);
    if (header.rows < 0)
        return with_counts(at_byte(GRIDVANE_E_NEGATIVE_COUNT, offset + GRIDVANE_BINARY_ROWS_AT),
                           GRIDVANE_BINARY_ROWS_AT, header.rows);
    return ok_status();
}

Status read_binary_head(Source &source, Observer *observer, BinaryHeader &header, std::int64_t offset)
{
    unsigned char bytes[header_size];
    // The magic first: a file that is not binary at all says so, however
    // short it is.
    std::size_t got = source.read(bytes, 4);
    if (got == 4 && magic_order(bytes, 4) != 0)
        got += source.read(bytes + 4, header_size - 4);
    if (got < header_size && source.failed())
        return at_byte(GRIDVANE_E_READ, offset + static_cast<std::int64_t>(got), source.error());
    const Status s = parse_header(bytes, got, header, offset);
    if (!succeeded(s) || observer == nullptr || (header.columns != 0 && header.rows != 0))
        return s;
    gridvane_finding f = finding_at(GRIDVANE_FINDING_NO_SAMPLES, 1, offset + GRIDVANE_BINARY_COLUMNS_AT + 1,
                                    offset + GRIDVANE_BINARY_COLUMNS_AT);
    f.expected = header.columns;
    f.found = header.rows;
    return observer->tell(f) ? s : observer->stopped();
}

Status binary_samples_there(const BinaryHeader &header, std::int64_t size)
{
    const std::int64_t there = size - static_cast<std::int64_t>(header_size);
    if (there >= sample_bytes(header))
        return ok_status();
    return with_counts(at_byte(GRIDVANE_E_TRUNCATED_SAMPLES, size), sample_bytes(header), there);
}

Status read_binary_rows(Source &source, const BinaryHeader &header, std::int64_t first, std::int64_t count,
                        float *into, std::int64_t offset)
{
    const std::int64_t row_bytes = std::int64_t{header.columns} * 4, bytes = count * row_bytes;
    const auto got = static_cast<std::int64_t>(bytes == 0 ? 0 : source.read(into, static_cast<std::size_t>(bytes)));
    if (got != bytes)
        return short_samples(source, header, offset, first * row_bytes + got);
    if (header.big_endian == (std::endian::native == std::endian::little))
        reverse_words(into, static_cast<std::size_t>(count * header.columns));
    return ok_status();
}

bool observe_binary_rows(const BinaryHeader &header, std::int64_t first, std::int64_t count, const float *rows,
                         Observer &observer, std::int64_t offset)
{
    const std::int64_t columns = header.columns;
    std::int64_t at = offset + static_cast<std::int64_t>(header_size) + first * columns * 4;
    for (std::int64_t i = 0; i < count * columns; ++i, at += 4) {
        const float x = rows[i];
        if (std::isfinite(x))
            continue;
        gridvane_finding f = finding_at(std::isnan(x) ? GRIDVANE_FINDING_NAN : GRIDVANE_FINDING_INFINITE, 1, at + 1, at);
        f.taken = x;
        f.expected = first + i / columns;
        f.found = i % columns;
        if (!observer.tell(f))
            return false;
    }
    return true;
}

bool observe_binary_end(const BinaryHeader &header, std::int64_t size, Observer &observer, std::int64_t offset)
{
    const std::int64_t end = offset + static_cast<std::int64_t>(header_size) + sample_bytes(header);
    return tell_trailing(observer, end, size - end);
}

BinaryRead read_binary(Source &source, storage::Layout layout, Observer *observer, std::int64_t offset)
{
    BinaryRead out;
    BinaryHeader header;
    out.status = read_binary_head(source, observer, header, offset);
    if (!succeeded(out.status))
        return out;
    out.big_endian = header.big_endian;
    const std::int32_t count_u = header.columns, count_v = header.rows;

    const bool swap = header.big_endian == (std::endian::native == std::endian::little);
    const auto width = static_cast<std::size_t>(count_u);
    auto **index = heap::allocate_n<float *>(static_cast<std::size_t>(count_v));
    if (index == nullptr) {
        out.status = failure(GRIDVANE_E_NO_MEMORY, ENOMEM);
        return out;
    }
    const std::int64_t wanted = static_cast<std::int64_t>(width) * count_v * 4;
    // A source that shows it holds every sample the header promises is read
    // in one go into one block, as large reads of a file go fastest.
    if (layout == storage::Layout::packs && wanted > 0 && source.remaining() >= wanted) {
        float *block = storage::allocate_block(std::int64_t{count_v} * count_u);
        if (block == nullptr) {
            heap::release(index);
            out.status = failure(GRIDVANE_E_NO_MEMORY, ENOMEM);
            return out;
        }
        for (std::int32_t r = 0; r < count_v; ++r)
            index[r] = block + static_cast<std::size_t>(r) * width;
        layout = storage::Layout::block;
    }
    // Otherwise rows are obtained and read a block at a time, each read
    // straight into its block: packs of rows that start small and grow as
    // the file proves to hold what its header says (so a header promising
    // more than the file holds costs at most one pack), or one row each for
    // a caller who frees them one by one.
    const bool packed = layout == storage::Layout::packs;
    std::int64_t read = 0;
    std::int32_t done = 0;
    if (layout == storage::Layout::block) {
        out.status = read_binary_rows(source, header, 0, count_v, index[0], offset);
        if (!succeeded(out.status)) {
            storage::release_rows(storage::Rows{index, count_v, count_u, layout});
            return out;
        }
        read = wanted;
        done = count_v;
    }
    for (std::int64_t pack = 0; done < count_v; ++pack) {
        const auto n = static_cast<std::int32_t>(
            packed ? std::min<std::int64_t>(storage::pack_rows(pack, count_u), count_v - done) : 1);
        float *block = storage::allocate_pack(n, count_u);
        if (block == nullptr) {
            storage::release_rows(storage::Rows{index, done, count_u, layout});
            out.status = failure(GRIDVANE_E_NO_MEMORY, ENOMEM);
            return out;
        }
        for (std::int32_t i = 0; i < n; ++i)
            index[done + i] = block + static_cast<std::size_t>(i) * width;
        done += n;
        const std::size_t bytes_wanted = static_cast<std::size_t>(n) * width * sizeof(float);
        const std::size_t bytes_got = source.read(block, bytes_wanted);
        read += static_cast<std::int64_t>(bytes_got);
        if (bytes_got != bytes_wanted) {
            storage::release_rows(storage::Rows{index, done, count_u, layout});
            out.status = short_samples(source, header, offset, read);
            return out;
        }
        if (swap)
            for (std::int32_t i = 0; i < n; ++i)
                reverse_words(index[done - n + i], width);
    }
    out.rows = storage::Rows{index, count_v, count_u, layout};
    if (observer == nullptr)
        return out;
    // The findings once every sample is there, as a read in parts tells them.
    bool going = true;
    for (std::int32_t r = 0; going && r < count_v; ++r)
        going = observe_binary_rows(header, r, 1, index[r], *observer, offset);
    if (going) {
        char rest[4096];
        std::int64_t after = 0;
        for (std::size_t got; (got = source.read(rest, sizeof rest)) > 0;)
            after += static_cast<std::int64_t>(got);
        going = tell_trailing(*observer, offset + static_cast<std::int64_t>(header_size) + wanted, after);
    }
    if (!going) {
        storage::release_rows(out.rows);
        out.rows = {};
        out.status = observer->stopped();
    }
    return out;
}

void fill_header(char *p, std::int32_t count_u, std::int32_t count_v)
{
    std::memset(p, 0, header_size);
    std::memcpy(p, magic, 4);
    p[GRIDVANE_BINARY_COLUMNS_AT] = static_cast<char>(count_u & 0xFF);
    p[GRIDVANE_BINARY_COLUMNS_AT + 1] = static_cast<char>(count_u >> 8);
    p[GRIDVANE_BINARY_ROWS_AT] = static_cast<char>(count_v & 0xFF);
    p[GRIDVANE_BINARY_ROWS_AT + 1] = static_cast<char>(count_v >> 8);
}

namespace {

// Each row's count_u samples (after its frame, when frame_slot >= 0) in the
// file's byte order, little-endian.
void put_rows(StreamOutput &out, float *const *rows, std::int32_t count_u, std::int32_t count_v,
              std::int64_t frame_slot)
{
    const std::size_t chunk = StreamOutput::capacity / sizeof(float);
    for (std::int32_t r = 0; r < count_v && !out.failed(); ++r) {
        if (frame_slot >= 0) {
            char *p = out.room(sizeof(float));
            std::memcpy(p, rows[r] + frame_slot, sizeof(float));
            if constexpr (std::endian::native != std::endian::little)
                reverse_words(p, 1);
            out.commit(p + sizeof(float));
        }
        for (std::size_t done = 0; done < static_cast<std::size_t>(count_u);) {
            const std::size_t n = std::min(chunk, static_cast<std::size_t>(count_u) - done);
            char *p = out.room(n * sizeof(float));
            std::memcpy(p, rows[r] + done, n * sizeof(float));
            if constexpr (std::endian::native != std::endian::little)
                reverse_words(p, n);
            out.commit(p + n * sizeof(float));
            done += n;
        }
    }
}

} // namespace

Status binary_frames_from_column(const storage::Rows &rows, std::int64_t column, std::int64_t offset)
{
    const auto at = [&](std::int64_t row, std::int64_t kind, std::int64_t expected) {
        const std::int64_t byte = offset + (row * rows.width + column) * std::int64_t{sizeof(float)};
        return with_counts(failure_at(GRIDVANE_E_AGAINST_READING, 1, byte + 1, byte), expected, kind);
    };
    if (column >= rows.width)
        return with_counts(failure_at(GRIDVANE_E_AGAINST_READING, 1, 0, -1), rows.width, GRIDVANE_FINDING_SHORT_ROW);
    float previous = NAN;
    for (std::int64_t r = 0; r < rows.count; ++r) {
        float *row = rows.index[r];
        const float frame = row[column];
        if (!std::isfinite(frame) || frame != std::trunc(frame))
            return at(r, GRIDVANE_FINDING_INEXACT_FRAME, 0);
        if (r > 0 && !(frame > previous))
            return at(r, GRIDVANE_FINDING_FRAME_NOT_RISING, 1);
        previous = frame;
        std::memmove(row + column, row + column + 1, static_cast<std::size_t>(rows.width - column - 1) * sizeof(float));
        row[rows.width - 1] = frame;
    }
    return ok_status();
}

Status write_binary_checked(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v)
{
    // The header's 16-bit counts could not describe a larger table.
    if ((rows == nullptr && count_u > 0 && count_v > 0) || count_u < 0 || count_u > binary_count_max ||
        count_v < 0 || count_v > binary_count_max)
        return failure(GRIDVANE_E_ARGUMENT, EINVAL);
    return write_binary(sink, rows, count_u, count_v);
}

Status write_binary(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v)
{
    const std::size_t row_bytes = static_cast<std::size_t>(count_u) * sizeof(float);
    char header[header_size];
    fill_header(header, count_u, count_v);
    if constexpr (std::endian::native == std::endian::little) {
        // The rows go to the sink straight from their blocks.
        Status s = sink.write(header, header_size);
        if (succeeded(s) && row_bytes != 0)
            s = sink.write_blocks(reinterpret_cast<const void *const *>(rows), row_bytes,
                                  static_cast<std::size_t>(count_v));
        return succeeded(s) ? sink.flush() : s;
    }
    StreamOutput out(sink, header_size + row_bytes * static_cast<std::size_t>(count_v));
    char *p = out.room(header_size);
    std::memcpy(p, header, header_size);
    out.commit(p + header_size);
    put_rows(out, rows, count_u, count_v, -1);
    return out.finish();
}

Status write_binary_frame_first(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v,
                                std::int64_t frame_slot)
{
    if (count_u < 0 || count_u >= binary_count_max || count_v < 0 || count_v > binary_count_max)
        return failure(GRIDVANE_E_ARGUMENT, EINVAL);
    char header[header_size];
    fill_header(header, count_u + 1, count_v);
    StreamOutput out(sink, header_size + (static_cast<std::size_t>(count_u) + 1) * sizeof(float) *
                                             static_cast<std::size_t>(count_v));
    char *p = out.room(header_size);
    std::memcpy(p, header, header_size);
    out.commit(p + header_size);
    put_rows(out, rows, count_u, count_v, frame_slot);
    return out.finish();
}


} // namespace gridvane_core::formats
