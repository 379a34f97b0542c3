// A host with its own tools library: messages are recorded as format and
// arguments, Parse also splits at commas, and the file-type lookup knows
// suffixes the stand-in does not, including codes Gridvane must refuse.
#include "support.hpp"

#include <cstdarg>
#include <cstring>

namespace {

struct Message {
    std::string format;
    std::vector<std::string> strings;
};
std::vector<Message> recorded;

} // namespace

extern "C" {

int Libprintf(const char *format, ...)
{
    Message m{format, {}};
    va_list args;
    va_start(args, format);
    for (const char *p = std::strstr(format, "%s"); p != nullptr; p = std::strstr(p + 2, "%s"))
        m.strings.emplace_back(va_arg(args, const char *));
    va_end(args);
    recorded.push_back(m);
    return 0;
}

int Parse(char *line, char **tokens, int max)
{
    int n = 0;
    char *p = line;
    while (n < max) {
        while (*p != '\0' && std::strchr(" \t\n\r,", *p) != nullptr)
            ++p;
        if (*p == '\0')
            break;
        tokens[n++] = p;
        while (*p != '\0' && std::strchr(" \t\n\r,", *p) == nullptr)
            ++p;
        if (*p == '\0')
            break;
        *p++ = '\0';
    }
    return n;
}

int GetHalvicFileType(const char *name)
{
    const char *dot = std::strrchr(name, '.');
    if (dot == nullptr)
        return -1;
    if (std::strcmp(dot, ".med") == 0)
        return 1024;
    if (std::strcmp(dot, ".any") == 0)
        return 0;
    if (std::strcmp(dot, ".csv") == 0)
        return CHAN_ASCII;
    return -1;
}

} // extern "C"

namespace {

class HostTools : public gvtest::RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        recorded.clear();
    }
    std::string file(const std::string &name, const std::string &bytes) { return folder_.write(name, bytes); }
    gvtest::TempFolder folder_; // each test's own
};

TEST_F(HostTools, TheHostsSplittingIsHonoured)
{
    const int32_t id = ArrayLoad(file("t.csv", "1,2,3\n4,5,6\n").c_str());
    ASSERT_EQ(id, 1);
    EXPECT_EQ(ArrayCountU(id), 3.0f);
    EXPECT_EQ(ArrayGetIValue(id, 2, 1), 6.0f);
}

TEST_F(HostTools, CodesBeyondTheChannelKinds)
{
    const std::string med = file("t.med", "1 2\n");
    errno = 0;
    EXPECT_EQ(ArrayLoad(med.c_str()), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].format, "Gridvane (ArrayLoad):  Bad suffix on %s\n");
    EXPECT_EQ(recorded[0].strings, std::vector<std::string>{med});

    // Code 0 decides by content on load, and means ASCII on save whatever
    // the fallback says.
    const int32_t id = ArrayLoad(file("t.any", "# c\n 7 8\n").c_str());
    ASSERT_EQ(id, 1);
    const std::string out = folder_.path("out.any");
    EXPECT_EQ(ArraySave(id, out.c_str(), CHAN_BIN), 0);
    EXPECT_EQ(gvtest::TempFolder::read(out), "\t7\t8\n");

    recorded.clear();
    EXPECT_EQ(ArraySave(id, folder_.path("x.med").c_str(), 0), -1);
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].format, "Gridvane (ArraySave):  Bad suffix on %s\n");
}

} // namespace
