#include "support.hpp"

#include "formats/formats.hpp"
#include "formats/forms.hpp"
#include "formats/messages.hpp"
#include "formats/number_text.hpp"

#include <bit>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <limits>
#include <random>

using gvtest::binary_of;
using gvtest::contents_of;
using gvtest::messages_of;
using gvtest::pointers;
using gvtest::Rows;
using gvtest::stream_of;

namespace {

struct AsciiRead {
    float **rows = nullptr;
    int32_t count_u = -7, count_v = -7;
    Rows table;
    std::string said;
    bool frame = false;
};

AsciiRead read_ascii_text(const std::string &text)
{
    AsciiRead out;
    FILE *f = stream_of(text);
    gridvane_core::formats::AsciiRead read;
    gridvane_core::formats::StdioSource source(f);
    out.said = messages_of([&] {
        read = gridvane_core::formats::read_ascii(source, gridvane_core::storage::Layout::separate);
        if (!gridvane_core::succeeded(read.status))
            gridvane_core::formats::tell_host_of_ascii_failure(read.status);
    });
    std::fclose(f);
    gridvane_core::storage::release_names(read.names);
    out.rows = read.rows.index;
    out.frame = read.table_form;
    if (out.rows != nullptr) {
        out.count_u = static_cast<int32_t>(read.rows.width);
        out.count_v = static_cast<int32_t>(read.rows.count);
    }
    if (out.rows != nullptr)
        out.table = gvtest::take_rows(out.rows, out.count_u, out.count_v);
    return out;
}

constexpr char eof_message[] = "Gridvane (ChanReadAscii): EOF reached\n";

TEST(AsciiReader, PlainAndTableForms)
{
    const struct {
        const char *name;
        std::string text;
        Rows rows;
        bool frame;
    } cases[] = {
        {"plain", "1 2 3\n4 5 6\n", {{1, 2, 3}, {4, 5, 6}}, false},
        {"comments and blanks", "# note\n\n1 2 # trailing\n3 4\n", {{1, 2}, {3, 4}}, false},
        {"no final newline", "1 2\n3 4", {{1, 2}, {3, 4}}, false},
        {"crlf", "# c\r\n1 2\r\n\r\n3 4\r\n", {{1, 2}, {3, 4}}, false},
        {"tabs and spaces", "\t 1\t2 \n  3   4\t\n", {{1, 2}, {3, 4}}, false},
        {"short lines get zeros", "1 2 3\n4\n5 6 7 8\n", {{1, 2, 3}, {4, 0, 0}, {5, 6, 7}}, false},
        {"table form", "| a b\n------\n1 | 0.5 0.7\n2 | 0.6 0.8\n", {{0.5f, 0.7f, 1}, {0.6f, 0.8f, 2}}, true},
        {"header lines are not split", "| a\n# not a comment -\n  x y z\n-\n3 | 9\n", {{9, 3}}, true},
        {"bars and blanks before data", "| a\n-\n\n| sub\n# c\n5 | 1\n| 2\n", {{1, 5}, {0, 0}}, true},
        {"short table row keeps frame slot", "| a b\n-\n1 | 2 3\n4\n5 |\n", {{2, 3, 1}, {0, 0, 4}, {0, 0, 5}}, true},
        {"lone frame number", "|\n-\n7\n8 | 1 2\n", {{7}, {8}}, true},
        {"atof forms", "+1 0x10 1e500 -1e-500 abc 2.5junk\n", {{1, 16, INFINITY, -0.0f, 0, 2.5f}}, false},
        {"nul ends the line's text", std::string("1 2\n3\0 9 9\n", 11), {{1, 2}, {3, 0}}, false},
    };
    for (const auto &c : cases) {
        const AsciiRead got = read_ascii_text(c.text);
        EXPECT_EQ(got.said, "") << c.name;
        EXPECT_TRUE(gvtest::same_bits(got.table, c.rows)) << c.name;
        EXPECT_EQ(got.frame, c.frame) << c.name;
        if (!c.rows.empty()) {
            EXPECT_EQ(got.count_u, static_cast<int32_t>(c.rows[0].size())) << c.name;
            EXPECT_EQ(got.count_v, static_cast<int32_t>(c.rows.size())) << c.name;
        }
    }
}

TEST(AsciiReader, NoDataLineIsEof)
{
    for (const char *text :
         {"", "\n\n", "# only\n# comments\n", "| a b\n1 | 2\n", "| a\n----\n", "| a\n--\n| b\n\n", "   # 1 2\n"}) {
        const AsciiRead got = read_ascii_text(text);
        EXPECT_EQ(got.rows, nullptr) << text;
        EXPECT_EQ(got.said, eof_message) << text;
    }
}

TEST(AsciiReader, LongLinesAndWideTablesStayWhole)
{
    // Lines past any fixed buffer, and more tokens than any fixed cap.
    Rows wide(3, std::vector<float>(5000));
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> value(-1e6f, 1e6f);
    for (auto &row : wide)
        for (auto &x : row)
            x = value(rng);
    auto ptrs = pointers(wide);
    FILE *f = gvtest::temporary_stream();
    ASSERT_EQ(ChanWriteAscii(f, ptrs.data(), 5000, 3), 0);
    const std::string text = contents_of(f);
    std::fclose(f);
    EXPECT_GT(text.find('\n'), 40960u);
    const AsciiRead got = read_ascii_text(text);
    EXPECT_TRUE(gvtest::same_bits(got.table, wide));

    std::string million(1'000'000, ' ');
    million += "42\n";
    EXPECT_TRUE(gvtest::same_bits(read_ascii_text(million).table, Rows{{42}}));
}

TEST(AsciiReader, ManyRowsInOnePass)
{
    std::string text;
    for (int i = 0; i < 300000; ++i)
        text += std::to_string(i) + " " + std::to_string(-i) + "\n";
    const AsciiRead got = read_ascii_text(text);
    ASSERT_EQ(got.count_v, 300000);
    EXPECT_EQ(got.table[299999][0], 299999.0f);
    EXPECT_EQ(got.table[299999][1], -299999.0f);
}

TEST(AsciiReader, RefusesNullArguments)
{
    int32_t u, v;
    FILE *f = stream_of("1\n");
    const struct {
        FILE *stream;
        int32_t *u, *v;
    } cases[] = {{nullptr, &u, &v}, {f, nullptr, &v}, {f, &u, nullptr}};
    for (const auto &c : cases) {
        errno = 0;
        EXPECT_EQ(ChanReadAscii(c.stream, c.u, c.v), nullptr);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(ChanReadBin(c.stream, c.u, c.v), nullptr);
        EXPECT_EQ(errno, EINVAL);
    }
    std::fclose(f);
}

// A token as the reader sees it: NUL-terminated, with margins around it.
float padded_value(const char *token)
{
    std::string padded(gridvane_core::formats::token_front, '7');
    padded += token;
    padded.append(gridvane_core::formats::token_padding + 1, '\0');
    const char *start = padded.data() + gridvane_core::formats::token_front;
    return gridvane_core::formats::padded_sample(start, start + std::strlen(token));
}

// The reference: the C library's own conversion in the C locale.
float c_library_value(const char *token) { return static_cast<float>(std::strtod(token, nullptr)); }

TEST(NumberText, ReadsExactlyAsAtof)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the Windows C library's strtod is not the reference";
#endif
    const char *tokens[] = {
        "0",
        "-0",
        "+1",
        "1.",
        ".5",
        "-.5",
        ".",
        "-",
        "+",
        "++5",
        "+-5",
        "-+5",
        "1e",
        "1e+",
        "1e-5x",
        "1.5.3",
        "0x1p3",
        "0X.8P1",
        "-0x1.8p-3",
        "0x",
        "0xg",
        "0x1p99999",
        "0x1p-99999",
        "0x.p1",
        "1e400",
        "-1e400",
        "1e-400",
        "-1e-400",
        "1e99999999999999999999",
        "0.000000000000000000000000001e-300",
        "inf",
        "-Infinity",
        "INFx",
        "nan",
        "-nan",
        "nan(123)",
        "NaNq",
        "abc",
        "  7",
        "\t-8",
        "4.9e-324",
        "2.4703282292062328e-324",
        "1.7976931348623158e308",
        "1.7976931348623159e308",
        "3.4028235677973366e38",
        "3.4028236e38",
        "1.401298464324817e-45",
        "7.006492321624085e-46",
        "0.1000000000000000055511151231257827",
        "123456789012345678901234567890",
        "1_000",
        "9007199254740992",
        "9007199254740993",
        "900719925474099.3",
        "1234567890123456789",
        "12345678901234567890",
        "0.1234567890123456789",
        "00000000000000000000000001",
        "123456789.",
        "-0.00000001",
        "1-2",
        "1.-2",
        "-4.20018568547675e-06",
        "1E5",
        "2e-0",
        "1.5e+",
        "1e22",
        "1e23",
        "123456789012345e-22",
        "9007199254740993e-22",
        "1e0005",
        "5e-324x",
        // Exact midpoints between two floats, where only the correctly
        // rounded double narrows the right way (ties to even).
        "2097152.125",
        "-2097152.375",
        "0.500000029802322387695312",
        "3.00000017881393432617188e-5",
        // Leading zeros beyond the 16 characters read as digits, and
        // significant digits beyond them.
        "0.000123456789012345",
        "-0.0199791062623262",
        "0000000000000000001.25",
        "0.00000000000000001234567e10",
        "12345678901234567",
        "1234567890123456.5",
        ".1234567890123456",
        "-4.95716085424647e-05",
    };
    for (const char *token : tokens) {
        const float want = c_library_value(token);
        const float got = static_cast<float>(gridvane_core::formats::atof_c(token));
        const float fast = static_cast<float>(gridvane_core::formats::token_value(token, token + std::strlen(token)));
        const float padded = padded_value(token);
        if (std::isnan(want)) {
            EXPECT_TRUE(std::isnan(got) && std::isnan(fast) && std::isnan(padded)) << token;
            EXPECT_EQ(std::signbit(got), std::signbit(want)) << token;
        } else {
            EXPECT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(want)) << token;
            EXPECT_EQ(std::bit_cast<uint32_t>(fast), std::bit_cast<uint32_t>(want)) << token;
            EXPECT_EQ(std::bit_cast<uint32_t>(padded), std::bit_cast<uint32_t>(want)) << token;
        }
    }
}

