#include "support.hpp"

#include <cmath>
#include <limits>
#include <random>

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

// The lookup as hosts rely on it: the first row whose frame is at or
// above f, in rows below countV (a fraction's row too), then the rows
// before and at it.
float scanned_row(const std::vector<float> &frames, double count_v, float f)
{
    std::size_t i = 0;
    while (static_cast<double>(i) < count_v && !(frames[i] >= f))
        ++i;
    if (!(static_cast<double>(i) < count_v))
        return -1.0f;
    if (frames[i] == f)
        return static_cast<float>(i);
    if (i == 0)
        return -1.0f;
    return (f - frames[i - 1]) / (frames[i] - frames[i - 1]) + static_cast<float>(i - 1);
}

// Every lookup, by the scan (ArrayFrameGetV) and by the index (whole and
// fractional frames), gives the scan's row whatever the frames hold: NaN,
// infinities, runs of one frame, frames that fall, a count with a fraction.
TEST_F(Frames, TheIndexAndTheScanAgreeOnEveryTable)
{
    std::mt19937 random(31);
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(), INFINITY, -INFINITY, -0.0f, 16777217.0f};
    for (int round = 0; round < 200; ++round) {
        std::vector<float> frames(1 + random() % 12);
        float frame = static_cast<float>(static_cast<int>(random() % 7) - 3);
        for (float &f : frames) {
            const auto pick = random() % 10;
            f = pick == 0 ? specials[random() % 5] : pick == 1 ? frame - 2.0f : pick == 2 ? frame : (frame += 1.5f);
        }
        const int32_t id = frame_table(frames);
        double count_v = static_cast<double>(frames.size());
        if (round % 3 == 0) { // a count the host made smaller, with a fraction
            count_v -= 0.5 * static_cast<double>(1 + random() % 3);
            ArrayGetPointer(id)->countV = static_cast<float>(count_v);
        }
        gridvane_frame_index *index = gridvane_frame_index_open(id, nullptr);
        ASSERT_NE(index, nullptr);
        for (double f = -6.0; f <= 24.0; f += 0.25) {
            const float want = scanned_row(frames, std::max(count_v, 0.0), static_cast<float>(f));
            const float by_index = gridvane_frame_index_row(index, f);
            EXPECT_TRUE(by_index == want || (std::isnan(by_index) && std::isnan(want))) << round << " " << f;
            if (f == std::floor(f)) {
                const float by_scan = ArrayFrameGetV(id, static_cast<int32_t>(f));
                EXPECT_TRUE(by_scan == want || (std::isnan(by_scan) && std::isnan(want))) << round << " " << f;
            }
        }
        gridvane_frame_index_close(index);
    }
    EXPECT_EQ(gridvane_frame_index_row(nullptr, 1.0), -1.0f);
    gridvane_status status{};
    EXPECT_EQ(gridvane_frame_index_open(ArrayAlloc(2, 2), &status), nullptr);
    EXPECT_EQ(status.code, GRIDVANE_E_ARGUMENT);
    EXPECT_EQ(gridvane_frame_index_open(999, &status), nullptr);
    EXPECT_EQ(status.code, GRIDVANE_E_UNKNOWN_HANDLE);
}

} // namespace
