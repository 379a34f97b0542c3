// convert: a table read in one form and written in another.
#include "batch.hpp"
#include "outputs.hpp"
#include "platform.hpp"
#include "tables.hpp"
#include "verbs.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

namespace cli {

namespace {

// The form --to asks for, or GRIDVANE_FORM_DECIDE when it is not given.
int32_t form_option(const Args &args)
{
    const auto to = args.value("--to");
    if (!to)
        return GRIDVANE_FORM_DECIDE;
    const int32_t form = gridvane_form_of_word(to->c_str());
    if (form < 0)
        usage_error("--to takes ascii or binary, not '" + *to + "'");
    return form;
}

// The form OUT is written in, from --to and its name, as a save by that
// name decides it; a form that contradicts the name is refused, since a
// reader would take the file by its name.
int32_t output_form(const Args &args, const std::string &out)
{
    const int32_t asked = form_option(args);
    gridvane_status s{};
    // Standard output (and no name at all) has no type to judge.
    const bool unnamed = out == "-" || out.empty();
    const int32_t form = unnamed ? asked : gridvane_form_to_save(out.c_str(), asked, 0, &s);
    if ((unnamed && form == GRIDVANE_FORM_DECIDE) || s.code == GRIDVANE_E_UNNAMED_FORM)
        usage_error("cannot tell the format of " + out + " by its name; say --to ascii or --to binary");
    if (form == -1)
        usage_error(status_line(out, s));
    return form;
}

// Reads operand and writes it as out in form, making out's folders first
// when asked; a failure ends the verb (or, in a batch, this file).
void convert_file(const Args &args, const std::string &operand, const std::string &out, int32_t form,
                  bool make_folders = false)
{
    // Nothing is opened for writing before the read has succeeded: a file
    // converted onto itself stays whole when it is refused.
    const Input in = read_input(operand, reading_option(args), rules_option(args));
    const gridvane::table &t = in.table;
    // Text for people: the shortest digits that read back the same.
    gridvane::write_options options;
    options.as = static_cast<gridvane::form>(form);
    options.shortest = true;
    // --frames-as-column: a plain form, with the frames as its first column.
    const bool as_column = t.has_frames() && args.flag("--frames-as-column");
    options.frames_as_column = as_column;
    if (form == GRIDVANE_FORM_ASCII && t.has_frames() && !args.flag("--plain") && !as_column)
        options.as = gridvane::form::table;
    if (form == GRIDVANE_FORM_ASCII && (t.columns() < 1 || t.rows() < 1))
        data_error(in.name + ": the table has no samples, and an ASCII file of none cannot be read back. Nothing "
                             "written.");
    if (form == GRIDVANE_FORM_BINARY && t.has_frames() && !as_column) {
        options.drop_frames = true;
        if (!args.flag("--plain"))
            say("gridvane: warning: " + in.name +
                ": the binary form has no frame column: the frames and header names are not kept (--plain says that "
                "is meant)\n");
    }
    // A table keeps no comments: say so rather than lose them quietly.
    if (in.comments > 0)
        say("gridvane: warning: " + in.name + ": " + std::to_string(in.comments) + " line" +
            (in.comments == 1 ? "" : "s") + " with a '#' comment: a table keeps no comments, and " +
            (out == "-" ? "standard output" : out) + " has none of them\n");
    const std::string out_name = out == "-" ? "standard output" : out;
    if (make_folders)
        if (const int error = platform::make_folders_for(out))
            system_error(out, error);
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
}

// Where a batch writes a file: into/NAME, NAME being the file as listed
// without a leading root, with the suffix of form. Empty for a name that
// would leave into ("..") or has no name to keep ("-", a root alone).
std::string batch_output(const std::string &into, const std::string &name, int32_t form)
{
    std::size_t start = 0;
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])) != 0)
        start = 2; // a Windows drive
    while (start < name.size() && (name[start] == '/' || name[start] == '\\'))
        ++start;
    if (name == "-")
        return {};
    // The rest as the library names outputs (gridvane.dask.convert too).
    const std::string relative = name.substr(start);
    gridvane_status s{};
    const ptrdiff_t length = gridvane_output_name(relative.c_str(), form, nullptr, 0, &s);
    if (length < 0)
        return {};
    std::string out(static_cast<std::size_t>(length), '\0');
    gridvane_output_name(relative.c_str(), form, out.data(), out.size() + 1, &s);
    return into + "/" + out;
}

