#include "tables.hpp"

#include "outputs.hpp"

#include <climits>
#include <cstdio>

namespace cli {

Reading reading_option(const Args &args)
{
    const bool lenient = args.flag("--lenient"), strict = args.flag("--strict");
    if (lenient && strict)
        usage_error("say --lenient or --strict, not both");
    return lenient ? Reading::lenient : strict ? Reading::strict : Reading::checked;
}

gridvane_reading rules_option(const Args &args)
{
    gridvane_reading rules{0, -1};
    if (const auto names = args.value("--names")) {
        if (*names != "first-line")
            usage_error("--names takes first-line, not '" + *names + "'");
        rules.flags |= GRIDVANE_READ_NAMES_FIRST_LINE;
    }
    if (const auto column = args.value("--frames-column")) {
        const long n = parse_integer(*column, "--frames-column");
        if (n < 0 || n > INT32_MAX)
            usage_error("--frames-column takes a column from 0, not " + *column);
        rules.frames_column = static_cast<int32_t>(n);
    }
    return rules;
}

std::string display_name(const std::string &operand) { return operand == "-" ? "standard input" : operand; }

std::string place(const std::string &file, int64_t line, int64_t column)
{
    if (line <= 0)
        return file;
    return file + ":" + std::to_string(line) + (column > 0 ? ":" + std::to_string(column) : "");
}

std::string status_line(const std::string &file, const gridvane_status &status)
{
    return place(file, status.line, status.column) + ": " + gridvane::message(status);
}

gridvane::table read_table(const std::string &operand, gridvane::read_options options,
                           const gridvane_reading &rules)
{
    gridvane::failure ignored; // the report tells
    // The tool's observers apply its own rules (--lenient, --strict).
    options.lenient = true;
    options.reading = rules;
    if (operand == "-")
        return gridvane::table::read(stdin, options, ignored);
    options.threads = 0; // every core: the library cuts a large file into parts, none for a small one
    return gridvane::table::load(operand, options, ignored);
}

namespace {

// Warnings past this many in one file are counted, not shown.
constexpr int64_t warnings_shown = 10;

// What a checked or strict read has seen so far: the observer stops the
// read at the first finding the reading refuses.
struct Watch {
    Reading reading;
    const std::string &file;
    int64_t warnings = 0;
    std::string refusal; // the line that refuses the file

    bool operator()(const gridvane_finding &finding)
    {
        const std::string where = place(file, finding.line, finding.column) + ": " + gridvane::message(finding);
        if (finding.severity == GRIDVANE_SEVERITY_ERROR) {
            refusal = where + "; --lenient reads it anyway";
            return false;
        }
        if (reading == Reading::strict) {
            refusal = where + "; refused with --strict";
            return false;
        }
        if (++warnings <= warnings_shown)
            say("gridvane: warning: " + where + "\n");
        return true;
    }
};

} // namespace

Input read_input(const std::string &operand, Reading reading, const gridvane_reading &rules)
{
    Input in{{}, display_name(operand), GRIDVANE_KIND_UNKNOWN};
    gridvane_report report{};
    Watch watch{reading, in.name, 0, {}};
    gridvane::read_options options;
    options.report = &report;
    if (reading != Reading::lenient)
        options.observe = std::ref(watch);
    in.table = read_table(operand, options, rules);
    if (watch.warnings > warnings_shown)
        say("gridvane: warning: " + in.name + ": " + std::to_string(watch.warnings - warnings_shown) +
            " more warnings not shown\n");
    if (!in.table) {
        if (report.status.code == GRIDVANE_E_REFUSED && !watch.refusal.empty())
            data_error(watch.refusal);
        data_error(status_line(in.name, report.status));
    }
    in.kind = report.kind;
    in.comments = report.comments;
    return in;
}

gridvane::table make_table(std::size_t rows, std::size_t columns, bool frames, const std::string &name)
{
    gridvane::failure ec;
    gridvane::table t = gridvane::table::create(rows, columns, frames, ec);
    if (ec)
        data_error(name + ": " + ec.message());
    return t;
}

std::string column_label(const gridvane::table &t, std::size_t column)
{
    const std::string_view name = t.column_name(column);
    return name.empty() ? "column " + std::to_string(column) : std::string(name);
}

void require_samples(const Input &input)
{
    const gridvane_extent e = input.table.extent();
    if (e.columns < 1 || e.rows < 1)
        data_error(input.name + ": the table has no samples (" + std::to_string(e.columns) + " columns x " +
                   std::to_string(e.rows) + " rows)");
}

const char *kind_name(int32_t kind)
{
    switch (kind) {
    case GRIDVANE_KIND_ASCII_PLAIN: return "ASCII, plain";
    case GRIDVANE_KIND_ASCII_TABLE: return "ASCII, table form";
    case GRIDVANE_KIND_BINARY_LITTLE: return "binary, little-endian";
    case GRIDVANE_KIND_BINARY_BIG: return "binary, big-endian";
    default: return "unknown";
    }
}

} // namespace cli
