#include "support.hpp"

#include "gridvane_ext.h"
#include "common/cpu.hpp"
#include "registry/sampling.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <utility>

using gvtest::messages_of;
using gvtest::register_rows;

namespace {

class Sampling : public gvtest::RegistryTest {};

// The sampling formula written out plainly in float32, as the reference.
float reference(const std::vector<std::vector<float>> &a, float u, float v)
{
    const float max_v = static_cast<float>(static_cast<double>(a.size()) - 1.0);
    const float max_u = static_cast<float>(static_cast<double>(a[0].size()) - 1.0);
    v = v > max_v ? max_v : v;
    v = v < 0 ? 0 : v;
    u = u > max_u ? max_u : u;
    u = u < 0 ? 0 : u;
    const int iu = static_cast<int>(u), iv = static_cast<int>(v);
    const float fu = u - static_cast<float>(iu), fv = v - static_cast<float>(iv);
    if (fu == 0 && fv == 0)
        return a[iv][iu];
    if (fu == 0)
        return (1 - fv) * a[iv][iu] + fv * a[iv + 1][iu];
    if (fv == 0)
        return (1 - fu) * a[iv][iu] + fu * a[iv][iu + 1];
    float left = (1 - fv) * a[iv][iu] + fv * a[iv + 1][iu];
    float right = (1 - fv) * a[iv][iu + 1] + fv * a[iv + 1][iu + 1];
    return (1 - fu) * left + fu * right;
}

TEST_F(Sampling, KnownValues)
{
    const int32_t square = register_rows({{0, 1}, {2, 3}})->id;
    const int32_t three_wide = register_rows({{1, 2, 3}, {4, 5, 6}})->id;
    const struct {
        int32_t id;
        float u, v, expected;
    } cases[] = {
        {square, 0.5f, 0.5f, 1.5f},          {square, 1.0f, 0.0f, 1.0f},  {square, 0.0f, 0.25f, 0.5f},
        {square, 9.0f, 9.0f, 3.0f},          {square, -1.0f, 0.5f, 1.0f}, {three_wide, 7.3f, -2.0f, 3.0f},
        {square, INFINITY, -INFINITY, 1.0f},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ArrayGetValue(c.id, c.u, c.v), c.expected) << c.u << "," << c.v;
    EXPECT_EQ(ArrayGetValue(three_wide, 7.3f, -2.0f), ArrayGetValue(three_wide, 2.0f, 0.0f));
}

TEST_F(Sampling, SingleCellTableAnswersEverywhere)
{
    const int32_t id = register_rows({{4.25f}})->id;
    for (float u : {-1e30f, -1.0f, 0.0f, 0.3f, 1.0f, 1e30f, INFINITY})
        for (float v : {-1e30f, 0.0f, 0.7f, 5.0f, -INFINITY})
            EXPECT_EQ(ArrayGetValue(id, u, v), 4.25f) << u << "," << v;
}

TEST_F(Sampling, NanCoordinateGivesNanAndReadsNothing)
{
    const int32_t id = register_rows({{0, 1}, {2, 3}})->id;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(std::isnan(ArrayGetValue(id, nan, 0.0f)));
    EXPECT_TRUE(std::isnan(ArrayGetValue(id, 0.0f, nan)));
    EXPECT_TRUE(std::isnan(ArrayGetValue(id, nan, nan)));
}

// Every way of sampling one point, as bits with where they came from:
// ArrayGetValue, the batch sampler with SSE2 alone and with AVX2 (where the
// processor has it), and the C edge's batch. The batch calls sample the
// point eleven times over (both strides 0), so that whole vectors and the
// scalar tail all meet it.
std::vector<std::pair<std::string, uint32_t>> bits_on_every_path(int32_t id, float u, float v)
{
    std::vector<std::pair<std::string, uint32_t>> got{{"ArrayGetValue", std::bit_cast<uint32_t>(ArrayGetValue(id, u, v))}};
    gridvane_core::registry::Record &t = *gridvane_core::registry::Record::of(ArrayGetPointer(id));
    constexpr size_t n = 11;
    float out[n];
    const auto take = [&](const std::string &path) { // one entry for each run of points that agree
        for (size_t from = 0, to; from < n; from = to) {
            const uint32_t bits = std::bit_cast<uint32_t>(out[from]);
            for (to = from + 1; to < n && std::bit_cast<uint32_t>(out[to]) == bits;)
                ++to;
            got.emplace_back(path + " points " + std::to_string(from) + "-" + std::to_string(to - 1), bits);
        }
    };
    for (const bool avx2 : {false, gridvane_core::cpu::has_avx2()}) {
        gridvane_core::registry::sample_many_using(avx2, t, gridvane_core::registry::current_bounds(t), n, &u, 0, &v, 0, out);
        take(avx2 ? "AVX2" : "SSE2");
    }
    EXPECT_EQ(gridvane_sample_many(id, n, &u, 0, &v, 0, out, nullptr), 0);
    take("gridvane_sample_many");
    return got;
}

TEST_F(Sampling, NanResultsTakeTheFirstNanCellReadOnEveryPath)
{
    const auto f = [](uint32_t bits) { return std::bit_cast<float>(bits); };
    const float nan = f(0x7fc00000), minus_nan = f(0xffc00000), inf = INFINITY;
    const uint32_t default_nan = 0x7fc00000;
    const struct {
        const char *what;
        std::vector<std::vector<float>> rows;
        float u, v;
        uint32_t expected;
    } cases[] = {
        // Cells are taken top-left, bottom-left, top-right, bottom-right.
        {"side by side", {{nan, minus_nan}}, 0.5f, 0, 0x7fc00000},
        {"side by side, swapped", {{minus_nan, nan}}, 0.5f, 0, 0xffc00000},
        {"one above the other", {{nan}, {minus_nan}}, 0, 0.5f, 0x7fc00000},
        {"diagonal", {{f(0xffc00007), 1}, {2, f(0x7fc00009)}}, 0.5f, 0.5f, 0xffc00007},
        {"bottom-left before top-right", {{1, f(0xffc00002)}, {f(0x7fc00001), 2}}, 0.25f, 0.75f, 0x7fc00001},
        {"top-right before bottom-right", {{1, f(0xffc00003)}, {2, f(0x7fc00004)}}, 0.5f, 0.5f, 0xffc00003},
        {"bottom-right alone", {{1, 2}, {3, f(0xffc00005)}}, 0.5f, 0.5f, 0xffc00005},
        {"signalling, quieted", {{f(0x7f800001), minus_nan}}, 0.5f, 0, 0x7fc00001},
        {"signalling negative, quieted", {{1, f(0xff800123)}}, 0.5f, 0, 0xffc00123},
        {"signalling at a node, quieted", {{f(0x7fa00042), 1}}, 0, 0, 0x7fe00042},
        {"inf - inf", {{inf, -inf}}, 0.5f, 0, default_nan},
        {"inf - inf, vertical", {{-inf}, {inf}}, 0, 0.25f, default_nan},
        {"inf - inf across the columns", {{1, inf}, {-inf, 2}}, 0.5f, 0.5f, default_nan},
        {"inf - inf beside a NaN not read", {{inf, -inf}, {nan, minus_nan}}, 0.5f, 0, default_nan},
        // A zero fraction reads one column (or row): the NaN in the other
        // does not count.
        {"column fraction zero", {{1, minus_nan, 3}, {4, nan, 6}}, 1, 0.5f, 0xffc00000},
        {"column fraction zero, NaN beside unread", {{1, minus_nan}, {4, nan}}, 0, 0.5f, 0x40200000 /* 2.5 */},
        {"row fraction zero", {{1, f(0xffc00011)}, {f(0x7fc00012), 2}}, 0.5f, 0, 0xffc00011},
        {"row fraction zero, last row", {{f(0x7fc00013), 2}, {1, f(0xffc00014)}}, 0.5f, 1, 0xffc00014},
        {"NaN coordinate over NaN cells", {{minus_nan, minus_nan}, {minus_nan, minus_nan}}, -nan, 0.5f, default_nan},
    };
    for (const auto &c : cases) {
        gridvane_core::registry::discard_all();
        const int32_t id = register_rows(c.rows)->id;
        std::ostringstream wrong;
        for (const auto &[path, bits] : bits_on_every_path(id, c.u, c.v))
            if (bits != c.expected)
                wrong << "\n  " << path << ": " << std::hex << bits;
        if (!wrong.str().empty())
            ADD_FAILURE() << c.what << ": expected " << std::hex << c.expected << ", got" << wrong.str();
    }
}

TEST_F(Sampling, TablesWithoutSamples)
{
    // A zero count, as a binary file can declare: nothing to read or write.
    for (auto rows : {std::vector<std::vector<float>>{}, std::vector<std::vector<float>>{{}, {}}}) {
        const int32_t id = register_rows(rows, CHAN_BIN)->id;
        const std::string said = messages_of([&] {
            EXPECT_EQ(ArrayGetValue(id, 0, 0), -1.0f);
            EXPECT_EQ(ArrayGetIValue(id, 0, 0), -1.0f);
            EXPECT_EQ(ArrayPutIValue(id, 0, 0, 2.0f), 2.0f);
        });
        EXPECT_EQ(said, "");
    }
}

TEST_F(Sampling, IntegerAccessClampsIntoTable)
{
    const int32_t id = ArrayAlloc(4, 3);
    float **a = ArrayGetArray(id);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c)
            a[r][c] = static_cast<float>(10 * r + c);
    const struct {
        int32_t u, v;
        float expected;
    } cases[] = {{-5, 99, 30}, {1, 2, 21}, {99, -5, 2}, {INT32_MIN, INT32_MAX, 30}, {INT32_MAX, INT32_MIN, 2}};
    for (const auto &c : cases)
        EXPECT_EQ(ArrayGetIValue(id, c.u, c.v), c.expected) << c.u << "," << c.v;

