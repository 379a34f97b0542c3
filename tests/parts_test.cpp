// A load spread over threads gives the table, the report and the findings
// a load in one piece gives, wherever the parts are cut.
#include "support.hpp"

#include "gridvane_ext.h"
#include "io/loading.hpp"

#include "registry/registry.hpp"

#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#if !defined(_WIN32)
#    include <fcntl.h>
#    include <sys/stat.h>
#    include <unistd.h>
#endif

namespace {

class Parts : public gvtest::RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        smallest_ = gridvane_core::io::set_smallest_part(1);
    }
    void TearDown() override
    {
        gridvane_core::io::set_smallest_part(smallest_);
        RegistryTest::TearDown();
    }
    gvtest::TempFolder folder;
    std::int64_t smallest_ = 0;
};

// Everything a load shows: the report, the findings as told, the table.
struct Outcome {
    std::string report;
    std::vector<std::string> findings;
    std::string table;
    bool operator==(const Outcome &) const = default;
};

void PrintTo(const Outcome &o, std::ostream *os)
{
    *os << "\n  report: " << o.report << "\n  findings:";
    for (const auto &f : o.findings)
        *os << "\n    " << f;
    *os << "\n  table: " << o.table.size() << " bytes";
}

struct Watch {
    Outcome *out;
    int stop; // 1: at the first error; 2: at the first finding
};

extern "C" int watch(const gridvane_finding *f, void *context)
{
    auto *w = static_cast<Watch *>(context);
    char text[300];
    gridvane_finding_message(f, text, sizeof text);
    // Every field, the doubles by their bits; the message words the rest.
    w->out->findings.push_back(std::to_string(f->line) + ":" + std::to_string(f->column) + ":" +
                               std::to_string(f->offset) + ": " + text + " [" + std::to_string(f->kind) + "/" +
                               std::to_string(f->severity) + " " + std::to_string(f->expected) + "/" +
                               std::to_string(f->found) + " " + std::to_string(std::bit_cast<uint64_t>(f->taken)) +
                               " " + std::to_string(std::bit_cast<uint64_t>(f->previous)) + " " +
                               std::to_string(f->frame) + " " + (f->text != nullptr ? f->text : "") + "]");
    return w->stop == 2 || (w->stop == 1 && f->severity == GRIDVANE_SEVERITY_ERROR);
}

std::string describe(int32_t id, const gridvane_report &r)
{
    std::string s = "code " + std::to_string(r.status.code) + " error " + std::to_string(r.status.error) + " at " +
                    std::to_string(r.status.line) + ":" + std::to_string(r.status.column) + " (" +
                    std::to_string(r.status.offset) + ") " + std::to_string(r.status.expected) + "/" +
                    std::to_string(r.status.found) + " kind " + std::to_string(r.kind) + " counts " +
                    std::to_string(r.errors) + "/" + std::to_string(r.warnings);
    if (id < 0)
        return s;
    const ArrayNode *node = ArrayGetPointer(id);
    s += " table " + std::to_string(node->countU) + "x" + std::to_string(node->countV) + " flags " +
         std::to_string(node->flags);
    return s;
}

// The table's bits, frames included, and its names.
std::string contents(int32_t id)
{
    if (id < 0)
        return "";
    const ArrayNode *node = ArrayGetPointer(id);
    const auto width = static_cast<size_t>(node->countU) + ((node->flags & ARRAY_FRAME) != 0);
    std::string bits;
    for (int32_t r = 0; r < static_cast<int32_t>(node->countV); ++r)
        bits.append(reinterpret_cast<const char *>(node->rows[r]), width * sizeof(float));
    for (int32_t c = 0; c < gridvane_column_name_count(id, nullptr); ++c)
        bits += std::string(" ") + gridvane_column_name(id, c, nullptr);
    return bits;
}

Outcome in_one_piece(const std::string &path, int32_t form, bool observed, int stop,
                     const gridvane_reading *reading = nullptr)
{
    Outcome out;
    Watch w{&out, stop};
    gridvane_report report{};
    const int32_t id = gridvane_load_with(path.c_str(), form, reading, observed ? watch : nullptr, &w, &report);
    out.report = describe(id, report);
    out.table = contents(id);
    if (id > 0)
        ArrayFree(id);
    return out;
}

