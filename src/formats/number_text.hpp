// Sample values as text, independent of the process locale: reading gives
// exactly what the C library's atof gives in the C locale, writing exactly
// what printf's "%.15g" writes there.
#pragma once

#include <charconv>
#include <cstring>

namespace gridvane::formats {

// Whether text begins with word (lower-case letters), in either case. Reads
// no more of text than word is long.
bool starts_with_ignoring_case(const char *text, const char *word);

// atof in the C locale: leading white space, a sign, decimal or hex digits
// with point and exponent, inf and nan; the longest such prefix counts, and
// text without one is 0.0.
double atof_c(const char *text);

// The same for a NUL-terminated token that ends at or before limit: plain
// decimal tokens take a single std::from_chars pass.
inline double token_value(const char *token, const char *limit)
{
    double value;
    const auto [end, error] = std::from_chars(token, limit, value);
    if (error == std::errc{} && *end == '\0')
        return value;
    return atof_c(token);
}

// Longest "%.15g" output ("-1.23456789012345e-308") plus room to spare.
inline constexpr int g15_max_chars = 32;

// Writes value as "%.15g" would and returns the end of the text. Values
// that are floats (every sample is one) take an exact integer path; the
// rest go through std::to_chars.
char *format_g15(char *out, double value);

} // namespace gridvane::formats
