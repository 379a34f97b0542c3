// Shared pieces of the gridvane command-line tool: failures that carry their
// exit status, argument handling, inputs, tables opened through the library,
// and outputs that are checked to the last byte.
#pragma once

#include "gridvane.h"

#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

inline constexpr int exit_failure = 1; // a data or I/O failure
inline constexpr int exit_usage = 2;   // the command line is wrong

// Thrown to end a verb: the message goes to standard error, prefixed with the
// tool's name and the verb, and the status becomes the exit status. A data
// failure's message names the file first ("FILE: cause").
struct Failure : std::runtime_error {
    Failure(int exit_status, const std::string &message) : std::runtime_error(message), status(exit_status) {}
    int status;
};

[[noreturn]] inline void usage_error(const std::string &message) { throw Failure(exit_usage, message); }
[[noreturn]] inline void data_error(const std::string &message) { throw Failure(exit_failure, message); }
// "name: " and the system's text for error.
[[noreturn]] void system_error(const std::string &name, int error);

// From now on the library's messages are kept for the tool's own lines
// instead of going to standard error.
void capture_library_messages();
// The library's last message, without its "Gridvane (Function): " prefix and
// newline, or "" when it sent none; taking it clears it.
std::string take_library_message();

// A verb's arguments: options (--name VALUE, --name=VALUE, -o VALUE, flags)
// and positional operands, "-" counting as an operand.
class Args {
public:
    Args(std::vector<std::string> words, const std::vector<std::string> &valued, const std::vector<std::string> &flags);

    std::optional<std::string> value(const std::string &name) const;
    bool flag(const std::string &name) const;
    const std::vector<std::string> &operands() const { return operands_; }

private:
    std::vector<std::pair<std::string, std::string>> values_;
    std::vector<std::string> flags_;
    std::vector<std::string> operands_;
};

double parse_number(const std::string &text, const std::string &what);
long parse_integer(const std::string &text, const std::string &what);

// Formats a float so that reading it back gives the same float.
std::string exact(float value);

// A file to read, or "-" for standard input, which is first kept in an
// unnamed temporary file: either way the stream can be read more than once.
class Input {
public:
    explicit Input(const std::string &path);
    ~Input();
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;

    std::FILE *stream() const { return stream_; }
    // The name messages use: the path, or "standard input".
    const std::string &name() const { return name_; }
    // What the tools library's lookup says of the name (-1 for standard input).
    int32_t lookup() const { return lookup_; }
    // Back to the first byte, with any error or end-of-file state cleared.
    void rewind() const;

private:
    std::FILE *stream_ = nullptr;
    std::string name_;
    int32_t lookup_ = -1;
};

// Which file form a table came from, as the tool reports it.
enum class Kind { ascii_plain, ascii_table, binary_little, binary_big };
const char *kind_name(Kind kind);

// A table loaded through the library, freed when it goes out of scope.
class Table {
public:
    explicit Table(const Input &input);
    ~Table();
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;

    int32_t id() const { return id_; }
    const ArrayNode &node() const { return *ArrayGetPointer(id_); }
    int32_t columns() const { return static_cast<int32_t>(node().countU); }
    int32_t rows() const { return static_cast<int32_t>(node().countV); }
    bool has_frames() const { return (node().flags & ARRAY_FRAME) != 0; }
    float frame(int32_t row) const { return ArrayGetArray(id_)[row][columns()]; }
    Kind kind() const { return kind_; }
    const std::string &name() const { return name_; }
    // The header's name for a column, or "" when the file named none.
    std::string header_name(int32_t column) const;
    // The header's name, or "column N".
    std::string column_label(int32_t column) const;
    // Fails with a message unless the table has at least one sample.
    void require_samples() const;

private:
    int32_t id_ = -1;
    Kind kind_ = Kind::ascii_plain;
    std::string name_;
    std::vector<std::string> names_;
};

// Writes an output: "-" is standard output, any other name a file that is
// replaced only once write has succeeded, keeping its mode, owner and links
// (the library's own save does the same). write returns false with errno
// set when it failed. A failure ends the verb with the system's cause.
void write_output(const std::string &path, const std::function<bool(std::FILE *)> &write);

// Flushes and closes standard output; false with errno set when that failed.
bool finish_standard_output();

// Removes a save's temporary file when SIGINT or SIGTERM ends the process.
void remove_temporaries_on_signals();

// The form a name asks for, by its suffix: CHAN_BIN, CHAN_ASCII or -1.
int32_t form_of_name(const std::string &path);

// The table in the ASCII table form: the header names, a rule line, then the
// frame, a "|" and the values on each line. rows and columns are half-open
// ranges of the table's.
bool write_table_form(std::FILE *out, const Table &t, std::pair<int32_t, int32_t> rows,
                      std::pair<int32_t, int32_t> columns);

// What check finds in a file: where the reader would take something other
// than it looks, or could not read it at all.
struct Finding {
    long long line, column; // from 1; a binary file counts as one line of bytes
    std::string message;
};
struct CheckReport {
    std::vector<Finding> findings; // the first ones, as many as are shown
    long total = 0;                // all of them
};
CheckReport check_input(const Input &input);
// FILE:LINE:COLUMN: message, one line each, and a line for those not shown.
void print_findings(std::FILE *out, const std::string &file, const CheckReport &report);
// With --strict: fails, after printing the findings to standard error, when
// check finds anything in the input.
void refuse_unless_clean(const Input &input);

// The names after the "|" of a table-form file's first line.
std::vector<std::string> header_names(std::FILE *stream);

int info(const std::vector<std::string> &words);
int convert(const std::vector<std::string> &words);
int sample(const std::vector<std::string> &words);
int slice(const std::vector<std::string> &words);
int plot(const std::vector<std::string> &words);
int check(const std::vector<std::string> &words);

} // namespace cli
