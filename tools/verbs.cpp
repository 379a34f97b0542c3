// The data verbs: info, convert, sample, slice, check.
#include "cli.hpp"

#include <algorithm>
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

std::string json_float(float x) { return std::isfinite(x) ? exact(x) : "null"; }

std::optional<double> number_in(const std::string &text)
{
    try {
        return parse_number(text, "");
    } catch (const Failure &) {
        return std::nullopt;
    }
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

enum class Format { text, tsv, csv, json };

Format format_option(const Args &args, Format otherwise)
{
    const auto text = args.value("--format");
    if (!text)
        return otherwise;
    if (*text == "tsv")
        return Format::tsv;
    if (*text == "csv")
        return Format::csv;
    if (*text == "json")
        return Format::json;
    usage_error("--format takes tsv, csv or json, not '" + *text + "'");
}

// Records of floats on standard output: tsv (no header line), csv (a header
// line of the names), or json (an array of objects keyed by the names).
class Records {
public:
    Records(Format format, std::vector<std::string> names) : format_(format), names_(std::move(names))
    {
        if (format_ == Format::csv) {
            std::string line;
            for (std::size_t i = 0; i < names_.size(); ++i)
                line += (i ? "," : "") + csv_field(names_[i]);
            emit(line + "\n");
        } else if (format_ == Format::json) {
            emit("[");
        }
    }

    void put(const std::vector<float> &values)
    {
        std::string line;
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (format_ == Format::json)
                line += (i ? ", " : "{") + json_string(names_[i]) + ": " + json_float(values[i]);
            else
                line += (i ? (format_ == Format::csv ? "," : "\t") : "") + exact(values[i]);
        }
        if (format_ == Format::json)
            line = (count_ ? ",\n" : "\n") + line + "}";
        else
            line += "\n";
        ++count_;
        emit(line);
    }

    void finish()
    {
        if (format_ == Format::json)
            emit(count_ ? "\n]\n" : "]\n");
    }

private:
    static std::string csv_field(const std::string &text)
    {
        if (text.find_first_of(",\"\n") == std::string::npos)
            return text;
        std::string out = "\"";
        for (char c : text)
            out += c == '"' ? std::string("\"\"") : std::string(1, c);
        return out + "\"";
    }

    // Stops at the first failed write: a pipeline's reader may be gone or
    // the disk full, and the rest would fail the same way.
    static void emit(const std::string &text)
    {
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
            system_error("standard output", errno);
    }

    Format format_;
    std::vector<std::string> names_;
    long count_ = 0;
};

// Lines of standard input split at white space, '#' comments and blank lines
// left out; each with its line number.
void each_input_line(const std::function<void(long, const std::vector<std::string> &)> &take)
{
    std::string line;
    long number = 0;
    while (std::getline(std::cin, line)) {
        ++number;
        std::istringstream split(line.substr(0, line.find('#')));
        std::vector<std::string> fields;
        for (std::string field; split >> field;)
            fields.push_back(field);
        if (!fields.empty())
            take(number, fields);
    }
    if (std::cin.bad())
        system_error("standard input", errno);
}

std::string input_line(long number) { return "standard input: line " + std::to_string(number) + ": "; }

// "A:B" as a half-open range of [0, count), Python's way: either end may be
// left out, a negative end counts from the end, ends beyond are clamped.
std::pair<int32_t, int32_t> range_option(const Args &args, const std::string &name, int32_t count)
{
    const auto text = args.value(name);
    if (!text)
        return {0, count};
    const auto colon = text->find(':');
    if (colon == std::string::npos)
        usage_error(name + " takes FIRST:END, as in 0:10");
    auto end_at = [&](const std::string &part, long otherwise) {
        long at = part.empty() ? otherwise : parse_integer(part, name);
        if (at < 0)
            at += count;
        return static_cast<int32_t>(std::clamp<long>(at, 0, count));
    };
    const int32_t a = end_at(text->substr(0, colon), 0), b = end_at(text->substr(colon + 1), count);
    if (a >= b)
        data_error(name + " " + *text + " selects nothing of 0:" + std::to_string(count));
    return {a, b};
}

