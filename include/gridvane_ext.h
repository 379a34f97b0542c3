/*
 * Gridvane's extension interface: what clients need beyond the 20 functions
 * of gridvane.h, under the library's own prefix. The 20 keep every result,
 * message and error number they have; nothing here changes them.
 *
 * Threads. Every function here is safe to call from any number of threads
 * at once, on the same terms as gridvane.h.
 *
 * Failures. None of these functions prints a message. Every function that
 * can fail takes a gridvane_status (or a gridvane_report, which holds one)
 * as its last argument, which may be NULL; on success it holds GRIDVANE_OK,
 * on failure the cause (a GRIDVANE_E_ code), an error number and, where
 * there is one, the place in the input; the function then returns its
 * failure result (-1 or NULL) and sets errno to the status's error number.
 * That number is never 0: a system failure keeps the system's, a refused
 * argument or name gives EINVAL, no memory ENOMEM, input the readers cannot
 * take EIO (as ArrayLoad sets it; so does a file that changed while a
 * plan read it), a read an observer stopped ECANCELED.
 * gridvane_status_message words a status. The few functions that cannot
 * fail say so and take no status.
 *
 * Callbacks. An observer is called on the reading thread, in input order.
 * It must return, not unwind: an exception thrown by an observer written in
 * C++ and built with the library's own compiler is caught at the call and
 * fails the read with GRIDVANE_E_OBSERVER; one from another runtime cannot
 * be caught across it. gridvane.hpp wraps observers so that C++ callers get
 * their own exception back. The same holds for the functions of a
 * gridvane_io.
 *
 * Versions and growth. Each function and struct names the version it
 * appeared in ("since 1.1"); GRIDVANE_VERSION_* in gridvane_version.h say
 * which version a host builds against. Within a major version nothing here
 * is removed, renamed or given another meaning, and no value of a
 * GRIDVANE_ code changes. Structs the caller provides (gridvane_status,
 * gridvane_report, gridvane_extent, gridvane_binary_header, gridvane_io)
 * keep their size and layout for the whole major version; a later minor
 * version that needs more adds a new struct and new functions beside them.
 * Structs the library hands out by pointer for the length of a call
 * (gridvane_finding) may gain fields at their end in a minor version, so an
 * observer reads the fields it knows and never copies the struct by size.
 * New GRIDVANE_E_, GRIDVANE_FINDING_ and GRIDVANE_KIND_ codes may appear in
 * a minor version: treat an unknown one as a failure, a finding of its
 * severity, or an unknown kind.
 */
#ifndef GRIDVANE_EXT_H
#define GRIDVANE_EXT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "gridvane.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The binary form's layout (since 1.1) ----------------------------- */

#define GRIDVANE_BINARY_HEADER_SIZE 64
#define GRIDVANE_BINARY_COLUMNS_AT 8 /* signed 16-bit count, the file's byte order */
#define GRIDVANE_BINARY_ROWS_AT 10
#define GRIDVANE_BINARY_COUNT_MAX 32767
#define GRIDVANE_BINARY_MAGIC "chan"          /* a little-endian file begins so */
#define GRIDVANE_BINARY_MAGIC_REVERSED "nahc" /* a big-endian one so */

/* ---- Forms (since 1.1) ------------------------------------------------- */

/* What to read or write. Reading: DECIDE takes the tools library's type for
 * the name, else the content, exactly as ArrayLoad decides (a stream has no
 * name: the content decides); ASCII reads either ASCII form; BINARY the
 * binary form. Writing: DECIDE takes the name's type (TABLE for an ASCII
 * name when the table has frames); ASCII writes the plain form, TABLE the
 * table form (header names, rule line, frame column), BINARY the binary. */
#define GRIDVANE_FORM_DECIDE 0
#define GRIDVANE_FORM_BINARY CHAN_BIN
#define GRIDVANE_FORM_ASCII CHAN_ASCII
#define GRIDVANE_FORM_TABLE 0x301

/* What a read found the input to be. */
#define GRIDVANE_KIND_UNKNOWN 0
#define GRIDVANE_KIND_ASCII_PLAIN 1
#define GRIDVANE_KIND_ASCII_TABLE 2
#define GRIDVANE_KIND_BINARY_LITTLE 3
#define GRIDVANE_KIND_BINARY_BIG 4

/* ---- Failures (since 1.1) ---------------------------------------------- */

