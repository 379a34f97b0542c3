// The channel file forms in one table: for each, its code, the tools
// library's type of its files, the word and suffix clients know it by,
// whether its files keep frames and names, how it is read whole and cut
// into parts, what it can hold and how it is written. Loading, saving,
// planned loads and the extension interface ask this table and switch on no
// form themselves; a new form is a row here, its reader and writer.
#pragma once

#include "common/status.hpp"
#include "formats.hpp"
#include "gridvane_ext.h"
#include "storage/rows.hpp"

#include <cstdint>
#include <span>

namespace gridvane_core::formats {

// What a whole read gives whatever the form: rows the registry takes (a null
// index when it failed), their flags (ARRAY_FRAME: a frame in each row's
// last slot), the header's names, what the input was and its comments.
struct Read {
    storage::Rows rows;
    std::uint32_t flags = 0;
    storage::Names names;
    std::int32_t kind = GRIDVANE_KIND_UNKNOWN;
    std::int64_t comments = 0;
    Status status = ok_status();
};

// A table as the writers take it: columns x count rows of floats, the slot
// of each row's frame (-1: none), and whether the frames go first as a
// column of their own rather than as the table form's frames.
struct Writing {
    float *const *rows = nullptr;
    std::int32_t columns = 0, count = 0;
    std::int64_t frame_slot = -1;
    bool frames_first = false;
    const storage::Names *names = nullptr;
    Digits digits = Digits::g15;
};

// What a form must hold, asked before anything is written.
struct Shape {
    bool frames = false;       // the table has frames
    bool frame_slot = false;   // in a slot its rows have
    bool frames_first = false; // written as a first column (GRIDVANE_WRITE_FRAMES_AS_COLUMN)
    bool drop_frames = false;  // GRIDVANE_WRITE_DROP_FRAMES
    std::int64_t columns = 0, rows = 0;
};

// How a planned load cuts the rest of a file into parts: at line ends after
// a head that fixes the width, or into whole rows of a size the header fixes.
enum class Cut { lines, rows };

struct Form {
    std::int32_t code;  // GRIDVANE_FORM_...
    std::int32_t type;  // the tools library's type of its files, the form they read as
    const char *word;   // what clients ask for it by ("ascii"); null: asked by code only
    const char *suffix; // the suffix a file of it is written under
    const char *words;  // how messages name it ("ASCII table")
    bool frames;        // its files keep a table's frames (the table form)
    bool names;         // its files can hold a line of column names
    // Reads a source whole; null for a form read as its type's (the table
    // form is read as ASCII).
    Read (*read)(Source &source, Observer *observer, const ReadStart &start, const Reading &reading);
    Cut cut;
    // Tells a host of the 20 functions why its read failed.
    void (*tell_host)(const Status &failed);
    // OK when the form holds such a table; else why not (EINVAL).
    Status (*fits)(const Shape &shape);
    Status (*write)(Sink &sink, const Writing &table);
};

// Every row, for tests that go through them all.
std::span<const Form> every_form();

// The row of a GRIDVANE_FORM_ code; null for none.
const Form *form_of(std::int32_t code);

// The form the 20 functions read and write a tools-library type in: type 0
// as the first row (ASCII), a readable form's own type as itself; null for
// a type that is no channel file.
const Form *file_form(std::int32_t type);

// Whether a read can be asked for in this form (GRIDVANE_FORM_DECIDE too).
bool readable(std::int32_t code);

// The form a table is written in when its type is given but not its form:
// the form of that type that keeps frames when the table has them, else
// the type's plain form.
const Form *written_form(std::int32_t type, bool frames);

// OK when the form takes what a reading asks (a line of names needs a form
// that has one); AGAINST_READING else.
Status takes_reading(const Form &form, const Reading &reading);

// The flags rows read from the ASCII form get: frames from the table form
// or from a reading's frame column.
std::uint32_t ascii_flags(const AsciiRead &read);

// Binary rows read from offset with a reading's frame column: the frames
// moved to the last slot, or the failure where one does not fit.
Status binary_frames(const storage::Rows &rows, const Reading &reading, std::int64_t offset = 0);

} // namespace gridvane_core::formats