// The row coordinate of a frame, or a negative number outside the frames. The
// library takes whole frames; between them the tool does the same scan and
// interpolation in floats along the frame column.
float row_of_frame(const Table &t, double frame)
{
    if (frame == std::floor(frame) && std::fabs(frame) < 2147483648.0)
        return ArrayFrameGetV(t.id(), static_cast<int32_t>(frame));
    const auto f = static_cast<float>(frame);
    int32_t i = 0;
    while (i < t.rows() && !(t.frame(i) >= f))
        ++i;
    if (i == t.rows() || i == 0)
        return -1.0f;
    return (f - t.frame(i - 1)) / (t.frame(i) - t.frame(i - 1)) + static_cast<float>(i - 1);
}

// The frames --frames asks for: A to B inclusive, every STEP (1 unless said),
// each handed to take as it comes (a long range needs no memory of its own).
void each_frame_in_range(const std::string &text, const std::function<void(double)> &take)
{
    std::vector<std::string> parts;
    std::stringstream split(text);
    for (std::string part; std::getline(split, part, ':');)
        parts.push_back(part);
    if (parts.size() < 2 || parts.size() > 3)
        usage_error("--frames takes FIRST:LAST[:STEP], as in 1:60:0.5, or - for frames on standard input");
    const double first = parse_number(parts[0], "--frames"), last = parse_number(parts[1], "--frames");
    const double step = parts.size() == 3 ? parse_number(parts[2], "--frames step") : 1.0;
    if (!std::isfinite(first) || !std::isfinite(last) || !std::isfinite(step))
        usage_error("--frames " + text + " needs finite numbers");
    if (!(step > 0) || !(last >= first))
        usage_error("--frames " + text + " runs backwards or has no step");
    // Beyond 2^53 steps the count is not a whole number a double can hold.
    const double steps = std::floor((last - first) / step + 1e-9);
    if (!(steps < 9007199254740992.0))
        usage_error("--frames " + text + " asks for more frames than can be counted");
    const auto count = static_cast<long long>(steps) + 1;
    for (long long i = 0; i < count; ++i)
        take(first + static_cast<double>(i) * step);
}

int sample_frames(const Args &args, const Table &t, Format format, bool one_frame)
{
    if (!t.has_frames())
        data_error(t.name() + ": has no frame column (it is not in the table form)");
    std::vector<float> us;
    std::vector<std::string> names = {"frame"};
    for (std::size_t i = 1; i < args.operands().size(); ++i) {
        const std::string &u = args.operands()[i];
        us.push_back(static_cast<float>(parse_number(u, "U")));
        const double whole = std::floor(us.back());
        names.push_back(whole == us.back() && whole >= 0 && whole < t.columns() ? t.column_label(static_cast<int32_t>(whole))
                                                                                 : "u=" + u);
    }
    if (us.empty())
        for (int32_t c = 0; c < t.columns(); ++c) {
            us.push_back(static_cast<float>(c));
            names.push_back(t.column_label(c));
        }
    std::optional<Records> records;
    if (format != Format::text)
        records.emplace(format, names);
    auto one = [&](double frame, const std::string &said) {
        const float v = row_of_frame(t, frame);
        if (!(v >= 0.0f))
            data_error(said + "frame " + exact(static_cast<float>(frame)) + " lies outside " + t.name() +
                       "'s frames (" + exact(t.frame(0)) + " to " + exact(t.frame(t.rows() - 1)) + ")");
        std::vector<float> values = {static_cast<float>(frame)};
        for (const float u : us)
            values.push_back(ArrayGetValue(t.id(), u, v));
        if (records)
            return records->put(values);
        for (std::size_t i = 1; i < values.size(); ++i)
            std::cout << exact(values[i]) << "\n";
    };
    if (one_frame) {
        one(parse_number(*args.value("--frame"), "--frame"), "");
    } else if (*args.value("--frames") == "-") {
        each_input_line([&](long number, const std::vector<std::string> &fields) {
            const auto frame = number_in(fields[0]);
            if (fields.size() != 1 || !frame)
                data_error(input_line(number) + (fields.size() != 1 ? std::to_string(fields.size()) + " fields, not one frame"
                                                                    : "'" + fields[0] + "' is not a frame number"));
            one(*frame, input_line(number));
        });
    } else {
        each_frame_in_range(*args.value("--frames"), [&](double frame) { one(frame, ""); });
    }
    if (records)
        records->finish();
    return 0;
}

} // namespace

