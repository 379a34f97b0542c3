// What the tool writes: standard output checked to the last byte, records
// as tsv, csv or json, and files replaced as the library's saves replace
// them.
#pragma once

#include "args.hpp"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace cli {

// Writes text to standard output; a failure ends the verb.
void put(const std::string &text);

// A status line at the foot of a terminal's standard error (a batch's
// progress) stays on show while other text goes by: a message, and text on
// standard output when that is a terminal too, take it down and put it up
// again after themselves. show_status draws it (again, or with new text);
// hide_status erases it for good.
void show_status(const std::string &line);
void hide_status();
// A message on standard error: whole lines, each ending in "\n".
void say(const std::string &text);
// Fails as "standard output: cause" and remembers that it was said.
[[noreturn]] void standard_output_error(int error);
// Flushes and closes standard output: false with errno set when that failed,
// unless a verb already said so (said is then true).
bool finish_standard_output(bool &said);

// JSON text: a string with its escapes; a number, or null when not finite
// (digits as number_text takes them).
std::string json_string(const std::string &text);
std::string json_number(double value, int digits = 0);
// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string csv_field(const std::string &text);

enum class Format { text, tsv, csv, json };
// --format tsv|csv|json, or otherwise.
Format format_option(const Args &args, Format otherwise);

// Records of floats on standard output: tsv (no header line), csv (a header
// line of the names), or json (an array of objects keyed by the names).
class Records {
public:
    Records(Format format, std::vector<std::string> names);
    void put(const std::vector<float> &values);
    void finish();

private:
    Format format_;
    std::vector<std::string> names_;
    long count_ = 0;
};

// Writes an output: "-" is standard output, any other name a file replaced
// through the library's durable replacement, only once write has returned
// and the stream is flushed: a failure (write throws, or the stream fails)
// leaves the old file as it was. SIGINT and SIGTERM remove the new file
// while it is being written.
void write_output(const std::string &path, const std::function<void(std::FILE *)> &write);

} // namespace cli
