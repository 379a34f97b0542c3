// The extension interface as its clients use it: loads with a form and a
// report, column names kept with tables, the table form written and read
// back, saves that refuse before they touch a file, and the library's own
// replacement of a client's file.
#include "support.hpp"

#include "gridvane_ext.h"
#include "platform/system.hpp"

#include <climits>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <thread>

using gvtest::binary_of;
using gvtest::TempFolder;

namespace {

class Extension : public gvtest::RegistryTest {
protected:
    TempFolder folder;
};

constexpr char camera[] = "| pan tilt\n-----\n1 | 0 -5\n12 | 8.25 -4.5\n24 | 21 -2\n";

std::vector<std::string> names_of(int32_t id)
{
    std::vector<std::string> names;
    for (int32_t c = 0; c < gridvane_column_name_count(id, nullptr); ++c)
        names.emplace_back(gridvane_column_name(id, c, nullptr));
    return names;
}

std::string message_of(const gridvane_status &status)
{
    std::string text(gridvane_status_message(&status, nullptr, 0), '\0');
    gridvane_status_message(&status, text.data(), text.size() + 1);
    return text;
}

extern "C" int refuse_errors(const gridvane_finding *f, void *) { return f->severity == GRIDVANE_SEVERITY_ERROR; }

TEST_F(Extension, LoadsInTheFormAskedAndSaysWhatItRead)
{
    const std::string little = binary_of({{1, 2}}, 2, 1);
    std::string big = little;
    std::reverse(big.begin(), big.begin() + 4);
    std::swap(big[8], big[9]);
    std::swap(big[10], big[11]);
    for (size_t i = 64; i < big.size(); i += 4)
        std::reverse(big.begin() + static_cast<long>(i), big.begin() + static_cast<long>(i) + 4);
    const struct {
        const char *name;
        std::string bytes;
        int32_t form;
        int32_t code, kind;
        int64_t line, column;
    } cases[] = {
        {"plain.dat", "# c\n\t 1 2\n", GRIDVANE_FORM_DECIDE, GRIDVANE_OK, GRIDVANE_KIND_ASCII_PLAIN, 0, 0},
        {"cam.chan", camera, GRIDVANE_FORM_DECIDE, GRIDVANE_OK, GRIDVANE_KIND_ASCII_TABLE, 0, 0},
        {"t.dat", little, GRIDVANE_FORM_DECIDE, GRIDVANE_OK, GRIDVANE_KIND_BINARY_LITTLE, 0, 0},
        {"big.chb", big, GRIDVANE_FORM_DECIDE, GRIDVANE_OK, GRIDVANE_KIND_BINARY_BIG, 0, 0},
        // As ArrayLoad: big-endian data is known by name only, and says so.
        {"big.dat", big, GRIDVANE_FORM_DECIDE, GRIDVANE_E_INVALID_FORMAT, 0, 1, 1},
        {"big2.dat", big, GRIDVANE_FORM_BINARY, GRIDVANE_OK, GRIDVANE_KIND_BINARY_BIG, 0, 0},
        {"mis.chan", little, GRIDVANE_FORM_BINARY, GRIDVANE_OK, GRIDVANE_KIND_BINARY_LITTLE, 0, 0},
        // Positions count the lines and blanks the content decision passed.
        {"junk.dat", "# c\n\t 1 x\n", GRIDVANE_FORM_DECIDE, GRIDVANE_E_REFUSED, 0, 2, 5},
        {"bin.chan", little, GRIDVANE_FORM_DECIDE, GRIDVANE_E_REFUSED, 0, 1, 1},
        {"empty.dat", "\n# only\n", GRIDVANE_FORM_DECIDE, GRIDVANE_E_EMPTY, 0, 3, 1},
        {"cut.chb", little.substr(0, 66), GRIDVANE_FORM_DECIDE, GRIDVANE_E_TRUNCATED_SAMPLES, 0, 1, 67},
    };
    for (const auto &c : cases) {
        gridvane_report report{};
        const int32_t id = gridvane_load(folder.write(c.name, c.bytes).c_str(), c.form, refuse_errors, nullptr, &report);
        EXPECT_EQ(report.status.code, c.code) << c.name << ": " << message_of(report.status);
        EXPECT_EQ(id > 0, c.code == GRIDVANE_OK) << c.name;
        EXPECT_EQ(report.kind, c.kind) << c.name;
        if (c.code != GRIDVANE_OK) {
            EXPECT_EQ(report.status.line, c.line) << c.name;
            EXPECT_EQ(report.status.column, c.column) << c.name;
        }
    }
    gridvane_report report{};
    EXPECT_EQ(gridvane_load(folder.path("big.dat").c_str(), GRIDVANE_FORM_DECIDE, nullptr, nullptr, &report), -1);
    EXPECT_EQ(message_of(report.status), "invalid file format: big-endian binary data is read only under a binary "
                                         "name (.chb, .bchan) or with the binary form given");
    // A folder fails with the system's cause (POSIX opens it and refuses to
    // read it, Windows refuses to open it); a missing file is one to open;
    // every name is a file, standard input's included.
    EXPECT_EQ(gridvane_load(folder.dir().string().c_str(), GRIDVANE_FORM_DECIDE, nullptr, nullptr, &report), -1);
#if defined(_WIN32)
    EXPECT_EQ(report.status.code, GRIDVANE_E_OPEN);
    EXPECT_EQ(report.status.error, EACCES);
#else
    EXPECT_EQ(report.status.code, GRIDVANE_E_READ);
    EXPECT_EQ(report.status.error, EISDIR);
#endif
    EXPECT_EQ(gridvane_load("stdin.dat", GRIDVANE_FORM_DECIDE, nullptr, nullptr, &report), -1);
    EXPECT_EQ(report.status.code, GRIDVANE_E_OPEN);
    EXPECT_EQ(report.status.error, ENOENT);
    EXPECT_EQ(gridvane_load(nullptr, 0, nullptr, nullptr, &report), -1);
    EXPECT_EQ(report.status.code, GRIDVANE_E_ARGUMENT);
}

TEST_F(Extension, ColumnNamesLiveAndDieWithTheirTable)
{
    const int64_t before = gvtest::blocks_in_use();
    const int32_t id = ArrayLoad(folder.write("cam.chan", camera).c_str());
    ASSERT_GT(id, 0);
    EXPECT_EQ(names_of(id), (std::vector<std::string>{"pan", "tilt"}));
    gridvane_status status{};
    EXPECT_EQ(gridvane_column_name(id, 2, &status), nullptr);
    EXPECT_EQ(status.code, GRIDVANE_OK); // a column without a name
    EXPECT_EQ(gridvane_column_name(id, -1, &status), nullptr);
    EXPECT_EQ(status.code, GRIDVANE_E_ARGUMENT);

    const char *good[] = {"x", "y_2"};
    EXPECT_EQ(gridvane_set_column_names(id, 2, good, &status), 0);
    EXPECT_EQ(names_of(id), (std::vector<std::string>{"x", "y_2"}));
    for (const char *bad : {"has space", "", "a#b", "|", "tab\there"}) {
        const char *names[] = {"fine", bad};
        EXPECT_EQ(gridvane_set_column_names(id, 2, names, &status), -1) << bad;
        EXPECT_EQ(status.code, GRIDVANE_E_BAD_NAME);
        EXPECT_EQ(status.found, 1);
        EXPECT_EQ(names_of(id), (std::vector<std::string>{"x", "y_2"}));
    }
    EXPECT_EQ(gridvane_set_column_names(id + 100, 2, good, &status), -1);
    EXPECT_EQ(status.code, GRIDVANE_E_UNKNOWN_HANDLE);
    EXPECT_EQ(ArrayFree(id), 0);
    EXPECT_EQ(gridvane_column_name_count(id, &status), -1);
    EXPECT_EQ(status.code, GRIDVANE_E_UNKNOWN_HANDLE);
    EXPECT_EQ(gvtest::blocks_in_use(), before);
}

TEST_F(Extension, TheTableFormWrittenReadsBackWhole)
{
    gridvane_status status{};
    const int32_t id = gridvane_alloc(3, 2, ARRAY_FRAME, &status);
    ASSERT_GT(id, 0);
    EXPECT_EQ(ArrayCountU(id), 2.0f);
    float **rows = ArrayGetArray(id);
    const float values[3][3] = {{0.1f, -5, 1}, {8.25f, 1e-7f, 12}, {NAN, 3.4e38f, 24.5f}};
    for (int r = 0; r < 3; ++r)
        std::memcpy(rows[r], values[r], sizeof values[r]);
    const char *names[] = {"pan"};
    ASSERT_EQ(gridvane_set_column_names(id, 1, names, &status), 0);

    FILE *out = gvtest::temporary_stream();
    ASSERT_EQ(gridvane_write(out, id, GRIDVANE_FORM_DECIDE, 0, &status), 0);
    const std::string text = gvtest::contents_of(out);
    EXPECT_EQ(text, "| pan column1\n------------\n1\t|\t0.100000001490116\t-5\n12\t|\t8.25\t1.0000000116861e-07\n"
                    "24.5\t|\tnan\t3.39999995214436e+38\n");
    // For people: the shortest text that reads back as the same float.
    FILE *shortest = gvtest::temporary_stream();
    ASSERT_EQ(gridvane_write(shortest, id, GRIDVANE_FORM_DECIDE, GRIDVANE_WRITE_SHORTEST, &status), 0);
    EXPECT_EQ(gvtest::contents_of(shortest),
              "| pan column1\n------------\n1\t|\t0.1\t-5\n12\t|\t8.25\t1e-07\n24.5\t|\tnan\t3.4e+38\n");
    std::rewind(shortest);
    const int32_t again = gridvane_read(shortest, GRIDVANE_FORM_DECIDE, nullptr, nullptr, nullptr);
    std::fclose(shortest);
    ASSERT_GT(again, 0);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_TRUE(std::memcmp(&ArrayGetArray(again)[r][c], &values[r][c], 4) == 0 || std::isnan(values[r][c]))
                << r << "," << c;
    std::rewind(out);
    gridvane_report report{};
    const int32_t back = gridvane_read(out, GRIDVANE_FORM_DECIDE, nullptr, nullptr, &report);
    std::fclose(out);
    ASSERT_GT(back, 0) << message_of(report.status);
    EXPECT_EQ(report.kind, GRIDVANE_KIND_ASCII_TABLE);
    EXPECT_EQ(names_of(back), (std::vector<std::string>{"pan", "column1"}));
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_TRUE(std::memcmp(&ArrayGetArray(back)[r][c], &values[r][c], 4) == 0 ||
                        (std::isnan(values[r][c]) && std::isnan(ArrayGetArray(back)[r][c])))
                << r << "," << c;
    EXPECT_EQ(ArrayGetFrame(back, 2), 24);
}

TEST_F(Extension, WritesRefuseWhatTheFormCannotHold)
{
    gridvane_status status{};
    const int32_t framed = gridvane_alloc(2, 2, ARRAY_FRAME, &status);
    const int32_t plain = ArrayAlloc(2, 2);
    const int32_t tall = ArrayAlloc(40000, 1);
    const int32_t widest = gridvane_alloc(1, GRIDVANE_BINARY_COUNT_MAX, ARRAY_FRAME, &status);
    const uint32_t as_column = GRIDVANE_WRITE_FRAMES_AS_COLUMN;
    const struct {
        int32_t id, form;
        uint32_t flags;
        int32_t result, code;
        size_t bytes; // written
    } cases[] = {
        {framed, GRIDVANE_FORM_BINARY, 0, -1, GRIDVANE_E_FRAMES_LOST, 0},
        {framed, GRIDVANE_FORM_BINARY, GRIDVANE_WRITE_DROP_FRAMES, 0, GRIDVANE_OK, 64 + 16},
        {framed, GRIDVANE_FORM_ASCII, 0, 0, GRIDVANE_OK, 10},
        {plain, GRIDVANE_FORM_TABLE, 0, -1, GRIDVANE_E_ARGUMENT, 0},
        {plain, GRIDVANE_FORM_DECIDE, 0, 0, GRIDVANE_OK, 10},
        {tall, GRIDVANE_FORM_BINARY, 0, -1, GRIDVANE_E_TOO_LARGE, 0},
        {plain, 7, 0, -1, GRIDVANE_E_ARGUMENT, 0},
        {plain + 1000, GRIDVANE_FORM_ASCII, 0, -1, GRIDVANE_E_UNKNOWN_HANDLE, 0},
        // The frames as the first column of a plain form; a table without
        // frames has none to write.
        {framed, GRIDVANE_FORM_BINARY, as_column, 0, GRIDVANE_OK, 64 + 24},
        {framed, GRIDVANE_FORM_ASCII, as_column, 0, GRIDVANE_OK, 14},
        {plain, GRIDVANE_FORM_BINARY, as_column, 0, GRIDVANE_OK, 64 + 16},
        {widest, GRIDVANE_FORM_BINARY, as_column, -1, GRIDVANE_E_TOO_LARGE, 0},
        {plain, GRIDVANE_FORM_ASCII, 0x10, -1, GRIDVANE_E_ARGUMENT, 0},
    };
    for (const auto &c : cases) {
        FILE *out = gvtest::temporary_stream();
        EXPECT_EQ(gridvane_write(out, c.id, c.form, c.flags, &status), c.result) << c.form;
        EXPECT_EQ(status.code, c.code) << c.form;
        EXPECT_EQ(gvtest::contents_of(out).size(), c.bytes) << c.form;
        std::fclose(out);
    }
    gridvane_write(gvtest::temporary_stream(), tall, GRIDVANE_FORM_BINARY, 0, &status);
    EXPECT_EQ(message_of(status), "the table is 1 columns x 40000 rows; the binary form holds at most 32767 of each");
}

TEST_F(Extension, SavesRefuseBeforeTheyTouchTheFile)
{
    gridvane_status status{};
    const int32_t framed = gridvane_alloc(2, 1, ARRAY_FRAME, &status);
    const int32_t tall = ArrayAlloc(40000, 1);
    const std::string old = "old\n";
    const struct {
        const char *name;
        int32_t id, form;
        uint32_t flags;
        int32_t code;
        const char *begins; // the file afterwards
    } cases[] = {
        {"t.chan", framed, GRIDVANE_FORM_DECIDE, 0, GRIDVANE_OK, "| column0\n"},
        {"t.chb", framed, GRIDVANE_FORM_DECIDE, 0, GRIDVANE_E_FRAMES_LOST, "old"},
        {"t.chb", framed, GRIDVANE_FORM_DECIDE, GRIDVANE_WRITE_DROP_FRAMES, GRIDVANE_OK, "chan"},
        {"t.dat", framed, GRIDVANE_FORM_DECIDE, 0, GRIDVANE_E_UNNAMED_FORM, "old"},
        {"t.dat", framed, GRIDVANE_FORM_TABLE, 0, GRIDVANE_OK, "| column0\n"},
        {"t.chan", framed, GRIDVANE_FORM_BINARY, GRIDVANE_WRITE_DROP_FRAMES, GRIDVANE_E_FORM_AGAINST_NAME, "old"},
        {"t.chan", framed, GRIDVANE_FORM_BINARY, GRIDVANE_WRITE_DROP_FRAMES | GRIDVANE_WRITE_ANY_NAME, GRIDVANE_OK, "chan"},
        {"t.chb", tall, GRIDVANE_FORM_BINARY, 0, GRIDVANE_E_TOO_LARGE, "old"},
        {"t.chb", framed + 1000, GRIDVANE_FORM_BINARY, 0, GRIDVANE_E_UNKNOWN_HANDLE, "old"},
    };
    for (const auto &c : cases) {
        const std::string path = folder.write(c.name, old);
        EXPECT_EQ(gridvane_save(c.id, path.c_str(), c.form, c.flags, &status), c.code == GRIDVANE_OK ? 0 : -1)
            << c.name << " " << c.form;
        EXPECT_EQ(status.code, c.code) << c.name << " " << c.form;
        EXPECT_EQ(TempFolder::read(path).rfind(c.begins, 0), 0u) << c.name << " " << c.form;
        std::filesystem::remove(path);
    }
    EXPECT_EQ(folder.listing(), std::vector<std::string>{});
    // A name that does not exist is not made by a refused save.
    EXPECT_EQ(gridvane_save(tall, folder.path("new.chb").c_str(), GRIDVANE_FORM_DECIDE, 0, &status), -1);
    EXPECT_EQ(folder.listing(), std::vector<std::string>{});
}

TEST_F(Extension, ClientFilesReplacedOnlyWhenCommitted)
{
    const std::string path = folder.write("plot.svg", "old");
    for (const bool commit : {false, true}) {
        gridvane_status status{};
        gridvane_file *file = gridvane_file_open(path.c_str(), &status);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(gridvane_file_write(file, "n", 1, &status), 0);
        std::fputs("ew", gridvane_file_stream(file)); // after the descriptor's byte, in order
        if (commit)
            EXPECT_EQ(gridvane_file_commit(file, &status), 0);
        else
            gridvane_file_abandon(file);
        EXPECT_EQ(TempFolder::read(path), commit ? "new" : "old");
        EXPECT_EQ(folder.listing(), std::vector<std::string>{"plot.svg"});
    }
    gridvane_status status{};
    EXPECT_EQ(gridvane_file_open(folder.path("no/such/folder/x.svg").c_str(), &status), nullptr);
    EXPECT_EQ(status.code, GRIDVANE_E_OPEN);
    EXPECT_EQ(status.error, ENOENT);
}

TEST_F(Extension, FormsOfNames)
{
    const struct {
        const char *name;
        int32_t load, save;
    } cases[] = {
        {"a.chb", GRIDVANE_FORM_BINARY, GRIDVANE_FORM_BINARY},
        {"a.CHAN", GRIDVANE_FORM_ASCII, GRIDVANE_FORM_ASCII},
        {"a.dat", GRIDVANE_FORM_DECIDE, GRIDVANE_FORM_DECIDE},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(gridvane_form_of_name(c.name, GRIDVANE_PURPOSE_LOAD, nullptr), c.load) << c.name;
        EXPECT_EQ(gridvane_form_of_name(c.name, GRIDVANE_PURPOSE_SAVE, nullptr), c.save) << c.name;
    }
}

// The form a save by a name writes, and why it refuses, as gridvane_save
// itself decides: clients that ask before they save (the tool) refuse what
// the save would, with its words.
TEST_F(Extension, FormsToSaveAreTheSavesOwn)
{
    const int32_t plain = gridvane_alloc(2, 2, 0, nullptr);
    ASSERT_GT(plain, 0);
    const struct {
        const char *name;
        int32_t form;
        uint32_t flags;
        int32_t chosen, code, expected, found;
    } cases[] = {
        {"a.chb", GRIDVANE_FORM_DECIDE, 0, GRIDVANE_FORM_BINARY, GRIDVANE_OK, 0, 0},
        {"a.TXT", GRIDVANE_FORM_DECIDE, 0, GRIDVANE_FORM_ASCII, GRIDVANE_OK, 0, 0},
        {"a.dat", GRIDVANE_FORM_DECIDE, 0, -1, GRIDVANE_E_UNNAMED_FORM, 0, 0},
        {"a.dat", GRIDVANE_FORM_BINARY, 0, GRIDVANE_FORM_BINARY, GRIDVANE_OK, 0, 0},
        {"a.chan", GRIDVANE_FORM_TABLE, 0, GRIDVANE_FORM_TABLE, GRIDVANE_OK, 0, 0},
        {"a.chb", GRIDVANE_FORM_ASCII, 0, -1, GRIDVANE_E_FORM_AGAINST_NAME, GRIDVANE_FORM_ASCII, GRIDVANE_FORM_BINARY},
        {"a.chb", GRIDVANE_FORM_TABLE, 0, -1, GRIDVANE_E_FORM_AGAINST_NAME, GRIDVANE_FORM_TABLE, GRIDVANE_FORM_BINARY},
        {"a.cha", GRIDVANE_FORM_BINARY, 0, -1, GRIDVANE_E_FORM_AGAINST_NAME, GRIDVANE_FORM_BINARY, GRIDVANE_FORM_ASCII},
        {"a.chb", GRIDVANE_FORM_ASCII, GRIDVANE_WRITE_ANY_NAME, GRIDVANE_FORM_ASCII, GRIDVANE_OK, 0, 0},
        {"", GRIDVANE_FORM_ASCII, 0, -1, GRIDVANE_E_ARGUMENT, 0, 0},
    };
    for (const auto &c : cases) {
        gridvane_status asked{};
        EXPECT_EQ(gridvane_form_to_save(c.name, c.form, c.flags, &asked), c.chosen) << c.name << " " << c.form;
        EXPECT_EQ(asked.code, c.code) << c.name << " " << c.form;
        EXPECT_EQ(asked.expected, c.expected) << c.name;
        EXPECT_EQ(asked.found, c.found) << c.name;
        if (c.code == GRIDVANE_OK || c.name[0] == '\0')
            continue;
        gridvane_status saved{};
        EXPECT_EQ(gridvane_save(plain, folder.path(c.name).c_str(), c.form, c.flags, &saved), -1) << c.name;
        EXPECT_EQ(saved.code, asked.code) << c.name;
        EXPECT_EQ(folder.listing(), std::vector<std::string>{}) << c.name;
    }
    EXPECT_EQ(gridvane_form_to_save(nullptr, GRIDVANE_FORM_ASCII, 0, nullptr), -1);
}

// The words and suffixes clients name forms by, both ways.
TEST_F(Extension, FormWordsAndSuffixes)
{
    const struct {
        int32_t form;
        const char *word, *suffix;
    } cases[] = {
        {GRIDVANE_FORM_ASCII, "ascii", ".chan"},
        {GRIDVANE_FORM_BINARY, "binary", ".chb"},
        {GRIDVANE_FORM_TABLE, nullptr, ".chan"}, // asked for by code only
        {GRIDVANE_FORM_DECIDE, nullptr, nullptr},
        {0x999, nullptr, nullptr},
    };
    for (const auto &c : cases) {
        EXPECT_STREQ(gridvane_form_word(c.form), c.word) << c.form;
        EXPECT_STREQ(gridvane_form_suffix(c.form), c.suffix) << c.form;
        if (c.word != nullptr) {
            EXPECT_EQ(gridvane_form_of_word(c.word), c.form);
        }
    }
    for (const char *other : {"ASCII", "table", "", "chb"}) {
        EXPECT_EQ(gridvane_form_of_word(other), -1) << other;
    }
    EXPECT_EQ(gridvane_form_of_word(nullptr), -1);
}

// Where a conversion into a folder writes each input: the tool's batches
// and gridvane.dask.convert both take this name.
TEST_F(Extension, OutputNamesOfConversions)
{
    const struct {
        const char *name;
        int32_t form;
        const char *out; // null: refused
    } cases[] = {
        {"a/b.chan", GRIDVANE_FORM_BINARY, "a/b.chb"},
        {"b.chb", GRIDVANE_FORM_TABLE, "b.chan"},
        {"a.b/c", GRIDVANE_FORM_ASCII, "a.b/c.chan"}, // a dot of a folder is no suffix
        {"a/b.tar.txt", GRIDVANE_FORM_BINARY, "a/b.tar.chb"},
        {".hidden", GRIDVANE_FORM_BINARY, ".hidden.chb"}, // nor is a name's first byte
        {"x\\y.txt", GRIDVANE_FORM_ASCII, "x\\y.chan"},
        {"..x/y.chan", GRIDVANE_FORM_BINARY, "..x/y.chb"},
        {"a/../b.chan", GRIDVANE_FORM_BINARY, nullptr}, // would leave the folder
        {"..", GRIDVANE_FORM_BINARY, nullptr},
        {"a\\..", GRIDVANE_FORM_BINARY, nullptr},
        {"", GRIDVANE_FORM_BINARY, nullptr},
        {"a.chan", GRIDVANE_FORM_DECIDE, nullptr}, // no suffix to give
    };
    for (const auto &c : cases) {
        gridvane_status status{};
        const ptrdiff_t length = gridvane_output_name(c.name, c.form, nullptr, 0, &status);
        if (c.out == nullptr) {
            EXPECT_EQ(length, -1) << c.name;
            EXPECT_EQ(status.code, GRIDVANE_E_ARGUMENT) << c.name;
            continue;
        }
        std::string out(static_cast<std::size_t>(std::max<ptrdiff_t>(length, 0)), '\0');
        EXPECT_EQ(gridvane_output_name(c.name, c.form, out.data(), out.size() + 1, &status), length);
        EXPECT_EQ(out, c.out) << c.name;
    }
    // What fits, NUL-terminated; the length is the whole name's.
    char small[4];
    EXPECT_EQ(gridvane_output_name("a/b.chan", GRIDVANE_FORM_BINARY, small, sizeof small, nullptr), 7);
    EXPECT_STREQ(small, "a/b");
    EXPECT_EQ(gridvane_output_name(nullptr, GRIDVANE_FORM_BINARY, nullptr, 0, nullptr), -1);
}

// ---- Mends ------------------------------------------------------------

TEST_F(Extension, ByteOrderMarkIsSkippedByNameAndOnStreams)
{
    const std::string text = "\357\273\2771 2\n3 4\n"; // a byte-order mark first
    std::vector<int32_t> ids = {ArrayLoad(folder.write("bom.chan", text).c_str()),
                                ArrayLoad(folder.write("bom.dat", text).c_str()),
                                ArrayLoad(folder.write("cam.dat", "\xEF\xBB\xBF" + std::string(camera)).c_str())};
    FILE *f = gvtest::stream_of(text);
    ids.push_back(ArrayRead(f, CHAN_ASCII)->id);
    std::fclose(f);
    for (const int32_t id : ids) {
        ASSERT_GT(id, 0);
        EXPECT_EQ(ArrayGetIValue(id, 0, 0), id == ids[2] ? 0.0f : 1.0f);
        EXPECT_EQ(ArrayGetIValue(id, 1, 1), id == ids[2] ? -4.5f : 4.0f);
    }
    EXPECT_EQ(ArrayGetPointer(ids[2])->flags, uint32_t{ARRAY_FRAME});
}

TEST_F(Extension, ConcurrentSavesToOneNameAllSucceed)
{
    for (const bool slots : {false, true}) {
        // The second round makes every save take a named slot, as where the
        // system has no unnamed files.
        namespace seam = gridvane_core::platform::seam;
        const std::string target = folder.path(slots ? "slots.chb" : "unnamed.chb");
        std::vector<int32_t> ids;
        for (int t = 0; t < 4; ++t) {
            ids.push_back(ArrayAlloc(64, 64));
            for (int i = 0; i < 64; ++i)
                ArrayPutIValue(ids.back(), i, i, static_cast<float>(t));
        }
        std::atomic<int> failed{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                if (slots)
                    seam::always("open O_TMPFILE", seam::Act::fail, EOPNOTSUPP);
                for (int i = 0; i < 50; ++i)
                    if (ArraySave(ids[static_cast<size_t>(t)], target.c_str(), CHAN_BIN) != 0)
                        ++failed;
            });
        for (auto &thread : threads)
            thread.join();
        EXPECT_EQ(failed.load(), 0) << (slots ? "slots" : "unnamed");
        const int32_t back = ArrayLoad(target.c_str());
        ASSERT_GT(back, 0);
        const float whole = ArrayGetIValue(back, 0, 0);
        for (int i = 0; i < 64; ++i)
            EXPECT_EQ(ArrayGetIValue(back, i, i), whole); // one save's table, not a mix
    }
    EXPECT_EQ(folder.listing(), (std::vector<std::string>{"slots.chb", "unnamed.chb"}));
}

