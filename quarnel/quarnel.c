#include "quarnel.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Where messages go: the host's sink, or standard error when it has none. */
static QuarnelMessageSink message_sink = NULL;
static void *message_context = NULL;

void QuarnelSetMessageSink(QuarnelMessageSink sink, void *context)
{
    message_sink = sink;
    message_context = sink == NULL ? NULL : context;
}

/* Formats into a block of the message's own length, so that no message is
 * cut however long the names in it are, and hands it to the sink. */
static int send_to_sink(QuarnelMessageSink sink, void *context, const char *format, va_list args)
{
    char small[256];
    va_list again;
    va_copy(again, args);
    const int length = vsnprintf(small, sizeof small, format, args);
    if (length < 0) {
        va_end(again);
        return length;
    }
    char *text = small;
    if ((size_t)length >= sizeof small) {
        text = (char *)malloc((size_t)length + 1);
        if (text == NULL) {
            va_end(again);
            return -1;
        }
        vsnprintf(text, (size_t)length + 1, format, again);
    }
    va_end(again);
    sink(text, context);
    if (text != small)
        free(text);
    return length;
}

int Libprintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const QuarnelMessageSink sink = message_sink;
    int written;
    if (sink != NULL) {
        written = send_to_sink(sink, message_context, format, args);
    } else {
        written = vfprintf(stderr, format, args);
        fflush(stderr);
    }
    va_end(args);
    return written;
}

#if defined(__SSE2__)
#    include <emmintrin.h>
#endif

/* Space, tab, newline, vertical tab, form feed, carriage return. */
static int is_separator(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

#if defined(__SSE2__)
/* Sets every separator and NUL among the 16 bytes at p to NUL; returns a
 * mask with bit i set when byte i was one. */
static inline __attribute__((always_inline)) unsigned clear_separators(char *p)
{
    const __m128i bytes = _mm_loadu_si128((const __m128i *)p);
    /* 0x09..0x0D: shift the range to the bottom of the signed bytes and
     * compare below. */
    const __m128i shifted = _mm_sub_epi8(bytes, _mm_set1_epi8((char)(0x09 + 0x80)));
    const __m128i control = _mm_cmplt_epi8(shifted, _mm_set1_epi8((char)(0x80 + 5)));
    const __m128i space = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '));
    const __m128i nul = _mm_cmpeq_epi8(bytes, _mm_setzero_si128());
    const __m128i separators = _mm_or_si128(_mm_or_si128(control, space), nul);
    _mm_storeu_si128((__m128i *)p, _mm_andnot_si128(separators, bytes));
    return (unsigned)_mm_movemask_epi8(separators);
}

#if defined(__x86_64__)
#    include <immintrin.h>
/* clear_separators for the 32 bytes at p at once, where AVX2 is there. */
static inline __attribute__((target("avx2"))) unsigned clear_separators_32(char *p)
{
    const __m256i bytes = _mm256_loadu_si256((const __m256i *)p);
    const __m256i shifted = _mm256_sub_epi8(bytes, _mm256_set1_epi8((char)(0x09 + 0x80)));
    const __m256i control = _mm256_cmpgt_epi8(_mm256_set1_epi8((char)(0x80 + 5)), shifted);
    const __m256i space = _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(' '));
    const __m256i nul = _mm256_cmpeq_epi8(bytes, _mm256_setzero_si256());
    const __m256i separators = _mm256_or_si256(_mm256_or_si256(control, space), nul);
    _mm256_storeu_si256((__m256i *)p, _mm256_andnot_si256(separators, bytes));
    return (unsigned)_mm256_movemask_epi8(separators);
}
#endif

/* Splits the `width` (16 or 32) bytes at line + at, of which the first
 * `done` were split already: every separator in the block becomes a NUL
 * (which ends the token before it), and each token start is stored.
 * in_token says whether the byte before the first new one belongs to a
 * token. The caller leaves room for `width` more tokens. Returns the new
 * count. */