// The short decimal reader against from_chars, narrowed to float: every
// digit count and point position up to and past the 16 characters and 2^53
// it takes, with and without sign, then random digits (all zeros and all
// nines among them); some with an exponent inside and outside the powers of
// ten it takes.
TEST(NumberText, ShortDecimalsReadAsFromChars)
{
    std::mt19937_64 rng(5);
    std::vector<std::string> texts;
    for (int digits = 1; digits <= 22; ++digits)
        for (int point = -1; point <= digits; ++point)
            for (int round = 0; round < 40; ++round) {
                std::string text = round % 2 ? "-" : "";
                for (int i = 0; i < digits; ++i) {
                    if (i == point)
                        text += '.';
                    text += static_cast<char>('0' + (round < 4 ? 9 * (round / 2) : rng() % 10));
                }
                if (point == digits)
                    text += '.';
                texts.push_back(text);
                if (round % 8 == 5)
                    for (const char *exponent : {"e-25", "E-23", "e-22", "e-9", "e0", "e+3", "E22", "e23", "e25"})
                        texts.push_back(text + exponent);
            }
    for (const std::string &text : texts) {
        double want = 0;
        // from_chars takes no point without digits before it; atof does, and
        // so does the reader: "-.5" is "-0.5".
        std::string full = text;
        if (full.find('.') == (full[0] == '-' ? 1u : 0u))
            full.insert(full[0] == '-' ? 1 : 0, "0");
        std::from_chars(full.data(), full.data() + full.size(), want);
        ASSERT_EQ(std::bit_cast<uint32_t>(padded_value(text.c_str())), std::bit_cast<uint32_t>(static_cast<float>(want)))
            << text;
    }
}

