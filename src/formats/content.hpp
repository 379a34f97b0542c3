// Deciding a file's channel format by its first significant byte, for
// names the file-type lookup does not know: ArrayLoad decides this way, and
// so does every client that asks the extension interface.
#pragma once

#include "common/status.hpp"
#include "stream.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace gridvane_core::formats {

// Where a reader's first byte stands in the input: the line it is on (from
// 1), the bytes of that line before it (which the decision took), and its
// offset. A reader that starts at offset 0 has the whole input.
struct ReadStart {
    std::int64_t line = 1;
    std::int64_t column = 0;
    std::int64_t offset = 0;
};

// What deciding by content found: the form (CHAN_BIN or CHAN_ASCII; 0 when
// it failed, with the status EMPTY, READ or INVALID_FORMAT and where), where
// the reader starts, and any bytes taken from the stream beyond the one it
// could push back.
struct Decision {
    std::int32_t form = 0;
    Status status = ok_status();
    ReadStart start;
    char taken[3] = {};
    std::size_t taken_size = 0;
};

// The first significant byte decides: 'c' (the binary magic) at the very
// start, or a digit, sign, point or '|' after white space and '#' comments.
// Our writer spells an infinite or undefined first sample "inf" or "nan", so
// those words decide for ASCII too. A UTF-8 byte-order mark at the start is
// passed over.
//
// On a stream, one byte at a time; only the deciding byte is pushed back.
Decision decide_by_content(std::FILE *stream);

// On a source, a block at a time: what the reader needs of the bytes read
// (from the deciding byte or word on) stays in the block, to be given back
// before the rest of the source (ReplaySource).
class ContentBlock {
public:
    Decision decide(Source &source);
    std::string_view kept() const { return {data_ + kept_, end_ - kept_}; }
    int next();
    void unread(std::size_t n) { at_ -= n; }
    bool failed() const { return source_->failed(); }
    int error() const { return source_->error(); }
    std::size_t peek(unsigned char *out, std::size_t n) const;

private:
    static constexpr std::size_t keep_back = 3; // the longest deciding word
    char data_[4096];
    std::size_t at_ = 0, end_ = 0, kept_ = 0;
    Source *source_ = nullptr;
};

// What people hand a channel reader that is no channel file: compressed
// files, and text in an encoding of two or four bytes a character, known by
// their first bytes. 0 for none of these, else a code that
// not_plain_text_name words ("gzip-compressed data").
std::int32_t not_plain_text(const unsigned char *bytes, std::size_t size);
const char *not_plain_text_name(std::int32_t code);

} // namespace gridvane_core::formats
