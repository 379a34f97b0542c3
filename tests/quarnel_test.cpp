// The stand-in tools library, through the same declarations Gridvane uses.
#include "host/tools.hpp"
#include "quarnel.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::string> split(std::string line, int max)
{
    std::vector<char *> tokens(static_cast<size_t>(max > 0 ? max : 1));
    const int n = Parse(line.data(), tokens.data(), max);
    return {tokens.begin(), tokens.begin() + n};
}

using Tokens = std::vector<std::string>;

TEST(Quarnel, ParseSplitsAtEveryWhiteSpaceKind)
{
    const struct {
        const char *line;
        int max;
        Tokens tokens;
    } cases[] = {
        {"1 2\t3\n", 10, {"1", "2", "3"}},
        {"  a\r\n", 10, {"a"}},
        {"x\vy\fz", 10, {"x", "y", "z"}},
        {" \t\r\n", 10, {}},
        {"", 10, {}},
        {"a b c d", 2, {"a", "b"}},
        {"a b", 0, {}},
        {"| col1 col2", 10, {"|", "col1", "col2"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(split(c.line, c.max), c.tokens) << '"' << c.line << '"';
}

// Parse against a byte-at-a-time splitter, on lines long enough for its
// blocks of 32 and 16 bytes and the overlapping last block, with tokens of
// every length, every separator, and token limits around what a line holds.
TEST(Quarnel, ParseMatchesASimpleSplitter)
{
    std::mt19937 rng(17);
    const std::string separators = " \t\n\v\f\r";
    for (int round = 0; round < 3000; ++round) {
        std::string line;
        const auto length = rng() % 200;
        while (line.size() < length) {
            const bool separator = rng() % 3 == 0;
            const auto run = 1 + rng() % (round % 2 ? 3 : 20);
            for (unsigned i = 0; i < run; ++i)
                line += separator ? separators[rng() % separators.size()] : static_cast<char>('!' + rng() % 90);
        }
        Tokens want;
        for (std::size_t i = 0; i < line.size();) {
            const std::size_t end = line.find_first_of(separators, i);
            if (end != i)
                want.push_back(line.substr(i, end - i));
            i = end == std::string::npos ? line.size() : end + 1;
        }
        const int max = round % 3 == 0 ? static_cast<int>(rng() % 40) : static_cast<int>(line.size() / 2 + 1);
        if (want.size() > static_cast<std::size_t>(max))
            want.resize(static_cast<std::size_t>(max));
        ASSERT_EQ(split(line, max), want) << '"' << line << "\" max " << max;
    }
}

TEST(Quarnel, FileTypesBySuffix)
{
    const struct {
        const char *name;
        int code;
    } cases[] = {
        {"a.chb", 512}, {"dir/a.BCHAN", 512}, {"a.chan", 768}, {"A.CHA", 768},        {"notes.txt", 768}, {"a.bin", -1},
        {"stdin", -1},  {"stdout", -1},       {".chan", -1},   {"dir.chan/file", -1}, {"x.chan.gz", -1},  {"", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(GetHalvicFileType(c.name), c.code) << c.name;
}

TEST(Quarnel, LibprintfWritesExactlyTheFormattedText)
{
    testing::internal::CaptureStderr();
    Libprintf("Gridvane (ArrayLoad): Can't open %s: %s\n", "a b", "why");
    Libprintf("no newline");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Gridvane (ArrayLoad): Can't open a b: why\nno newline");
}

TEST(Quarnel, MessageSinkTakesWholeMessagesAndNullRestoresStandardError)
{
    std::vector<std::string> got;
    const auto sink = [](const char *text, void *context) {
        static_cast<std::vector<std::string> *>(context)->emplace_back(text);
    };
    const std::string long_name(5000, 'n'); // far beyond any small buffer
    const std::string long_message = "Gridvane (ArrayLoad): Can't open " + long_name + ": why\n";
    testing::internal::CaptureStderr();
    QuarnelSetMessageSink(sink, &got);
    EXPECT_EQ(Libprintf("Gridvane (ArrayLoad): Can't open %s: %s\n", long_name.c_str(), "why"),
              static_cast<int>(long_message.size()));
    Libprintf("short\n");
    QuarnelSetMessageSink(nullptr, &got);
    Libprintf("back to stderr\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "back to stderr\n");
    EXPECT_EQ(got, (std::vector<std::string>{long_message, "short\n"}));
}

} // namespace
