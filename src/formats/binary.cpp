// The binary channel format: a 64-byte header ("chan" or, byte-reversed,
// "nahc"; a reserved word; 16-bit column and row counts; 52 reserved bytes)
// and the samples row by row. The reader takes exactly the bytes the header
// describes, many rows per read; the writer always writes little-endian.
#include "formats.hpp"
#include "messages.hpp"
#include "stream_output.hpp"

#include "host/heap.hpp"
#include "host/tools.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#if !defined(_WIN32)
#    include <sys/types.h>
#    include <sys/uio.h>
#    include <unistd.h>
#endif

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

// Fills row blocks from the stream, a batch at a time.
class RowReader {
public:
    RowReader(std::FILE *stream, std::size_t row_bytes, bool direct)
        : stream_(stream), row_bytes_(row_bytes), fd_(direct ? descriptor_at_stream_position(stream) : -1)
    {
    }
    ~RowReader() { heap::release(staging_); }
    RowReader(const RowReader &) = delete;
    RowReader &operator=(const RowReader &) = delete;

    // How many rows to read next, for a batch of about stage_bytes.
    std::size_t batch_rows(std::size_t stage_bytes) const
    {
        std::size_t n = row_bytes_ == 0 ? 1 : std::max<std::size_t>(1, stage_bytes / row_bytes_);
        return fd_ >= 0 ? std::min(n, max_vectors) : n;
    }

    // Reads n rows into their blocks: 0, EIO for a short read, ENOMEM.
    int read(float **rows, std::int32_t n)
    {
        if (row_bytes_ == 0)
            return 0;
        if (fd_ >= 0)
            return read_direct(rows, n);
        if (n == 1) // wide rows: straight into the block
            return std::fread(rows[0], 1, row_bytes_, stream_) == row_bytes_ ? 0 : EIO;
        const std::size_t bytes = static_cast<std::size_t>(n) * row_bytes_;
        if (staging_size_ < bytes) {
            heap::release(staging_);
            staging_ = static_cast<char *>(heap::allocate(bytes));
            staging_size_ = staging_ == nullptr ? 0 : bytes;
            if (staging_ == nullptr)
                return ENOMEM;
        }
        if (std::fread(staging_, row_bytes_, static_cast<std::size_t>(n), stream_) != static_cast<std::size_t>(n))
            return EIO;
        for (std::int32_t i = 0; i < n; ++i)
            std::memcpy(rows[i], staging_ + static_cast<std::size_t>(i) * row_bytes_, row_bytes_);
        return 0;
    }

private:
    static constexpr std::size_t max_vectors = 1024;

#if defined(_WIN32)
    static int descriptor_at_stream_position(std::FILE *) { return -1; }
    int read_direct(float **, std::int32_t) { return EIO; }
#else
    // The stream's descriptor, when reading it directly loses nothing: the
    // descriptor stands exactly where the stream does (nothing buffered).
    static int descriptor_at_stream_position(std::FILE *stream)
    {
        const int fd = ::fileno(stream);
        if (fd < 0)
            return -1;
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        return at >= 0 && at == ::ftello(stream) ? fd : -1;
    }

    int read_direct(float **rows, std::int32_t n)
    {
        iovec vectors[max_vectors];
        std::int32_t row = 0;
        std::size_t offset = 0; // into rows[row]
        while (row < n) {
            int count = 0;
            for (std::int32_t i = row; i < n && count < static_cast<int>(max_vectors); ++i, ++count) {
                const std::size_t skip = i == row ? offset : 0;
                vectors[count].iov_base = reinterpret_cast<char *>(rows[i]) + skip;
                vectors[count].iov_len = row_bytes_ - skip;
            }
            const ssize_t got = ::readv(fd_, vectors, count);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return EIO;
            for (auto left = static_cast<std::size_t>(got); left > 0;) {
                const std::size_t room = row_bytes_ - offset;
                if (left < room) {
                    offset += left;
                    break;
                }
                left -= room;
                offset = 0;
                ++row;
            }
        }
        return 0;
    }
#endif