TEST(NumberText, MidpointsBetweenFloatsRoundAsAtof)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the Windows C library's strtod is not the reference";
#endif
    // Decimal texts just around the midpoint of two neighbouring floats:
    // double-then-narrow and direct float parsing disagree here.
    std::mt19937 rng(11);
    std::uniform_int_distribution<uint32_t> bits(0, 0x7F7FFFFF);
    char text[64];
    for (int i = 0; i < 20000; ++i) {
        const float f = std::bit_cast<float>(bits(rng));
        const double mid = (static_cast<double>(f) + static_cast<double>(std::nextafter(f, INFINITY))) / 2;
        std::snprintf(text, sizeof text, "%.*g", 9 + i % 12, mid);
        const float want = c_library_value(text);
        const float got = static_cast<float>(gridvane_core::formats::token_value(text, text + std::strlen(text)));
        ASSERT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(want)) << text;
        ASSERT_EQ(std::bit_cast<uint32_t>(padded_value(text)), std::bit_cast<uint32_t>(want)) << text;
    }
}

TEST(NumberText, WritesExactlyAsPrintf)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the Windows C library's printf is not the reference";
#endif
    std::mt19937 rng(3);
    std::uniform_int_distribution<uint32_t> bits;
    std::vector<float> values = {0.0f,
                                 -0.0f,
                                 1.0f,
                                 2.5f,
                                 1e10f,
                                 1e15f,
                                 1e16f,
                                 1e-5f,
                                 1e-4f,
                                 123456789.0f,
                                 std::numeric_limits<float>::max(),
                                 -std::numeric_limits<float>::max(),
                                 std::numeric_limits<float>::min(),
                                 std::numeric_limits<float>::denorm_min(),
                                 INFINITY,
                                 -INFINITY};
    for (int i = 0; i < 100000; ++i)
        values.push_back(std::bit_cast<float>(bits(rng)));
    char want[64], got[64];
    for (float v : values) {
        if (std::isnan(v))
            continue;
        std::snprintf(want, sizeof want, "%.15g", static_cast<double>(v));
        *gridvane_core::formats::format_g15(got, static_cast<double>(v)) = '\0';
        ASSERT_STREQ(got, want);
    }
}

