#include "content.hpp"

#include "gridvane.h"
#include "formats/number_text.hpp"
#include "host/failure.hpp"
#include "messages.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace gridvane::io {

namespace {

// The decision, on bytes that give next() (EOF at the end) and take back
// the last n with unread(n). Returns the decision; a deciding word's bytes
// are in taken and not given back.
template <typename Bytes> Decision decide(Bytes &bytes)
{
    Decision d;
    int c = bytes.next();
    if (c == 'c') {
        bytes.unread(1);
        d.code = CHAN_BIN;
        return d;
    }
    for (;;) {
        if (c == EOF)
            return fail(d, EIO, msg::load_premature_eof);
        if (c == '#') {
            do
                c = bytes.next();
            while (c != '\n' && c != EOF);
            if (c != EOF)
                c = bytes.next();
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n') {
            c = bytes.next();
            continue;
        }
        if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == '|') {
            bytes.unread(1);
            d.code = CHAN_ASCII;
            return d;
        }
        if ((c | 0x20) == 'i' || (c | 0x20) == 'n') {
            d.taken[0] = static_cast<char>(c);
            d.taken_size = 1;
            for (int i = 1; i < 3 && (c = bytes.next()) != EOF; ++i)
                d.taken[d.taken_size++] = static_cast<char>(c);
            if (d.taken_size == 3 && (formats::starts_with_ignoring_case(d.taken, "inf") ||
                                      formats::starts_with_ignoring_case(d.taken, "nan"))) {
                d.code = CHAN_ASCII;
                return d;
            }
        }
        return fail(d, EIO, msg::load_invalid_format);
    }
}

struct StreamBytes {
    std::FILE *stream;
    int last = EOF;
    int next() { return last = std::getc(stream); }
    void unread(std::size_t) { std::ungetc(last, stream); } // only ever the last byte
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

std::int32_t ContentBlock::decide(formats::Source &source)
{
    source_ = &source;
    const Decision d = io::decide(*this);
    // The reader reads a deciding word again, and everything after it.
    kept_ = at_ - d.taken_size;
    return d.code;
}

} // namespace gridvane::io
