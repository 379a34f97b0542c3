#include "interchange.hpp"

#include "errors.hpp"
#include "reading.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace gridvane_python {

namespace {

// ---- The Arrow C data interface (its published ABI) ----------------------

constexpr std::int64_t arrow_flag_nullable = 2;

struct ArrowSchema {
    const char *format;
    const char *name;
    const char *metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema **children;
    ArrowSchema *dictionary;
    void (*release)(ArrowSchema *);
    void *private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void **buffers;
    ArrowArray **children;
    ArrowArray *dictionary;
    void (*release)(ArrowArray *);
    void *private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream *, ArrowSchema *out);
    int (*get_next)(ArrowArrayStream *, ArrowArray *out);
    const char *(*get_last_error)(ArrowArrayStream *);
    void (*release)(ArrowArrayStream *);
    void *private_data;
};

// ---- Export ---------------------------------------------------------------

// A table's columns, transposed once: what every exported struct shares.
// Each child holds a reference of its own, so that a consumer may keep a
// child longer than its parent, as the interface allows.
struct Columns {
    std::vector<std::string> names;
    std::vector<std::vector<float>> values;
    std::vector<std::int32_t> whole_frames; // the frame column when it is int32
    std::vector<float> frames;              // when it is not
    bool has_frames = false, frames_whole = false;
    std::int64_t rows = 0;
};

using Shared = std::shared_ptr<const Columns>;

// The columns' names, frames and (with samples) values. A column of its
// own named "frame" would read back as the frames, so it is refused.
std::shared_ptr<Columns> columns_of(Table &t, bool samples)
{
    auto out = std::make_shared<Columns>();
    const Table::Extent e = t.extent();
    out->rows = e.rows;
    const py::object names = columns(t);
    for (py::ssize_t c = 0; c < e.cols; ++c) {
        const py::object name =
            names.is_none() ? py::object(py::none()) : py::reinterpret_borrow<py::tuple>(names)[static_cast<std::size_t>(c)];
        if (name.is_none()) {
            out->names.push_back("col" + std::to_string(c));
            continue;
        }
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            throw py::value_error("column " + std::to_string(c) + "'s name is not UTF-8, which Arrow's names are: "
                                  "rename it (t.columns = ...)");
        }
        out->names.emplace_back(utf8, static_cast<std::size_t>(size));
        if (out->names.back() == "frame")
            throw py::value_error("column " + std::to_string(c) + " is named 'frame', which Arrow readers and "
                                  "from_arrow take for the frames: rename it (t.columns = ...)");
    }
    out->has_frames = t.has_frames();
    if (out->has_frames) {
        out->frames = frame_column(t);
        out->frames_whole = std::all_of(out->frames.begin(), out->frames.end(), [](float f) {
            return f == std::trunc(f) && f >= -2147483648.0f && f < 2147483648.0f;
        });
        if (out->frames_whole) {
            out->whole_frames.assign(out->frames.begin(), out->frames.end());
            out->frames.clear();
        }
    }
    if (samples) {
        InUse use(t);
        float *const *rows = t.rows();
        py::gil_scoped_release nogil;
        out->values.assign(static_cast<std::size_t>(e.cols), std::vector<float>(static_cast<std::size_t>(e.rows)));
        for (py::ssize_t r = 0; r < e.rows; ++r)
            for (py::ssize_t c = 0; c < e.cols; ++c)
                out->values[static_cast<std::size_t>(c)][static_cast<std::size_t>(r)] = rows[r][c];
    }
    return out;
}

std::int64_t column_count(const Columns &c) { return static_cast<std::int64_t>(c.names.size()) + c.has_frames; }

// What one child (of a schema or an array) holds: the columns, for its name
// and its values, and the buffers it points to.
struct ChildPrivate {
    Shared columns;
    const void *buffers[2] = {nullptr, nullptr}; // no validity bitmap: no nulls
};

template <typename T> void release_child(T *s)
{
    delete static_cast<ChildPrivate *>(s->private_data);
    s->release = nullptr;
}

