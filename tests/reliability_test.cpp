// Bad input files kept as regressions, and allocation failure injected at
// every step of a load and a read.
#include "support.hpp"

#include "gridvane_ext.h"
#include "io/loading.hpp"
#include "platform/system.hpp"

#include <cerrno>
#include <cmath>
#include <functional>
#include <string>

using gvtest::inject_every_failure;
using gvtest::messages_of;
namespace seam = gridvane_core::platform::seam;

namespace {

class BadInput : public gvtest::RegistryTest {};

std::string bad_file(const char *name) { return std::string(GRIDVANE_TEST_DATA) + "/bad/" + name; }

constexpr char eof[] = "Gridvane (ChanReadAscii): EOF reached\n";
constexpr char bin_no_space[] = "Gridvane (ChanReadBin): can't allocate space\n";

TEST_F(BadInput, EachFileGivesItsDocumentedOutcome)
{
    const struct {
        const char *file;
        int32_t columns, rows; // -1: the load fails
        int error;             // checked on failure; 0: left as it was
        const char *said;
    } cases[] = {
        {"counts_max.chb", -1, -1, EIO, ""},
        {"counts_max_big.chb", -1, -1, EIO, ""},
        {"counts_negative_rows.chb", -1, -1, ENOMEM, bin_no_space},
        {"counts_negative_cols.chb", -1, -1, ENOMEM, bin_no_space},
        {"counts_negative_cols_no_rows.chb", -1, -1, ENOMEM, bin_no_space},
        {"header_only.chb", -1, -1, EIO, ""},
        {"header_cut.chb", -1, -1, EIO, ""},
        {"magic_wrong.chb", -1, -1, EIO, "Gridvane (ChanReadBin): invalid magic number\n"},
        {"text_named_binary.chb", -1, -1, EIO, "Gridvane (ChanReadBin): invalid magic number\n"},
        {"long_line.dat", 1, 2, 0, ""},
        {"million_tokens.dat", 1000000, 1, 0, ""},
        {"million_spaces.dat", 1, 1, 0, ""},
        {"nul_inside.dat", 2, 2, 0, ""},
        {"only_comments.chan", -1, -1, 0, eof},
        {"only_comments.dat", -1, -1, EIO, "Gridvane (ArrayLoad):  Premature EOF reached\n"},
        {"table_no_rule.chan", -1, -1, 0, eof},
        {"table_rule_no_data.chan", -1, -1, 0, eof},
        {"huge_header.chan", -1, -1, 0, eof},
        {"lone_frame.chan", 0, 2, 0, ""},
        {"cr_first.dat", -1, -1, EIO, "Gridvane (ArrayLoad): invalid file format\n"},
        {"letter_first.dat", -1, -1, EIO, "Gridvane (ArrayLoad): invalid file format\n"},
        {"empty.dat", -1, -1, EIO, "Gridvane (ArrayLoad):  Premature EOF reached\n"},
        {"extreme_numbers.dat", 6, 1, 0, ""},
        {"ragged.dat", 3, 3, 0, ""},
    };
    for (const auto &c : cases) {
        gridvane_core::registry::discard_all();
        const std::string path = bad_file(c.file);
        errno = 0;
        int32_t id = 0;
        const std::string said = messages_of([&] { id = ArrayLoad(path.c_str()); });
        const int error = errno;
        EXPECT_EQ(said, c.said) << c.file;
        if (c.columns < 0) {
            EXPECT_EQ(id, -1) << c.file;
            EXPECT_EQ(error, c.error) << c.file;
            EXPECT_EQ(gridvane_core::registry::head(), nullptr) << c.file;
            continue;
        }
        ASSERT_EQ(id, 1) << c.file;
        EXPECT_EQ(ArrayCountU(id), static_cast<float>(c.columns)) << c.file;
        EXPECT_EQ(ArrayCountV(id), static_cast<float>(c.rows)) << c.file;
    }
}

TEST_F(BadInput, ExtremeTextValuesReadAsAtofWould)
{
    const int32_t id = ArrayLoad(bad_file("extreme_numbers.dat").c_str());
    ASSERT_EQ(id, 1);
    const float *row = ArrayGetArray(id)[0];
    EXPECT_EQ(row[0], 0.0f);
    EXPECT_EQ(row[1], INFINITY);
    EXPECT_EQ(row[2], 0.0f);
    EXPECT_EQ(row[3], -INFINITY);
    EXPECT_TRUE(std::isnan(row[4]));
    EXPECT_EQ(row[5], INFINITY);
    EXPECT_EQ(ArrayGetFrame(ArrayLoad(bad_file("lone_frame.chan").c_str()), 1), 6);
}

TEST_F(BadInput, AllocationFailsAtEveryStep)
{
    ArrayAlloc(1, 1);
    const std::string binary = std::string(GRIDVANE_TEST_DATA) + "/../../examples/data/terrain.chb";
    const std::string text = std::string(GRIDVANE_TEST_DATA) + "/../../examples/data/camera.chan";
    const std::vector<std::string> read_node = {"Gridvane (ArrayRead):  Can't allocate Tail->next node\n"};

    auto load = [](const std::string &p) {
        return [p] {
            const int32_t id = ArrayLoad(p.c_str());
            ArrayFree(id);
            return id > 0;
        };
    };
    std::vector<std::string> bin_messages = read_node, ascii_messages = read_node;
    bin_messages.push_back(bin_no_space);
    ascii_messages.push_back("Gridvane (ChanReadAscii): can't allocate space\n");

    const int binary_loads = inject_every_failure(load(binary), bin_messages, ENOMEM);
    EXPECT_GE(binary_loads, 3); // index, one pack of 5 rows, record
    const int text_loads = inject_every_failure(load(text), ascii_messages, 0);
    EXPECT_GE(text_loads, 4); // line block, tokens, index, rows (the record is one the binary loads freed)
    const int injected = binary_loads + text_loads;

    // The bare readers release everything they obtained.
    auto bare = [&](bool is_binary) {
        return [&, is_binary] {
            FILE *f = std::fopen((is_binary ? binary : text).c_str(), "rb");
            int32_t u, v;
            float **rows = is_binary ? ChanReadBin(f, &u, &v) : ChanReadAscii(f, &u, &v);
            std::fclose(f);
            if (rows == nullptr)
                return false;
            gvtest::take_rows(rows, u, v);
            return true;
        };
    };
    int bare_binary = inject_every_failure(bare(true), {bin_no_space}, ENOMEM);
    int bare_text = inject_every_failure(bare(false), {"Gridvane (ChanReadAscii): can't allocate space\n"}, 0);
    EXPECT_GE(bare_binary, 6);
    EXPECT_GE(bare_text, 9); // line block, tokens, index, 6 rows
    RecordProperty("faults_injected", injected + bare_binary + bare_text);
}

// The roads of the extension interface, each with every allocation failed
// in turn and then every one from the nth on (inject_every_failure), and
// with every system call failed in turn and then every one from the nth on:
// a load by name, on a stream and in parts; the four saves; a client's
// file; a registration. Each fails with its status and leaves nothing
// behind, and a save's target is the old file or the new one, whole.
class Failing : public gvtest::RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        smallest_ = gridvane_core::io::set_smallest_part(64);
        std::string text = "| a b\n---\n";
        for (int r = 0; r < 80; ++r)
            text += std::to_string(r) + " | " + std::to_string(r * 0.5) + " 2\n";
        text_ = folder_.write("cam.chan", text);
        const int32_t id = gridvane_load(text_.c_str(), 0, nullptr, nullptr, nullptr);
        expected_ = gvtest::rows_of(id);
        ArrayFree(id);
    }
    void TearDown() override
    {
        gridvane_core::io::set_smallest_part(smallest_);
        seam::arm(0, seam::Act::none);
        RegistryTest::TearDown();
    }

    // The roads, each true when it succeeded (and then checked whole).
    std::vector<std::pair<std::string, std::function<bool()>>> roads()
    {
        const auto loaded = [this](int32_t id) {
            const bool ok = id > 0 && gvtest::same_bits(gvtest::rows_of(id), expected_);
            ArrayFree(id);
            return ok;
        };
        const std::string target = folder_.path("out.chan"), text = text_;
        return {
            {"load", [=] { return loaded(gridvane_load(text.c_str(), 0, nullptr, nullptr, nullptr)); }},
            {"stream",
             [=] {
                 FILE *f = std::fopen(text.c_str(), "rb");
                 const int32_t id = gridvane_read(f, 0, nullptr, nullptr, nullptr);
                 std::fclose(f);
                 return loaded(id);
             }},
            {"parts",
             [=] {
                 gridvane_plan *plan = gridvane_plan_open(text.c_str(), 0, 3, nullptr, nullptr, nullptr);
                 if (plan == nullptr)
                     return false;
                 for (int32_t k = 0; k < gridvane_plan_parts(plan); k += 2)
                     gridvane_plan_read(plan, k, nullptr);
                 return loaded(gridvane_plan_finish(plan, nullptr));
             }},
            {"registration",
             [] {
                 const int32_t id = gridvane_alloc(3, 2, ARRAY_FRAME, nullptr);
                 const char *names[] = {"x", "y"};
                 const bool ok = id > 0 && gridvane_set_column_names(id, 2, names, nullptr) == 0;
                 ArrayFree(id);
                 return ok;
             }},
            {"client file",
             [=] {
                 gridvane_file *file = gridvane_file_open(target.c_str(), nullptr);
                 if (file == nullptr)
                     return false;
                 if (gridvane_file_write(file, "new\n", 4, nullptr) != 0) {
                     gridvane_file_abandon(file);
                     return false;
                 }
                 return gridvane_file_commit(file, nullptr) == 0;
             }},
        };
    }

    gvtest::TempFolder folder_;
    std::string text_;
    gvtest::Rows expected_;
    std::int64_t smallest_ = 0;
};

