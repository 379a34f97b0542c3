// gridvane.Table: one handle in the library's registry, with numpy's habits
// for cells, rows and slices, and the table's frames and column names.
#pragma once

#include "gridvane.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

namespace gridvane_python {

namespace py = pybind11;

class Table {
public:
    explicit Table(gridvane::table table) : table_(std::move(table)) {}
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;

    std::int32_t id() const;
    bool closed() const { return closed_; }
    void close();

    struct Extent {
        py::ssize_t rows, cols;
    };
    // The size as whole counts, exact whatever the size.
    Extent extent() const;
    // A table with a zero count has no samples.
    void require_samples() const;
    const gridvane::table &table() const { return table_; }
    gridvane::table &table() { return table_; }
    bool has_frames() const;
    float *const *rows() const;

    // Before cells are written: lets the calls that read this table without
    // the GIL finish. None can start again until the GIL is given up, so the
    // write that follows never meets a reader (the library leaves a cell
    // written while another thread reads it to its callers).
    void wait_for_readers() const;

    // A tensor or array shared without a copy holds the table's storage: a
    // close() meanwhile unregisters nothing until the last one is released.
    void begin_export();
    void end_export();

private:
    friend class InUse;
    void free_if_unused();

    gridvane::table table_;
    bool closed_ = false;
    int busy_ = 0;    // calls running without the GIL
    int exports_ = 0; // views of the storage held by other libraries
};

// Keeps a table registered while a call works on it without the GIL; a
// close() from another thread meanwhile frees it when the last one ends.
// Made and destroyed with the GIL held.
class InUse {
public:
    explicit InUse(Table &t) : id(t.id()), table(t.table()), table_(t) { ++table_.busy_; }
    ~InUse()
    {
        --table_.busy_;
        table_.free_if_unused();
    }
    InUse(const InUse &) = delete;
    InUse &operator=(const InUse &) = delete;
    const std::int32_t id;
    const gridvane::table &table;

private:
    Table &table_;
};

// The frame column, in row order (empty for a table without frames).
std::vector<float> frame_column(const Table &t);

py::object kind_of(const Table &t);
py::object frames(const Table &t);
py::object columns(const Table &t);
void set_columns(Table &t, py::object names);
py::array_t<float> to_numpy(Table &t);

// numpy's indexing: t[v, u], t[v], slices; negative indexes count from the end.
py::object get_item(Table &t, py::handle key);
void set_item(Table &t, py::handle key, py::handle value);
// The library's own cell access, clamped into the table.
float cell(const Table &t, py::handle v, py::handle u);
float put_cell(Table &t, py::handle v, py::handle u, double value);

void save(Table &t, py::object path, py::object kind, bool drop_frames, bool frames_as_column);
py::bytes to_bytes(Table &t, py::object kind, bool drop_frames, bool frames_as_column);
std::string repr(const Table &t);
// What pickle keeps of a table: (samples, frames, columns, kind).
py::tuple state(Table &t);

} // namespace gridvane_python