// What a parent holds: its children's structs, those a consumer has not
// moved out released with it.
template <typename T> struct ParentPrivate {
    std::vector<T> child_structs;
    std::vector<T *> child_pointers;
    const void *buffers[1] = {nullptr};
};

template <typename T> void release_parent(T *s)
{
    if (s == nullptr || s->release == nullptr)
        return;
    for (std::int64_t i = 0; i < s->n_children; ++i)
        if (s->children[i]->release != nullptr)
            s->children[i]->release(s->children[i]);
    delete static_cast<ParentPrivate<T> *>(s->private_data);
    s->release = nullptr;
}

void fill_schema(ArrowSchema &out, const Shared &columns)
{
    auto p = std::make_unique<ParentPrivate<ArrowSchema>>();
    const std::int64_t n = column_count(*columns);
    p->child_structs.resize(static_cast<std::size_t>(n));
    for (std::size_t k = 0; k < static_cast<std::size_t>(n); ++k) {
        const bool frame = k == columns->names.size();
        p->child_structs[k] = ArrowSchema{frame ? (columns->frames_whole ? "i" : "f") : "f",
                                          frame ? "frame" : columns->names[k].c_str(),
                                          nullptr,
                                          0,
                                          0,
                                          nullptr,
                                          nullptr,
                                          release_child<ArrowSchema>,
                                          new ChildPrivate{columns}};
        p->child_pointers.push_back(&p->child_structs[k]);
    }
    out = ArrowSchema{"+s", "", nullptr, 0, n, p->child_pointers.data(), nullptr, release_parent<ArrowSchema>,
                      p.release()};
}

void fill_array(ArrowArray &out, const Shared &columns)
{
    auto p = std::make_unique<ParentPrivate<ArrowArray>>();
    const std::int64_t n = column_count(*columns);
    p->child_structs.resize(static_cast<std::size_t>(n));
    for (std::size_t k = 0; k < static_cast<std::size_t>(n); ++k) {
        const bool frame = k == columns->names.size();
        auto *child = new ChildPrivate{columns};
        child->buffers[1] = !frame                  ? static_cast<const void *>(columns->values[k].data())
                            : columns->frames_whole ? static_cast<const void *>(columns->whole_frames.data())
                                                    : static_cast<const void *>(columns->frames.data());
        p->child_structs[k] = ArrowArray{columns->rows, 0, 0, 2, 0, child->buffers, nullptr, nullptr,
                                         release_child<ArrowArray>, child};
        p->child_pointers.push_back(&p->child_structs[k]);
    }
    out = ArrowArray{columns->rows, 0, 0, 1, n, p->buffers, p->child_pointers.data(), nullptr,
                     release_parent<ArrowArray>, p.get()};
    p.release();
}

template <typename T> void delete_capsule(PyObject *capsule, const char *name, void (*release)(T *))
{
    auto *s = static_cast<T *>(PyCapsule_GetPointer(capsule, name));
    if (s == nullptr) {
        PyErr_Clear();
        return;
    }
    if (s->release != nullptr)
        release(s);
    delete s;
}

py::capsule schema_capsule(const Shared &columns)
{
    auto *s = new ArrowSchema{};
    fill_schema(*s, columns);
    return py::capsule(s, "arrow_schema", [](PyObject *c) {
        delete_capsule<ArrowSchema>(c, "arrow_schema", [](ArrowSchema *x) { x->release(x); });
    });
}

py::capsule array_capsule(const Shared &columns)
{
    auto *a = new ArrowArray{};
    fill_array(*a, columns);
    return py::capsule(a, "arrow_array", [](PyObject *c) {
        delete_capsule<ArrowArray>(c, "arrow_array", [](ArrowArray *x) { x->release(x); });
    });
}

// A stream of the one batch. Its callbacks are called from C: nothing is
// thrown through them.
struct StreamPrivate {
    Shared columns;
    bool given = false;
};

