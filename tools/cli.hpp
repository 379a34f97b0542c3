// Shared pieces of the gridvane command-line tool: failures that carry their
// exit status, argument handling, and tables opened through the library.
#pragma once

#include "gridvane.h"

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

inline constexpr int exit_failure = 1; // a data or I/O failure
inline constexpr int exit_usage = 2;   // the command line is wrong

// Thrown to end a verb: the message goes to standard error, prefixed with the
// tool's name, and the status becomes the exit status.
struct Failure : std::runtime_error {
    Failure(int exit_status, const std::string &message) : std::runtime_error(message), status(exit_status) {}
    int status;
};

[[noreturn]] inline void usage_error(const std::string &message) { throw Failure(exit_usage, message); }
[[noreturn]] inline void data_error(const std::string &message) { throw Failure(exit_failure, message); }

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

// Which file form a table came from, as the tool reports it.
enum class Kind { ascii_plain, ascii_table, binary_little, binary_big };
const char *kind_name(Kind kind);

// A table loaded through the library, freed when it goes out of scope. "-"
// reads standard input.
class Table {
public:
    explicit Table(const std::string &path);
    ~Table();
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;

    int32_t id() const { return id_; }
    const ArrayNode &node() const { return *ArrayGetPointer(id_); }
    int32_t columns() const { return static_cast<int32_t>(node().countU); }
    int32_t rows() const { return static_cast<int32_t>(node().countV); }
    bool has_frames() const { return (node().flags & ARRAY_FRAME) != 0; }
    Kind kind() const { return kind_; }
    const std::string &name() const { return name_; }

private:
    int32_t id_ = -1;
    Kind kind_ = Kind::ascii_plain;
    std::string name_;
};

// Saves a table under path ("-": standard output) in the given form.
void save(int32_t id, const std::string &path, int32_t code);

// The form a name asks for, by its suffix: CHAN_BIN, CHAN_ASCII or -1.
int32_t form_of_name(const std::string &path);

int info(const std::vector<std::string> &words);
int convert(const std::vector<std::string> &words);
int sample(const std::vector<std::string> &words);
int slice(const std::vector<std::string> &words);
int plot(const std::vector<std::string> &words);

} // namespace cli
