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

// Reads one file or stream into outcome; runs without the GIL.
void read_into(ReadOutcome &outcome, const std::string *name, std::FILE *stream, std::int32_t form) noexcept
{
    Findings &f = outcome.findings;
    outcome.id = name != nullptr ? gridvane_load(name->c_str(), form, f.observer(), f.context(), &outcome.report)
                                 : gridvane_read(stream, form, f.observer(), f.context(), &outcome.report);
}

// The table a read made, its warnings handed to Python; or its exception.
std::unique_ptr<Table> finish(const ReadOutcome &outcome, py::handle filename)
{
    if (outcome.id < 0) {
        warn(outcome.findings, filename);
        raise(read_error(outcome, filename));
    }
    auto table = std::make_unique<Table>(outcome.id);
    warn(outcome.findings, filename);
    return table;
}

// Reads a file on several threads of ours: the library cuts it into parts
// (none for a small file), our threads read them, this one joins them.
// Runs without the GIL.
void read_in_parts(ReadOutcome &outcome, const std::string &name, std::int32_t form, std::size_t threads) noexcept
{
    Findings &f = outcome.findings;
    gridvane_plan *plan = gridvane_plan_load(name.c_str(), form, static_cast<std::int32_t>(threads), f.observer(),
                                             f.context(), &outcome.report);
    if (plan == nullptr) {
        outcome.id = -1;
        return;
    }
    std::vector<std::thread> helpers;
    const std::int32_t parts = gridvane_plan_parts(plan);
    try {
        for (std::int32_t k = 1; k < parts; ++k)
            helpers.emplace_back([plan, k] { gridvane_read_part(plan, k); });
    } catch (...) { // no more threads: the finish reads what is left
    }
    if (parts > 0)
        gridvane_read_part(plan, 0);
    for (auto &helper : helpers)
        helper.join();
    outcome.id = gridvane_finish_load(plan, &outcome.report);
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
    gridvane_status status{};
    const std::int32_t id =
        gridvane_alloc(static_cast<std::int32_t>(rows), static_cast<std::int32_t>(cols), frames ? ARRAY_FRAME : 0, &status);
    if (id < 0) {
        if (status.code == GRIDVANE_E_NO_MEMORY) // the size, as a log needs it
            raise(py::module_::import("gridvane._errors")
                      .attr("error")(ENOMEM, status_message(status) + ": a table of " + count_text(rows) + " x " +
                                                 count_text(cols) + (frames ? " with frames" : "")));
        raise(status_error(status, py::none()));
    }
    return std::make_unique<Table>(id);
}

std::unique_ptr<Table> load(py::object path, py::object kind, bool lenient, py::object threads)
{
    const std::size_t workers = thread_count(threads, 1024);
    const std::string name = file_name(path);
    const std::int32_t form = read_form(kind);
    ReadOutcome outcome(lenient);
    {
        py::gil_scoped_release nogil;
        if (name == "-" || workers == 1)
            read_into(outcome, name == "-" ? nullptr : &name, stdin, form);
        else
            read_in_parts(outcome, name, form, workers);
    }
    return finish(outcome, path);
}

std::unique_ptr<Table> read(py::object source, py::object kind, bool lenient)
{
    const std::int32_t form = read_form(kind);
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
        // Read-only: the stream never writes to the buffer it is given. An
        // empty buffer is given a stream of one byte that is at its end.
        char none = '\0';
        std::FILE *stream = buffer.size() > 0 ? fmemopen(buffer.data(), buffer.size(), "rb") : fmemopen(&none, 1, "rb");
        if (stream != nullptr && buffer.size() == 0)
            std::fseek(stream, 0, SEEK_END);
        if (stream == nullptr) {
            outcome.report.status = gridvane_status{GRIDVANE_E_READ, errno, 0, 0, -1, 0, 0};
        } else {
            read_into(outcome, nullptr, stream, form);
            std::fclose(stream);
        }
    }
    return finish(outcome, filename);
}

py::list load_many(py::object paths, py::object threads, bool lenient, py::object kind, const std::string &errors)
{
    if (errors != "return" && errors != "raise")
        throw py::value_error("errors must be 'return' or 'raise', not '" + errors + "'");
    if (py::isinstance<py::str>(paths) || py::isinstance<py::bytes>(paths))
        throw py::type_error("load_many() takes a sequence of paths, not one path");
    const std::int32_t form = read_form(kind);
    std::vector<py::object> given;
    std::vector<std::string> names;
    for (py::handle p : paths) {
        given.push_back(py::reinterpret_borrow<py::object>(p));
        names.push_back(file_name(p));
    }
    const std::size_t n = names.size();
    std::vector<ReadOutcome> outcomes(n, ReadOutcome(lenient));
    const std::size_t workers = thread_count(threads, n);
    {
        py::gil_scoped_release nogil;
        std::atomic<std::size_t> next{0};
        auto work = [&]() noexcept {
            for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;)
                read_into(outcomes[i], &names[i], nullptr, form);
        };
        std::vector<std::thread> pool;
        for (std::size_t w = 1; w < workers; ++w) {
            try {
                pool.emplace_back(work);
            } catch (const std::system_error &) { // no more threads: those there share the work
                break;
            }
        }
        work();
        for (std::thread &t : pool)
            t.join();
    }
    py::list tables(n);
    py::object first_failure;
    for (std::size_t i = 0; i < n; ++i) {
        warn(outcomes[i].findings, given[i]);
        if (outcomes[i].id < 0) {
            py::object e = read_error(outcomes[i], given[i]);
            if (!first_failure)
                first_failure = e;
            tables[i] = e;
        } else {
            tables[i] = py::cast(std::make_unique<Table>(outcomes[i].id));
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