TEST(AsciiWriter, PlainLayout)
{
    Rows rows = {{1, 2.5f}, {3, 4}};
    auto ptrs = pointers(rows);
    const struct {
        int32_t u, v;
        const char *text;
    } cases[] = {{2, 2, "\t1\t2.5\n\t3\t4\n"}, {2, 0, ""}, {0, 2, "\n\n"}, {1, 1, "\t1\n"}, {2, -3, ""}};
    for (const auto &c : cases) {
        FILE *f = gvtest::temporary_stream();
        EXPECT_EQ(ChanWriteAscii(f, ptrs.data(), c.u, c.v), 0);
        EXPECT_EQ(contents_of(f), c.text);
        std::fclose(f);
    }
    FILE *f = gvtest::temporary_stream();
    EXPECT_EQ(ChanWriteAscii(f, nullptr, 0, 2), 0) << "no row is read";
    errno = 0;
    EXPECT_EQ(ChanWriteAscii(f, nullptr, 2, 2), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ChanWriteAscii(nullptr, ptrs.data(), 2, 2), -1);
    std::fclose(f);
}

TEST(AsciiFormat, IgnoresProcessLocale)
{
    const char *comma_locales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "German_Germany.1252"};
    const char *chosen = nullptr;
    for (const char *name : comma_locales)
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            chosen = name;
            break;
        }
    if (chosen == nullptr)
        GTEST_SKIP() << "no decimal-comma locale installed";
    Rows rows = {{0.5f, -9.5367431640625e-07f}};
    auto ptrs = pointers(rows);
    FILE *f = gvtest::temporary_stream();
    EXPECT_EQ(ChanWriteAscii(f, ptrs.data(), 2, 1), 0);
    const std::string text = contents_of(f);
    std::fclose(f);
    const AsciiRead back = read_ascii_text("0.5 -9.5367431640625e-07\n");
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(text, "\t0.5\t-9.5367431640625e-07\n") << chosen;
    EXPECT_TRUE(gvtest::same_bits(back.table, rows)) << chosen;
}

TEST(AsciiFormat, RoundTripIsBitExact)
{
    std::mt19937 rng(9);
    std::uniform_int_distribution<uint32_t> bits;
    Rows rows(50, std::vector<float>(40));
    for (auto &row : rows)
        for (auto &x : row) {
            x = std::bit_cast<float>(bits(rng));
            if (std::isnan(x))
                x = std::numeric_limits<float>::quiet_NaN(); // text keeps no NaN payload
        }
    rows[0] = {0.0f,
               -0.0f,
               INFINITY,
               -INFINITY,
               std::numeric_limits<float>::max(),
               -std::numeric_limits<float>::max(),
               std::numeric_limits<float>::denorm_min(),
               -std::numeric_limits<float>::denorm_min(),
               std::numeric_limits<float>::min(),
               -std::numeric_limits<float>::quiet_NaN()};
    rows[0].resize(40, 1.0f);
    auto ptrs = pointers(rows);
    FILE *f = gvtest::temporary_stream();
    ASSERT_EQ(ChanWriteAscii(f, ptrs.data(), 40, 50), 0);
    const AsciiRead back = read_ascii_text(contents_of(f));
    std::fclose(f);
    EXPECT_TRUE(gvtest::same_bits(back.table, rows));
}