int info(const std::vector<std::string> &words)
{
    const Args args(words, {}, {"--json", "--strict"});
    if (args.operands().empty())
        usage_error("info needs a FILE");
    const bool json = args.flag("--json");
    const bool many = args.operands().size() > 1;
    int status = 0;
    if (json && many)
        std::cout << "[\n";
    bool first = true;
    for (const std::string &path : args.operands()) {
        if (json)
            std::cout << (first ? "" : ",\n");
        first = false;
        std::string failure;
        try {
            const Input input(path);
            if (args.flag("--strict"))
                refuse_unless_clean(input);
            const Table t(input);
            if (t.columns() < 1 || t.rows() < 1)
                failure = t.name() + ": the table has no samples";
            const auto stats = column_stats(t);
            const bool frames = t.has_frames() && t.rows() > 0;
            if (json) {
                std::cout << "{\"file\": " << json_string(t.name()) << ", \"kind\": " << json_string(kind_name(t.kind()))
                          << ", \"columns\": " << t.columns() << ", \"rows\": " << t.rows() << ", \"frames\": ";
                if (frames)
                    std::cout << "[" << exact(t.frame(0)) << ", " << exact(t.frame(t.rows() - 1)) << "]";
                else
                    std::cout << "null";
                std::cout << ", \"column_stats\": [";
                for (size_t c = 0; c < stats.size(); ++c) {
                    const ColumnStats &s = stats[c];
                    const std::string name = t.header_name(static_cast<int32_t>(c));
                    std::cout << (c ? ", " : "") << "{\"name\": " << (name.empty() ? "null" : json_string(name))
                              << ", \"min\": " << json_number(s.values ? s.min : NAN)
                              << ", \"max\": " << json_number(s.values ? s.max : NAN)
                              << ", \"mean\": " << json_number(s.values ? s.sum / static_cast<double>(s.values) : NAN)
                              << ", \"nan\": " << s.nans << "}";
                }
                std::cout << "]" << (failure.empty() ? "" : ", \"error\": \"the table has no samples\"") << "}";
            } else {
                std::cout << t.name() << ": " << kind_name(t.kind()) << ", " << t.columns() << " columns x " << t.rows()
                          << " rows\n";
                if (frames)
                    std::cout << "  frames " << exact(t.frame(0)) << " to " << exact(t.frame(t.rows() - 1)) << "\n";
                for (size_t c = 0; c < stats.size(); ++c) {
                    const ColumnStats &s = stats[c];
                    std::cout << "  " << t.column_label(static_cast<int32_t>(c)) << ": ";
                    if (s.values == 0)
                        std::cout << "no numbers";
                    else
                        std::cout << "min " << exact(s.min) << ", max " << exact(s.max) << ", mean "
                                  << json_number(s.sum / static_cast<double>(s.values), 10);
                    std::cout << ", " << s.nans << " NaN\n";
                }
            }
        } catch (const Failure &f) {
            failure = f.what();
            if (json)
                std::cout << "{\"file\": " << json_string(path == "-" ? "standard input" : path)
                          << ", \"error\": " << json_string(failure) << "}";
        }
        if (!failure.empty()) {
            std::cout.flush();
            std::cerr << "gridvane: info: " << failure << "\n";
            status = exit_failure;
        }
    }
    if (json)
        std::cout << (many ? "\n]\n" : "\n");
    return status;
}

