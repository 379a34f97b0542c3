/* quarnel: the small host tools library that Gridvane imports three
 * functions from. This is Gridvane's own stand-in; a host may bring its own
 * library of the same name instead. */
#ifndef QUARNEL_H
#define QUARNEL_H

#if defined(_WIN32)
#    if defined(QUARNEL_BUILDING)
#        define QUARNEL_API __declspec(dllexport)
#    else
#        define QUARNEL_API __declspec(dllimport)
#    endif
#else
#    define QUARNEL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the formatted message to standard error, exactly as formatted, or
 * hands it whole to the message sink when one is set. Returns the number of
 * characters written (or handed over), or a negative value. */
QUARNEL_API int Libprintf(const char *format, ...);

/* A message sink receives each message Libprintf formats, NUL-terminated and
 * exactly as formatted (trailing newline included), with the context given
 * when it was set. It runs on the thread that printed, inside that call. */
typedef void (*QuarnelMessageSink)(const char *text, void *context);

/* Sends every later message to sink instead of standard error; a null sink
 * restores standard error. Not synchronised with messages being printed:
 * set it before other threads may print (for example at start-up). */
QUARNEL_API void QuarnelSetMessageSink(QuarnelMessageSink sink, void *context);

/* Splits line in place at space, tab, newline, carriage return, vertical tab
 * and form feed (each of which may become a NUL). Stores a pointer to each
 * token, NUL-terminated, in tokens, at most maxTokens of them, and returns
 * how many it stored; entries past that count may be overwritten. */
QUARNEL_API int Parse(char *line, char **tokens, int maxTokens);

/* The file-type code for a name, judged by its suffix (case-insensitive):
 * 512 for binary channel files, 768 for ASCII channel files, -1 otherwise. */
QUARNEL_API int GetHalvicFileType(const char *name);

#ifdef __cplusplus
}
#endif

#endif
