// The tool is its own host for the library's messages: its Libprintf takes
// the place of the tools library's, so that a message becomes the cause in
// the tool's one line ("gridvane: info: FILE: invalid file format") instead
// of a line of its own. Where the platform binds the library to the tools
// library by name (Windows), the library's messages still reach standard
// error as they are. This file does not include the tools library's header,
// which declares the function as imported there.
#include "cli.hpp"

#include <cstdarg>

namespace {
std::string said;
}

#if defined(_WIN32)
#    define TOOL_HOST_API
#else
#    define TOOL_HOST_API __attribute__((visibility("default")))
#endif

extern "C" TOOL_HOST_API int Libprintf(const char *format, ...)
{
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length > 0) {
        said.assign(static_cast<std::size_t>(length), '\0');
        std::vsnprintf(said.data(), said.size() + 1, format, again);
    }
    va_end(again);
    return length;
}

namespace cli {

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