TEST_F(Extension, ATableTooLargeForTheMachineFailsAtOnce)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators end the process on a request this large";
#elif defined(__has_feature)
#    if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "the sanitizers' allocators end the process on a request this large";
#    endif
#endif
    // 2^60 bytes, more than any address space holds: refused in one
    // request, not a row at a time until the system ends the process.
    errno = 0;
    int32_t id = 0;
    const std::string said = gvtest::messages_of([&] { id = ArrayAlloc(1 << 28, 1 << 30); });
    EXPECT_EQ(id, -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(said, "ArrayAllocate: can't allocate space\n");
}

// ---- One shape for every failure --------------------------------------

// Every function that can fail fills its status and sets errno to the
// status's error number, which is never 0.
TEST_F(Extension, EveryFailureFillsAStatusAndErrno)
{
    const std::string text = folder.write("t.dat", "1 2\n");
    const std::string bad = folder.write("bad.chb", "chan");
    gridvane_status status{};
    gridvane_report report{};
    gridvane_extent extent{};
    gridvane_binary_header header{};
    float out[1];
    const float coordinate = 0.0f;
    const char *name = "x";
    const gridvane_io no_read{nullptr, nullptr, nullptr, nullptr};
    const gridvane_reading unknown_flag{0x2, -1}, below_none{0, -2}, names{GRIDVANE_READ_NAMES_FIRST_LINE, -1};
    const struct {
        const char *what;
        std::function<bool()> call; // true when the call gave its failure result
        const gridvane_status &said;
        int32_t code;
    } cases[] = {
        {"form_of_name", [] { return gridvane_form_of_name("a.dat", 7, nullptr) == -1; }, status, 0},
        {"form_of_name", [&] { return gridvane_form_of_name(nullptr, 0, &status) == -1; }, status, GRIDVANE_E_ARGUMENT},
        {"load", [&] { return gridvane_load(bad.c_str(), 0, nullptr, nullptr, &report) == -1; }, report.status,
         GRIDVANE_E_TRUNCATED_HEADER},
        {"read", [&] { return gridvane_read(nullptr, 0, nullptr, nullptr, &report) == -1; }, report.status,
         GRIDVANE_E_ARGUMENT},
        {"read_io", [&] { return gridvane_read_io(&no_read, 0, nullptr, nullptr, &report) == -1; }, report.status,
         GRIDVANE_E_ARGUMENT},
        {"load_with", [&] { return gridvane_load_with(text.c_str(), 0, &unknown_flag, nullptr, nullptr, &report) == -1; },
         report.status, GRIDVANE_E_ARGUMENT},
        {"read_with", [&] { return gridvane_read_with(stdin, 0, &below_none, nullptr, nullptr, &report) == -1; },
         report.status, GRIDVANE_E_ARGUMENT},
        {"read_io_with", [&] { return gridvane_read_io_with(&no_read, 0, nullptr, nullptr, nullptr, &report) == -1; },
         report.status, GRIDVANE_E_ARGUMENT},
        {"load_with", [&] { return gridvane_load_with(bad.c_str(), 0, &names, nullptr, nullptr, &report) == -1; },
         report.status, GRIDVANE_E_AGAINST_READING},
        {"plan_open_with",
         [&] { return gridvane_plan_open_with(text.c_str(), 0, 2, &unknown_flag, nullptr, nullptr, &report) == nullptr; },
         report.status, GRIDVANE_E_ARGUMENT},
        {"plan_open", [&] { return gridvane_plan_open(bad.c_str(), 0, 2, nullptr, nullptr, &report) == nullptr; },
         report.status, GRIDVANE_E_TRUNCATED_HEADER},
        {"plan_read", [&] { return gridvane_plan_read(nullptr, 0, &status) == -1; }, status, GRIDVANE_E_ARGUMENT},
        {"plan_finish", [&] { return gridvane_plan_finish(nullptr, &report) == -1; }, report.status,
         GRIDVANE_E_ARGUMENT},
        {"parse_binary_header", [&] { return gridvane_parse_binary_header("nope", 4, &header, &status) == -1; },
         status, GRIDVANE_E_BAD_MAGIC},
        {"alloc", [&] { return gridvane_alloc(0, 1, 0, &status) == -1; }, status, GRIDVANE_E_ARGUMENT},
        {"extent_of", [&] { return gridvane_extent_of(99, &extent, &status) == -1; }, status,
         GRIDVANE_E_UNKNOWN_HANDLE},
        {"column_name_count", [&] { return gridvane_column_name_count(99, &status) == -1; }, status,
         GRIDVANE_E_UNKNOWN_HANDLE},
        {"column_name", [&] { return gridvane_column_name(99, 0, &status) == nullptr; }, status,
         GRIDVANE_E_UNKNOWN_HANDLE},
        {"set_column_names", [&] { return gridvane_set_column_names(99, 1, &name, &status) == -1; }, status,
         GRIDVANE_E_UNKNOWN_HANDLE},
        {"sample_many", [&] { return gridvane_sample_many(99, 1, &coordinate, 0, &coordinate, 0, out, &status) == -1; },
         status, GRIDVANE_E_UNKNOWN_HANDLE},
        // Counts no array holds, checked before the handle (whose failure writes out[0, n)).
        {"sample_many", [&] { return gridvane_sample_many(99, PTRDIFF_MAX, &coordinate, 0, &coordinate, 0, out,
                                                          &status) == -1; },
         status, GRIDVANE_E_ARGUMENT},
        {"sample_many", [&] { return gridvane_sample_many(99, 3, &coordinate, PTRDIFF_MIN / 2, &coordinate, 0, out,
                                                          &status) == -1; },
         status, GRIDVANE_E_ARGUMENT},
        {"write", [&] { return gridvane_write(nullptr, 1, 0, 0, &status) == -1; }, status, GRIDVANE_E_ARGUMENT},
        {"write_io", [&] { return gridvane_write_io(&no_read, 1, 0, 0, &status) == -1; }, status,
         GRIDVANE_E_ARGUMENT},
        {"save", [&] { return gridvane_save(99, folder.path("s.chb").c_str(), 0, 0, &status) == -1; }, status,
         GRIDVANE_E_UNKNOWN_HANDLE},
        {"file_open", [&] { return gridvane_file_open(folder.path("no/x").c_str(), &status) == nullptr; }, status,
         GRIDVANE_E_OPEN},
        {"file_write", [&] { return gridvane_file_write(nullptr, "x", 1, &status) == -1; }, status,
         GRIDVANE_E_ARGUMENT},
        {"file_commit", [&] { return gridvane_file_commit(nullptr, &status) == -1; }, status, GRIDVANE_E_ARGUMENT},
    };
    for (const auto &c : cases) {
        status = gridvane_status{};
        report = gridvane_report{};
        errno = 0;
        EXPECT_TRUE(c.call()) << c.what;
        if (c.code == 0) { // a NULL status is allowed, and errno still says why
            EXPECT_EQ(errno, EINVAL) << c.what;
        } else {
            EXPECT_EQ(c.said.code, c.code) << c.what;
            EXPECT_NE(c.said.error, 0) << c.what;
            EXPECT_EQ(errno, c.said.error) << c.what;
        }
    }
    // The input's fault is EIO, as ArrayLoad says it; a refusal ECANCELED.
    EXPECT_EQ(gridvane_load(bad.c_str(), 0, nullptr, nullptr, &report), -1);
    EXPECT_EQ(report.status.error, EIO);
    EXPECT_EQ(gridvane_load(folder.write("c.dat", "1,5\n").c_str(), 0, refuse_errors, nullptr, &report), -1);
    EXPECT_EQ(report.status.error, ECANCELED);
    EXPECT_GT(gridvane_load(text.c_str(), 0, nullptr, nullptr, &report), 0);
    EXPECT_EQ(report.status.code, GRIDVANE_OK);
}

