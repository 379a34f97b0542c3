// Saves by name that survive a crash: the new file's data reaches the disk
// before it takes the target's name and the folder follows; a failed flush
// fails the save and leaves the old file; a killed save leaves the old or the
// new file and, once the next save has run, nothing else.
#include "support.hpp"

#include "platform/system.hpp"

#include "gridvane_ext.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>

#if defined(_WIN32)
#    include <fcntl.h>
#    include <io.h>
#    include <process.h>
#    include <share.h>
#else
#    include <csignal>
#    include <fcntl.h>
#    include <sys/file.h>
#    include <sys/stat.h>
#    include <sys/wait.h>
#    include <unistd.h>
#endif

namespace fs = std::filesystem;
namespace seam = gridvane_core::platform::seam;

namespace {

// The system calls an operation makes, by name, in order.
template <typename Fn> std::vector<std::string> calls_of(Fn &&fn)
{
    seam::start_log();
    fn();
    const char *names[512];
    const std::size_t n = seam::stop_log(names, std::size(names));
    return {names, names + std::min<std::size_t>(n, std::size(names))};
}

size_t position(const std::vector<std::string> &calls, const std::string &name)
{
    return static_cast<size_t>(std::find(calls.begin(), calls.end(), name) - calls.begin());
}

class Saves : public gvtest::RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        table_ = ArrayAlloc(300, 40);
        for (int r = 0; r < 300; ++r)
            ArrayPutIValue(table_, r % 40, r, static_cast<float>(r) * 0.5f);
        const std::string out = folder_.path("expected.chb");
        ArraySave(table_, out.c_str(), 0);
        saved_ = gvtest::TempFolder::read(out);
        fs::remove(out);
    }

    std::string path(const std::string &name) const { return folder_.path(name); }
    std::set<std::string> listing() const
    {
        const auto names = folder_.listing();
        return {names.begin(), names.end()};
    }
    static std::string read_file(const std::string &p) { return gvtest::TempFolder::read(p); }

    gvtest::TempFolder folder_;
    int32_t table_ = -1;
    std::string saved_; // what a save of the table writes
};

// The ways a save is made: to a new name or over an old file, with an
// unnamed new file where the system has them or a named one.
struct Way {
    const char *name;
    bool target_exists, named;
};
constexpr Way ways[] = {{"new", false, false}, {"over an old file", true, false},
                        {"new, named from the start", false, true},
                        {"over an old file, named from the start", true, true}};

// Makes the save of a way: the old file in place, and (named) no unnamed
// files to be had.
int32_t save_by_way(int32_t table, const std::string &target, const Way &way)
{
    if (way.named)
        seam::arm_named("open O_TMPFILE", seam::Act::fail, EOPNOTSUPP);
    return ArraySave(table, target.c_str(), 0);
}

TEST_F(Saves, DataReachesTheDiskBeforeTheNameAndTheFolderAfter)
{
    for (const Way &way : ways) {
        const std::string target = path("table.chb");
        fs::remove(target);
        if (way.target_exists)
            std::ofstream(target, std::ios::binary) << "old";
        int32_t result = -1;
        const auto calls = calls_of([&] { result = save_by_way(table_, target, way); });
        ASSERT_EQ(result, 0) << way.name;
        EXPECT_EQ(read_file(target), saved_) << way.name;
        EXPECT_EQ(listing(), std::set<std::string>{"table.chb"}) << way.name;
        // Every write, then the data's flush, then the name, then the folder.
        size_t last_write = 0;
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i] == "writev" || calls[i] == "write")
                last_write = i;
        size_t flush = position(calls, "fsync"), name = position(calls, "rename");
        if (flush == calls.size())
            flush = position(calls, "FlushFileBuffers");
        if (name == calls.size())
            name = position(calls, "MoveFileEx");
        EXPECT_LT(last_write, flush) << way.name;
        EXPECT_LT(flush, name) << way.name;
        EXPECT_LT(name, calls.size()) << way.name;
