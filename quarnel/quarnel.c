#include "quarnel.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

int Libprintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int written = vfprintf(stderr, format, args);
    va_end(args);
    fflush(stderr);
    return written;
}

static int is_separator(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int Parse(char *line, char **tokens, int maxTokens)
{
    int count = 0;
    char *p = line;
    while (count < maxTokens) {
        while (is_separator(*p))
            ++p;
        if (*p == '\0')
            break;
        tokens[count++] = p;
        while (*p != '\0' && !is_separator(*p))
            ++p;
        if (*p == '\0')
            break;
        *p++ = '\0';
    }
    return count;
}

/* Suffixes the stand-in knows; the README lists the same table. */
static const struct {
    const char *suffix;
    int code;
} known_suffixes[] = {
    {".chb", 512},
    {".bchan", 512},
    {".chan", 768},
    {".cha", 768},
    {".txt", 768},
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