    const int32_t square = ArrayAlloc(2, 2);
    EXPECT_EQ(ArrayPutIValue(square, 10, 10, 2.5f), 2.5f);
    EXPECT_EQ(ArrayGetArray(square)[1][1], 2.5f);
    EXPECT_EQ(ArrayPutIValue(square, -3, 0, -7.0f), -7.0f);
    EXPECT_EQ(ArrayGetIValue(square, 0, 0), -7.0f);
}

TEST_F(Sampling, MatchesFloat32FormulaBitForBit)
{
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<int> size(1, 9);
    std::uniform_real_distribution<float> value(-1000.0f, 1000.0f);
    for (int round = 0; round < 200; ++round) {
        gridvane_core::registry::discard_all();
        std::vector<std::vector<float>> a(static_cast<size_t>(size(rng)),
                                          std::vector<float>(static_cast<size_t>(size(rng))));
        for (auto &row : a)
            for (auto &x : row)
                x = value(rng);
        const int32_t id = register_rows(a)->id;
        const float rows = static_cast<float>(a.size()), cols = static_cast<float>(a[0].size());
        std::uniform_real_distribution<float> coordinate(-2.0f, cols + 2.0f), row_coordinate(-2.0f, rows + 2.0f);
        for (int k = 0; k < 500; ++k) {
            float u = coordinate(rng), v = row_coordinate(rng);
            switch (k % 5) {
            case 1: u = std::floor(u); break;                           // exact integer
            case 2: v = std::nextafter(std::ceil(v), -INFINITY); break; // just below one
            case 3:
                u = std::nextafter(cols - 1.0f, 0.0f);
                v = rows - 1.0f;
                break;
            default: break;
            }
            const float got = ArrayGetValue(id, u, v), want = reference(a, u, v);
            ASSERT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(want))
                << "u=" << u << " v=" << v << " table " << a.size() << "x" << a[0].size();
        }
    }
}

