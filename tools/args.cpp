#include "args.hpp"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace cli {

[[noreturn]] void system_error(const std::string &name, int error)
{
    data_error(name + ": " + std::strerror(error != 0 ? error : EIO));
}

namespace {

bool listed(const std::vector<std::string> &list, const std::string &name)
{
    for (const auto &item : list)
        if (item == name)
            return true;
    return false;
}

bool negative_number(const std::string &word)
{
    return word.size() > 1 && word[0] == '-' &&
           (std::isdigit(static_cast<unsigned char>(word[1])) != 0 || word[1] == '.');
}

} // namespace

Args::Args(const std::vector<std::string> &words, const std::vector<std::string> &valued,
           const std::vector<std::string> &flags)
{
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (word == "--") {
            operands_.insert(operands_.end(), words.begin() + static_cast<long>(i) + 1, words.end());
            break;
        }
        if (word.empty() || word[0] != '-' || word == "-" || negative_number(word)) {
            operands_.push_back(word);
            continue;
        }
        std::string name = word, value;
        bool inline_value = false;
        if (const auto eq = word.find('='); eq != std::string::npos && word.rfind("--", 0) == 0) {
            name = word.substr(0, eq);
            value = word.substr(eq + 1);
            inline_value = true;
        }
        if (listed(valued, name)) {
            if (!inline_value) {
                if (i + 1 == words.size())
                    usage_error("option " + name + " needs a value");
                value = words[++i];
            }
            values_.emplace_back(name, value);
        } else if (listed(flags, name) && !inline_value) {
            flags_.push_back(name);
        } else {
            usage_error("unknown option " + word);
        }
    }
}

std::optional<std::string> Args::value(const std::string &name) const
{
    std::optional<std::string> found;
    for (const auto &[n, v] : values_)
        if (n == name)
            found = v;
    return found;
}

bool Args::flag(const std::string &name) const { return listed(flags_, name); }

bool asks_help(const std::vector<std::string> &words)
{
    for (const auto &w : words) {
        if (w == "--")
            return false;
        if (w == "--help" || w == "-h")
            return true;
    }
    return false;
}

namespace {

template <typename T> std::optional<T> whole(const std::string &text)
{
    T value{};
    const char *begin = text.data(), *end = begin + text.size();
    if (!text.empty() && text[0] == '+')
        ++begin;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc{} || ptr != end || begin == end)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<double> number_in(const std::string &text) { return whole<double>(text); }

double parse_number(const std::string &text, const std::string &what)
{
    const auto value = whole<double>(text);
    if (!value)
        usage_error(what + " is not a number: '" + text + "'");
    return *value;
}

long parse_integer(const std::string &text, const std::string &what)
{
    const auto value = whole<long>(text);
    if (!value)
        usage_error(what + " is not a whole number: '" + text + "'");
    return *value;
}

} // namespace cli