TEST_F(Failing, EveryAllocationAndEveryOneAfter)
{
    for (const auto &entry : roads()) {
        const std::string &name = entry.first; // (clang captures no structured binding)
        const std::function<bool()> &road = entry.second;
        const std::string target = folder_.write("out.chan", "old\n");
        const int failures = inject_every_failure(
            [&] {
                const bool ok = road();
                const std::string now = gvtest::TempFolder::read(target);
                EXPECT_TRUE(now == "old\n" || now == "new\n") << name;
                return ok;
            },
            {""}, ENOMEM);
        EXPECT_GT(failures, 1) << name;
    }
}

TEST_F(Failing, EverySystemCallAndEveryOneAfter)
{
    for (const auto &entry : roads()) {
        const std::string &name = entry.first; // (clang captures no structured binding)
        const std::function<bool()> &road = entry.second;
        const std::string target = folder_.write("out.chan", "old\n");
        seam::start_log();
        ASSERT_TRUE(road()) << name;
        const char *calls[512];
        const std::size_t n = std::min<std::size_t>(seam::stop_log(calls, std::size(calls)), std::size(calls));
        const auto before = gvtest::walk_registry();
        const int64_t live = gvtest::blocks_in_use();
        int failed = 0;
        for (const bool and_after : {false, true})
            for (std::size_t k = 1; k <= n; ++k) {
                folder_.write("out.chan", "old\n");
                seam::arm(k, seam::Act::fail, EIO, and_after);
                errno = 0;
                const bool ok = road();
                const int error = errno;
                seam::arm(0, seam::Act::none);
                const std::string what = name + ": call " + std::to_string(k) + " " + calls[k - 1] +
                                         (and_after ? " and after" : "");
                failed += !ok;
                if (!ok && name != "registration") {
                    EXPECT_EQ(error, EIO) << what;
                }
                const std::string now = gvtest::TempFolder::read(target);
                EXPECT_TRUE(now == "old\n" || now == "new\n") << what;
                EXPECT_EQ(gvtest::walk_registry(), before) << what;
                EXPECT_EQ(gvtest::blocks_in_use(), live) << what;
                // A new file whose removal failed too is left for the next
                // save of the name, which takes it away.
                if (folder_.listing().size() > 2) {
                    ASSERT_TRUE(road()) << what;
                }
                EXPECT_EQ(gvtest::without_recent_slots(folder_.listing(), folder_.dir().string(), "out.chan"),
                          (std::vector<std::string>{"cam.chan", "out.chan"}))
                    << what;
            }
        EXPECT_TRUE(failed > 0 || n == 0) << name; // a stream or a registration makes no system call of ours
    }
}

} // namespace

