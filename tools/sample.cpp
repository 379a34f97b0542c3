// sample: bilinear samples of a table at coordinates or at frames.
#include "number_text.hpp"
#include "outputs.hpp"
#include "tables.hpp"
#include "verbs.hpp"

#include <cerrno>
#include <cmath>
#include <functional>
#include <optional>

namespace cli {

namespace {

// Lines of standard input split at white space, '#' comments and blank lines
// left out; each with its line number.
void each_input_line(const std::function<void(long, const std::vector<std::string> &)> &take)
{
    std::string line;
    long number = 0;
    for (;;) {
        line.clear();
        int c;
        while ((c = std::getc(stdin)) != EOF && c != '\n')
            line += static_cast<char>(c);
        if (c == EOF && line.empty())
            break;
        ++number;
        std::vector<std::string> fields;
        const std::string text = line.substr(0, line.find('#'));
        static const char blanks[] = " \t\r\v\f";
        for (std::size_t at = text.find_first_not_of(blanks); at != std::string::npos;) {
            const std::size_t end = text.find_first_of(blanks, at);
            fields.push_back(text.substr(at, end - at));
            at = end == std::string::npos ? end : text.find_first_not_of(blanks, end);
        }
        if (!fields.empty())
            take(number, fields);
        if (c == EOF)
            break;
    }
    if (std::ferror(stdin))
        system_error("standard input", errno);
}

std::string input_line(long number) { return "standard input: line " + std::to_string(number) + ": "; }

// The frames --frames asks for: A to B inclusive, every STEP (1 unless said),
// each handed to take as it comes (a long range needs no memory of its own).
void each_frame_in_range(const std::string &text, const std::function<void(double)> &take)
{
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const std::size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
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

int sample_frames(const Args &args, const Input &in, Format format, bool one_frame)
{
    const gridvane::table &t = in.table;
    if (!t.has_frames())
        data_error(in.name + ": has no frame column (it is not in the table form)");
    std::vector<float> us;
    std::vector<std::string> names = {"frame"};
    for (std::size_t i = 1; i < args.operands().size(); ++i) {
        const std::string &u = args.operands()[i];
        us.push_back(static_cast<float>(parse_number(u, "U")));
        const double whole = std::floor(us.back());
        names.push_back(whole == us.back() && whole >= 0 && whole < static_cast<double>(t.columns())
                            ? column_label(t, static_cast<std::size_t>(whole))
                            : "u=" + u);
    }
    if (us.empty())
        for (std::size_t c = 0; c < t.columns(); ++c) {
            us.push_back(static_cast<float>(c));
            names.push_back(column_label(t, c));
        }
    std::optional<Records> records;
    if (format != Format::text)
        records.emplace(format, names);
    auto one = [&](double frame, const std::string &said) {
        const float v = t.row_of_frame(frame);
        if (!(v >= 0.0f))
            data_error(said + "frame " + number_text(frame) + " lies outside " + in.name + "'s frames (" +
                       number_text(t.frame_value(0)) + " to " + number_text(t.frame_value(t.rows() - 1)) + ")");
        std::vector<float> values(us.size() + 1);
        values[0] = static_cast<float>(frame);
        t.sample(us, std::span<const float>(&v, 1), std::span<float>(values).subspan(1));
        if (records)
            return records->put(values);
        std::string text;
        for (std::size_t i = 1; i < values.size(); ++i)
            text += number_text(values[i]) + "\n";
        put(text);
    };
    if (one_frame) {
        one(parse_number(*args.value("--frame"), "--frame"), "");
    } else if (*args.value("--frames") == "-") {
        each_input_line([&](long number, const std::vector<std::string> &fields) {
            const auto frame = number_in(fields[0]);
            if (fields.size() != 1 || !frame)
                data_error(input_line(number) + (fields.size() != 1
                                                     ? std::to_string(fields.size()) + " fields, not one frame"
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

int sample(const std::vector<std::string> &words)
{
    const Args args(words, with_rules({"--frame", "--frames", "--format"}), {"--strict", "--lenient"});
    const auto &ops = args.operands();
    if (ops.empty())
        usage_error("sample needs a FILE");
    const Reading reading = reading_option(args);
    const bool one_frame = args.value("--frame").has_value(), frames = args.value("--frames").has_value();
    if (one_frame && frames)
        usage_error("say --frame or --frames, not both");
    const bool pairs_from_input = !one_frame && !frames && ops.size() == 1;
    if (ops[0] == "-" && (pairs_from_input || args.value("--frames") == "-"))
        usage_error("the table and the coordinates cannot both come from standard input");
    if (!one_frame && !frames && ops.size() != 1 && ops.size() != 3)
        usage_error("sample takes FILE U V, or FILE with U V pairs on standard input");
    const Format format = format_option(args, one_frame || !frames ? Format::text : Format::tsv);
    const Input in = read_input(ops[0], reading, rules_option(args));
    require_samples(in);
    if (one_frame || frames)
        return sample_frames(args, in, format, one_frame);
    const gridvane::table &t = in.table;

    std::optional<Records> records;
    if (format != Format::text)
        records.emplace(format, std::vector<std::string>{"u", "v", "value"});
    // Pairs are sampled many at a time, and written in their order.
    std::vector<float> us, vs, values;
    const auto flush = [&] {
        values.resize(us.size());
        t.sample(us, vs, values);
        std::string text;
        for (std::size_t i = 0; i < us.size(); ++i) {
            if (records)
                records->put({us[i], vs[i], values[i]});
            else
                text += number_text(values[i]) + "\n";
        }
        put(text);
        us.clear();
        vs.clear();
    };
    const auto one = [&](float u, float v) {
        us.push_back(u);
        vs.push_back(v);
        if (us.size() == 4096)
            flush();
    };
    if (!pairs_from_input) {
        one(static_cast<float>(parse_number(ops[1], "U")), static_cast<float>(parse_number(ops[2], "V")));
    } else {
        each_input_line([&](long number, const std::vector<std::string> &fields) {
            // What came before a bad line is written before it is refused.
            const auto refuse = [&](const std::string &why) {
                flush();
                data_error(input_line(number) + why);
            };
            if (fields.size() != 2)
                refuse(std::to_string(fields.size()) + " fields, not a U V pair");
            std::optional<double> uv[2];
            for (std::size_t i = 0; i < 2; ++i)
                if (!(uv[i] = number_in(fields[i])))
                    refuse(std::string(i ? "V" : "U") + " '" + fields[i] + "' is not a number");
            one(static_cast<float>(*uv[0]), static_cast<float>(*uv[1]));
        });
    }
    flush();
    if (records)
        records->finish();
    return 0;
}

} // namespace cli