int convert(const std::vector<std::string> &words)
{
    const Args args(words, {"--to"}, {"--strict", "--plain"});
    if (args.operands().size() != 2)
        usage_error("convert needs IN and OUT");
    const std::string &out = args.operands()[1];
    int32_t code = form_option(args);
    if (code == -1)
        code = form_of_name(out);
    if (code == -1)
        usage_error("cannot tell the format of " + out + " by its name; say --to ascii or --to binary");
    const Input input(args.operands()[0]);
    if (args.flag("--strict"))
        refuse_unless_clean(input);
    const Table t(input);
    const bool table_form = t.has_frames() && code == CHAN_ASCII && !args.flag("--plain");
    if (!table_form && code == CHAN_ASCII && (t.columns() < 1 || t.rows() < 1))
        data_error(t.name() + ": the table has no samples, and an ASCII file of none cannot be read back. Nothing "
                              "written.");
    if (code == CHAN_BIN && (t.columns() > 32767 || t.rows() > 32767))
        data_error(t.name() + " is " + std::to_string(t.columns()) + " columns x " + std::to_string(t.rows()) +
                   " rows; the binary form holds at most 32767 of each. Nothing written.");
    if (code == CHAN_BIN && t.has_frames() && !args.flag("--plain"))
        std::cerr << "gridvane: convert: " << t.name()
                  << ": the binary form has no frame column: the frames and header names are not kept (--plain says "
                     "that is meant)\n";
    write_output(out, [&](std::FILE *stream) {
        if (table_form)
            return write_table_form(stream, t, {0, t.rows()}, {0, t.columns()});
        return ArrayWrite(stream, ArrayGetPointer(t.id()), code) == 0;
    });
    return 0;
}

int sample(const std::vector<std::string> &words)
{
    const Args args(words, {"--frame", "--frames", "--format"}, {"--strict"});
    const auto &ops = args.operands();
    if (ops.empty())
        usage_error("sample needs a FILE");
    const bool one_frame = args.value("--frame").has_value(), frames = args.value("--frames").has_value();
    if (one_frame && frames)
        usage_error("say --frame or --frames, not both");
    const bool pairs_from_input = !one_frame && !frames && ops.size() == 1;
    if (ops[0] == "-" && (pairs_from_input || args.value("--frames") == "-"))
        usage_error("the table and the coordinates cannot both come from standard input");
    if (!one_frame && !frames && ops.size() != 1 && ops.size() != 3)
        usage_error("sample takes FILE U V, or FILE with U V pairs on standard input");
    const Input input(ops[0]);
    if (args.flag("--strict"))
        refuse_unless_clean(input);
    const Table t(input);
    t.require_samples();

    if (one_frame || frames)
        return sample_frames(args, t, format_option(args, one_frame ? Format::text : Format::tsv), one_frame);
    const Format format = format_option(args, Format::text);
    std::optional<Records> records;
    if (format != Format::text)
        records.emplace(format, std::vector<std::string>{"u", "v", "value"});
    auto one = [&](float u, float v) {
        const float value = ArrayGetValue(t.id(), u, v);
        if (records)
            records->put({u, v, value});
        else
            std::cout << exact(value) << "\n";
    };
    if (!pairs_from_input) {
        one(static_cast<float>(parse_number(ops[1], "U")), static_cast<float>(parse_number(ops[2], "V")));
    } else {
        each_input_line([&](long number, const std::vector<std::string> &fields) {
            if (fields.size() != 2)
                data_error(input_line(number) + std::to_string(fields.size()) + " fields, not a U V pair");
            std::optional<double> uv[2];
            for (int i = 0; i < 2; ++i)
                if (!(uv[i] = number_in(fields[static_cast<std::size_t>(i)])))
                    data_error(input_line(number) + (i ? "V" : "U") + " '" + fields[static_cast<std::size_t>(i)] +
                               "' is not a number");
            one(static_cast<float>(*uv[0]), static_cast<float>(*uv[1]));
        });
    }
    if (records)
        records->finish();
    return 0;
}

