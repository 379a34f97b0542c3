// Deciding a file's channel format by its first significant byte, for
// names the file-type lookup does not know. ArrayLoad decides this way, and
// so does the command-line tool for what it reads.
#pragma once

#include "formats/stream.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace gridvane::io {

// What deciding by content found: the format, and any bytes it took from
// the stream beyond the one it could push back.
struct Decision {
    std::int32_t code = -1;
    char taken[3] = {};
    std::size_t taken_size = 0;
};

// The first significant byte decides: 'c' (the binary magic) at the very
// start, or a digit, sign, point or '|' after white space and '#' comments.
// Our writer spells an infinite or undefined first sample "inf" or "nan", so
// those words decide for ASCII too. On failure the code is -1, the message
// has been sent and errno is EIO.
//
// On a stream, one byte at a time; only the deciding byte is pushed back.
Decision decide_by_content(std::FILE *stream);

// On a source, a block at a time: what the reader needs of the bytes read
// (from the deciding byte or word on) stays in the block, to be given back
// before the rest of the source (formats::ReplaySource).
class ContentBlock {
public:
    std::int32_t decide(formats::Source &source);
    std::string_view kept() const { return {data_ + kept_, end_ - kept_}; }
    int next();
    void unread(std::size_t n) { at_ -= n; }

private:
    static constexpr std::size_t keep_back = 3; // the longest deciding word
    char data_[4096];
    std::size_t at_ = 0, end_ = 0, kept_ = 0;
    formats::Source *source_ = nullptr;
};

} // namespace gridvane::io
