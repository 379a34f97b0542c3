// Every kind of finding the readers report, in one list: its code (the
// public header's GRIDVANE_FINDING_ macro), the name clients test against,
// its severity and its words. A new finding is a row here, the reader that
// detects it, and its test; the header's macro gives the row its code.
#pragma once

#include "gridvane_ext.h"

#include <cstdint>
#include <string>

namespace gridvane_core::formats {

struct FindingKind {
    std::int32_t code;    // GRIDVANE_FINDING_...
    const char *name;     // the macro's name in lower case ("not_a_number")
    std::int32_t severity; // GRIDVANE_SEVERITY_WARNING or _ERROR
    std::string (*words)(const gridvane_finding &f);
};

// The row of a code; nullptr for a code no reader reports.
const FindingKind *finding_kind(std::int32_t code);

// A finding as a line ("'8,25' has text after the number: ...").
std::string finding_text(const gridvane_finding &f);

} // namespace gridvane_core::formats
