// Sample values as text, independent of the process locale: reading gives
// exactly what the C library's atof gives in the C locale, writing exactly
// what printf's "%.15g" writes there.
#pragma once

#include <array>
#include <bit>
#include <cfloat>
#include <charconv>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && defined(__x86_64__)
#    include <emmintrin.h>
#endif

namespace gridvane_core::formats {

// Whether text begins with word (lower-case letters), in either case. Reads
// no more of text than word is long.
bool starts_with_ignoring_case(const char *text, const char *word);

// atof in the C locale: leading white space, a sign, decimal or hex digits
// with point and exponent, inf and nan; the longest such prefix counts, and
// text without one is 0.0. end, when given, receives where the number
// ends (text itself when there is none).
double atof_c(const char *text, const char **end = nullptr);

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
// padded_sample, and before its first character: the short decimal
// reader loads whole blocks around the token and masks off what is not its.
inline constexpr std::size_t token_padding = 32;
inline constexpr std::size_t token_front = 16;

namespace detail {

// The power of ten of a short decimal: exponent less digits after the point.
inline constexpr int short_scale_limit = 22;

// A short decimal: digits (at most 2^53) times ten to the scale (within
// +-22), and a sign.
struct Decimal {
    std::uint64_t digits;
    int scale;
    bool negative;
};

// What follows the digits at p: nothing (the NUL), or an exponent of one to
// three digits after 'e' or 'E' and an optional sign, then the NUL. False
// for anything else ("1e", "1e+": atof's rules take the number before the e).
[[gnu::always_inline]] inline bool exponent_part(const char *p, int &exponent)
{
    exponent = 0;
    if (*p == '\0')
        return true;
    if ((*p | 0x20) != 'e')
        return false;
    ++p;
    const bool negative = *p == '-';
    p += *p == '-' || *p == '+';
    int digits = 0;
    for (; digits < 3 && static_cast<unsigned char>(*p - '0') < 10; ++p, ++digits)
        exponent = exponent * 10 + (*p - '0');
    if (negative)
        exponent = -exponent;
    return digits != 0 && *p == '\0';
}

// The short decimal of digits m (the last `fraction` after the point) that
// `end` follows, if its exponent part and magnitude allow one.
[[gnu::always_inline]] inline bool decimal_of(std::uint64_t m, int fraction, const char *end, bool negative,
                                              Decimal &value)
{
    int exponent;
    if (m > std::uint64_t{1} << 53 || !exponent_part(end, exponent))
        return false;
    const int scale = exponent - fraction;
    if (scale < -short_scale_limit || scale > short_scale_limit)
        return false;
    value = Decimal{m, scale, negative};
    return true;
}

#if defined(__SSE2__) && defined(__x86_64__)

// Decimals ("-12.375", ".5", "7", "0.0199791062623262",
// "-4.20018568547675e-06") whose significant digits, leading zeros aside,
// fit 16 characters (the point included) and 2^53, and whose power of ten
// lies within +-22. False for anything else. Needs token_front readable
// bytes before the token and token_padding after its NUL.
//
// Nearly every sample takes this path, and digit counts, points and signs
// vary from token to token at random, so it has no branch on them: one
// classification of 32 bytes finds where the digits end; the 16 bytes that
// end there are masked to the token, the point is closed up with a one-byte
// shift of what stands before it, and the digits become a number in a few
// multiply-adds on all lanes at once.
[[gnu::always_inline]] inline bool short_decimal(const char *p, Decimal &value)
{
    const bool negative = *p == '-';
    p += negative;

    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
    const __m128i zero = _mm_set1_epi8('0'), nine = _mm_set1_epi8(9), point_char = _mm_set1_epi8('.');
    // A byte is a digit when byte - '0', taken unsigned, is at most 9.
    const __m128i da = _mm_sub_epi8(a, zero), db = _mm_sub_epi8(b, zero);
    const auto bits = [](__m128i x) { return static_cast<std::uint32_t>(_mm_movemask_epi8(x)); };
    const std::uint32_t digit_bits =
        bits(_mm_cmpeq_epi8(_mm_min_epu8(da, nine), da)) | bits(_mm_cmpeq_epi8(_mm_min_epu8(db, nine), db)) << 16;
    const std::uint32_t point_bits = bits(_mm_cmpeq_epi8(a, point_char)) | bits(_mm_cmpeq_epi8(b, point_char)) << 16;
    const std::uint32_t zero_bits = bits(_mm_cmpeq_epi8(a, zero)); // in the first 16, all that is needed

    // The digits (and at most one point) end at the first other byte.
    const std::uint32_t first_point = point_bits & (0u - point_bits);
    const std::uint32_t stops = ~digit_bits & ~first_point;
    const int length = std::countr_zero(stops | 0x80000000u);
    const bool has_point = (first_point & ((1u << length) - 1)) != 0;
    const int digits = length - has_point;
    // (Masks, not conditions: the compiler would make branches of them.)
    const int fraction = (length - 1 - std::countr_zero(first_point | 0x80000000u)) & -static_cast<int>(has_point);
    // Only the last 16 characters are read as digits: what stands before
    // them (at most 15, as length < 31) must be leading zeros or the point.
    const int cut = length > 16 ? length - 16 : 0;
    const std::uint32_t significant_cut = digit_bits & ~zero_bits & ((1u << cut) - 1);
    if (digits == 0 || significant_cut != 0 || length == 31)
        return false;

    // The 16 bytes that end where the digits end, as digit values; lanes
    // before the token are cleared. Lane masks come from a table: lanes
    // from k on, for k = 0 ... 16.
    static constexpr auto lanes_from = [] {
        std::array<std::array<unsigned char, 16>, 17> masks{};
        for (std::size_t k = 0; k <= 16; ++k)
            for (std::size_t i = k; i < 16; ++i)
                masks[k][i] = 0xFF;
        return masks;
    }();
    const auto mask = [](int k) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(lanes_from[static_cast<std::size_t>(k)].data()));
    };
    const char *end = p + length;
    __m128i v = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(end - 16)), zero);
    v = _mm_and_si128(v, mask(16 - length + cut));
    // The lanes before the point move one lane up, over it; without a
    // point, or with the point before the window, no lane is before it.
    const int point_lane = (15 - fraction) | -static_cast<int>(!has_point);
    const int after = point_lane < 0 ? 0 : point_lane + 1;
    const int before = point_lane < 0 ? 0 : point_lane;
    v = _mm_or_si128(_mm_and_si128(v, mask(after)), _mm_slli_si128(_mm_andnot_si128(mask(before), v), 1));
    // Sixteen digits, the most significant first: pairs (16-bit lanes),
    // fours and eights (32-bit lanes), then the two eights.
    v = _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(v, _mm_set1_epi16(0xFF)), _mm_set1_epi16(10)),
                      _mm_srli_epi16(v, 8));
    v = _mm_madd_epi16(v, _mm_set1_epi32(0x00010064)); // 100 * first pair + second
    v = _mm_packs_epi32(v, v);
    v = _mm_madd_epi16(v, _mm_set1_epi32(0x00012710)); // 10000 * first four + second
    const auto eights = static_cast<std::uint64_t>(_mm_cvtsi128_si64(v));
    const std::uint64_t m = (eights & 0xFFFFFFFFu) * 100'000'000 + (eights >> 32);

    return decimal_of(m, fraction, end, negative, value);
}

