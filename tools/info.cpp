// info: what a table is, and each column's range, mean and NaN count.
#include "number_text.hpp"
#include "outputs.hpp"
#include "tables.hpp"
#include "verbs.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace cli {

namespace {

struct ColumnStats {
    float min = std::numeric_limits<float>::infinity();
    float max = -std::numeric_limits<float>::infinity();
    double sum = 0;
    long long values = 0, nans = 0;
    double mean() const { return values > 0 ? sum / static_cast<double>(values) : NAN; }
};

std::vector<ColumnStats> column_stats(const gridvane::table &t)
{
    std::vector<ColumnStats> stats(t.columns());
    for (std::size_t r = 0; r < t.rows(); ++r) {
        const std::span<const float> row = t.row(r);
        for (std::size_t c = 0; c < stats.size(); ++c) {
            const float x = row[c];
            ColumnStats &s = stats[c];
            if (std::isnan(x)) {
                ++s.nans;
                continue;
            }
            s.min = std::min(s.min, x);
            s.max = std::max(s.max, x);
            s.sum += x;
            ++s.values;
        }
    }
    return stats;
}

std::string described(const Input &in, const std::vector<ColumnStats> &stats)
{
    const gridvane::table &t = in.table;
    std::string text = in.name + ": " + kind_name(in.kind) + ", " + std::to_string(t.columns()) + " columns x " +
                       std::to_string(t.rows()) + " rows\n";
    if (t.has_frames() && t.rows() > 0)
        text += "  frames " + number_text(t.frame_value(0)) + " to " + number_text(t.frame_value(t.rows() - 1)) + "\n";
    for (std::size_t c = 0; c < stats.size(); ++c) {
        const ColumnStats &s = stats[c];
        text += "  " + column_label(t, c) + ": ";
        if (s.values == 0)
            text += "no numbers";
        else
            text += "min " + number_text(s.min) + ", max " + number_text(s.max) + ", mean " +
                    number_text(s.mean(), 10);
        text += ", " + std::to_string(s.nans) + " NaN\n";
    }
    return text;
}

std::string json_of(const Input &in, const std::vector<ColumnStats> &stats, const std::string &failure)
{
    const gridvane::table &t = in.table;
    std::string text = "{\"file\": " + json_string(in.name) + ", \"kind\": " + json_string(kind_name(in.kind)) +
                       ", \"columns\": " + std::to_string(t.columns()) + ", \"rows\": " + std::to_string(t.rows()) +
                       ", \"frames\": ";
    if (t.has_frames() && t.rows() > 0)
        text += "[" + json_number(t.frame_value(0)) + ", " + json_number(t.frame_value(t.rows() - 1)) + "]";
    else
        text += "null";
    text += ", \"column_stats\": [";
    for (std::size_t c = 0; c < stats.size(); ++c) {
        const ColumnStats &s = stats[c];
        const std::string name(t.column_name(c));
        text += std::string(c ? ", " : "") + "{\"name\": " + (name.empty() ? "null" : json_string(name)) +
                ", \"min\": " + (s.values ? json_number(s.min) : "null") +
                ", \"max\": " + (s.values ? json_number(s.max) : "null") + ", \"mean\": " + json_number(s.mean()) +
                ", \"nan\": " + std::to_string(s.nans) + "}";
    }
    return text + "]" + (failure.empty() ? "" : ", \"error\": " + json_string(failure)) + "}";
}

} // namespace

int info(const std::vector<std::string> &words)
{
    const Args args(words, rules_options, {"--json", "--strict", "--lenient"});
    const gridvane_reading rules = rules_option(args);
    if (args.operands().empty())
        usage_error("info needs a FILE");
    const Reading reading = reading_option(args);
    const bool json = args.flag("--json");
    int status = 0;
    if (json)
        put("[");
    bool first = true;
    for (const std::string &path : args.operands()) {
        std::optional<Input> in;
        std::string failure;
        try {
            in = read_input(path, reading, rules);
        } catch (const Failure &f) {
            failure = f.what();
        }
        if (in && (in->table.columns() < 1 || in->table.rows() < 1))
            failure = in->name + ": the table has no samples";
        if (json) {
            put(std::string(first ? "\n" : ",\n") +
                (in ? json_of(*in, column_stats(in->table), failure)
                    : "{\"file\": " + json_string(display_name(path)) + ", \"error\": " + json_string(failure) + "}"));
        } else if (in) {
            put(described(*in, column_stats(in->table)));
        }
        first = false;
        if (!failure.empty()) {
            std::fflush(stdout);
            std::fprintf(stderr, "gridvane: info: %s\n", failure.c_str());
            status = exit_failure;
        }
    }
    if (json)
        put("\n]\n");
    return status;
}

} // namespace cli
