/*
 * Gridvane: two-dimensional tables of 32-bit float samples, kept in a
 * process-wide registry of integer handles, sampled with bilinear
 * interpolation, and moved between memory and the ASCII and binary channel
 * file formats.
 *
 * Messages go to the host tools library's Libprintf; failures also show in
 * the result (-1, -1.0f or NULL) and, for file operations, in errno.
 *
 * Threads. Any of these functions may be called from any number of threads
 * at once; the library starts no threads of its own. Registering, freeing,
 * loading, saving, looking up, sampling and frame lookups of different
 * tables never corrupt the registry, never give one handle to two live
 * tables and never lose a table, and their results are those of some
 * one-at-a-time order of the same calls. errno and the messages belong to
 * the calling thread's call. What stays the caller's to arrange:
 *  - no thread frees a table while another still uses it (its handle, its
 *    record, its row index or its rows);
 *  - no thread writes a table's cells (ArrayPutIValue, the pointers from
 *    ArrayGetArray) or its record's fields while another reads that table;
 *  - a record's prev and next change whenever any table is registered or
 *    freed: follow them only while no other thread does that;
 *  - as with any stdio call, one FILE is not used by two threads at once.
 */
#ifndef GRIDVANE_H
#define GRIDVANE_H

#include <stdint.h>
#include <stdio.h>

#include "gridvane_export.h"
#include "gridvane_version.h" /* GRIDVANE_VERSION_MAJOR, _MINOR, _PATCH, _STRING */

/* Type codes: the table kinds and the file-type codes share one space. */
#define CHAN_BIN 0x200   /* binary channel file, 512 */
#define CHAN_ASCII 0x300 /* ASCII channel file, 768; also every ArrayAlloc table */

/* flags bit: each row carries its frame value after its countU data values. */
#define ARRAY_FRAME 0x1

