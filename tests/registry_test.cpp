#include "support.hpp"

#include <climits>
#include <random>

using gvtest::messages_of;
using gvtest::walk_registry;

namespace {

class Registry : public gvtest::RegistryTest {};

TEST_F(Registry, HandlesCountUpAndRestartWhenEmpty)
{
    EXPECT_EQ(ArrayAlloc(2, 2), 1);
    EXPECT_EQ(ArrayAlloc(2, 2), 2);
    EXPECT_EQ(ArrayFree(1), 0);
    EXPECT_EQ(ArrayFree(2), 0);
    EXPECT_EQ(ArrayAlloc(2, 2), 1);
}

TEST_F(Registry, FreedHandleIsNotReusedWhileOthersLive)
{
    for (int i = 1; i <= 3; ++i)
        ASSERT_EQ(ArrayAlloc(1, 1), i);
    EXPECT_EQ(ArrayFree(2), 0);
    EXPECT_EQ(ArrayAlloc(1, 1), 4);
    EXPECT_EQ(ArrayType(1), CHAN_ASCII);
    EXPECT_EQ(ArrayType(3), CHAN_ASCII);
    EXPECT_EQ(ArrayType(2), -1);
    EXPECT_EQ(walk_registry(), (std::vector<int32_t>{1, 3, 4}));
}

TEST_F(Registry, AllocChecksCounts)
{
    const struct {
        int32_t rows, cols, result;
        const char *message;
    } cases[] = {
        {1, 1, 1, ""},
        {0, 5, -1, "ArrayAllocate: rows and columns must be > 1\n"},
        {5, -1, -1, "ArrayAllocate: rows and columns must be > 1\n"},
        {INT_MIN, INT_MIN, -1, "ArrayAllocate: rows and columns must be > 1\n"},
    };
    for (const auto &c : cases) {
        gridvane_core::registry::discard_all();
        int32_t id = 0;
        EXPECT_EQ(messages_of([&] { id = ArrayAlloc(c.rows, c.cols); }), c.message) << c.rows << "x" << c.cols;
        EXPECT_EQ(id, c.result);
    }
}

TEST_F(Registry, AllocMakesZeroedAsciiTable)
{
    const int32_t id = ArrayAlloc(4, 3);
    EXPECT_EQ(ArrayCountV(id), 4.0f);
    EXPECT_EQ(ArrayCountU(id), 3.0f);
    EXPECT_EQ(ArrayType(id), CHAN_ASCII);
    ArrayNode *node = ArrayGetPointer(id);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->id, id);
    EXPECT_EQ(node->flags, 0u);
    EXPECT_EQ(ArrayGetArray(id), node->rows);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(node->rows[r][c], 0.0f);
}

TEST_F(Registry, UnknownHandleGivesSentinelsSilently)
{
    for (bool populated : {false, true}) {
        if (populated)
            ArrayAlloc(2, 2);
        for (int32_t id : {0, -1, 7, INT_MAX}) {
            const std::string said = messages_of([&] {
                EXPECT_EQ(ArrayType(id), -1);
                EXPECT_EQ(ArrayCountU(id), -1.0f);
                EXPECT_EQ(ArrayCountV(id), -1.0f);
                EXPECT_EQ(ArrayGetArray(id), nullptr);
                EXPECT_EQ(ArrayGetPointer(id), nullptr);
                EXPECT_EQ(ArrayFree(id), -1);
                EXPECT_EQ(ArrayGetValue(id, 0.5f, 0.5f), 0.0f);
                EXPECT_EQ(ArrayGetIValue(id, 0, 0), -1.0f);
                EXPECT_EQ(ArrayPutIValue(id, 0, 0, 3.0f), -1.0f);
            });
            EXPECT_EQ(said, "");
        }
    }
}

// A thread remembers the tables it found; what it remembers must never
// outlive the table: not across a free, nor when the freed table's record is
// reused for another table (even one that gets the same handle), nor when
// handles share a place in what it remembers.
TEST_F(Registry, LookupsFollowFreesReuseAndSharedPlaces)
{
    for (int32_t i = 1; i <= 40; ++i)
        ASSERT_EQ(ArrayAlloc(i, 1), i);
    for (int round = 0; round < 3; ++round)
        for (int32_t id : {1, 17, 33, 2, 18})
            EXPECT_EQ(ArrayCountV(id), static_cast<float>(id)) << id;

    EXPECT_EQ(ArrayType(17), CHAN_ASCII);
    EXPECT_EQ(ArrayFree(17), 0);
    EXPECT_EQ(ArrayType(17), -1);
    EXPECT_EQ(ArrayAlloc(7, 7), 41); // reuses the record of 17
    EXPECT_EQ(ArrayType(17), -1);
    EXPECT_EQ(ArrayCountV(41), 7.0f);

    gridvane_core::registry::discard_all();
    ASSERT_EQ(ArrayAlloc(2, 3), 1);
    EXPECT_EQ(ArrayCountU(1), 3.0f);
    EXPECT_EQ(ArrayFree(1), 0);
    ASSERT_EQ(ArrayAlloc(5, 6), 1); // the same record, the same handle
    EXPECT_EQ(ArrayCountU(1), 6.0f);
    EXPECT_EQ(ArrayCountV(1), 5.0f);
}

