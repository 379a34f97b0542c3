#include "number_text.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace gridvane_core::formats {

namespace {

bool is_c_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool is_digit(char c, bool hex)
{
    if (c >= '0' && c <= '9')
        return true;
    return hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
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

bool starts_with_ignoring_case(const char *text, const char *word)
{
    for (; *word != '\0'; ++text, ++word)
        if ((*text | 0x20) != *word)
            return false;
    return true;
}

double atof_c(const char *text, const char **end)
{
    const char *p = text;
    while (is_c_space(*p))
        ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    const char *const limit = p + std::strlen(p);
    const char *unused;
    const char *&stop = end != nullptr ? *end : unused;
    stop = text; // no number at all: nothing taken, and the sign not applied

    double magnitude = 0.0;
    const bool hex =
        p[0] == '0' && (p[1] | 0x20) == 'x' && (is_digit(p[2], true) || (p[2] == '.' && is_digit(p[3], true)));
    if (hex) {
        const auto result = std::from_chars(p + 2, limit, magnitude, std::chars_format::hex);
        if (result.ec == std::errc::result_out_of_range)
            magnitude = overflows(p + 2, true) ? HUGE_VAL : 0.0;
        stop = result.ptr;
    } else if (starts_with_ignoring_case(p, "inf")) {
        magnitude = std::numeric_limits<double>::infinity();
        stop = p + (starts_with_ignoring_case(p, "infinity") ? 8 : 3);
    } else if (starts_with_ignoring_case(p, "nan")) {
        magnitude = std::numeric_limits<double>::quiet_NaN();
        stop = p + 3;
        if (*stop == '(') { // nan(n-char-sequence)
            const char *q = stop + 1;
            while ((*q >= '0' && *q <= '9') || ((*q | 0x20) >= 'a' && (*q | 0x20) <= 'z') || *q == '_')
                ++q;
            if (*q == ')')
                stop = q + 1;
        }
    } else if (*p == '-' || *p == '+') {
        return 0.0; // a second sign: no number
    } else {
        const auto result = std::from_chars(p, limit, magnitude, std::chars_format::general);
        if (result.ec == std::errc::result_out_of_range)
            magnitude = overflows(p, false) ? HUGE_VAL : 0.0;
        else if (result.ec != std::errc{})
            return 0.0;
        stop = result.ptr;
    }
    return negative ? -magnitude : magnitude;
}

namespace {

__extension__ typedef unsigned __int128 u128; // GCC and Clang, every target we build

constexpr std::uint64_t lowest_15_digits = 100'000'000'000'000;   // 10^14
constexpr std::uint64_t beyond_15_digits = 1'000'000'000'000'000; // 10^15

template <unsigned Base, int Count> constexpr std::array<u128, Count> powers()
{
    std::array<u128, Count> table{};
    u128 p = 1;
    for (int i = 0; i < Count; ++i, p *= Base)
        table[static_cast<std::size_t>(i)] = p;
    return table;
}

constexpr auto powers_of_5 = powers<5, 45>();   // 5^44 < 2^103
constexpr auto powers_of_10 = powers<10, 39>(); // 10^38 < 2^127

// m * 2^e scaled by 10^(14 - k) and truncated, with what truncation dropped
// as remainder / divisor. False when the exact value does not fit 128 bits
// (floats below about 1e-30), which the caller leaves to the general path.
bool scaled(std::uint64_t m, int e, int k, u128 &quotient, u128 &remainder, u128 &divisor)
{
    const int p = 14 - k;
    if (p < 0) { // m * 2^e / 10^-p; here e >= 0 and m * 2^e < 2^128
        if (e < 0 || -p > 38)
            return false;
        const u128 n = static_cast<u128>(m) << e;
        divisor = powers_of_10[static_cast<std::size_t>(-p)];
        quotient = n / divisor;
        remainder = n % divisor;
        return true;
    }
    if (p > 44)
        return false;
    // m * 5^p * 2^(p + e), exact in 128 bits for p <= 44.
    const u128 n = static_cast<u128>(m) * powers_of_5[static_cast<std::size_t>(p)];
    const int shift = p + e;
    if (shift >= 0) {
        if (shift > 40 || (n >> (127 - shift)) != 0)
            return false;
        quotient = n << shift;
        remainder = 0;
        divisor = 1;
        return true;
    }
    if (-shift > 127)
        return false;
    divisor = static_cast<u128>(1) << -shift;
    quotient = n >> -shift;
    remainder = n & (divisor - 1);
    return true;
}

// The 15 significant digits of a positive float m * 2^e, rounded half to
// even as printf rounds, and the decimal exponent of the first digit.
bool fifteen_digits(std::uint64_t m, int e, std::uint64_t &digits, int &k)
{
    int bits = 64 - __builtin_clzll(m);
    // floor(log10(2^x)) as an integer product and shift, exact for the
    // exponents floats have.
    k = ((e + bits - 1) * 78913) >> 18;
    u128 q, r, d;
    for (int tries = 0; tries < 4; ++tries) {
        if (!scaled(m, e, k, q, r, d))
            return false;
        if (q < lowest_15_digits)
            --k;
        else if (q >= beyond_15_digits)
            ++k;
        else
            break;
    }
    if (q < lowest_15_digits || q >= beyond_15_digits)
        return false;
    digits = static_cast<std::uint64_t>(q);
    if (d > 1) {
        const u128 twice = r * 2;
        if (twice > d || (twice == d && (digits & 1) != 0))
            ++digits;
    }
    if (digits == beyond_15_digits) {
        digits = lowest_15_digits;
        ++k;
    }
    return true;
}

// n (below 10^8) as its eight decimal digits, a byte each (0..9), the
// most significant in the lowest byte: halves, quarters and pairs split off
// in all lanes at once, each division a multiplication and a shift that is
// exact for the range it meets.
[[gnu::always_inline]] inline std::uint64_t eight_digit_values(std::uint32_t n)
{
    std::uint64_t x = n / 10000 | static_cast<std::uint64_t>(n % 10000) << 32; // two fours
    std::uint64_t q = ((x * 10486) >> 20) & 0x0000007F0000007Fu;              // each four / 100
    x = q | (x - q * 100) << 16;                                                // four pairs
    q = ((x * 103) >> 10) & 0x000F000F000F000Fu;                                // each pair / 10
    return q | (x - q * 10) << 8;                                               // eight digits
}

// The text of digit values from eight_digit_values, from byte `from` on.
[[gnu::always_inline]] inline void store_digits(char *out, std::uint64_t values, int from)
{
    std::uint64_t text = values + 0x3030303030303030u;
    if constexpr (std::endian::native == std::endian::big)
        text = __builtin_bswap64(text);
    std::memcpy(out, reinterpret_cast<const char *>(&text) + from, static_cast<std::size_t>(8 - from));
}

char *write_exponent(char *out, int k)
{
    *out++ = 'e';
    *out++ = k < 0 ? '-' : '+';
    const int a = k < 0 ? -k : k;
    if (a >= 100)
        *out++ = static_cast<char>('0' + a / 100);
    *out++ = static_cast<char>('0' + a / 10 % 10);
    *out++ = static_cast<char>('0' + a % 10);
    return out;
}

} // namespace

char *format_g15(char *out, double value)
{
    const auto narrow = static_cast<float>(value);
    if (!std::isfinite(value) || value == 0.0 || static_cast<double>(narrow) != value)
        return std::to_chars(out, out + g15_max_chars, value, std::chars_format::general, 15).ptr;

    // The float as m * 2^e with an integer m.
    const auto bits = std::bit_cast<std::uint32_t>(narrow);
    const auto biased = static_cast<int>((bits >> 23) & 0xFF);
    std::uint64_t m = bits & 0x7FFFFF;
    int e = -149; // subnormal
    if (biased != 0) {
        m |= 0x800000;
        e = biased - 150;
    }
    std::uint64_t digits;
    int k;
    if (!fifteen_digits(m, e, digits, k))
        return std::to_chars(out, out + g15_max_chars, value, std::chars_format::general, 15).ptr;

    // The 15 digits as text: the first 7 and the last 8, each spread to a
    // byte per digit at once. Trailing zeros are dropped, as %g drops them.
    const std::uint64_t first = eight_digit_values(static_cast<std::uint32_t>(digits / 100'000'000));
    const std::uint64_t last = eight_digit_values(static_cast<std::uint32_t>(digits % 100'000'000));
    // (The text is copied in whole blocks of 16 bytes, of which only the
    // part that belongs is kept: the rest is overwritten or left beyond the
    // end. That is why a caller leaves g15_max_chars of room.)
    char text[32] = {};
    store_digits(text, first, 1);
    store_digits(text + 7, last, 0);
    // Zero digits are zero bytes: the highest ones are the trailing zeros.
    const int used = last != 0 ? 15 - std::countl_zero(last) / 8 : 7 - std::countl_zero(first) / 8;

    if (value < 0)
        *out++ = '-';
    if (k < -4 || k >= 15) {
        *out++ = text[0];
        if (used > 1) {
            *out++ = '.';
            std::memcpy(out, text + 1, 16);
            out += used - 1;
        }
        return write_exponent(out, k);
    }
    if (k < 0) {
        std::memcpy(out, "0.0000", 6);
        out += 1 - k;
        std::memcpy(out, text, 16);
        return out + used;
    }
    // Whole digits (trailing zeros included), then the fraction if any.
    const int whole = k + 1;
    std::memcpy(out, text, 16);
    out += whole;
    if (used <= whole)
        return out;
    *out++ = '.';
    std::memcpy(out, text + whole, 16);
    return out + (used - whole);
}

} // namespace gridvane_core::formats
