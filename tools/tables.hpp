// The tables the tool reads, through the library's C++ interface, and the
// library's words for what it found and why it failed.
#pragma once

#include "args.hpp"

#include "gridvane.hpp"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace cli {

// How a verb reads its table. By default a file is refused at the first
// place where the reader would take the text as something other than it
// spells (an ERROR finding), and warnings go to standard error; lenient
// reads as the library's functions do, without a word; strict refuses at
// any finding.
enum class Reading { checked, lenient, strict };
// --lenient, --strict or neither.
Reading reading_option(const Args &args);

// How the plain text form is read (--names first-line, --frames-column N):
// the valued options every reading verb takes, and what they ask.
inline const std::vector<std::string> rules_options{"--names", "--frames-column"};
// A verb's valued options with the reading's rules beside them.
inline std::vector<std::string> with_rules(std::vector<std::string> valued)
{
    valued.insert(valued.end(), rules_options.begin(), rules_options.end());
    return valued;
}
gridvane_reading rules_option(const Args &args);
// Whether a reading asks anything beyond the format.
inline bool has_rules(const gridvane_reading &rules) { return rules.flags != 0 || rules.frames_column >= 0; }


// The name messages use for an operand: "standard input" for "-".
std::string display_name(const std::string &operand);

// "FILE:LINE:COLUMN", "FILE:LINE" or "FILE", as much as is known.
std::string place(const std::string &file, int64_t line, int64_t column);
// "FILE[:LINE:COLUMN]: the status's words".
std::string status_line(const std::string &file, const gridvane_status &status);

// Reads operand ("-": standard input, as it comes) on every core, telling
// options' observer; report (options.report) filled either way. An empty
// table when the read failed.
gridvane::table read_table(const std::string &operand, gridvane::read_options options,
                           const gridvane_reading &rules = {0, -1});

// A table the tool read: the table, the name messages give it and what the
// reader found it to be.
struct Input {
    gridvane::table table;
    std::string name;
    int32_t kind = GRIDVANE_KIND_UNKNOWN;
    int64_t comments = 0; // lines with a comment, which the table does not keep
};

// Reads operand as reading says; a refusal or failure ends the verb.
Input read_input(const std::string &operand, Reading reading, const gridvane_reading &rules = {0, -1});

// A table the tool makes; a failure ends the verb, naming name.
gridvane::table make_table(std::size_t rows, std::size_t columns, bool frames, const std::string &name);

// A column's header name, or "column N".
std::string column_label(const gridvane::table &t, std::size_t column);
// Ends the verb unless the table has at least one sample.
void require_samples(const Input &input);

// How the tool names a kind of input ("ASCII, table form").
const char *kind_name(int32_t kind);

} // namespace cli