TEST_F(Sampling, LookupCostDoesNotDependOnTableCount)
{
    // With 100,000 registered tables, the first and the last still answer,
    // between lookups spread over all the others, so that the thread's small
    // cache of recent lookups cannot hide a walk of the list (which would
    // take minutes here).
    const int32_t first = register_rows({{1, 2}})->id;
    for (int i = 0; i < 100000; ++i)
        ASSERT_EQ(ArrayAlloc(1, 1), first + 1 + i);
    const int32_t last = register_rows({{3, 5}})->id;
    float sum = 0;
    for (int i = 0; i < 200000; ++i) {
        const int32_t spread = first + 1 + static_cast<int32_t>((static_cast<int64_t>(i) * 7919) % 100000);
        sum += ArrayGetValue(i % 2 ? spread : i % 4 ? first : last, 0.5f, 0.0f); // the spread ones hold 0
    }
    EXPECT_EQ(sum, 50000 * 1.5f + 50000 * 4.0f);
}

} // namespace

namespace {

// Coordinates of every kind: inside, at the nodes, on the edges, beyond
// them either way, huge, NaN of either sign, and negative zero.
float any_coordinate(std::mt19937 &rng, float count)
{
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_real_distribution<float> inside(-0.5f, count + 0.5f);
    switch (kind(rng)) {
    case 0: return std::floor(inside(rng));
    case 1: return count - 1;
    case 2: return -std::numeric_limits<float>::quiet_NaN();
    case 3: return std::numeric_limits<float>::quiet_NaN();
    case 4: return 1e30f * (kind(rng) < 5 ? -1 : 1);
    case 5: return -0.0f;
    case 6: return std::numeric_limits<float>::infinity();
    default: return inside(rng);
    }
}

TEST_F(Sampling, ManyPointsPerCallGiveArrayGetValuesBits)
{
    std::mt19937 rng(23);
    std::uniform_int_distribution<int> size(1, 9);
    std::uniform_int_distribution<uint32_t> bits;
    for (int table = 0; table < 60; ++table) {
        const int rows = table == 0 ? 1 : size(rng), cols = table == 0 ? 1 : size(rng);
        std::vector<std::vector<float>> a(static_cast<size_t>(rows), std::vector<float>(static_cast<size_t>(cols)));
        for (auto &row : a)
            for (auto &x : row) // a few infinities and NaN among the samples
                x = bits(rng) % 17 == 0 ? std::bit_cast<float>(bits(rng)) : static_cast<float>(bits(rng) % 2001) / 7.0f - 100;
        const int32_t id = register_rows(a)->id;
        ArrayNode *node = ArrayGetPointer(id);
        gridvane_core::registry::Record &t = *gridvane_core::registry::Record::of(node);
        const size_t n = 1 + bits(rng) % 67;
        std::vector<float> us(n * 2), vs(n);
        for (auto &u : us)
            u = any_coordinate(rng, static_cast<float>(cols));
        for (auto &v : vs)
            v = any_coordinate(rng, static_cast<float>(rows));
        // u strided by two, v by one; then one v for every point.
        for (const std::ptrdiff_t v_stride : {1, 0})
            for (const bool avx2 : {false, gridvane_core::cpu::has_avx2()}) {
                std::vector<float> out(n, 12345.0f);
                gridvane_core::registry::sample_many_using(avx2, t, gridvane_core::registry::current_bounds(t), n, us.data(), 2,
                                                      vs.data(), v_stride, out.data());
                for (size_t i = 0; i < n; ++i) {
                    const float want = ArrayGetValue(id, us[2 * i], vs[static_cast<size_t>(v_stride) * i]);
                    EXPECT_EQ(std::bit_cast<uint32_t>(out[i]), std::bit_cast<uint32_t>(want))
                        << rows << "x" << cols << " avx2 " << avx2 << " at " << us[2 * i] << ", "
                        << vs[static_cast<size_t>(v_stride) * i];
                }
            }
    }
    // Through the extension interface: one lookup, and an unknown handle's
    // zeros.
    const int32_t id = register_rows({{0, 1}, {2, 3}})->id;
    const float u[] = {0.5f, 1, 0}, v[] = {0.5f, 0, 0.25f};
    float out[3];
    gridvane_status status{};
    EXPECT_EQ(gridvane_sample_many(id, 3, u, 1, v, 1, out, &status), 0);
    EXPECT_EQ(std::vector<float>(out, out + 3), (std::vector<float>{1.5f, 1.0f, 0.5f}));
    EXPECT_EQ(gridvane_sample_many(id + 1, 3, u, 1, v, 1, out, &status), -1);
    EXPECT_EQ(status.code, GRIDVANE_E_UNKNOWN_HANDLE);
    EXPECT_EQ(std::vector<float>(out, out + 3), (std::vector<float>{0, 0, 0}));
}

TEST_F(Sampling, BatchesReadWhatEditedCountsReachAtAnyStride)
{
    // Counts a caller set below the storage, fractional ones too: the
    // formula then reads the column (row) past a fractional bound, and a
    // batch's lanes must read the same cells.
    const struct {
        int rows, cols;
        float count_u, count_v;
    } tables[] = {{4, 6, 3.5f, 2.25f}, {3, 5, 2.0f, 3.0f}, {5, 2, 1.5f, 4.75f}, {2, 7, 7.0f, 1.5f}, {6, 3, 1.0f, 5.5f}};
    // Strides of every sign, each array walked from the end a negative
    // stride starts at.
    const std::ptrdiff_t strides[][2] = {{1, 1}, {-1, 1}, {3, -2}, {0, -1}, {-1, 0}};
    std::mt19937 rng(29);
    constexpr size_t n = 37;
    for (const auto &shape : tables) {
        std::vector<std::vector<float>> a(static_cast<size_t>(shape.rows), std::vector<float>(static_cast<size_t>(shape.cols)));
        for (size_t r = 0; r < a.size(); ++r)
            for (size_t c = 0; c < a[r].size(); ++c)
                a[r][c] = static_cast<float>(10 * r + c) + 0.125f;
        ArrayNode *node = register_rows(a);
        node->countU = shape.count_u;
        node->countV = shape.count_v;
        gridvane_core::registry::Record &t = *gridvane_core::registry::Record::of(node);
        for (const auto &stride : strides) {
            std::vector<float> coordinates[2];
            const float *start[2];
            for (int axis = 0; axis < 2; ++axis) {
                const auto step = static_cast<size_t>(std::abs(stride[axis]));
                coordinates[axis].resize(step == 0 ? 1 : (n - 1) * step + 1);
                for (float &x : coordinates[axis])
                    x = any_coordinate(rng, axis == 0 ? shape.count_u + 1 : shape.count_v + 1);
                start[axis] = coordinates[axis].data() + (stride[axis] < 0 ? coordinates[axis].size() - 1 : 0);
            }
            const auto point = [&](int axis, size_t i) { return start[axis][static_cast<std::ptrdiff_t>(i) * stride[axis]]; };
            for (const bool avx2 : {false, gridvane_core::cpu::has_avx2()}) {
                std::vector<float> out(n, 12345.0f);
                gridvane_core::registry::sample_many_using(avx2, t, gridvane_core::registry::current_bounds(t), n, start[0],
                                                      stride[0], start[1], stride[1], out.data());
                for (size_t i = 0; i < n; ++i)
                    ASSERT_EQ(std::bit_cast<uint32_t>(out[i]),
                              std::bit_cast<uint32_t>(ArrayGetValue(node->id, point(0, i), point(1, i))))
                        << shape.rows << "x" << shape.cols << " counted " << shape.count_u << " x " << shape.count_v
                        << ", strides " << stride[0] << ", " << stride[1] << ", avx2 " << avx2 << ", at "
                        << point(0, i) << ", " << point(1, i);
            }
        }
    }
}

} // namespace
