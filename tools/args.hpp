// A verb's command line, and the failures that end a verb.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

inline constexpr int exit_failure = 1; // a data or I/O failure
inline constexpr int exit_usage = 2;   // the command line is wrong

// Thrown to end a verb: the message goes to standard error after the tool's
// name and the verb, and the status becomes the exit status. A data
// failure's message names the file first ("FILE: cause").
struct Failure : std::runtime_error {
    Failure(int exit_status, const std::string &message) : std::runtime_error(message), status(exit_status) {}
    int status;
};

[[noreturn]] inline void usage_error(const std::string &message) { throw Failure(exit_usage, message); }
[[noreturn]] inline void data_error(const std::string &message) { throw Failure(exit_failure, message); }
// "name: " and the system's text for error (EIO when there is none).
[[noreturn]] void system_error(const std::string &name, int error);

// Options (--name VALUE, --name=VALUE, -o VALUE, flags) and operands. "-"
// and negative numbers are operands; after "--" every word is one.
class Args {
public:
    Args(const std::vector<std::string> &words, const std::vector<std::string> &valued,
         const std::vector<std::string> &flags);

    std::optional<std::string> value(const std::string &name) const;
    bool flag(const std::string &name) const;
    const std::vector<std::string> &operands() const { return operands_; }

private:
    std::vector<std::pair<std::string, std::string>> values_;
    std::vector<std::string> flags_;
    std::vector<std::string> operands_;
};

// Whether the words ask for help: --help or -h before any "--".
bool asks_help(const std::vector<std::string> &words);

// A number as the command line or standard input spells it, whole or not
// at all; what names it in the usage error.
double parse_number(const std::string &text, const std::string &what);
std::optional<double> number_in(const std::string &text);
long parse_integer(const std::string &text, const std::string &what);

} // namespace cli