int stream_schema(ArrowArrayStream *self, ArrowSchema *out)
{
    try {
        fill_schema(*out, static_cast<StreamPrivate *>(self->private_data)->columns);
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

int stream_next(ArrowArrayStream *self, ArrowArray *out)
{
    auto *p = static_cast<StreamPrivate *>(self->private_data);
    try {
        if (p->given)
            out->release = nullptr; // the end of the stream
        else
            fill_array(*out, p->columns);
        p->given = true;
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

void release_stream(ArrowArrayStream *s)
{
    delete static_cast<StreamPrivate *>(s->private_data);
    s->release = nullptr;
}

void refuse_requested_schema(const py::object &requested)
{
    // The interface lets a producer ignore a request it cannot honour.
    (void)requested;
}

std::string type_name(const py::handle &o) { return py::cast<std::string>(py::type::of(o).attr("__name__")); }

// A Python int, or anything that stands for one (numpy's), and no bool.
bool is_whole_number(const py::handle &o)
{
    return !PyBool_Check(o.ptr()) && PyIndex_Check(o.ptr()) != 0;
}

// The two ints of a tuple such as dl_device, or a TypeError naming it.
std::pair<py::int_, py::int_> int_pair(const py::object &o, const char *name, const char *shape)
{
    if (!py::isinstance<py::tuple>(o) || py::len(o) != 2 || !is_whole_number(o[py::int_(0)]) ||
        !is_whole_number(o[py::int_(1)]))
        throw py::type_error(std::string(name) + " is a tuple of two ints " + shape + ", not " + 
                             py::cast<std::string>(py::repr(o)));
    return {py::int_(o[py::int_(0)]), py::int_(o[py::int_(1)])};
}

// ---- Import ---------------------------------------------------------------

// An error naming the column, as from_arrow raises it.
[[noreturn]] void refuse_column(const std::string &column, const std::string &why)
{
    throw py::value_error("column '" + column + "' " + why);
}

// Elements [first, first + n) of a child array, in a format from_arrow
// takes, into slot `slot` of rows dest[0, n).
template <typename T> void copy_as(const void *data, std::int64_t first, std::int64_t n, float *const *dest, std::int64_t slot)
{
    const T *p = static_cast<const T *>(data) + first;
    for (std::int64_t i = 0; i < n; ++i)
        dest[i][slot] = static_cast<float>(p[i]);
}

void copy_column(const ArrowArray &a, char format, std::int64_t first, std::int64_t n, float *const *dest,
                 std::int64_t slot)
{
    const void *data = a.buffers[1];
    first += a.offset;
    switch (format) {
    case 'f': return copy_as<float>(data, first, n, dest, slot);
    case 'g': return copy_as<double>(data, first, n, dest, slot);
    case 'c': return copy_as<std::int8_t>(data, first, n, dest, slot);
    case 'C': return copy_as<std::uint8_t>(data, first, n, dest, slot);
    case 's': return copy_as<std::int16_t>(data, first, n, dest, slot);
    case 'S': return copy_as<std::uint16_t>(data, first, n, dest, slot);
    case 'i': return copy_as<std::int32_t>(data, first, n, dest, slot);
    case 'I': return copy_as<std::uint32_t>(data, first, n, dest, slot);
    case 'l': return copy_as<std::int64_t>(data, first, n, dest, slot);
    case 'L': return copy_as<std::uint64_t>(data, first, n, dest, slot);
    default: return;
    }
}

// Whether any of `length` elements from `start` (the parent's offset) is
// null. Checked before: a null_count above 0 comes with its bitmap.
// Whether a child may hold nulls at all (its bitmap is checked before
// any read), and whether its element i (counted from its own offset) is one.
bool may_hold_nulls(const ArrowArray &a) { return a.null_count != 0 && a.buffers[0] != nullptr; }
bool is_null(const ArrowArray &a, std::int64_t i)
{
    const auto *bits = static_cast<const std::uint8_t *>(a.buffers[0]);
    i += a.offset;
    return (bits[i / 8] & (1u << (i % 8))) == 0;
}

bool has_nulls(const ArrowArray &a, std::int64_t start, std::int64_t length)
{
    if (!may_hold_nulls(a))
        return false;
    for (std::int64_t i = start; i < start + length; ++i)
        if (is_null(a, i))
            return true;
    return false;
}

// Owns what an import took: the stream, its schema and every batch.
struct Imported {
    ArrowArrayStream stream{};
    ArrowSchema schema{};
    std::vector<ArrowArray> batches;
    ~Imported()
    {
        for (ArrowArray &b : batches)
            if (b.release != nullptr)
                b.release(&b);
        if (schema.release != nullptr)
            schema.release(&schema);
        if (stream.release != nullptr)
            stream.release(&stream);
    }
    std::string last_error()
    {
        const char *e = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
        return e != nullptr ? e : "no reason given";
    }
};

// What the C data interface lets a consumer check, checked before a byte
// is read: every pointer, count, length and offset the structs carry. How
// long a buffer really is, and whether a format tells its element size
// truly, the structs cannot say: those are the producer's word.

[[noreturn]] void refuse_structure(const std::string &why)
{
    throw py::value_error("from_arrow() refuses the Arrow data: " + why);
}

std::string name_of(const ArrowSchema &column) { return column.name != nullptr ? column.name : ""; }

// The columns of the schema, each there and not released.
void check_schema(const ArrowSchema &root)
{
    if (root.release == nullptr)
        refuse_structure("its schema is released (release is NULL)");
    if (root.format == nullptr)
        refuse_structure("its schema has no format");
    if (root.n_children < 0)
        refuse_structure("its schema has " + std::to_string(root.n_children) + " columns");
    if (root.n_children > 0 && root.children == nullptr)
        refuse_structure("its schema has " + std::to_string(root.n_children) + " columns and no children");
    for (std::int64_t i = 0; i < root.n_children; ++i) {
        const ArrowSchema *c = root.children[i];
        if (c == nullptr)
            refuse_structure("column " + std::to_string(i) + " of its schema is NULL");
        if (c->release == nullptr)
            refuse_column(name_of(*c), "is released in the schema (release is NULL)");
        if (c->format == nullptr)
            refuse_column(name_of(*c), "has no format");
    }
}

// What is wrong with one array's own fields, or nothing: released, a
// negative length or offset, other than `buffers` buffers (as many as its
// type has), nulls counted without a validity bitmap.
std::string fault_of(const ArrowArray &a, std::int64_t buffers)
{
    if (a.release == nullptr)
        return "is released (release is NULL)";
    if (a.length < 0 || a.offset < 0)
        return "has length " + std::to_string(a.length) + " and offset " + std::to_string(a.offset) +
               ": neither may be negative";
    if (a.offset > INT64_MAX - a.length)
        return "has an offset and length past the largest 64-bit index";
    if (a.n_buffers != buffers || a.buffers == nullptr)
        return "has " + std::to_string(a.n_buffers) + (a.buffers == nullptr ? " buffers, NULL," : " buffers") +
               " where its type has " + std::to_string(buffers);
    if (a.null_count < -1)
        return "counts " + std::to_string(a.null_count) + " nulls";
    if (a.null_count > 0 && a.buffers[0] == nullptr)
        return "counts " + std::to_string(a.null_count) + " nulls and has no validity bitmap";
    return {};
}

// A batch against its schema: its children there, each holding the rows
// the batch reads of it (the batch's offset and length, past the child's
// own offset) in a buffer of values.
void check_batch(const ArrowArray &b, const ArrowSchema &root)
{
    if (const std::string fault = fault_of(b, 1); !fault.empty())
        refuse_structure("a batch " + fault);
    if (b.n_children != root.n_children)
        throw py::value_error("an Arrow batch does not match its schema");
    if (b.n_children > 0 && b.children == nullptr)
        refuse_structure("a batch has " + std::to_string(b.n_children) + " columns and no children");
    for (std::int64_t i = 0; i < b.n_children; ++i) {
        const std::string name = name_of(*root.children[i]);
        const ArrowArray *c = b.children[i];
        if (c == nullptr)
            refuse_column(name, "is NULL in a batch");
        if (const std::string fault = fault_of(*c, 2); !fault.empty())
            refuse_column(name, "in a batch " + fault);
        if (c->length < b.offset + b.length)
            refuse_column(name, "holds " + std::to_string(c->length) + " rows where its batch reads " +
                                    std::to_string(b.offset + b.length));
        if (b.length > 0 && c->buffers[1] == nullptr)
            refuse_column(name, "has no values (its buffer of values is NULL)");
    }
}

// ---- DLPack (its published ABI) -----------------------------------------

struct DLDevice {
    std::int32_t device_type; // kDLCPU = 1
    std::int32_t device_id;
};
struct DLDataType {
    std::uint8_t code; // kDLFloat = 2
    std::uint8_t bits;
    std::uint16_t lanes;
};
struct DLTensor {
    void *data;
    DLDevice device;
    std::int32_t ndim;
    DLDataType dtype;
    std::int64_t *shape;
    std::int64_t *strides;
    std::uint64_t byte_offset;
};
struct DLManagedTensor {
    DLTensor dl_tensor;
    void *manager_ctx;
    void (*deleter)(DLManagedTensor *);
};
struct DLPackVersion {
    std::uint32_t major, minor;
};
struct DLManagedTensorVersioned {
    DLPackVersion version;
    void *manager_ctx;
    void (*deleter)(DLManagedTensorVersioned *);
    std::uint64_t flags;
    DLTensor dl_tensor;
};
constexpr std::int32_t dl_cpu = 1;
constexpr std::uint8_t dl_float = 2;

// What a tensor holds on to: the table (its Python object, which keeps the
// storage until the tensor is gone) or a copy of its samples.
struct Tensor {
    PyObject *table = nullptr; // a reference, when the tensor is a view
    std::vector<float> copy;
    std::int64_t shape[2] = {0, 0};
    std::int64_t strides[2] = {0, 1};
    DLManagedTensor legacy{};
    DLManagedTensorVersioned versioned{};
};

void finish_tensor(Tensor *t)
{
    // The deleter may run on any thread, without the GIL; after the
    // interpreter is gone there is no table left to let go of.
    if (t->table != nullptr && Py_IsInitialized()) {
        const PyGILState_STATE gil = PyGILState_Ensure();
        py::handle(t->table).cast<Table &>().end_export();
        Py_DECREF(t->table);
        PyGILState_Release(gil);
    }
    delete t;
}

} // namespace

py::object arrow_schema(Table &t) { return schema_capsule(columns_of(t, false)); }

py::tuple arrow_array(Table &t, py::object requested_schema)
{
    refuse_requested_schema(requested_schema);
    const Shared columns = columns_of(t, true);
    return py::make_tuple(schema_capsule(columns), array_capsule(columns));
}

py::object arrow_stream(Table &t, py::object requested_schema)
{
    refuse_requested_schema(requested_schema);
    auto private_data = std::make_unique<StreamPrivate>(StreamPrivate{columns_of(t, true), false});
    auto *s = new ArrowArrayStream{stream_schema, stream_next,
                                   [](ArrowArrayStream *) -> const char * { return "out of memory"; }, release_stream,
                                   private_data.release()};
    return py::capsule(s, "arrow_array_stream", [](PyObject *c) {
        delete_capsule<ArrowArrayStream>(c, "arrow_array_stream", [](ArrowArrayStream *x) { x->release(x); });
    });
}

// Writes NaN in slot `slot` of each of `n` rows from `first` (the parent's
// offset) where the column holds a null.
void nulls_to_nan(const ArrowArray &a, std::int64_t first, std::int64_t n, float *const *dest, std::int64_t slot)
{
    if (!may_hold_nulls(a))
        return;
    for (std::int64_t r = 0; r < n; ++r)
        if (is_null(a, first + r))
            dest[r][slot] = std::numeric_limits<float>::quiet_NaN();
}

std::unique_ptr<Table> from_arrow(py::object source, bool nulls_as_nan)
{
    Imported in;
    if (py::hasattr(source, "__arrow_c_stream__")) {
        py::capsule capsule = source.attr("__arrow_c_stream__")();
        auto *s = static_cast<ArrowArrayStream *>(PyCapsule_GetPointer(capsule.ptr(), "arrow_array_stream"));
        if (s == nullptr)
            throw py::error_already_set();
        in.stream = *s; // moved: the capsule keeps a released struct
        s->release = nullptr;
        if (in.stream.release == nullptr)
            refuse_structure("its stream is released (release is NULL)");
        if (in.stream.get_schema == nullptr || in.stream.get_next == nullptr || in.stream.get_last_error == nullptr)
            refuse_structure("its stream lacks a callback (get_schema, get_next or get_last_error is NULL)");
        if (in.stream.get_schema(&in.stream, &in.schema) != 0)
            throw py::value_error("the Arrow stream gives no schema: " + in.last_error());
        if (in.schema.release == nullptr)
            refuse_structure("its stream gives no schema (get_schema succeeded and filled nothing)");
        for (;;) {
            ArrowArray batch{};
            if (in.stream.get_next(&in.stream, &batch) != 0)
                throw py::value_error("the Arrow stream fails: " + in.last_error());
            if (batch.release == nullptr)
                break;
            in.batches.push_back(batch);
        }
    } else if (py::hasattr(source, "__arrow_c_array__")) {
        py::tuple pair = source.attr("__arrow_c_array__")();
        auto *schema = static_cast<ArrowSchema *>(PyCapsule_GetPointer(py::object(pair[0]).ptr(), "arrow_schema"));
        auto *array = static_cast<ArrowArray *>(PyCapsule_GetPointer(py::object(pair[1]).ptr(), "arrow_array"));
        if (schema == nullptr || array == nullptr)
            throw py::error_already_set();
        in.schema = *schema;
        schema->release = nullptr;
        in.batches.push_back(*array);
        array->release = nullptr;
    } else {
        throw py::type_error("from_arrow() takes an object with __arrow_c_stream__ or __arrow_c_array__ (a Polars "
                             "or pandas DataFrame, a pyarrow Table, a DuckDB relation), not " +
                             type_name(source));
    }

    // The columns: floats, and an optional frame column.
    const ArrowSchema &root = in.schema;
    check_schema(root);
    if (std::strcmp(root.format, "+s") != 0)
        throw py::value_error(std::string("from_arrow() takes a table of columns (a struct), not Arrow format '") +
                              root.format + "'");
    std::vector<std::int64_t> value_columns;
    std::int64_t frame_column = -1;
    std::vector<std::string> names;
    for (std::int64_t i = 0; i < root.n_children; ++i) {
        const ArrowSchema &c = *root.children[i];
        const std::string name = c.name != nullptr ? c.name : "";
        const std::string format = c.format;
        const bool number = format.size() == 1 && std::strchr("cCsSiIlLfg", format[0]) != nullptr;
        const bool floating = format == "f" || format == "g";
        if (c.dictionary != nullptr) {
            refuse_column(name, "is dictionary-encoded: a table takes float columns (and a number column named "
                                "'frame')");
        } else if (name == "frame" && number) {
            if (frame_column >= 0)
                refuse_column(name, "comes twice: a table has one frame column");
            frame_column = i;
        } else if (floating) {
            value_columns.push_back(i);
            names.push_back(name);
        } else {
            refuse_column(name, "is of Arrow type '" + format + "': a table takes float columns (and a number "
                                "column named 'frame')");
        }
    }
    std::int64_t rows = 0;
    for (const ArrowArray &b : in.batches) {
        check_batch(b, root);
        if (b.length > INT32_MAX - rows)
            throw py::value_error("a table has at most 2147483647 rows and columns");
        if (has_nulls(b, 0, b.length))
            throw py::value_error("the Arrow table has missing rows, which a table cannot hold (fill or drop them "
                                  "first)");
        for (std::int64_t i = 0; i < b.n_children; ++i)
            if ((!nulls_as_nan || i == frame_column) && has_nulls(*b.children[i], b.offset, b.length))
                refuse_column(root.children[i]->name != nullptr ? root.children[i]->name : "",
                              "holds missing values, which a table cannot hold (fill or drop them first)");
        rows += b.length;
    }
    if (rows < 1 || value_columns.empty())
        throw py::value_error("a table is made from at least one row and one float column, not " +
                              std::to_string(rows) + " rows and " + std::to_string(value_columns.size()) + " columns");

    std::unique_ptr<Table> t = allocate(rows, static_cast<py::ssize_t>(value_columns.size()), frame_column >= 0);
    float *const *dest = t->rows();
    const auto width = static_cast<std::int64_t>(value_columns.size());
    const char frame_format = frame_column >= 0 ? root.children[frame_column]->format[0] : 0;
    {
        py::gil_scoped_release nogil;
        // The transpose a block of rows at a time, every column of it, so
        // that the rows written stay in the cache.
        constexpr std::int64_t block = 4096;
        std::int64_t at = 0;
        for (const ArrowArray &b : in.batches) {
            for (std::int64_t r = 0; r < b.length; r += block) {
                const std::int64_t n = std::min(block, b.length - r);
                for (std::int64_t k = 0; k < width; ++k) {
                    const std::int64_t column = value_columns[static_cast<std::size_t>(k)];
                    copy_column(*b.children[column], root.children[column]->format[0], b.offset + r, n,
                                dest + at + r, k);
                }
                if (frame_column >= 0)
                    copy_column(*b.children[frame_column], frame_format, b.offset + r, n, dest + at + r, width);
            }
            for (std::int64_t k = 0; nulls_as_nan && k < width; ++k)
                nulls_to_nan(*b.children[value_columns[static_cast<std::size_t>(k)]], b.offset, b.length, dest + at,
                             k);
            at += b.length;
        }
    }
    // Frame lookups find a frame's row by rising frames.
    for (std::int64_t r = 1; frame_column >= 0 && r < rows; ++r)
        if (!(dest[r][width] > dest[r - 1][width]))
            refuse_column("frame", "does not rise: row " + std::to_string(r) + " has " +
                                       py::cast<std::string>(py::repr(py::float_(dest[r][width]))) + " after " +
                                       py::cast<std::string>(py::repr(py::float_(dest[r - 1][width]))));
    // The default names (col0, col1, ... or 0, 1, ...) name nothing.
    bool col_names = true, number_names = true;
    for (std::size_t k = 0; k < names.size(); ++k) {
        col_names = col_names && names[k] == "col" + std::to_string(k);
        number_names = number_names && names[k] == std::to_string(k);
    }
    const bool defaults = col_names || number_names;
    if (!defaults) {
        py::tuple tuple(names.size());
        for (std::size_t k = 0; k < names.size(); ++k)
            tuple[k] = py::str(names[k]);
        set_columns(*t, tuple);
    }
    return t;
}

const char *const rows_not_shared = "the table's rows lie in blocks of their own: its samples cannot be shared "
                                    "without a copy (copy=None or True makes one)";

std::int64_t shared_stride(const Table &t)
{
    const Table::Extent e = t.extent();
    const std::int64_t stride = e.cols + (t.has_frames() ? 1 : 0);
    float *const *rows = t.rows();
    bool one_block = e.rows > 0 && e.cols > 0;
    for (py::ssize_t r = 1; one_block && r < e.rows; ++r)
        one_block = rows[r] == rows[0] + r * stride;
    return one_block ? stride : 0;
}

// An unconsumed capsule's destructor: a consumer renames the capsule it
// takes, and calls the deleter itself.
template <typename Managed> void drop_unconsumed(PyObject *capsule, const char *name)
{
    if (PyCapsule_IsValid(capsule, name)) {
        auto *m = static_cast<Managed *>(PyCapsule_GetPointer(capsule, name));
        m->deleter(m);
    }
}

py::object dlpack(py::object self, py::object stream, py::object max_version, py::object dl_device, py::object copy)
{
    Table &t = self.cast<Table &>();
    // The arguments first: nothing is held yet when one is refused. An
    // argument of the wrong type is a TypeError, a value no CPU tensor
    // takes a ValueError, and a device it cannot go to a BufferError, as
    // DLPack's consumers expect.
    if (!stream.is_none()) {
        if (!is_whole_number(stream))
            throw py::type_error("stream is None or an int, not " + type_name(stream));
        if (!stream.equal(py::int_(-1)))
            throw py::value_error("a table lives on the CPU: stream must be None");
    }
    if (!dl_device.is_none()) {
        const auto [type, id] = int_pair(dl_device, "dl_device", "(device type, device id)");
        if (!type.equal(py::int_(dl_cpu)) || !id.equal(py::int_(0)))
            throw py::buffer_error("a table lives on the CPU (device (1, 0)) and is not copied to another device");
    }
    bool versioned = false;
    if (!max_version.is_none()) {
        const auto [major, minor] = int_pair(max_version, "max_version", "(major, minor)");
        versioned = major >= py::int_(1);
    }
    if (!copy.is_none() && !py::isinstance<py::bool_>(copy) &&
        !py::isinstance(copy, py::module_::import("numpy").attr("bool_")))
        throw py::type_error("copy is True, False or None, not " + type_name(copy));
    const bool asked_copy = !copy.is_none() && copy.cast<bool>();
    const bool forbid_copy = !copy.is_none() && !asked_copy;

    const Table::Extent e = t.extent();
    float *const *rows = t.rows();
    const std::int64_t stride = shared_stride(t);
    const bool one_block = stride != 0;
    if (!one_block && forbid_copy)
        throw py::buffer_error(rows_not_shared);
    auto tensor = std::make_unique<Tensor>();
    tensor->shape[0] = e.rows;
    tensor->shape[1] = e.cols;
    void *data = nullptr;
    const bool share = one_block && !asked_copy;
    if (share) {
        tensor->strides[0] = stride;
        data = rows[0];
    } else {
        tensor->copy.resize(static_cast<std::size_t>(e.rows * e.cols));
        for (py::ssize_t r = 0; r < e.rows && e.cols > 0; ++r)
            std::memcpy(tensor->copy.data() + r * e.cols, rows[r], static_cast<std::size_t>(e.cols) * sizeof(float));
        tensor->strides[0] = e.cols;
        data = tensor->copy.data();
    }
    const DLTensor dl{data, DLDevice{dl_cpu, 0}, 2, DLDataType{dl_float, 32, 1}, tensor->shape, tensor->strides, 0};
    py::capsule capsule;
    if (versioned) {
        constexpr std::uint64_t is_copied = 2;
        tensor->versioned = DLManagedTensorVersioned{
            DLPackVersion{1, 0}, tensor.get(),
            [](DLManagedTensorVersioned *m) { finish_tensor(static_cast<Tensor *>(m->manager_ctx)); },
            share ? 0 : is_copied, dl};
        capsule = py::capsule(&tensor->versioned, "dltensor_versioned", [](PyObject *c) {
            drop_unconsumed<DLManagedTensorVersioned>(c, "dltensor_versioned");
        });
    } else {
        tensor->legacy = DLManagedTensor{
            dl, tensor.get(), [](DLManagedTensor *m) { finish_tensor(static_cast<Tensor *>(m->manager_ctx)); }};
        capsule = py::capsule(&tensor->legacy, "dltensor",
                              [](PyObject *c) { drop_unconsumed<DLManagedTensor>(c, "dltensor"); });
    }
    // The capsule owns the tensor now; a shared one holds the table.
    if (share) {
        tensor->table = self.ptr();
        Py_INCREF(tensor->table);
        t.begin_export();
    }
    tensor.release();
    return capsule;
}

py::tuple dlpack_device(Table &t)
{
    t.id();
    return py::make_tuple(dl_cpu, 0);
}

} // namespace gridvane_python