    std::FILE *stream_;
    std::size_t row_bytes_;
    int fd_;
    char *staging_ = nullptr;
    std::size_t staging_size_ = 0;
};

} // namespace

float **read_binary(std::FILE *stream, std::int32_t &count_u, std::int32_t &count_v, bool direct)
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
    // Rows are read in batches that start small and grow as the file proves
    // to hold what its header says. A stream the caller left unbuffered is
    // read straight into the row blocks; otherwise narrow rows go through a
    // staging block, so that a file costs a few large reads, not one per row.
    RowReader reader(stream, width * sizeof(float), direct);
    std::size_t stage_bytes = 1 << 16;
    std::int32_t done = 0;
    while (done < count_v) {
        const auto n = static_cast<std::int32_t>(
            std::min(reader.batch_rows(stage_bytes), static_cast<std::size_t>(count_v - done)));
        for (std::int32_t i = 0; i < n; ++i) {
            rows[done + i] = heap::allocate_n<float>(width);
            if (rows[done + i] == nullptr) {
                heap::release_rows(heap::Rows{rows, done + i, count_u, false});
                return fail(ENOMEM, msg::bin_no_space);
            }
        }
        const int error = reader.read(rows + done, n);
        done += n;
        if (error != 0) {
            heap::release_rows(heap::Rows{rows, done, count_u, false});
            return fail(error, error == ENOMEM ? msg::bin_no_space : nullptr);
        }
        stage_bytes = std::min(stage_bytes * 2, staging_bytes);
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

#if !defined(_WIN32)
// Writes the header and the rows straight from their blocks to the stream's
// descriptor, many rows per call: 0, or -1 with errno. Only for a stream
// whose buffer holds nothing, which is closed afterwards.
int write_direct(int fd, const char *header, float *const *rows, std::size_t row_bytes, std::int32_t count_v)
{
    constexpr int max_vectors = 1024;
    iovec vectors[max_vectors];
    std::int32_t next_row = 0;
    bool header_done = false;
    while (!header_done || (row_bytes != 0 && next_row < count_v)) {
        int count = 0;
        if (!header_done)
            vectors[count++] = iovec{const_cast<char *>(header), header_size};
        for (; row_bytes != 0 && next_row < count_v && count < max_vectors; ++next_row)
            vectors[count++] = iovec{rows[next_row], row_bytes};
        header_done = true;
        for (int first = 0; first < count;) {
            const ssize_t wrote = ::writev(fd, vectors + first, count - first);
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote <= 0) {
                if (errno == 0)
                    errno = EIO;
                return -1;
            }
            for (auto left = static_cast<std::size_t>(wrote); left > 0;) {
                if (left < vectors[first].iov_len) {
                    vectors[first].iov_base = static_cast<char *>(vectors[first].iov_base) + left;
                    vectors[first].iov_len -= left;
                    break;
                }
                left -= vectors[first].iov_len;
                ++first;
            }
        }
    }
    return 0;
}
#endif

} // namespace

int write_binary(std::FILE *stream, float *const *rows, std::int32_t count_u, std::int32_t count_v, bool direct)
{
    const std::size_t row_bytes = static_cast<std::size_t>(count_u) * sizeof(float);
#if !defined(_WIN32)
    if (direct && std::endian::native == std::endian::little && std::fflush(stream) == 0) {
        if (const int fd = ::fileno(stream); fd >= 0) {
            char header[header_size];
            fill_header(header, count_u, count_v);
            const int saved = errno;
            errno = 0;
            if (write_direct(fd, header, rows, row_bytes, count_v) != 0)
                return -1;
            errno = saved;
            return 0;
        }
    }
#else
    (void)direct;
#endif
    StreamOutput out(stream, header_size + row_bytes * static_cast<std::size_t>(count_v));
    char *p = out.room(header_size);
    fill_header(p, count_u, count_v);
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
