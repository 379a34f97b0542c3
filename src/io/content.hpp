// Deciding a stream's channel format by its first significant byte, for
// names the file-type lookup does not know. ArrayLoad decides this way, and
// so does the command-line tool for what it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace gridvane::io {

// What deciding by content found: the format, and any bytes it took from
// the stream beyond the one it could push back.
struct Decision {
    std::int32_t code = -1;
    char taken[3] = {};
    std::size_t taken_size = 0;
};

// The first significant byte decides: 'c' (the binary magic) at the very
// start, or a digit, sign, point or '|' after white space and '#' comments;
// only the deciding byte is pushed back. Our writer spells an infinite or
// undefined first sample "inf" or "nan", so those words decide for ASCII too.
// On failure the code is -1, the message has been sent and errno is EIO.
Decision decide_by_content(std::FILE *stream);

} // namespace gridvane::io