// The parts read by threads of ours, the last part first.
Outcome in_parts(const std::string &path, int32_t form, int32_t parts, bool observed, int stop,
                 const gridvane_reading *reading = nullptr)
{
    Outcome out;
    Watch w{&out, stop};
    gridvane_report report{};
    gridvane_plan *plan =
        gridvane_plan_open_with(path.c_str(), form, parts, reading, observed ? watch : nullptr, &w, &report);
    int32_t id = -1;
    if (plan != nullptr) {
        std::vector<std::thread> threads;
        for (int32_t k = gridvane_plan_parts(plan) - 1; k >= 0; --k)
            threads.emplace_back([plan, k] { gridvane_plan_read(plan, k, nullptr); });
        for (auto &t : threads)
            t.join();
        id = gridvane_plan_finish(plan, &report);
    }
    out.report = describe(id, report);
    out.table = contents(id);
    if (id > 0)
        ArrayFree(id);
    return out;
}

void expect_same_in_parts(const std::string &path, int32_t most_parts, const gridvane_reading *reading = nullptr)
{
    for (const int32_t form : {GRIDVANE_FORM_DECIDE, GRIDVANE_FORM_ASCII})
        for (const int mode : {0, 1, 2}) { // no observer; one that lets all pass; one that stops at errors
            const Outcome whole = in_one_piece(path, form, mode != 0, mode == 2, reading);
            for (int32_t parts = 1; parts <= most_parts; ++parts)
                EXPECT_EQ(in_parts(path, form, parts, mode != 0, mode == 2, reading), whole)
                    << path << " in " << parts << " parts, form " << form << ", mode " << mode;
        }
}

int32_t lines_of(const std::string &text) { return static_cast<int32_t>(std::count(text.begin(), text.end(), '\n')) + 1; }

TEST_F(Parts, CutAtEveryLineOfCraftedFiles)
{
    const char *const texts[] = {
        "1 2\n3 4\n5 6\n7 8\n",
        "# lead\n\n  1 abc 3\n1,5 2 0x10\n\n# between\n4 5 6 7\n8\n9 10 11\n",
        "| pan tilt\n-----\n1 | 0 -5\n12 | 8,25 -4.5\n24 21\n12 | 1 2\n| 3\n36 | 1 2 3\nnan | 4 5\n30 | 6 7\n",
        "| a\n-\n5 | 1\n5 | 2\n4 | 3\n6 | 4\n6 | 5\n",
        "1 2\r\n3\r4\n5\r6\n7 8\r\n",
        "\357\273\2771 2\n3 4\n", // a byte-order mark first
        "1 2\n3 4", // no final newline
        // Numbers a float rounds, summed up once a column across the parts.
        "16777217 1.5\n1311868164.5 2\n123456789 3\n1311868165.25 16777219\n1 2e9\n",
        // Short tokens and long ones, in lines short and long, with cells
        // left empty at either end of a block of 16 bytes.
        ("1\t\t2\n-0.5\t3e2\t7\n\t23.64325\t-711.6808\t-4.20018568547675e-06\t0.0199791062623262\t\t5\n"
         "12345678901234567890\t.5\n9\t8\t\t7 # \t\t\n-1\t-22\t333\t4444\t55555\t666666\t\t7\n"),
    };
    int n = 0;
    for (const char *text : texts) {
        const std::string path = folder.write("crafted" + std::to_string(n++) + ".dat", text);
        expect_same_in_parts(path, lines_of(text) + 1);
    }
}