#define GRIDVANE_OK 0
#define GRIDVANE_E_ARGUMENT 1           /* a null or empty argument, or a form, flag or count out of range */
#define GRIDVANE_E_BAD_SUFFIX 2         /* the tools library gives the name a type that is no channel file */
#define GRIDVANE_E_OPEN 3               /* the file cannot be opened (error says why) */
#define GRIDVANE_E_READ 4               /* reading failed (error says why) */
#define GRIDVANE_E_EMPTY 5              /* no significant byte to decide the form by */
#define GRIDVANE_E_INVALID_FORMAT 6     /* the first significant byte begins no channel file */
#define GRIDVANE_E_NO_DATA 7            /* ASCII: no data line, only comments and blank lines */
#define GRIDVANE_E_NO_RULE_LINE 8       /* ASCII table form: the header has no rule line */
#define GRIDVANE_E_NO_DATA_AFTER_RULE 9 /* ASCII table form: no data line after the rule line */
#define GRIDVANE_E_BAD_MAGIC 10         /* binary: neither "chan" nor "nahc" */
#define GRIDVANE_E_TRUNCATED_HEADER 11  /* binary: fewer than 64 header bytes */
#define GRIDVANE_E_TRUNCATED_SAMPLES 12 /* binary: fewer samples than the header promises */
#define GRIDVANE_E_NEGATIVE_COUNT 13    /* binary: a negative count in the header */
#define GRIDVANE_E_NO_MEMORY 14
#define GRIDVANE_E_TOO_LARGE 15         /* the binary form holds at most 32767 rows and columns */
#define GRIDVANE_E_WRITE 16             /* writing, flushing or replacing failed (error says why) */
#define GRIDVANE_E_UNKNOWN_HANDLE 17
#define GRIDVANE_E_NO_SAMPLES 18        /* a table of another family */
#define GRIDVANE_E_REFUSED 19           /* the observer stopped the read at a finding */
#define GRIDVANE_E_FRAMES_LOST 20       /* the binary form has no frame column */
#define GRIDVANE_E_FORM_AGAINST_NAME 21 /* the form asked contradicts the name's type */
#define GRIDVANE_E_UNNAMED_FORM 22      /* a save to a name of no known type, with no form given */
#define GRIDVANE_E_BAD_NAME 23          /* a column name the table form cannot hold */
#define GRIDVANE_E_OBSERVER 24          /* an observer or a gridvane_io function threw an exception (since 1.1) */
#define GRIDVANE_E_CHANGED 25           /* the file changed while a plan read it: its size or modification time */
#define GRIDVANE_E_OUT_OF_PROPORTION 26 /* a text file's table would grow past its bound (gridvane_read_growth) */
#define GRIDVANE_E_AGAINST_READING 27   /* the input breaks the reading asked for (gridvane_reading; since 1.2) */

/* Where and why an operation failed. line and column count from 1 (0: not
 * known); a binary file is one line of bytes, so its column is the byte
 * offset plus one. offset is the byte offset in the input (-1: not known).
 * expected and found are two numbers that qualify the cause, 0 where a
 * code has none:
 *
 *   code               expected                    found
 *   TRUNCATED_HEADER   header bytes (64)           bytes there
 *   TRUNCATED_SAMPLES  sample bytes promised       sample bytes there
 *   NEGATIVE_COUNT     the field's place           the count
 *                      (GRIDVANE_BINARY_*_AT)
 *   TOO_LARGE          the table's columns         the table's rows
 *   BAD_MAGIC          bytes seen (up to 4)        those bytes, the first in the lowest byte
 *   INVALID_FORMAT     bytes seen (up to 4)        those bytes, as for BAD_MAGIC
 *   EMPTY              0                           bytes read
 *   BAD_SUFFIX         0                           the tools library's type for the name
 *   REFUSED            0                           the finding's kind
 *   FORM_AGAINST_NAME  the form asked              the name's form
 *   BAD_NAME           0                           the index of the name refused
 *   CHANGED            the file's size at the      its size now
 *                      gridvane_plan_open
 *   OUT_OF_PROPORTION  the factor                  the table's bytes with this line's row
 *                      (gridvane_read_growth)
 *   AGAINST_READING    what the kind in found      the GRIDVANE_FINDING_ kind that names
 *                      qualifies (below)           the broken rule (0: no plain text)
 *
 * AGAINST_READING's kinds: NAMES_MISMATCH (the line of names names more or
 * fewer columns than the first row has values: expected the values, placed
 * at the first name too many or at the end of the line), NO_VALUES (no row
 * after the line of names), SHORT_ROW (a row without the frame column:
 * expected its values), INEXACT_FRAME (a frame that is no whole number a
 * float keeps exactly), FRAME_NOT_RISING (a frame not above the one before:
 * expected the line of that one, 1 in a binary file); 0: the input is in
 * the table form, or binary with names.
 */
typedef struct gridvane_status {
    int32_t code;  /* GRIDVANE_OK or GRIDVANE_E_... */
    int32_t error; /* the error number that goes with it, never 0 on failure */
    int64_t line;
    int64_t column;
    int64_t offset;
    int64_t expected;
    int64_t found;
} gridvane_status;

/* Words a status as a line without newline ("truncated samples: 136 of 400
 * bytes"), into out as snprintf does (out may be NULL when size is 0).
 * Returns the length of the whole text, whatever size allows. Cannot fail. */
