#include "cli.hpp"

#include "quarnel.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#if defined(_WIN32)
#    include <fcntl.h>
#    include <io.h>
#    include <process.h>
#    define getpid _getpid
#else
#    include <unistd.h>
#endif

namespace cli {

namespace fs = std::filesystem;

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

namespace {

void binary_mode(FILE *stream)
{
#if defined(_WIN32)
    _setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;
#endif
}

// Standard input copied to a named file, so the library can load it by name
// and decide its format by content, as it would for "stdin".
class Spool {
public:
    Spool()
    {
        path_ = (fs::temp_directory_path() / ("gridvane-stdin-" + std::to_string(getpid()))).string();
        binary_mode(stdin);
        std::ofstream out(path_, std::ios::binary);
        char buffer[1 << 16];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
            out.write(buffer, static_cast<std::streamsize>(n));
        if (!out)
            data_error("cannot keep standard input in " + path_);
    }
    ~Spool()
    {
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

} // namespace

Table::Table(const std::string &path) : name_(path == "-" ? "standard input" : path)
{
    std::optional<Spool> spool;
    std::string file = path;
    if (path == "-") {
        spool.emplace();
        file = spool->path();
    }
    unsigned char magic[4] = {};
    bool big_endian = false;
    if (FILE *f = std::fopen(file.c_str(), "rb")) {
        big_endian = std::fread(magic, 1, 4, f) == 4 && std::memcmp(magic, "nahc", 4) == 0;
        // The library knows big-endian files only by name; the tool looks.
        if (big_endian && form_of_name(file) != CHAN_ASCII) {
            std::rewind(f);
            ArrayNode *node = ArrayRead(f, CHAN_BIN);
            id_ = node != nullptr ? node->id : -1;
        }
        std::fclose(f);
    }
    if (!big_endian || form_of_name(file) == CHAN_ASCII)
        id_ = ArrayLoad(file.c_str());
    if (id_ < 0)
        data_error("cannot load " + name_);
    if (node().type == CHAN_BIN)
        kind_ = big_endian ? Kind::binary_big : Kind::binary_little;
    else
        kind_ = has_frames() ? Kind::ascii_table : Kind::ascii_plain;
}

Table::~Table()
{
    if (id_ > 0)
        ArrayFree(id_);
}

void save(int32_t id, const std::string &path, int32_t code)
{
    if (path == "-") {
        if (ArraySave(id, "stdout", code) != 0)
            data_error("cannot write standard output");
        return;
    }
    const int32_t named = form_of_name(path);
    if (named == -1 || named == code) {
        if (ArraySave(id, path.c_str(), code) != 0)
            data_error("cannot write " + path);
        return;
    }
    // The option overrides what the name says: write beside the target and
    // rename, so a failure leaves any old file as it was.
    const std::string temporary = path + ".gridvane-" + std::to_string(getpid());
    FILE *f = std::fopen(temporary.c_str(), "wb");
    if (f == nullptr)
        data_error("cannot write " + path + ": " + std::strerror(errno));
    const bool written = ArrayWrite(f, ArrayGetPointer(id), code) == 0;
    const bool closed = std::fclose(f) == 0;
    std::error_code error;
    if (written && closed)
        fs::rename(temporary, path, error);
    if (!written || !closed || error) {
        fs::remove(temporary, error);
        data_error("cannot write " + path);
    }
}

} // namespace cli