int slice(const std::vector<std::string> &words)
{
    const Args args(words, {"--rows", "--cols", "--format"}, {"--plain"});
    if (args.operands().size() != 1)
        usage_error("slice needs one FILE");
    const Format format = format_option(args, Format::text);
    const Input input(args.operands()[0]);
    const Table t(input);
    t.require_samples();
    const auto rows = range_option(args, "--rows", t.rows());
    const auto cols = range_option(args, "--cols", t.columns());
    const bool frames = t.has_frames() && !args.flag("--plain");
    if (format != Format::text) {
        std::vector<std::string> names;
        if (frames)
            names.push_back("frame");
        for (int32_t c = cols.first; c < cols.second; ++c)
            names.push_back(t.column_label(c));
        Records records(format, names);
        float **from = ArrayGetArray(t.id());
        for (int32_t r = rows.first; r < rows.second; ++r) {
            std::vector<float> values;
            if (frames)
                values.push_back(t.frame(r));
            for (int32_t c = cols.first; c < cols.second; ++c)
                values.push_back(from[r][c]);
            records.put(values);
        }
        records.finish();
        return 0;
    }
    if (frames) {
        write_output("-", [&](std::FILE *out) { return write_table_form(out, t, rows, cols); });
        return 0;
    }
    const int32_t part = ArrayAlloc(rows.second - rows.first, cols.second - cols.first);
    if (part < 0)
        data_error(t.name() + ": cannot hold the slice");
    float **from = ArrayGetArray(t.id()), **to = ArrayGetArray(part);
    for (int32_t r = rows.first; r < rows.second; ++r)
        std::copy(from[r] + cols.first, from[r] + cols.second, to[r - rows.first]);
    const struct Freed {
        int32_t id;
        ~Freed() { ArrayFree(id); }
    } freed{part};
    write_output("-", [&](std::FILE *out) { return ArrayWrite(out, ArrayGetPointer(freed.id), CHAN_ASCII) == 0; });
    return 0;
}

int check(const std::vector<std::string> &words)
{
    const Args args(words, {}, {"--json"});
    if (args.operands().empty())
        usage_error("check needs a FILE");
    const bool json = args.flag("--json");
    long files = 0, with_findings = 0, findings = 0;
    bool failed = false;
    if (json)
        std::cout << "[";
    for (const std::string &path : args.operands()) {
        std::string name = path == "-" ? "standard input" : path, error;
        CheckReport report;
        try {
            const Input input(path);
            report = check_input(input);
            if (report.total == 0) {
                // What check missed, the library still says.
                try {
                    const Table t(input);
                } catch (const Failure &f) {
                    report.findings.push_back({1, 1, std::string(f.what()).substr(name.size() + 2)});
                    report.total = 1;
                }
            }
        } catch (const Failure &f) {
            error = f.what();
            failed = true;
            std::cout.flush();
            std::cerr << "gridvane: check: " << error << "\n";
        }
        ++files;
        findings += report.total;
        with_findings += report.total > 0;
        if (json) {
            std::cout << (files > 1 ? ",\n" : "\n") << "{\"file\": " << json_string(name);
            if (!error.empty()) {
                std::cout << ", \"error\": " << json_string(error) << "}";
                continue;
            }
            std::cout << ", \"findings\": [";
            for (std::size_t i = 0; i < report.findings.size(); ++i) {
                const Finding &f = report.findings[i];
                std::cout << (i ? ", " : "") << "{\"line\": " << f.line << ", \"column\": " << f.column
                          << ", \"message\": " << json_string(f.message) << "}";
            }
            std::cout << "], \"total\": " << report.total << "}";
        } else {
            std::cout.flush();
            print_findings(stdout, name, report);
        }
    }
    if (json)
        std::cout << "\n]\n";
    else
        std::cout << "checked " << files << " file" << (files == 1 ? "" : "s") << ": " << findings << " finding"
                  << (findings == 1 ? "" : "s") << " in " << with_findings << " file" << (with_findings == 1 ? "" : "s")
                  << (failed ? "; some files could not be read\n" : "\n");
    return findings > 0 || failed ? exit_failure : 0;
}

} // namespace cli
