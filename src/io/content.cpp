#include "content.hpp"

#include "gridvane.h"
#include "formats/number_text.hpp"
#include "host/tools.hpp"
#include "messages.hpp"

#include <cerrno>

namespace gridvane::io {

Decision decide_by_content(std::FILE *stream)
{
    Decision d;
    int c = std::getc(stream);
    if (c == 'c') {
        std::ungetc(c, stream);
        d.code = CHAN_BIN;
        return d;
    }
    for (;;) {
        if (c == EOF) {
            Libprintf(msg::load_premature_eof);
            errno = EIO;
            return d;
        }
        if (c == '#') {
            do
                c = std::getc(stream);
            while (c != '\n' && c != EOF);
            if (c != EOF)
                c = std::getc(stream);
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n') {
            c = std::getc(stream);
            continue;
        }
        if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == '|') {
            std::ungetc(c, stream);
            d.code = CHAN_ASCII;
            return d;
        }
        if ((c | 0x20) == 'i' || (c | 0x20) == 'n') {
            d.taken[0] = static_cast<char>(c);
            d.taken_size = 1;
            for (int i = 1; i < 3 && (c = std::getc(stream)) != EOF; ++i)
                d.taken[d.taken_size++] = static_cast<char>(c);
            if (d.taken_size == 3 && (formats::starts_with_ignoring_case(d.taken, "inf") ||
                                      formats::starts_with_ignoring_case(d.taken, "nan"))) {
                d.code = CHAN_ASCII;
                return d;
            }
        }
        Libprintf(msg::load_invalid_format);
        errno = EIO;
        d.code = -1;
        return d;
    }
}

} // namespace gridvane::io
