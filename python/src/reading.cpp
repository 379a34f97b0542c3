#include "reading.hpp"

#include "arguments.hpp"
#include "errors.hpp"
#include "gridvane_ext.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

using namespace pybind11::literals;

namespace gridvane_python {

namespace {

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

std::string count_text(py::ssize_t n) { return std::to_string(n); }

// How a read goes: in the form asked and the reading's rules, its findings
// kept, its report filled, a load by name on threads (1: this one alone; more: the library
// cuts a large file into parts, none for a small one).
gridvane::read_options options_for(ReadOutcome &outcome, std::int32_t form, std::size_t threads,
                                   const gridvane_reading &reading)
{
    gridvane::read_options o;
    o.reading = reading;
    o.as = static_cast<gridvane::form>(form);
    o.observe = outcome.findings.observer(); // which applies the package's rules (lenient=)
    o.lenient = true;
    o.report = &outcome.report;
    o.threads = static_cast<unsigned>(threads);
    return o;
}

// The reading names= and frames_column= ask for.
gridvane_reading reading_of(py::handle names, py::handle frames_column)
{
    gridvane_reading reading{0, -1};
    if (!names.is_none()) {
        if (!py::isinstance<py::str>(names) || py::cast<std::string>(names) != "first-line")
            throw py::value_error("names must be 'first-line' or None, not " + py::cast<std::string>(py::repr(names)));
        reading.flags |= GRIDVANE_READ_NAMES_FIRST_LINE;
    }
    if (!frames_column.is_none()) {
        const long long column = whole_number(frames_column);
        if (column < 0 || column > INT32_MAX)
            throw py::value_error("frames_column must be a column from 0, not " + std::to_string(column));
        reading.frames_column = static_cast<std::int32_t>(column);
    }
    return reading;
}

// Reads one file into outcome; runs without the GIL.
void load_into(ReadOutcome &outcome, const std::string &name, std::int32_t form, std::size_t threads,
               const gridvane_reading &reading) noexcept
{
    gridvane::failure ec;
    outcome.table = gridvane::table::load(name, options_for(outcome, form, threads, reading), ec);
}

// The table a read made, its warnings handed to Python; or its exception.
std::unique_ptr<Table> finish(ReadOutcome &outcome, py::handle filename)
{
    warn(outcome.findings, filename);
    if (!outcome.table)
        raise(read_error(outcome, filename));
    return std::make_unique<Table>(std::move(outcome.table));
}

std::size_t thread_count(py::handle threads, std::size_t work)
{
    std::size_t n = std::max(1u, std::thread::hardware_concurrency());
    if (!threads.is_none()) {
        const long long asked = whole_number(threads);
        if (asked < 1)
            throw py::value_error("threads must be at least 1, not " + std::to_string(asked));
        n = static_cast<std::size_t>(std::min<long long>(asked, 1024));
    }
    return std::max<std::size_t>(1, std::min(n, work));
}

} // namespace

std::unique_ptr<Table> allocate(py::ssize_t rows, py::ssize_t cols, bool frames)
{
    if (rows < 1 || cols < 1)
        throw py::value_error("a table has at least one row and one column, not " + count_text(rows) + " x " +
                              count_text(cols));
    if (rows > INT32_MAX || cols > INT32_MAX)
        throw py::value_error("a table has at most 2147483647 rows and columns");
    try {
        return std::make_unique<Table>(
            gridvane::table::create(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols), frames));
    } catch (const gridvane::error &e) {
        const gridvane_status &status = e.status();
        if (status.code == GRIDVANE_E_NO_MEMORY) // the size, as a log needs it
            raise(py::module_::import("gridvane._errors")
                      .attr("error")(ENOMEM, status_message(status) + ": a table of " + count_text(rows) + " x " +
                                                 count_text(cols) + (frames ? " with frames" : "")));
        raise(status_error(status, py::none()));
    }
}

std::unique_ptr<Table> load(py::object path, py::object kind, bool lenient, py::object threads, py::object names,
                            py::object frames_column)
{
    const std::size_t workers = thread_count(threads, 1024);
    const std::string name = file_name(path);
    const std::int32_t form = read_form(kind);
    const gridvane_reading reading = reading_of(names, frames_column);
    ReadOutcome outcome(lenient);
    {
        py::gil_scoped_release nogil;
        gridvane::failure ec;
        if (name == "-")
            outcome.table = gridvane::table::read(stdin, options_for(outcome, form, 1, reading), ec);
        else
            load_into(outcome, name, form, workers, reading);
    }
    return finish(outcome, path);
}

std::unique_ptr<Table> read(py::object source, py::object kind, bool lenient, py::object names,
                            py::object frames_column)
{
    const std::int32_t form = read_form(kind);
    const gridvane_reading reading = reading_of(names, frames_column);
    py::object filename = py::none();
    py::object data = source;
    if (py::hasattr(source, "read")) {
        data = source.attr("read")();
        if (py::hasattr(source, "name") && !py::isinstance<py::int_>(source.attr("name")))
            filename = source.attr("name");
    }
    if (py::isinstance<py::str>(data))
        throw py::type_error("read() takes bytes, or a file opened in binary mode");
    Buffer buffer(data);
    ReadOutcome outcome(lenient);
    {
        py::gil_scoped_release nogil;
        gridvane::failure ec;
        const std::span<const std::byte> bytes(reinterpret_cast<const std::byte *>(buffer.data()), buffer.size());
        outcome.table = gridvane::table::read(bytes, options_for(outcome, form, 1, reading), ec);
    }
    return finish(outcome, filename);
}

