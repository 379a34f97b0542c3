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
/* Bit i set when p[i] is a separator, for the 16 bytes at p. */
static unsigned separator_mask(const char *p)
{
    const __m128i bytes = _mm_loadu_si128((const __m128i *)p);
    /* 0x09..0x0D: shift the range to the bottom of the signed bytes and
     * compare below. */
    const __m128i shifted = _mm_sub_epi8(bytes, _mm_set1_epi8((char)(0x09 + 0x80)));
    const __m128i control = _mm_cmplt_epi8(shifted, _mm_set1_epi8((char)(0x80 + 5)));
    const __m128i space = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '));
    return (unsigned)_mm_movemask_epi8(_mm_or_si128(control, space));
}
#endif

int Parse(char *line, char **tokens, int maxTokens)
{
    const size_t length = strlen(line);
    int count = 0;
    unsigned in_token = 0; /* whether the byte before the current one is part of a token */
    size_t i = 0;
#if defined(__SSE2__)
    /* Sixteen bytes at a time: token starts are token bytes after a
     * separator, token ends are separators after a token byte. */
    for (; i + 16 <= length; i += 16) {
        const unsigned separators = separator_mask(line + i);
        const unsigned token_bytes = ~separators & 0xFFFFu;
        const unsigned after_token = ((token_bytes << 1) | in_token) & 0xFFFFu;
        unsigned starts = token_bytes & ~after_token;
        unsigned ends = separators & after_token;
        /* Near the token limit the byte loop below takes over, exactly. */
        if (maxTokens - count < 16 && __builtin_popcount(starts) > maxTokens - count)
            break;
        for (; starts != 0; starts &= starts - 1)
            tokens[count++] = line + i + (unsigned)__builtin_ctz(starts);
        for (; ends != 0; ends &= ends - 1)
            line[i + (unsigned)__builtin_ctz(ends)] = '\0';
        in_token = (token_bytes >> 15) & 1u;
    }
#endif
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