#if !defined(_WIN32) // MoveFileEx writes the name through itself
        // The old file's mode and owner are part of what the flush keeps.
        if (way.target_exists) {
            EXPECT_LT(position(calls, "fchmod"), flush) << way.name;
        }
        EXPECT_LT(name, position(calls, "fsync folder")) << way.name;
        EXPECT_LT(position(calls, "fsync folder"), calls.size()) << way.name;
#endif
    }
}

// On a filesystem that keeps no locks, saves by a named new file go on
// working, save after save, and leave nothing behind.
TEST_F(Saves, SavesWorkWhereNoFileCanBeLocked)
{
    if (!gridvane_core::platform::holds_by_lock())
        GTEST_SKIP() << "this system holds a new file by its open, not by a lock";
    const std::string target = path("table.chb");
    seam::always("flock", seam::Act::fail, ENOLCK);
    for (int save = 0; save < 3; ++save)
        EXPECT_EQ(save_by_way(table_, target, ways[2]), 0) << "save " << save;
    seam::always("flock", seam::Act::none);
    EXPECT_EQ(read_file(target), saved_);
    EXPECT_EQ(listing(), std::set<std::string>{"table.chb"});
}

// Each system call of a save, made to fail in turn, to be interrupted by a
// signal, or (reads and writes) to move fewer bytes: the save either
// succeeds with the whole new file, or fails with the error number of the
// call and the old file whole (only the folder's flush, after the rename,
// leaves the new one); either way no other file is left.
TEST_F(Saves, EveryCallOfASaveFailsCleanly)
{
    const std::string target = path("table.chb");
    const std::string old = "precious\n";
    for (const Way &way : ways)
        for (const auto &[act, and_after] : {std::pair{seam::Act::fail, false}, std::pair{seam::Act::fail, true},
                                            std::pair{seam::Act::interrupt, false}, std::pair{seam::Act::shorten, false}}) {
            const auto prepare = [&] {
                fs::remove(target);
                if (way.target_exists)
                    std::ofstream(target, std::ios::binary) << old;
            };
            prepare();
            const auto calls = calls_of([&] { save_by_way(table_, target, way); });
            // The call that gives the new file the target's name.
            const size_t renamed = std::min(position(calls, "rename"), position(calls, "MoveFileEx")) + 1;
            for (size_t k = 1; k <= calls.size(); ++k) {
                const std::string &call = calls[k - 1];
                if (act == seam::Act::shorten && call != "write" && call != "writev")
                    continue;
                prepare();
                // The named way's own failure of the unnamed open comes first.
                if (way.named)
                    seam::arm_named("open O_TMPFILE", seam::Act::fail, EOPNOTSUPP);
                seam::arm(k, act, ENOSPC, and_after);
                errno = 0;
                const int32_t result = ArraySave(table_, target.c_str(), 0);
                const int error = errno;
                seam::arm(0, seam::Act::none);
                const std::string now = fs::exists(target) ? read_file(target) : "";
                const std::string what =
                    std::string(way.name) + ": call " + std::to_string(k) + " " + call + (and_after ? " and after" : "");
                if (result == 0) {
                    EXPECT_TRUE(now == saved_) << what << ": " << now.size() << " bytes";
                } else {
                    EXPECT_EQ(error, act == seam::Act::interrupt ? EINTR : ENOSPC) << what;
                    // A failure after the rename (flushing the folder) leaves
                    // the new contents in place.
                    const std::string before = way.target_exists ? old : "";
                    EXPECT_TRUE(now == (k > renamed ? saved_ : before)) << what << ": " << now.size() << " bytes";
                }
                // Where even the removal of the new file failed, the next
                // save of the name takes it away.
                if (and_after && !listing().empty() && listing() != std::set<std::string>{"table.chb"}) {
                    EXPECT_EQ(save_by_way(table_, target, way), 0) << what;
                }
                const auto names = gvtest::without_recent_slots(folder_.listing(), folder_.dir().string(), "table.chb");
                const std::set<std::string> left(names.begin(), names.end());
                EXPECT_TRUE(left.empty() || left == std::set<std::string>{"table.chb"}) << what;
            }
        }
}

