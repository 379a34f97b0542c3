// slice: some rows and columns of a table, as a table or as records.
#include "outputs.hpp"
#include "tables.hpp"
#include "verbs.hpp"

#include <algorithm>

namespace cli {

namespace {

// Indices first, first + step, ... of [0, count), as a Python slice picks them.
struct Range {
    int32_t first = 0, count = 0, step = 1;
    int32_t at(int32_t i) const { return first + i * step; }
};

// "A:B[:STEP]" of [0, count), Python's way: either end may be left out, a
// negative end counts from the end, ends beyond are clamped; STEP is
// positive.
Range range_option(const Args &args, const std::string &name, int32_t count)
{
    const auto text = args.value(name);
    if (!text)
        return {0, count, 1};
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const std::size_t colon = text->find(':', start);
        parts.push_back(text->substr(start, colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    if (parts.size() < 2 || parts.size() > 3)
        usage_error(name + " takes FIRST:END[:STEP], as in 0:10 or ::2");
    auto end_at = [&](const std::string &part, long otherwise) {
        long at = part.empty() ? otherwise : parse_integer(part, name);
        if (at < 0)
            at += count;
        return static_cast<int32_t>(std::clamp<long>(at, 0, count));
    };
    long step = parts.size() == 3 && !parts[2].empty() ? parse_integer(parts[2], name + " step") : 1;
    if (step < 1)
        usage_error(name + " " + *text + ": the step must be 1 or more");
    const int32_t a = end_at(parts[0], 0), b = end_at(parts[1], count);
    if (a >= b)
        data_error(name + " " + *text + " selects nothing of 0:" + std::to_string(count));
    step = std::min<long>(step, count); // a longer step picks the first index only, as this one does
    const long picked = (static_cast<long>(b) - a + step - 1) / step;
    return {a, static_cast<int32_t>(picked), static_cast<int32_t>(step)};
}

// The part of t the ranges pick, as a table of its own with the frames and
// names when framed.
void copy_part(const Input &in, const Range &rows, const Range &cols, bool framed, gridvane::table &part)
{
    const gridvane::table &t = in.table;
    for (int32_t r = 0; r < rows.count; ++r) {
        const std::span<const float> from = t.row(static_cast<std::size_t>(rows.at(r)));
        const std::span<float> to = part.row(static_cast<std::size_t>(r));
        for (int32_t c = 0; c < cols.count; ++c)
            to[static_cast<std::size_t>(c)] = from[static_cast<std::size_t>(cols.at(c))];
        if (framed)
            part.set_frame_value(static_cast<std::size_t>(r), t.frame_value(static_cast<std::size_t>(rows.at(r))));
    }
    if (!framed)
        return;
    std::vector<std::string> names;
    for (int32_t c = 0; c < cols.count; ++c) {
        const std::string_view name = t.column_name(static_cast<std::size_t>(cols.at(c)));
        names.push_back(name.empty() ? "column" + std::to_string(cols.at(c)) : std::string(name));
    }
    const std::vector<std::string_view> views(names.begin(), names.end());
    try {
        part.set_column_names(views);
    } catch (const gridvane::error &e) {
        data_error(status_line(in.name, e.status()));
    }
}

} // namespace

int slice(const std::vector<std::string> &words)
{
    const Args args(words, with_rules({"--rows", "--cols", "--format"}),
                    {"--plain", "--frames-as-column", "--strict", "--lenient"});
    if (args.operands().size() != 1)
        usage_error("slice needs one FILE");
    const Reading reading = reading_option(args);
    const Format format = format_option(args, Format::text);
    const Input in = read_input(args.operands()[0], reading, rules_option(args));
    const gridvane::table &t = in.table;
    require_samples(in);
    const Range rows = range_option(args, "--rows", static_cast<int32_t>(t.rows()));
    const Range cols = range_option(args, "--cols", static_cast<int32_t>(t.columns()));
    // --frames-as-column: the plain form, with the frames as its first column.
    const bool as_column = t.has_frames() && args.flag("--frames-as-column");
    const bool framed = t.has_frames() && !args.flag("--plain");
    if (format != Format::text) {
        std::vector<std::string> names;
        if (framed)
            names.push_back("frame");
        for (int32_t c = 0; c < cols.count; ++c)
            names.push_back(column_label(t, static_cast<std::size_t>(cols.at(c))));
        Records records(format, names);
        std::vector<float> values;
        for (int32_t r = 0; r < rows.count; ++r) {
            values.clear();
            if (framed)
                values.push_back(t.frame_value(static_cast<std::size_t>(rows.at(r))));
            const std::span<const float> row = t.row(static_cast<std::size_t>(rows.at(r)));
            for (int32_t c = 0; c < cols.count; ++c)
                values.push_back(row[static_cast<std::size_t>(cols.at(c))]);
            records.put(values);
        }
        records.finish();
        return 0;
    }
    gridvane::table part = make_table(static_cast<std::size_t>(rows.count), static_cast<std::size_t>(cols.count),
                                      framed, in.name);
    copy_part(in, rows, cols, framed, part);
    write_output("-", [&](std::FILE *stream) {
        try {
            // Text for people: the shortest digits that read back the same.
            part.write(stream, {framed && !as_column ? gridvane::form::table : gridvane::form::ascii, false, false, true,
                                as_column});
        } catch (const gridvane::error &e) {
            if (e.status().code == GRIDVANE_E_WRITE)
                standard_output_error(e.status().error);
            data_error(status_line(in.name, e.status()));
        }
    });
    return 0;
}

} // namespace cli