static inline __attribute__((always_inline)) int split_block(char *line, size_t at, unsigned width, unsigned done,
                                                             char **tokens, int count, unsigned *in_token, int wide)
{
    char *base = line + at;
    unsigned separators;
#if defined(__x86_64__)
    if (wide && width == 32)
        separators = clear_separators_32(base);
    else
#endif
    {
        (void)wide;
        separators = clear_separators(base);
        if (width == 32)
            separators |= clear_separators(base + 16) << 16;
    }
    const unsigned all = width == 32 ? 0xFFFFFFFFu : 0xFFFFu;
    const unsigned token_bytes = ~separators & all;
    const unsigned after_token = (token_bytes << 1) | (*in_token << done);
    unsigned starts = token_bytes & ~after_token & (all << done);
    /* Two starts (three in 32 bytes) are stored whether or not there are
     * that many (a sample is rarely shorter than 11 characters), so that the
     * usual block takes no branch on its count; the room past the count is
     * scratch. `width` stands for "no start". */
    const unsigned long long none = 1ull << width;
    tokens[count] = base + __builtin_ctzll(starts | none);
    count += starts != 0;
    starts &= starts - 1;
    tokens[count] = base + __builtin_ctzll(starts | none);
    count += starts != 0;
    starts &= starts - 1;
    if (width == 32) {
        tokens[count] = base + __builtin_ctzll(starts | none);
        count += starts != 0;
        starts &= starts - 1;
    }
    for (; starts != 0; starts &= starts - 1)
        tokens[count++] = base + __builtin_ctz(starts);
    *in_token = (token_bytes >> (width - 1)) & 1u;
    return count;
}
#endif

/* Parse itself; wide: AVX2 may be used. */
static inline __attribute__((always_inline)) int parse(char *line, char **tokens, int maxTokens, int wide)
{
    (void)wide;
    const size_t length = strlen(line);
    int count = 0;
    unsigned in_token = 0; /* whether the byte before the current one is part of a token */
    size_t i = 0;
#if defined(__SSE2__)
    /* 32 and then 16 bytes at a time while there is room for 32 more
     * tokens; the last bytes as the 16 that end the line, overlapping what
     * was done (the NULs written there count as separators). */
    if (length >= 16) {
        for (; i + 32 <= length && maxTokens - count >= 32; i += 32)
            count = split_block(line, i, 32, 0, tokens, count, &in_token, wide);
        if (i + 16 <= length && maxTokens - count >= 32) {
            count = split_block(line, i, 16, 0, tokens, count, &in_token, wide);
            i += 16;
        }
        if (i < length && maxTokens - count >= 32) {
            count = split_block(line, length - 16, 16, (unsigned)(i - (length - 16)), tokens, count, &in_token,
                                wide);
            i = length;
        }
    }
#endif
    /* Byte by byte near the token limit, and for short lines. */
    for (; i < length; ++i) {
        const int separator = is_separator((unsigned char)line[i]);
        if (separator && in_token) {
            line[i] = '\0';
        } else if (!separator && !in_token) {
            if (count == maxTokens)
                return count;
            tokens[count++] = line + i;
        }
        in_token = !separator;
    }
    return count;
}

#if defined(__x86_64__)
/* The same compiled for processors with AVX2 and BMI2: 32 bytes in one
 * step, and shorter encodings of the rest. */
static __attribute__((target("avx2,bmi,bmi2"))) int parse_avx2(char *line, char **tokens, int maxTokens)
{
    return parse(line, tokens, maxTokens, 1);
}

static int has_avx2;

/* Asked once, when the library is loaded. The stand-in is a library of its
 * own, which a host may replace with its own: it asks the processor itself
 * rather than share the library's check. */
static __attribute__((constructor)) void find_avx2(void)
{
    __builtin_cpu_init();
    has_avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
}
#endif

int Parse(char *line, char **tokens, int maxTokens)
{
#if defined(__x86_64__)
    if (has_avx2)
        return parse_avx2(line, tokens, maxTokens);
#endif
    return parse(line, tokens, maxTokens, 0);
}

/* Suffixes the stand-in knows; the README lists the same table. */
static const struct {
    const char *suffix;
    int code;
} known_suffixes[] = {
    {".chb", 512}, {".bchan", 512}, {".chan", 768}, {".cha", 768}, {".txt", 768},
};

static int same_ignoring_case(const char *a, const char *b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char x = (*a >= 'A' && *a <= 'Z') ? (char)(*a - 'A' + 'a') : *a;
        char y = (*b >= 'A' && *b <= 'Z') ? (char)(*b - 'A' + 'a') : *b;
        if (x != y)
            return 0;
    }
    return *a == *b;
}

int GetHalvicFileType(const char *name)
{
    if (name == NULL)
        return -1;
    const char *base = name;
    for (const char *p = name; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    const char *dot = strrchr(base, '.');
    if (dot == NULL || dot == base)
        return -1;
    for (size_t i = 0; i < sizeof known_suffixes / sizeof known_suffixes[0]; ++i)
        if (same_ignoring_case(dot, known_suffixes[i].suffix))
            return known_suffixes[i].code;
    return -1;
}
