// The ASCII and binary channel formats on sources and sinks of bytes and on
// bare row storage. Readers hand back a row index (rows of their own for a
// caller who frees them one by one, or packs when the library keeps them)
// with a status; they never return a partial table. Given an observer, they
// also tell it each place where they take the input other than as written.
#pragma once

#include "common/status.hpp"
#include "content.hpp"
#include "common/heap.hpp"
#include "storage/rows.hpp"
#include "observer.hpp"
#include "stream.hpp"
#include "summaries.hpp"

#include <cstddef>
#include <cstdint>

namespace gridvane_core::formats {

// What the ASCII reader found: the rows (a null index when it failed), each
// count rows of width floats, whether the text had the table form (whose
// rows keep their frame number in the last slot) and the header's names.
struct AsciiRead {
    storage::Rows rows;
    bool table_form = false;
    bool frames_column = false; // a plain text whose frames stood in a column: in the last slot too
    storage::Names names;
    Status status = ok_status();
    std::int64_t comments = 0; // lines with a '#' comment, which the table does not keep
};

// How the caller asked the plain text form to be read (gridvane_reading):
// its first line as the names, and a column of frames.
struct Reading {
    bool names_first_line = false;
    std::int64_t frames_column = -1;
    bool any() const { return names_first_line || frames_column >= 0; }
};

AsciiRead read_ascii(Source &source, storage::Layout layout, Observer *observer = nullptr, ReadStart start = {},
                     const Reading &reading = {});

// A load split into parts: a head is read first, up to and including the
// first data row, which fixes the form and the width; then each part (whole
// lines of the rest) goes on from it on its own, in any thread. What a head
// or a part ends with, beyond its rows: where it ended, its lines, and what
// joining the parts needs to tell the findings a single read would.
struct Span {
    std::int64_t end_offset = 0; // the head's: where the parts begin
    std::int64_t lines = 0;
    bool table_form = false;
    std::size_t width = 0;
    // The last frame that is a number, and its line.
    float last_frame = __builtin_nanf("");
    std::int64_t last_frame_line = 0;
    // A part's first frame that is a number, which only the parts before
    // can compare: its finding should it not rise, and how many findings
    // the part told before that comparison.
    bool first_frame_seen = false;
    gridvane_finding first_frame{};
    std::int64_t first_frame_told = 0;
    bool told_carriage_return = false;
    // The table's largest excess over its bound (see Growth::peak).
    std::int64_t growth_peak = INT64_MIN;
    // A frame column (gridvane_reading): a first frame that does not rise
    // above the parts before refuses the load.
    bool frames_refused_falling = false;
    // The findings that sum a column up, kept for the join to tell.
    ColumnSummaries summaries;
};

// The head: reads until the first data row (the names with it) and fills
// span; the rows hold that one row (in a pack).
AsciiRead read_ascii_head(Source &source, Observer *observer, ReadStart start, Span &span,
                          const Reading &reading = {});
// A part: span comes in with the head's form and width and goes out with
// the part's own; lines count from the part's first; rows in packs.
AsciiRead read_ascii_part(Source &source, Observer *observer, ReadStart start, Span &span,
                          const Reading &reading = {});

// What the binary reader found: the rows (a null index when it failed) and
// the file's byte order.
struct BinaryRead {
    storage::Rows rows;
    bool big_endian = false;
    Status status = ok_status();
};

// offset: where the source begins in the input, for positions.
BinaryRead read_binary(Source &source, storage::Layout layout, Observer *observer = nullptr, std::int64_t offset = 0);

// Binary rows whose frames stand in column (a reading's frame column): each
// row's frame moved to its last slot, the columns after it moved up one. A
// frame that is no whole number, or not above the one before, fails
// (AGAINST_READING) at its sample, the file's offset plus one its column
// (offset: where the samples begin in the input); so does a column the
// rows do not have.
Status binary_frames_from_column(const storage::Rows &rows, std::int64_t column, std::int64_t offset);

// How the ASCII writers spell a value: "%.15g", as the 20 functions always
// write, or the shortest text that reads back as the same float (0.1, not
// 0.100000001490116), for text that people read.
enum class Digits { g15, shortest };

// The writers give WRITE with the system's error number when a write or
// the final flush failed.
// The plain ASCII form: every value after a tab, a line per row.
Status write_ascii(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v,
                   Digits digits = Digits::g15, std::int64_t frame_slot = -1);
// The table form: "|" and the names (column<N> where a column has none), a
// rule line, then for each row its frame (the float at frame_slot), a "|"
// and the values.
Status write_ascii_table(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v,
                         std::int64_t frame_slot, const storage::Names &names, Digits digits = Digits::g15);
Status write_binary(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v);
// The plain forms with each row's frame (the float at frame_slot) first, as
// a column of its own (ARGUMENT when the binary header cannot count it).
Status write_binary_frame_first(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v,
                                std::int64_t frame_slot);
// The same behind the checks ChanWriteAscii and ChanWriteBin make: ARGUMENT
// with EINVAL, nothing written, for missing rows or (binary) counts the
// header cannot hold.
Status write_ascii_checked(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v,
                           Digits digits = Digits::g15);
Status write_binary_checked(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v);

// Whether the table form can hold a name: non-empty, without white space,
// '#' or control bytes, and not "|".
bool name_fits_table_form(const char *name);

} // namespace gridvane_core::formats