TEST_F(Parts, ALineOfNamesAndAFrameColumnAlike)
{
    const gridvane_reading names{GRIDVANE_READ_NAMES_FIRST_LINE, -1}, frames{0, 1},
        both{GRIDVANE_READ_NAMES_FIRST_LINE, 0};
    const struct {
        const char *text;
        const gridvane_reading *reading;
    } cases[] = {
        {"t a b\n1 2 3\n2 3 4\n3 4 x\n5 6 7\n", &both},
        {"t a b c\n1 2 3\n2 3 4\n", &names},           // a name too many
        {"1 2 3\n4 2 6\n7 5 9\n8 4 1\n", &frames},     // a frame that falls, wherever the parts are cut
        {"1 2 3\n4 3 6\n7 3.5 9\n8 4 1\n", &frames},   // one that is no whole number
        {"1 2 3\n4 3 6\n7 8\n8 4 1\n", &frames},       // no frame column in the last row
        {"1 2 3\n4 3 6\n7 8 9\n8 9 1\n", &frames},     // frames that rise
        {"| a\n-\n1 | 2\n", &names},                    // the table form
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string path = folder.write("ruled" + std::to_string(n++) + ".dat", c.text);
        expect_same_in_parts(path, lines_of(c.text) + 1, c.reading);
    }
    // A binary file's frame column, rising, falling, not whole.
    for (const gvtest::Rows &rows : {gvtest::Rows{{5, 1, 2}, {6, 2, 3}, {7, 4, 4}, {8, 8, 5}},
                                     gvtest::Rows{{5, 1, 2}, {6, 3, 3}, {7, 2, 4}, {8, 8, 5}},
                                     gvtest::Rows{{5, 1, 2}, {6, 2, 3}, {7, 2.5, 4}, {8, 8, 5}}}) {
        const std::string path = folder.write("ruled" + std::to_string(n++) + ".chb", gvtest::binary_of(rows, 3, 4));
        expect_same_in_parts(path, 5, &frames);
        gridvane_report report{};
        const int32_t id = gridvane_load_with(path.c_str(), 0, &frames, nullptr, nullptr, &report);
        if (rows[2][1] == 4) {
            ASSERT_GT(id, 0);
            EXPECT_EQ(ArrayGetFrame(id, 3), 8);
            EXPECT_EQ(ArrayGetIValue(id, 0, 3), 8.0f); // column, row
            EXPECT_EQ(ArrayGetIValue(id, 1, 3), 5.0f);
            ArrayFree(id);
        } else {
            EXPECT_EQ(id, -1);
            EXPECT_EQ(report.status.code, GRIDVANE_E_AGAINST_READING);
            EXPECT_EQ(report.status.column, 64 + (2 * 3 + 1) * 4 + 1); // the frame of row 2
        }
    }
}

TEST_F(Parts, ExamplesAndBadFiles)
{
    std::vector<std::string> paths, large;
    for (const char *dir : {GRIDVANE_TEST_DATA, GRIDVANE_TEST_DATA "/bad", GRIDVANE_TEST_DATA "/../../examples/data"})
        for (const auto &entry : std::filesystem::directory_iterator(dir))
            if (entry.is_regular_file())
                (entry.file_size() < 100000 ? paths : large).push_back(entry.path().string());
    std::sort(paths.begin(), paths.end());
    for (const auto &path : paths)
        expect_same_in_parts(path, 4);
    // The large ones cut where a real load cuts them, at line ends after
    // every megabyte.
    gridvane_core::io::set_smallest_part(smallest_);
    for (const auto &path : large)
        expect_same_in_parts(path, 3);
}

TEST_F(Parts, LargeFilesInRealParts)
{
    gridvane_core::io::set_smallest_part(smallest_);
    // Four megabytes of text; the same with faults on either side of where
    // three parts are cut, frames that fall there too; and with more
    // findings than a part keeps (a short row in every hundred).
    std::string text = "| a b c\n---\n";
    for (int r = 0; r < 160000; ++r)
        text += std::to_string(r) + " | " + std::to_string(r * 0.25) + " -" + std::to_string(r % 97) + "e-3 7\n";
    const std::string good = folder.write("big.chan", text);
    std::string faulty = text;
    for (const size_t cut : {text.size() / 3, text.size() * 2 / 3})
        for (const size_t at : {cut - 60, cut - 1, cut + 30}) {
            const size_t line = faulty.rfind('\n', at) + 1;
            faulty[faulty.find('.', line)] = ',';                      // a decimal comma
            faulty.replace(line, faulty.find(' ', line) - line, "1"); // a frame that falls
        }
    const std::string bad = folder.write("faulty.chan", faulty);
    std::string many = "| a b c\n---\n";
    for (int r = 0; r < 160000; ++r)
        many += std::to_string(r) + " | 1.5 2.5" + (r % 100 == 0 ? "\n" : " 3.5\n");
    const std::string noisy = folder.write("noisy.chan", many);
    for (const std::string &path : {good, bad, noisy})
        for (const bool stop : {false, true}) {
            const Outcome whole = in_one_piece(path, GRIDVANE_FORM_ASCII, true, stop);
            EXPECT_EQ(in_parts(path, GRIDVANE_FORM_DECIDE, 3, true, stop), whole) << path;
        }
    gvtest::Rows rows(20000, std::vector<float>(64));
    for (size_t r = 0; r < rows.size(); ++r)
        for (size_t c = 0; c < 64; ++c)
            rows[r][c] = r % 5000 == 7 && c == 3 ? NAN : static_cast<float>(r) * 0.5f + static_cast<float>(c);
    const std::string binary = folder.write("big.chb", gvtest::binary_of(rows, 64, 20000) + "tail");
    for (const bool observed : {false, true}) {
        const Outcome whole = in_one_piece(binary, GRIDVANE_FORM_DECIDE, observed, false);
        EXPECT_EQ(in_parts(binary, GRIDVANE_FORM_DECIDE, 2, observed, false), whole);
    }
    const std::string cut = folder.write("cut.chb", gvtest::binary_of(rows, 64, 20000).substr(0, 3000000));
    EXPECT_EQ(in_parts(cut, GRIDVANE_FORM_DECIDE, 2, true, false), in_one_piece(cut, GRIDVANE_FORM_DECIDE, true, false));
}