// An observer that throws stops the read where it threw, and its exception
// goes no further than the call.
TEST_F(Extension, AnObserverThatThrowsStopsTheRead)
{
    const std::string path = folder.write("c.dat", "1 2\n3,5 4\n");
    const int64_t before = gvtest::blocks_in_use();
    const gridvane_observer throwing = [](const gridvane_finding *, void *) -> int {
        throw std::runtime_error("the host's own");
    };
    gridvane_report report{};
    errno = 0;
    EXPECT_EQ(gridvane_load(path.c_str(), 0, throwing, nullptr, &report), -1);
    EXPECT_EQ(report.status.code, GRIDVANE_E_OBSERVER);
    EXPECT_EQ(report.status.error, ECANCELED);
    EXPECT_EQ(errno, ECANCELED);
    EXPECT_EQ(report.status.line, 2);
    FILE *f = gvtest::stream_of("1 2\n3,5 4\n");
    EXPECT_EQ(gridvane_read(f, 0, throwing, nullptr, &report), -1);
    std::fclose(f);
    EXPECT_EQ(report.status.code, GRIDVANE_E_OBSERVER);
    gridvane_plan *plan = gridvane_plan_open(path.c_str(), 0, 2, throwing, nullptr, &report);
    if (plan != nullptr) {
        EXPECT_EQ(gridvane_plan_finish(plan, &report), -1);
    }
    EXPECT_EQ(report.status.code, GRIDVANE_E_OBSERVER);
    EXPECT_EQ(gvtest::blocks_in_use(), before);
    EXPECT_EQ(gridvane_core::registry::head(), nullptr);
}

