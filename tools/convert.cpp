// convert: a table read in one form and written in another.
#include "outputs.hpp"
#include "tables.hpp"
#include "verbs.hpp"

namespace cli {

namespace {

// The form --to asks for, or GRIDVANE_FORM_DECIDE when it is not given.
int32_t form_option(const Args &args)
{
    const auto to = args.value("--to");
    if (!to)
        return GRIDVANE_FORM_DECIDE;
    if (*to == "ascii")
        return GRIDVANE_FORM_ASCII;
    if (*to == "binary")
        return GRIDVANE_FORM_BINARY;
    usage_error("--to takes ascii or binary, not '" + *to + "'");
}

// The form OUT is written in, from --to and its name; a form that
// contradicts the name is refused, since a reader would take the file by
// its name.
int32_t output_form(const Args &args, const std::string &out)
{
    const int32_t asked = form_option(args);
    gridvane_status s{};
    const int32_t named =
        out == "-" ? GRIDVANE_FORM_DECIDE : gridvane_form_of_name(out.c_str(), GRIDVANE_PURPOSE_SAVE, &s);
    if (named == -1)
        usage_error(status_line(out, s));
    if (asked == GRIDVANE_FORM_DECIDE) {
        if (named == GRIDVANE_FORM_DECIDE)
            usage_error("cannot tell the format of " + out + " by its name; say --to ascii or --to binary");
        return named;
    }
    if (named != GRIDVANE_FORM_DECIDE && named != asked) {
        // The words a save by this name would give.
        s.code = GRIDVANE_E_FORM_AGAINST_NAME;
        s.expected = asked;
        s.found = named;
        usage_error(status_line(out, s));
    }
    return asked;
}

} // namespace

int convert(const std::vector<std::string> &words)
{
    const Args args(words, {"--to"}, {"--strict", "--lenient", "--plain"});
    if (args.operands().size() != 2)
        usage_error("convert needs IN and OUT");
    const Reading reading = reading_option(args);
    const std::string &out = args.operands()[1];
    int32_t form = output_form(args, out);
    // Nothing is opened for writing before the read has succeeded: a file
    // converted onto itself stays whole when it is refused.
    const Input in = read_input(args.operands()[0], reading);
    const gridvane::table &t = in.table;
    // Text for people: the shortest digits that read back the same.
    gridvane::write_options options{static_cast<gridvane::form>(form)};
    options.shortest = true;
    if (form == GRIDVANE_FORM_ASCII && t.has_frames() && !args.flag("--plain"))
        options.as = gridvane::form::table;
    if (form == GRIDVANE_FORM_ASCII && (t.columns() < 1 || t.rows() < 1))
        data_error(in.name + ": the table has no samples, and an ASCII file of none cannot be read back. Nothing "
                             "written.");
    if (form == GRIDVANE_FORM_BINARY && t.has_frames()) {
        options.drop_frames = true;
        if (!args.flag("--plain"))
            std::fprintf(stderr,
                         "gridvane: warning: %s: the binary form has no frame column: the frames and header names "
                         "are not kept (--plain says that is meant)\n",
                         in.name.c_str());
    }
    // A table keeps no comments: say so rather than lose them quietly.
    if (in.comments > 0)
        std::fprintf(stderr, "gridvane: warning: %s: %lld line%s with a '#' comment: a table keeps no comments, and %s "
                             "has none of them\n",
                     in.name.c_str(), static_cast<long long>(in.comments), in.comments == 1 ? "" : "s",
                     out == "-" ? "standard output" : out.c_str());
    const std::string out_name = out == "-" ? "standard output" : out;
    write_output(out, [&](std::FILE *stream) {
        try {
            t.write(stream, options);
        } catch (const gridvane::error &e) {
            const gridvane_status &status = e.status();
            if (out == "-" && status.code == GRIDVANE_E_WRITE)
                standard_output_error(status.error);
            data_error(status.code == GRIDVANE_E_WRITE ? status_line(out_name, status)
                                                       : in.name + ": " + e.what() + ". Nothing written.");
        }
    });
    return 0;
}

} // namespace cli