GRIDVANE_API size_t gridvane_status_message(const gridvane_status *status, char *out, size_t size);

/* Words a code with its error number alone ("truncated samples"; for OPEN,
 * READ and WRITE the error number's words), for a caller that kept only
 * those (a C++ std::error_code): the status's words without the counts and
 * bytes that only a status carries. As gridvane_status_message otherwise
 * (since 1.2). Cannot fail. */
GRIDVANE_API size_t gridvane_code_message(int32_t code, int32_t error, char *out, size_t size);

/* ---- What the readers report (since 1.1) ------------------------------- */

/* Places where a reader takes the input other than as it is written. An
 * ERROR finding changes or drops what the text spells (a value taken for
 * another, a value dropped, bytes read in the wrong form); a WARNING only
 * fills what the format allows or notes what a host may not expect. */
#define GRIDVANE_SEVERITY_WARNING 1
#define GRIDVANE_SEVERITY_ERROR 2

#define GRIDVANE_FINDING_NOT_A_NUMBER 1        /* ERROR: no number at all: taken as 0 */
#define GRIDVANE_FINDING_PARTIAL_NUMBER 2      /* ERROR: a number followed by more: its number taken */
#define GRIDVANE_FINDING_DECIMAL_COMMA 3       /* ERROR: "8,25": taken as 8 */
#define GRIDVANE_FINDING_HEXADECIMAL 4         /* WARNING: "0x10", taken as 16 */
#define GRIDVANE_FINDING_BEYOND_RANGE 5        /* ERROR: too large for a float: taken as infinite */
#define GRIDVANE_FINDING_BELOW_RANGE 6         /* WARNING: too small for a float: taken as 0 */
#define GRIDVANE_FINDING_NAN 7                 /* WARNING: a NaN sample or frame */
#define GRIDVANE_FINDING_INFINITE 8            /* WARNING: an infinite sample or frame */
#define GRIDVANE_FINDING_NAMES_AS_ROW 9        /* ERROR: a first line of names read as a row of zeros */
#define GRIDVANE_FINDING_VALUE_AS_SEPARATOR 10 /* ERROR: a number where the '|' belongs: dropped */
#define GRIDVANE_FINDING_OTHER_SEPARATOR 11    /* WARNING: other text where the '|' belongs */
#define GRIDVANE_FINDING_EXTRA_SEPARATOR 12    /* ERROR: a '|' where a value belongs: taken as 0 */
#define GRIDVANE_FINDING_SHORT_ROW 13          /* ERROR: fewer values than the first row: padded with 0 (made up) */
#define GRIDVANE_FINDING_LONG_ROW 14           /* ERROR: more values than the first row: the rest dropped */
#define GRIDVANE_FINDING_FRAME_NOT_RISING 15   /* WARNING: a frame not above the one before */
#define GRIDVANE_FINDING_NO_VALUES 16          /* WARNING: the first data line has a frame only */
#define GRIDVANE_FINDING_NAMES_MISMATCH 17     /* WARNING: the header names more or fewer columns */
#define GRIDVANE_FINDING_RULE_INDENTED 18      /* WARNING: a '-' after blanks does not end the header */
#define GRIDVANE_FINDING_BAR_AS_DATA 19        /* ERROR: a later line beginning with '|': frame taken as 0 */
#define GRIDVANE_FINDING_NUL_BYTE 20           /* ERROR: the rest of the line after a NUL byte dropped */
#define GRIDVANE_FINDING_CARRIAGE_RETURN 21    /* ERROR: a carriage return inside a line joins two lines */
#define GRIDVANE_FINDING_BINARY_AS_TEXT 22     /* ERROR: binary channel data read as text */
#define GRIDVANE_FINDING_TRAILING_BYTES 23     /* WARNING: bytes after the last binary sample */
#define GRIDVANE_FINDING_NO_SAMPLES 24         /* WARNING: a binary header with a zero count */
#define GRIDVANE_FINDING_EMPTY_CELL 25         /* ERROR: two tabs in a row: the empty cell dropped, later values moved */
#define GRIDVANE_FINDING_INEXACT_FRAME 26      /* ERROR: a whole frame number a float cannot hold: another taken */
#define GRIDVANE_FINDING_ROUNDED_WHOLE_NUMBER 27 /* WARNING: a whole number a float cannot hold: the nearest taken */
#define GRIDVANE_FINDING_COMMA_SEPARATED 28    /* ERROR: "1,0,-5": values separated by commas: the first taken */
#define GRIDVANE_FINDING_NOT_PLAIN_TEXT 29     /* ERROR: compressed data or UTF-16/32 text read as text */
#define GRIDVANE_FINDING_NAME_NOT_UTF8 30      /* WARNING: a header name that is not UTF-8: its bytes kept */
#define GRIDVANE_FINDING_ROUNDED_WHOLE_PART 31 /* WARNING: a number past 2^24 with a fraction or an exponent, whose
                                                * fraction and whole part a float cannot hold: the nearest taken
                                                * (since 1.2) */