#else

// Without the vector instructions every token takes the general reader.
inline bool short_decimal(const char *, Decimal &) { return false; }

#endif

} // namespace detail

// The sample a short decimal stands for: atof's double narrowed to float.
[[gnu::always_inline]] inline float decimal_sample(const detail::Decimal &d)
{
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    // Ten to the scale, rounded to double (exact from 1e0 up), with either
    // sign: the sign comes with the factor, not with a branch (it is as
    // often one as the other).
    static constexpr auto factors = [] {
        std::array<std::array<double, 2 * detail::short_scale_limit + 1>, 2> table{};
        for (int scale = -detail::short_scale_limit; scale <= detail::short_scale_limit; ++scale) {
            const double power = scale < 0 ? 1.0 / powers[-scale] : powers[scale];
            table[0][static_cast<std::size_t>(scale + detail::short_scale_limit)] = power;
            table[1][static_cast<std::size_t>(scale + detail::short_scale_limit)] = -power;
        }
        return table;
    }();
    static_assert(FLT_EVAL_METHOD == 0, "each operation must round to double once");
    // The digits and a power of ten from 1e0 up are exact doubles, so their
    // product rounds once to atof's double. Below 1e0 atof's double is the
    // quotient by the exact power; the product by the rounded inverse is a
    // faster stand-in within two units of the last place of it. Narrowed
    // to float, both give the same sample unless a midpoint between two
    // floats (the double's low 29 bits 0x10000000) lies within two units of
    // the product: only then is the division made.
    const auto m = static_cast<double>(d.digits);
    double value = m * factors[d.negative][static_cast<std::size_t>(d.scale + detail::short_scale_limit)];
    const std::uint64_t low = std::bit_cast<std::uint64_t>(value) & 0x1FFFFFFFu;
    if (low - (0x10000000u - 4) <= 8) [[unlikely]] {
        value = d.scale < 0 ? m / powers[-d.scale] : m * powers[d.scale];
        value = d.negative ? -value : value;
    }
    return static_cast<float>(value);
}

// atof's value narrowed to float, for a token with token_front readable
// bytes before it and token_padding after its NUL; short decimals, nearly
// every sample, skip the general readers.
[[gnu::always_inline]] inline float padded_sample(const char *token, const char *limit)
{
    detail::Decimal d;
    if (detail::short_decimal(token, d))
        return decimal_sample(d);
    return static_cast<float>(token_value(token, limit));
}

// Room format_g15 needs: more than the longest "%.15g" output
// ("-1.23456789012345e-308"), as it copies digits in blocks of 16.
inline constexpr int g15_max_chars = 40;

// Writes value as "%.15g" would and returns the end of the text. Values
// that are floats (every sample is one) take an exact integer path; the
// rest go through std::to_chars.
char *format_g15(char *out, double value);

} // namespace gridvane_core::formats