// ---- Binary ------------------------------------------------------------

// The same file with every field in the other byte order.
std::string reversed(const std::string &little)
{
    std::string big = little;
    std::swap(big[0], big[3]);
    std::swap(big[1], big[2]);
    std::swap(big[8], big[9]);
    std::swap(big[10], big[11]);
    for (size_t i = 64; i + 4 <= big.size(); i += 4) {
        std::swap(big[i], big[i + 3]);
        std::swap(big[i + 1], big[i + 2]);
    }
    return big;
}

struct BinRead {
    float **rows = nullptr;
    int32_t count_u = 0, count_v = 0;
    int error = 0;
    std::string said;
    Rows table;
};

BinRead read_binary_bytes(const std::string &bytes)
{
    BinRead out;
    FILE *f = stream_of(bytes);
    errno = 0;
    out.said = messages_of([&] { out.rows = ChanReadBin(f, &out.count_u, &out.count_v); });
    out.error = errno;
    std::fclose(f);
    if (out.rows != nullptr)
        out.table = gvtest::take_rows(out.rows, out.count_u, out.count_v);
    return out;
}

TEST(BinaryFormat, HeaderLayout)
{
    const std::string bytes = binary_of({{1, 2, 3}, {4, 5, 6}}, 3, 2);
    ASSERT_EQ(bytes.size(), 64u + 24u);
    const std::string head("chan\0\0\0\0\3\0\2\0", 12);
    EXPECT_EQ(bytes.substr(0, 12), head);
    EXPECT_EQ(bytes.substr(12, 52), std::string(52, '\0'));
    float first;
    std::memcpy(&first, bytes.data() + 64, 4);
    EXPECT_EQ(first, 1.0f);
}

TEST(BinaryFormat, RoundTripInBothByteOrders)
{
    std::mt19937 rng(4);
    std::uniform_int_distribution<uint32_t> bits;
    Rows rows(7, std::vector<float>(5));
    for (auto &row : rows)
        for (auto &x : row)
            x = std::bit_cast<float>(bits(rng)); // NaN payloads included
    const std::string little = binary_of(rows, 5, 7);
    for (const std::string &bytes : {little, reversed(little), little + "trailing bytes are never read"}) {
        const BinRead got = read_binary_bytes(bytes);
        EXPECT_EQ(got.said, "");
        EXPECT_EQ(got.count_u, 5);
        EXPECT_EQ(got.count_v, 7);
        EXPECT_TRUE(gvtest::same_bits(got.table, rows));
    }
}

TEST(BinaryFormat, ReaderFailures)
{
    const std::string good = binary_of({{1, 2}, {3, 4}}, 2, 2);
    std::string negative_rows = good, negative_cols = good, negative_cols_no_rows = good;
    negative_rows[10] = '\xFF', negative_rows[11] = '\xFF';
    negative_cols[8] = '\xFE', negative_cols[9] = '\xFF';
    negative_cols_no_rows = negative_cols;
    negative_cols_no_rows[10] = negative_cols_no_rows[11] = '\0';
    const struct {
        const char *name;
        std::string bytes;
        int error;
        const char *said;
    } cases[] = {
        {"bad magic", "xhan" + good.substr(4), EIO, "Gridvane (ChanReadBin): invalid magic number\n"},
        {"empty", "", EIO, ""},
        {"negative rows", negative_rows, ENOMEM, "Gridvane (ChanReadBin): can't allocate space\n"},
        {"negative columns", negative_cols, ENOMEM, "Gridvane (ChanReadBin): can't allocate space\n"},
        {"negative columns, no rows", negative_cols_no_rows, ENOMEM, "Gridvane (ChanReadBin): can't allocate space\n"},
    };
    for (const auto &c : cases) {
        const BinRead got = read_binary_bytes(c.bytes);
        EXPECT_EQ(got.rows, nullptr) << c.name;
        EXPECT_EQ(got.error, c.error) << c.name;
        EXPECT_EQ(got.said, c.said) << c.name;
    }
    // Cut short anywhere: EIO and no message.
    for (size_t length = 1; length < good.size(); ++length) {
        const BinRead got = read_binary_bytes(good.substr(0, length));
        EXPECT_EQ(got.rows, nullptr) << length;
        EXPECT_EQ(got.error, EIO) << length;
        EXPECT_EQ(got.said, "") << length;
    }
}

