// The storage of a table: the row index and the blocks of rows behind it,
// and the column names kept with it. The registry owns a table's storage;
// the readers make it, the writers read it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gridvane_core::storage {

// How a table's rows sit in memory. Rows handed to callers who free them
// one by one are a block each (separate). Rows the library keeps for itself
// share blocks: a reader's rows come in packs, pack k holding pack_rows(k,
// width) consecutive rows, a number that follows from the width alone, so
// the first row of each pack is its block and releasing needs no other
// record (packs start small, 16 rows and at most 64 KB, and double up to
// two megabytes); a table made whole at once is one block (block), reserved
// in one request, so a size the machine cannot hold fails at once instead
// of a row at a time; a table read in parts (parts) is the rows of each
// part one after the other, each part's in packs of its own.
enum class Layout { separate, packs, block, parts };

// A row index and the row blocks behind it: width floats in each of count
// rows. For parts, part_rows (a heap block) holds each part's number of
// rows.
struct Rows {
    float **index = nullptr;
    std::int64_t count = 0;
    std::int64_t width = 0;
    Layout layout = Layout::separate;
    std::int64_t *part_rows = nullptr;
    std::int32_t parts = 0;
};

// count rows of width zero floats in one block; index null when memory runs
// out.
Rows make_rows(std::int64_t count, std::int64_t width);
std::int64_t pack_rows(std::int64_t pack, std::int64_t width);
// A block for rows of a pack (rows x width floats), or null. A block of the
// largest size is placed and marked so that the system may back it with
// huge pages: a fresh table then costs a page fault per two megabytes, not
// per four kilobytes.
float *allocate_pack(std::int64_t rows, std::int64_t width);
// A block of count floats for a table read whole at once, or null. Plain
// heap memory, so that the allocator may hand a freed table's memory to the
// next (touched already, it costs no page faults); marked so that fresh
// memory may come in huge pages.
float *allocate_block(std::int64_t count);
// Releases the row blocks, then the index (which may be null).
void release_rows(const Rows &rows);
// Releases only the row blocks of the first count rows, for an index that
// lives elsewhere (a reader's growing list); not for parts.
void release_row_blocks(float *const *index, std::int64_t count, std::int64_t width, Layout layout);

// A table's column names: count pointers to NUL-terminated texts, all in
// one block with the texts after the pointers.
struct Names {
    char **list = nullptr;
    std::int32_t count = 0;
};

// Copies count texts (each of lengths[i] bytes, or NUL-terminated when
// lengths is null); list null when memory runs out (and for count 0).
Names make_names(const char *const *texts, const std::size_t *lengths, std::int32_t count);
void release_names(const Names &names);

} // namespace gridvane_core::storage
