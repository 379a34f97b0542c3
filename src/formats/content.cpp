#include "content.hpp"

#include "binary_header.hpp"
#include "number_text.hpp"

#include "gridvane.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace gridvane_core::formats {

namespace {

// The decision, on bytes that give next() (EOF at the end), take back the
// last n with unread(n), tell failed() and error() after an EOF, and
// peek() at what follows. A deciding word's bytes are in taken and not
// given back.
template <typename Bytes> Decision decide(Bytes &bytes)
{
    Decision d;
    // The byte in c: its offset, line and the bytes before it on its line.
    std::int64_t offset = 0, line = 1, column = 0;
    int c = bytes.next();
    if (c == 'c') {
        bytes.unread(1);
        d.form = CHAN_BIN;
        return d;
    }
    const auto fail = [&](std::int32_t code) {
        d.status = failure_at(code, line, column + 1, offset);
        return d;
    };
    // What stands at c, for a message that shows it.
    const auto invalid = [&] {
        unsigned char seen[4] = {static_cast<unsigned char>(c)};
        const std::size_t more = bytes.peek(seen + 1, 3);
        fail(GRIDVANE_E_INVALID_FORMAT);
        d.status = with_counts(d.status, static_cast<std::int64_t>(1 + more), packed_bytes(seen, 1 + more));
        return d;
    };
    // Some editors begin UTF-8 text with a byte-order mark; it is no part
    // of the table.
    if (c == 0xEF) {
        if (bytes.next() != 0xBB || bytes.next() != 0xBF)
            return invalid();
        offset = 3;
        c = bytes.next();
    }
    const auto advance = [&] {
        if (c == '\n') {
            ++line;
            column = 0;
        } else {
            ++column;
        }
        ++offset;
        c = bytes.next();
    };
    for (;;) {
        if (c == EOF) {
            if (bytes.failed()) {
                fail(GRIDVANE_E_READ);
                d.status.error = bytes.error();
                return d;
            }
            fail(GRIDVANE_E_EMPTY);
            d.status.found = offset;
            return d;
        }
        if (c == '#') {
            do
                advance();
            while (c != '\n' && c != EOF);
            if (c != EOF)
                advance();
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n') {
            advance();
            continue;
        }
        d.start = ReadStart{line, column, offset};
        if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == '|') {
            bytes.unread(1);
            d.form = CHAN_ASCII;
            return d;
        }
        if ((c | 0x20) == 'i' || (c | 0x20) == 'n') {
            d.taken[0] = static_cast<char>(c);
            d.taken_size = 1;
            for (int i = 1, more; i < 3 && (more = bytes.next()) != EOF; ++i)
                d.taken[d.taken_size++] = static_cast<char>(more);
            if (d.taken_size == 3 &&
                (starts_with_ignoring_case(d.taken, "inf") || starts_with_ignoring_case(d.taken, "nan"))) {
                d.form = CHAN_ASCII;
                return d;
            }
            unsigned char seen[4];
            std::memcpy(seen, d.taken, d.taken_size);
            const std::size_t more = d.taken_size == 3 ? bytes.peek(seen + 3, 1) : 0;
            fail(GRIDVANE_E_INVALID_FORMAT);
            d.status = with_counts(d.status, static_cast<std::int64_t>(d.taken_size + more),
                                   packed_bytes(seen, d.taken_size + more));
            return d;
        }
        return invalid();
    }
}

struct StreamBytes {
    std::FILE *stream;
    int last = EOF;
    int next() { return last = std::getc(stream); }
    void unread(std::size_t) { std::ungetc(last, stream); } // only ever the last byte
    bool failed() const { return std::ferror(stream) != 0; }
    int error() const { return EIO; }
    // A stream others may read on from is not read past the deciding byte.
    std::size_t peek(unsigned char *, std::size_t) const { return 0; }
};

} // namespace

Decision decide_by_content(std::FILE *stream)
{
    StreamBytes bytes{stream};
    return decide(bytes);
}

int ContentBlock::next()
{
    if (at_ == end_) {
        // The last bytes stay in front: a deciding word may begin there.
        const std::size_t keep = std::min(at_, keep_back);
        std::memmove(data_, data_ + at_ - keep, keep);
        at_ = end_ = keep;
        end_ += source_->read(data_ + end_, sizeof data_ - end_);
        if (at_ == end_)
            return EOF;
    }
    return static_cast<unsigned char>(data_[at_++]);
}

std::size_t ContentBlock::peek(unsigned char *out, std::size_t n) const
{
    const std::size_t have = std::min(n, end_ - at_);
    std::memcpy(out, data_ + at_, have);
    return have;
}

Decision ContentBlock::decide(Source &source)
{
    source_ = &source;
    const Decision d = formats::decide(*this);
    // The reader reads a deciding word again, and everything after it.
    kept_ = at_ - d.taken_size;
    return d;
}

namespace {

struct Signature {
    const char *bytes;
    std::size_t size;
    const char *name;
};

// By their first bytes. UTF-32 before UTF-16, whose mark begins its own.
constexpr Signature signatures[] = {
    {"\x1f\x8b", 2, "gzip-compressed data"},
    {"BZh", 3, "bzip2-compressed data"},
    {"\xfd" "7zXZ\0", 6, "xz-compressed data"},
    {"\x28\xb5\x2f\xfd", 4, "zstd-compressed data"},
    {"\xff\xfe\0\0", 4, "UTF-32 text (little-endian)"},
    {"\0\0\xfe\xff", 4, "UTF-32 text (big-endian)"},
    {"\xff\xfe", 2, "UTF-16 text (little-endian)"},
    {"\xfe\xff", 2, "UTF-16 text (big-endian)"},
};
constexpr std::int32_t utf16_little = 7, utf16_big = 8; // codes of the marks' encodings, for text without a mark

bool printable(unsigned char c) { return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r'; }

} // namespace

std::int32_t not_plain_text(const unsigned char *bytes, std::size_t size)
{
    for (std::size_t i = 0; i < std::size(signatures); ++i)
        if (size >= signatures[i].size && std::memcmp(bytes, signatures[i].bytes, signatures[i].size) == 0)
            return static_cast<std::int32_t>(i) + 1;
    // UTF-16 without its mark: ASCII characters with a NUL beside each.
    if (size >= 4 && printable(bytes[0]) && bytes[1] == 0 && printable(bytes[2]) && bytes[3] == 0)
        return utf16_little;
    if (size >= 4 && bytes[0] == 0 && printable(bytes[1]) && bytes[2] == 0 && printable(bytes[3]))
        return utf16_big;
    return 0;
}

const char *not_plain_text_name(std::int32_t code)
{
    return code >= 1 && code <= static_cast<std::int32_t>(std::size(signatures)) ? signatures[code - 1].name
                                                                                   : "data that is not plain text";
}

} // namespace gridvane_core::formats
