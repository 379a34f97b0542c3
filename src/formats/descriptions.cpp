// The words for every status the extension interface hands out, in one place
// (a finding's are in its row of findings.cpp): clients print these, and
// never make up their own.
#include "content.hpp"
#include "forms.hpp"
#include "wording.hpp"

#include "gridvane_ext.h"

#include <charconv>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace gridvane_core::formats {

// A token or a few bytes as a message shows them: control bytes escaped, a
// long token cut.
std::string quoted(const char *text, std::size_t size)
{
    constexpr std::size_t longest = 40;
    std::string out = "'";
    for (std::size_t i = 0; i < size && i < longest; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + (size > longest ? "...'" : "'");
}

std::string quoted(const char *text) { return text == nullptr ? "''" : quoted(text, std::strlen(text)); }

// The shortest text that reads back as the same float.
std::string number(double x)
{
    if (std::isnan(x))
        return "NaN";
    // A whole number as people write it (20000004, not 2e+07); else the
    // shortest text that reads back.
    char text[64];
    const auto f = static_cast<float>(x);
    const bool whole = f == std::trunc(f) && std::fabs(f) < 1e16f;
    const auto end = whole ? std::to_chars(text, text + sizeof text, f, std::chars_format::fixed).ptr
                           : std::to_chars(text, text + sizeof text, f).ptr;
    return {text, end};
}

std::string count_of(std::int64_t n, const char *noun)
{
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::size_t copy_out(const std::string &text, char *out, std::size_t size)
{
    if (out != nullptr && size > 0) {
        const std::size_t n = text.size() < size ? text.size() : size - 1;
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return text.size();
}

namespace {

// The bytes a status carries packed in found (expected of them).
std::string quoted_bytes(std::int64_t packed, std::int64_t count)
{
    char bytes[4];
    const auto n = static_cast<std::size_t>(count < 0 ? 0 : count > 4 ? 4 : count);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<char>((packed >> (8 * i)) & 0xFF);
    return quoted(bytes, n);
}

// Whether the first bytes look like a text channel file: printable, and
// with something such a file begins with (a digit, a blank, a sign, a
// point, '#' or '|'), which letters alone ("CHAN") are not.
bool looks_like_text(std::int64_t packed, std::int64_t count)
{
    bool telling = false;
    for (std::int64_t i = 0; i < count && i < 4; ++i) {
        const auto c = static_cast<unsigned char>((packed >> (8 * i)) & 0xFF);
        if (!((c >= 0x20 && c < 0x7F) || c == '\n' || c == '\t' || c == '\r'))
            return false;
        telling = telling || (c >= '0' && c <= '9') || std::strchr(" \t\r\n+-.#|", c) != nullptr;
    }
    return telling;
}

// The one wording of an input without a table: empty, or only blank lines
// and comments (bytes read: how much there was).
std::string no_table(std::int64_t bytes)
{
    return bytes == 0 ? "no table: the file is empty" : "no table: only blank lines and comments";
}

// A form as messages name it ("ASCII table"), another code as ASCII.
std::string form_name(std::int64_t form)
{
    const Form *f = form == static_cast<std::int32_t>(form) ? form_of(static_cast<std::int32_t>(form)) : nullptr;
    return f != nullptr ? f->words : "ASCII";
}

// A finding that sums its column up: how many more numbers of the column
// What a reading asked for that the input breaks.
std::string against_reading(const gridvane_status &s)
{
    switch (s.found) {
    case GRIDVANE_FINDING_NAMES_MISMATCH:
        return "the line of names does not give one name a column: the first row has " + count_of(s.expected, "value");
    case GRIDVANE_FINDING_NO_VALUES: return "no row follows the line of names";
    case GRIDVANE_FINDING_SHORT_ROW:
        return "a row of " + count_of(s.expected, "value") + " has no value in the frame column";
    case GRIDVANE_FINDING_INEXACT_FRAME:
        return "a frame column holds whole numbers a float keeps exactly (up to 16777216), and this is none";
    case GRIDVANE_FINDING_FRAME_NOT_RISING:
        return "this frame does not rise above the one before (line " + std::to_string(s.expected) +
               "): a frame column's frames rise";
    default:
        return "names on the first line are read from plain text, and a frame column from plain text or binary "
               "data, not from the table form or binary data read as text";
    }
}

// Sentences a status and its code alone both say.
constexpr const char *padding_words = "a short row is padded to the first row's width, and these rows would be "
                                      "nearly all padding (the bound can be raised or lifted)";
constexpr const char *name_rule_words =
    "cannot stand in the table form: a name is not empty and has no white space, '#' or control byte";

std::string status_text(const gridvane_status &s)
{
    switch (s.code) {
    case GRIDVANE_OK: return "success";
    case GRIDVANE_E_ARGUMENT: return "invalid argument";
    case GRIDVANE_E_BAD_SUFFIX:
        return "the tools library gives the name type " + std::to_string(s.found) + ", not a channel file";
    case GRIDVANE_E_OPEN:
    case GRIDVANE_E_READ:
    case GRIDVANE_E_WRITE: return std::strerror(s.error != 0 ? s.error : EIO);
    case GRIDVANE_E_EMPTY:
    case GRIDVANE_E_NO_DATA: return no_table(s.found);
    case GRIDVANE_E_INVALID_FORMAT: {
        if (s.offset == 0 && s.expected == 4 && s.found == 0x6368616E) // "nahc"
            return "invalid file format: big-endian binary data is read only under a binary name (.chb, .bchan) "
                   "or with the binary form given";
        unsigned char first_bytes[4];
        for (std::size_t i = 0; i < 4; ++i)
            first_bytes[i] = static_cast<unsigned char>((s.found >> (8 * i)) & 0xFF);
        const auto seen = static_cast<std::size_t>(s.expected < 0 ? 0 : s.expected > 4 ? 4 : s.expected);
        if (const std::int32_t other = not_plain_text(first_bytes, seen))
            return std::string("invalid file format: ") + not_plain_text_name(other) + ", not a channel file";
        const auto first = static_cast<char>(s.found & 0xFF);
        return "invalid file format: " + (first == '\r' ? std::string("a carriage return") : quoted(&first, 1)) +
               " cannot begin a channel file (a digit, sign, point, '|', inf or nan can)";
    }
    case GRIDVANE_E_NO_RULE_LINE:
        return "the header has no rule line (a line beginning with '-'): the reader finds no data (EOF reached)";
    case GRIDVANE_E_NO_DATA_AFTER_RULE:
        return "no data line follows the rule line: the reader finds no data (EOF reached)";
    case GRIDVANE_E_BAD_MAGIC:
        return std::string(looks_like_text(s.found, s.expected) ? "text under a binary name or form: " : "") +
               "the reader wants the magic 'chan' or 'nahc' and finds " + quoted_bytes(s.found, s.expected) +
               " (invalid magic number)";
    case GRIDVANE_E_TRUNCATED_HEADER:
        return "truncated header: " + std::to_string(s.found) + " of " + std::to_string(s.expected) + " bytes";
    case GRIDVANE_E_TRUNCATED_SAMPLES:
        return "truncated samples: " + std::to_string(s.found) + " of " + std::to_string(s.expected) + " bytes";
    case GRIDVANE_E_NEGATIVE_COUNT:
        return std::string("negative ") + (s.expected == GRIDVANE_BINARY_COLUMNS_AT ? "column" : "row") + " count " + std::to_string(s.found) +
               ": the reader cannot allocate it";
    case GRIDVANE_E_NO_MEMORY: return "out of memory";
    case GRIDVANE_E_TOO_LARGE:
        return "the table is " + std::to_string(s.expected) + " columns x " + std::to_string(s.found) +
               " rows; the binary form holds at most 32767 of each";
    case GRIDVANE_E_UNKNOWN_HANDLE: return "no table has this handle";
    case GRIDVANE_E_NO_SAMPLES: return "the table has no samples";
    case GRIDVANE_E_REFUSED: return "refused where the reader would take the file other than as written";
    case GRIDVANE_E_OBSERVER: return "the read was stopped by an exception thrown in a callback";
    case GRIDVANE_E_CHANGED:
        return "the file changed while it was read: " +
               (s.expected == s.found ? "still " + std::to_string(s.found) + " bytes, but written since the start"
                                      : std::to_string(s.expected) + " bytes at the start, " +
                                            std::to_string(s.found) + " now");
    case GRIDVANE_E_FRAMES_LOST:
        return "the binary form has no frame column: the frames and column names would be lost";
    case GRIDVANE_E_FORM_AGAINST_NAME:
        return "the name is that of " + std::string(s.found == GRIDVANE_FORM_BINARY ? "a " : "an ") +
               form_name(s.found) + " file, and the " + form_name(s.expected) + " form was asked";
    case GRIDVANE_E_UNNAMED_FORM: return "the name does not tell the form (.chan, .cha, .txt: ASCII; .chb, .bchan: "
                                         "binary): give it";
    case GRIDVANE_E_OUT_OF_PROPORTION:
        return "the table would reach " + std::to_string(s.found) + " bytes, more than " + std::to_string(s.expected) +
               " times what the file has given so far: " + padding_words;
    case GRIDVANE_E_AGAINST_READING: return against_reading(s);
    case GRIDVANE_E_BAD_NAME:
        return "column name " + std::to_string(s.found) + " " + name_rule_words;
    }
    return "unknown status " + std::to_string(s.code);
}

// A code's words with its error number alone, as an error_code keeps it:
// the status's words without the counts, bytes and place only a status has.
std::string code_text(std::int32_t code, std::int32_t error)
{
    switch (code) {
    case GRIDVANE_E_BAD_SUFFIX: return "the tools library gives the name a type that is no channel file";
    case GRIDVANE_E_EMPTY:
    case GRIDVANE_E_NO_DATA: return "no table: the file is empty, or holds only blank lines and comments";
    case GRIDVANE_E_INVALID_FORMAT: return "invalid file format: the first significant byte begins no channel file";
    case GRIDVANE_E_BAD_MAGIC: return "the reader wants the magic 'chan' or 'nahc' (invalid magic number)";
    case GRIDVANE_E_TRUNCATED_HEADER: return "truncated header";
    case GRIDVANE_E_TRUNCATED_SAMPLES: return "truncated samples";
    case GRIDVANE_E_NEGATIVE_COUNT: return "negative count: the reader cannot allocate it";
    case GRIDVANE_E_TOO_LARGE: return "the binary form holds at most 32767 rows and 32767 columns";
    case GRIDVANE_E_CHANGED: return "the file changed while it was read";
    case GRIDVANE_E_AGAINST_READING: return "the input breaks the reading asked for (a line of names, a frame column)";
    case GRIDVANE_E_OUT_OF_PROPORTION:
        return std::string("the table would be out of proportion to the file: ") + padding_words;
    case GRIDVANE_E_FORM_AGAINST_NAME: return "the form asked contradicts the name's type";
    case GRIDVANE_E_BAD_NAME:
        return std::string("a column name ") + name_rule_words;
    default: return status_text(gridvane_status{code, error, 0, 0, -1, 0, 0});
    }
}

} // namespace

} // namespace gridvane_core::formats

extern "C" {

GRIDVANE_API size_t gridvane_code_message(int32_t code, int32_t error, char *out, size_t size)
{
    try {
        return gridvane_core::formats::copy_out(gridvane_core::formats::code_text(code, error), out, size);
    } catch (...) { // out of memory: no text
        return gridvane_core::formats::copy_out({}, out, size);
    }
}

GRIDVANE_API size_t gridvane_status_message(const gridvane_status *status, char *out, size_t size)
{
    try {
        return gridvane_core::formats::copy_out(
            status == nullptr ? std::string("invalid argument") : gridvane_core::formats::status_text(*status), out, size);
    } catch (...) { // out of memory: no text
        return gridvane_core::formats::copy_out({}, out, size);
    }
}

} // extern "C"
