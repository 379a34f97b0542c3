/* A host's own message function, preloaded ahead of the stand-in. */
#include <stdarg.h>
#include <stdio.h>

__attribute__((visibility("default"))) int Libprintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("[host] ", stderr);
    int n = vfprintf(stderr, format, args);
    va_end(args);
    return n;
}