// Every file of the list (the shard's part of it) converted into a folder;
// one file's failure does not stop the others.
int convert_batch(const Args &args, const std::string &into)
{
    const int32_t form = form_option(args);
    if (form == GRIDVANE_FORM_DECIDE)
        usage_error("--into needs --to ascii or --to binary");
    reading_option(args); // a usage error before any work
    rules_option(args);
    const Batch batch = batch_files(args);
    if (batch.files.empty())
        usage_error("convert needs a FILE to convert into " + into);
    // Which names would share an output, and which outputs are files of the
    // list, over the whole list, so that every shard refuses the same files.
    std::map<std::string, std::vector<std::string>> sources; // by the output's key
    std::map<std::string, std::string> listed;               // a name of the list by its key
    for (const std::string &name : batch.files) {
        listed.emplace(platform::same_file_key(name), name);
        const std::string out = batch_output(into, name, form);
        auto &same = sources[out.empty() ? out : platform::same_file_key(out)];
        if (std::find(same.begin(), same.end(), name) == same.end())
            same.push_back(name);
    }
    std::size_t converted = 0;
    Progress progress(batch.mine.size());
    for (const std::string &name : batch.mine) {
        const std::string out = batch_output(into, name, form);
        try {
            if (out.empty())
                data_error(display_name(name) + ": has no name to keep under " + into +
                           " (standard input, or a name with '..')");
            const std::string key = platform::same_file_key(out);
            const std::vector<std::string> &same = sources[key];
            if (same.size() > 1)
                data_error(name + ": " + (same[0] == name ? same[1] : same[0]) + " would be converted to " + out +
                           " as well. Nothing written.");
            if (const auto source = listed.find(key); source != listed.end())
                data_error(name + ": " + out + " is " + source->second +
                           ", a file of the list: it is not written over. Nothing written.");
            convert_file(args, name, out, form, true);
            ++converted;
        } catch (const Failure &f) {
            std::fflush(stdout);
            say(std::string("gridvane: convert: ") + f.what() + "\n");
        } catch (const std::exception &e) {
            std::fflush(stdout);
            say("gridvane: convert: " + name + ": " + e.what() + "\n");
        }
        progress.step();
    }
    progress.clear();
    const std::size_t failed = batch.mine.size() - converted;
    put("converted " + std::to_string(converted) + " of " + std::to_string(batch.mine.size()) + " files into " + into +
        batch.shard.of(batch.files.size()) + batch.repeats() +
        (failed ? "; " + std::to_string(failed) + " failed\n" : "\n"));
    return failed ? exit_failure : 0;
}

} // namespace

int convert(const std::vector<std::string> &words)
{
    std::vector<std::string> valued{"--to", "--into"};
    valued.insert(valued.end(), batch_options.begin(), batch_options.end());
    const Args args(words, with_rules(valued), {"--strict", "--lenient", "--plain", "--frames-as-column"});
    if (const auto into = args.value("--into"))
        return convert_batch(args, *into);
    if (args.value("--shard") || args.value("--files-from"))
        usage_error("--shard and --files-from work with --into DIR");
    if (args.operands().size() != 2)
        usage_error("convert needs IN and OUT");
    const std::string &out = args.operands()[1];
    convert_file(args, args.operands()[0], out, output_form(args, out));
    return 0;
}

} // namespace cli