// Reads interrupted by a signal are made again, and short ones read on: a
// load never takes either for the end of the file.
TEST_F(Saves, LoadsReadOnAfterSignalsAndShortReads)
{
    const std::string source = path("table.chb");
    ASSERT_EQ(ArraySave(table_, source.c_str(), 0), 0);
    const std::string text = path("table.txt");
    ASSERT_EQ(ArraySave(table_, text.c_str(), 0), 0);
    for (const std::string &file : {source, text}) {
        int32_t loaded = -1;
        const auto calls = calls_of([&] { loaded = ArrayLoad(file.c_str()); });
        const gvtest::Rows want = gvtest::rows_of(loaded);
        ArrayFree(loaded);
        int reads = 0;
        for (size_t k = 1; k <= calls.size(); ++k) {
            if (calls[k - 1] != "read" && calls[k - 1] != "pread")
                continue;
            ++reads;
            for (const seam::Act act : {seam::Act::interrupt, seam::Act::shorten}) {
                seam::arm(k, act);
                const int32_t again = ArrayLoad(file.c_str());
                seam::arm(0, seam::Act::none);
                ASSERT_GT(again, 0) << file << " read " << k;
                EXPECT_TRUE(gvtest::same_bits(gvtest::rows_of(again), want)) << file << " read " << k;
                ArrayFree(again);
            }
        }
        EXPECT_GT(reads, 0) << file; // a load by name reads by position or in order
    }
}

#if !defined(_WIN32)
// A file a save creates gets what a plain open would give it (0666 less the
// umask), not a temporary file's 0600; an old file keeps its own mode.
TEST_F(Saves, ModesAsAPlainOpenGivesThem)
{
    const std::string target = path("mode.txt");
    for (const mode_t mask : {0022, 0077, 0002})
        for (const Way &way : {ways[0], ways[2]}) {
            fs::remove(target);
            const mode_t before = ::umask(mask);
            EXPECT_EQ(save_by_way(table_, target, way), 0);
            ::umask(before);
            struct stat st {};
            ::stat(target.c_str(), &st);
            EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask) << std::oct << mask << " " << way.name;
            ::chmod(target.c_str(), 0604);
            EXPECT_EQ(ArraySave(table_, target.c_str(), 0), 0);
            ::stat(target.c_str(), &st);
            EXPECT_EQ(st.st_mode & 07777, 0604u);
        }
}

TEST_F(Saves, WritesInPlaceAreNotFlushed)
{
    const auto calls = calls_of([&] { EXPECT_EQ(ArraySave(table_, "/dev/null", CHAN_BIN), 0); });
    EXPECT_EQ(position(calls, "fsync"), calls.size());
    EXPECT_EQ(position(calls, "fsync folder"), calls.size());
}
#endif

