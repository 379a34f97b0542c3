#include "support.hpp"

#include <cmath>
#include <limits>

using gvtest::register_rows;

namespace {

class Frames : public gvtest::RegistryTest {};

// Rows of (value, frame): frames 1, 2, 4.
int32_t frame_table(std::vector<float> frames)
{
    std::vector<std::vector<float>> rows;
    for (size_t i = 0; i < frames.size(); ++i)
        rows.push_back({static_cast<float>(i) * 10.0f, frames[i]});
    return register_rows(rows, CHAN_ASCII, true)->id;
}

TEST_F(Frames, FrameOfRow)
{
    const int32_t id = frame_table({1, 2, 4});
    const struct {
        int32_t row, frame;
    } cases[] = {{0, 1}, {2, 4}, {3, -1}, {-1, -1}, {INT32_MAX, -1}};
    for (const auto &c : cases)
        EXPECT_EQ(ArrayGetFrame(id, c.row), c.frame) << c.row;
    EXPECT_EQ(ArrayCountU(id), 1.0f) << "countU leaves the frame slot out";
}

TEST_F(Frames, FrameValuesTruncateOrAreRefused)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const int32_t id = frame_table({2.7f, -2.7f, nan, 3e9f, -3e9f, -2147483648.0f, INFINITY});
    const int32_t expected[] = {2, -2, -1, -1, -1, INT32_MIN, -1};
    for (int32_t row = 0; row < 7; ++row)
        EXPECT_EQ(ArrayGetFrame(id, row), expected[row]) << row;
}

TEST_F(Frames, RowOfFrame)
{
    const int32_t id = frame_table({1, 2, 4});
    const struct {
        int32_t frame;
        float v;
    } cases[] = {{1, 0.0f}, {2, 1.0f}, {3, 1.5f}, {0, -1.0f}, {5, -1.0f}, {INT32_MIN, -1.0f}};
    for (const auto &c : cases)
        EXPECT_EQ(ArrayFrameGetV(id, c.frame), c.v) << c.frame;
    // The coordinate samples the table between the frames' rows.
    EXPECT_EQ(ArrayGetValue(id, 0.0f, ArrayFrameGetV(id, 3)), 15.0f);
}

TEST_F(Frames, InterpolationFollowsFloatOrder)
{
    const int32_t id = frame_table({0.1f, 0.7f, 100.3f});
    const float f = 50.0f;
    const float want = (f - 0.7f) / (100.3f - 0.7f) + 1.0f;
    EXPECT_EQ(ArrayFrameGetV(id, 50), want);
}

TEST_F(Frames, NanFrameIsPassedOver)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const int32_t id = frame_table({1, nan, 5});
    EXPECT_TRUE(std::isnan(ArrayFrameGetV(id, 3)));
    EXPECT_EQ(ArrayFrameGetV(id, 5), 2.0f);
}

TEST_F(Frames, TablesWithoutFrames)
{
    const int32_t plain = ArrayAlloc(3, 2);
    EXPECT_EQ(ArrayGetFrame(plain, 0), -1);
    EXPECT_EQ(ArrayFrameGetV(plain, 0), -1.0f);
    EXPECT_EQ(ArrayGetFrame(999, 0), -1);
    EXPECT_EQ(ArrayFrameGetV(999, 0), 0.0f);
    const int32_t empty = register_rows({}, CHAN_ASCII, true)->id;
    EXPECT_EQ(ArrayFrameGetV(empty, 0), -1.0f);
    EXPECT_EQ(ArrayGetFrame(empty, 0), -1);
}

} // namespace
