// The files a batch verb (check, convert) works through: its operands and a
// list read from a file, cut into shards that independent tasks on a render
// farm's queue run, and the progress line shown while it works.
#pragma once

#include "args.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// The options every batch verb takes, for its help.
#define BATCH_HELP                                                                                                   \
    "  --files-from LIST  the files named in LIST too, one per line (\"-\":\n"                                        \
    "            standard input); blank lines are skipped\n"                                                          \
    "  --shard I/N  only the files of shard I of N (I counts from 0): a file's\n"                                    \
    "            shard comes from a hash of its name as listed, so N tasks given\n"                                  \
    "            the same list work through every file once between them\n"

// The valued options a batch verb accepts, to add to its own.
inline const std::vector<std::string> batch_options{"--files-from", "--shard"};

// Shard I of N; the whole list when not given.
struct Shard {
    uint64_t index = 0, count = 1;
    bool given = false;
    // " (shard I/N of T files)" for a summary line, or nothing.
    std::string of(std::size_t listed) const;
};

// --shard I/N, 0 <= I < N.
Shard shard_option(const Args &args);

// The shard of a name: a 64-bit FNV-1a hash of its bytes, modulo count. It
// depends on nothing but the name, on every machine and in every version.
uint64_t shard_of(const std::string &name, uint64_t count);

// The operands and the lines of --files-from, in order.
std::vector<std::string> listed_files(const Args &args);

// What a batch verb works through: the files of its list, each once, and
// this task's shard of them.
struct Batch {
    // The list, each file by the first of its names: a name that
    // platform::same_file_key says is a file named before is left out.
    std::vector<std::string> files;
    Shard shard;
    std::vector<std::string> mine; // the files of the shard
    std::size_t repeated = 0;      // names left out for a file of mine
    // "; R repeated names skipped" for a summary line, or nothing.
    std::string repeats() const;
};

// The batch of a verb's operands and --files-from, cut by --shard.
Batch batch_files(const Args &args);

// A line at the foot of standard error (show_status) of files done out of
// the total, the rate and the time left, when standard error is a terminal
// and there is more than one file; nothing otherwise. It is drawn at once,
// and again a few times a second as files are done.
class Progress {
public:
    explicit Progress(std::size_t total);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    // One more file done.
    void step();
    // Erases the line for good: the end of the run.
    void clear();

private:
    void draw();

    std::size_t total_, done_ = 0;
    bool on_ = false;
    std::chrono::steady_clock::time_point start_, drawn_;
};

} // namespace cli
