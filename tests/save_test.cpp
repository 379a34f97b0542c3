// Saves by name that survive a crash: the new file's data reaches the disk
// before it takes the target's name and the folder follows; a failed flush
// fails the save and leaves the old file; a killed save leaves the old or the
// new file and, once the next save has run, nothing else.
#include "support.hpp"

#include "io/replace.hpp"

#include <filesystem>
#include <fstream>
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
using gridvane::io::ReplaceCalls;
using gridvane::io::replace_calls;

namespace {

// The save's calls, as they were made; one of them may be set to fail.
struct CallLog {
    ReplaceCalls original;
    std::vector<std::string> names;
    std::string fail; // the call to fail with EIO
    long flushed_bytes = -1;
    std::string renamed_from;
};
CallLog *log_of_calls = nullptr;

int failing(const char *call)
{
    log_of_calls->names.push_back(call);
    if (log_of_calls->fail != call)
        return 0;
    errno = EIO;
    return -1;
}

// Puts recording calls in place for its lifetime.
class Watched {
public:
    explicit Watched(std::string fail = "", bool unnamed = true)
    {
        log_.original = replace_calls();
        log_.fail = std::move(fail);
        log_of_calls = &log_;
        ReplaceCalls &calls = replace_calls();
        calls.flush_file = [](std::FILE *stream) {
            std::fflush(stream);
            std::fseek(stream, 0, SEEK_END);
            log_of_calls->flushed_bytes = std::ftell(stream);
            return failing("flush_file") == 0 ? log_of_calls->original.flush_file(stream) : -1;
        };
        calls.flush_folder = [](const char *folder) {
            return failing("flush_folder") == 0 ? log_of_calls->original.flush_folder(folder) : -1;
        };
        calls.link_unnamed = [](std::FILE *stream, const char *name) {
            return failing("link_unnamed") == 0 ? log_of_calls->original.link_unnamed(stream, name) : -1;
        };
        calls.rename = [](const char *from, const char *to) {
            log_of_calls->renamed_from = fs::path(from).filename().string();
            return failing("rename") == 0 ? log_of_calls->original.rename(from, to) : -1;
        };
        if (!unnamed)
            calls.open_unnamed = [](const char *) {
                errno = EOPNOTSUPP;
                return -1;
            };
    }
    ~Watched()
    {
        replace_calls() = log_.original;
        log_of_calls = nullptr;
    }
    const CallLog &log() const { return log_; }

private:
    CallLog log_;
};

unsigned long this_process()
{
#if defined(_WIN32)
    return static_cast<unsigned long>(_getpid());
#else
    return static_cast<unsigned long>(::getpid());
#endif
}

class Saves : public gvtest::RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        dir_ = fs::temp_directory_path() / ("gridvane-saves-" + std::to_string(this_process()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        table_ = ArrayAlloc(300, 40);
        for (int r = 0; r < 300; ++r)
            ArrayPutIValue(table_, r % 40, r, static_cast<float>(r) * 0.5f);
    }
    void TearDown() override
    {
        fs::remove_all(dir_);
        RegistryTest::TearDown();
    }

    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    std::set<std::string> listing() const
    {
        std::set<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir_))
            names.insert(entry.path().filename().string());
        return names;
    }
    static std::string read_file(const std::string &p)
    {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    fs::path dir_;
    int32_t table_ = -1;
};

// Where unnamed files exist the new file gets its name by a link; elsewhere
// it was named from the start and only the rename remains.
bool unnamed_files()
{
#if defined(_WIN32)
    return false;
#else
    return fs::exists("/proc/self/fd");
#endif
}