// A file that cannot be read by position is planned as one part, read as
// it comes, as a load by name reads it, where that part is read: a host's
// driver does the work, and hears the findings, on its own thread.
TEST_F(Parts, PipesAndFifosAreOnePartReadInOrder)
{
#if defined(_WIN32)
    GTEST_SKIP() << "no FIFOs or /dev/fd names on Windows";
#else
    const std::string text = "| a b\n---\n1 | 2 3\n2 | 4,5 6\n3 | 7 8\n";
    const Outcome expected = in_one_piece(folder.write("regular.chan", text), GRIDVANE_FORM_DECIDE, true, false);
    const std::string fifo = folder.path("fifo.chan");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const bool named_fifo : {true, false}) {
        int ends[2] = {-1, -1};
        if (!named_fifo) {
            ASSERT_EQ(pipe(ends), 0);
        }
        // The writer opens its end once the reader has opened its own.
        std::thread writer([&] {
            const int fd = named_fifo ? open(fifo.c_str(), O_WRONLY) : ends[1];
            EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
            close(fd);
        });
        // A pipe read by its /dev/fd name is still a pipe: no position to read at.
        const std::string name = named_fifo ? fifo : "/dev/fd/" + std::to_string(ends[0]);
        Outcome out;
        Watch w{&out, false};
        gridvane_report report{};
        gridvane_plan *plan = gridvane_plan_open(name.c_str(), GRIDVANE_FORM_ASCII, 4, watch, &w, &report);
        EXPECT_NE(plan, nullptr); // the calls below take a null plan too: the writer must be joined
        EXPECT_EQ(gridvane_plan_parts(plan), 1);
        EXPECT_EQ(gridvane_plan_read(plan, 0, nullptr), 0);
        writer.join();
        EXPECT_EQ(out.findings, expected.findings) << name; // told by the read, before the finish
        const int32_t id = gridvane_plan_finish(plan, &report);
        out.report = describe(id, report);
        out.table = contents(id);
        EXPECT_EQ(out, expected) << name;
        ArrayFree(id);
        if (!named_fifo)
            close(ends[0]);
    }
#endif
}