/* One finding. text is the token concerned as a NUL-terminated string
 * (NULL where there is none, as for every binary finding), valid only
 * during the observer's call. taken is the value the reader took, where it
 * took one. expected and found, 0 where a kind has none:
 *
 *   kind               expected                    found                previous
 *   SHORT_ROW          the first row's values      this row's values
 *   LONG_ROW           the first row's values      this row's values
 *   NAMES_MISMATCH     the names in the header     this row's values
 *   FRAME_NOT_RISING   the line of the frame       this row's index     that frame
 *                      before                      in the table
 *   NAN, INFINITE      the sample's row            its column           (binary files)
 *   TRAILING_BYTES     0                           the bytes after the samples
 *   NO_SAMPLES         the header's columns        its rows
 *   NOT_PLAIN_TEXT     0                           what it is (words: gridvane_finding_message)
 *   ROUNDED_WHOLE_NUMBER,  the table's column       how many numbers of that
 *   ROUNDED_WHOLE_PART     (from 0)                 column the float rounds so
 *
 * The two ROUNDED kinds sum a column up (since 1.2): each is told once per
 * column of a file, after the last row, at that column's first number so
 * rounded, with the count; in the order of those first numbers.
 *
 * On a first line that begins with a UTF-8 byte-order mark, columns count
 * from after the mark and offsets from the file's first byte. */
typedef struct gridvane_finding {
    int32_t kind;     /* GRIDVANE_FINDING_... */
    int32_t severity; /* GRIDVANE_SEVERITY_WARNING or GRIDVANE_SEVERITY_ERROR */
    int64_t line;     /* from 1; a binary file is one line of bytes */
    int64_t column;   /* from 1 (a binary file: byte offset plus one); 0 when not known */
    int64_t offset;   /* byte offset in the input, -1 when not known */
    const char *text;
    double taken;
    double previous;
    int64_t expected;
    int64_t found;
    int32_t frame; /* 1 when the value concerned is a frame number */
} gridvane_finding;

/* Called for each finding, in input order (the ROUNDED kinds, which sum a
 * column up, after the last row), on the reading thread. Returns 0 to go
 * on, anything else to stop the read, which then fails with
 * GRIDVANE_E_REFUSED at that finding. */
typedef int (*gridvane_observer)(const gridvane_finding *finding, void *context);

/* Words a finding as a line without newline ("'8,25' has text after the number:
 * the reader takes 8 (a decimal comma)"), as gridvane_status_message does.
 * Cannot fail. */
GRIDVANE_API size_t gridvane_finding_message(const gridvane_finding *finding, char *out, size_t size);

/* Names a finding's kind as the macro does, in lower case, "decimal_comma"
 * for GRIDVANE_FINDING_DECIMAL_COMMA: a name to test against or to show
 * beside the words (since 1.2). NULL for a kind no reader reports. Cannot
 * fail. */
GRIDVANE_API const char *gridvane_finding_name(int32_t kind);

/* ---- Streams of the caller's own (since 1.1) --------------------------- */

/* Bytes moved through the caller's functions instead of a FILE *: for a
 * host built against another C runtime (whose FILE and errno are not the
 * library's) and for memory buffers. A reader needs read; a writer needs
 * write, and calls flush (when not NULL) once at the end. Each returns a
 * negative error number (-EIO, say) on failure; the library never reads
 * the caller's errno. */
typedef struct gridvane_io {
    void *context;
    /* Up to size bytes into buffer: the number read, 0 only at the end. */
    ptrdiff_t (*read)(void *context, void *buffer, size_t size);
    /* Up to size bytes from data: the number written, at least 1. */
    ptrdiff_t (*write)(void *context, const void *data, size_t size);
    /* Hands on what was written: 0. May be NULL. */
    int (*flush)(void *context);
} gridvane_io;

/* ---- Names (since 1.1) ------------------------------------------------- */

/* What a name is for, which the tools library's type 0 depends on. */
#define GRIDVANE_PURPOSE_LOAD 0
#define GRIDVANE_PURPOSE_SAVE 1

/* The form a name takes: GRIDVANE_FORM_BINARY or GRIDVANE_FORM_ASCII by the
 * tools library's type, GRIDVANE_FORM_DECIDE for a name it does not know (a
 * load decides by content; a save needs the form given). -1 with status:
 * ARGUMENT (a NULL name, another purpose), BAD_SUFFIX (a type that is no
 * channel file: ArrayLoad and ArraySave refuse the name). */
GRIDVANE_API int32_t gridvane_form_of_name(const char *name, int32_t purpose, gridvane_status *status);