#ifdef __cplusplus
extern "C" {
#endif

/* The record of one registered table. The registry owns it; do not free it. */
typedef struct ArrayNode {
    int32_t id;             /* handle, never 0 */
    int32_t type;           /* CHAN_BIN, CHAN_ASCII, or a family without samples */
    uint32_t flags;         /* ARRAY_FRAME or 0 */
    float countU;           /* data columns (frame slot not counted) */
    float countV;           /* rows */
    float **rows;           /* countV pointers to rows of floats */
    struct ArrayNode *prev; /* circular list in registration order */
    struct ArrayNode *next;
} ArrayNode;

/* ---- Registry ---------------------------------------------------------- */

/* Registers a zero-filled table of rowCount rows by columnCount columns, type
 * CHAN_ASCII. Returns its handle, or -1. Messages: "ArrayAllocate: rows and
 * columns must be > 1" (a count below 1), "ArrayAllocate: can't allocate
 * space", "Can't allocate array node", "Can't allocate Tail->next node".
 * The storage is asked for in one request, so a table larger than the
 * machine can hold fails at once. Any failure of memory sets ENOMEM
 * (whatever the allocator left); errno is otherwise untouched. */
GRIDVANE_API int32_t ArrayAlloc(int32_t rowCount, int32_t columnCount);

/* Releases a table and its storage. Returns 0, or -1 for an unknown handle or
 * a table without samples (which stays registered). No message, no errno. */
GRIDVANE_API int32_t ArrayFree(int32_t id);

/* Returns the table's record, or NULL for an unknown handle. No message. */
GRIDVANE_API ArrayNode *ArrayGetPointer(int32_t id);

/* Returns the table's type code, or -1 for an unknown handle. No message. */
GRIDVANE_API int32_t ArrayType(int32_t id);

/* Return countU / countV as stored, or -1.0f for an unknown handle. */
GRIDVANE_API float ArrayCountU(int32_t id);
GRIDVANE_API float ArrayCountV(int32_t id);

/* Returns the row index, or NULL: silently for an unknown handle, with the
 * message "ArrayGetArray undefined for MED or SPLINE types" for a table
 * without samples. */
GRIDVANE_API float **ArrayGetArray(int32_t id);

/* ---- Samples ----------------------------------------------------------- */

/* Bilinear sample at column u, row v, both clamped into the table. Returns
 * 0.0f for an unknown handle, -1.0f for a table without samples (another
 * type, or a zero count), the quiet NaN 0x7fc00000 when u or v is NaN. A
 * sample that comes out NaN is, on every processor, the first NaN among the
 * cells read (top-left, bottom-left, top-right, bottom-right) with its
 * quiet bit set, or 0x7fc00000 where none is (inf and -inf blended). No
 * message. */
GRIDVANE_API float ArrayGetValue(int32_t id, float u, float v);

/* The cell at column u, row v after clamping. Returns -1.0f for an unknown
 * handle or a table without samples. No message. */
GRIDVANE_API float ArrayGetIValue(int32_t id, int32_t u, int32_t v);

/* Stores value at column u, row v after clamping and returns value. Returns
 * -1.0f for an unknown handle; for a table of another type stores nothing,
 * prints "illegal to write into MED or SPLINE type arrays" and returns value;
 * for a table with a zero count stores nothing and returns value silently. */
GRIDVANE_API float ArrayPutIValue(int32_t id, int32_t u, int32_t v, float value);

/* ---- Frames ------------------------------------------------------------ */

/* The frame number of a row of an ARRAY_FRAME table, truncated toward zero.
 * Returns -1 for an unknown handle, a table without frames, a row outside
 * the table, or a frame value that is NaN or outside the int32 range. */
GRIDVANE_API int32_t ArrayGetFrame(int32_t id, int32_t row);

/* The fractional row coordinate at which frame falls, interpolated between
 * the neighbouring rows' frames. Returns 0.0f for an unknown handle and -1.0f
 * for a table without frames or a frame before the first or after the last. */
GRIDVANE_API float ArrayFrameGetV(int32_t id, int32_t frame);

/* ---- ASCII channel format ---------------------------------------------- */

/* Reads an ASCII channel file, plain or table form, to its end. Returns a
 * row index of *countV rows of *countU floats each (in table form the last
 * slot of each row holds the frame number and is counted in *countU); the
 * caller owns it and may release it with free (each row, then the index).
 * Returns NULL with "Gridvane (ChanReadAscii): EOF reached" when no data
 * line is found, or "Gridvane (ChanReadAscii): can't allocate space", which
 * is also the answer to a file whose short rows, padded to the first row's
 * width, would make a table out of all proportion to it (see
 * gridvane_read_growth in gridvane_ext.h; ArrayRead and ArrayLoad alike).
 * Null arguments: NULL with errno EINVAL and no message. */
GRIDVANE_API float **ChanReadAscii(FILE *stream, int32_t *countU, int32_t *countV);

/* Writes the plain ASCII form: every value as "\t%.15g" (C locale), one line
 * per row. Returns 0, or -1 with errno (EIO when the stream gave none) when a
 * write or the final flush fails, or with EINVAL for a NULL stream, or NULL
 * rows with counts above 0. No message. */
GRIDVANE_API int32_t ChanWriteAscii(FILE *stream, float **rows, int32_t countU, int32_t countV);

/* ---- Binary channel format --------------------------------------------- */

/* Reads a binary channel file of either byte order. Returns the row index
 * (as ChanReadAscii), or NULL: "Gridvane (ChanReadBin): invalid magic number"
 * with EIO; a short read with EIO and no message; "Gridvane (ChanReadBin):
 * can't allocate space" with ENOMEM (also for negative counts); NULL
 * arguments with EINVAL and no message. */
GRIDVANE_API float **ChanReadBin(FILE *stream, int32_t *countU, int32_t *countV);

/* Writes the 64-byte little-endian header and the samples. Returns 0, or -1:
 * EINVAL (nothing written) for a count outside 0..32767, a NULL stream or
 * NULL rows; the stream's errno (EIO when it gave none) when a write or the
 * flush fails. No message. */
GRIDVANE_API int32_t ChanWriteBin(FILE *stream, float **rows, int32_t countU, int32_t countV);

/* ---- Streams ----------------------------------------------------------- */

/* Reads a table from stream (type CHAN_BIN or CHAN_ASCII) and registers it;
 * a table-form ASCII file gives an ARRAY_FRAME table. Any other type reads
 * nothing and registers a table of that type without samples. Returns the
 * new record, or NULL with the reader's message and errno, or with
 * "Gridvane (ArrayRead):  Can't allocate array node" / "... Tail->next node"
 * and ENOMEM. A NULL stream: NULL with EINVAL. */
GRIDVANE_API ArrayNode *ArrayRead(FILE *stream, int32_t type);

/* Writes record's countU x countV samples in the format type names (0 or
 * CHAN_ASCII: ASCII; CHAN_BIN: binary); frame numbers are not written.
 * Returns the writer's result, or -1 for another type (nothing written, no
 * message) or a NULL stream or record (EINVAL). */
GRIDVANE_API int32_t ArrayWrite(FILE *stream, ArrayNode *record, int32_t type);

/* ---- Files ------------------------------------------------------------- */

/* Loads a file by name and returns the new handle, or -1. The format comes
 * from GetHalvicFileType, else from the first significant byte (a UTF-8
 * byte-order mark before it is passed over). A name beginning with "stdin"
 * reads standard input. Failures:
 *  - a NULL or empty name: EINVAL, no message;
 *  - "Gridvane (ArrayLoad):  Bad suffix on NAME" (EINVAL), "Gridvane
 *    (ArrayLoad): Can't open NAME: CAUSE" (errno as the open left it),
 *    "Gridvane (ArrayLoad):  Premature EOF reached" and "Gridvane
 *    (ArrayLoad): invalid file format" (EIO, deciding by content);
 *  - the reader's own failure, with its own message and prefix: the ASCII
 *    reader's "Gridvane (ChanReadAscii): EOF reached" or "... can't
 *    allocate space" leave errno as it was (a failed read sets EIO), the
 *    binary reader's failures set EIO or ENOMEM as ChanReadBin does;
 *  - "Gridvane (ArrayRead):  Can't allocate array node" / "... Tail->next
 *    node" with ENOMEM. */
GRIDVANE_API int32_t ArrayLoad(const char *name);

/* Saves a table by name, in the format GetHalvicFileType gives for the name
 * (fallbackType when it does not know it: 0 or CHAN_ASCII for ASCII,
 * CHAN_BIN for binary). A name beginning with "stdout" writes standard
 * output. A regular file is replaced only once the new contents are complete
 * and flushed to the disk, and the folder is flushed after. Returns 0, or -1
 * with errno: EINVAL for a bad name or type, ENOMEM for an unknown handle
 * (the file is not touched), the system's errno for open, write, flush,
 * rename and close failures. */
GRIDVANE_API int32_t ArraySave(int32_t id, const char *name, int32_t fallbackType);

#ifdef __cplusplus
}
#endif

#endif
