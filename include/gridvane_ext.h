/*
 * Gridvane's extension interface: what clients need beyond the 20 functions
 * of gridvane.h, under the library's own prefix. The 20 keep every result,
 * message and error number they have; nothing here changes them.
 *
 * Every function here is safe to call from any number of threads at once,
 * on the same terms as gridvane.h. None prints a message: a failure comes
 * back as a gridvane_status (a code, the error number, and where in the
 * file it happened), and gridvane_status_message words it. errno is set to
 * the status's error number on failure as well (0 where the input itself
 * is at fault: a format's statuses name no system error).
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

/* ---- The binary form's layout ----------------------------------------- */

#define GRIDVANE_BINARY_HEADER_SIZE 64
#define GRIDVANE_BINARY_COLUMNS_AT 8 /* signed 16-bit count, the file's byte order */
#define GRIDVANE_BINARY_ROWS_AT 10
#define GRIDVANE_BINARY_COUNT_MAX 32767
#define GRIDVANE_BINARY_MAGIC "chan"          /* a little-endian file begins so */
#define GRIDVANE_BINARY_MAGIC_REVERSED "nahc" /* a big-endian one so */

/* ---- Forms ------------------------------------------------------------- */

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

/* The form a name takes: save 0 for a load, 1 for a save. Returns
 * GRIDVANE_FORM_BINARY or GRIDVANE_FORM_ASCII by the tools library's type,
 * GRIDVANE_FORM_DECIDE for a name it does not know (a load decides by
 * content; a save needs the form given), or -1 for a type that is no
 * channel file (ArrayLoad and ArraySave refuse the name). */
GRIDVANE_API int32_t gridvane_form_of_name(const char *name, int32_t save);

/* ---- Failures ---------------------------------------------------------- */

#define GRIDVANE_OK 0
#define GRIDVANE_E_ARGUMENT 1          /* a null or empty argument, or a form or count out of range */
#define GRIDVANE_E_BAD_SUFFIX 2        /* the tools library gives the name a type that is no channel file */
#define GRIDVANE_E_OPEN 3              /* the file cannot be opened (error says why) */
#define GRIDVANE_E_READ 4              /* reading failed (error says why) */
#define GRIDVANE_E_EMPTY 5             /* no significant byte to decide the form by */
#define GRIDVANE_E_INVALID_FORMAT 6    /* the first significant byte begins no channel file */
#define GRIDVANE_E_NO_DATA 7           /* ASCII: no data line, only comments and blank lines */
#define GRIDVANE_E_NO_RULE_LINE 8      /* ASCII table form: the header has no rule line */
#define GRIDVANE_E_NO_DATA_AFTER_RULE 9 /* ASCII table form: no data line after the rule line */
#define GRIDVANE_E_BAD_MAGIC 10        /* binary: neither "chan" nor "nahc" */
#define GRIDVANE_E_TRUNCATED_HEADER 11 /* binary: fewer than 64 header bytes */
#define GRIDVANE_E_TRUNCATED_SAMPLES 12 /* binary: fewer samples than the header promises */
#define GRIDVANE_E_NEGATIVE_COUNT 13   /* binary: a negative count in the header */
#define GRIDVANE_E_NO_MEMORY 14
#define GRIDVANE_E_TOO_LARGE 15        /* the binary form holds at most 32767 rows and columns */
#define GRIDVANE_E_WRITE 16            /* writing, flushing or replacing failed (error says why) */
#define GRIDVANE_E_UNKNOWN_HANDLE 17
#define GRIDVANE_E_NO_SAMPLES 18       /* a table of another family */
#define GRIDVANE_E_REFUSED 19          /* the observer stopped the read at a finding */
#define GRIDVANE_E_FRAMES_LOST 20      /* the binary form has no frame column */
#define GRIDVANE_E_FORM_AGAINST_NAME 21 /* the form asked contradicts the name's type */
#define GRIDVANE_E_UNNAMED_FORM 22     /* a save to a name of no known type, with no form given */
#define GRIDVANE_E_BAD_NAME 23         /* a column name the table form cannot hold */

/* Where and why an operation failed. line and column count from 1 (0: not
 * known); a binary file is one line of bytes, so its column is the byte
 * offset plus one. offset is the byte offset in the input (-1: not known).
 * expected and found qualify some codes: TRUNCATED_* bytes promised and
 * there; NEGATIVE_COUNT 0 for columns, 1 for rows, and the count;
 * TOO_LARGE the table's columns and rows; BAD_MAGIC and INVALID_FORMAT the first
 * bytes seen (up to four, in found, the first in the lowest byte, with
 * expected their number); EMPTY the bytes read; BAD_SUFFIX the type;
 * REFUSED the finding's kind in expected. */
