// gridvane._gridvane: the Python face of the library. Every table is a handle
// in the one process-wide registry of libgridvane.so, so C code in the same
// process sees the same tables. Each library call runs with its messages
// captured on the calling thread; a failure becomes an exception that carries
// the error number and the library's own message.
#include "gridvane.h"
#include "quarnel.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace py::literals;

namespace {

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

// ---- Messages and failures ---------------------------------------------

// The messages the library printed during the current call on this thread.
// Calls run on the caller's thread, GIL or not, so each thread keeps its own.
struct Messages {
    std::string text;
    bool capturing = false;
};
thread_local Messages messages;
std::atomic<bool> echo{false};

// Messages of our calls are kept for the exception (and echoed when asked);
// those of any other caller in the process still go to standard error.
void message_sink(const char *text, void *) noexcept
{
    if (messages.capturing) {
        try {
            messages.text += text;
        } catch (...) { // out of memory: the failure still raises, without its text
        }
        if (!echo.load(std::memory_order_relaxed))
            return;
    }
    std::fputs(text, stderr);
    std::fflush(stderr);
}

// What one library call left: its error number and what it printed.
struct Report {
    int error = 0;
    std::string message;
};

// Runs one library call with errno cleared and its messages captured; with
// release_gil the call runs without the GIL (nothing in it touches Python).
template <typename Fn> auto call(Report &report, bool release_gil, Fn &&fn)
{
    messages.text.clear();
    messages.capturing = true;
    errno = 0;
    auto finish = [&](auto result) {
        report.error = errno;
        messages.capturing = false;
        report.message.swap(messages.text);
        return result;
    };
    if (release_gil) {
        py::gil_scoped_release nogil;
        return finish(fn());
    }
    return finish(fn());
}

py::str decoded(const std::string &text) // file names in messages may be any bytes
{
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// The library's message without its newline, or the system's text for the
// error number when it printed none.
std::string message_of(const Report &report)
{
    std::string text = report.message;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (text.empty())
        text = report.error != 0 ? std::strerror(report.error) : "the library reported a failure";
    return text;
}

[[noreturn]] void raise_error(const Report &report, py::handle filename = py::none())
{
    py::object error_number = report.error != 0 ? py::object(py::int_(report.error)) : py::none();
    py::object exception =
        py::module_::import("gridvane._errors").attr("error")(error_number, decoded(message_of(report)), filename);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
    throw py::error_already_set();
}

// ---- Arguments ---------------------------------------------------------

py::module_ numpy() { return py::module_::import("numpy"); }

// An integer argument (anything with __index__), saturated at the limits of
// long long so that any Python int has an answer.
long long whole_number(py::handle value)
{
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index)
        throw py::error_already_set();
    int overflow = 0;
    const long long wide = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0)
        return overflow > 0 ? LLONG_MAX : LLONG_MIN;
    if (wide == -1 && PyErr_Occurred())
        throw py::error_already_set();
    return wide;
}

std::int32_t clamped_int32(py::handle value)
{
    return static_cast<std::int32_t>(std::clamp<long long>(whole_number(value), INT32_MIN, INT32_MAX));
}

std::int32_t int32_argument(py::handle value, const char *what)
{
    const long long wide = whole_number(value);
    if (wide < INT32_MIN || wide > INT32_MAX)
        throw py::value_error(std::string(what) + " must fit in 32 bits");
    return static_cast<std::int32_t>(wide);
}

// A path (str, bytes or os.PathLike) as the bytes the library opens; "-"
// names the standard stream the library knows as dash_means. The library
// takes any name beginning with "stdin" or "stdout" for a standard stream;
// here only "-" is one, so such a relative name is given as "./name".
std::string file_name(py::handle path, const char *dash_means)
{
    std::string name = py::cast<std::string>(py::module_::import("os").attr("fsencode")(path));
    if (name.find('\0') != std::string::npos)
        throw py::value_error("embedded null byte in file name");
    if (name == "-")
        return dash_means;
    if (name.compare(0, 5, "stdin") == 0 || name.compare(0, 6, "stdout") == 0)
        return "./" + name;
    return name;
}