TEST_F(Registry, FreeingAnyPositionKeepsListCircular)
{
    const struct {
        int32_t freed;
        std::vector<int32_t> left;
    } cases[] = {{1, {2, 3, 4}}, {4, {1, 2, 3}}, {2, {1, 3, 4}}};
    for (const auto &c : cases) {
        gridvane_core::registry::discard_all();
        for (int i = 0; i < 4; ++i)
            ArrayAlloc(2, 2);
        EXPECT_EQ(ArrayFree(c.freed), 0);
        EXPECT_EQ(walk_registry(), c.left);
    }
    gridvane_core::registry::discard_all();
    ArrayAlloc(1, 1);
    ArrayNode *only = ArrayGetPointer(1);
    EXPECT_EQ(only->next, only);
    EXPECT_EQ(only->prev, only);
    EXPECT_EQ(ArrayFree(1), 0);
    EXPECT_EQ(gridvane_core::registry::head(), nullptr);
    EXPECT_EQ(gridvane_core::registry::tail(), nullptr);
}

TEST_F(Registry, TablesOfOtherFamiliesStayAndCarryNoSamples)
{
    ArrayNode *node = gvtest::register_rows({{1, 2}, {3, 4}}, 7);
    const int32_t id = node->id;
    EXPECT_EQ(ArrayFree(id), -1);
    EXPECT_EQ(ArrayType(id), 7);
    EXPECT_EQ(messages_of([&] { EXPECT_EQ(ArrayGetArray(id), nullptr); }),
              "ArrayGetArray undefined for MED or SPLINE types\n");
    EXPECT_EQ(messages_of([&] { EXPECT_EQ(ArrayPutIValue(id, 0, 0, 2.5f), 2.5f); }),
              "illegal to write into MED or SPLINE type arrays\n");
    EXPECT_EQ(node->rows[0][0], 1.0f);
    EXPECT_EQ(ArrayGetValue(id, 0, 0), -1.0f);
    EXPECT_EQ(ArrayGetIValue(id, 0, 0), -1.0f);
}

TEST_F(Registry, HandlesNeverRepeatAfterTheCounterWraps)
{
    ASSERT_EQ(ArrayAlloc(1, 1), 1);
    ASSERT_EQ(ArrayAlloc(1, 1), 2);
    gridvane_core::registry::set_last_id(INT_MAX - 1);
    EXPECT_EQ(ArrayAlloc(1, 1), INT_MAX);
    // 1 and 2 are still in use: the count starts again above them.
    EXPECT_EQ(ArrayAlloc(1, 1), 3);
    EXPECT_EQ(ArrayFree(1), 0);
    gridvane_core::registry::set_last_id(INT_MAX);
    EXPECT_EQ(ArrayAlloc(1, 1), 1);
    EXPECT_EQ(walk_registry(), (std::vector<int32_t>{2, INT_MAX, 3, 1}));
}

TEST_F(Registry, FailedAllocationLeavesRegistryAsItWas)
{
    // The freed table's record is reused by the next table, so the record
    // of the table that fails below is a new one.
    for (int i = 0; i < 3; ++i)
        ArrayAlloc(3, 3);
    ArrayFree(1);
    ASSERT_EQ(ArrayAlloc(3, 3), 4);
    const auto before = walk_registry();
    const int64_t live = gvtest::blocks_in_use();
    // A 3x4 table takes its storage (one block), its index and a record:
    // fail each in turn.
    for (uint64_t n = 1; n <= 3; ++n) {
        gridvane_core::heap::fail_nth_allocation(n);
        int32_t id = 0;
        // The seam fails without touching errno, as an allocator may, and
        // errno may say anything before: the failure says ENOMEM.
        errno = EINVAL;
        const std::string said = messages_of([&] { id = ArrayAlloc(3, 4); });
        const int error = errno;
        gridvane_core::heap::fail_nth_allocation(0);
        EXPECT_EQ(id, -1) << n;
        EXPECT_EQ(error, ENOMEM) << n;
        EXPECT_EQ(said, n <= 2 ? "ArrayAllocate: can't allocate space\n" : "Can't allocate Tail->next node\n") << n;
        EXPECT_EQ(walk_registry(), before);
        EXPECT_EQ(gvtest::blocks_in_use(), live);
        EXPECT_EQ(gridvane_core::registry::last_id(), 4);
    }
    EXPECT_EQ(ArrayAlloc(3, 4), 5);

    gridvane_core::registry::discard_all();
    gridvane_core::heap::fail_nth_allocation(3);
    EXPECT_EQ(messages_of([] { EXPECT_EQ(ArrayAlloc(1, 1), -1); }), "Can't allocate array node\n");
    EXPECT_EQ(gridvane_core::registry::head(), nullptr);
}

TEST_F(Registry, ManyTablesStayReachableInRandomOrder)
{
    std::mt19937 rng(7);
    std::vector<int32_t> live;
    for (int i = 0; i < 20000; ++i)
        live.push_back(ArrayAlloc(1, 1));
    std::shuffle(live.begin(), live.end(), rng);
    for (size_t i = 0; i < live.size(); i += 2)
        ASSERT_EQ(ArrayFree(live[i]), 0);
    for (size_t i = 0; i < live.size(); ++i)
        ASSERT_EQ(ArrayType(live[i]), i % 2 ? CHAN_ASCII : -1) << live[i];
    const auto ids = walk_registry();
    EXPECT_EQ(ids.size(), live.size() / 2);
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
}

} // namespace

namespace {

// The first table a process registers: a lookup made before it was freed
// does not find it after (a thread's cache keeps the record's serial, which
// must never be one a freed record has).
TEST_F(Registry, TheFirstTableFreedIsGoneForEarlierLookups)
{
    const int32_t id = ArrayAlloc(1, 1); // the first since the fixture's fresh start
    ASSERT_NE(ArrayGetPointer(id), nullptr);
    ASSERT_EQ(ArrayFree(id), 0);
    EXPECT_EQ(ArrayGetPointer(id), nullptr);
    EXPECT_EQ(ArrayType(id), -1);
}

} // namespace

