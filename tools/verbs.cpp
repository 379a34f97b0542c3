// The data verbs: info, convert, sample, slice.
#include "cli.hpp"

#include <cmath>
#include <iostream>
#include <limits>
#include <sstream>

namespace cli {

namespace {

struct ColumnStats {
    float min = std::numeric_limits<float>::infinity();
    float max = -std::numeric_limits<float>::infinity();
    double sum = 0;
    long values = 0, nans = 0;
};

std::vector<ColumnStats> column_stats(const Table &t)
{
    std::vector<ColumnStats> stats(static_cast<size_t>(std::max(t.columns(), 0)));
    float **rows = ArrayGetArray(t.id());
    for (int32_t r = 0; r < t.rows(); ++r)
        for (int32_t c = 0; c < t.columns(); ++c) {
            const float x = rows[r][c];
            ColumnStats &s = stats[static_cast<size_t>(c)];
            if (std::isnan(x)) {
                ++s.nans;
                continue;
            }
            s.min = std::min(s.min, x);
            s.max = std::max(s.max, x);
            s.sum += x;
            ++s.values;
        }
    return stats;
}

std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            continue;
        }
        out += c;
    }
    return out + "\"";
}

// JSON has no infinities or NaN: those become null.
std::string json_number(double x, int digits = 17)
{
    if (!std::isfinite(x))
        return "null";
    std::ostringstream out;
    out.precision(digits);
    out << x;
    return out.str();
}

int32_t form_option(const Args &args)
{
    const auto to = args.value("--to");
    if (!to)
        return -1;
    if (*to == "ascii")
        return CHAN_ASCII;
    if (*to == "binary")
        return CHAN_BIN;
    usage_error("--to takes ascii or binary, not '" + *to + "'");
}

// "A:B" as a half-open range within [0, count); either end may be left out.
std::pair<int32_t, int32_t> range_option(const Args &args, const std::string &name, int32_t count)
{
    const auto text = args.value(name);
    if (!text)
        return {0, count};
    const auto colon = text->find(':');
    if (colon == std::string::npos)
        usage_error(name + " takes FIRST:END, as in 0:10");
    const std::string first = text->substr(0, colon), end = text->substr(colon + 1);
    const long a = first.empty() ? 0 : parse_integer(first, name);
    const long b = end.empty() ? count : parse_integer(end, name);
    if (a < 0 || b > count || a >= b)
        data_error(name + " " + *text + " selects nothing within 0:" + std::to_string(count));
    return {static_cast<int32_t>(a), static_cast<int32_t>(b)};
}

} // namespace

int info(const std::vector<std::string> &words)
{
    const Args args(words, {}, {"--json"});
    if (args.operands().empty())
        usage_error("info needs a FILE");
    const bool json = args.flag("--json");
    if (json)
        std::cout << (args.operands().size() > 1 ? "[\n" : "");
    bool first = true;
    for (const std::string &path : args.operands()) {
        const Table t(path);
        const auto stats = column_stats(t);
        if (json) {
            std::cout << (first ? "" : ",\n") << "{\"file\": " << json_string(t.name())
                      << ", \"kind\": " << json_string(kind_name(t.kind())) << ", \"columns\": " << t.columns()
                      << ", \"rows\": " << t.rows() << ", \"frames\": ";
            if (t.has_frames() && t.rows() > 0)
                std::cout << "[" << ArrayGetFrame(t.id(), 0) << ", " << ArrayGetFrame(t.id(), t.rows() - 1) << "]";
            else
                std::cout << "null";
            std::cout << ", \"column_stats\": [";
            for (size_t c = 0; c < stats.size(); ++c) {
                const ColumnStats &s = stats[c];
                std::cout << (c ? ", " : "") << "{\"min\": " << json_number(s.values ? s.min : NAN)
                          << ", \"max\": " << json_number(s.values ? s.max : NAN)
                          << ", \"mean\": " << json_number(s.values ? s.sum / static_cast<double>(s.values) : NAN)
                          << ", \"nan\": " << s.nans << "}";
            }
            std::cout << "]}";
            first = false;
            continue;
        }
        std::cout << t.name() << ": " << kind_name(t.kind()) << ", " << t.columns() << " columns x " << t.rows()
                  << " rows\n";
        if (t.has_frames() && t.rows() > 0)
            std::cout << "  frames " << ArrayGetFrame(t.id(), 0) << " to " << ArrayGetFrame(t.id(), t.rows() - 1)
                      << "\n";
        for (size_t c = 0; c < stats.size(); ++c) {
            const ColumnStats &s = stats[c];
            std::cout << "  column " << c << ": ";
            if (s.values == 0)
                std::cout << "no numbers";
            else
                std::cout << "min " << exact(s.min) << ", max " << exact(s.max) << ", mean "
                          << json_number(s.sum / static_cast<double>(s.values), 10);
            std::cout << ", " << s.nans << " NaN\n";
        }
    }
    if (json)
        std::cout << (args.operands().size() > 1 ? "\n]\n" : "\n");
    return 0;
}