// A header that promises far more than the file holds costs the row index
// and one small first pack, not the table it promises nor a large pack.
TEST(BinaryFormat, AHeaderPromisingMoreCostsLittle)
{
    std::string bytes = binary_of({{1, 2}}, 2, 1);
    bytes[8] = bytes[10] = '\xFF';
    bytes[9] = bytes[11] = '\x7F'; // 32767 x 32767
    FILE *f = gvtest::stream_of(bytes);
    gridvane_core::formats::StdioSource source(f);
    const uint64_t before = gridvane_core::heap::bytes_asked();
    const gridvane_core::formats::BinaryRead got = gridvane_core::formats::read_binary(source, gridvane_core::storage::Layout::packs);
    std::fclose(f);
    EXPECT_EQ(got.status.code, GRIDVANE_E_TRUNCATED_SAMPLES);
    EXPECT_LT(gridvane_core::heap::bytes_asked() - before, 32767u * 8 + 160 * 1024);
}

TEST(BinaryFormat, EmptyTables)
{
    const BinRead none = read_binary_bytes(binary_of({}, 3, 0));
    ASSERT_NE(none.rows, nullptr);
    EXPECT_EQ(none.count_v, 0);
    EXPECT_EQ(none.count_u, 3);
    const BinRead narrow = read_binary_bytes(binary_of({{}, {}}, 0, 2));
    EXPECT_EQ(narrow.count_v, 2);
    EXPECT_EQ(narrow.count_u, 0);
}

TEST(BinaryFormat, WriterRefusesWhatTheHeaderCannotHold)
{
    Rows rows = {{1}};
    auto ptrs = pointers(rows);
    for (auto [u, v] : {std::pair{32768, 1}, {1, 32768}, {-1, 1}, {1, -1}, {70000, 0}}) {
        FILE *f = gvtest::temporary_stream();
        errno = 0;
        EXPECT_EQ(ChanWriteBin(f, ptrs.data(), u, v), -1) << u << "x" << v;
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(contents_of(f), "") << "nothing written";
        std::fclose(f);
    }
    EXPECT_EQ(ChanWriteBin(nullptr, ptrs.data(), 1, 1), -1);
    FILE *f = gvtest::temporary_stream();
    EXPECT_EQ(ChanWriteBin(f, nullptr, 1, 1), -1);
    std::fclose(f);
}

TEST(Writers, ReportFailedWrites)
{
#if defined(_WIN32)
    GTEST_SKIP() << "no full device";
#else
    Rows rows(100, std::vector<float>(100, 1.5f));
    auto ptrs = pointers(rows);
    for (bool binary : {false, true}) {
        FILE *full = std::fopen("/dev/full", "wb");
        ASSERT_NE(full, nullptr);
        errno = 0;
        const int32_t rc =
            binary ? ChanWriteBin(full, ptrs.data(), 100, 100) : ChanWriteAscii(full, ptrs.data(), 100, 100);
        EXPECT_EQ(rc, -1) << binary;
        EXPECT_EQ(errno, ENOSPC) << binary;
        std::fclose(full);
    }
    // A tiny table that fits the stream's buffer fails at the flush.
    FILE *full = std::fopen("/dev/full", "wb");
    EXPECT_EQ(ChanWriteAscii(full, ptrs.data(), 1, 1), -1);
    std::fclose(full);
#endif
}

} // namespace