/* The form a save by this name writes when form is asked (since 1.2): form
 * itself, or for GRIDVANE_FORM_DECIDE the name's (GRIDVANE_FORM_ASCII or
 * GRIDVANE_FORM_BINARY; gridvane_save then writes an ASCII name in the
 * table form when the table has frames). -1 with status: ARGUMENT (a NULL
 * or empty name), BAD_SUFFIX, UNNAMED_FORM (DECIDE and a name the tools
 * library does not know), FORM_AGAINST_NAME (a form the name's type
 * contradicts, unless flags has GRIDVANE_WRITE_ANY_NAME; expected the form,
 * found the name's), each as gridvane_save gives it. */
GRIDVANE_API int32_t gridvane_form_to_save(const char *name, int32_t form, uint32_t flags, gridvane_status *status);

/* The suffix a file of a form is written under (since 1.2): ".chan" for
 * GRIDVANE_FORM_ASCII and GRIDVANE_FORM_TABLE, ".chb" for
 * GRIDVANE_FORM_BINARY; NULL for another code. Cannot fail. */
GRIDVANE_API const char *gridvane_form_suffix(int32_t form);

/* The form a client names by word (since 1.2): "ascii" gives
 * GRIDVANE_FORM_ASCII, "binary" GRIDVANE_FORM_BINARY; -1 for NULL or another
 * word. Cannot fail. */
GRIDVANE_API int32_t gridvane_form_of_word(const char *word);

/* The word for a form, the other way (since 1.2): "ascii" for
 * GRIDVANE_FORM_ASCII, "binary" for GRIDVANE_FORM_BINARY; NULL for another
 * code (the table form is asked for by code). Cannot fail. */
GRIDVANE_API const char *gridvane_form_word(int32_t form);

/* Where a conversion of many files into one folder writes an input, within
 * that folder (since 1.2): the input's name relative to what the caller
 * keeps of it (its root), with the form's suffix for its own (the part from
 * the last '.' of its last component, when that is not the component's
 * first byte): "a/b.chb" for "a/b.chan" and GRIDVANE_FORM_BINARY; '/' and
 * the backslash both separate. Into out as snprintf does (out may be NULL
 * when size is 0); returns the whole name's length, or -1 with status
 * ARGUMENT: a NULL name, a form without a suffix, an empty name or one with
 * a ".." component (its output would leave the folder). */
GRIDVANE_API ptrdiff_t gridvane_output_name(const char *name, int32_t form, char *out, size_t size,
                                            gridvane_status *status);

/* ---- Reading (since 1.1) ----------------------------------------------- */

/* What a read did: its status (GRIDVANE_OK on success), what the input was,
 * how many findings of each severity the readers reported (counted only
 * when there is an observer), and how many lines held a '#' comment, which
 * a table does not keep (a writer of the table writes none). */
typedef struct gridvane_report {
    gridvane_status status;
    int32_t kind; /* GRIDVANE_KIND_... */
    int64_t errors;
    int64_t warnings;
    int64_t comments;
} gridvane_report;

/* Loads a file by name, as ArrayLoad does (same tables, same failures) but
 * in the form asked (GRIDVANE_FORM_DECIDE: ArrayLoad's decision), telling
 * observer (which may be NULL) every finding, and filling report. Every
 * name is a file: "stdin" is not special here; a pipe, a FIFO or a device
 * is read as it comes. A table-form file keeps its header names
 * (gridvane_column_name). Returns the new handle, or -1. */
GRIDVANE_API int32_t gridvane_load(const char *name, int32_t form, gridvane_observer observer, void *context,
                                   gridvane_report *report);

/* The same on a stream the caller opened, read to the table's end (an
 * ASCII stream and, with an observer, a binary one to the stream's end, or
 * to the failure); GRIDVANE_FORM_DECIDE decides by content as ArrayLoad
 * does for a name the tools library does not know. */
GRIDVANE_API int32_t gridvane_read(FILE *stream, int32_t form, gridvane_observer observer, void *context,
                                   gridvane_report *report);

/* The same through the caller's read function (io->read), to the end of
 * what it gives. */
GRIDVANE_API int32_t gridvane_read_io(const gridvane_io *io, int32_t form, gridvane_observer observer, void *context,
                                      gridvane_report *report);

/* The bound on what a read may allocate (since 1.1): a text file's first
 * row fixes the width of every later row, so a few bytes can claim a table
 * of gigabytes. A read fails with OUT_OF_PROPORTION (EIO; the line and
 * column of the row that passes it) once its table holds more than factor
 * times the bytes it has read, plus GRIDVANE_GROWTH_ALLOWANCE bytes. The
 * densest real text holds a 4-byte float in 2 bytes, so real files stay
 * near 2 and the default 256 is met only by a file whose rows lack more
 * than 99 % of their cells. The bound holds for every read of the process
 * (ArrayLoad, ArrayRead and ChanReadAscii too, which fail as when memory
 * runs out); a binary read grows its table only with the samples it has
 * read, and so stays within the bound.
 *
 * gridvane_read_growth sets the factor for the reads that start after it
 * (0 lifts the bound; a negative factor changes nothing) and returns the
 * one before. Cannot fail. */
