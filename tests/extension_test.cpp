// The extension interface as its clients use it: loads with a form and a
// report, column names kept with tables, the table form written and read
// back, saves that refuse before they touch a file, and the library's own
// replacement of a client's file.
#include "support.hpp"

#include "gridvane_ext.h"
#include "platform/files.hpp"

#include <cmath>
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

} // namespace
