#include "errors.hpp"

#include <cerrno>
#include <cstring>

namespace gridvane_python {

namespace {

// A read that warns on every line of a long file would bury the log: the
// first few are given one by one, the rest as a count.
constexpr std::size_t listed_warnings = 10;

// The names Python code tests against (FormatError.kind, FormatWarning.kind):
// the library's, "unknown" for a kind newer than it.
const char *finding_name(std::int32_t kind)
{
    const char *name = gridvane_finding_name(kind);
    return name != nullptr ? name : "unknown";
}

// The failures that are about what a file holds, by the name FormatError.kind
// gives them; nullptr for the others (the system's, the caller's).
const char *format_failure_name(std::int32_t code)
{
    switch (code) {
    case GRIDVANE_E_EMPTY: return "empty";
    case GRIDVANE_E_INVALID_FORMAT: return "invalid_format";
    case GRIDVANE_E_NO_DATA: return "no_data";
    case GRIDVANE_E_NO_RULE_LINE: return "no_rule_line";
    case GRIDVANE_E_NO_DATA_AFTER_RULE: return "no_data_after_rule";
    case GRIDVANE_E_BAD_MAGIC: return "bad_magic";
    case GRIDVANE_E_TRUNCATED_HEADER: return "truncated_header";
    case GRIDVANE_E_TRUNCATED_SAMPLES: return "truncated_samples";
    case GRIDVANE_E_NEGATIVE_COUNT: return "negative_count";
    case GRIDVANE_E_OUT_OF_PROPORTION: return "out_of_proportion";
    default: return nullptr;
    }
}

py::object errors_module() { return py::module_::import("gridvane._errors"); }

py::object error_number(int error) { return error != 0 ? py::object(py::int_(error)) : py::object(py::none()); }

py::object position(std::int64_t n) { return n > 0 ? py::object(py::int_(n)) : py::object(py::none()); }

} // namespace

bool Findings::observe(const gridvane_finding &finding) noexcept
{
    const bool error = finding.severity == GRIDVANE_SEVERITY_ERROR;
    if (!error && warnings.size() >= listed_warnings) {
        ++unlisted;
        return true;
    }
    try {
        Finding kept{finding.kind, finding.severity, finding.line, finding.column, finding.offset,
                     gridvane::message(finding)};
        if (error)
            refused = std::move(kept);
        else
            warnings.push_back(std::move(kept));
    } catch (...) { // out of memory: an error still stops the read, without its words
        if (error)
            refused = Finding{finding.kind, finding.severity, finding.line, finding.column, finding.offset, {}};
        else
            ++unlisted;
    }
    return !error;
}

std::string status_message(const gridvane_status &status) { return gridvane::message(status); }

py::object status_error(const gridvane_status &status, py::handle filename, py::handle folder)
{
    return errors_module().attr("error")(error_number(status.error), status_message(status), filename, folder);
}

py::object read_error(const ReadOutcome &outcome, py::handle filename)
{
    const gridvane_status &status = outcome.report.status;
    const py::object errors = errors_module();
    if (status.code == GRIDVANE_E_REFUSED && outcome.findings.refused) {
        const Finding &f = *outcome.findings.refused;
        return errors.attr("format_error")(py::none(), f.message, filename, position(f.line),
                                           position(f.column), f.offset, finding_name(f.kind));
    }
    // What the file holds is no system failure: no errno (the library's
    // EIO says only that much to C callers).
    // A reading's rule the file breaks: named for the rule.
    if (status.code == GRIDVANE_E_AGAINST_READING)
        return errors.attr("format_error")(py::none(), status_message(status), filename, position(status.line),
                                           position(status.column), status.offset,
                                           status.found != 0 ? finding_name(static_cast<std::int32_t>(status.found))
                                                             : "against_reading");
    if (const char *name = format_failure_name(status.code))
        return errors.attr("format_error")(py::none(), status_message(status), filename,
                                           position(status.line), position(status.column), status.offset, name);
    if (status.code == GRIDVANE_E_NO_MEMORY)
        return errors.attr("error")(error_number(ENOMEM), status_message(status), filename);
    return status_error(status, filename);
}

void raise(py::object exception)
{
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
    throw py::error_already_set();
}

void warn(const Findings &findings, py::handle filename)
{
    if (findings.warnings.empty() && findings.unlisted == 0)
        return;
    const py::object errors = errors_module();
    for (const Finding &f : findings.warnings)
        errors.attr("warn")(f.message, filename, position(f.line), position(f.column), f.offset, finding_name(f.kind));
    if (findings.unlisted > 0)
        errors.attr("warn")(std::to_string(findings.unlisted) + " more warning" + (findings.unlisted == 1 ? "" : "s") +
                                " of this read not listed",
                            filename, py::none(), py::none(), -1, py::none());
}

} // namespace gridvane_python