namespace {

// The two seams every failure test above stands on fail the nth call alone
// or, continuously, every call from the nth on until disarmed: a seam that
// quietly failed only once would leave every cleanup after a failure
// untried while the tests still pass.
TEST(Seams, FailTheNthCallOrEveryOneFromTheNthOn)
{
    namespace heap = gridvane_core::heap;
    const struct {
        const char *name;
        std::function<void(std::uint64_t, bool)> arm;
        std::function<bool()> call_fails;
    } seams[] = {
        {"heap", [](std::uint64_t n, bool and_after) { heap::fail_nth_allocation(n, and_after); },
         [] {
             void *block = heap::allocate(1);
             heap::release(block);
             return block == nullptr;
         }},
        {"system calls", [](std::uint64_t n, bool and_after) { seam::arm(n, seam::Act::fail, EIO, and_after); },
         [] {
             int error = 0;
             return seam::next("read", error) == seam::Act::fail && error == EIO;
         }},
    };
    for (const auto &s : seams)
        for (const bool and_after : {false, true}) {
            s.arm(3, and_after);
            std::string failed;
            for (int k = 0; k < 8; ++k)
                failed += s.call_fails() ? 'x' : '.';
            s.arm(0, false);
            EXPECT_EQ(failed, and_after ? "..xxxxxx" : "..x.....") << s.name;
            EXPECT_FALSE(s.call_fails()) << s.name << ", disarmed";
        }
}

} // namespace
