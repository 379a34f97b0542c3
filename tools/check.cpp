// check: every place where the library's readers take a file other than as
// it is written, in the readers' own words, and why a file cannot be read.
#include "batch.hpp"
#include "outputs.hpp"
#include "tables.hpp"
#include "verbs.hpp"

namespace cli {

namespace {

// Findings past this many in one file are counted, not shown; past the
// second number the file is read no further (an endless stream of noise on
// standard input would otherwise be read for ever).
constexpr std::size_t shown_per_file = 100;
constexpr int64_t read_per_file = 10000;

struct Finding {
    int64_t line, column;
    std::string message;
};

struct Examined {
    std::vector<Finding> shown;
    int64_t total = 0;
    bool cut_short = false; // read no further after read_per_file findings
    std::string error;      // the file could not be opened or read at all
};

bool collect(Examined &examined, const gridvane_finding &finding)
{
    if (examined.shown.size() < shown_per_file)
        examined.shown.push_back({finding.line, finding.column, gridvane::message(finding)});
    ++examined.total;
    examined.cut_short = examined.total == read_per_file;
    // Binary, compressed or UTF-16 data read as text: whatever the reader
    // says after that follows from it.
    return finding.kind != GRIDVANE_FINDING_BINARY_AS_TEXT && finding.kind != GRIDVANE_FINDING_NOT_PLAIN_TEXT &&
           !examined.cut_short;
}

Examined examine(const std::string &path, const gridvane_reading &rules)
{
    Examined examined;
    gridvane_report report{};
    gridvane::read_options options;
    options.report = &report;
    options.observe = [&examined](const gridvane_finding &f) { return collect(examined, f); };
    if (read_table(path, options, rules))
        return examined;
    const gridvane_status &s = report.status;
    if (s.code == GRIDVANE_E_OPEN || s.code == GRIDVANE_E_READ)
        examined.error = status_line(display_name(path), s);
    else if (s.code != GRIDVANE_E_REFUSED) {
        if (examined.shown.size() < shown_per_file)
            examined.shown.push_back({s.line, s.column, gridvane::message(s)});
        ++examined.total;
    }
    return examined;
}

std::string listed(const std::string &file, const Examined &e)
{
    std::string text;
    for (const Finding &f : e.shown)
        text += place(file, f.line, f.column) + ": " + f.message + "\n";
    if (e.total > static_cast<int64_t>(e.shown.size()))
        text += file + ": " + std::to_string(e.total - static_cast<int64_t>(e.shown.size())) +
                " more findings not shown\n";
    if (e.cut_short)
        text += file + ": the rest is not read: " + std::to_string(read_per_file) + " findings are enough\n";
    return text;
}

std::string json_of(const std::string &file, const Examined &e)
{
    std::string text = "{\"file\": " + json_string(file);
    if (!e.error.empty())
        return text + ", \"error\": " + json_string(e.error) + "}";
    text += ", \"findings\": [";
    for (std::size_t i = 0; i < e.shown.size(); ++i)
        text += std::string(i ? ", " : "") + "{\"line\": " + std::to_string(e.shown[i].line) +
                ", \"column\": " + std::to_string(e.shown[i].column) +
                ", \"message\": " + json_string(e.shown[i].message) + "}";
    return text + "], \"total\": " + std::to_string(e.total) + "}";
}

std::string counted(int64_t n, const char *noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }

} // namespace

int check(const std::vector<std::string> &words)
{
    const Args args(words, with_rules(batch_options), {"--json"});
    const gridvane_reading rules = rules_option(args);
    const Batch batch = batch_files(args);
    if (batch.files.empty())
        usage_error("check needs a FILE");
    const bool json = args.flag("--json");
    int64_t files = 0, with_findings = 0, findings = 0;
    bool failed = false;
    Progress progress(batch.mine.size());
    if (json)
        put("[");
    for (const std::string &path : batch.mine) {
        const std::string name = display_name(path);
        Examined e;
        try {
            e = examine(path, rules);
        } catch (const std::bad_alloc &) { // no memory for the words
            e.error = name + ": out of memory";
        }
        if (!e.error.empty()) {
            failed = true;
            std::fflush(stdout);
            say("gridvane: check: " + e.error + "\n");
        }
        ++files;
        findings += e.total;
        with_findings += e.total > 0;
        put(json ? (files > 1 ? ",\n" : "\n") + json_of(name, e) : listed(name, e));
        std::fflush(stdout);
        progress.step();
    }
    progress.clear();
    if (json)
        put("\n]\n");
    else
        put("checked " + counted(files, "file") + batch.shard.of(batch.files.size()) + ": " +
            counted(findings, "finding") + " in " + counted(with_findings, "file") + batch.repeats() +
            (failed ? "; some files could not be read\n" : "\n"));
    return findings > 0 || failed ? exit_failure : 0;
}

} // namespace cli
