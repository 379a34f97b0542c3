#include "number_text.hpp"

#include <charconv>
#include <cmath>

namespace cli {

std::string number_text(double value, int digits)
{
    if (std::isnan(value))
        return std::signbit(value) ? "-nan" : "nan";
    char text[64];
    const auto end = digits == 0 ? std::to_chars(text, text + sizeof text, static_cast<float>(value)).ptr
                                 : std::to_chars(text, text + sizeof text, value, std::chars_format::general, digits).ptr;
    return {text, end};
}

} // namespace cli