namespace {

// Fixed texts both ways, so every platform's build gives the same bytes and
// values whatever its C library does.
TEST(NumberText, SameTextOnEveryPlatform)
{
    const struct {
        uint32_t bits;
        const char *text;
    } written[] = {
        {0x00000000, "0"},
        {0x80000000, "-0"},
        {0x3F800000, "1"},
        {0x501502F9, "10000000000"},
        {0x5A0E1BCA, "1.00000002725642e+16"},
        {0x7F7FFFFF, "3.40282346638529e+38"},
        {0x00000001, "1.40129846432482e-45"},
        {0x3DCCCCCD, "0.100000001490116"},
        {0x38D1B717, "9.99999974737875e-05"},
        {0x7F800000, "inf"},
        {0xFF800000, "-inf"},
        {0x7FC00000, "nan"},
        {0xFFC00000, "-nan"},
    };
    char text[64];
    for (const auto &c : written) {
        *gridvane_core::formats::format_g15(text, static_cast<double>(std::bit_cast<float>(c.bits))) = '\0';
        EXPECT_STREQ(text, c.text) << std::hex << c.bits;
    }
    const struct {
        const char *token;
        uint32_t bits;
    } read[] = {
        {"inf", 0x7F800000},     {"-INFINITY", 0xFF800000}, {"nan", 0x7FC00000},   {"-nan", 0xFFC00000},
        {"0x1.8p3", 0x41400000}, {"0X10", 0x41800000},      {"1e-50", 0x00000000}, {"-1e-50", 0x80000000},
        {"1e39", 0x7F800000},    {"+2.5", 0x40200000},      {"7.5kg", 0x40F00000}, {"x", 0x00000000},
        {"1e+010", 0x501502F9},
    };
    for (const auto &c : read) {
        const float value = static_cast<float>(gridvane_core::formats::atof_c(c.token));
        EXPECT_EQ(std::bit_cast<uint32_t>(value), c.bits) << c.token;
    }
}

} // namespace

namespace {

TEST(AsciiReader, ReadErrorIsNotEndOfInput)
{
#if defined(_WIN32)
    GTEST_SKIP() << "directories do not open as streams";
#else
    // A directory opens as a stream on Linux, and every read of it fails.
    FILE *f = std::fopen("/", "rb");
    ASSERT_NE(f, nullptr);
    int32_t u = 0, v = 0;
    errno = 0;
    const std::string said = messages_of([&] { EXPECT_EQ(ChanReadAscii(f, &u, &v), nullptr); });
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(said, "");
    std::fclose(f);
#endif
}

} // namespace

// Each row of the table of forms reads back what it writes (a form read
// as another, the table form, through its type's reader), frames where it
// keeps them, and names itself to clients.
TEST(Forms, EachFormReadsBackWhatItWrites)
{
    namespace fm = gridvane_core::formats;
    gvtest::Rows rows = {{1.5f, -2.0f, 0.25f, 10.0f}, {3.0f, 4.0f, 1e-3f, 20.0f}}; // the frame in the last slot
    auto ptrs = gvtest::pointers(rows);
    for (const fm::Form &form : fm::every_form()) {
        SCOPED_TRACE(form.words);
        EXPECT_EQ(fm::form_of(form.code), &form);
        ASSERT_NE(form.suffix, nullptr);
        const fm::Form *reader = form.read != nullptr ? &form : fm::file_form(form.type);
        ASSERT_NE(reader, nullptr) << "a form no reader reads";
        EXPECT_EQ(fm::readable(form.code), form.read != nullptr);

        std::string bytes;
        gridvane_io io{&bytes, nullptr,
                       [](void *context, const void *data, size_t size) -> ptrdiff_t {
                           static_cast<std::string *>(context)->append(static_cast<const char *>(data), size);
                           return static_cast<ptrdiff_t>(size);
                       },
                       nullptr};
        fm::CallbackSink sink(io);
        fm::Writing w;
        w.rows = ptrs.data();
        w.columns = 3;
        w.count = 2;
        w.frame_slot = form.frames ? 3 : -1;
        fm::Shape shape;
        shape.frames = shape.frame_slot = form.frames;
        shape.columns = 3;
        shape.rows = 2;
        ASSERT_TRUE(gridvane_core::succeeded(form.fits(shape)));
        ASSERT_TRUE(gridvane_core::succeeded(form.write(sink, w)));

        FILE *f = gvtest::stream_of(bytes);
        fm::StdioSource source(f);
        const fm::Read read = reader->read(source, nullptr, {}, {});
        std::fclose(f);
        ASSERT_TRUE(gridvane_core::succeeded(read.status));
        EXPECT_EQ(read.flags, form.frames ? uint32_t{ARRAY_FRAME} : 0u);
        const std::size_t width = form.frames ? 4 : 3;
        ASSERT_EQ(read.rows.width, static_cast<int64_t>(width));
        ASSERT_EQ(read.rows.count, 2);
        for (std::size_t r = 0; r < 2; ++r)
            for (std::size_t c = 0; c < width; ++c)
                EXPECT_EQ(read.rows.index[r][c], rows[r][c]) << r << "," << c;
        gridvane_core::storage::release_rows(read.rows);
        gridvane_core::storage::release_names(read.names);
    }
}
