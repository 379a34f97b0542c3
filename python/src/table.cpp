#include "table.hpp"

#include "arguments.hpp"
#include "errors.hpp"
#include "gridvane_ext.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

using namespace pybind11::literals;

namespace gridvane_python {

std::int32_t Table::id() const
{
    if (closed_)
        throw py::value_error("operation on a closed table");
    return table_.handle();
}

void Table::close()
{
    closed_ = true;
    free_if_unused();
}

void Table::free_if_unused()
{
    if (closed_ && busy_ == 0 && exports_ == 0)
        table_.reset();
}

void Table::begin_export()
{
    id();
    ++exports_;
}

void Table::end_export()
{
    --exports_;
    free_if_unused();
}

Table::Extent Table::extent() const
{
    id(); // a closed table has none
    const gridvane_extent e = table_.extent();
    return {static_cast<py::ssize_t>(e.rows), static_cast<py::ssize_t>(e.columns)};
}

void Table::require_samples() const
{
    const Extent e = extent();
    if (e.rows < 1 || e.cols < 1)
        throw py::value_error("the table has no samples");
}

bool Table::has_frames() const
{
    id();
    return table_.has_frames();
}

float *const *Table::rows() const
{
    id();
    return table_.row_index();
}

void Table::wait_for_readers() const
{
    while (busy_ > 0) {
        py::gil_scoped_release nogil;
        std::this_thread::yield();
    }
}

std::vector<float> frame_column(const Table &t)
{
    if (!t.has_frames())
        return {};
    const Table::Extent e = t.extent();
    std::vector<float> out(static_cast<std::size_t>(e.rows));
    float *const *rows = t.rows();
    for (py::ssize_t r = 0; r < e.rows; ++r)
        out[static_cast<std::size_t>(r)] = rows[r][e.cols];
    return out;
}

py::object kind_of(const Table &t)
{
    t.id();
    const char *word = gridvane_form_word(t.table().type());
    return word != nullptr ? py::object(py::str(word)) : py::object(py::none());
}

py::object frames(const Table &t)
{
    if (!t.has_frames())
        return py::none();
    const std::vector<float> column = frame_column(t);
    py::array_t<float> out(static_cast<py::ssize_t>(column.size()));
    std::copy(column.begin(), column.end(), out.mutable_data());
    return out;
}

py::object columns(const Table &t)
{
    t.id();
    const std::size_t count = t.table().column_name_count();
    if (count == 0)
        return py::none();
    py::tuple names(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view name = t.table().column_name(i); // empty: this column has no name
        names[i] = name.empty() ? py::object(py::none())
                                : py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
                                      name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape"));
    }
    return names;
}

void set_columns(Table &t, py::object names)
{
    t.id();
    std::vector<std::string> texts;
    if (!names.is_none()) {
        if (py::isinstance<py::str>(names))
            throw py::type_error("columns takes a sequence of names, not one string");
        for (py::handle name : names) {
            if (!py::isinstance<py::str>(name))
                throw py::type_error("a column name is a str, not " +
                                     py::cast<std::string>(py::type::of(name).attr("__name__")));
            texts.push_back(py::cast<std::string>(name.attr("encode")("utf-8", "surrogateescape")));
        }
        const Table::Extent e = t.extent();
        if (static_cast<py::ssize_t>(texts.size()) != e.cols)
            throw py::value_error("a table of " + std::to_string(e.cols) + " columns takes " + std::to_string(e.cols) +
                                  " names, not " + std::to_string(texts.size()));
    }
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    gridvane::failure why;
    t.table().set_column_names(views, why);
    if (why) {
        const gridvane_status &status = why.status();
        if (status.code == GRIDVANE_E_BAD_NAME)
            throw py::value_error(status_message(status) + ": " +
                                  py::cast<std::string>(py::repr(py::str(texts[static_cast<std::size_t>(status.found)]))));
        raise(status_error(status, py::none()));
    }
}

py::array_t<float> to_numpy(Table &t)
{
    const Table::Extent e = t.extent();
    py::array_t<float> out({e.rows, e.cols});
    float *dest = out.mutable_data();
    {
        InUse use(t);
        float *const *rows = t.rows();
        py::gil_scoped_release nogil;
        for (py::ssize_t r = 0; r < e.rows && e.cols > 0; ++r)
            std::memcpy(dest + r * e.cols, rows[r], static_cast<std::size_t>(e.cols) * sizeof(float));
    }
    return out;
}

// ---- Indexing ------------------------------------------------------------

namespace {

// A key split into its row part and its column part (a full slice when
// the key has only a row part).
struct Key {
    py::object rows, cols;
    bool has_cols;
};

void refuse_non_index(py::handle part)
{
    if (part.is_none() || py::isinstance<py::str>(part) || py::isinstance<py::bytes>(part))
        throw py::type_error("a table is indexed by integers, slices or arrays of them, not " +
                             py::cast<std::string>(py::type::of(part).attr("__name__")));
}

Key split(py::handle key)
{
    Key k{py::reinterpret_borrow<py::object>(key), py::slice(py::none(), py::none(), py::none()), false};
    if (py::isinstance<py::tuple>(key)) {
        const auto parts = py::reinterpret_borrow<py::tuple>(key);
        if (parts.size() > 2)
            throw py::index_error("too many indices for a table: it has 2 dimensions, but " +
                                  std::to_string(parts.size()) + " were indexed");
        k.rows = parts.size() > 0 ? py::object(parts[0]) : py::object(py::slice(py::none(), py::none(), py::none()));
        if (parts.size() == 2) {
            k.cols = parts[1];
            k.has_cols = true;
        }
    }
    refuse_non_index(k.rows);
    refuse_non_index(k.cols);
    return k;
}

// An integer index (an int, a numpy integer, anything with __index__ that
// is not a bool or an array), counted from the end when negative; IndexError
// outside, worded as numpy words it.
bool is_integer(py::handle part)
{
    if (PyBool_Check(part.ptr()) || py::isinstance<py::array>(part))
        return false;
    return PyIndex_Check(part.ptr()) != 0;
}

py::ssize_t position(py::handle part, py::ssize_t size, int axis)
{
    long long i = whole_number(part);
    if (i < 0 && i >= -static_cast<long long>(size))
        i += size;
    if (i < 0 || i >= size)
        throw py::index_error("index " + py::cast<std::string>(py::str(part)) + " is out of bounds for axis " +
                              std::to_string(axis) + " with size " + std::to_string(size));
    return static_cast<py::ssize_t>(i);
}

// The rows a row part names, when it is an integer or a slice: (first,
// step, count); false for any other row part.
bool row_range(py::handle part, py::ssize_t size, py::ssize_t &first, py::ssize_t &step, py::ssize_t &count)
{
    if (is_integer(part)) {
        first = position(part, size, 0);
        step = 1;
        count = 1;
        return true;
    }
    if (!py::isinstance<py::slice>(part))
        return false;
    py::ssize_t stop = 0;
    if (!py::reinterpret_borrow<py::slice>(part).compute(size, &first, &stop, &step, &count))
        throw py::error_already_set();
    return true;
}

// A copy of count rows from first by step, as a (count, cols) array.
py::array_t<float> copy_rows(Table &t, py::ssize_t first, py::ssize_t step, py::ssize_t count, py::ssize_t cols)
{
    py::array_t<float> out({count, cols});
    float *dest = out.mutable_data();
    InUse use(t);
    float *const *rows = t.rows();
    for (py::ssize_t i = 0; i < count && cols > 0; ++i)
        std::memcpy(dest + i * cols, rows[first + i * step], static_cast<std::size_t>(cols) * sizeof(float));
    return out;
}

void store_rows(Table &t, const py::array_t<float> &from, py::ssize_t first, py::ssize_t step, py::ssize_t count,
                py::ssize_t cols)
{
    t.wait_for_readers();
    const float *src = from.data();
    float *const *rows = t.rows();
    for (py::ssize_t i = 0; i < count && cols > 0; ++i)
        std::memcpy(rows[first + i * step], src + i * cols, static_cast<std::size_t>(cols) * sizeof(float));
}

} // namespace

py::object get_item(Table &t, py::handle key)
{
    const Key k = split(key);
    const Table::Extent e = t.extent();
    if (is_integer(k.rows) && k.has_cols && is_integer(k.cols)) {
        const py::ssize_t r = position(k.rows, e.rows, 0), c = position(k.cols, e.cols, 1);
        return py::float_(t.rows()[r][c]);
    }
    py::ssize_t first = 0, step = 1, count = 0;
    if (!row_range(k.rows, e.rows, first, step, count))
        return to_numpy(t)[key];
    py::array_t<float> rows = copy_rows(t, first, step, count, e.cols);
    if (is_integer(k.rows))
        return rows[py::make_tuple(0, k.cols)];
    return k.has_cols ? py::object(rows[py::make_tuple(py::slice(py::none(), py::none(), py::none()), k.cols)])
                      : py::object(rows);
}

void set_item(Table &t, py::handle key, py::handle value)
{
    const Key k = split(key);
    const Table::Extent e = t.extent();
    if (is_integer(k.rows) && k.has_cols && is_integer(k.cols)) {
        const py::ssize_t r = position(k.rows, e.rows, 0), c = position(k.cols, e.cols, 1);
        const double x = PyFloat_AsDouble(value.ptr());
        if (x == -1.0 && PyErr_Occurred())
            throw py::error_already_set();
        t.wait_for_readers();
        t.rows()[r][c] = static_cast<float>(x);
        return;
    }
    // The rows concerned are copied, changed by numpy's own assignment and
    // written back: every value numpy would store, and only those.
    py::ssize_t first = 0, step = 1, count = e.rows;
    py::object part_key = py::reinterpret_borrow<py::object>(key);
    if (row_range(k.rows, e.rows, first, step, count)) {
        const py::object all = py::slice(py::none(), py::none(), py::none());
        part_key = is_integer(k.rows) ? py::object(py::make_tuple(0, k.cols)) : py::object(py::make_tuple(all, k.cols));
    } else {
        first = 0;
        step = 1;
        count = e.rows;
    }
    py::array_t<float> rows = copy_rows(t, first, step, count, e.cols);
    rows[part_key] = value;
    store_rows(t, rows, first, step, count, e.cols);
}

namespace {

std::int32_t clamped_int32(py::handle value)
{
    return static_cast<std::int32_t>(std::clamp<long long>(whole_number(value), INT32_MIN, INT32_MAX));
}

} // namespace

float cell(const Table &t, py::handle v, py::handle u)
{
    const std::int32_t row = clamped_int32(v), column = clamped_int32(u);
    t.require_samples();
    return t.table().cell(column, row);
}

float put_cell(Table &t, py::handle v, py::handle u, double value)
{
    const std::int32_t row = clamped_int32(v), column = clamped_int32(u);
    t.require_samples();
    t.wait_for_readers();
    return t.table().put_cell(column, row, static_cast<float>(value));
}

// ---- Writing -------------------------------------------------------------

namespace {

// The form a table is written in: kind given, else the name's, else the
// table's own; an ASCII form is the table form for a table with frames,
// unless they are dropped.
std::int32_t form_for(const Table &t, const std::string &kind, std::int32_t named, bool drop_frames)
{
    std::int32_t form = kind.empty() ? named : gridvane_form_of_word(kind.c_str());
    if (form == GRIDVANE_FORM_DECIDE) {
        t.id(); // a closed table raises
        form = t.table().type();
    }
    if (form == GRIDVANE_FORM_BINARY)
        return GRIDVANE_FORM_BINARY;
    return t.has_frames() && !drop_frames ? GRIDVANE_FORM_TABLE : GRIDVANE_FORM_ASCII;
}

[[noreturn]] void raise_write_failure(const gridvane_status &status, py::handle path)
{
    // The path as open() names it, not a pathlib object's repr.
    const std::string where =
        path.is_none() ? "" : ": " + py::cast<std::string>(py::repr(py::module_::import("os").attr("fspath")(path)));
    switch (status.code) {
    case GRIDVANE_E_FRAMES_LOST:
        throw py::value_error(status_message(status) + where +
                              " (drop_frames=True writes the samples alone; an ASCII name keeps them)");
    case GRIDVANE_E_FORM_AGAINST_NAME:
    case GRIDVANE_E_BAD_SUFFIX: throw py::value_error(status_message(status) + where);
    default: break;
    }
    // A save makes its new file in the target's folder: a folder it may not
    // write into is the cause, and the exception names it.
    py::object folder = py::none();
    const bool folder_refused = status.error == EACCES || status.error == EPERM || status.error == EROFS;
    if (!path.is_none() && folder_refused && (status.code == GRIDVANE_E_OPEN || status.code == GRIDVANE_E_WRITE)) {
        const py::module_ os_path = py::module_::import("os.path");
        folder = os_path.attr("dirname")(os_path.attr("abspath")(path));
    }
    raise(status_error(status, path, folder));
}

} // namespace

void save(Table &t, py::object path, py::object kind, bool drop_frames, bool frames_as_column)
{
    const std::string name = file_name(path);
    const std::string k = write_kind(kind);
    // A name that promises a format save does not write is refused, unless
    // the form is given: it would hold tab-separated channel text.
    const auto dot = name.rfind('.');
    std::string suffix = dot == std::string::npos ? "" : name.substr(dot);
    for (char &c : suffix)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (k.empty() && (suffix == ".csv" || suffix == ".tsv" || suffix == ".json" || suffix == ".npy"))
        throw py::value_error("a " + suffix + " name promises another format than the channel files save writes: "
                              "give kind='ascii' or kind='binary' to write one under it all the same, or use "
                              "to_pandas() for " + suffix.substr(1));
    // Text for people: the shortest digits that read back as the same float.
    gridvane::write_options options{gridvane::form::decide, drop_frames, false, true, frames_as_column};
    // Frames as a column: a plain form.
    drop_frames = drop_frames || frames_as_column;
    InUse use(t);
    gridvane::failure why;
    if (name == "-") {
        options.as = static_cast<gridvane::form>(form_for(t, k, GRIDVANE_FORM_DECIDE, drop_frames));
        py::object out = py::module_::import("sys").attr("stdout");
        if (!out.is_none())
            out.attr("flush")();
        py::gil_scoped_release nogil;
        use.table.write(stdout, options, why);
        if (std::fflush(stdout) != 0 && !why)
            why = gridvane::failure(gridvane_status{GRIDVANE_E_WRITE, errno, 0, 0, -1, 0, 0});
    } else {
        // A name whose type is no channel file is the save's to refuse.
        gridvane::failure unnamed;
        const gridvane::form named = gridvane::form_of_name(name, GRIDVANE_PURPOSE_SAVE, unnamed);
        if (!unnamed)
            options.as = static_cast<gridvane::form>(form_for(t, k, static_cast<std::int32_t>(named), drop_frames));
        py::gil_scoped_release nogil;
        use.table.save(name, options, why);
    }
    if (why)
        raise_write_failure(why.status(), path);
}

py::bytes to_bytes(Table &t, py::object kind, bool drop_frames, bool frames_as_column)
{
    const auto form = static_cast<gridvane::form>(
        form_for(t, write_kind(kind), GRIDVANE_FORM_DECIDE, drop_frames || frames_as_column));
    InUse use(t);
    std::string bytes;
    gridvane::failure why;
    {
        py::gil_scoped_release nogil;
        bytes = use.table.to_bytes({form, drop_frames, false, true, frames_as_column}, why);
    }
    if (why)
        raise_write_failure(why.status(), py::none());
    return py::bytes(bytes);
}

std::string repr(const Table &t)
{
    if (t.closed())
        return "<gridvane.Table closed>";
    std::string text = "<gridvane.Table handle " + std::to_string(t.id());
    const Table::Extent e = t.extent();
    text += ", " + std::to_string(e.rows) + " x " + std::to_string(e.cols);
    const py::object kind = kind_of(t);
    if (!kind.is_none())
        text += ", " + py::cast<std::string>(kind);
    if (t.has_frames())
        text += ", with frames";
    return text + ">";
}

py::tuple state(Table &t) { return py::make_tuple(to_numpy(t), frames(t), columns(t), kind_of(t)); }

} // namespace gridvane_python
