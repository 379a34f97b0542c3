#include "cli.hpp"

#include "formats/number_text.hpp"
#include "io/content.hpp"
#include "io/replace.hpp"
#include "quarnel.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstring>
#include <sys/stat.h>

#if defined(_WIN32)
#    include <io.h>
#else
#    include <unistd.h>
#endif

namespace cli {

[[noreturn]] void system_error(const std::string &name, int error)
{
    data_error(name + ": " + std::strerror(error != 0 ? error : EIO));
}

Args::Args(std::vector<std::string> words, const std::vector<std::string> &valued,
           const std::vector<std::string> &flags)
{
    auto known = [](const std::vector<std::string> &list, const std::string &name) {
        for (const auto &item : list)
            if (item == name)
                return true;
        return false;
    };
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (word == "--") {
            operands_.insert(operands_.end(), words.begin() + static_cast<long>(i) + 1, words.end());
            break;
        }
        // "-" (a standard stream) and negative numbers are operands too.
        const bool negative_number =
            word.size() > 1 && word[0] == '-' && (std::isdigit(static_cast<unsigned char>(word[1])) || word[1] == '.');
        if (word[0] != '-' || word == "-" || negative_number) {
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
        if (known(valued, name)) {
            if (!inline_value) {
                if (i + 1 == words.size())
                    usage_error("option " + name + " needs a value");
                value = words[++i];
            }
            values_.emplace_back(name, value);
        } else if (known(flags, name) && !inline_value) {
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

bool Args::flag(const std::string &name) const
{
    for (const auto &f : flags_)
        if (f == name)
            return true;
    return false;
}

namespace {

template <typename T> T parse(const std::string &text, const std::string &what, const char *kind)
{
    T value{};
    const char *begin = text.data(), *end = begin + text.size();
    if (!text.empty() && text[0] == '+')
        ++begin;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc{} || ptr != end)
        usage_error(what + " is not " + kind + ": '" + text + "'");
    return value;
}

} // namespace

double parse_number(const std::string &text, const std::string &what) { return parse<double>(text, what, "a number"); }

long parse_integer(const std::string &text, const std::string &what)
{
    return parse<long>(text, what, "a whole number");
}

std::string exact(float value)
{
    if (std::isnan(value))
        return std::signbit(value) ? "-nan" : "nan";
    char text[32];
    // Shortest text that reads back as the same float.
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return {text, end};
}


const char *kind_name(Kind kind)
{
    switch (kind) {
    case Kind::ascii_plain: return "ASCII, plain";
    case Kind::ascii_table: return "ASCII, table form";
    case Kind::binary_little: return "binary, little-endian";
    case Kind::binary_big: return "binary, big-endian";
    }
    return "?";
}

int32_t form_of_name(const std::string &path)
{
    const int code = GetHalvicFileType(path.c_str());
    return code == CHAN_BIN || code == CHAN_ASCII ? code : -1;
}

Input::Input(const std::string &path)
{
    if (path != "-") {
        name_ = path;
        lookup_ = GetHalvicFileType(path.c_str());
        stream_ = std::fopen(path.c_str(), "rb");
        if (stream_ == nullptr)
            system_error(path, errno);
        struct stat st {};
        if (::fstat(::fileno(stream_), &st) == 0 && S_ISDIR(st.st_mode)) {
            std::fclose(stream_);
            system_error(path, EISDIR);
        }
        return;
    }
    name_ = "standard input";
    stream_ = std::tmpfile();
    if (stream_ == nullptr)
        system_error("cannot keep standard input", errno);
    char buffer[1 << 16];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
        if (std::fwrite(buffer, 1, n, stream_) != n)
            system_error("cannot keep standard input", errno);
    if (std::ferror(stdin))
        system_error(name_, errno);
    rewind();
}

Input::~Input()
{
    if (stream_ != nullptr)
        std::fclose(stream_);
}

void Input::rewind() const
{
    std::fflush(stream_);
    std::rewind(stream_);
}

namespace {

// Why a load failed, in the library's words where it had any, with what
// check finds in the file where that says more.
[[noreturn]] void load_failed(const Input &input)
{
    const int error = errno;
    const std::string said = take_library_message();
    const CheckReport report = check_input(input);
    take_library_message();
    std::string cause = said.empty() ? std::strerror(error != 0 ? error : EIO) : said;
    if (!report.findings.empty()) {
        const Finding &first = report.findings.front();
        const std::string where = first.line > 1 ? "line " + std::to_string(first.line) + ": " : "";
        const bool says_it_all = said.empty() || first.message.find(said) != std::string::npos;
        cause = says_it_all ? where + first.message : said + " (" + where + first.message + ")";
    }
    data_error(input.name() + ": " + cause);
}

} // namespace

Table::Table(const Input &input) : name_(input.name())
{
    take_library_message();
    int32_t code = input.lookup();
    if (code != -1 && code != 0 && code != CHAN_BIN && code != CHAN_ASCII)
        data_error(name_ + ": the tools library gives the name type " + std::to_string(code) + ", not a channel file");
    unsigned char magic[4] = {};
    const bool big_endian = std::fread(magic, 1, 4, input.stream()) == 4 && std::memcmp(magic, "nahc", 4) == 0;
    input.rewind();
    if (code == -1 || code == 0) {
        // The library knows big-endian files only by name; the tool looks.
        code = big_endian ? CHAN_BIN : gridvane::io::decide_by_content(input.stream()).code;
        if (code == -1)
            load_failed(input);
        input.rewind();
    }
    const ArrayNode *node = ArrayRead(input.stream(), code);
    if (node == nullptr)
        load_failed(input);
    id_ = node->id;
    if (code == CHAN_BIN) {
        kind_ = big_endian ? Kind::binary_big : Kind::binary_little;
    } else if (has_frames()) {
        kind_ = Kind::ascii_table;
        input.rewind();
        names_ = header_names(input.stream());
    }
}

Table::~Table()
{
    if (id_ > 0)
        ArrayFree(id_);
}

std::string Table::header_name(int32_t column) const
{
    return column >= 0 && static_cast<std::size_t>(column) < names_.size() ? names_[static_cast<std::size_t>(column)]
                                                                            : "";
}

std::string Table::column_label(int32_t column) const
{
    const std::string name = header_name(column);
    return name.empty() ? "column " + std::to_string(column) : name;
}

void Table::require_samples() const
{
    if (columns() < 1 || rows() < 1)
        data_error(name_ + ": the table has no samples (" + std::to_string(columns()) + " columns x " +
                   std::to_string(rows()) + " rows)");
}

namespace {

// The named temporary file of the save in progress, for the signal handler.
std::string pending_name;
std::atomic<const char *> pending{nullptr};

extern "C" void remove_pending_and_end(int signal)
{
    if (const char *name = pending.load())
        ::unlink(name);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Holds SIGINT and SIGTERM back while it lives.
class SignalsHeld {
public:
#if defined(_WIN32)
    SignalsHeld() {} // the C runtime's signals cannot be held back
#else
    SignalsHeld()
    {
        sigset_t both;
        sigemptyset(&both);
        sigaddset(&both, SIGINT);
        sigaddset(&both, SIGTERM);
        sigprocmask(SIG_BLOCK, &both, &before_);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &before_, nullptr); }

private:
    sigset_t before_;
#endif
};

} // namespace

void remove_temporaries_on_signals()
{
    for (const int signal : {SIGINT, SIGTERM})
        if (std::signal(signal, remove_pending_and_end) == SIG_IGN)
            std::signal(signal, SIG_IGN); // ignored by whoever started us: stay so
}

void write_output(const std::string &path, const std::function<bool(std::FILE *)> &write)
{
    if (path == "-") {
        errno = 0;
        if (!write(stdout) || std::fflush(stdout) != 0 || std::ferror(stdout))
            system_error("standard output", errno);
        return;
    }
    gridvane::io::SaveTarget target;
    {
        // No signal between the temporary file's creation and its record.
        const SignalsHeld held;
        if (!target.open(path.c_str()))
            system_error(path, errno);
        if (const char *temporary = target.temporary_name()) {
            pending_name = temporary;
            pending = pending_name.c_str();
        }
    }
    errno = 0;
    const bool written = write(target.stream()) && std::fflush(target.stream()) == 0 && !std::ferror(target.stream());
    if (!written && errno == 0)
        errno = EIO;
    const bool finished = target.finish(written);
    pending = nullptr;
    if (!finished)
        system_error(path, errno);
}

bool finish_standard_output()
{
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        if (errno == 0)
            errno = EIO;
        return false;
    }
    // The descriptor, not the stream: the C++ streams flush stdout at exit.
    return ::close(::fileno(stdout)) == 0 || errno == EBADF;
}

bool write_table_form(std::FILE *out, const Table &t, std::pair<int32_t, int32_t> rows,
                      std::pair<int32_t, int32_t> columns)
{
    std::string text = "|";
    for (int32_t c = columns.first; c < columns.second; ++c) {
        const std::string name = t.header_name(c);
        text += " " + (name.empty() ? "column" + std::to_string(c) : name);
    }
    text += "\n" + std::string(std::max<std::size_t>(text.size() - 1, 4), '-') + "\n";
    float **data = ArrayGetArray(t.id());
    char number[gridvane::formats::g15_max_chars + 1];
    auto put = [&](float value) {
        text.append(number, gridvane::formats::format_g15(number, static_cast<double>(value)));
    };
    for (int32_t r = rows.first; r < rows.second; ++r) {
        put(t.frame(r));
        text += "\t|";
        for (int32_t c = columns.first; c < columns.second; ++c) {
            text += '\t';
            put(data[r][c]);
        }
        text += '\n';
        if (text.size() >= (1 << 16) || r + 1 == rows.second) {
            if (std::fwrite(text.data(), 1, text.size(), out) != text.size())
                return false;
            text.clear();
        }
    }
    return std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

} // namespace cli
