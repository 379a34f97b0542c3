// Making tables: from files (one or many at once), bytes, numpy arrays,
// pickled state, or zero-filled.
#pragma once

#include "table.hpp"

#include <memory>
#include <string>

namespace gridvane_python {

std::unique_ptr<Table> allocate(py::ssize_t rows, py::ssize_t cols, bool frames);

// names ("first-line" or None) and frames_column (a column from 0, or
// None) say how a plain text file is read (gridvane_reading).
std::unique_ptr<Table> load(py::object path, py::object kind, bool lenient, py::object threads, py::object names,
                            py::object frames_column);
std::unique_ptr<Table> read(py::object source, py::object kind, bool lenient, py::object names = py::none(),
                            py::object frames_column = py::none());
// Tables in the order of paths; a failure is its exception in its place,
// or raised (the first in order) when errors is "raise".
py::list load_many(py::object paths, py::object threads, bool lenient, py::object kind, const std::string &errors,
                   py::object names, py::object frames_column);

std::unique_ptr<Table> from_numpy(py::object array, py::object frames, py::object columns);
// A pickled table, from state(): frames are taken as they were, rising or not.
std::unique_ptr<Table> restore(py::object samples, py::object frames, py::object columns, py::object kind);

} // namespace gridvane_python