#define GRIDVANE_GROWTH_DEFAULT 256
#define GRIDVANE_GROWTH_ALLOWANCE (16 * 1024 * 1024)
GRIDVANE_API int64_t gridvane_read_growth(int64_t factor);

/* A load the caller spreads over its own threads (the library starts none).
 *
 * gridvane_plan_open opens the file, decides its form and reads its first
 * lines exactly as gridvane_load does, notes the file's size and
 * modification time, and cuts the rest into at most parts parts (fewer for
 * a small file: a part is at least a megabyte). A file that cannot be read
 * by position, such as a pipe, a FIFO or a terminal, is only opened: it is
 * one part, which reads it all in order, as gridvane_load would, and the
 * report of the open gives its kind as UNKNOWN (a change in 1.1: such a
 * plan had no parts, and its open read the file). Returns NULL (report
 * filled) when the load fails before any part.
 *
 * gridvane_plan_read reads one part (0 to gridvane_plan_parts - 1), from
 * any thread, each part by one thread at a time. Returns 0, or -1 with
 * status when the part failed (the finish tells which failure the load
 * gives). A part that finds the file shorter or longer than the open found
 * it fails with CHANGED.
 *
 * gridvane_plan_finish, once every gridvane_plan_read has returned, reads
 * the parts nobody read, joins them and registers the table: the table
 * gridvane_load gives for the same file, bit for bit, with the same report;
 * the observer is told the same findings in the same order, from the
 * thread that opens and the one that finishes only (a plan read whole
 * tells them from the thread that reads its part: the finish's, when none
 * did). A failure in any part fails the load with the status the one-piece
 * load gives first; a file whose size or modification time is no longer
 * what the open found fails it with CHANGED, and gives no table. Returns
 * the handle or -1, and frees the plan either way.
 *
 * gridvane_plan_abandon frees a plan without reading what is left (after
 * every gridvane_plan_read has returned); NULL is allowed. Cannot fail. */
typedef struct gridvane_plan gridvane_plan;
GRIDVANE_API gridvane_plan *gridvane_plan_open(const char *name, int32_t form, int32_t parts,
                                               gridvane_observer observer, void *context, gridvane_report *report);
/* The number of parts: 1 for a plan read whole (a change in 1.1: it was
 * 0), 0 for a file with no bytes after its first lines, or NULL. Cannot
 * fail. */
GRIDVANE_API int32_t gridvane_plan_parts(const gridvane_plan *plan);
GRIDVANE_API int32_t gridvane_plan_read(gridvane_plan *plan, int32_t part, gridvane_status *status);
GRIDVANE_API int32_t gridvane_plan_finish(gridvane_plan *plan, gridvane_report *report);
GRIDVANE_API void gridvane_plan_abandon(gridvane_plan *plan);

/* Parses the 64-byte header of a binary file from the first size bytes.
 * Returns 0 and fills header, or -1 with status (ARGUMENT,
 * TRUNCATED_HEADER, BAD_MAGIC, NEGATIVE_COUNT; the counts are filled for
 * the last). */
typedef struct gridvane_binary_header {
    int32_t big_endian;
    int32_t columns;
    int32_t rows;
} gridvane_binary_header;
GRIDVANE_API int32_t gridvane_parse_binary_header(const void *bytes, size_t size, gridvane_binary_header *header,
                                                  gridvane_status *status);

/* How plain input is read, beyond what the format says (since 1.2). With
 * GRIDVANE_READ_NAMES_FIRST_LINE, the first line with tokens of a text
 * holds the column names and the table begins after it; the names must be
 * as many as the first row's values; a name decides for the text form.
 * With frames_column >= 0, that column (from 0, as the file has it) of a
 * text or a binary file holds each row's frame: whole numbers a float
 * keeps exactly, each above the one before; the table gets frames as the
 * table form gives them, the other columns in their order, and the name of
 * the frame column is not kept. frames_column -1: none. A rule the input
 * breaks fails the read with AGAINST_READING at its place; so does the
 * table form (which has names and frames of its own) and binary input with
 * names. A NULL gridvane_reading, or flags 0 and frames_column -1, reads
 * as the functions without it do. */
#define GRIDVANE_READ_NAMES_FIRST_LINE 0x1
typedef struct gridvane_reading {
    uint32_t flags;
    int32_t frames_column;
} gridvane_reading;

/* gridvane_load, gridvane_read, gridvane_read_io and gridvane_plan_open
 * with a reading (since 1.2); ARGUMENT for an unknown flag or a
 * frames_column below -1. */
