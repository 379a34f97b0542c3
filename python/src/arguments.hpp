// Python arguments as the library takes them: whole numbers, file names,
// forms, coordinates, buffers.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace gridvane_python {

namespace py = pybind11;

py::module_ numpy();

// An integer argument (anything with __index__), saturated at the limits of
// long long so that any Python int has an answer.
long long whole_number(py::handle value);

// A path (str, bytes or os.PathLike) as the bytes the library opens.
std::string file_name(py::handle path);

// kind= of a read: None (the name or the content decides), 'ascii' or
// 'binary', as a GRIDVANE_FORM_ code.
std::int32_t read_form(py::handle kind);

// kind= of a write ('ascii', 'binary' or None) as a table kind name.
std::string write_kind(py::handle kind);

// A number for a coordinate or a frame: a Python int or float, or a numpy
// scalar or 0-d array of a number type. Strings, None and the rest are not.
bool is_number(py::handle value);

// Coordinates or frames as an array numpy can broadcast, float32 or float64
// as they are (other number types become float32, as a C caller's argument
// would); TypeError for what holds no numbers.
py::array number_array(py::handle value, const char *what);

// A Python buffer held for as long as the library reads it.
class Buffer {
public:
    explicit Buffer(py::handle source);
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    char *data() const { return static_cast<char *>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

} // namespace gridvane_python