TEST_F(Saves, DataReachesTheDiskBeforeTheNameAndTheFolderAfter)
{
    const struct {
        const char *name;
        bool target_exists, unnamed;
        std::vector<std::string> calls;
    } cases[] = {
        {"new", false, true, {"flush_file", "link_unnamed", "flush_folder"}},
        {"over an old file", true, true, {"flush_file", "link_unnamed", "rename", "flush_folder"}},
        {"new, named from the start", false, false, {"flush_file", "rename", "flush_folder"}},
        {"over an old file, named from the start", true, false, {"flush_file", "rename", "flush_folder"}},
    };
    for (const auto &c : cases) {
        const std::string target = path("table.chb");
        fs::remove(target);
        if (c.target_exists)
            std::ofstream(target, std::ios::binary) << "old";
        const Watched watched("", c.unnamed);
        ASSERT_EQ(ArraySave(table_, target.c_str(), 0), 0) << c.name;
        std::vector<std::string> expected = c.calls;
        if (c.unnamed && !unnamed_files())
            expected = {"flush_file", "rename", "flush_folder"};
        EXPECT_EQ(watched.log().names, expected) << c.name;
        EXPECT_EQ(watched.log().flushed_bytes, 64 + 300 * 40 * 4) << c.name << ": flushed once complete";
        EXPECT_EQ(listing(), std::set<std::string>{"table.chb"}) << c.name;
        if (!watched.log().renamed_from.empty()) {
            EXPECT_EQ(watched.log().renamed_from, ".table.chb.gridvane-0") << c.name;
        }
    }
}

TEST_F(Saves, AFailedFlushOrRenameIsAFailedSave)
{
    const std::string target = path("table.txt");
    const struct {
        const char *fail;
        bool unnamed;
        bool old_kept;
    } cases[] = {
        {"flush_file", true, true},    {"flush_file", false, true}, {"link_unnamed", true, true},
        {"rename", true, true},        {"rename", false, true},     {"flush_folder", true, false},
        {"flush_folder", false, false},
    };
    for (const auto &c : cases) {
        if (std::string(c.fail) == "link_unnamed" && !unnamed_files())
            continue;
        std::ofstream(target, std::ios::binary) << "precious\n";
        const Watched watched(c.fail, c.unnamed);
        errno = 0;
        EXPECT_EQ(ArraySave(table_, target.c_str(), 0), -1) << c.fail;
        EXPECT_EQ(errno, EIO) << c.fail;
        if (c.old_kept) {
            EXPECT_EQ(read_file(target), "precious\n") << c.fail;
        } else {
            EXPECT_NE(read_file(target), "precious\n") << c.fail << ": renamed before the folder's flush failed";
        }
        EXPECT_EQ(listing(), std::set<std::string>{"table.txt"}) << c.fail << " leaves no other file";
    }
}

#if !defined(_WIN32)
// A file a save creates gets what a plain open would give it (0666 less the
// umask), not a temporary file's 0600; an old file keeps its own mode.
TEST_F(Saves, ModesAsAPlainOpenGivesThem)
{
    const std::string target = path("mode.txt");
    for (const mode_t mask : {0022, 0077, 0002})
        for (const bool unnamed : {true, false}) {
            fs::remove(target);
            const mode_t before = ::umask(mask);
            {
                const Watched watched("", unnamed);
                EXPECT_EQ(ArraySave(table_, target.c_str(), 0), 0);
            }
            ::umask(before);
            struct stat st {};
            ::stat(target.c_str(), &st);
            EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask) << std::oct << mask << " unnamed " << unnamed;
            ::chmod(target.c_str(), 0604);
            EXPECT_EQ(ArraySave(table_, target.c_str(), 0), 0);
            ::stat(target.c_str(), &st);
            EXPECT_EQ(st.st_mode & 07777, 0604u);
        }
}

TEST_F(Saves, WritesInPlaceAreNotFlushed)
{
    const Watched watched;
    EXPECT_EQ(ArraySave(table_, "/dev/null", CHAN_BIN), 0);
    EXPECT_EQ(watched.log().names, std::vector<std::string>{});
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
    for (const auto &name : {left, held, older, other, users, longer})
        std::ofstream(path(name), std::ios::binary) << "left";
#if defined(_WIN32)
    // An open without delete sharing, as a writer's.
    int holder = -1;
    ASSERT_EQ(_sopen_s(&holder, path(held).c_str(), _O_WRONLY | _O_BINARY, _SH_DENYNO, 0), 0);
#else
    const int holder = ::open(path(held).c_str(), O_RDONLY);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
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

} // namespace
