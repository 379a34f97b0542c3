// check: where a file relies on what the library's readers do silently. The
// readers stay as they are (a token they cannot read whole counts as its
// leading number or 0, rows longer than the first are cut, the token after a
// frame is the separator, a name's suffix beats the content); this walks a
// file by the same rules and says, line and column, where they apply.
#include "cli.hpp"

#include "formats/number_text.hpp"
#include "io/content.hpp"
#include "quarnel.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sys/stat.h>

namespace cli {

namespace {

// Findings past this many in one file are counted, not shown.
constexpr std::size_t shown_per_file = 100;

class Findings {
public:
    explicit Findings(CheckReport &report) : report_(report) {}
    void add(long long line, long long column, std::string message)
    {
        if (++report_.total <= static_cast<long>(shown_per_file))
            report_.findings.push_back({line, column, std::move(message)});
    }

private:
    CheckReport &report_;
};

// A token or a few bytes as a message shows them: control bytes escaped, and
// a long token cut.
std::string quoted(const std::string &whole)
{
    constexpr std::size_t longest = 40;
    const std::string text = whole.size() > longest ? whole.substr(0, longest) : whole;
    std::string out = "'";
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + (whole.size() > longest ? "...'" : "'");
}

// Lines of a stream without their line feeds, however long.
class Lines {
public:
    explicit Lines(std::FILE *stream) : stream_(stream) {}

    bool next(std::string &line)
    {
        line.clear();
        bool any = false;
        for (;;) {
            if (begin_ == end_) {
                begin_ = 0;
                end_ = std::fread(buffer_, 1, sizeof buffer_, stream_);
                if (end_ == 0)
                    return any;
            }
            const char *start = buffer_ + begin_;
            const auto *newline = static_cast<const char *>(std::memchr(start, '\n', end_ - begin_));
            if (newline != nullptr) {
                line.append(start, newline);
                begin_ = static_cast<std::size_t>(newline - buffer_) + 1;
                return true;
            }
            line.append(start, end_ - begin_);
            begin_ = end_;
            any = true;
        }
    }

private:
    std::FILE *stream_;
    char buffer_[1 << 16];
    std::size_t begin_ = 0, end_ = 0;
};

// The tokens of a line as the reader sees them: the comment cut at the first
// '#', the rest of the line ignored after a NUL byte, split by the tools
// library's Parse. Each token with its column.
struct Token {
    const char *text;
    long long column;
};
std::vector<Token> split(std::string &line, std::size_t length, std::vector<char *> &room)
{
    line.resize(length);
    room.resize(length / 2 + 2);
    const int count = Parse(line.data(), room.data(), static_cast<int>(room.size()));
    std::vector<Token> tokens;
    for (int i = 0; i < count; ++i)
        tokens.push_back({room[static_cast<std::size_t>(i)], room[static_cast<std::size_t>(i)] - line.data() + 1});
    return tokens;
}

enum class Form { undecided, header, before_data, table, plain };

class TextCheck {
public:
    explicit TextCheck(Findings &findings) : findings_(findings) {}

