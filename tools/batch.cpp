#include "batch.hpp"

#include "outputs.hpp"
#include "platform.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>

namespace cli {

namespace {

// A whole number of at most 18 digits; nullopt for anything else.
std::optional<uint64_t> shard_number(const std::string &text)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoull(text);
}

// The lines of a list of names, without their line ends; a read that fails
// ends the verb.
std::vector<std::string> lines_of(const std::string &list)
{
    const bool standard_input = list == "-";
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> opened(standard_input ? nullptr : std::fopen(list.c_str(), "rb"),
                                                            std::fclose);
    std::FILE *stream = standard_input ? stdin : opened.get();
    const std::string name = standard_input ? "standard input" : list;
    if (stream == nullptr)
        system_error(name, errno);
    std::vector<std::string> lines;
    std::string line;
    for (int c; (c = std::getc(stream)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        lines.push_back(std::move(line));
        line.clear();
    }
    if (std::ferror(stream))
        system_error(name, errno);
    lines.push_back(std::move(line));
    if (lines[0].rfind("\xEF\xBB\xBF", 0) == 0) // a byte-order mark, as some editors write one
        lines[0].erase(0, 3);
    std::vector<std::string> names;
    for (std::string &l : lines) {
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        if (!l.empty())
            names.push_back(std::move(l));
    }
    return names;
}

std::string duration(double seconds)
{
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

} // namespace

std::string Shard::of(std::size_t listed) const
{
    return given ? " (shard " + std::to_string(index) + "/" + std::to_string(count) + " of " +
                       std::to_string(listed) + (listed == 1 ? " file)" : " files)")
                 : "";
}

Shard shard_option(const Args &args)
{
    const auto value = args.value("--shard");
    if (!value)
        return {};
    const std::size_t slash = value->find('/');
    const auto index = shard_number(value->substr(0, slash));
    const auto count = slash == std::string::npos ? std::nullopt : shard_number(value->substr(slash + 1));
    if (!index || !count || *index >= *count)
        usage_error("--shard takes I/N, whole numbers with 0 <= I < N, not '" + *value + "'");
    return {*index, *count, true};
}

uint64_t shard_of(const std::string &name, uint64_t count)
{
    uint64_t hash = 14695981039346656037ull;
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash % count;
}

std::vector<std::string> listed_files(const Args &args)
{
    std::vector<std::string> names = args.operands();
    if (const auto list = args.value("--files-from")) {
        std::vector<std::string> more = lines_of(*list);
        names.insert(names.end(), more.begin(), more.end());
    }
    return names;
}

std::string Batch::repeats() const
{
    return repeated == 0 ? ""
                         : "; " + std::to_string(repeated) + (repeated == 1 ? " repeated name" : " repeated names") +
                               " skipped";
}

Batch batch_files(const Args &args)
{
    Batch batch;
    batch.shard = shard_option(args);
    // Every task leaves out the same names, so that a file is its first
    // name's shard's alone; "-" is standard input, whatever file is so named.
    std::unordered_map<std::string, std::size_t> first; // the place in files by key
    std::vector<std::size_t> repeats;
    for (std::string &name : listed_files(args)) {
        const std::string key = name == "-" ? name : platform::same_file_key(name);
        const auto [known, added] = first.emplace(key, batch.files.size());
        if (!added) {
            ++repeats[known->second];
            continue;
        }
        batch.files.push_back(std::move(name));
        repeats.push_back(0);
    }
    for (std::size_t i = 0; i < batch.files.size(); ++i)
        if (shard_of(batch.files[i], batch.shard.count) == batch.shard.index) {
            batch.mine.push_back(batch.files[i]);
            batch.repeated += repeats[i];
        }
    return batch;
}

Progress::Progress(std::size_t total)
    : total_(total), on_(total > 1 && platform::standard_error_is_terminal()), start_(std::chrono::steady_clock::now())
{
    if (on_)
        draw();
}

Progress::~Progress() { clear(); }

void Progress::step()
{
    ++done_;
    // A few redraws a second are enough for a person; the line stays up
    // in between.
    if (on_ && std::chrono::steady_clock::now() - drawn_ >= std::chrono::milliseconds(250))
        draw();
}

void Progress::draw()
{
    drawn_ = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(drawn_ - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0;
    std::string text = std::to_string(done_) + "/" + std::to_string(total_) + " files";
    if (rate > 0) {
        char per_second[32];
        std::snprintf(per_second, sizeof per_second, ", %.1f files/s", rate);
        text += per_second;
        text += ", " + duration(static_cast<double>(total_ - done_) / rate) + " left";
    }
    show_status(text);
}

void Progress::clear()
{
    if (on_)
        hide_status();
    on_ = false;
}

} // namespace cli
