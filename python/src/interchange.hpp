// Tables to and from other libraries without pyarrow or a copy beyond one
// transpose: the Arrow PyCapsule interface (the C data interface's structs,
// written here from its published definition) and DLPack.
#pragma once

#include "table.hpp"

#include <pybind11/pybind11.h>

namespace gridvane_python {

namespace py = pybind11;

// Table.__arrow_c_schema__, __arrow_c_array__, __arrow_c_stream__: one
// float32 column per table column, named as the table's columns (col0,
// col1, ... where a column has no name), and for a table with frames a
// `frame` column: int32 when every frame is a whole number in its range,
// else float32.
py::object arrow_schema(Table &t);
py::tuple arrow_array(Table &t, py::object requested_schema);
py::object arrow_stream(Table &t, py::object requested_schema);

// gridvane.from_arrow: any object with __arrow_c_stream__ (or
// __arrow_c_array__) whose columns are floats, and an optional integer or
// float `frame` column that rises. A null in a float column is refused, or
// read as NaN with nulls_as_nan (never in the frame column).
std::unique_ptr<Table> from_arrow(py::object source, bool nulls_as_nan);

// Table.__dlpack__ and __dlpack_device__: the samples as a 2-D float32
// tensor on the CPU, without a copy where the table's rows lie in one block
// at one stride (tables made in memory, binary files read by name), tied to
// the table (which a close() then frees only once the tensor is gone);
// else a copy, unless copy=False, which raises BufferError.
// The stride of the table's rows where they lie in one block at one
// stride, so that its samples can be shared as one tensor; else 0.
std::int64_t shared_stride(const Table &t);
extern const char *const rows_not_shared; // why they cannot be

py::object dlpack(py::object self, py::object stream, py::object max_version, py::object dl_device, py::object copy);
py::tuple dlpack_device(Table &t);

} // namespace gridvane_python
