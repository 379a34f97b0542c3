// The stand-in tools library, through the same declarations Gridvane uses.
#include "host/tools.hpp"
#include "quarnel.h"

#include <gtest/gtest.h>

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