// A file another process writes while a plan reads it fails the load with
// CHANGED, never a table made of pieces of two files: cut, grown or
// written over between the open and the parts, or between the parts and
// the finish.
TEST_F(Parts, AFileThatChangesUnderAPlanFails)
{
    std::string text, noisy;
    for (int r = 0; r < 4000; ++r) {
        text += std::to_string(r) + " 1.5 2.5 3.5 4.5 5.5 6.5 7.5\n";
        noisy += std::to_string(r) + (r % 2 == 0 ? " 1.5\n" : " 1.5 2.5\n"); // more short rows than a part keeps
    }
    size_t line_100 = 0;
    for (int n = 0; n < 100; ++n)
        line_100 = text.find('\n', line_100) + 1;
    const std::string binary = gvtest::binary_of(gvtest::Rows(4000, std::vector<float>(8, 1.5f)), 8, 4000);
    const auto size_of = [](const std::string &bytes) { return static_cast<int64_t>(bytes.size()); };
    constexpr int64_t written_over = -1; // the same size, a later modification time
    const struct {
        const char *what;
        const std::string &bytes;
        bool before_parts; // else between the parts and the finish
        int64_t size;
        bool observed = false;
    } cases[] = {
        {"text cut at a line end", text, true, static_cast<int64_t>(line_100)},
        {"text cut mid-line", text, true, static_cast<int64_t>(line_100) - 5},
        {"text grown", text, true, size_of(text) + 1000},
        {"binary cut", binary, true, size_of(binary) / 2},
        {"binary grown", binary, true, size_of(binary) + 64},
        {"text cut after the parts", text, false, static_cast<int64_t>(line_100)},
        {"binary grown after the parts", binary, false, size_of(binary) + 64},
        {"text written over", text, false, written_over},
        {"binary written over", binary, false, written_over},
        {"text written over, read again for its findings", noisy, false, written_over, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = folder.write(&c.bytes == &binary ? "changing.chb" : "changing.chan", c.bytes);
        const auto change = [&] {
            if (c.size == written_over)
                std::filesystem::last_write_time(path,
                                                 std::filesystem::last_write_time(path) + std::chrono::seconds(10));
            else
                std::filesystem::resize_file(path, static_cast<uintmax_t>(c.size));
        };
        gridvane_report report{};
        Outcome told;
        Watch w{&told, false};
        gridvane_plan *plan =
            gridvane_plan_open(path.c_str(), GRIDVANE_FORM_DECIDE, 4, c.observed ? watch : nullptr, &w, &report);
        ASSERT_NE(plan, nullptr);
        ASSERT_EQ(gridvane_plan_parts(plan), 4);
        if (c.before_parts)
            change();
        int32_t changed_parts = 0;
        for (int32_t k = 0; k < 4; ++k) {
            gridvane_status status{};
            changed_parts += gridvane_plan_read(plan, k, &status) != 0 && status.code == GRIDVANE_E_CHANGED;
        }
        EXPECT_EQ(changed_parts > 0, c.before_parts);
        if (!c.before_parts)
            change();
        EXPECT_EQ(gridvane_plan_finish(plan, &report), -1);
        EXPECT_EQ(report.status.code, GRIDVANE_E_CHANGED);
        EXPECT_EQ(report.status.error, EIO);
        EXPECT_EQ(report.status.expected, size_of(c.bytes));
        EXPECT_EQ(report.status.found, c.size == written_over ? size_of(c.bytes) : c.size);
        EXPECT_EQ(gridvane_core::registry::head(), nullptr);
    }
    const auto message = [](int64_t expected, int64_t found) {
        gridvane_status s{GRIDVANE_E_CHANGED, EIO, 0, 0, -1, expected, found};
        char words[200];
        gridvane_status_message(&s, words, sizeof words);
        return std::string(words);
    };
    EXPECT_EQ(message(136000, 1300), "the file changed while it was read: 136000 bytes at the start, 1300 now");
    EXPECT_EQ(message(1300, 1300), "the file changed while it was read: still 1300 bytes, but written since the start");
}

TEST_F(Parts, AnAbandonedPlanReadsNoMoreAndKeepsNothing)
{
    gridvane_core::io::set_smallest_part(smallest_);
    std::string text;
    for (int r = 0; r < 400000; ++r)
        text += std::to_string(r) + " 1.5 2.5\n";
    const std::string path = folder.write("big.dat", text);
    std::vector<std::string> names{path};
#if !defined(_WIN32)
    // A pipe is one part, which reads it whole: the table it made then
    // goes with the plan.
    int ends[2] = {-1, -1};
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "1 2\n3 4\n", 8), 8);
    close(ends[1]);
    names.push_back("/dev/fd/" + std::to_string(ends[0]));
#endif
    const int64_t before = gvtest::blocks_in_use();
    for (const std::string &name : names) {
        gridvane_plan *plan = gridvane_plan_open(name.c_str(), GRIDVANE_FORM_DECIDE, 3, nullptr, nullptr, nullptr);
        ASSERT_NE(plan, nullptr) << name;
        const int32_t parts = gridvane_plan_parts(plan);
        EXPECT_EQ(parts, name == path ? 3 : 1) << name;
        EXPECT_EQ(gridvane_plan_read(plan, name == path ? 1 : 0, nullptr), 0) << name;
        gridvane_status status{};
        EXPECT_EQ(gridvane_plan_read(plan, parts, &status), -1) << name;
        EXPECT_EQ(status.code, GRIDVANE_E_ARGUMENT) << name;
        gridvane_plan_abandon(plan);
        EXPECT_EQ(gvtest::blocks_in_use(), before) << name;
        EXPECT_EQ(gridvane_core::registry::head(), nullptr) << name;
    }
    gridvane_plan_abandon(nullptr);