// "ascii" or "binary" as the library's type code; None gives fallback.
std::int32_t kind_code(py::handle kind, std::int32_t fallback)
{
    if (kind.is_none())
        return fallback;
    const auto text = py::cast<std::string>(py::str(kind));
    if (py::isinstance<py::str>(kind) && text == "ascii")
        return CHAN_ASCII;
    if (py::isinstance<py::str>(kind) && text == "binary")
        return CHAN_BIN;
    throw py::value_error("kind must be 'ascii' or 'binary', not " + py::cast<std::string>(py::repr(kind)));
}

py::object kind_name(std::int32_t code)
{
    if (code == CHAN_ASCII)
        return py::str("ascii");
    if (code == CHAN_BIN)
        return py::str("binary");
    return py::none();
}

bool is_number(py::handle o) { return PyFloat_Check(o.ptr()) || PyLong_Check(o.ptr()); }

// ---- Tables --------------------------------------------------------------

// Above 2^24 a float count no longer names every whole count, and rounding
// may take it past the storage; such a size cannot be known from outside.
constexpr float exact_count_limit = 16777216.0f;

class Table {
public:
    explicit Table(std::int32_t id) : id_(id) {}
    ~Table() { free_now(); }
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;

    std::int32_t id() const
    {
        if (closed_)
            throw py::value_error("operation on a closed table");
        return id_;
    }
    bool closed() const { return closed_; }

    void close()
    {
        closed_ = true;
        if (busy_ == 0)
            free_now();
    }

    struct Extent {
        py::ssize_t rows, cols;
    };
    // The size as whole counts, for what must know every row (shape, copies).
    Extent extent() const
    {
        const float rows = ArrayCountV(id()), cols = ArrayCountU(id());
        if (!(rows < exact_count_limit && cols < exact_count_limit))
            throw py::value_error("the table has 2^24 rows or columns or more: its exact size cannot be known");
        return {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)};
    }
    // Sampling and cells need no exact size: the library bounds them by the
    // storage really there. A table with a zero count has no samples.
    void require_samples() const
    {
        if (!(ArrayCountV(id()) >= 1.0f && ArrayCountU(id()) >= 1.0f))
            throw py::value_error("the table has no samples");
    }
    bool has_frames() const { return (ArrayGetPointer(id())->flags & ARRAY_FRAME) != 0; }
    float *const *rows() const { return ArrayGetArray(id()); }

    // Before a cell is written: lets the calls that read this table without
    // the GIL finish. None can start again until the GIL is given up, so the
    // write that follows never meets a reader (the library leaves a cell
    // written while another thread reads it to its callers).
    void wait_for_readers() const
    {
        while (busy_ > 0) {
            py::gil_scoped_release nogil;
            std::this_thread::yield();
        }
    }

private:
    friend class InUse;
    void free_now()
    {
        if (id_ > 0)
            ArrayFree(id_);
        id_ = -1;
    }

    std::int32_t id_;
    bool closed_ = false;
    int busy_ = 0; // calls running without the GIL
};

// Keeps a table registered while a call works on it without the GIL; a
// close() from another thread meanwhile frees it when the last one ends.
// Made and destroyed with the GIL held.
class InUse {
public:
    explicit InUse(Table &t) : id(t.id()), table_(t) { ++table_.busy_; }
    ~InUse()
    {
        if (--table_.busy_ == 0 && table_.closed_)
            table_.free_now();
    }
    InUse(const InUse &) = delete;
    InUse &operator=(const InUse &) = delete;
    const std::int32_t id;

private:
    Table &table_;
};

std::unique_ptr<Table> allocate(py::ssize_t rows, py::ssize_t cols)
{
    Report report;
    const auto clamp = [](py::ssize_t n) {
        return static_cast<std::int32_t>(std::clamp<py::ssize_t>(n, -1, INT32_MAX));
    };
    if (rows > INT32_MAX || cols > INT32_MAX)
        throw py::value_error("a table has at most 2147483647 rows and columns");
    const std::int32_t id = call(report, false, [&] { return ArrayAlloc(clamp(rows), clamp(cols)); });
    if (id < 0) {
        if (rows < 1 || cols < 1)
            throw py::value_error(message_of(report));
        PyErr_SetString(PyExc_MemoryError, message_of(report).c_str());
        throw py::error_already_set();
    }
    return std::make_unique<Table>(id);
}