// Bytes through the caller's own functions: a memory buffer read in small
// pieces, a table written back through short writes, and the failures and
// exceptions of those functions as statuses.
TEST_F(Extension, CallbackStreamsReadAndWriteWithoutAFile)
{
    struct Memory {
        std::string bytes;
        size_t at = 0, piece = 3;
        ptrdiff_t fail_with = 0; // a negative error number to give at once
        int flush_with = 0;
        bool throws = false;
    };
    const auto read = [](void *c, void *buffer, size_t size) -> ptrdiff_t {
        auto &m = *static_cast<Memory *>(c);
        if (m.throws)
            throw std::bad_alloc();
        if (m.fail_with != 0)
            return m.fail_with;
        const size_t n = std::min({size, m.piece, m.bytes.size() - m.at});
        std::memcpy(buffer, m.bytes.data() + m.at, n);
        m.at += n;
        return static_cast<ptrdiff_t>(n);
    };
    const auto write = [](void *c, const void *data, size_t size) -> ptrdiff_t {
        auto &m = *static_cast<Memory *>(c);
        if (m.throws)
            throw std::bad_alloc();
        if (m.fail_with != 0)
            return m.fail_with;
        const size_t n = std::min(size, m.piece);
        m.bytes.append(static_cast<const char *>(data), n);
        return static_cast<ptrdiff_t>(n);
    };
    const auto flush = [](void *c) -> int { return static_cast<Memory *>(c)->flush_with; };

    Memory in{camera};
    const gridvane_io reader{&in, read, nullptr, nullptr};
    gridvane_report report{};
    const int32_t id = gridvane_read_io(&reader, GRIDVANE_FORM_DECIDE, nullptr, nullptr, &report);
    ASSERT_GT(id, 0) << message_of(report.status);
    EXPECT_EQ(report.kind, GRIDVANE_KIND_ASCII_TABLE);
    EXPECT_EQ(names_of(id), (std::vector<std::string>{"pan", "tilt"}));

    for (const int32_t form : {GRIDVANE_FORM_TABLE, GRIDVANE_FORM_BINARY}) {
        Memory out;
        const gridvane_io writer{&out, nullptr, write, flush};
        gridvane_status status{};
        ASSERT_EQ(gridvane_write_io(&writer, id, form, GRIDVANE_WRITE_DROP_FRAMES, &status), 0);
        FILE *f = gvtest::temporary_stream();
        ASSERT_EQ(gridvane_write(f, id, form, GRIDVANE_WRITE_DROP_FRAMES, &status), 0);
        EXPECT_EQ(out.bytes, gvtest::contents_of(f)) << form; // the same bytes as through a FILE
        std::fclose(f);
        Memory back{out.bytes};
        const gridvane_io again{&back, read, nullptr, nullptr};
        const int32_t copy = gridvane_read_io(&again, GRIDVANE_FORM_DECIDE, nullptr, nullptr, &report);
        ASSERT_GT(copy, 0) << form;
        EXPECT_TRUE(gvtest::same_bits(gvtest::rows_of(copy), gvtest::rows_of(id)) || form == GRIDVANE_FORM_BINARY);
    }

    // A result below -INT_MAX stands for no error number: EIO.
    const struct {
        ptrdiff_t fail_with;
        bool throws;
        int32_t code;
        int error;
    } failures[] = {{-ENOSPC, false, GRIDVANE_E_WRITE, ENOSPC},
                    {PTRDIFF_MIN, false, GRIDVANE_E_WRITE, EIO},
                    {-ptrdiff_t{INT_MAX} - 1, false, GRIDVANE_E_WRITE, EIO},
                    {0, true, GRIDVANE_E_OBSERVER, ECANCELED}};
    for (const auto &f : failures) {
        Memory broken{camera};
        broken.fail_with = f.fail_with;
        broken.throws = f.throws;
        const gridvane_io both{&broken, read, write, flush};
        EXPECT_EQ(gridvane_read_io(&both, GRIDVANE_FORM_ASCII, nullptr, nullptr, &report), -1);
        EXPECT_EQ(report.status.code, f.throws ? GRIDVANE_E_OBSERVER : GRIDVANE_E_READ);
        EXPECT_EQ(report.status.error, f.error);
        gridvane_status status{};
        EXPECT_EQ(gridvane_write_io(&both, id, GRIDVANE_FORM_TABLE, 0, &status), -1);
        EXPECT_EQ(status.code, f.code);
        EXPECT_EQ(status.error, f.error);
    }
    for (const int flush_with : {-ENOSPC, INT_MIN}) {
        Memory flushed;
        flushed.flush_with = flush_with;
        const gridvane_io writer{&flushed, nullptr, write, flush};
        gridvane_status status{};
        EXPECT_EQ(gridvane_write_io(&writer, id, GRIDVANE_FORM_TABLE, 0, &status), -1);
        EXPECT_EQ(status.code, GRIDVANE_E_WRITE);
        EXPECT_EQ(status.error, flush_with == INT_MIN ? EIO : ENOSPC);
    }
}

