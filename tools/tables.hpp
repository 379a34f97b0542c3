// Tables read through the library, and the library's words for what it
// found and why it failed.
#pragma once

#include "args.hpp"

#include "gridvane.h"
#include "gridvane_ext.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// How a verb reads its table. By default a file is refused at the first
// place where the reader would take the text as something other than it
// spells (an ERROR finding), and warnings go to standard error; lenient
// reads as the library's functions do, without a word; strict refuses at
// any finding.
enum class Reading { checked, lenient, strict };
// --lenient, --strict or neither.
Reading reading_option(const Args &args);

// The name messages use for an operand: "standard input" for "-".
std::string display_name(const std::string &operand);

// "FILE:LINE:COLUMN", "FILE:LINE" or "FILE", as much as is known.
std::string place(const std::string &file, int64_t line, int64_t column);

// The library's words.
std::string status_text(const gridvane_status &status);
std::string finding_text(const gridvane_finding &finding);
// "FILE[:LINE:COLUMN]: the status's words".
std::string status_line(const std::string &file, const gridvane_status &status);

// Reads operand ("-": standard input, kept in a temporary file first) with
// the library's reader and the observer given. Returns the handle or -1,
// with report filled either way.
int32_t read_table(const std::string &operand, gridvane_observer observer, void *context, gridvane_report &report);

// A table loaded through the library, freed when it goes out of scope.
class Table {
public:
    Table(const std::string &operand, Reading reading);
    // A table the tool makes (gridvane_alloc), named for messages.
    Table(int32_t rows, int32_t columns, bool frames, const std::string &name);
    ~Table();
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;

    int32_t id() const { return id_; }
    int32_t columns() const { return columns_; }
    int32_t rows() const { return rows_; }
    bool has_frames() const { return frames_; }
    float *row(int32_t r) const { return rows_index_[r]; }
    float frame(int32_t r) const { return rows_index_[r][columns_]; }
    int32_t kind() const { return kind_; }
    const std::string &name() const { return name_; }
    // The header's name for a column, or "" when the file named none.
    std::string header_name(int32_t column) const;
    // The header's name, or "column N".
    std::string column_label(int32_t column) const;
    // Fails with a message unless the table has at least one sample.
    void require_samples() const;

private:
    void take(int32_t id);

    int32_t id_ = -1;
    int32_t columns_ = 0, rows_ = 0;
    bool frames_ = false;
    float **rows_index_ = nullptr;
    int32_t kind_ = GRIDVANE_KIND_UNKNOWN;
    std::string name_;
};

// How the tool names a kind of input ("ASCII, table form").
const char *kind_name(int32_t kind);

} // namespace cli