// Coordinates as a C-ordered array of float32 or float64, whichever they
// already are (anything else becomes float32, as a C caller's argument
// would), so that the common inputs are narrowed point by point in the loop
// instead of copied first.
py::array coordinates(const py::module_ &np, py::handle broadcast)
{
    py::array a = py::reinterpret_borrow<py::array>(broadcast);
    const bool floating = a.dtype().kind() == 'f' && (a.itemsize() == 4 || a.itemsize() == 8);
    if (!floating)
        return np.attr("ascontiguousarray")(a, "dtype"_a = "float32");
    if (!(a.flags() & py::array::c_style))
        return np.attr("ascontiguousarray")(a);
    return a;
}

template <typename U, typename V>
void sample_points(std::int32_t id, const void *u, const void *v, float *out, py::ssize_t n)
{
    const auto *pu = static_cast<const U *>(u);
    const auto *pv = static_cast<const V *>(v);
    for (py::ssize_t i = 0; i < n; ++i)
        out[i] = ArrayGetValue(id, static_cast<float>(pu[i]), static_cast<float>(pv[i]));
}

py::object sample(Table &t, py::object u, py::object v)
{
    t.require_samples();
    if (is_number(u) && is_number(v))
        return py::float_(
            ArrayGetValue(t.id(), static_cast<float>(py::cast<double>(u)), static_cast<float>(py::cast<double>(v))));
    py::module_ np = numpy();
    py::tuple both = np.attr("broadcast_arrays")(np.attr("asarray")(u), np.attr("asarray")(v));
    const py::array us = coordinates(np, both[0]), vs = coordinates(np, both[1]);
    py::array_t<float> out(std::vector<py::ssize_t>(us.shape(), us.shape() + us.ndim()));
    const bool u_double = us.itemsize() == 8, v_double = vs.itemsize() == 8;
    auto *const loop = u_double ? (v_double ? &sample_points<double, double> : &sample_points<double, float>)
                                : (v_double ? &sample_points<float, double> : &sample_points<float, float>);
    float *po = out.mutable_data();
    {
        InUse use(t);
        py::gil_scoped_release nogil;
        loop(use.id, us.data(), vs.data(), po, out.size());
    }
    if (out.ndim() == 0)
        return py::float_(po[0]);
    return out;
}

void require_frames(const Table &t)
{
    if (!t.has_frames())
        throw py::value_error("the table has no frames (only tables read from the table form have them)");
}

