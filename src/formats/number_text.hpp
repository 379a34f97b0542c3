// Sample values as text, independent of the process locale: reading gives
// exactly what the C library's atof gives in the C locale, writing exactly
// what printf's "%.15g" writes there.
#pragma once

#include <bit>
#include <cfloat>
#include <charconv>
#include <cstdint>
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

// Bytes that must be readable after the NUL of a token given to
// padded_token_value.
inline constexpr std::size_t token_padding = 8;

namespace detail {

// Up to eight decimal digits at p, read as one 64-bit word (the first
// character in the lowest byte): appends them to m and returns how many
// there were.
[[gnu::always_inline]] inline unsigned append_digits(const char *p, std::uint64_t &m)
{
    static constexpr std::uint64_t scale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    std::uint64_t chunk;
    std::memcpy(&chunk, p, sizeof chunk);
    if constexpr (std::endian::native == std::endian::big)
        chunk = __builtin_bswap64(chunk);
    // Digits become 0..9; every other byte gets its top bit set in the mask.
    const std::uint64_t x = chunk ^ 0x3030303030303030u;
    const std::uint64_t other = (((x & 0x7F7F7F7F7F7F7F7Fu) + 0x7676767676767676u) | x) & 0x8080808080808080u;
    const unsigned n = other == 0 ? 8 : static_cast<unsigned>(std::countr_zero(other)) / 8;
    if (n == 0)
        return 0;
    // The n digits move to the top bytes behind zeros; then pairs, fours and
    // eights of digits are combined with three multiplications.
    std::uint64_t v = x << (8 * (8 - n));
    v = v * 10 + (v >> 8);
    v = (((v & 0x000000FF000000FFu) * 0x000F424000000064u) + (((v >> 16) & 0x000000FF000000FFu) * 0x0000271000000001u)) >>
        32;
    m = m * scale[n] + static_cast<std::uint32_t>(v);
    return n;
}

// Decimals ("-12.375", ".5", "7", "-4.20018568547675e-06") whose digits fit
// 2^53 and whose power of ten, the exponent less the digits after the point,
// lies within +-22: the digits as an integer and that power of ten are both
// exact doubles, so the one rounding of their product or quotient gives the
// correctly rounded value, the one from_chars gives. False for anything else.
[[gnu::always_inline]] inline bool short_decimal(const char *p, double &value)
{
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    static_assert(FLT_EVAL_METHOD == 0, "the division must round to double once");
    const bool negative = *p == '-';
    p += negative;
    std::uint64_t m = 0;
    unsigned whole = 0, fraction = 0, n;
    do {
        n = append_digits(p, m);
        p += n;
        whole += n;
    } while (n == 8 && whole <= 19);
    if (*p == '.') {
        ++p;
        do {
            n = append_digits(p, m);
            p += n;
            fraction += n;
        } while (n == 8 && whole + fraction <= 19);
    }
    const unsigned digits = whole + fraction;
    if (digits == 0 || digits > 19 || m > std::uint64_t{1} << 53)
        return false;
    int scale = -static_cast<int>(fraction);
    if ((*p | 0x20) == 'e') {
        ++p;
        const bool negative_exponent = *p == '-';
        p += *p == '-' || *p == '+';
        int exponent = 0, exponent_digits = 0;
        for (; exponent_digits < 3 && static_cast<unsigned char>(*p - '0') < 10; ++p, ++exponent_digits)
            exponent = exponent * 10 + (*p - '0');
        if (exponent_digits == 0)
            return false; // "1e", "1e+": atof's rules take the number before the e
        scale += negative_exponent ? -exponent : exponent;
    }
    if (*p != '\0' || scale < -22 || scale > 22)
        return false;
    const double magnitude =
        scale < 0 ? static_cast<double>(m) / powers[-scale] : static_cast<double>(m) * powers[scale];
    value = negative ? -magnitude : magnitude;
    return true;
}

} // namespace detail

// token_value for a token followed by token_padding readable bytes after its
// NUL; short decimals, nearly every sample, skip the general readers.
[[gnu::always_inline]] inline double padded_token_value(const char *token, const char *limit)
{
    double value;
    if (detail::short_decimal(token, value))
        return value;
    return token_value(token, limit);
}

// Longest "%.15g" output ("-1.23456789012345e-308") plus room to spare.
inline constexpr int g15_max_chars = 32;

// Writes value as "%.15g" would and returns the end of the text. Values
// that are floats (every sample is one) take an exact integer path; the
// rest go through std::to_chars.
char *format_g15(char *out, double value);

} // namespace gridvane::formats