typedef struct gridvane_status {
    int32_t code;  /* GRIDVANE_OK or GRIDVANE_E_... */
    int32_t error; /* the error number that goes with it */
    int64_t line;
    int64_t column;
    int64_t offset;
    int64_t expected;
    int64_t found;
} gridvane_status;

/* Words a status as a line without newline ("truncated samples: 136 of 400
 * bytes"), into out as snprintf does. Returns the length of the whole text,
 * whatever size allows. */
GRIDVANE_API size_t gridvane_status_message(const gridvane_status *status, char *out, size_t size);

/* ---- What the readers report ------------------------------------------- */

/* Places where a reader takes the input other than as it is written. An
 * ERROR finding changes or drops what the text spells (a value taken for
 * another, a value dropped, bytes read in the wrong form); a WARNING only
 * fills what the format allows or notes what a host may not expect. */
#define GRIDVANE_WARNING 1
#define GRIDVANE_ERROR 2

#define GRIDVANE_FINDING_NOT_A_NUMBER 1      /* ERROR: no number at all: taken as 0 */
#define GRIDVANE_FINDING_PARTIAL_NUMBER 2    /* ERROR: a number followed by more: its number taken */
#define GRIDVANE_FINDING_DECIMAL_COMMA 3     /* ERROR: "8,25": taken as 8 */
#define GRIDVANE_FINDING_HEXADECIMAL 4       /* WARNING: "0x10", taken as 16 */
#define GRIDVANE_FINDING_BEYOND_RANGE 5      /* ERROR: too large for a float: taken as infinite */
#define GRIDVANE_FINDING_BELOW_RANGE 6       /* WARNING: too small for a float: taken as 0 */
#define GRIDVANE_FINDING_NAN 7               /* WARNING: a NaN sample or frame */
#define GRIDVANE_FINDING_INFINITE 8          /* WARNING: an infinite sample or frame */
#define GRIDVANE_FINDING_NAMES_AS_ROW 9      /* ERROR: a first line of names read as a row of zeros */
#define GRIDVANE_FINDING_VALUE_AS_SEPARATOR 10 /* ERROR: a number where the '|' belongs: dropped */
#define GRIDVANE_FINDING_OTHER_SEPARATOR 11  /* WARNING: other text where the '|' belongs */
#define GRIDVANE_FINDING_EXTRA_SEPARATOR 12  /* ERROR: a '|' where a value belongs: taken as 0 */
#define GRIDVANE_FINDING_SHORT_ROW 13        /* WARNING: fewer values than the first row: padded with 0 */
#define GRIDVANE_FINDING_LONG_ROW 14         /* ERROR: more values than the first row: the rest dropped */
#define GRIDVANE_FINDING_FRAME_NOT_RISING 15 /* WARNING: a frame not above the one before */
#define GRIDVANE_FINDING_NO_VALUES 16        /* WARNING: the first data line has a frame only */
#define GRIDVANE_FINDING_NAMES_MISMATCH 17   /* WARNING: the header names more or fewer columns */
#define GRIDVANE_FINDING_RULE_INDENTED 18    /* WARNING: a '-' after blanks does not end the header */
#define GRIDVANE_FINDING_BAR_AS_DATA 19      /* ERROR: a later line beginning with '|': frame taken as 0 */
#define GRIDVANE_FINDING_NUL_BYTE 20         /* ERROR: the rest of the line after a NUL byte dropped */
#define GRIDVANE_FINDING_CARRIAGE_RETURN 21  /* ERROR: a carriage return inside a line joins two lines */
#define GRIDVANE_FINDING_BINARY_AS_TEXT 22   /* ERROR: binary channel data read as text */
#define GRIDVANE_FINDING_TRAILING_BYTES 23   /* WARNING: bytes after the last binary sample */
#define GRIDVANE_FINDING_NO_SAMPLES 24       /* WARNING: a binary header with a zero count */

/* One finding. text is the token or bytes concerned (NULL where there are
 * none), valid only during the observer's call. taken is the value the
 * reader took for it, where it took one. expected and found: the first
 * row's values and this row's (SHORT_ROW, LONG_ROW; NAMES_MISMATCH: names
 * and values), the previous frame's line and this
 * row's index (FRAME_NOT_RISING, with previous its frame), a binary
 * sample's row and column (NAN, INFINITE), the bytes after the samples
 * (TRAILING_BYTES), the columns and rows (NO_SAMPLES). On a first line
 * that begins with a UTF-8 byte-order mark, columns count from after the
 * mark and offsets from the file's first byte. */