GRIDVANE_API int32_t gridvane_load_with(const char *name, int32_t form, const gridvane_reading *reading,
                                        gridvane_observer observer, void *context, gridvane_report *report);
GRIDVANE_API int32_t gridvane_read_with(FILE *stream, int32_t form, const gridvane_reading *reading,
                                        gridvane_observer observer, void *context, gridvane_report *report);
GRIDVANE_API int32_t gridvane_read_io_with(const gridvane_io *io, int32_t form, const gridvane_reading *reading,
                                           gridvane_observer observer, void *context, gridvane_report *report);
GRIDVANE_API gridvane_plan *gridvane_plan_open_with(const char *name, int32_t form, int32_t parts,
                                                    const gridvane_reading *reading, gridvane_observer observer,
                                                    void *context, gridvane_report *report);

/* ---- Tables (since 1.1) ------------------------------------------------ */

/* ArrayAlloc with flags: ARRAY_FRAME gives every row a frame slot after its
 * columns (all zero), as a table read from the table form has. Returns the
 * handle, or -1 with status (ARGUMENT for a count below 1 or an unknown
 * flag, NO_MEMORY at once when the storage cannot be reserved). */
GRIDVANE_API int32_t gridvane_alloc(int32_t rows, int32_t columns, uint32_t flags, gridvane_status *status);

/* A table's extent as whole numbers: the rows and data columns reachable
 * through the record (its countV and countU, which are floats, bounded by
 * the storage really there; where a count is the float nearest the
 * storage's, as every table the library makes has, the storage's exact
 * number, so a table of 2^24 rows or more is described exactly), whether
 * its rows carry frames, and its type. */
typedef struct gridvane_extent {
    int64_t rows;
    int64_t columns; /* data columns: the frame slot is not counted */
    int32_t frames;  /* 1 when each row keeps its frame number after its columns */
    int32_t type;    /* CHAN_ASCII, CHAN_BIN, or a family without samples (both counts 0) */
} gridvane_extent;

/* Fills extent. Returns 0, or -1 with status (ARGUMENT, UNKNOWN_HANDLE). */
GRIDVANE_API int32_t gridvane_extent_of(int32_t id, gridvane_extent *extent, gridvane_status *status);

/* The number of column names a table keeps (those of a table-form file's
 * header, or given with gridvane_set_column_names), 0 when it has none; -1
 * with status (UNKNOWN_HANDLE). */
GRIDVANE_API int32_t gridvane_column_name_count(int32_t id, gridvane_status *status);

/* A column's name as a NUL-terminated string, valid until the table is
 * freed or its names are set again; NULL with status OK for a column that
 * has no name, or with status UNKNOWN_HANDLE, ARGUMENT (a negative
 * column). */
GRIDVANE_API const char *gridvane_column_name(int32_t id, int32_t column, gridvane_status *status);

/* Gives a table count column names, the first count columns' (count 0:
 * none; the writer names the rest "columnN"); more names than columns is
 * ARGUMENT (since 1.2; expected: the columns, found: count). A name must be
 * non-empty, not "|" alone, and hold no white space, '#' or control byte,
 * so that the table form can hold it: otherwise BAD_NAME (found: its
 * index) and nothing changes. Returns 0, or -1 with status. */
GRIDVANE_API int32_t gridvane_set_column_names(int32_t id, int32_t count, const char *const *names,
                                               gridvane_status *status);

/* Samples a table at n points with one lookup: out[i] gets exactly the bits
 * ArrayGetValue(id, u[i * u_stride], v[i * v_stride]) gives (clamping and
 * NaN included). Strides count floats and may be 0 (one coordinate for
 * every point) or negative (walking back from the pointer). Returns 0, or
 * -1 with status: for an unknown handle (UNKNOWN_HANDLE) every out[i] is
 * then 0.0f, as ArrayGetValue gives; a NULL array when n > 0, or n points
 * at a stride that no array can hold (past PTRDIFF_MAX bytes), is ARGUMENT. */
GRIDVANE_API int32_t gridvane_sample_many(int32_t id, size_t n, const float *u, ptrdiff_t u_stride, const float *v,
                                          ptrdiff_t v_stride, float *out, gridvane_status *status);

/* ---- Frames (since 1.2) ------------------------------------------------ */

/* A table's frames, indexed for many lookups. gridvane_frame_index_row
 * gives the row at which a frame falls, fractions kept: exactly what
 * ArrayFrameGetV's scan gives for a whole frame, and for any frame the same
 * arithmetic on the frame rounded to a float (30.5 falls half way from the
 * row of frame 30 to the row of frame 31); -1.0 before the first frame,
 * after the last, or for a NULL index. Each lookup is a binary search,
 * whatever the order of the frames. The index keeps a copy of the frames
 * as they were when it was made: it does not see later changes, and it
 * outlives the table. Any number of threads may look up in one index. */
typedef struct gridvane_frame_index gridvane_frame_index;