    void run(std::FILE *stream)
    {
        Lines lines(stream);
        std::string line;
        while (lines.next(line)) {
            ++number_;
            take(line);
        }
        if (form_ == Form::undecided)
            findings_.add(std::max(number_, 1L), 1, "no data, only comments and blank lines (EOF reached)");
        else if (form_ == Form::header)
            findings_.add(header_line_, 1,
                          "the header has no rule line (a line beginning with '-'): the reader finds no data "
                          "(EOF reached)");
        else if (form_ == Form::before_data)
            findings_.add(rule_line_, 1, "no data line follows the rule line: the reader finds no data (EOF reached)");
    }

private:
    void take(std::string &line)
    {
        if (form_ == Form::header) {
            if (line[0] == '-') {
                form_ = Form::before_data;
                rule_line_ = number_;
            } else if (const auto first = line.find_first_not_of(" \t\r\v\f");
                       first != std::string::npos && line[first] == '-') {
                findings_.add(number_, static_cast<long>(first) + 1,
                              "the rule line must begin with '-' in its first column: this line stays in the "
                              "header");
            }
            return;
        }
        if (line[0] == '#')
            return;
        const std::size_t hash = line.find('#');
        const std::size_t nul = line.find('\0');
        if (nul < hash)
            findings_.add(number_, static_cast<long>(nul) + 1, "NUL byte: the reader ignores the rest of the line");
        const std::size_t cr = line.find('\r');
        if (!reported_cr_ && cr < std::min(hash, nul) && cr + 1 < line.size()) {
            reported_cr_ = true;
            findings_.add(number_, static_cast<long>(cr) + 1,
                          "carriage return inside a line: the reader ends lines only at a line feed");
        }
        const auto tokens = split(line, std::min({hash, nul, line.size()}), room_);
        if (tokens.empty())
            return;
        const bool bar = std::strcmp(tokens[0].text, "|") == 0;
        switch (form_) {
        case Form::undecided:
            if (bar) {
                form_ = Form::header;
                header_line_ = number_;
                header_names_ = static_cast<long>(tokens.size()) - 1;
                return;
            }
            form_ = Form::plain;
            width_ = static_cast<long>(tokens.size());
            if (std::all_of(tokens.begin(), tokens.end(), [](const Token &t) { return !starts_number(t.text); })) {
                findings_.add(number_, 1,
                              "a line of names read as a row of zeros: a table-form header begins with '|'");
                return;
            }
            break;
        case Form::before_data:
            if (bar)
                return;
            form_ = Form::table;
            width_ = tokens.size() > 2 ? static_cast<long>(tokens.size()) - 1 : 1;
            if (width_ == 1)
                findings_.add(number_, tokens[0].column,
                              "the first data line has no values: the table gets no columns, only frames");
            if (header_names_ != width_ - 1)
                findings_.add(number_, tokens[0].column,
                              count_text(width_ - 1, "value") + ", but the header names " +
                                  count_text(header_names_, "column"));
            break;
        default: break;
        }
        if (form_ == Form::table)
            table_row(tokens, line.size());
        else
            plain_row(tokens, line.size());
    }

    void table_row(const std::vector<Token> &tokens, std::size_t length)
    {
        const Token &frame = tokens[0];
        if (std::strcmp(frame.text, "|") == 0)
            findings_.add(number_, frame.column,
                          "a line beginning with '|' after the first data line is data: its frame reads as 0");
        else
            number(frame, "frame ");
        const float f = static_cast<float>(gridvane::formats::atof_c(frame.text));
        if (!std::isnan(f) && !std::isnan(last_frame_) && !(f > last_frame_))
            findings_.add(number_, frame.column,
                          "frame " + exact(f) + " does not increase (line " + std::to_string(last_frame_line_) +
                              " has " + exact(last_frame_) + "): frame lookups expect rising frames");
        if (!std::isnan(f)) {
            last_frame_ = f;
            last_frame_line_ = number_;
        }
        if (tokens.size() >= 2 && std::strcmp(tokens[1].text, "|") != 0)
            findings_.add(number_, tokens[1].column,
                          quoted(tokens[1].text) + " stands where the separator '|' belongs: the reader drops it");
        for (std::size_t i = 2; i < tokens.size() && static_cast<long>(i) - 2 < width_ - 1; ++i)
            number(tokens[i], "");
        const long values = std::max<long>(static_cast<long>(tokens.size()) - 2, 0);
        compare_width(tokens, values, width_ - 1, 2, length, "the first data line");
    }

    void plain_row(const std::vector<Token> &tokens, std::size_t length)
    {
        for (std::size_t i = 0; i < tokens.size() && static_cast<long>(i) < width_; ++i)
            number(tokens[i], "");
        compare_width(tokens, static_cast<long>(tokens.size()), width_, 0, length, "the first row");
    }

    void compare_width(const std::vector<Token> &tokens, long values, long wanted, std::size_t first,
                       std::size_t length, const char *first_row)
    {
        if (values > wanted)
            findings_.add(number_, tokens[first + static_cast<std::size_t>(wanted)].column,
                          count_text(values, "value") + " where " + first_row + " has " + std::to_string(wanted) +
                              ": the reader ignores the last " + std::to_string(values - wanted));
        else if (values < wanted)
            findings_.add(number_, static_cast<long>(length) + 1,
                          count_text(values, "value") + " where " + first_row + " has " + std::to_string(wanted) +
                              ": the reader reads the missing " + std::to_string(wanted - values) + " as 0");
    }

    static bool starts_number(const char *text)
    {
        char *end;
        std::strtod(text, &end);
        return end != text;
    }

    static std::string count_text(long n, const char *noun)
    {
        return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
    }

