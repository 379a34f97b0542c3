// Failures and findings as Python sees them: a library status becomes an
// exception of gridvane._errors, a reader's findings become a FormatError
// (the first ERROR one, which stops the read) or FormatWarnings.
#pragma once

#include "gridvane.hpp"

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace gridvane_python {

namespace py = pybind11;

// One place where a reader took the input other than as it is written,
// in the library's words.
struct Finding {
    std::int32_t kind = 0;
    std::int32_t severity = 0;
    std::int64_t line = 0, column = 0, offset = -1;
    std::string message;
};

// What the readers reported during one read. Filled on the reading thread,
// without the GIL: nothing here touches Python.
class Findings {
public:
    // A lenient read has no observer: the library reads as it reads.
    explicit Findings(bool lenient) : lenient_(lenient) {}
    // The observer of a read: none for a lenient one.
    gridvane::observer observer()
    {
        if (lenient_)
            return {};
        return [this](const gridvane_finding &f) { return observe(f); };
    }

    // The warnings kept for Python (the first few of a read), and how many
    // more the read had.
    std::vector<Finding> warnings;
    std::int64_t unlisted = 0;
    // The ERROR finding that stopped the read.
    std::optional<Finding> refused;

private:
    // Keeps a finding; false (stop) at an ERROR finding.
    bool observe(const gridvane_finding &finding) noexcept;
    bool lenient_;
};

// What one load or read left.
struct ReadOutcome {
    explicit ReadOutcome(bool lenient) : findings(lenient) {}
    gridvane::table table;
    gridvane_report report{};
    Findings findings;
};

// The library's words for a status.
std::string status_message(const gridvane_status &status);

// The exception for a failed status; filename is the file concerned (None:
// none), folder the folder a save had to write into, when it was the cause.
py::object status_error(const gridvane_status &status, py::handle filename, py::handle folder = py::none());
// The exception for a failed read: a FormatError for what the file holds,
// a gridvane.Error (or its errno's subclass) for the rest.
py::object read_error(const ReadOutcome &outcome, py::handle filename);
[[noreturn]] void raise(py::object exception);

// Hands a read's warnings to Python's warnings module (which may raise, when
// a filter turns them into errors).
void warn(const Findings &findings, py::handle filename);

} // namespace gridvane_python