float row_of_frame(const Table &t, py::handle frame)
{
    const std::int32_t f = int32_argument(frame, "frame");
    require_frames(t);
    const float v = ArrayFrameGetV(t.id(), f);
    if (v < 0.0f)
        throw py::value_error("frame " + std::to_string(f) + " is outside the table's frames");
    return v;
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

py::object frames(const Table &t)
{
    if (!t.has_frames())
        return py::none();
    const Table::Extent e = t.extent();
    py::array_t<float> out(e.rows);
    float *dest = out.mutable_data();
    float *const *rows = t.rows();
    for (py::ssize_t r = 0; r < e.rows; ++r)
        dest[r] = rows[r][e.cols];
    return out;
}

// (v, u) from t[v, u].
std::pair<std::int32_t, std::int32_t> cell_index(py::handle key)
{
    if (!py::isinstance<py::tuple>(key) || py::len(key) != 2)
        throw py::type_error("index a table as t[v, u]: a row and a column, both integers");
    py::tuple pair = py::reinterpret_borrow<py::tuple>(key);
    return {clamped_int32(pair[0]), clamped_int32(pair[1])};
}

void check_name_agrees(const std::string &name, py::handle path, std::int32_t code)
{
    std::int32_t named = GetHalvicFileType(name.c_str());
    if (named == 0)
        named = CHAN_ASCII;
    if ((named == CHAN_ASCII || named == CHAN_BIN) && named != code)
        throw py::value_error(py::cast<std::string>(py::repr(path)) +
                              (named == CHAN_BIN ? " names a binary" : " names an ASCII") +
                              " file, which contradicts kind=" + py::cast<std::string>(py::repr(kind_name(code))));
}

void save(Table &t, py::object path, py::object kind)
{
    const std::string name = file_name(path, "stdout");
    const std::int32_t code = kind_code(kind, ArrayType(t.id()));
    if (!kind.is_none())
        check_name_agrees(name, path, code);
    if (name == "stdout") {
        py::object out = py::module_::import("sys").attr("stdout");
        if (!out.is_none())
            out.attr("flush")();
    }
    InUse use(t);
    Report report;
    if (call(report, true, [&] { return ArraySave(use.id, name.c_str(), code); }) != 0)
        raise_error(report, path);
}

py::bytes to_bytes(Table &t, py::object kind)
{
    const std::int32_t code = kind_code(kind, ArrayType(t.id()));
    char *buffer = nullptr;
    std::size_t size = 0;
    std::FILE *stream = open_memstream(&buffer, &size);
    if (stream == nullptr)
        raise_error(Report{errno, {}});
    InUse use(t);
    Report report;
    const int written = call(report, true, [&] { return ArrayWrite(stream, ArrayGetPointer(use.id), code); });
    const bool closed = std::fclose(stream) == 0;
    std::unique_ptr<char, decltype(&std::free)> owned(buffer, &std::free);
    if (written != 0 || !closed) {
        if (report.error == 0)
            report.error = closed ? EIO : errno;
        raise_error(report);
    }
    return py::bytes(buffer, size);
}

std::string repr(const Table &t)
{
    if (t.closed())
        return "<gridvane.Table closed>";
    std::string text = "<gridvane.Table handle " + std::to_string(t.id());
    try {
        const Table::Extent e = t.extent();
        text += ", " + std::to_string(e.rows) + " x " + std::to_string(e.cols);
    } catch (const py::value_error &) {
        text += ", 2^24 or more rows or columns";
    }
    const py::object kind = kind_name(ArrayType(t.id()));
    if (!kind.is_none())
        text += ", " + py::cast<std::string>(kind);
    if (t.has_frames())
        text += ", with frames";
    return text + ">";
}

// ---- Making tables ---------------------------------------------------------

// Reads a table from a stream the caller opened and owns.
std::unique_ptr<Table> read_stream(std::FILE *stream, std::int32_t code)
{
    Report report;
    ArrayNode *node = call(report, true, [&] { return ArrayRead(stream, code); });
    std::fclose(stream);
    if (node == nullptr)
        raise_error(report);
    return std::make_unique<Table>(node->id);
}

// A Python buffer held for as long as the library reads it.
class Buffer {
public:
    explicit Buffer(py::handle source)
    {
        if (PyObject_GetBuffer(source.ptr(), &view_, PyBUF_SIMPLE) != 0)
            throw py::error_already_set();
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    char *data() const { return static_cast<char *>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

std::unique_ptr<Table> read_table(py::object source, py::object kind)
{
    py::object data = py::hasattr(source, "read") ? source.attr("read")() : source;
    if (py::isinstance<py::str>(data))
        throw py::type_error("read() takes bytes, or a file opened in binary mode");
    Buffer buffer(data);
    const std::string_view head(buffer.data(), std::min<std::size_t>(buffer.size(), 4));
    const std::int32_t code = kind_code(kind, head == "chan" || head == "nahc" ? CHAN_BIN : CHAN_ASCII);
    // Read-only: the stream never writes to the buffer it is given.
    std::FILE *stream = fmemopen(buffer.data(), buffer.size(), "rb");
    if (stream == nullptr)
        raise_error(Report{errno, {}});
    return read_stream(stream, code);
}

std::unique_ptr<Table> load_table(py::object path)
{
    const std::string name = file_name(path, "stdin");
    Report report;
    const std::int32_t id = call(report, true, [&] { return ArrayLoad(name.c_str()); });
    if (id < 0)
        raise_error(report, path);
    return std::make_unique<Table>(id);
}

// A table with a frame column can only be registered by reading the table
// form. The text read fixes the shape and the frame column: the first data
// line has every column, the later ones only a frame and the separator (the
// reader stores 0 for the values such a line lacks). The samples and the
// frames are then copied in bit for bit, NaN payloads included.
std::unique_ptr<Table> with_frame_column(py::ssize_t rows, py::ssize_t cols)
{
    if (rows < 1 || cols < 1)
        throw py::value_error("a table has at least one row and one column");
    if (rows >= (py::ssize_t{1} << 24) || cols >= (py::ssize_t{1} << 24))
        throw py::value_error("a table with frames has fewer than 2^24 rows and columns");
    std::string text = "|\n-\n0 |";
    text.reserve(text.size() + 2 * static_cast<std::size_t>(cols) + 4 * static_cast<std::size_t>(rows));
    for (py::ssize_t c = 0; c < cols; ++c)
        text += " 0";
    text += '\n';
    for (py::ssize_t r = 1; r < rows; ++r)
        text += "0 |\n";
    std::FILE *stream = fmemopen(text.data(), text.size(), "rb");
    if (stream == nullptr)
        raise_error(Report{errno, {}});
    std::unique_ptr<Table> t = read_stream(stream, CHAN_ASCII);
    const Table::Extent e = t->extent();
    if (!t->has_frames() || e.rows != rows || e.cols != cols)
        throw std::runtime_error("the library did not read the frame table it was given");
    return t;
}

std::unique_ptr<Table> from_numpy(py::object array, py::object frames)
{
    py::module_ np = numpy();
    const auto a = py::cast<FloatArray>(np.attr("asarray")(array, "dtype"_a = "float32"));
    if (a.ndim() != 2)
        throw py::value_error("from_numpy() takes a 2-D array, not " + std::to_string(a.ndim()) + "-D");
    const py::ssize_t rows = a.shape(0), cols = a.shape(1);
    const bool with_frames = !frames.is_none();
    FloatArray f; // an empty array when there are no frames
    if (with_frames) {
        f = py::cast<FloatArray>(np.attr("asarray")(frames, "dtype"_a = "float32"));
        if (f.ndim() != 1 || f.shape(0) != rows)
            throw py::value_error("frames must be a 1-D array of one frame per row (" + std::to_string(rows) + ")");
    }
    std::unique_ptr<Table> t = with_frames ? with_frame_column(rows, cols) : allocate(rows, cols);
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
    return t;
}

} // namespace

PYBIND11_MODULE(_gridvane, m)
{
    m.doc() = "The compiled part of the gridvane package; use the gridvane package itself.";
    QuarnelSetMessageSink(message_sink, nullptr);
    m.attr("__version__") = GRIDVANE_VERSION_STRING;

    py::class_<Table>(m, "Table", R"(A table of float32 samples in Gridvane's process-wide registry.

Table(rows, cols) makes a zero-filled table; gridvane.load, gridvane.read and
gridvane.from_numpy make the others. Index it as t[v, u] (row, then column);
sample it with t.sample(u, v) (column, then row). A table is freed by close(),
at the end of a with block, or when it is garbage-collected; a closed table
raises ValueError.)")
        .def(py::init([](py::ssize_t rows, py::ssize_t cols) { return allocate(rows, cols); }), "rows"_a, "cols"_a,
             "A zero-filled table of rows x cols (both at least 1), kind 'ascii'.")
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
        .def_property_readonly(
            "kind", [](const Table &t) { return kind_name(ArrayType(t.id())); },
            "'ascii' or 'binary': the form the table was read from ('ascii' for tables made "
            "in memory); it is the form save() uses when the name does not say.")
        .def_property_readonly("has_frames", &Table::has_frames,
                               "Whether each row carries a frame number (tables read from the table form).")
        .def_property_readonly("frames", &frames,
                               "The frame column as a float32 array (a copy), or None for a table without frames.")
        .def_property_readonly("closed", &Table::closed, "Whether close() has been called.")
        .def("close", &Table::close, "Frees the table. Closing twice does nothing; any other use then raises.")
        .def("__enter__",
             [](py::object self) {
                 self.cast<Table &>().id();
                 return self;
             })
        .def("__exit__", [](Table &t, py::args) { t.close(); })
        .def("__repr__", &repr)
        .def("to_numpy", &to_numpy,
             "A float32 array of shape (rows, cols) in C order: a copy, since the library keeps each row "
             "in its own block. Frame numbers are not part of it (see frames).")
        .def(
            "__array__",
            [](Table &t, py::object dtype, py::object) {
                py::object a = to_numpy(t);
                return dtype.is_none() ? a : a.attr("astype")(dtype, "copy"_a = false);
            },
            "dtype"_a = py::none(), "copy"_a = py::none())
        .def(
            "__getitem__",
            [](const Table &t, py::handle key) {
                const auto [v, u] = cell_index(key);
                t.require_samples();
                return ArrayGetIValue(t.id(), u, v);
            },
            "key"_a,
            "t[v, u]: the cell at row v, column u. Both are clamped into the table as the library does: "
            "a negative index gives the first row or column, not the last.")
        .def(
            "__setitem__",
            [](Table &t, py::handle key, double value) {
                const auto [v, u] = cell_index(key);
                t.require_samples();
                t.wait_for_readers();
                ArrayPutIValue(t.id(), u, v, static_cast<float>(value));
            },
            "key"_a, "value"_a, "t[v, u] = x stores x (as float32) in the cell the clamped indexes name.")
        .def("sample", &sample, "u"_a, "v"_a,
             R"(Bilinear sample at column u, row v, each clamped into the table.

u and v are numbers or array-likes that broadcast together; they are rounded
to float32 first, as a C caller's floats would be. Numbers give a float,
arrays a float32 array of the broadcast shape. Every value is bit-identical
to ArrayGetValue(handle, u, v); a NaN coordinate gives NaN.)")
        .def("row_of_frame", &row_of_frame, "frame"_a,
             "The fractional row at which frame falls (ArrayFrameGetV). ValueError for a frame outside the "
             "table's frames or a table without frames.")
        .def(
            "frame_of_row",
            [](const Table &t, py::handle row) {
                require_frames(t);
                const std::int32_t r = clamped_int32(row);
                if (r < 0 || r >= t.extent().rows)
                    throw py::index_error("row " + py::cast<std::string>(py::str(row)) + " is outside the table");
                return ArrayGetFrame(t.id(), r);
            },
            "row"_a,
            "The frame number of a row, truncated toward zero (ArrayGetFrame); -1 for a frame value that is "
            "NaN or beyond 32 bits.")
        .def(
            "sample_at_frame",
            [](Table &t, py::handle frame, py::object u) {
                const float v = row_of_frame(t, frame);
                if (u.is_none())
                    u = numpy().attr("arange")(t.extent().cols, "dtype"_a = "float32");
                return sample(t, u, py::float_(v));
            },
            "frame"_a, "u"_a = py::none(),
            "sample(u, row_of_frame(frame)); with u None, every column at that frame as a float32 array.")
        .def("save", &save, "path"_a, "kind"_a = py::none(),
             R"(Saves the table by name (ArraySave); "-" is standard output.

The name's suffix chooses the form (.chb, .bchan: binary; .chan, .cha, .txt:
ASCII); for other names kind does ('ascii' or 'binary'; None: the table's
own kind). A kind that contradicts the suffix raises ValueError. A regular
file is replaced only once the new one is complete. Frame numbers are not
written: the library writes the plain form only.)")
        .def("tobytes", &to_bytes, "kind"_a = py::none(),
             "The table as the bytes of a file of the given kind (None: the table's own kind), as save() "
             "would write them.");

    m.def("load", &load_table, "path"_a, R"(Loads a table from a file (ArrayLoad).

The form comes from the name's suffix, or for other names from the first
significant byte. "-" reads standard input (every other name is a file),
through the C library's stream: what Python has already buffered from
sys.stdin is not seen.)");
    m.def("read", &read_table, "source"_a, "kind"_a = py::none(),
          R"(Reads a table from bytes or a binary file object (ArrayRead).

A file object is read to its end first. kind is 'ascii' or 'binary'; None
takes binary when the data starts with the binary magic in either byte
order, ASCII otherwise.)");
    m.def("from_numpy", &from_numpy, "array"_a, "frames"_a = py::none(),
          R"(A new table holding a copy of a 2-D array (converted to float32).

With frames (one number per row) the table has a frame column, as a table
read from the table form has. The samples and frames are copied bit for bit.)");
    m.def(
        "echo_messages",
        [](py::object on) {
            const bool before = echo.load();
            if (!on.is_none())
                echo.store(py::cast<bool>(on));
            return before;
        },
        "on"_a = py::none(),
        R"(Whether the library's messages are also written to standard error.

They always reach the exceptions; by default nothing is printed. Returns the
setting before the call; with on None it only reports it.)");
    m.def(
        "kind_of_name",
        [](py::handle path) {
            const std::string name = file_name(path, "-");
            const std::int32_t code = GetHalvicFileType(name.c_str());
            return code == 0 ? kind_name(CHAN_ASCII) : kind_name(code);
        },
        "path"_a, "'ascii' or 'binary' for a name whose suffix the tools library knows, else None.");
}
