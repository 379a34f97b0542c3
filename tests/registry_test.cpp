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
        gridvane::registry::discard_all();
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
            EXPECT_EQ(gridvane::registry::current(), nullptr) << "a failed lookup clears the cursor";
        }
    }
}

TEST_F(Registry, CursorFollowsLookupsRegistrationsAndFrees)
{
    ArrayAlloc(1, 1);
    ArrayAlloc(1, 1);
    ArrayAlloc(1, 1);
    EXPECT_EQ(gridvane::registry::current()->id, 3);
    ArrayType(2);
    EXPECT_EQ(gridvane::registry::current()->id, 2);
    ArrayFree(3);
    EXPECT_EQ(gridvane::registry::current(), gridvane::registry::head());
    ArrayType(99);
    EXPECT_EQ(gridvane::registry::current(), nullptr);
}

TEST_F(Registry, FreeingAnyPositionKeepsListCircular)
{
    const struct {
        int32_t freed;
        std::vector<int32_t> left;
    } cases[] = {{1, {2, 3, 4}}, {4, {1, 2, 3}}, {2, {1, 3, 4}}};
    for (const auto &c : cases) {
        gridvane::registry::discard_all();
        for (int i = 0; i < 4; ++i)
            ArrayAlloc(2, 2);
        EXPECT_EQ(ArrayFree(c.freed), 0);
        EXPECT_EQ(walk_registry(), c.left);
    }
    gridvane::registry::discard_all();
    ArrayAlloc(1, 1);
    ArrayNode *only = ArrayGetPointer(1);
    EXPECT_EQ(only->next, only);
    EXPECT_EQ(only->prev, only);
    EXPECT_EQ(ArrayFree(1), 0);
    EXPECT_EQ(gridvane::registry::head(), nullptr);
    EXPECT_EQ(gridvane::registry::tail(), nullptr);
    EXPECT_EQ(gridvane::registry::current(), nullptr);
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
    gridvane::registry::set_last_id(INT_MAX - 1);
    EXPECT_EQ(ArrayAlloc(1, 1), INT_MAX);
    // 1 and 2 are still in use: the count starts again above them.
    EXPECT_EQ(ArrayAlloc(1, 1), 3);
    EXPECT_EQ(ArrayFree(1), 0);
    gridvane::registry::set_last_id(INT_MAX);
    EXPECT_EQ(ArrayAlloc(1, 1), 1);
    EXPECT_EQ(walk_registry(), (std::vector<int32_t>{2, INT_MAX, 3, 1}));
}

TEST_F(Registry, FailedAllocationLeavesRegistryAsItWas)
{
    ArrayAlloc(3, 3);
    ArrayAlloc(3, 3);
    ArrayFree(1);
    const auto before = walk_registry();
    const int64_t live = gridvane::heap::live_blocks();
    // A 3x4 table takes 1 index + 3 rows + 1 record (+ index growth): fail
    // each in turn.
    for (uint64_t n = 1; n <= 5; ++n) {
        gridvane::heap::fail_nth_allocation(n);
        int32_t id = 0;
        const std::string said = messages_of([&] { id = ArrayAlloc(3, 4); });
        gridvane::heap::fail_nth_allocation(0);
        EXPECT_EQ(id, -1) << n;
        EXPECT_EQ(said, n <= 4 ? "ArrayAllocate: can't allocate space\n" : "Can't allocate Tail->next node\n") << n;
        EXPECT_EQ(walk_registry(), before);
        EXPECT_EQ(gridvane::heap::live_blocks(), live);
        EXPECT_EQ(gridvane::registry::last_id(), 2);
    }
    EXPECT_EQ(ArrayAlloc(3, 4), 3);

    gridvane::registry::discard_all();
    gridvane::heap::fail_nth_allocation(3);
    EXPECT_EQ(messages_of([] { EXPECT_EQ(ArrayAlloc(1, 1), -1); }), "Can't allocate array node\n");
    EXPECT_EQ(gridvane::registry::head(), nullptr);
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