    // A value as the reader converts it: the longest leading number, as the
    // C library reads it, narrowed to a float.
    void number(const Token &token, const std::string &what)
    {
        char *end;
        const double whole = std::strtod(token.text, &end);
        const float value = static_cast<float>(gridvane::formats::atof_c(token.text));
        const char *digits = token.text + (token.text[0] == '-' || token.text[0] == '+');
        std::string said;
        if (end == token.text)
            said = what + quoted(token.text) + " is not a number: the reader takes 0";
        else if (*end != '\0')
            said = what + quoted(token.text) + " is not a whole number: the reader takes " + exact(value);
        else if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
            said = what + quoted(token.text) + " is a hexadecimal number: the reader takes " + exact(value);
        else if (std::isnan(value))
            said = what + "NaN";
        else if (std::isinf(value))
            said = std::isinf(whole) ? what + "infinite value " + quoted(token.text)
                                     : what + quoted(token.text) + " is beyond the float range: the reader takes " +
                                           exact(value);
        else if (value == 0.0f && whole != 0.0)
            said = what + quoted(token.text) + " is below the float range: the reader takes 0";
        if (!said.empty())
            findings_.add(number_, token.column, said);
    }

    Findings &findings_;
    Form form_ = Form::undecided;
    long number_ = 0, header_line_ = 0, rule_line_ = 0, header_names_ = 0, width_ = 0;
    float last_frame_ = NAN;
    long last_frame_line_ = 0;
    bool reported_cr_ = false;
    std::vector<char *> room_;
};

long long size_of(std::FILE *stream)
{
#if defined(_WIN32)
    struct _stat64 st {};
    return ::_fstat64(::_fileno(stream), &st) == 0 ? st.st_size : 0;
#else
    struct stat st {};
    return ::fstat(::fileno(stream), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
#endif
}

void check_binary(std::FILE *stream, Findings &findings)
{
    std::rewind(stream);
    unsigned char header[64];
    const std::size_t got = std::fread(header, 1, sizeof header, stream);
    if (got < sizeof header) {
        findings.add(1, static_cast<long>(got) + 1, "truncated header: " + std::to_string(got) + " of 64 bytes");
        return;
    }
    const bool little = std::memcmp(header, "chan", 4) == 0;
    if (!little && std::memcmp(header, "nahc", 4) != 0) {
        findings.add(1, 1,
                     "invalid magic number " + quoted(std::string(reinterpret_cast<char *>(header), 4)) +
                         ": a binary channel file begins 'chan' or 'nahc'");
        return;
    }
    auto field = [&](int at) {
        const int lo = header[at + (little ? 0 : 1)], hi = header[at + (little ? 1 : 0)];
        return static_cast<long>(static_cast<int16_t>(static_cast<uint16_t>(lo | hi << 8)));
    };
    const long columns = field(8), rows = field(10);
    if (columns < 0 || rows < 0) {
        findings.add(1, columns < 0 ? 9 : 11,
                     std::string("negative ") + (columns < 0 ? "column" : "row") + " count " +
                         std::to_string(columns < 0 ? columns : rows) + ": the reader cannot allocate it");
        return;
    }
    if (columns == 0 || rows == 0)
        findings.add(1, 9,
                     "no samples: " + std::to_string(columns) + " columns x " + std::to_string(rows) + " rows");
    const long long size = size_of(stream), wanted = 64 + 4LL * columns * rows;
    if (size < wanted)
        findings.add(1, size + 1,
                     "truncated samples: " + std::to_string(size - 64) + " of " + std::to_string(wanted - 64) +
                         " bytes");
    else if (size > wanted)
        findings.add(1, wanted + 1, std::to_string(size - wanted) + " bytes after the last sample are ignored");
    unsigned char sample[4];
    for (long long i = 0; 64 + 4 * (i + 1) <= std::min(size, wanted); ++i) {
        if (std::fread(sample, 1, 4, stream) != 4)
            break;
        if (!little)
            std::reverse(sample, sample + 4);
        float value;
        std::memcpy(&value, sample, 4);
        if (!std::isfinite(value))
            findings.add(1, 65 + 4 * i,
                         std::string(std::isnan(value) ? "NaN" : "infinite value") + " at row " +
                             std::to_string(i / columns) + ", column " + std::to_string(i % columns));
    }
}

// Line and column of a byte offset.
std::pair<long long, long long> position_of(std::FILE *stream, long long offset)
{
    std::rewind(stream);
    long long line = 1, column = 1;
    for (long long i = 0; i < offset; ++i) {
        const int c = std::getc(stream);
        if (c == EOF)
            break;
        if (c == '\n')
            ++line, column = 1;
        else
            ++column;
    }
    return {line, column};
}

// Content that decides for neither format, where the library looks.
void check_undecided(std::FILE *stream, const gridvane::io::Decision &decision, Findings &findings)
{
    const std::string said = take_library_message();
    const long long read = std::ftell(stream);
    if (std::feof(stream)) {
        const auto [line, column] = position_of(stream, read);
        findings.add(line, column,
                     said + (read == 0 ? ": the file is empty" : ": only white space and comments, no data"));
        return;
    }
    const long long at = read - static_cast<long long>(std::max<std::size_t>(decision.taken_size, 1));
    std::fseek(stream, static_cast<long>(at), SEEK_SET);
    const int byte = std::getc(stream);
    const auto [line, column] = position_of(stream, at);
    findings.add(line, column,
                 said + ": " + (byte == '\r' ? std::string("a carriage return") : quoted(std::string(1, char(byte)))) +
                     " cannot begin a channel file (a digit, sign, point, '|', inf or nan can)");
}

bool looks_like_text(const unsigned char *bytes, std::size_t count)
{
    return count > 0 && std::all_of(bytes, bytes + count, [](unsigned char c) {
               return (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\t' || c == '\r';
           });
}

} // namespace

CheckReport check_input(const Input &input)
{
    CheckReport report;
    Findings findings(report);
    std::FILE *stream = input.stream();
    input.rewind();
    unsigned char head[64] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, stream);
    const bool binary = got >= 4 && (std::memcmp(head, "chan", 4) == 0 || std::memcmp(head, "nahc", 4) == 0);
    const bool big_endian = got >= 4 && std::memcmp(head, "nahc", 4) == 0;
    input.rewind();
    TextCheck text(findings);
    switch (input.lookup()) {
    case CHAN_BIN:
        if (binary)
            check_binary(stream, findings);
        else
            findings.add(1, 1,
                         std::string(looks_like_text(head, got) ? "text under a binary suffix: " : "") +
                             "the reader wants the magic 'chan' or 'nahc' and finds " +
                             quoted(std::string(reinterpret_cast<char *>(head), std::min<std::size_t>(got, 4))) +
                             " (invalid magic number)");
        break;
    case CHAN_ASCII:
        if (binary)
            findings.add(1, 1, "binary channel data under a text suffix: the reader takes it as text");
        else
            text.run(stream);
        break;
    default:
        if (big_endian) {
            findings.add(1, 1,
                         "big-endian binary data under a name without a binary suffix (.chb, .bchan): the library "
                         "reads it only by name (this tool reads it)");
            check_binary(stream, findings);
            break;
        }
        const gridvane::io::Decision decision = gridvane::io::decide_by_content(stream);
        if (decision.code == -1) {
            check_undecided(stream, decision, findings);
            break;
        }
        input.rewind();
        if (decision.code == CHAN_BIN)
            check_binary(stream, findings);
        else
            text.run(stream);
    }
    input.rewind();
    take_library_message();
    return report;
}

std::vector<std::string> header_names(std::FILE *stream)
{
    Lines lines(stream);
    std::string line;
    std::vector<char *> room;
    while (lines.next(line)) {
        if (line[0] == '#')
            continue;
        const auto tokens = split(line, std::min({line.find('#'), line.find('\0'), line.size()}), room);
        if (tokens.empty())
            continue;
        std::vector<std::string> names;
        if (std::strcmp(tokens[0].text, "|") == 0)
            for (std::size_t i = 1; i < tokens.size(); ++i)
                names.emplace_back(tokens[i].text);
        return names;
    }
    return {};
}

void print_findings(std::FILE *out, const std::string &file, const CheckReport &report)
{
    for (const Finding &f : report.findings)
        std::fprintf(out, "%s:%lld:%lld: %s\n", file.c_str(), f.line, f.column, f.message.c_str());
    if (report.total > static_cast<long>(report.findings.size()))
        std::fprintf(out, "%s: %ld more findings not shown\n", file.c_str(),
                     report.total - static_cast<long>(report.findings.size()));
}

void refuse_unless_clean(const Input &input)
{
    const CheckReport report = check_input(input);
    if (report.total == 0)
        return;
    print_findings(stderr, input.name(), report);
    data_error(input.name() + ": refused with --strict: " + std::to_string(report.total) + " finding" +
               (report.total == 1 ? "" : "s"));
}

} // namespace cli