// What a writer that ended left under a name is removed by the next save of
// the same target, and so are older leftovers further on; a file a live
// writer holds stays, as do other targets' files and the user's own files
// that only begin like ours.
TEST_F(Saves, NextSaveRemovesWhatEndedWritersLeft)
{
    const std::string left = ".t.chb.gridvane-0", held = ".t.chb.gridvane-1", older = ".t.chb.gridvane-2";
    const std::string other = ".u.chb.gridvane-0", users = ".t.chb.gridvane-notes", longer = ".t.chb.gridvane-1.bak";
    for (const auto &name : {left, held, older, other, users, longer}) {
        std::ofstream(path(name), std::ios::binary) << "left";
        // Left a while ago: where an open holds a slot, one just written is
        // left alone.
        fs::last_write_time(path(name), fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
#if defined(_WIN32)
    // An open without delete sharing, as a writer's.
    int holder = -1;
    ASSERT_EQ(_sopen_s(&holder, path(held).c_str(), _O_WRONLY | _O_BINARY, _SH_DENYNO, 0), 0);
#else
    // Locked as a writer locks its slot.
    const int holder = ::open(path(held).c_str(), O_WRONLY);
#if defined(F_OFD_SETLK)
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(holder, F_OFD_SETLK, &whole), 0);
#else
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
#endif
#endif
    ASSERT_EQ(ArraySave(table_, path("t.chb").c_str(), 0), 0);
    EXPECT_EQ(listing(), (std::set<std::string>{"t.chb", held, other, users, longer}));
#if defined(_WIN32)
    _close(holder);
#else
    ::close(holder);
#endif
    ASSERT_EQ(ArraySave(table_, path("t.chb").c_str(), 0), 0);
    EXPECT_EQ(listing(), (std::set<std::string>{"t.chb", other, users, longer}));
}

#if !defined(_WIN32)
// A process saving over a file again and again, killed at random moments:
// the target holds one whole version every time, and whatever a kill left
// beside it is a save's own leftover and gone after the next save.
TEST_F(Saves, KilledSavesLeaveTheOldOrTheNewFile)
{
    const std::string target = path("take.chb");
    const int32_t big = ArrayAlloc(2000, 1000);
    float **rows = ArrayGetArray(big);
    ASSERT_EQ(ArraySave(big, target.c_str(), 0), 0);
    const std::string zeros = read_file(target);
    for (int r = 0; r < 2000; ++r)
        for (int c = 0; c < 1000; ++c)
            rows[r][c] = 1.0f;
    const std::string ones_path = path("ones.bin");
    ASSERT_EQ(ArraySave(big, ones_path.c_str(), CHAN_BIN), 0);
    const std::string ones = read_file(ones_path);
    fs::remove(ones_path);

    std::mt19937 rng(9);
    int mid_save = 0;
    for (int kill = 0; kill < 40; ++kill) {
        const pid_t writer = ::fork();
        if (writer == 0) {
            for (int i = 0;; ++i) {
                std::fill(rows[0], rows[0] + 1000, static_cast<float>(i % 2));
                for (int r = 1; r < 2000; ++r)
                    std::copy(rows[0], rows[0] + 1000, rows[r]);
                ArraySave(big, target.c_str(), 0);
            }
        }
        ::usleep(std::uniform_int_distribution<useconds_t>(1000, 60000)(rng));
        ::kill(writer, SIGKILL);
        ::waitpid(writer, nullptr, 0);
        const std::string now = read_file(target);
        ASSERT_TRUE(now == zeros || now == ones) << "kill " << kill << ": " << now.size() << " bytes";
        for (const std::string &name : listing())
            if (name != "take.chb") {
                ++mid_save;
                EXPECT_EQ(name.rfind(".take.chb.gridvane-", 0), 0u) << name;
            }
    }
    ASSERT_EQ(ArraySave(big, target.c_str(), 0), 0);
    EXPECT_EQ(listing(), std::set<std::string>{"take.chb"});
    RecordProperty("kills_between_link_and_rename", mid_save);
}
#endif

// ---- Power loss ----------------------------------------------------------

#if !defined(_WIN32)
// The files and names of one folder as a save leaves them on the disk: each
// file's data as of its last flush, each name as of the folder's last
// flush, and what was written, emptied or renamed since, which a power loss
// may keep any part of, in any order, a write torn at the disk's sectors.
// A file's mode and owner, once changed, reach the disk with an fsync of
// it (fdatasync keeps only what reading the data needs).
class Disk {
public:
    // The target's contents before the save, on the disk already.
    explicit Disk(const std::string &target, const std::string *old)
    {
        if (old != nullptr) {
            files_.push_back({*old, *old, {}, true, true});
            durable_names_[target] = current_names_[target] = 0;
        }
    }

    static void record(const seam::Note &n, void *context) { static_cast<Disk *>(context)->take(n); }

    struct Image {
        std::string data;
        bool mode_kept; // the mode and owner the save gave the file (an old file has its own)
    };

    // A random image of the disk after a power loss at the end of the events
    // recorded so far, writes torn into sectors of `sector` bytes: the
    // target's file, or nullopt where the name has none.
    std::optional<Image> image(const std::string &target, std::mt19937 &random, size_t sector) const
    {
        // The names: the flushed ones, then a random subset of the changes
        // since, in a random order (a change that finds its name gone lands
        // as nothing).
        std::map<std::string, int> names = durable_names_;
        for (const Change &c : random_subset(pending_names_, random)) {
            if (c.from.empty()) {
                names[c.to] = c.file;
            } else if (names.count(c.from) != 0) {
                if (!c.to.empty())
                    names[c.to] = names[c.from];
                names.erase(c.from);
            }
        }
        const auto named = names.find(target);
        if (named == names.end())
            return std::nullopt;
        // The file's data: the flushed, then a random subset of the sectors
        // written and the emptying since, in a random order.
        const File &f = files_[static_cast<size_t>(named->second)];
        std::vector<Write> pieces;
        for (const Write &w : f.pending)
            for (size_t at = w.offset, end = w.offset + w.bytes.size(); w.empties || at < end;) {
                const size_t next = std::min(end, (at / sector + 1) * sector);
                pieces.push_back({at, w.bytes.substr(at - w.offset, next - at), w.empties});
                if (w.empties)
                    break;
                at = next;
            }
        Image out{f.durable, f.mode_durable || (f.mode_current && random() % 2 == 0)};
        for (const Write &w : random_subset(pieces, random)) {
            if (w.empties) {
                out.data.clear();
                continue;
            }
            if (out.data.size() < w.offset + w.bytes.size())
                out.data.resize(w.offset + w.bytes.size(), '\0');
            out.data.replace(w.offset, w.bytes.size(), w.bytes);
        }
        return out;
    }

private:
    struct Write {
        size_t offset;
        std::string bytes;
        bool empties; // an open that empties the file
    };
    struct File {
        std::string durable, current;
        std::vector<Write> pending;
        bool mode_durable = false, mode_current = false;
    };
    struct Change { // a name bound to a file (from empty), renamed, or removed (to empty)
        std::string from, to;
        int file;
    };

    template <typename T> static std::vector<T> random_subset(const std::vector<T> &all, std::mt19937 &random)
    {
        std::vector<T> some;
        for (const T &x : all)
            if (random() % 2 == 0)
                some.push_back(x);
        std::shuffle(some.begin(), some.end(), random);
        return some;
    }

    int new_file()
    {
        files_.push_back({});
        return static_cast<int>(files_.size()) - 1;
    }
    void bind(const std::string &name, int file)
    {
        current_names_[name] = file;
        pending_names_.push_back({"", name, file});
    }
    File *file_of(int fd) { return open_.count(fd) != 0 ? &files_[static_cast<size_t>(open_[fd].first)] : nullptr; }

    void take(const seam::Note &n)
    {
        const std::string call = n.call;
        File *f = file_of(n.fd);
        if (call == "open new") {
            open_[n.fd] = {new_file(), 0};
            bind(n.path, open_[n.fd].first);
        } else if (call == "open O_TMPFILE") {
            open_[n.fd] = {new_file(), 0};
        } else if (call == "open in place") { // the old file emptied, or a new one
            const auto old = current_names_.find(n.path);
            const int file = old != current_names_.end() ? old->second : new_file();
            if (old == current_names_.end())
                bind(n.path, file);
            files_[static_cast<size_t>(file)].current.clear();
            files_[static_cast<size_t>(file)].pending.push_back({0, {}, true});
            open_[n.fd] = {file, 0};
        } else if (call == "write" && f != nullptr) {
            size_t &at = open_[n.fd].second;
            const std::string bytes(static_cast<const char *>(n.data), n.size);
            f->pending.push_back({at, bytes, false});
            if (f->current.size() < at + n.size)
                f->current.resize(at + n.size, '\0');
            f->current.replace(at, n.size, bytes);
            at += n.size;
        } else if ((call == "fchmod" || call == "fchown") && f != nullptr) {
            f->mode_current = true;
        } else if ((call == "fsync" || call == "fdatasync") && f != nullptr) {
            f->durable = f->current;
            f->pending.clear();
            if (call == "fsync")
                f->mode_durable = f->mode_current;
        } else if (call == "linkat" && f != nullptr) {
            bind(n.path2, open_[n.fd].first);
        } else if (call == "rename" && current_names_.count(n.path) != 0) {
            current_names_[n.path2] = current_names_[n.path];
            current_names_.erase(n.path);
            pending_names_.push_back({n.path, n.path2, -1});
        } else if (call == "unlink") {
            current_names_.erase(n.path);
            pending_names_.push_back({n.path, "", -1});
        } else if (call == "fsync folder") {
            durable_names_ = current_names_;
            durable_names_.erase("");
            pending_names_.clear();
        } else if (call == "close") {
            open_.erase(n.fd);
        }
    }

    std::vector<File> files_;
    std::map<int, std::pair<int, size_t>> open_; // descriptor: the file and where it writes next
    std::map<std::string, int> durable_names_, current_names_;
    std::vector<Change> pending_names_;
};

// A save's events, each with copies of its names and data.
struct Events {
    std::vector<std::pair<seam::Note, std::string>> all;

    static void keep(const seam::Note &n, void *context)
    {
        static_cast<Events *>(context)->all.emplace_back(
            n, std::string(n.path != nullptr ? n.path : "") + '\0' + (n.path2 != nullptr ? n.path2 : "") + '\0' +
                   std::string(static_cast<const char *>(n.data), n.data ? n.size : 0));
    }
    // The disk after the first `crash` events.
    Disk replay(size_t crash, const std::string &target, const std::string *old) const
    {
        Disk disk(target, old);
        for (size_t e = 0; e < crash; ++e) {
            const std::string &held = all[e].second;
            const size_t second = held.find('\0'), third = held.find('\0', second + 1);
            const std::string p1 = held.substr(0, second), p2 = held.substr(second + 1, third - second - 1);
            seam::Note n = all[e].first;
            n.path = p1.c_str();
            n.path2 = p2.c_str();
            n.data = held.data() + third + 1;
            Disk::record(n, &disk);
        }
        return disk;
    }
    // Where a power loss is tried: before and after every event that is no
    // write (opens, mode changes, flushes, links, renames, removals), the
    // start, the end, and a few points among the writes.
    std::vector<size_t> crash_points(std::mt19937 &random) const
    {
        std::set<size_t> points{0, all.size()};
        for (size_t e = 0; e < all.size(); ++e)
            if (std::string(all[e].first.call) != "write") {
                points.insert(e);
                points.insert(e + 1);
            }
        for (int i = 0; i < 8; ++i)
            points.insert(random() % (all.size() + 1));
        return {points.begin(), points.end()};
    }
};

// Each way of saving, recorded call by call; then power losses before and
// after every event that changes a name or flushes, each keeping a random
// part of what was not flushed, writes torn at 512 bytes or 4 KiB: while
// the save runs the name holds the old file or the new one, whole; once it
// has returned, only the new one, with the old one's mode.
TEST_F(Saves, APowerLossLeavesTheOldOrTheNewFile)
{
    const std::string old = "precious old contents\n";
    const std::string target = path("table.chb");
    struct Kind {
        const char *name;
        bool old_file, named;
        std::function<bool()> save;
    };
    const std::vector<Kind> kinds = {
        {"ArraySave to a new name", false, false, [&] { return ArraySave(table_, target.c_str(), 0) == 0; }},
        {"ArraySave over an old file", true, false, [&] { return ArraySave(table_, target.c_str(), 0) == 0; }},
        {"ArraySave over an old file, named from the start", true, true,
         [&] { return ArraySave(table_, target.c_str(), 0) == 0; }},
        {"gridvane_save", true, false,
         [&] { return gridvane_save(table_, target.c_str(), GRIDVANE_FORM_DECIDE, 0, nullptr) == 0; }},
        {"gridvane_file_commit", true, false,
         [&] {
             gridvane_file *file = gridvane_file_open(target.c_str(), nullptr);
             return file != nullptr && gridvane_file_write(file, saved_.data(), saved_.size(), nullptr) == 0 &&
                    gridvane_file_commit(file, nullptr) == 0;
         }},
    };
    std::mt19937 random(20261207);
    constexpr int images_per_point = 24;
    for (const Kind &k : kinds) {
        fs::remove(target);
        if (k.old_file) {
            std::ofstream(target, std::ios::binary) << old;
            fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
        }
        Events events;
        seam::record(Events::keep, &events);
        if (k.named)
            seam::arm_named("open O_TMPFILE", seam::Act::fail, EOPNOTSUPP);
        const bool saved = k.save();
        seam::record(nullptr, nullptr);
        int old_seen = 0, new_seen = 0, images = 0;
        for (const size_t crash : events.crash_points(random)) {
            const bool returned = crash == events.all.size();
            const Disk disk = events.replay(crash, target, k.old_file ? &old : nullptr);
            for (int i = 0; i < images_per_point; ++i, ++images) {
                const auto left = disk.image(target, random, i % 2 == 0 ? 512 : 4096);
                const std::string when = std::to_string(crash) + " of " + std::to_string(events.all.size()) + " events";
                if (!left) {
                    EXPECT_TRUE(!k.old_file && !returned) << k.name << ": no file under the name after " << when;
                } else if (k.old_file && left->data == old) {
                    EXPECT_FALSE(returned) << k.name << ": the old file after the save returned";
                    ++old_seen;
                } else {
                    EXPECT_TRUE(left->data == saved_)
                        << k.name << ": a torn file of " << left->data.size() << " bytes after " << when;
                    EXPECT_TRUE(left->mode_kept || !k.old_file)
                        << k.name << ": the new file without the old one's mode after " << when;
                    ++new_seen;
                }
            }
        }
        RecordProperty(std::string("images, ") + k.name, images);
        // The save itself, and images on both sides of the rename.
        ASSERT_TRUE(saved) << k.name;
        ASSERT_EQ(read_file(target), saved_) << k.name;
        EXPECT_GT(new_seen, 0) << k.name;
        EXPECT_TRUE(old_seen > 0 || !k.old_file) << k.name;
        if (k.old_file) {
            EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write)
                << k.name;
        }
    }
}

// The model finds what it is there to find: a file written in place (one
// of two links) is emptied and torn by a power loss before the save ends.
TEST_F(Saves, APowerLossTearsAFileWrittenInPlace)
{
    const std::string old = "precious old contents\n";
    const std::string target = path("table.chb");
    std::ofstream(target, std::ios::binary) << old;
    fs::create_hard_link(target, path("other link"));
    Events events;
    seam::record(Events::keep, &events);
    ASSERT_EQ(ArraySave(table_, target.c_str(), 0), 0);
    seam::record(nullptr, nullptr);
    std::mt19937 random(7);
    int empty = 0, torn = 0;
    for (const size_t crash : events.crash_points(random)) {
        const Disk disk = events.replay(crash, target, &old);
        for (int i = 0; i < 24; ++i) {
            const auto left = disk.image(target, random, 512);
            ASSERT_TRUE(left.has_value());
            empty += left->data.empty();
            torn += !left->data.empty() && left->data != old && left->data != saved_;
        }
    }
    EXPECT_GT(empty, 0);
    EXPECT_GT(torn, 0);
}
#endif

} // namespace
