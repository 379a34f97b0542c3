#include "outputs.hpp"

#include "number_text.hpp"
#include "platform.hpp"
#include "tables.hpp"

#include <cerrno>
#include <cmath>
#include <exception>

namespace cli {

namespace {

bool standard_output_said = false;

// The new file's name while a signal is to remove it: a copy, valid after
// the library has let the file go.
std::string pending_name;

// The status line, empty when there is none, and whether the terminal
// shows it now: not while standard output, on that terminal too, has
// written part of a line.
std::string status_text;
bool status_on_screen = false;

void draw_status()
{
    std::fprintf(stderr, "\r%s\033[K", status_text.c_str());
    std::fflush(stderr);
    status_on_screen = true;
}

void erase_status()
{
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    status_on_screen = false;
}

} // namespace

[[noreturn]] void standard_output_error(int error)
{
    standard_output_said = true;
    system_error("standard output", error);
}

void put(const std::string &text)
{
    // Asked once: a batch puts many lines while its progress line shows.
    static const bool terminal = platform::standard_output_is_terminal();
    const bool over_status = !text.empty() && !status_text.empty() && terminal;
    if (over_status && status_on_screen)
        erase_status();
    // Stops at the first failed write: a pipeline's reader may be gone or
    // the disk full, and the rest would fail the same way.
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
        standard_output_error(errno);
    if (over_status && text.back() == '\n') {
        std::fflush(stdout);
        draw_status();
    }
}

void show_status(const std::string &line)
{
    const bool hidden = !status_text.empty() && !status_on_screen;
    status_text = line;
    if (!hidden)
        draw_status();
}

void hide_status()
{
    if (status_on_screen)
        erase_status();
    status_text.clear();
}

void say(const std::string &text)
{
    if (!status_on_screen) {
        std::fputs(text.c_str(), stderr);
        return;
    }
    // Erased, the message, and the line again, in one write: the foot of
    // the screen is never left blank.
    std::fputs(("\r\033[K" + text + "\r" + status_text + "\033[K").c_str(), stderr);
    std::fflush(stderr);
}

bool finish_standard_output(bool &said)
{
    said = standard_output_said;
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        if (errno == 0)
            errno = EIO;
        return false;
    }
    return platform::close_standard_output();
}

namespace {

// The length of the valid UTF-8 character at p (at most n bytes), or 0.
std::size_t utf8_length(const unsigned char *p, std::size_t n)
{
    const auto continuation = [&](std::size_t i, unsigned char low = 0x80, unsigned char high = 0xBF) {
        return i < n && p[i] >= low && p[i] <= high;
    };
    if (p[0] < 0x80)
        return 1;
    if (p[0] >= 0xC2 && p[0] <= 0xDF)
        return continuation(1) ? 2 : 0;
    if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        const unsigned char low = p[0] == 0xE0 ? 0xA0 : 0x80, high = p[0] == 0xED ? 0x9F : 0xBF;
        return continuation(1, low, high) && continuation(2) ? 3 : 0;
    }
    if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        const unsigned char low = p[0] == 0xF0 ? 0x90 : 0x80, high = p[0] == 0xF4 ? 0x8F : 0xBF;
        return continuation(1, low, high) && continuation(2) && continuation(3) ? 4 : 0;
    }
    return 0;
}

} // namespace

std::string json_string(const std::string &text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char byte = bytes[i];
        const std::size_t n = utf8_length(bytes + i, text.size() - i);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20) {
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        } else if (n == 0) {
            // Not UTF-8 (a Latin-1 name, say): the byte as a lone surrogate
            // U+DC80..U+DCFF, which keeps the document UTF-8 and the byte
            // recoverable (Python: .encode("utf-8", "surrogateescape")).
            out += "\\udc";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
            ++i;
            continue;
        } else {
            out.append(text, i, n);
            i += n;
            continue;
        }
        ++i;
    }
    return out + "\"";
}

std::string json_number(double value, int digits)
{
    return std::isfinite(value) ? number_text(value, digits) : "null";
}

std::string csv_field(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (const char c : text)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

Format format_option(const Args &args, Format otherwise)
{
    const auto text = args.value("--format");
    if (!text)
        return otherwise;
    if (*text == "tsv")
        return Format::tsv;
    if (*text == "csv")
        return Format::csv;
    if (*text == "json")
        return Format::json;
    usage_error("--format takes tsv, csv or json, not '" + *text + "'");
}

Records::Records(Format format, std::vector<std::string> names) : format_(format), names_(std::move(names))
{
    if (format_ == Format::csv) {
        std::string line;
        for (std::size_t i = 0; i < names_.size(); ++i)
            line += (i ? "," : "") + csv_field(names_[i]);
        cli::put(line + "\n");
    } else if (format_ == Format::json) {
        cli::put("[");
    }
}

void Records::put(const std::vector<float> &values)
{
    std::string line = format_ == Format::json ? (count_ ? ",\n{" : "\n{") : "";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (format_ == Format::json)
            line += (i ? ", " : "") + json_string(names_[i]) + ": " + json_number(values[i]);
        else
            line += (i ? (format_ == Format::csv ? "," : "\t") : "") + number_text(values[i]);
    }
    line += format_ == Format::json ? "}" : "\n";
    ++count_;
    cli::put(line);
}

void Records::finish()
{
    if (format_ == Format::json)
        cli::put(count_ ? "\n]\n" : "]\n");
}

void write_output(const std::string &path, const std::function<void(std::FILE *)> &write)
{
    if (path == "-") {
        errno = 0;
        write(stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout))
            standard_output_error(errno);
        return;
    }
    gridvane::file file;
    {
        // No signal between the new file's making and its record.
        const platform::SignalsHeld held;
        try {
            file = gridvane::file::open(path);
        } catch (const gridvane::error &e) {
            data_error(status_line(path, e.status()));
        }
        if (const char *temporary = file.temporary_name()) {
            pending_name = temporary;
            platform::remove_on_signal(pending_name.c_str());
        }
    }
    // Abandoned by every way out but the commit below (the file's own
    // destructor), and no longer removed on signals.
    struct Forgotten {
        ~Forgotten() { platform::remove_on_signal(nullptr); }
    } forgotten;
    std::FILE *stream = file.stream();
    errno = 0;
    write(stream);
    if (std::fflush(stream) != 0 || std::ferror(stream))
        system_error(path, errno);
    try {
        file.commit();
    } catch (const gridvane::error &e) {
        data_error(status_line(path, e.status()));
    }
}

} // namespace cli
