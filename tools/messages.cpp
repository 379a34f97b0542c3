// The tool is its own host for the library's messages: it gives the tools
// library a sink, so that a message becomes the cause in the tool's one line
// ("gridvane: info: FILE: invalid file format") instead of a line of its own.
#include "cli.hpp"

#include "quarnel.h"

namespace {

std::string said;

void keep(const char *text, void *) { said = text; }

} // namespace

namespace cli {

void capture_library_messages() { QuarnelSetMessageSink(keep, nullptr); }

std::string take_library_message()
{
    std::string text;
    text.swap(said);
    if (text.rfind("Gridvane (", 0) == 0)
        if (const auto end = text.find("): "); end != std::string::npos)
            text.erase(0, end + 3);
    const auto first = text.find_first_not_of(' ');
    text.erase(0, first == std::string::npos ? text.size() : first);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

} // namespace cli
