/* A host's own tools library: the three functions Gridvane imports and
 * nothing else (none of the stand-in's extras), its messages marked as the
 * host's. Loaded ahead of the stand-in, or in its place under its name. */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#define HOST_API __attribute__((visibility("default")))

HOST_API int Libprintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("[host] ", stderr);
    int n = vfprintf(stderr, format, args);
    va_end(args);
    return n;
}

HOST_API int Parse(char *line, char **tokens, int maxTokens)
{
    int n = 0;
    for (char *token = strtok(line, " \t\n\v\f\r"); token != NULL && n < maxTokens; token = strtok(NULL, " \t\n\v\f\r"))
        tokens[n++] = token;
    return n;
}

HOST_API int GetHalvicFileType(const char *name)
{
    const char *dot = strrchr(name, '.');
    if (dot == NULL)
        return -1;
    if (strcmp(dot, ".chb") == 0 || strcmp(dot, ".bchan") == 0)
        return 512;
    return strcmp(dot, ".chan") == 0 || strcmp(dot, ".cha") == 0 || strcmp(dot, ".txt") == 0 ? 768 : -1;
}