py::list load_many(py::object paths, py::object threads, bool lenient, py::object kind, const std::string &errors,
                   py::object names, py::object frames_column)
{
    const gridvane_reading reading = reading_of(names, frames_column);
    if (errors != "return" && errors != "raise")
        throw py::value_error("errors must be 'return' or 'raise', not '" + errors + "'");
    if (py::isinstance<py::str>(paths) || py::isinstance<py::bytes>(paths))
        throw py::type_error("load_many() takes a sequence of paths, not one path");
    const std::int32_t form = read_form(kind);
    std::vector<py::object> given;
    std::vector<std::string> paths_given;
    for (py::handle p : paths) {
        given.push_back(py::reinterpret_borrow<py::object>(p));
        paths_given.push_back(file_name(p));
    }
    const std::size_t n = paths_given.size();
    std::vector<ReadOutcome> outcomes;
    outcomes.reserve(n); // never moved: each read's observer keeps its place
    for (std::size_t i = 0; i < n; ++i)
        outcomes.emplace_back(lenient);
    const std::size_t workers = thread_count(threads, n);
    {
        py::gil_scoped_release nogil;
        gridvane::thread_driver{static_cast<unsigned>(workers)}(static_cast<std::int32_t>(n), [&](std::int32_t i) {
            load_into(outcomes[static_cast<std::size_t>(i)], paths_given[static_cast<std::size_t>(i)], form, 1, reading);
        });
    }
    py::list tables(n);
    py::object first_failure;
    for (std::size_t i = 0; i < n; ++i) {
        warn(outcomes[i].findings, given[i]);
        if (!outcomes[i].table) {
            py::object e = read_error(outcomes[i], given[i]);
            if (!first_failure)
                first_failure = e;
            tables[i] = e;
        } else {
            tables[i] = py::cast(std::make_unique<Table>(std::move(outcomes[i].table)));
        }
    }
    if (errors == "raise" && first_failure)
        raise(first_failure);
    return tables;
}

namespace {

std::unique_ptr<Table> from_array(py::object array, py::object frames, py::object columns, bool rising)
{
    const auto a = py::cast<FloatArray>(numpy().attr("asarray")(array, "dtype"_a = "float32"));
    if (a.ndim() != 2)
        throw py::value_error("a table is made from a 2-D array, not " + std::to_string(a.ndim()) + "-D");
    const py::ssize_t rows = a.shape(0), cols = a.shape(1);
    const bool with_frames = !frames.is_none();
    FloatArray f; // empty when there are no frames
    if (with_frames) {
        f = py::cast<FloatArray>(numpy().attr("asarray")(frames, "dtype"_a = "float32"));
        if (f.ndim() != 1 || f.shape(0) != rows)
            throw py::value_error("frames must be a 1-D array of one frame per row (" + std::to_string(rows) + ")");
        // Frame lookups find a frame's row by rising frames.
        const float *fr = f.data();
        for (py::ssize_t r = 0; rising && r < rows; ++r) {
            if (std::isnan(fr[r]))
                throw py::value_error("frames must increase, and frame " + std::to_string(r) + " is NaN");
            if (r > 0 && !(fr[r] > fr[r - 1]))
                throw py::value_error("frames must increase: frame " + std::to_string(r) + " (" +
                                      py::cast<std::string>(py::repr(py::float_(fr[r]))) + ") is not above frame " +
                                      std::to_string(r - 1) + " (" +
                                      py::cast<std::string>(py::repr(py::float_(fr[r - 1]))) + ")");
        }
    }
    std::unique_ptr<Table> t = allocate(rows, cols, with_frames);
    float *const *dest = t->rows();
    const float *src = a.data(), *frame = with_frames ? f.data() : nullptr;
    {
        py::gil_scoped_release nogil;
        for (py::ssize_t r = 0; r < rows; ++r) {
            std::memcpy(dest[r], src + r * cols, static_cast<std::size_t>(cols) * sizeof(float));
            if (frame != nullptr)
                std::memcpy(dest[r] + cols, frame + r, sizeof(float));
        }
    }
    if (!columns.is_none())
        set_columns(*t, columns);
    return t;
}

} // namespace

std::unique_ptr<Table> from_numpy(py::object array, py::object frames, py::object columns)
{
    return from_array(std::move(array), std::move(frames), std::move(columns), true);
}

std::unique_ptr<Table> restore(py::object samples, py::object frames, py::object columns, py::object kind)
{
    const bool binary = !kind.is_none() && py::cast<std::string>(kind) == "binary";
    const py::array a = numpy().attr("asarray")(samples);
    if (a.ndim() == 2 && a.size() == 0) {
        // A table without samples (a binary file whose header has a zero
        // count) is made as it was made: by reading such a header.
        unsigned char header[GRIDVANE_BINARY_HEADER_SIZE] = {};
        std::memcpy(header, GRIDVANE_BINARY_MAGIC, 4);
        const auto count = [&](std::size_t at, py::ssize_t n) {
            const auto v = static_cast<std::uint16_t>(std::min<py::ssize_t>(n, GRIDVANE_BINARY_COUNT_MAX));
            header[at] = static_cast<unsigned char>(v & 0xFF);
            header[at + 1] = static_cast<unsigned char>(v >> 8);
        };
        count(GRIDVANE_BINARY_COLUMNS_AT, a.shape(1));
        count(GRIDVANE_BINARY_ROWS_AT, a.shape(0));
        return read(py::bytes(reinterpret_cast<const char *>(header), sizeof header), py::str("binary"), true);
    }
    std::unique_ptr<Table> t = from_array(py::reinterpret_borrow<py::object>(a), std::move(frames), std::move(columns), false);
    if (binary) // the record's type is its caller's to set, as a host sets it
        ArrayGetPointer(t->id())->type = CHAN_BIN;
    return t;
}

} // namespace gridvane_python
