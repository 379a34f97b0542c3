// Saving: a registered table written in a form, to a sink or by name
// through the safe replacement. ArrayWrite, ArraySave and the extension
// interface all take these roads.
#pragma once

#include "common/status.hpp"
#include "formats/formats.hpp"
#include "gridvane.h"
#include "registry/record.hpp"

#include <cstdint>

namespace gridvane_core::io {

// Writes a record's countU x countV samples in the plain ASCII form (code 0
// or CHAN_ASCII) or the binary form. For a registered table the counts
// never reach beyond the storage it really has.
Status write_record(formats::Sink &sink, const ArrayNode &node, std::int32_t code,
                    formats::Digits digits = formats::Digits::g15);

// The form a table is written in for a form asked (GRIDVANE_FORM_*) and
// flags: DECIDE becomes TABLE or ASCII by the table's frames; a failure for
// what the form cannot hold (FRAMES_LOST, TOO_LARGE, a TABLE without
// frames).
Status resolve_form(const registry::Record &table, std::int32_t form, std::uint32_t flags, std::int32_t &resolved);

// Writes a table in a resolved form, ASCII values spelled as flags say
// (GRIDVANE_WRITE_SHORTEST); WRITE with the error number on failure.
Status write_table(formats::Sink &sink, const registry::Record &table, std::int32_t form, std::uint32_t flags = 0);

// Saves a table by name in a resolved form through the safe replacement:
// OPEN when no file could be opened, WRITE when writing or replacing failed.
Status save_table(const registry::Record &table, const char *name, std::int32_t form, std::uint32_t flags = 0);

} // namespace gridvane_core::io