#if !defined(_WIN32)
    close(ends[0]);
#endif
}

} // namespace

namespace {

std::string first_row_of(int values)
{
    std::string row;
    for (int c = 0; c < values; ++c)
        row += c == 0 ? "0" : " 0";
    return row + "\n";
}

std::string times(const std::string &line, int n)
{
    std::string text;
    for (int i = 0; i < n; ++i)
        text += line;
    return text;
}

} // namespace

// A part held to its own bytes cannot see the room the rows before it
// leave: the parts fail where a single read fails, and read what it reads.
TEST_F(Parts, TheBoundOnGrowthHoldsInPartsAsInOnePiece)
{
    const std::string wide = first_row_of(2000);
    // Row 2,378 passes the bound (2378 x 8000 > 256 x 8754 + 2^24).
    const std::string amp = folder.write("amp.dat", wide + times("0\n", 2400));
    // Twenty full rows leave room for thousands of short ones after them,
    // where a part that begins among the short rows alone would fail.
    const std::string room = folder.write("room.dat", times(wide, 20) + times("0\n", 2500));
    for (const auto &path : {amp, room})
        expect_same_in_parts(path, 4);
    EXPECT_NE(in_one_piece(amp, 0, false, false).report.find("code 26 error 5 at 2378:1"), std::string::npos);
    EXPECT_NE(in_one_piece(room, 0, false, false).report.find("code 0 "), std::string::npos);
}

// What the reader does with the harder tokens and encodings, the same in
// every copy of it: whole, watched, in parts, and on a stream, whether the
// observer lets every finding pass, stops at the first error or at the
// first finding (a whole number past 2^24, which only warns, refused).
TEST_F(Parts, HardTokensReadAlikeInEveryCopyOfTheReader)
{
    const char *const texts[] = {
        "1 2 3\n+ - .\n.e5 e5 +.\n",                                               // signs and points without digits
        "1 2\n12345678901234567890123 0.12345678901234567890123456\n",             // past 19 significant digits
        "1 2\n1234567890123456789012345678901 12345678901234567890123456789012\n", // 31 and 32 characters
        "1 2 3 4\n1e+038 1e-045 2.5E+100 1e-400\n-1E-038 +1e+000 1e+0380 5\n",      // exponents with signs, 3 digits
        "\357\273\277| a b\n-\n1 | 2 3\n2 | 0x10 4\n",                            // a byte-order mark before a header
        "\0001\000 \0002\000\n\0003\000 \0004\000\n",                                 // UTF-16, big-endian, no mark
        "1 2 3\n4 16777217 6\n7 8 9\n",                                               // a whole number a float rounds
        "| a\n-\n1 | 2\n20000001 | 3\n",                                              // a frame a float rounds
    };
    int n = 0;
    for (const std::string &text : std::initializer_list<std::string>{
             texts[0], texts[1], texts[2], texts[3], texts[4], std::string(texts[5], 16), texts[6], texts[7]}) {
        const std::string path = folder.write("hard" + std::to_string(n++) + ".dat", text);
        expect_same_in_parts(path, lines_of(text) + 1);
        for (const int stop : {0, 1, 2}) {
            const Outcome whole = in_one_piece(path, GRIDVANE_FORM_ASCII, true, stop);
            Outcome streamed;
            Watch w{&streamed, stop};
            gridvane_report report{};
            FILE *f = std::fopen(path.c_str(), "rb");
            ASSERT_NE(f, nullptr);
            const int32_t id = gridvane_read(f, GRIDVANE_FORM_ASCII, watch, &w, &report);
            std::fclose(f);
            streamed.report = describe(id, report);
            streamed.table = contents(id);
            if (id > 0)
                ArrayFree(id);
            EXPECT_EQ(streamed, whole) << path << " on a stream, stop " << stop;
            if (stop == 2) { // every one of these texts has a finding
                EXPECT_NE(whole.report.find("code 19 "), std::string::npos) << path << whole.report;
            }
        }
    }
}