int convert(const std::vector<std::string> &words)
{
    const Args args(words, {"--to"}, {});
    if (args.operands().size() != 2)
        usage_error("convert needs IN and OUT");
    const std::string &out = args.operands()[1];
    int32_t code = form_option(args);
    if (code == -1)
        code = form_of_name(out);
    if (code == -1)
        usage_error("cannot tell the format of " + out + " by its name; say --to ascii or --to binary");
    const Table t(args.operands()[0]);
    if (code == CHAN_BIN && (t.columns() > 32767 || t.rows() > 32767))
        data_error(t.name() + " is " + std::to_string(t.columns()) + " columns x " + std::to_string(t.rows()) +
                   " rows; the binary form holds at most 32767 of each. Nothing written.");
    save(t.id(), out, code);
    return 0;
}

int sample(const std::vector<std::string> &words)
{
    const Args args(words, {"--frame"}, {});
    const auto &ops = args.operands();
    if (ops.empty())
        usage_error("sample needs a FILE");
    const auto frame = args.value("--frame");
    const bool pairs_from_input = !frame && ops.size() == 1;
    if (pairs_from_input && ops[0] == "-")
        usage_error("the table and the coordinates cannot both come from standard input");
    if (!frame && ops.size() != 1 && ops.size() != 3)
        usage_error("sample takes FILE U V, or FILE with U V pairs on standard input");
    const Table t(ops[0]);

    if (frame) {
        if (!t.has_frames())
            data_error(t.name() + " has no frame column");
        const long f = parse_integer(*frame, "--frame");
        const float v = ArrayFrameGetV(t.id(), static_cast<int32_t>(f));
        if (v < 0.0f)
            data_error("frame " + *frame + " lies outside " + t.name() + "'s frames (" +
                       std::to_string(ArrayGetFrame(t.id(), 0)) + " to " +
                       std::to_string(ArrayGetFrame(t.id(), t.rows() - 1)) + ")");
        std::vector<float> us;
        for (size_t i = 1; i < ops.size(); ++i)
            us.push_back(static_cast<float>(parse_number(ops[i], "U")));
        if (us.empty())
            for (int32_t c = 0; c < t.columns(); ++c)
                us.push_back(static_cast<float>(c));
        for (float u : us)
            std::cout << exact(ArrayGetValue(t.id(), u, v)) << "\n";
        return 0;
    }
    if (!pairs_from_input) {
        const auto u = static_cast<float>(parse_number(ops[1], "U"));
        const auto v = static_cast<float>(parse_number(ops[2], "V"));
        std::cout << exact(ArrayGetValue(t.id(), u, v)) << "\n";
        return 0;
    }
    std::string line;
    long number = 0;
    while (std::getline(std::cin, line)) {
        ++number;
        std::istringstream fields(line);
        std::string u, v, extra;
        if (!(fields >> u))
            continue; // blank line
        if (!(fields >> v) || (fields >> extra))
            data_error("line " + std::to_string(number) + " of standard input is not a U V pair");
        std::cout << exact(ArrayGetValue(t.id(), static_cast<float>(parse_number(u, "U")),
                                         static_cast<float>(parse_number(v, "V"))))
                  << "\n";
    }
    return 0;
}

int slice(const std::vector<std::string> &words)
{
    const Args args(words, {"--rows", "--cols"}, {});
    if (args.operands().size() != 1)
        usage_error("slice needs one FILE");
    const Table t(args.operands()[0]);
    const auto [r0, r1] = range_option(args, "--rows", t.rows());
    const auto [c0, c1] = range_option(args, "--cols", t.columns());
    const int32_t part = ArrayAlloc(r1 - r0, c1 - c0);
    if (part < 0)
        data_error("cannot hold the slice");
    float **from = ArrayGetArray(t.id()), **to = ArrayGetArray(part);
    for (int32_t r = r0; r < r1; ++r)
        for (int32_t c = c0; c < c1; ++c)
            to[r - r0][c - c0] = from[r][c];
    std::cout.flush();
    const int32_t rc = ArraySave(part, "stdout", CHAN_ASCII);
    ArrayFree(part);
    if (rc != 0)
        data_error("cannot write standard output");
    return 0;
}

} // namespace cli
