#include "arguments.hpp"

#include "gridvane_ext.h"

#include <climits>

using namespace pybind11::literals;

namespace gridvane_python {

py::module_ numpy() { return py::module_::import("numpy"); }

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

std::string file_name(py::handle path)
{
    std::string name = py::cast<std::string>(py::module_::import("os").attr("fsencode")(path));
    if (name.find('\0') != std::string::npos)
        throw py::value_error("embedded null byte in file name");
    return name;
}

namespace {

std::string kind_text(py::handle kind)
{
    if (py::isinstance<py::str>(kind)) {
        const auto text = py::cast<std::string>(kind);
        if (gridvane_form_of_word(text.c_str()) >= 0)
            return text;
    }
    throw py::value_error("kind must be 'ascii' or 'binary', not " + py::cast<std::string>(py::repr(kind)));
}

} // namespace

std::int32_t read_form(py::handle kind)
{
    if (kind.is_none())
        return GRIDVANE_FORM_DECIDE;
    return gridvane_form_of_word(kind_text(kind).c_str());
}

std::string write_kind(py::handle kind) { return kind.is_none() ? std::string() : kind_text(kind); }

namespace {

// Number kinds of numpy dtypes: bool, signed, unsigned, floating.
bool number_kind(char kind) { return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f'; }

} // namespace

bool is_number(py::handle value)
{
    if (PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr()))
        return true;
    if (!py::isinstance<py::array>(value) && !py::isinstance(value, numpy().attr("generic")))
        return false;
    const py::array a = py::reinterpret_borrow<py::object>(numpy().attr("asarray")(value));
    return a.ndim() == 0 && number_kind(a.dtype().kind());
}

py::array number_array(py::handle value, const char *what)
{
    py::array a = numpy().attr("asarray")(value);
    const char kind = a.dtype().kind();
    if (!number_kind(kind))
        throw py::type_error(std::string(what) + " must be numbers or arrays of numbers, not " +
                             py::cast<std::string>(py::type::of(value).attr("__name__")) +
                             (py::isinstance<py::array>(value) ? " of " + py::cast<std::string>(py::str(a.dtype())) : ""));
    if (kind == 'f' && (a.itemsize() == 4 || a.itemsize() == 8))
        return a;
    return numpy().attr("asarray")(a, "dtype"_a = "float32");
}

Buffer::Buffer(py::handle source)
{
    if (PyObject_GetBuffer(source.ptr(), &view_, PyBUF_SIMPLE) != 0)
        throw py::error_already_set();
}

} // namespace gridvane_python
