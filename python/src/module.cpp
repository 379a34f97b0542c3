// gridvane._gridvane: the Python face of the library. Every table is a handle
// in the one process-wide registry of libgridvane.so, so C code in the same
// process sees the same tables. The package calls only what prints nothing
// (the extension interface, and those of the 20 functions that have no
// message for a table of its own); failures come back as statuses and
// become exceptions. The module functions are wrapped in gridvane/_functions.py,
// where their documentation is, so that they pickle by name.
#include "arguments.hpp"
#include "errors.hpp"
#include "interchange.hpp"
#include "reading.hpp"
#include "sampling.hpp"
#include "table.hpp"

#include "gridvane.h"
#include "gridvane_ext.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>

namespace py = pybind11;
using namespace py::literals;
using namespace gridvane_python;

namespace {

std::atomic<bool> echo{false};

} // namespace

PYBIND11_MODULE(_gridvane, m)
{
    m.doc() = "The compiled part of the gridvane package; use the gridvane package itself.";
    m.attr("__version__") = GRIDVANE_VERSION_STRING;

    py::class_<Table>(m, "Table", R"(A table of float32 samples in Gridvane's process-wide registry.

Table(rows, cols) makes a zero-filled table; gridvane.load, gridvane.read,
gridvane.from_numpy and gridvane.from_pandas make the others. Index it as a
numpy array: t[v, u] (row, then column), t[v], slices, negative indexes from
the end; sample it with t.sample(u, v) (column, then row, as the library's
ArrayGetValue). A table is freed by close(), at the end of a with block, or
when it is garbage-collected; a closed table raises ValueError. Tables pickle
by value: samples, frames, column names and kind.)")
        .def(py::init([](py::ssize_t rows, py::ssize_t cols) { return allocate(rows, cols, false); }), "rows"_a,
             "cols"_a, "A zero-filled table of rows x cols (both at least 1), kind 'ascii'.")
        .def_property_readonly("handle", &Table::id,
                               "The table's handle in the library's registry, for C code in the same process.")
        .def_property_readonly(
            "shape",
            [](const Table &t) {
                const Table::Extent e = t.extent();
                return py::make_tuple(e.rows, e.cols);
            },
            "(rows, cols): countV and countU.")
        .def(
            "__len__", [](const Table &t) { return t.extent().rows; }, "The number of rows.")
        .def_property_readonly("kind", &kind_of,
                               "'ascii' or 'binary': the form the table was read from ('ascii' for tables made "
                               "in memory); the form save() uses when the name does not say.")
        .def_property_readonly("has_frames", &Table::has_frames,
                               "Whether each row carries a frame number (tables read from the table form, or "
                               "made with frames).")
        .def_property_readonly("frames", &frames,
                               "The frame column as a float32 array (a copy), or None for a table without frames.")
        .def_property("columns", &columns, &set_columns,
                      "The column names as a tuple of str (those of a table-form file's header, or given), or "
                      "None. Setting it takes one name per column (no white space, '#' or control character), or "
                      "None; save() and tobytes() write them in the table form's header.")
        .def_property_readonly("closed", &Table::closed, "Whether close() has been called.")
        .def("close", &Table::close, "Frees the table. Closing twice does nothing; any other use then raises.")
        .def("__enter__",
             [](py::object self) {
                 self.cast<Table &>().id();
                 return self;
             })
        .def("__exit__", [](Table &t, py::args) { t.close(); })
        .def("__repr__", &repr)
        .def("__reduce__",
             [](Table &t) {
                 return py::make_tuple(py::module_::import("gridvane._functions").attr("_restore"), state(t));
             })
        .def("to_numpy", &to_numpy,
             "A float32 array of shape (rows, cols) in C order: a copy, since the library keeps each row "
             "in its own block. Frame numbers are not part of it (see frames).")
        .def(
            "__array__",
            [](py::object self, py::object dtype, py::object copy) -> py::object {
                const bool share = !copy.is_none() && !py::cast<bool>(copy);
                if (share) {
                    if (!dtype.is_none() && !py::module_::import("numpy").attr("dtype")(dtype).equal(py::dtype::of<float>()))
                        throw py::value_error("a table holds float32 samples: another dtype needs a copy (copy=None "
                                              "or True makes one)");
                    if (shared_stride(self.cast<Table &>()) == 0)
                        throw py::value_error(rows_not_shared);
                    return py::module_::import("numpy").attr("from_dlpack")(self);
                }
                py::object a = to_numpy(self.cast<Table &>());
                return dtype.is_none() ? a : a.attr("astype")(dtype, "copy"_a = false);
            },
            "dtype"_a = py::none(), "copy"_a = py::none(),
            "numpy's conversion: a copy, except for copy=False, which gives a view that writes through to the "
            "table where its rows lie in one block (tables made in memory, binary files loaded by name) and "
            "raises ValueError elsewhere.")
        .def("__arrow_c_schema__", &arrow_schema,
             "The Arrow PyCapsule interface: the schema of one float32 column per table column and, for a "
             "table with frames, a 'frame' column (int32 when every frame is whole).")
        .def("__arrow_c_array__", &arrow_array, "requested_schema"_a = py::none(),
             "The table as one Arrow record batch (one transpose of the samples, shared by every column).")
        .def("__arrow_c_stream__", &arrow_stream, "requested_schema"_a = py::none(),
             "The table as an Arrow stream of one record batch: what Polars, DuckDB, pyarrow and pandas read.")
        .def("__dlpack__", &dlpack, py::kw_only(), "stream"_a = py::none(), "max_version"_a = py::none(),
             "dl_device"_a = py::none(), "copy"_a = py::none(),
             "The samples as a DLPack tensor (float32, rows x cols, on the CPU): shared without a copy where "
             "the rows lie in one block (the table is then freed only once the tensor is gone), else copied; "
             "copy=False then raises BufferError.")
        .def("__dlpack_device__", &dlpack_device, "(1, 0): the CPU.")
        .def("__getitem__", &get_item, "key"_a,
             R"(numpy's indexing, on a copy of the rows concerned: t[v, u] a float;
t[v] a row; t[10:20], t[:, 1], t[rows_array] arrays. Negative indexes count
from the end; an index outside raises IndexError.)")
        .def("__setitem__", &set_item, "key"_a, "value"_a,
             "numpy's assignment: t[v, u] = x, t[v] = row, t[:, 1] = column, ... (stored as float32).")
        .def("cell", &cell, "v"_a, "u"_a,
             "The cell at row v, column u, both clamped into the table as the library does (ArrayGetIValue): "
             "an index below 0 is the first row or column, one past the end the last.")
        .def("put_cell", &put_cell, "v"_a, "u"_a, "value"_a,
             "Stores value (as float32) in the cell the clamped indexes name (ArrayPutIValue); returns it.")
        .def("sample", &sample, "u"_a, "v"_a,
             R"(Bilinear sample at column u, row v, each clamped into the table.

u and v are numbers (Python's or numpy's) or arrays of numbers that broadcast
together; they are rounded to float32 first, as a C caller's floats would be.
Numbers give a float, arrays a float32 array of the broadcast shape (the
broadcast coordinates themselves are never made). Every value is
bit-identical to ArrayGetValue(handle, u, v); a NaN coordinate gives NaN.
None, strings and other non-numbers raise TypeError.)")
        .def("row_of_frame", &row_of_frame, "frame"_a,
             R"(The fractional row at which a frame falls: a float for a number, a
float32 array for an array of frames. Frames may be fractional (30.5) and are
rounded to float32; the row is worked out exactly as ArrayFrameGetV works it
out for whole frames. ValueError for a frame outside the table's frames or a
table without frames.)")
        .def(
            "frame_of_row",
            [](const Table &t, py::handle row) {
                if (!t.has_frames())
                    throw py::value_error("the table has no frames");
                long long r = whole_number(row);
                const py::ssize_t rows = t.extent().rows;
                if (r < 0 && r >= -static_cast<long long>(rows))
                    r += rows;
                if (r < 0 || r >= rows)
                    throw py::index_error("row " + py::cast<std::string>(py::str(row)) + " is outside the table");
                return t.table().frame(static_cast<std::size_t>(r));
            },
            "row"_a,
            "The frame number of a row (negative rows count from the end), truncated toward zero "
            "(ArrayGetFrame); -1 for a frame value that is NaN or beyond 32 bits.")
        .def("sample_at_frame", &sample_at_frame, "frame"_a, "u"_a = py::none(),
             R"(sample(u, row_of_frame(frame)). With u None: every column at that frame,
a float32 array of shape frames.shape + (cols,) (one row per frame for an
array of frames).)")
        .def("save", &save, "path"_a, "kind"_a = py::none(), "drop_frames"_a = false, "frames_as_column"_a = false,
             R"(Saves the table by name through the library's safe replacement; "-" is
standard output.

The name's suffix chooses the form (.chb, .bchan: binary; .chan, .cha, .txt:
ASCII); for other names kind does ('ascii' or 'binary'; None: the table's
own kind). A kind that contradicts the suffix raises ValueError. A table
with frames is written in the ASCII table form, with its column names; the
binary form has no frame column, so saving such a table to it raises
ValueError unless drop_frames=True (which also writes the plain ASCII form
for an ASCII name). frames_as_column=True writes a table with frames in a
plain form (ASCII or binary) with the frames as its first column, which
load(..., frames_column=0) reads back. A regular file is replaced only once
the new one is complete.)")
        .def("tobytes", &to_bytes, "kind"_a = py::none(), "drop_frames"_a = false, "frames_as_column"_a = false,
             "The table as the bytes of a file of the given kind (None: the table's own kind), as save() "
             "writes them.");

    m.def("load", &gridvane_python::load, "path"_a, "kind"_a = py::none(), "lenient"_a = false, "threads"_a = py::none(),
          "names"_a = py::none(), "frames_column"_a = py::none());
    m.def("read", &gridvane_python::read, "source"_a, "kind"_a = py::none(), "lenient"_a = false,
          "names"_a = py::none(), "frames_column"_a = py::none());
    m.def("load_many", &load_many, "paths"_a, "threads"_a = py::none(), "lenient"_a = false, "kind"_a = py::none(),
          "errors"_a = "return", "names"_a = py::none(), "frames_column"_a = py::none());
    m.def("from_arrow", &from_arrow, "source"_a, "nulls_as_nan"_a = false);
    m.def("from_numpy", &from_numpy, "array"_a, "frames"_a = py::none(), "columns"_a = py::none());
    m.def("restore", &restore, "samples"_a, "frames"_a, "columns"_a, "kind"_a);
    m.def(
        "echo_messages",
        [](py::object on) {
            const bool before = echo.load();
            if (!on.is_none())
                echo.store(py::cast<bool>(on));
            return before;
        },
        "on"_a = py::none());
    m.def(
        "read_growth",
        [](py::object factor) -> std::int64_t {
            if (factor.is_none())
                return gridvane::read_growth();
            const auto f = py::cast<std::int64_t>(factor);
            if (f < 0)
                throw py::value_error("the factor is 0 (no bound) or more, not " + std::to_string(f));
            return gridvane::read_growth(f);
        },
        "factor"_a = py::none());
    m.def(
        "kind_of_name",
        [](py::handle path) -> py::object {
            gridvane::failure why;
            const gridvane::form form = gridvane::form_of_name(file_name(path), GRIDVANE_PURPOSE_SAVE, why);
            const char *word = gridvane_form_word(static_cast<std::int32_t>(form));
            return word != nullptr ? py::object(py::str(word)) : py::object(py::none());
        },
        "path"_a);
    m.def(
        "suffix_of_kind",
        [](py::handle kind) -> py::object {
            // The library's suffix for a file of the form; None for what names no form.
            const char *suffix = py::isinstance<py::str>(kind)
                                     ? gridvane_form_suffix(gridvane_form_of_word(py::cast<std::string>(kind).c_str()))
                                     : nullptr;
            return suffix != nullptr ? py::object(py::str(suffix)) : py::object(py::none());
        },
        "kind"_a);
    m.def(
        "output_name",
        [](py::handle name, py::handle kind) -> py::object {
            // Where a conversion into a folder writes name (relative to its
            // root), within the folder; None for a name the library refuses.
            const std::string relative = file_name(name);
            const std::int32_t form = gridvane_form_of_word(py::cast<std::string>(kind).c_str());
            const ptrdiff_t length = gridvane_output_name(relative.c_str(), form, nullptr, 0, nullptr);
            if (length < 0)
                return py::none();
            std::string out(static_cast<std::size_t>(length), '\0');
            gridvane_output_name(relative.c_str(), form, out.data(), out.size() + 1, nullptr);
            return py::module_::import("os").attr("fsdecode")(py::bytes(out));
        },
        "name"_a, "kind"_a);
}
