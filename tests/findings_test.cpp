// What the readers tell an observer: each place where they take the input
// other than as written, where it is, and how it is worded; and that
// watching never changes what is read.
#include "support.hpp"

#include "formats/formats.hpp"
#include "gridvane_ext.h"

#include <cctype>
#include <fstream>
#include <random>
#include <regex>
#include <set>

using gvtest::stream_of;

namespace {

// "KIND@LINE:COLUMN" for each finding, in order.
struct Seen {
    std::vector<std::string> findings;
    std::vector<std::string> messages;
    int stop_at_kind = 0; // stop the read at the first finding of this kind
};

// The kind's name as the header's macro spells it ("NOT_A_NUMBER").
std::string kind_name(int32_t kind)
{
    const char *name = gridvane_finding_name(kind);
    std::string upper = name != nullptr ? name : "?";
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

extern "C" int remember(const gridvane_finding *f, void *context)
{
    auto *seen = static_cast<Seen *>(context);
    seen->findings.push_back(kind_name(f->kind) + "@" + std::to_string(f->line) + ":" +
                             std::to_string(f->column));
    std::string text(gridvane_finding_message(f, nullptr, 0), '\0');
    gridvane_finding_message(f, text.data(), text.size() + 1);
    seen->messages.push_back(text);
    return f->kind == seen->stop_at_kind ? 1 : 0;
}

struct Read {
    gridvane_core::formats::AsciiRead read;
    Seen seen;
};

Read observed(const std::string &text, int stop_at_kind = 0, const gridvane_core::formats::Reading &reading = {})
{
    Read out;
    out.seen.stop_at_kind = stop_at_kind;
    FILE *f = stream_of(text);
    gridvane_core::formats::StdioSource source(f);
    gridvane_core::formats::Observer observer(remember, &out.seen);
    out.read = gridvane_core::formats::read_ascii(source, gridvane_core::storage::Layout::separate, &observer, {},
                                                  reading);
    std::fclose(f);
    return out;
}

gvtest::Rows rows_of(const gridvane_core::formats::AsciiRead &read)
{
    gridvane_core::storage::release_names(read.names);
    if (read.rows.index == nullptr)
        return {};
    return gvtest::take_rows(read.rows.index, static_cast<int32_t>(read.rows.width),
                             static_cast<int32_t>(read.rows.count));
}

TEST(Findings, AsciiReaderSaysWhereItTakesTextOtherThanWritten)
{
    const struct {
        const char *name;
        std::string text;
        std::vector<std::string> findings;
    } cases[] = {
        {"tokens", "1 abc 3\n1,5 1.2.3 0x10\n",
         {"NOT_A_NUMBER@1:3", "DECIMAL_COMMA@2:1", "PARTIAL_NUMBER@2:5", "HEXADECIMAL@2:11"}},
        {"a decimal comma before a zero", "1 2,0\n", {"DECIMAL_COMMA@1:3"}},
        {"values separated by commas", "1,0,-5,35\n", {"COMMA_SEPARATED@1:1"}},
        {"names in Latin-1", "| caf\xe9 tilt \xc3\xa9t\xc3\xa9\n-\n1 | 2 3 4\n", {"NAME_NOT_UTF8@1:3"}},
        {"gzip-compressed data", std::string("\x1f\x8b\x08\0\0\0\n1\n", 9), {"NOT_PLAIN_TEXT@1:1", "NUL_BYTE@1:4",
         "NAMES_AS_ROW@1:1"}},
        {"UTF-16 text", std::string("1\0 \0002\0\n\0", 8), {"NOT_PLAIN_TEXT@1:1", "NUL_BYTE@1:2", "NUL_BYTE@2:1"}},
        {"whole numbers a float rounds", "16777216 16777217 123456789\n-123456789 1e8 100000001.5\n",
         {"ROUNDED_WHOLE_NUMBER@1:10", "ROUNDED_WHOLE_NUMBER@1:19", "ROUNDED_WHOLE_NUMBER@2:1",
          "ROUNDED_WHOLE_PART@2:16"}},
        // Once a column, after the last row, at the first of the column.
        {"a column of Unix times", "1311868164.363181 1\n1311868164.399026 x\n1.311868164e9 3\n",
         {"NOT_A_NUMBER@2:19", "ROUNDED_WHOLE_PART@1:1"}},
        {"whole numbers below 2^24", "16777215 1.5\n-16777215 8388607.5\n16777216.0 2\n", {}},
        {"a table form's values", "| a b\n-\n1 | 123456789 16777216.5\n2 | 123456789 3\n",
         {"ROUNDED_WHOLE_NUMBER@3:5", "ROUNDED_WHOLE_PART@3:15"}},
        {"frames a float rounds", "| a\n-\n16777216 | 1\n20000001 | 2\n20000003 | 3\n",
         {"INEXACT_FRAME@4:1", "INEXACT_FRAME@5:1"}},
        {"an empty cell between tabs", "1\t2\t3\n4\t\t6\n7\t 8\t9 # \t\t\n", {"EMPTY_CELL@2:3", "SHORT_ROW@2:5"}},
        {"range", "1e39 1e-50 inf -nan 1e-99999 0e-99999\n",
         {"BEYOND_RANGE@1:1", "BELOW_RANGE@1:6", "INFINITE@1:12", "NAN@1:16", "BELOW_RANGE@1:21"}},
        {"names read as numbers", "pan tilt\n1 2\n", {"NAMES_AS_ROW@1:1"}},
        {"table form", "| a b\n --\n--\n1 | 1 2\n2 : 3 4\n2 | 5\n3 | 6 7 8\n",
         {"RULE_INDENTED@2:2", "OTHER_SEPARATOR@5:3", "FRAME_NOT_RISING@6:1", "SHORT_ROW@6:6", "LONG_ROW@7:9"}},
        {"header names", "| a b c\n-\n1 | 1 2\n", {"NAMES_MISMATCH@3:1"}},
        {"a forgotten separator", "| a b\n-\n1 | 2 3\n4 5 6\n", {"VALUE_AS_SEPARATOR@4:3", "SHORT_ROW@4:6"}},
        {"bars out of place", "| a\n-\n1 | 2 |\n| 3\n",
         {"NAMES_MISMATCH@3:1", "EXTRA_SEPARATOR@3:7", "BAR_AS_DATA@4:1", "FRAME_NOT_RISING@4:1",
          "VALUE_AS_SEPARATOR@4:3", "SHORT_ROW@4:4"}},
        {"a separator where a value belongs", "| a b\n-\n1 | 2 3\n2 | 4 |\n", {"EXTRA_SEPARATOR@4:7"}},
        {"frames only", "|\n-\n7\n8 | 1 2\n", {"NO_VALUES@3:1", "LONG_ROW@4:5"}},
        {"NaN frame", "| a\n-\nnan | 1\n2 | 2\n", {"NAN@3:1"}},
        {"NUL and carriage return", std::string("1 2\n3\0 4\n5\r6\n", 13),
         {"NUL_BYTE@2:2", "SHORT_ROW@2:2", "CARRIAGE_RETURN@3:2"}},
        {"CRLF lines are no finding", "1 2\r\n3 4\r\n", {}},
        {"byte-order mark is no part of the text", "\357\273\2771 x\n", {"NOT_A_NUMBER@1:3"}},
        {"a line of the byte-order mark alone", "\357\273\277\n1 2\n", {}},
        {"binary data read as text", std::string("chan\0\0\0\0", 8) + "1\n", {"BINARY_AS_TEXT@1:1", "NUL_BYTE@1:5", "NAMES_AS_ROW@1:1"}},
        {"big-endian binary data read as text", std::string("nahc\0\0\0\0", 8) + "1\n",
         {"BINARY_AS_TEXT@1:1", "NUL_BYTE@1:5", "NAMES_AS_ROW@1:1"}},
        {"comments hide what they hold", std::string("# 1,5 abc\n1 2 # x\0y z\n", 22), {}},
    };
    for (const auto &c : cases) {
        const Read got = observed(c.text);
        EXPECT_TRUE(gridvane_core::succeeded(got.read.status)) << c.name;
        EXPECT_EQ(got.seen.findings, c.findings) << c.name;
        rows_of(got.read);
    }
    // A line of the mark alone is a blank line: the row after it is the table.
    EXPECT_EQ(rows_of(observed("\357\273\277\n1 2\n").read), (gvtest::Rows{{1, 2}}));
    // A NUL in a line longer than any buffer: what follows it is skipped,
    // as it is never read, and the lines after it keep their numbers.
    const Read nul = observed(std::string("1 2\0", 4) + std::string(300000, 'x') + "\n3 x\n");
    EXPECT_EQ(nul.seen.findings, (std::vector<std::string>{"NUL_BYTE@1:4", "NOT_A_NUMBER@2:3"}));
    EXPECT_EQ(rows_of(nul.read), (gvtest::Rows{{1, 2}, {3, 0}}));
}

// Two tabs in a row, a carriage return and a NUL are found wherever they
// stand in a line: in the first bytes or the last, in one block of 16
// bytes or across two, in lines of any length (each of which its host may
// split byte by byte or in blocks); and none where a comment or a NUL
// hides them, nor a pair whose second tab would end what is seen.
TEST(Findings, MarksInALineAreToldWhereverTheyStand)
{
    for (std::size_t values = 1; values <= 40; ++values) {
        std::string line;
        for (std::size_t i = 0; i < values; ++i)
            line += i == 0 ? "7" : "\t7";
        const Read plain = observed(line + "\n");
        EXPECT_EQ(plain.seen.findings, std::vector<std::string>{}) << line;
        EXPECT_EQ(rows_of(plain.read), (gvtest::Rows{std::vector<float>(values, 7.0f)})) << line;
        // A tab doubled after each value in turn, the last one's included.
        for (std::size_t tab = 1; tab <= line.size(); tab += 2) {
            std::string doubled = line;
            doubled.insert(tab, tab == line.size() ? "\t\t" : "\t");
            const std::string expected = "EMPTY_CELL@1:" + std::to_string(tab + 2);
            for (const char *after : {"\n", "# x\t\t\n", "\t# \t\t\n"}) {
                const Read got = observed(doubled + after + "7\n");
                rows_of(got.read);
                ASSERT_FALSE(got.seen.findings.empty()) << doubled << after;
                EXPECT_EQ(got.seen.findings[0], expected) << doubled << after;
            }
        }
        // A carriage return, a NUL or a comment in the place of each tab in
        // turn: what stands after a NUL or a '#' is not looked at.
        for (std::size_t at = 1; at < line.size(); at += 2) {
            const auto with = [&](char c) { return line.substr(0, at) + c + line.substr(at + 1) + "\t\t\r7\n"; };
            const std::string column = std::to_string(at + 1);
            const struct {
                char c;
                std::vector<std::string> findings;
            } marks[] = {{'\r', {"CARRIAGE_RETURN@1:" + column, "EMPTY_CELL@1:" + std::to_string(line.size() + 2)}},
                         {'\0', {"NUL_BYTE@1:" + column}},
                         {'#', {}}};
            for (const auto &mark : marks) {
                const Read got = observed(with(mark.c));
                EXPECT_EQ(got.seen.findings, mark.findings) << line << " with " << int(mark.c) << " at " << at;
                rows_of(got.read);
            }
        }
        // A single tab before the comment or the line's end is no pair.
        for (const char *after : {"\t#\t\t\n", "\t\n", "\t"}) {
            const Read got = observed(line + after);
            EXPECT_EQ(got.seen.findings, std::vector<std::string>{}) << line << after;
            rows_of(got.read);
        }
    }
}

// What a load says of input that its first bytes show to be no channel
// file: compressed data, or text of two or four bytes a character, with its
// byte-order mark or without, however short; the words of the failure, or
// of the first finding where the bytes are read as text.
TEST(Findings, FirstBytesNameWhatTheInputIs)
{
    const struct {
        std::string bytes;
        std::string said;
    } cases[] = {
        {std::string("\x1f\x8b", 2), "invalid file format: gzip-compressed data, not a channel file"},
        {"BZh", "invalid file format: bzip2-compressed data, not a channel file"},
        {std::string("\xff\xfe\0\0", 4), "invalid file format: UTF-32 text (little-endian), not a channel file"},
        {std::string("\xff\xfe" "1\0", 4), "invalid file format: UTF-16 text (little-endian), not a channel file"},
        {std::string("\xfe\xff\0" "1", 4), "invalid file format: UTF-16 text (big-endian), not a channel file"},
        {std::string("\0" "1\0 \0" "2", 6), "invalid file format: UTF-16 text (big-endian), not a channel file"},
        {std::string("1\0 \0" "2\0\n\0", 8),
         "UTF-16 text (little-endian) read as text: the reader takes its bytes for numbers"},
    };
    const gvtest::TempFolder folder;
    for (const auto &c : cases) {
        const std::string path = folder.write("input", c.bytes);
        Seen seen;
        gridvane_report report{};
        const int32_t id = gridvane_load(path.c_str(), GRIDVANE_FORM_DECIDE, remember, &seen, &report);
        std::string said(gridvane_status_message(&report.status, nullptr, 0), '\0');
        gridvane_status_message(&report.status, said.data(), said.size() + 1);
        if (id > 0) {
            said = seen.messages.empty() ? "" : seen.messages[0];
            ArrayFree(id);
        }
        EXPECT_EQ(said, c.said) << testing::PrintToString(c.bytes);
    }
}

TEST(Findings, WordedForPeople)
{
    const Read got = observed("| pan tilt\n-----\n1 | 0 -5\n12 | 8,25 -4.5\n24 21\n");
    EXPECT_EQ(got.seen.messages,
              (std::vector<std::string>{"'8,25' has text after the number: the reader takes 8 (a decimal comma)",
                                        "'21' stands where the separator '|' belongs: the reader drops it",
                                        "0 values where the first row has 2: the reader reads the missing 2 as 0"}));
    rows_of(got.read);
    // The caller's buffer gets what fits, NUL-terminated; the length is the
    // whole text's.
    gridvane_finding f{};
    f.kind = GRIDVANE_FINDING_NOT_A_NUMBER;
    f.text = "abc";
    char small[8];
    EXPECT_EQ(gridvane_finding_message(&f, small, sizeof small), std::strlen("'abc' is not a number: the reader takes 0"));
    EXPECT_STREQ(small, "'abc' i");

    // Counts no file gives, as a finding built by hand may carry: the words
    // hold the difference to what 64 bits count, and cannot fail.
    const struct {
        int32_t kind;
        int64_t expected, found;
        const char *words;
    } extremes[] = {
        {GRIDVANE_FINDING_SHORT_ROW, INT64_MAX, INT64_MIN, "the reader reads the missing 9223372036854775807 as 0"},
        {GRIDVANE_FINDING_SHORT_ROW, INT64_MIN, INT64_MAX, "the reader reads the missing -9223372036854775808 as 0"},
        {GRIDVANE_FINDING_LONG_ROW, INT64_MIN, INT64_MAX, "the reader ignores the last 9223372036854775807"},
        {GRIDVANE_FINDING_LONG_ROW, 3, 5, "the reader ignores the last 2"},
    };
    const auto words = [](const gridvane_finding *g) {
        std::string text(gridvane_finding_message(g, nullptr, 0), '\0');
        gridvane_finding_message(g, text.data(), text.size() + 1);
        return text;
    };
    for (const auto &e : extremes) {
        gridvane_finding g{};
        g.kind = e.kind;
        g.expected = e.expected;
        g.found = e.found;
        EXPECT_NE(words(&g).find(e.words), std::string::npos) << words(&g);
    }
}

// Every status has words of its own, never the fallback for a code the
// words do not know.
TEST(Findings, EveryStatusHasItsWords)
{
    const int32_t codes[] = {GRIDVANE_OK,
                             GRIDVANE_E_ARGUMENT,
                             GRIDVANE_E_BAD_SUFFIX,
                             GRIDVANE_E_OPEN,
                             GRIDVANE_E_READ,
                             GRIDVANE_E_EMPTY,
                             GRIDVANE_E_INVALID_FORMAT,
                             GRIDVANE_E_NO_DATA,
                             GRIDVANE_E_NO_RULE_LINE,
                             GRIDVANE_E_NO_DATA_AFTER_RULE,
                             GRIDVANE_E_BAD_MAGIC,
                             GRIDVANE_E_TRUNCATED_HEADER,
                             GRIDVANE_E_TRUNCATED_SAMPLES,
                             GRIDVANE_E_NEGATIVE_COUNT,
                             GRIDVANE_E_NO_MEMORY,
                             GRIDVANE_E_TOO_LARGE,
                             GRIDVANE_E_WRITE,
                             GRIDVANE_E_UNKNOWN_HANDLE,
                             GRIDVANE_E_NO_SAMPLES,
                             GRIDVANE_E_REFUSED,
                             GRIDVANE_E_FRAMES_LOST,
                             GRIDVANE_E_FORM_AGAINST_NAME,
                             GRIDVANE_E_UNNAMED_FORM,
                             GRIDVANE_E_BAD_NAME,
                             GRIDVANE_E_OBSERVER,
                             GRIDVANE_E_CHANGED,
                             GRIDVANE_E_OUT_OF_PROPORTION,
                             GRIDVANE_E_AGAINST_READING};
    for (const int32_t code : codes) {
        gridvane_status s{};
        s.code = code;
        s.error = EIO;
        const std::size_t length = gridvane_status_message(&s, nullptr, 0);
        std::string text(length, '\0');
        gridvane_status_message(&s, text.data(), length + 1);
        EXPECT_GT(length, 0u) << code;
        EXPECT_EQ(text.find("unknown status"), std::string::npos) << code << ": " << text;
        // The words of the code alone name no count a status would carry.
        std::string bare(gridvane_code_message(code, EIO, nullptr, 0), '\0');
        gridvane_code_message(code, EIO, bare.data(), bare.size() + 1);
        EXPECT_EQ(bare.find("unknown status"), std::string::npos) << code << ": " << bare;
        EXPECT_EQ(bare.find(" 0 "), std::string::npos) << code << ": " << bare;
    }
}

// Every GRIDVANE_FINDING_ macro the public header defines has a row in the
// list of findings: its own name, the severity its comment states, and
// words of its own.
TEST(Findings, EveryFindingHasANameASeverityAndWords)
{
    std::ifstream header(GRIDVANE_TEST_DATA "/../../include/gridvane_ext.h");
    ASSERT_TRUE(header) << "the public header is not where the tests expect it";
    const std::regex definition(R"(^#define GRIDVANE_FINDING_([A-Z0-9_]+) +([0-9]+) +/\* (WARNING|ERROR):)");
    std::set<int32_t> codes;
    std::string line;
    while (std::getline(header, line)) {
        std::smatch m;
        if (!std::regex_search(line, m, definition))
            continue;
        const int32_t code = std::stoi(m[2]);
        codes.insert(code);
        EXPECT_EQ(kind_name(code), m[1].str()) << code;
        EXPECT_EQ(gridvane_core::formats::Observer::severity_of(code),
                  m[3] == "WARNING" ? GRIDVANE_SEVERITY_WARNING : GRIDVANE_SEVERITY_ERROR)
            << m[1];
        gridvane_finding f{};
        f.kind = code;
        std::string words(gridvane_finding_message(&f, nullptr, 0), '\0');
        gridvane_finding_message(&f, words.data(), words.size() + 1);
        EXPECT_EQ(words.find("unknown finding"), std::string::npos) << m[1] << ": " << words;
    }
    ASSERT_FALSE(codes.empty());
    // The codes run from 1 without a gap, and the list knows none beyond them.
    EXPECT_EQ(*codes.begin(), 1);
    EXPECT_EQ(*codes.rbegin(), static_cast<int32_t>(codes.size()));
    EXPECT_EQ(gridvane_finding_name(0), nullptr);
    EXPECT_EQ(gridvane_finding_name(static_cast<int32_t>(codes.size()) + 1), nullptr);
}

TEST(Findings, RoundedNumbersCountedOnceAColumn)
{
    const Read got = observed("1311868164.36 5e9\n1311868164.39 1\n1311868164.43 5e9\n");
    EXPECT_EQ(got.seen.messages,
              (std::vector<std::string>{"'1311868164.36' is past 16777216, where a float keeps no fraction and not every "
                                        "whole number: the reader takes 1311868160, and rounds 2 more in column 0"}));
    rows_of(got.read);
}

// "code@line:column expected/found" of a read's status.
std::string status_of(const gridvane_core::formats::AsciiRead &read)
{
    const gridvane_status &s = read.status;
    return std::to_string(s.code) + "@" + std::to_string(s.line) + ":" + std::to_string(s.column) + " " +
           std::to_string(s.expected) + "/" + std::to_string(s.found);
}

TEST(Findings, AReadingsRulesRefuseAtTheirPlace)
{
    using gridvane_core::formats::Reading;
    const Reading names{true, -1}, frames{false, 0}, both{true, 1};
    const std::string against = std::to_string(GRIDVANE_E_AGAINST_READING);
    const struct {
        const char *name;
        std::string text;
        Reading reading;
        std::string status; // "" when the read succeeds
        gvtest::Rows rows;
        std::vector<std::string> names;
    } cases[] = {
        {"names", "# pose\nt x y\n1 2 3\n", names, "", {{1, 2, 3}}, {"t", "x", "y"}},
        {"a name too many", "t x y z\n1 2 3\n", names, against + "@1:7 3/17", {}, {}},
        {"a name missing", "t x # y\n1 2 3\n", names, against + "@1:5 3/17", {}, {}},
        {"names and no row", "t x y\n# none\n", names, against + "@1:6 0/16", {}, {}},
        {"names of a table form", "| a\n-\n1 | 2\n", names, against + "@1:1 0/0", {}, {}},
        {"frames first", "1 5 6\n2 7 8\n4 9 9\n", frames, "", {{5, 6, 1}, {7, 8, 2}, {9, 9, 4}}, {}},
        {"frames in the middle, named", "a f b\n5 1 6\n7 2 8\n", both, "", {{5, 6, 1}, {7, 8, 2}}, {"a", "b"}},
        {"a frame that falls", "1 5\n3 6\n\n3 7\n", frames, against + "@4:1 2/15", {}, {}},
        {"a frame with a fraction", "1 5\n2.5 6\n", frames, against + "@2:1 0/26", {}, {}},
        {"a frame a float rounds", "16777216 5\n16777217 6\n", frames, against + "@2:1 0/26", {}, {}},
        {"a frame of text", "1 5\nx 6\n", frames, against + "@2:1 0/26", {}, {}},
        {"a NaN frame", "1 5\nnan 6\n", frames, against + "@2:1 0/26", {}, {}},
        {"a row without its frame", "1 5 6\n2 7\n\t\n", Reading{false, 2}, against + "@2:4 2/13", {}, {}},
    };
    for (const auto &c : cases) {
        for (const int watched : {0, 1}) {
            gridvane_core::formats::AsciiRead read;
            if (watched != 0) {
                read = observed(c.text, 0, c.reading).read;
            } else {
                FILE *f = stream_of(c.text);
                gridvane_core::formats::StdioSource source(f);
                read = gridvane_core::formats::read_ascii(source, gridvane_core::storage::Layout::separate, nullptr,
                                                          {}, c.reading);
                std::fclose(f);
            }
            EXPECT_EQ(gridvane_core::succeeded(read.status) ? "" : status_of(read), c.status) << c.name;
            std::vector<std::string> got_names(read.names.list, read.names.list + read.names.count);
            EXPECT_EQ(got_names, c.names) << c.name;
            EXPECT_EQ(read.frames_column, gridvane_core::succeeded(read.status) && c.reading.frames_column >= 0);
            EXPECT_EQ(rows_of(read), c.rows) << c.name;
        }
    }
    const gridvane_status s{GRIDVANE_E_AGAINST_READING, EIO, 1, 7, 6, 3, GRIDVANE_FINDING_NAMES_MISMATCH};
    char text[200];
    gridvane_status_message(&s, text, sizeof text);
    EXPECT_STREQ(text, "the line of names does not give one name a column: the first row has 3 values");
}

TEST(Findings, StoppingAtAFindingRefusesTheRead)
{
    const Read got = observed("1 2\n3 4,5\n6 7\n", GRIDVANE_FINDING_DECIMAL_COMMA);
    EXPECT_EQ(got.read.rows.index, nullptr);
    EXPECT_EQ(got.read.status.code, GRIDVANE_E_REFUSED);
    EXPECT_EQ(got.read.status.line, 2);
    EXPECT_EQ(got.read.status.column, 3);
    EXPECT_EQ(got.read.status.found, GRIDVANE_FINDING_DECIMAL_COMMA);
}

// Random text of the kinds files hold, good and bad.
std::string random_text(std::mt19937 &rng)
{
    static const char *const tokens[] = {"1",   "-2.5", "3e5",  "1,5", "abc", "|",    "0x1f", "nan", "inf",
                                         "1e99", "7.",   "+.5",  "--",  "#",   "1e-60", "12|", "\t",  " "};
    static const char *const lines[] = {"| a b\n", "---\n", "\n", "# c\n", "\xEF\xBB\xBF"};
    std::uniform_int_distribution<int> pick(0, 99), token(0, static_cast<int>(std::size(tokens)) - 1),
        line(0, static_cast<int>(std::size(lines)) - 1), width(0, 6);
    std::string text;
    for (int l = pick(rng) % 12; l >= 0; --l) {
        if (pick(rng) < 25) {
            text += lines[line(rng)];
            continue;
        }
        for (int t = width(rng); t >= 0; --t)
            text += std::string(tokens[token(rng)]) + (pick(rng) < 80 ? " " : "");
        text += pick(rng) < 90 ? "\n" : "\r\n";
    }
    return text;
}

TEST(Findings, WatchingNeverChangesWhatIsRead)
{
    std::mt19937 rng(17);
    for (int i = 0; i < 3000; ++i) {
        const std::string text = random_text(rng);
        FILE *f = stream_of(text);
        gridvane_core::formats::StdioSource source(f);
        const gridvane_core::formats::AsciiRead plain = gridvane_core::formats::read_ascii(source, gridvane_core::storage::Layout::separate);
        std::fclose(f);
        const Read watched = observed(text);
        EXPECT_EQ(plain.status.code, watched.read.status.code) << text;
        EXPECT_EQ(plain.table_form, watched.read.table_form) << text;
        EXPECT_TRUE(gvtest::same_bits(rows_of(plain), rows_of(watched.read))) << text;
    }
}

TEST(Findings, FailuresHaveAPlace)
{
    const struct {
        std::string text;
        int32_t code;
        int64_t line;
    } cases[] = {
        {"", GRIDVANE_E_NO_DATA, 1},
        {"# a\n\n# b\n", GRIDVANE_E_NO_DATA, 3},
        {"| a\nb\n", GRIDVANE_E_NO_RULE_LINE, 1},
        {"\n| a\n-\n\n", GRIDVANE_E_NO_DATA_AFTER_RULE, 3},
    };
    for (const auto &c : cases) {
        const Read got = observed(c.text);
        EXPECT_EQ(got.read.status.code, c.code) << c.text;
        EXPECT_EQ(got.read.status.line, c.line) << c.text;
    }
}

std::string binary_bytes(const gvtest::Rows &rows, int32_t columns)
{
    return gvtest::binary_of(rows, columns, static_cast<int32_t>(rows.size()));
}

TEST(Findings, BinaryReaderSaysWhatTheHeaderAndSamplesHold)
{
    const std::string good = binary_bytes({{1, NAN}, {INFINITY, 4}}, 2);
    Seen seen;
    FILE *f = stream_of(good + "xy");
    gridvane_core::formats::StdioSource source(f);
    gridvane_core::formats::Observer observer(remember, &seen);
    const gridvane_core::formats::BinaryRead read =
        gridvane_core::formats::read_binary(source, gridvane_core::storage::Layout::separate, &observer);
    std::fclose(f);
    ASSERT_TRUE(gridvane_core::succeeded(read.status));
    EXPECT_EQ(seen.findings, (std::vector<std::string>{"NAN@1:69", "INFINITE@1:73", "TRAILING_BYTES@1:81"}));
    EXPECT_EQ(seen.messages, (std::vector<std::string>{"NaN at row 0, column 1", "infinite value at row 1, column 0",
                                                       "2 bytes after the last sample are ignored"}));
    gvtest::take_rows(read.rows.index, 2, 2);

    // Failures, with their place and words.
    std::string negative = good;
    negative[10] = '\xFF';
    negative[11] = '\xFF';
    const struct {
        std::string bytes;
        int32_t code;
        int64_t column;
        const char *words;
    } failures[] = {
        {good.substr(0, 30), GRIDVANE_E_TRUNCATED_HEADER, 31, "truncated header: 30 of 64 bytes"},
        {good.substr(0, 70), GRIDVANE_E_TRUNCATED_SAMPLES, 71, "truncated samples: 6 of 16 bytes"},
        {"CHAN" + good.substr(4), GRIDVANE_E_BAD_MAGIC, 1,
         "the reader wants the magic 'chan' or 'nahc' and finds 'CHAN' (invalid magic number)"},
        {"1 2\n3 4\n", GRIDVANE_E_BAD_MAGIC, 1,
         "text under a binary name or form: the reader wants the magic 'chan' or 'nahc' and finds '1 2\\x0a' "
         "(invalid magic number)"},
        {negative, GRIDVANE_E_NEGATIVE_COUNT, 11, "negative row count -1: the reader cannot allocate it"},
    };
    for (const auto &c : failures) {
        FILE *in = stream_of(c.bytes);
        gridvane_core::formats::StdioSource bytes(in);
        const gridvane_core::formats::BinaryRead failed = gridvane_core::formats::read_binary(bytes, gridvane_core::storage::Layout::separate);
        std::fclose(in);
        EXPECT_EQ(failed.rows.index, nullptr);
        EXPECT_EQ(failed.status.code, c.code) << c.words;
        EXPECT_EQ(failed.status.column, c.column) << c.words;
        char text[200];
        gridvane_status_message(&failed.status, text, sizeof text);
        EXPECT_STREQ(text, c.words);
    }
}

TEST(Findings, BinaryHeaderParsedInOnePlace)
{
    const std::string good = binary_bytes({{1, 2, 3}}, 3);
    std::string big = good;
    std::reverse(big.begin(), big.begin() + 4);
    std::swap(big[8], big[9]);
    std::swap(big[10], big[11]);
    const struct {
        std::string bytes;
        int32_t result, code, big_endian, columns, rows;
    } cases[] = {
        {good, 0, GRIDVANE_OK, 0, 3, 1},
        {big.substr(0, 64), 0, GRIDVANE_OK, 1, 3, 1},
        {good.substr(0, 12), -1, GRIDVANE_E_TRUNCATED_HEADER, 0, 0, 0},
        {"nope", -1, GRIDVANE_E_BAD_MAGIC, 0, 0, 0},
        {"ch", -1, GRIDVANE_E_TRUNCATED_HEADER, 0, 0, 0},
    };
    for (const auto &c : cases) {
        gridvane_binary_header header{};
        gridvane_status status{};
        EXPECT_EQ(gridvane_parse_binary_header(c.bytes.data(), c.bytes.size(), &header, &status), c.result);
        EXPECT_EQ(status.code, c.code);
        EXPECT_EQ(header.big_endian, c.big_endian);
        EXPECT_EQ(header.columns, c.columns);
        EXPECT_EQ(header.rows, c.rows);
    }
}

} // namespace
