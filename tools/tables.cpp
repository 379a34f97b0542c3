#include "tables.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <thread>
#include <vector>

namespace cli {

Reading reading_option(const Args &args)
{
    const bool lenient = args.flag("--lenient"), strict = args.flag("--strict");
    if (lenient && strict)
        usage_error("say --lenient or --strict, not both");
    return lenient ? Reading::lenient : strict ? Reading::strict : Reading::checked;
}

std::string display_name(const std::string &operand) { return operand == "-" ? "standard input" : operand; }

std::string place(const std::string &file, int64_t line, int64_t column)
{
    if (line <= 0)
        return file;
    return file + ":" + std::to_string(line) + (column > 0 ? ":" + std::to_string(column) : "");
}

namespace {

// The library's texts have no bound: ask for the length, then the text.
template <typename Thing, typename Words> std::string words_of(const Thing &thing, Words words)
{
    std::string text(words(&thing, nullptr, 0), '\0');
    words(&thing, text.data(), text.size() + 1);
    return text;
}

} // namespace

std::string status_text(const gridvane_status &status) { return words_of(status, gridvane_status_message); }

std::string finding_text(const gridvane_finding &finding) { return words_of(finding, gridvane_finding_message); }

std::string status_line(const std::string &file, const gridvane_status &status)
{
    return place(file, status.line, status.column) + ": " + status_text(status);
}

namespace {

// A file read on every core: the library cuts it into parts (none for a
// small file) and our threads read them.
int32_t load_on_every_core(const std::string &path, gridvane_observer observer, void *context,
                           gridvane_report &report)
{
    const auto cores = static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
    gridvane_plan *plan = gridvane_plan_load(path.c_str(), GRIDVANE_FORM_DECIDE, cores, observer, context, &report);
    if (plan == nullptr)
        return -1;
    std::vector<std::thread> helpers;
    const int32_t parts = gridvane_plan_parts(plan);
    try {
        for (int32_t k = 1; k < parts; ++k)
            helpers.emplace_back([plan, k] { gridvane_read_part(plan, k); });
    } catch (...) { // no more threads (or no room to list one): the finish reads what is left
    }
    if (parts > 0)
        gridvane_read_part(plan, 0);
    for (auto &helper : helpers)
        helper.join();
    return gridvane_finish_load(plan, &report);
}

} // namespace

int32_t read_table(const std::string &operand, gridvane_observer observer, void *context, gridvane_report &report)
{
    if (operand != "-")
        return load_on_every_core(operand, observer, context, report);
    // Standard input is kept whole first: a pipe can be read only once.
    std::FILE *kept = std::tmpfile();
    if (kept == nullptr)
        system_error("cannot keep standard input", errno);
    struct Closed {
        std::FILE *stream;
        ~Closed() { std::fclose(stream); }
    } closed{kept};
    std::vector<char> buffer(1 << 16);
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), stdin)) > 0)
        if (std::fwrite(buffer.data(), 1, n, kept) != n)
            system_error("cannot keep standard input", errno);
    if (std::ferror(stdin))
        system_error("standard input", errno);
    if (std::fflush(kept) != 0)
        system_error("cannot keep standard input", errno);
    std::rewind(kept);
    return gridvane_read(kept, GRIDVANE_FORM_DECIDE, observer, context, &report);
}

namespace {

// Warnings past this many in one file are counted, not shown.
constexpr int64_t warnings_shown = 10;

// What a checked or strict read has seen so far.
struct Watch {
    Reading reading;
    const std::string &file;
    int64_t warnings = 0;
    std::string refusal; // the line that refuses the file
};

extern "C" int watch_finding(const gridvane_finding *finding, void *context)
{
    auto &watch = *static_cast<Watch *>(context);
    try {
        const std::string where = place(watch.file, finding->line, finding->column) + ": " + finding_text(*finding);
        if (finding->severity == GRIDVANE_ERROR) {
            watch.refusal = where + "; --lenient reads it anyway";
            return 1;
        }
        if (watch.reading == Reading::strict) {
            watch.refusal = where + "; refused with --strict";
            return 1;
        }
        if (++watch.warnings <= warnings_shown)
            std::fprintf(stderr, "gridvane: warning: %s\n", where.c_str());
        return 0;
    } catch (...) { // no memory for the words: stop the read
        return 1;
    }
}

} // namespace

Table::Table(const std::string &operand, Reading reading) : name_(display_name(operand))
{
    gridvane_report report{};
    Watch watch{reading, name_, 0, {}};
    const int32_t id = reading == Reading::lenient ? read_table(operand, nullptr, nullptr, report)
                                                   : read_table(operand, watch_finding, &watch, report);
    if (watch.warnings > warnings_shown)
        std::fprintf(stderr, "gridvane: warning: %s: %lld more warnings not shown\n", name_.c_str(),
                     static_cast<long long>(watch.warnings - warnings_shown));
    if (id < 0) {
        if (report.status.code == GRIDVANE_E_REFUSED && !watch.refusal.empty())
            data_error(watch.refusal);
        data_error(status_line(name_, report.status));
    }
    take(id);
    kind_ = report.kind;
}

Table::Table(int32_t rows, int32_t columns, bool frames, const std::string &name) : name_(name)
{
    gridvane_status status{};
    const int32_t id = gridvane_alloc(rows, columns, frames ? ARRAY_FRAME : 0u, &status);
    if (id < 0)
        data_error(status_line(name_, status));
    take(id);
}

void Table::take(int32_t id)
{
    id_ = id;
    const ArrayNode *node = ArrayGetPointer(id);
    columns_ = static_cast<int32_t>(node->countU);
    rows_ = static_cast<int32_t>(node->countV);
    frames_ = (node->flags & ARRAY_FRAME) != 0;
    rows_index_ = rows_ > 0 && (columns_ > 0 || frames_) ? ArrayGetArray(id) : nullptr;
}

Table::~Table()
{
    if (id_ > 0)
        ArrayFree(id_);
}

std::string Table::header_name(int32_t column) const
{
    const char *name = gridvane_column_name(id_, column);
    return name != nullptr ? name : "";
}

std::string Table::column_label(int32_t column) const
{
    const std::string name = header_name(column);
    return name.empty() ? "column " + std::to_string(column) : name;
}

void Table::require_samples() const
{
    if (columns_ < 1 || rows_ < 1)
        data_error(name_ + ": the table has no samples (" + std::to_string(columns_) + " columns x " +
                   std::to_string(rows_) + " rows)");
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
