#include "forms.hpp"

#include "messages.hpp"

#include <cerrno>
#include <cstring>
#include <iterator>

namespace gridvane_core::formats {

namespace {

Read read_text(Source &source, Observer *observer, const ReadStart &start, const Reading &reading)
{
    // Text tables, often of many short rows, keep their rows in packs.
    const AsciiRead read = read_ascii(source, storage::Layout::packs, observer, start, reading);
    Read out;
    out.status = read.status;
    if (!succeeded(read.status))
        return out;
    out.rows = read.rows;
    out.flags = ascii_flags(read);
    out.names = read.names;
    out.kind = read.table_form ? GRIDVANE_KIND_ASCII_TABLE : GRIDVANE_KIND_ASCII_PLAIN;
    out.comments = read.comments;
    return out;
}

Read read_samples(Source &source, Observer *observer, const ReadStart &start, const Reading &reading)
{
    const BinaryRead read = read_binary(source, storage::Layout::packs, observer, start.offset);
    Read out;
    out.status = read.status;
    if (!succeeded(read.status))
        return out;
    out.status = binary_frames(read.rows, reading, start.offset);
    if (!succeeded(out.status)) {
        storage::release_rows(read.rows);
        return out;
    }
    out.rows = read.rows;
    out.flags = reading.frames_column >= 0 ? ARRAY_FRAME : 0;
    out.kind = read.big_endian ? GRIDVANE_KIND_BINARY_BIG : GRIDVANE_KIND_BINARY_LITTLE;
    return out;
}

Status holds_anything(const Shape &) { return ok_status(); }

Status holds_frames(const Shape &shape)
{
    return shape.frames && shape.frame_slot ? ok_status() : failure(GRIDVANE_E_ARGUMENT, EINVAL);
}

// The header counts at most 32767 columns and rows, and has no frames.
Status holds_binary(const Shape &shape)
{
    if (shape.frames && !shape.frames_first && !shape.drop_frames)
        return failure(GRIDVANE_E_FRAMES_LOST, EINVAL);
    const std::int64_t columns = shape.columns + (shape.frames_first ? 1 : 0);
    if (columns > GRIDVANE_BINARY_COUNT_MAX || shape.rows > GRIDVANE_BINARY_COUNT_MAX)
        return with_counts(failure(GRIDVANE_E_TOO_LARGE, EINVAL), columns, shape.rows);
    return ok_status();
}

Status write_text(Sink &sink, const Writing &t)
{
    return t.frames_first ? write_ascii(sink, t.rows, t.columns, t.count, t.digits, t.frame_slot)
                          : write_ascii_checked(sink, t.rows, t.columns, t.count, t.digits);
}

Status write_text_table(Sink &sink, const Writing &t)
{
    static const storage::Names none{};
    return write_ascii_table(sink, t.rows, t.columns, t.count, t.frame_slot, t.names != nullptr ? *t.names : none,
                             t.digits);
}

Status write_samples(Sink &sink, const Writing &t)
{
    return t.frames_first ? write_binary_frame_first(sink, t.rows, t.columns, t.count, t.frame_slot)
                          : write_binary_checked(sink, t.rows, t.columns, t.count);
}

// The first row is the form of the tools library's type 0.
constexpr Form forms[] = {
    {GRIDVANE_FORM_ASCII, CHAN_ASCII, "ascii", ".chan", "ASCII", false, true, read_text, Cut::lines,
     tell_host_of_ascii_failure, holds_anything, write_text},
    {GRIDVANE_FORM_TABLE, CHAN_ASCII, nullptr, ".chan", "ASCII table", true, true, nullptr, Cut::lines,
     tell_host_of_ascii_failure, holds_frames, write_text_table},
    {GRIDVANE_FORM_BINARY, CHAN_BIN, "binary", ".chb", "binary", false, false, read_samples, Cut::rows,
     tell_host_of_binary_failure, holds_binary, write_samples},
};

} // namespace

std::span<const Form> every_form() { return forms; }

const Form *form_of(std::int32_t code)
{
    for (const Form &f : forms)
        if (f.code == code)
            return &f;
    return nullptr;
}

const Form *file_form(std::int32_t type)
{
    if (type == 0)
        return &forms[0];
    const Form *f = form_of(type);
    return f != nullptr && f->read != nullptr ? f : nullptr;
}

bool readable(std::int32_t code)
{
    const Form *f = form_of(code);
    return code == GRIDVANE_FORM_DECIDE || (f != nullptr && f->read != nullptr);
}

const Form *written_form(std::int32_t type, bool frames)
{
    if (frames)
        for (const Form &f : forms)
            if (f.type == type && f.frames)
                return &f;
    return file_form(type);
}

Status takes_reading(const Form &form, const Reading &reading)
{
    return form.names || !reading.names_first_line ? ok_status()
                                                   : with_counts(failure(GRIDVANE_E_AGAINST_READING), 0, 0);
}

std::uint32_t ascii_flags(const AsciiRead &read) { return read.table_form || read.frames_column ? ARRAY_FRAME : 0; }

Status binary_frames(const storage::Rows &rows, const Reading &reading, std::int64_t offset)
{
    if (reading.frames_column < 0)
        return ok_status();
    return binary_frames_from_column(rows, reading.frames_column, offset + GRIDVANE_BINARY_HEADER_SIZE);
}

} // namespace gridvane_core::formats

extern "C" {

GRIDVANE_API const char *gridvane_form_suffix(int32_t form)
{
    const gridvane_core::formats::Form *f = gridvane_core::formats::form_of(form);
    return f != nullptr ? f->suffix : nullptr;
}

GRIDVANE_API const char *gridvane_form_word(int32_t form)
{
    const gridvane_core::formats::Form *f = gridvane_core::formats::form_of(form);
    return f != nullptr ? f->word : nullptr;
}

GRIDVANE_API int32_t gridvane_form_of_word(const char *word)
{
    if (word != nullptr)
        for (const gridvane_core::formats::Form &f : gridvane_core::formats::forms)
            if (f.word != nullptr && std::strcmp(f.word, word) == 0)
                return f.code;
    return -1;
}

} // extern "C"
