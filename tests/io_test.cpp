#include "support.hpp"

#include "formats/formats.hpp"

#include <cerrno>
#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <random>

#if !defined(_WIN32)
#    include <csignal>
#    include <sys/resource.h>
#    include <sys/stat.h>
#    include <sys/wait.h>
#    include <unistd.h>
#endif

namespace fs = std::filesystem;
using gvtest::binary_of;
using gvtest::contents_of;
using gvtest::messages_of;
using gvtest::Rows;
using gvtest::stream_of;

namespace {

class Files : public gvtest::RegistryTest {
protected:
    std::string path(const std::string &name) const { return folder_.path(name); }
    std::string write_file(const std::string &name, const std::string &bytes) const { return folder_.write(name, bytes); }
    static std::string read_file(const std::string &p) { return gvtest::TempFolder::read(p); }
    // The names in the folder, to see that no temporary file was left.
    std::vector<std::string> listing() const { return folder_.listing(); }

    gvtest::TempFolder folder_;
};

TEST_F(Files, ArrayReadRegistersWhatTheReaderGives)
{
    const struct {
        const char *name;
        std::string bytes;
        int32_t type;
        float count_u, count_v;
        uint32_t flags;
    } cases[] = {
        {"plain", "1 2\n3 4\n", CHAN_ASCII, 2, 2, 0},
        {"table form", "| a b\n---\n1 | 0.5 0.7\n2 | 0.6 0.8\n", CHAN_ASCII, 2, 2, ARRAY_FRAME},
        {"plain after table form", "5 6 7\n", CHAN_ASCII, 3, 1, 0},
        {"other family", "1 2\n", 0, 0, 0, 0},
        {"other family", "1 2\n", 7, 0, 0, 0},
    };
    for (const auto &c : cases) {
        FILE *f = stream_of(c.bytes);
        ArrayNode *node = ArrayRead(f, c.type);
        ASSERT_NE(node, nullptr) << c.name;
        EXPECT_EQ(node, ArrayGetPointer(node->id));
        EXPECT_EQ(node->type, c.type);
        EXPECT_EQ(node->countU, c.count_u) << c.name;
        EXPECT_EQ(node->countV, c.count_v) << c.name;
        EXPECT_EQ(node->flags, c.flags) << c.name;
        if (c.type != CHAN_ASCII) {
            EXPECT_EQ(node->rows, nullptr);
            EXPECT_EQ(std::ftell(f), 0L) << "nothing is read";
            EXPECT_EQ(ArrayFree(node->id), -1);
        }
        std::fclose(f);
    }
    EXPECT_EQ(ArrayGetFrame(2, 1), 2);
    EXPECT_EQ(ArrayGetValue(2, 1.0f, 0.0f), 0.7f);
}

// Read tables keep their rows in packs that start small and grow; every
// count around a pack's end, and rows too wide to share a pack, read back
// cell for cell and free to the last block.
TEST_F(Files, ReadRowsSurvivePacking)
{
    const struct {
        int width, rows;
    } cases[] = {{1, 1}, {1, 16}, {3, 17}, {3, 48}, {8, 49}, {8, 1000}, {270000, 3}};
    const int64_t live = gvtest::blocks_in_use();
    for (const auto &c : cases) {
        std::string text = "| v\n-\n";
        for (int r = 0; r < c.rows; ++r) {
            text += std::to_string(r + 1) + " |";
            for (int u = 0; u < c.width; ++u)
                text += ' ' + std::to_string((r * 7 + u) % 1000);
            text += '\n';
        }
        FILE *f = stream_of(text);
        ArrayNode *node = ArrayRead(f, CHAN_ASCII);
        std::fclose(f);
        ASSERT_NE(node, nullptr) << c.width << "x" << c.rows;
        int wrong = 0;
        for (int r = 0; r < c.rows; ++r) {
            wrong += node->rows[r][c.width] != static_cast<float>(r + 1);
            for (int u = 0; u < c.width; ++u)
                wrong += node->rows[r][u] != static_cast<float>((r * 7 + u) % 1000);
        }
        EXPECT_EQ(wrong, 0) << c.width << "x" << c.rows;
        EXPECT_EQ(ArrayFree(node->id), 0);
        EXPECT_EQ(gvtest::blocks_in_use(), live) << c.width << "x" << c.rows;
    }
}

TEST_F(Files, ArrayReadFailureRegistersNothing)
{
    ArrayAlloc(1, 1);
    FILE *f = stream_of("1 2\n");
    errno = 0;
    EXPECT_EQ(messages_of([&] { EXPECT_EQ(ArrayRead(f, CHAN_BIN), nullptr); }),
              "Gridvane (ChanReadBin): invalid magic number\n");
    EXPECT_EQ(errno, EIO);
    std::fclose(f);
    EXPECT_EQ(gvtest::walk_registry(), std::vector<int32_t>{1});
    errno = 0;
    EXPECT_EQ(ArrayRead(nullptr, CHAN_ASCII), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(Files, ArrayWriteChoosesFormatByArgument)
{
    FILE *in = stream_of("| a\n-\n10 | 1.5\n20 | 2.5\n");
    ArrayNode *node = ArrayRead(in, CHAN_ASCII);
    std::fclose(in);
    const struct {
        int32_t type, result;
        std::string text;
    } cases[] = {
        {0, 0, "\t1.5\n\t2.5\n"},
        {CHAN_ASCII, 0, "\t1.5\n\t2.5\n"},
        {CHAN_BIN, 0,
         std::string("chan\0\0\0\0\1\0\2\0", 12) + std::string(52, '\0') + std::string("\0\0\xC0\x3F\0\0\x20\x40", 8)},
        {1, -1, ""},
    };
    for (const auto &c : cases) {
        FILE *out = gvtest::temporary_stream();
        EXPECT_EQ(ArrayWrite(out, node, c.type), c.result) << c.type;
        EXPECT_EQ(contents_of(out), c.text) << c.type;
        std::fclose(out);
    }
    EXPECT_EQ(ArrayWrite(nullptr, node, 0), -1);
    FILE *out = gvtest::temporary_stream();
    EXPECT_EQ(ArrayWrite(out, nullptr, 0), -1);
    std::fclose(out);
}

TEST_F(Files, LoadDecidesFormatByContent)
{
    const std::string binary = binary_of({{1, 2}, {3, 4}}, 2, 2);
    constexpr char invalid[] = "Gridvane (ArrayLoad): invalid file format\n";
    constexpr char premature[] = "Gridvane (ArrayLoad):  Premature EOF reached\n";
    // The decision reads blocks of 4096 bytes and gives back what the reader
    // needs: comments longer than a block, and a deciding word across the
    // end of the first block.
    const std::string long_comment = "# " + std::string(5000, 'x') + "\n";
    const std::string word_across = "#" + std::string(4092, ' ') + "\ninf 2\n";
    const struct {
        const char *name;
        std::string bytes;
        int32_t type;
        const char *said;
    } cases[] = {
        {"comment beyond a block", long_comment + "4 2\n", CHAN_ASCII, ""},
        {"word across blocks", word_across, CHAN_ASCII, ""},
        {"word across blocks, one later", " " + word_across, CHAN_ASCII, ""},
        {"comment beyond a block, then nothing", long_comment, -1, premature},
        {"comment, tab, space", "# made by hand\n\t 1 2\n3 4\n", CHAN_ASCII, ""},
        {"table form", "| a\n-\n1 | 2\n", CHAN_ASCII, ""},
        {"signs and points", "-1 .5\n", CHAN_ASCII, ""},
        {"binary", binary, CHAN_BIN, ""},
        {"our own infinity", "\tinf\t1\n", CHAN_ASCII, ""},
        {"our own NaN", "# x\nNaN 2\n", CHAN_ASCII, ""},
        {"other words", "nope 1\n", -1, invalid},
        {"half a word", "in", -1, invalid},
        {"carriage return first", "\r\n1 2\n", -1, invalid},
        {"letter", "x 1\n", -1, invalid},
        {"c after white space", " chan", -1, invalid},
        {"empty", "", -1, premature},
        {"white space only", " \n\t", -1, premature},
        {"comment without newline", "# 1 2", -1, premature},
        {"comment then nothing", "# 1 2\n", -1, premature},
    };
    for (const auto &c : cases) {
        gridvane_core::registry::discard_all();
        const std::string file = write_file("input", c.bytes);
        errno = 0;
        int32_t id = 0;
        EXPECT_EQ(messages_of([&] { id = ArrayLoad(file.c_str()); }), c.said) << c.name;
        if (c.type == -1) {
            EXPECT_EQ(id, -1) << c.name;
            EXPECT_EQ(errno, EIO) << c.name;
            EXPECT_EQ(gridvane_core::registry::head(), nullptr);
        } else {
            EXPECT_EQ(id, 1) << c.name;
            EXPECT_EQ(ArrayType(id), c.type) << c.name;
            if (c.type == CHAN_BIN) {
                EXPECT_EQ(ArrayGetValue(id, 1, 1), 4.0f) << "the magic's first byte is not lost";
            } else if (c.bytes == long_comment + "4 2\n") {
                EXPECT_EQ(ArrayGetValue(id, 0, 0), 4.0f) << c.name;
            } else if (c.bytes.find("inf 2") != std::string::npos) {
                EXPECT_EQ(ArrayGetValue(id, 0, 0), INFINITY) << c.name << ": the deciding word is read whole";
            }
        }
    }
}

TEST_F(Files, LoadRefusals)
{
#if !defined(_WIN32)
    // A folder opens, and every read of it fails: a read error, not a table.
    fs::create_directory(path("folder.txt"));
    fs::create_directory(path("folder"));
    for (const std::string &folder : {path("folder.txt"), path("folder")}) {
        errno = 0;
        messages_of([&] { EXPECT_EQ(ArrayLoad(folder.c_str()), -1) << folder; });
        EXPECT_EQ(errno, EIO) << folder;
    }
#endif
    errno = 0;
    EXPECT_EQ(messages_of([] { EXPECT_EQ(ArrayLoad(nullptr), -1); }), "");
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(messages_of([] { EXPECT_EQ(ArrayLoad(""), -1); }), "");
    EXPECT_EQ(errno, EINVAL);

    const std::string missing = path("missing.chan");
    errno = 0;
    const std::string said = messages_of([&] { EXPECT_EQ(ArrayLoad(missing.c_str()), -1); });
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(said, "Gridvane (ArrayLoad): Can't open " + missing + ": " + std::strerror(ENOENT) + "\n");

    // A name the lookup calls ASCII is read as ASCII whatever it holds.
    const std::string wrong = write_file("wrong.chan", "# x\n");
    EXPECT_EQ(messages_of([&] { EXPECT_EQ(ArrayLoad(wrong.c_str()), -1); }), "Gridvane (ChanReadAscii): EOF reached\n");
}

TEST_F(Files, SaveChoosesFormatByNameThenFallback)
{
    const int32_t id = ArrayAlloc(1, 2);
    ArrayPutIValue(id, 1, 0, 0.25f);
    const std::string ascii = "\t0\t0.25\n";
    const struct {
        const char *name;
        int32_t fallback, result;
        bool binary;
        const char *said;
    } cases[] = {
        {"a.out", CHAN_BIN, 0, true, ""},   {"b.out", 0, 0, false, ""},         {"c.out", CHAN_ASCII, 0, false, ""},
        {"d.chan", CHAN_BIN, 0, false, ""}, {"e.chb", CHAN_ASCII, 0, true, ""}, {"f.out", 7, -1, false, "bad"},
    };
    for (const auto &c : cases) {
        const std::string file = path(c.name);
        errno = 0;
        std::string said = messages_of([&] { EXPECT_EQ(ArraySave(id, file.c_str(), c.fallback), c.result) << c.name; });
        if (c.result != 0) {
            EXPECT_EQ(said, "Gridvane (ArraySave):  Bad suffix on " + file + "\n");
            EXPECT_EQ(errno, EINVAL);
            EXPECT_FALSE(fs::exists(file));
            continue;
        }
        EXPECT_EQ(said, "");
        const std::string bytes = read_file(file);
        if (c.binary)
            EXPECT_EQ(bytes.substr(0, 4), "chan") << c.name;
        else
            EXPECT_EQ(bytes, ascii) << c.name;
    }
    EXPECT_EQ(listing(), (std::vector<std::string>{"a.out", "b.out", "c.out", "d.chan", "e.chb"}));
}

TEST_F(Files, SaveRefusals)
{
    const int32_t id = ArrayAlloc(1, 1);
    errno = 0;
    EXPECT_EQ(messages_of([&] { EXPECT_EQ(ArraySave(id, nullptr, 0), -1); }),
              "Gridvane (ArraySave):  null file name pointer\n");
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(messages_of([&] { EXPECT_EQ(ArraySave(id, "", 0), -1); }), "Gridvane (ArraySave):  null file name\n");

    // An unknown handle never creates or empties the file.
    const std::string kept = write_file("kept.txt", "old contents");
    const std::string fresh = path("fresh.txt");
    for (const std::string &file : {kept, fresh}) {
        errno = 0;
        EXPECT_EQ(messages_of([&] { EXPECT_EQ(ArraySave(id + 1, file.c_str(), 0), -1); }), "");
        EXPECT_EQ(errno, ENOMEM);
    }
    EXPECT_EQ(read_file(kept), "old contents");
    EXPECT_FALSE(fs::exists(fresh));

    const std::string nowhere = path("no/such/dir.txt");
    errno = 0;
    const std::string said = messages_of([&] { EXPECT_EQ(ArraySave(id, nowhere.c_str(), 0), -1); });
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(said, "Gridvane (ArraySave): Can't open " + nowhere + ": " + std::strerror(ENOENT) + "\n");
}

TEST_F(Files, ResavingKeepsBytes)
{
    const std::string binary = binary_of({{1.5f, -2}, {std::nanf("7"), 1e-40f}}, 2, 2);
    const std::string in = write_file("in.chb", binary);
    const int32_t id = ArrayLoad(in.c_str());
    ASSERT_EQ(ArraySave(id, path("out.chb").c_str(), 0), 0);
    EXPECT_EQ(read_file(path("out.chb")), binary);

    const std::string text = write_file("in.txt", "# header\n1   2.50\n3 4e0\n");
    const int32_t text_id = ArrayLoad(text.c_str());
    ASSERT_EQ(ArraySave(text_id, path("out.txt").c_str(), 0), 0);
    EXPECT_EQ(read_file(path("out.txt")), "\t1\t2.5\n\t3\t4\n");
}

TEST_F(Files, LargeBinaryFilesInBothByteOrdersAndCutShort)
{
    // Enough rows for several batches, in both byte orders, whole and cut,
    // loaded by name straight into the rows.
    Rows rows(3000, std::vector<float>(7));
    std::mt19937 rng(8);
    std::uniform_int_distribution<uint32_t> bits;
    for (auto &row : rows)
        for (auto &x : row)
            x = std::bit_cast<float>(bits(rng));
    const std::string little = binary_of(rows, 7, 3000);
    std::string big = little;
    std::reverse(big.begin(), big.begin() + 4);
    std::reverse(big.begin() + 8, big.begin() + 10);
    std::reverse(big.begin() + 10, big.begin() + 12);
    for (size_t i = 64; i < big.size(); i += 4)
        std::reverse(big.begin() + static_cast<long>(i), big.begin() + static_cast<long>(i) + 4);

    // A name the lookup knows, and (little-endian only: "nahc" is not
    // decided by content) one it does not, whose first bytes the content
    // decision reads and gives back, mid-row, to the reader.
    const struct {
        const std::string *bytes;
        const char *name;
    } files[] = {{&little, "t.chb"}, {&big, "t.chb"}, {&little, "t.dat"}};
    for (const auto &[bytes, name] : files) {
        const int32_t id = ArrayLoad(write_file(name, *bytes).c_str());
        ASSERT_GT(id, 0) << name;
        const ArrayNode *node = ArrayGetPointer(id);
        ASSERT_EQ(node->countV, 3000.0f);
        for (int r = 0; r < 3000; ++r)
            ASSERT_EQ(std::memcmp(node->rows[r], rows[static_cast<size_t>(r)].data(), 28), 0) << name << " " << r;
        ArrayFree(id);
        for (size_t cut : {size_t{100}, size_t{4097}, bytes->size() / 2, bytes->size() - 1}) {
            errno = 0;
            EXPECT_EQ(ArrayLoad(write_file(std::string("cut") + name, bytes->substr(0, cut)).c_str()), -1) << cut;
            EXPECT_EQ(errno, EIO) << name << " " << cut;
        }
    }
#if !defined(_WIN32)
    // Through a pipe on standard input, which is read through its stream.
    const std::string in = write_file("in.dat", little);
    ASSERT_EQ(std::system(("cat \"" + in + "\" | ./stdio_filter stdin \"" + path("piped.chb") + "\" 0").c_str()), 0);
    EXPECT_EQ(read_file(path("piped.chb")), little);
#endif
    // Saved again by name, the little-endian file comes back byte for byte.
    const int32_t id = ArrayLoad(write_file("t.chb", little).c_str());
    ASSERT_EQ(ArraySave(id, path("again.chb").c_str(), 0), 0);
    EXPECT_EQ(read_file(path("again.chb")), little);
}

TEST_F(Files, FailedLoadLeavesRegistryAsItWas)
{
    ArrayAlloc(2, 2);
    // Enough rows for three packs of row storage.
    std::string content = "| a\n-\n";
    for (int frame = 1; frame <= 60; ++frame)
        content += std::to_string(frame) + " | 2 3\n";
    const std::string text = write_file("t.txt", content);
    const int failures = gvtest::inject_every_failure(
        [&] {
            const int32_t id = ArrayLoad(text.c_str());
            ArrayFree(id);
            return id > 0;
        },
        {"Gridvane (ChanReadAscii): can't allocate space\n", "Gridvane (ArrayRead):  Can't allocate Tail->next node\n"},
        0);
    EXPECT_GE(failures, 7); // line block, tokens, index, 3 packs, record
}

#if !defined(_WIN32)
// ArraySave under a file-size limit that stops the write part way: its
// result and error number.
std::pair<int32_t, int> save_beyond_size_limit(int32_t id, const std::string &target)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit low = old;
    low.rlim_cur = 100000;
    ::setrlimit(RLIMIT_FSIZE, &low);
    errno = 0;
    const int32_t rc = ArraySave(id, target.c_str(), 0);
    const int error = errno;
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);
    return {rc, error};
}

TEST_F(Files, FailedSaveLeavesOldFile)
{
    const int32_t id = ArrayAlloc(2000, 200);
    const int32_t narrow = ArrayAlloc(30000, 10);
    const std::string target = write_file("target.txt", "precious\n");
    ::chmod(target.c_str(), 0640);

    // Text through the stream, binary straight from the rows.
    for (const auto &[table, name] : {std::pair{id, std::string("target.txt")}, {narrow, std::string("target.chb")}}) {
        const std::string file = write_file(name, "precious\n");
        EXPECT_EQ(save_beyond_size_limit(table, file), (std::pair<int32_t, int>{-1, EFBIG})) << name;
        EXPECT_EQ(read_file(file), "precious\n") << name;
        EXPECT_EQ(listing().size(), name == "target.chb" ? 2u : 1u) << "no temporary file is left";
    }
    fs::remove(path("target.chb"));

    // A successful save keeps the old permission bits.
    ASSERT_EQ(ArraySave(id, target.c_str(), 0), 0);
    struct stat st {};
    ::stat(target.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(listing(), std::vector<std::string>{"target.txt"});

    // Devices are written in place.
    EXPECT_EQ(ArraySave(id, "/dev/null", CHAN_BIN), 0);
    errno = 0;
    EXPECT_EQ(ArraySave(id, "/dev/full", CHAN_BIN), -1);
    EXPECT_EQ(errno, ENOSPC);
}

// In a sticky folder another user's file that anyone may write cannot be
// replaced by name; the save writes it in place instead of failing.
TEST_F(Files, SaveOverAnotherUsersFileInAStickyFolder)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as two users";
    const int32_t id = ArrayAlloc(2, 3);
    ArrayPutIValue(id, 2, 1, 7.5f);
    const std::string folder = path("shared");
    fs::create_directory(folder);
    ::chmod(path("").c_str(), 0755);
    ::chmod(folder.c_str(), 01777);
    const std::string target = folder + "/table.txt";
    std::ofstream(target) << "old\n";
    ::chmod(target.c_str(), 0666);

    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            gvtest::end_child(2);
        gvtest::end_child(ArraySave(id, target.c_str(), 0) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(target), "\t0\t0\t0\n\t0\t0\t7.5\n");
    EXPECT_EQ(fs::directory_iterator(folder)->path().filename(), "table.txt") << "no temporary file is left";
}
#endif

// Runs the stdio filter with files on both standard streams.
int filter(const std::string &load, const std::string &save, int type, const std::string &in, const std::string &out)
{
    // Tests run in the folder that holds the filter.
#if defined(_WIN32)
    const std::string program = ".\\stdio_filter.exe";
#else
    const std::string program = "./stdio_filter";
#endif
    const std::string command =
        program + " " + load + " " + save + " " + std::to_string(type) + " < \"" + in + "\" > \"" + out + "\"";
    return std::system(command.c_str());
}

TEST_F(Files, StandardStreamsThroughAChildProcess)
{
    // Samples whose bytes include 0x0A, 0x0D and 0x1A, which a text-mode
    // stream would alter.
    const std::string binary =
        binary_of({{std::bit_cast<float>(0x0A0D1A0Au), std::bit_cast<float>(0x1A0A0D0Du)}, {1, 2}}, 2, 2);
    const std::string in = write_file("in.bin", binary);

    ASSERT_EQ(filter("stdin", "stdout", CHAN_BIN, in, path("out.bin")), 0);
    EXPECT_EQ(read_file(path("out.bin")), binary);
    ASSERT_EQ(filter("stdin-anything", "stdout.more", CHAN_ASCII, in, path("out.txt")), 0);
    EXPECT_EQ(read_file(path("out.txt")).substr(0, 1), "\t");
    const std::string text = write_file("in.txt", "1 2\n3 4\n");
    ASSERT_EQ(filter("stdin", "stdout", 0, text, path("again.txt")), 0);
    EXPECT_EQ(read_file(path("again.txt")), "\t1\t2\n\t3\t4\n");
}

} // namespace