// A table of 2^24 rows or more: its float count rounds, its extent does not.
TEST_F(Extension, ExtentsAreExactBeyondWhatAFloatCounts)
{
    constexpr int32_t rows = (1 << 24) + 1;
    gridvane_status status{};
    const int32_t id = gridvane_alloc(rows, 1, ARRAY_FRAME, &status);
    ASSERT_GT(id, 0);
    EXPECT_EQ(ArrayCountV(id), 16777216.0f); // the nearest float
    gridvane_extent e{};
    ASSERT_EQ(gridvane_extent_of(id, &e, &status), 0);
    EXPECT_EQ(e.rows, rows);
    EXPECT_EQ(e.columns, 1);
    EXPECT_EQ(e.frames, 1);
    EXPECT_EQ(e.type, CHAN_ASCII);
    // A count a caller edited is taken as edited, within the storage.
    ArrayGetPointer(id)->countV = 5.5f;
    ASSERT_EQ(gridvane_extent_of(id, &e, &status), 0);
    EXPECT_EQ(e.rows, 5);
    ArrayGetPointer(id)->countV = 1e30f;
    ASSERT_EQ(gridvane_extent_of(id, &e, &status), 0);
    EXPECT_EQ(e.rows, rows);
}

} // namespace

// A first row of 2,000 values and then lines of one: each row of 8,000
// bytes comes from 2 bytes of text, so the table passes 256 times its input
// plus the 16 MiB allowance at row 2,378 (2378 x 8000 > 256 x (4000 + 2 x
// 2377) + 2^24). Every door fails there, with the same place; lifting or
// raising the bound reads the file.
std::string out_of_proportion(int rows)
{
    std::string text;
    for (int c = 0; c < 2000; ++c)
        text += c == 0 ? "0" : " 0";
    text += "\n";
    for (int r = 1; r < rows; ++r)
        text += "0\n";
    return text;
}

