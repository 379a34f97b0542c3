// Loading: a source, a stream or a named file read in a form (or in the
// form its content decides) and registered as a table. ArrayRead, ArrayLoad
// and the extension interface all take these roads; each exported function
// words the outcome for its own callers.
#pragma once

#include "common/status.hpp"
#include "formats/formats.hpp"
#include "gridvane.h"

#include <cstdint>
#include <cstdio>

namespace gridvane_core::io {

// The step a load failed at, which the 20 functions' messages depend on.
enum class Step { open, decide, read, registration };

struct Loaded {
    ArrayNode *node = nullptr; // the new table, or null
    Status status = ok_status();
    Step step = Step::read;
    std::int32_t form = 0;  // the reader that ran: CHAN_ASCII or CHAN_BIN
    std::int32_t kind = GRIDVANE_KIND_UNKNOWN;
    std::int64_t comments = 0; // lines with a comment, which the table does not keep
    bool registry_was_empty = false; // a registration that failed: whether it would have been the first table
};

// Registers what a reader read (the registry owns it from here on), or
// fails at the registration step.
Loaded registered(std::int32_t type, const storage::Rows &rows, std::uint32_t flags, const storage::Names &names,
                  std::int32_t kind);

// Reads a source in a form (CHAN_ASCII or CHAN_BIN) and registers the
// table; any other type reads nothing and registers a table of that type
// without samples. start: where the source begins in the input.
// A reading (gridvane_reading) applies to the plain text form only.
Loaded read_form(formats::Source &source, std::int32_t form, formats::Observer *observer,
                 const formats::ReadStart &start = {}, const formats::Reading &reading = {});

// The same, with form 0 deciding by the content a block at a time: for a
// source of our own (a file, a stream read to its end).
Loaded read_deciding(formats::Source &source, std::int32_t form, formats::Observer *observer,
                     const formats::Reading &reading = {});

// The same on a stream that others may read on from (standard input): a
// decision by content takes one byte at a time.
Loaded read_shared_stream(std::FILE *stream, std::int32_t form, formats::Observer *observer,
                          const formats::Reading &reading = {});

// Opens a file by name and reads it (form 0: decided by content).
Loaded load_file(const char *name, std::int32_t form, formats::Observer *observer,
                 const formats::Reading &reading = {});

// A caller's gridvane_reading (NULL: none) as the readers take it; false
// for an unknown flag or a frame column below -1.
bool reading_of(const gridvane_reading *given, formats::Reading &reading);

// A line of names begins with what begins no table: a reading that has
// one decides for the text form (binary data is then refused by the
// reader); else form (0: the content decides).
std::int32_t decided_by_reading(std::int32_t form, const formats::Reading &reading);

// Test seam: the smallest part a planned load cuts (a megabyte); returns
// the one before.
std::int64_t set_smallest_part(std::int64_t bytes);

// Tells a host of the 20 functions why a load failed: the message and the
// error number ArrayRead and ArrayLoad give.
void tell_host_of_load_failure(const Loaded &loaded, const char *name);

} // namespace gridvane_core::io
