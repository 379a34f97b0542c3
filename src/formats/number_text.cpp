#include "number_text.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace gridvane::formats {

namespace {

bool is_c_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c, bool hex)
{
    if (c >= '0' && c <= '9')
        return true;
    return hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
}

bool starts_with_ignoring_case(const char *text, const char *word)
{
    for (; *word != '\0'; ++text, ++word)
        if ((*text | 0x20) != *word)
            return false;
    return true;
}

// from_chars reports both overflow and underflow as out of range; atof gives
// infinity for the first and zero for the second. The position of the first
// significant digit plus the exponent tells which (only extreme magnitudes
// are ever out of range, so an estimate is exact enough).
bool overflows(const char *digits, bool hex)
{
    std::int64_t position = 0;
    bool significant = false, fraction = false;
    const char *p = digits;
    for (;; ++p) {
        if (*p == '.' && !fraction) {
            fraction = true;
            continue;
        }
        if (!is_digit(*p, hex))
            break;
        if (!significant && *p != '0')
            significant = true;
        if (significant && !fraction)
            ++position;
        else if (!significant && fraction)
            --position;
    }
    std::int64_t exponent = 0;
    if ((*p | 0x20) == (hex ? 'p' : 'e')) {
        ++p;
        const bool negative = *p == '-';
        if (*p == '-' || *p == '+')
            ++p;
        for (; *p >= '0' && *p <= '9'; ++p)
            if (exponent < 1'000'000'000)
                exponent = exponent * 10 + (*p - '0');
        if (negative)
            exponent = -exponent;
    }
    return (hex ? position * 4 : position) + exponent > 0;
}

} // namespace

double atof_c(const char *text)
{
    const char *p = text;
    while (is_c_space(*p))
        ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    const char *const limit = p + std::strlen(p);

    double magnitude = 0.0;
    const bool hex = p[0] == '0' && (p[1] | 0x20) == 'x' &&
                     (is_digit(p[2], true) || (p[2] == '.' && is_digit(p[3], true)));
    if (hex) {
        const auto result = std::from_chars(p + 2, limit, magnitude, std::chars_format::hex);
        if (result.ec == std::errc::result_out_of_range)
            magnitude = overflows(p + 2, true) ? HUGE_VAL : 0.0;
    } else if (starts_with_ignoring_case(p, "inf")) {
        magnitude = std::numeric_limits<double>::infinity();
    } else if (starts_with_ignoring_case(p, "nan")) {
        magnitude = std::numeric_limits<double>::quiet_NaN();
    } else if (*p == '-' || *p == '+') {
        return 0.0; // a second sign: no number, and no sign applied
    } else {
        const auto result = std::from_chars(p, limit, magnitude, std::chars_format::general);
        if (result.ec == std::errc::result_out_of_range)
            magnitude = overflows(p, false) ? HUGE_VAL : 0.0;
        else if (result.ec != std::errc{})
            return 0.0; // no number at all: the sign is not applied either
    }
    return negative ? -magnitude : magnitude;
}

} // namespace gridvane::formats