typedef struct gridvane_finding {
    int32_t kind;     /* GRIDVANE_FINDING_... */
    int32_t severity; /* GRIDVANE_WARNING or GRIDVANE_ERROR */
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

/* Called for each finding, in input order, on the reading thread. Returns 0
 * to go on, anything else to stop the read, which then fails with
 * GRIDVANE_E_REFUSED at that finding. */
typedef int (*gridvane_observer)(const gridvane_finding *finding, void *context);

/* Words a finding as a line without newline ("'8,25' is not a whole number:
 * the reader takes 8, not 8.25 (a decimal comma)"), as snprintf does; returns
 * the length of the whole text. */
GRIDVANE_API size_t gridvane_finding_message(const gridvane_finding *finding, char *out, size_t size);

/* ---- Reading ----------------------------------------------------------- */

/* What a read did: its status (GRIDVANE_OK on success), what the input was,
 * and how many findings of each severity the readers reported. */
typedef struct gridvane_report {
    gridvane_status status;
    int32_t kind; /* GRIDVANE_KIND_... */
    int64_t errors;
    int64_t warnings;
} gridvane_report;

/* Loads a file by name, as ArrayLoad does (same tables, same failures) but
 * in the form asked (GRIDVANE_FORM_DECIDE: ArrayLoad's decision), telling
 * observer (which may be NULL) every finding, and filling report (which
 * may be NULL). Every name is a file: "stdin" is not special here. A
 * table-form file keeps its header names (gridvane_column_name). Returns
 * the new handle, or -1. */
GRIDVANE_API int32_t gridvane_load(const char *name, int32_t form, gridvane_observer observer, void *context,
                                   gridvane_report *report);

/* The same on a stream the caller opened, read to the table's end (an
 * ASCII stream and, with an observer, a binary one to the stream's end, or
 * to the failure); GRIDVANE_FORM_DECIDE decides by content as ArrayLoad does for
 * a name the tools library does not know. */
GRIDVANE_API int32_t gridvane_read(FILE *stream, int32_t form, gridvane_observer observer, void *context,
                                   gridvane_report *report);

/* A load the caller spreads over its own threads (the library starts none).
 * gridvane_plan_load opens the file, decides its form and reads its first
 * lines exactly as gridvane_load does, and cuts the rest into at most parts
 * parts (fewer for a small file: a part is at least a megabyte; none for a
 * file that is not a regular file, which the plan then reads itself). Each
 * part is read by gridvane_read_part, from any thread, each part by one
 * thread at a time, and every read has returned before
 * gridvane_finish_load is called. gridvane_finish_load reads the parts
 * nobody read, joins
 * them and registers the table: the table gridvane_load gives for the same
 * file, bit for bit, with the same report; the observer is told the same
 * findings in the same order, from the thread that plans and the one that
 * finishes only. A failure in any part fails the load with the status the
 * one-piece load gives first. gridvane_plan_load returns NULL (report
 * filled) when the load fails before any part; gridvane_finish_load returns
 * the handle or -1 and frees the plan either way. */
typedef struct gridvane_plan gridvane_plan;
GRIDVANE_API gridvane_plan *gridvane_plan_load(const char *name, int32_t form, int32_t parts,
                                               gridvane_observer observer, void *context, gridvane_report *report);
GRIDVANE_API int32_t gridvane_plan_parts(const gridvane_plan *plan);
/* 0, or -1 when the part failed (the finish tells how). */
GRIDVANE_API int32_t gridvane_read_part(gridvane_plan *plan, int32_t part);
GRIDVANE_API int32_t gridvane_finish_load(gridvane_plan *plan, gridvane_report *report);

/* Parses the 64-byte header of a binary file from the first size bytes.
 * Returns 0 and fills big_endian, columns and rows, or -1 with status
 * (TRUNCATED_HEADER, BAD_MAGIC, NEGATIVE_COUNT; the counts are filled for
 * the last). status may be NULL. */
typedef struct gridvane_binary_header {
    int32_t big_endian;
    int32_t columns;
    int32_t rows;
} gridvane_binary_header;
GRIDVANE_API int32_t gridvane_parse_binary_header(const void *bytes, size_t size, gridvane_binary_header *header,
                                                  gridvane_status *status);

/* ---- Tables ------------------------------------------------------------ */

/* ArrayAlloc with flags: ARRAY_FRAME gives every row a frame slot after its
 * columns (all zero), as a table read from the table form has. Returns the
 * handle, or -1 with status (ARGUMENT for a count below 1 or an unknown
 * flag, NO_MEMORY at once when the storage cannot be reserved). */
GRIDVANE_API int32_t gridvane_alloc(int32_t rows, int32_t columns, uint32_t flags, gridvane_status *status);

/* The number of column names a table keeps (those of a table-form file's
 * header, or given with gridvane_set_column_names), 0 when it has none, -1
 * for an unknown handle. */
GRIDVANE_API int32_t gridvane_column_name_count(int32_t id);

/* A column's name, or NULL (unknown handle, no name for that column). The
 * text stays valid until the table is freed or its names are set again. */
GRIDVANE_API const char *gridvane_column_name(int32_t id, int32_t column);

/* Gives a table count column names (count 0: none). A name must be
 * non-empty, not "|" alone, and hold no white space, '#' or control byte,
 * so that the table form can hold it: otherwise -1 with GRIDVANE_E_BAD_NAME (expected:
 * its index) and nothing changes. Returns 0, or -1 with status. */
GRIDVANE_API int32_t gridvane_set_column_names(int32_t id, int32_t count, const char *const *names,
                                               gridvane_status *status);

/* Samples a table at n points with one lookup: out[i] gets exactly the bits
 * ArrayGetValue(id, u[i * u_stride], v[i * v_stride]) gives (clamping and
 * NaN included). Strides count floats; 0 repeats one coordinate for every
 * point, and a negative stride walks back from the pointer. Returns 0; for
 * an unknown handle -1, with every out[i] 0.0f as ArrayGetValue gives; -1
 * with EINVAL for a null array when n > 0. */
GRIDVANE_API int32_t gridvane_sample_many(int32_t id, size_t n, const float *u, ptrdiff_t u_stride, const float *v,
                                          ptrdiff_t v_stride, float *out);

/* ---- Writing ----------------------------------------------------------- */

/* Flags for writing and saving. */
#define GRIDVANE_DROP_FRAMES 0x1  /* the binary form of a framed table writes without its frames */
#define GRIDVANE_ANY_NAME 0x2     /* a form that contradicts the name's type is written all the same */

/* Writes a table to a stream the caller opened, in the form asked (DECIDE:
 * TABLE when the table has frames, else ASCII). The binary form of a table
 * with frames fails with GRIDVANE_E_FRAMES_LOST (nothing written) unless
 * flags has GRIDVANE_DROP_FRAMES; TABLE of a table without frames fails
 * with GRIDVANE_E_ARGUMENT. Returns 0, or -1 with status. */
GRIDVANE_API int32_t gridvane_write(FILE *stream, int32_t id, int32_t form, uint32_t flags, gridvane_status *status);

/* Saves a table by name through ArraySave's safe replacement (complete and
 * flushed before it takes the name). DECIDE takes the name's form (an
 * unknown name fails with GRIDVANE_E_UNNAMED_FORM); a form that
 * contradicts the name's type fails with GRIDVANE_E_FORM_AGAINST_NAME
 * unless flags has GRIDVANE_ANY_NAME. Every name is a file. Returns 0, or
 * -1 with status. Where the save replaces the file (a regular file or a
 * new name, as gridvane_file_open below says), the file is untouched by
 * every failure before the rename. */
GRIDVANE_API int32_t gridvane_save(int32_t id, const char *name, int32_t form, uint32_t flags, gridvane_status *status);

/* A file replaced as ArraySave replaces one, for anything a client writes:
 * open it, write to its stream, then commit (written nonzero) or abandon
 * (written 0). A regular file (or a new name) gets a new file in the same
 * folder, which takes the name only once it is complete and flushed, and
 * keeps the old one's mode, owner and links; anything else is written in
 * place. */
typedef struct gridvane_file gridvane_file;

/* NULL with status (OPEN and the error number) when no file can be opened. */
GRIDVANE_API gridvane_file *gridvane_file_open(const char *name, gridvane_status *status);
GRIDVANE_API FILE *gridvane_file_stream(gridvane_file *file);
/* The new file's name while it has one (where the system has no unnamed
 * files), else NULL: what a signal handler removes if the process must end
 * before the commit. */
GRIDVANE_API const char *gridvane_file_temporary_name(const gridvane_file *file);
/* Closes and, when written is nonzero, puts the new contents in place;
 * frees file either way. Returns 0, or -1 with status (WRITE and the error
 * number); on a failure the old file is as it was, unless only the flush
 * of the folder after the rename failed. */
GRIDVANE_API int32_t gridvane_file_commit(gridvane_file *file, int32_t written, gridvane_status *status);

#ifdef __cplusplus
}
#endif

#endif