/* NULL with status: UNKNOWN_HANDLE, ARGUMENT (a table without frames),
 * NO_MEMORY. */
GRIDVANE_API gridvane_frame_index *gridvane_frame_index_open(int32_t id, gridvane_status *status);
/* Cannot fail. */
GRIDVANE_API float gridvane_frame_index_row(const gridvane_frame_index *index, double frame);
/* Frees the index; NULL is allowed. Cannot fail. */
GRIDVANE_API void gridvane_frame_index_close(gridvane_frame_index *index);

/* ---- Writing (since 1.1) ----------------------------------------------- */

/* Flags for writing and saving. */
#define GRIDVANE_WRITE_DROP_FRAMES 0x1 /* the binary form of a framed table writes without its frames */
#define GRIDVANE_WRITE_ANY_NAME 0x2    /* a form that contradicts the name's type is written all the same */
#define GRIDVANE_WRITE_SHORTEST 0x4    /* ASCII values as the shortest text that reads back the same (0.1), not
                                        * "%.15g" (0.100000001490116) as the 20 functions write them */
#define GRIDVANE_WRITE_FRAMES_AS_COLUMN 0x8 /* a table with frames in a plain form (ASCII or binary) writes
                                            * each row's frame first, as column 0 (since 1.2) */

/* Writes a table to a stream the caller opened, in the form asked (DECIDE:
 * TABLE when the table has frames, else ASCII). The binary form of a table
 * with frames fails with FRAMES_LOST (nothing written) unless flags has
 * GRIDVANE_WRITE_DROP_FRAMES; TABLE of a table without frames fails with
 * ARGUMENT. Returns 0, or -1 with status. */
GRIDVANE_API int32_t gridvane_write(FILE *stream, int32_t id, int32_t form, uint32_t flags, gridvane_status *status);

/* The same through the caller's write function (io->write, then io->flush). */
GRIDVANE_API int32_t gridvane_write_io(const gridvane_io *io, int32_t id, int32_t form, uint32_t flags,
                                       gridvane_status *status);

/* Saves a table by name through ArraySave's safe replacement (complete and
 * flushed before it takes the name). DECIDE takes the name's form (an
 * unknown name fails with UNNAMED_FORM); a form that contradicts the name's
 * type fails with FORM_AGAINST_NAME unless flags has
 * GRIDVANE_WRITE_ANY_NAME. Every name is a file. Returns 0, or -1 with
 * status. Where the save replaces the file (a regular file or a new name,
 * as gridvane_file_open below says), the file is untouched by every
 * failure before the rename. A FIFO is written in place and, as any
 * writer of a FIFO, the save waits until something opens it for reading:
 * with no reader it blocks for ever (ArraySave too). */
GRIDVANE_API int32_t gridvane_save(int32_t id, const char *name, int32_t form, uint32_t flags, gridvane_status *status);

/* ---- Files replaced safely (since 1.1) --------------------------------- */

/* A file replaced as ArraySave replaces one, for anything a client writes:
 * open it, write to it (gridvane_file_write, or the stream of
 * gridvane_file_stream for a host that shares the library's C runtime),
 * then commit or abandon it. A regular file (or a new name) gets a new
 * file in the same folder, which takes the name only once it is complete
 * and flushed, and keeps the old one's mode, owner and links; anything else
 * is written in place (a FIFO with no reader blocks the open until one
 * comes). */
typedef struct gridvane_file gridvane_file;

/* NULL with status (ARGUMENT, NO_MEMORY, OPEN with the error number) when
 * no file can be opened. */
GRIDVANE_API gridvane_file *gridvane_file_open(const char *name, gridvane_status *status);
/* Writes size bytes. Returns 0, or -1 with status (WRITE). */
GRIDVANE_API int32_t gridvane_file_write(gridvane_file *file, const void *data, size_t size, gridvane_status *status);
/* The file's stream, in the library's C runtime. Cannot fail. */
GRIDVANE_API FILE *gridvane_file_stream(gridvane_file *file);
/* The new file's name while it has one (where the system has no unnamed
 * files), else NULL: what a signal handler removes if the process must end
 * before the commit. Cannot fail. */
GRIDVANE_API const char *gridvane_file_temporary_name(const gridvane_file *file);
/* Closes the file and puts the new contents in place; frees file either
 * way. Returns 0, or -1 with status (ARGUMENT, WRITE with the error
 * number); on a failure the old file is as it was, unless only the flush of
 * the folder after the rename failed. */
GRIDVANE_API int32_t gridvane_file_commit(gridvane_file *file, gridvane_status *status);
/* Closes the file and leaves the old contents in place (a file written in
 * place keeps what was written); frees file. NULL is allowed. Cannot fail. */
GRIDVANE_API void gridvane_file_abandon(gridvane_file *file);

#ifdef __cplusplus
}
#endif

#endif