TEST_F(Extension, AReadOutOfProportionToItsInputFailsWhereItPasses)
{
    ASSERT_EQ(gridvane_read_growth(-1), GRIDVANE_GROWTH_DEFAULT);
    const std::string text = out_of_proportion(2400);
    const std::string path = folder.write("amp.dat", text);
    gridvane_report report{};
    struct Memory {
        const std::string &bytes;
        size_t at = 0;
    };
    const auto read = [](void *c, void *buffer, size_t size) -> ptrdiff_t {
        auto &m = *static_cast<Memory *>(c);
        const size_t n = std::min(size, m.bytes.size() - m.at);
        std::memcpy(buffer, m.bytes.data() + m.at, n);
        m.at += n;
        return static_cast<ptrdiff_t>(n);
    };
    const struct {
        const char *door;
        std::function<int32_t(gridvane_observer)> load;
    } doors[] = {
        {"load", [&](gridvane_observer o) { return gridvane_load(path.c_str(), 0, o, nullptr, &report); }},
        {"read", [&](gridvane_observer o) {
             FILE *f = gvtest::stream_of(text);
             const int32_t id = gridvane_read(f, GRIDVANE_FORM_ASCII, o, nullptr, &report);
             std::fclose(f);
             return id;
         }},
        {"read_io", [&](gridvane_observer o) {
             Memory m{text};
             const gridvane_io io{&m, read, nullptr, nullptr};
             return gridvane_read_io(&io, GRIDVANE_FORM_DECIDE, o, nullptr, &report);
         }},
    };
    const auto let_pass = [](const gridvane_finding *, void *) { return 0; };
    for (const auto &d : doors)
        for (const gridvane_observer o : {gridvane_observer{nullptr}, gridvane_observer{let_pass}}) {
            report = gridvane_report{};
            EXPECT_EQ(d.load(o), -1) << d.door;
            EXPECT_EQ(report.status.code, GRIDVANE_E_OUT_OF_PROPORTION) << d.door;
            EXPECT_EQ(report.status.error, EIO) << d.door;
            EXPECT_EQ(report.status.line, 2378) << d.door;
            EXPECT_EQ(report.status.column, 1) << d.door;
            EXPECT_EQ(report.status.offset, 4000 + 2 * 2376) << d.door;
            EXPECT_EQ(report.status.expected, 256) << d.door;
            EXPECT_EQ(report.status.found, 2378 * 8000) << d.door;
        }
    EXPECT_EQ(message_of(report.status).rfind("the table would reach 19024000 bytes, more than 256 times", 0), 0u);

    // The 20 functions fail as when storage runs out, and leave errno.
    errno = 0;
    EXPECT_EQ(gvtest::messages_of([&] { EXPECT_EQ(ArrayLoad(path.c_str()), -1); }),
              "Gridvane (ChanReadAscii): can't allocate space\n");
    EXPECT_EQ(errno, 0);

    // Lifted, or raised past what the file needs, the bound lets it through.
    for (const int64_t factor : {int64_t{0}, int64_t{4000}}) {
        EXPECT_EQ(gridvane_read_growth(factor), GRIDVANE_GROWTH_DEFAULT);
        const int32_t id = gridvane_load(path.c_str(), 0, nullptr, nullptr, &report);
        EXPECT_GT(id, 0) << factor;
        EXPECT_EQ(ArrayCountV(id), 2400.0f);
        ArrayFree(id);
        EXPECT_EQ(gridvane_read_growth(GRIDVANE_GROWTH_DEFAULT), factor);
    }
}
