#include "sampling.hpp"

#include "arguments.hpp"
#include "gridvane_ext.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#    include <emmintrin.h>
#endif

using namespace pybind11::literals;

namespace gridvane_python {

void sample_many(const gridvane::table &t, const float *u, const float *v, float *out, std::size_t n) noexcept
{
    gridvane::failure ignored; // a table in use is registered, and the spans match
    t.sample({u, n}, {v, n}, {out, n}, ignored);
}

namespace {

// ---- Broadcast iteration -------------------------------------------------

// One coordinate array seen through the broadcast shape: its strides in
// bytes, 0 along every dimension it is broadcast over.
struct Operand {
    const char *data;
    bool is_double;
    std::vector<py::ssize_t> strides;
};

Operand operand(const py::array &a, const std::vector<py::ssize_t> &shape)
{
    Operand op{static_cast<const char *>(a.data()), a.itemsize() == 8, std::vector<py::ssize_t>(shape.size(), 0)};
    const auto lead = static_cast<py::ssize_t>(shape.size()) - a.ndim();
    for (py::ssize_t d = 0; d < a.ndim(); ++d)
        if (a.shape(d) != 1)
            op.strides[static_cast<std::size_t>(lead + d)] = a.strides(d);
    return op;
}

// The points of one run as contiguous float32: the operand's own memory
// when it already is that, else converted into buffer. Contiguous doubles
// also ask for the `ahead` that follow them, the next chunk's: while this
// chunk's points wait on the table's cells, those come from memory, so
// narrowing them reads the cache and the stream overlaps the sampling
// instead of following it (float32 coordinates go straight to the sampler,
// which reads them in step).
const float *gather(const Operand &op, const char *at, py::ssize_t stride, std::size_t n, std::size_t ahead,
                    float *buffer) noexcept
{
    if (!op.is_double && stride == static_cast<py::ssize_t>(sizeof(float)) &&
        reinterpret_cast<std::uintptr_t>(at) % alignof(float) == 0)
        return reinterpret_cast<const float *>(at);
    // Contiguous doubles, the commonest input, convert in a loop the
    // compiler turns into vector instructions.
    if (op.is_double && stride == static_cast<py::ssize_t>(sizeof(double)) &&
        reinterpret_cast<std::uintptr_t>(at) % alignof(double) == 0) {
        const auto *d = reinterpret_cast<const double *>(at);
        for (std::size_t i = 0; i < ahead; i += 64 / sizeof(double))
            __builtin_prefetch(d + n + i, 0, 2);
        std::size_t i = 0;
#if defined(__SSE2__)
        // Four at a time (each rounds as static_cast does): one by one, each
        // narrowing would wait on the one before, as it keeps the upper
        // lanes of the register it writes.
        for (; i + 4 <= n; i += 4)
            _mm_storeu_ps(buffer + i, _mm_movelh_ps(_mm_cvtpd_ps(_mm_loadu_pd(d + i)), _mm_cvtpd_ps(_mm_loadu_pd(d + i + 2))));
#endif
        for (; i < n; ++i)
            buffer[i] = static_cast<float>(d[i]);
        return buffer;
    }
    for (std::size_t i = 0; i < n; ++i, at += stride) {
        if (op.is_double) {
            double x;
            std::memcpy(&x, at, sizeof x);
            buffer[i] = static_cast<float>(x);
        } else {
            std::memcpy(&buffer[i], at, sizeof(float));
        }
    }
    return buffer;
}

// The broadcast shape as the operands walk it: dimensions of size 1 carry
// nothing, and neighbours that both operands walk as one are merged, so the
// innermost run is as long as it can be.
struct Walk {
    std::vector<py::ssize_t> size, su, sv;
    std::size_t points = 1;
};

Walk walk_of(const std::vector<py::ssize_t> &shape, const Operand &u, const Operand &v)
{
    Walk w;
    for (std::size_t d = 0; d < shape.size(); ++d) {
        w.points *= static_cast<std::size_t>(shape[d]);
        if (shape[d] == 1)
            continue;
        if (!w.size.empty() && w.su.back() == u.strides[d] * shape[d] && w.sv.back() == v.strides[d] * shape[d]) {
            w.size.back() *= shape[d];
            w.su.back() = u.strides[d];
            w.sv.back() = v.strides[d];
            continue;
        }
        w.size.push_back(shape[d]);
        w.su.push_back(u.strides[d]);
        w.sv.push_back(v.strides[d]);
    }
    if (w.size.empty()) { // one point
        w.size.push_back(1);
        w.su.push_back(0);
        w.sv.push_back(0);
    }
    return w;
}

constexpr std::size_t chunk = 1024;

// Samples the points [begin, end) of the broadcast shape, in C order, into
// out[begin, end): a chunk at a time, each found from its index, so memory
// beyond the result stays two small buffers whatever the broadcast.
void sample_range(const gridvane::table &table, const Walk &w, const Operand &u, const Operand &v, float *out, std::size_t begin,
                  std::size_t end) noexcept
{
    const std::size_t inner = w.size.size() - 1, run = static_cast<std::size_t>(w.size[inner]);
    float ubuf[chunk], vbuf[chunk];
    for (std::size_t k = begin; k < end;) {
        const std::size_t at = k % run;
        const char *ub = u.data, *vb = v.data;
        for (std::size_t d = inner, rest = k / run; d-- > 0; rest /= static_cast<std::size_t>(w.size[d])) {
            const auto i = static_cast<py::ssize_t>(rest % static_cast<std::size_t>(w.size[d]));
            ub += i * w.su[d];
            vb += i * w.sv[d];
        }
        const std::size_t n = std::min({chunk, run - at, end - k});
        const auto offset = static_cast<py::ssize_t>(at);
        const std::size_t next = std::min({chunk, run - at - n, end - k - n});
        const float *pu = gather(u, ub + offset * w.su[inner], w.su[inner], n, next, ubuf);
        const float *pv = gather(v, vb + offset * w.sv[inner], w.sv[inner], n, next, vbuf);
        sample_many(table, pu, pv, out + k, n);
        k += n;
    }
}

// Samples every point of the broadcast shape into out. A large batch is
// shared between the machine's cores: each thread takes the next stretch
// of points until none is left, so a thread that another process holds
// back takes fewer stretches instead of holding up the whole batch. Every
// point is the same call whichever thread makes it, so the result is the
// same bits.
void sample_broadcast(const gridvane::table &table, const std::vector<py::ssize_t> &shape, const Operand &u, const Operand &v,
                      float *out)
{
    constexpr std::size_t points_per_thread = 1 << 17, stretch = 32 * chunk;
    const Walk w = walk_of(shape, u, v);
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t threads = std::min({cores, std::size_t{16}, std::max<std::size_t>(1, w.points / points_per_thread)});
    std::atomic<std::size_t> next{0};
    const auto take_stretches = [&]() noexcept {
        for (std::size_t begin; (begin = next.fetch_add(stretch, std::memory_order_relaxed)) < w.points;)
            sample_range(table, w, u, v, out, begin, std::min(w.points, begin + stretch));
    };
    std::vector<std::thread> helpers;
    helpers.reserve(threads); // so that only starting a thread can fail below
    for (std::size_t i = 1; i < threads; ++i) {
        try {
            helpers.emplace_back(take_stretches);
        } catch (...) { // no thread to be had: the threads there are take it all
            break;
        }
    }
    take_stretches();
    for (std::thread &h : helpers)
        h.join();
}

std::vector<py::ssize_t> shape_of(const py::array &a) { return {a.shape(), a.shape() + a.ndim()}; }

// ---- Frames ----------------------------------------------------------------

[[noreturn]] void outside(const Table &t, double f)
{
    std::string text = "frame " + py::cast<std::string>(py::repr(py::float_(f))) + " is outside the table's frames";
    const std::vector<float> frames = frame_column(t);
    if (!frames.empty())
        text += " (" + py::cast<std::string>(py::repr(py::float_(frames.front()))) + " to " +
                py::cast<std::string>(py::repr(py::float_(frames.back()))) + ")";
    throw py::value_error(text);
}

void require_frames(const Table &t)
{
    if (!t.has_frames())
        throw py::value_error("the table has no frames (tables read from the table form have them, and tables "
                              "made with frames)");
}

double number(py::handle value)
{
    const double x = PyFloat_AsDouble(value.ptr());
    if (x == -1.0 && PyErr_Occurred())
        throw py::error_already_set();
    return x;
}

} // namespace

py::object sample(Table &t, py::handle u, py::handle v)
{
    t.require_samples();
    if (is_number(u) && is_number(v))
        return py::float_(t.table().sample(static_cast<float>(number(u)), static_cast<float>(number(v))));
    const py::array us = number_array(u, "u"), vs = number_array(v, "v");
    std::vector<py::ssize_t> shape;
    for (py::handle n : numpy().attr("broadcast_shapes")(us.attr("shape"), vs.attr("shape")))
        shape.push_back(py::cast<py::ssize_t>(n));
    py::array_t<float> out(shape);
    if (out.size() == 0)
        return out;
    const Operand ou = operand(us, shape), ov = operand(vs, shape);
    float *po = out.mutable_data();
    {
        InUse use(t);
        py::gil_scoped_release nogil;
        sample_broadcast(use.table, shape, ou, ov, po);
    }
    if (out.ndim() == 0)
        return py::float_(po[0]);
    return out;
}

py::object row_of_frame(Table &t, py::handle frame)
{
    require_frames(t);
    // The library's index of the frames, made anew for each call: frames
    // written since the last are seen.
    const gridvane::table &table = t.table();
    t.table().frames_changed();
    if (is_number(frame)) {
        const double f = number(frame);
        const float row = table.row_of_frame(f);
        if (row < 0.0f)
            outside(t, f);
        return py::float_(row);
    }
    const py::array frames = number_array(frame, "frames");
    const auto as_float = py::cast<py::array_t<float, py::array::c_style | py::array::forcecast>>(frames);
    py::array_t<float> out(shape_of(as_float));
    const float *f = as_float.data();
    float *rows = out.mutable_data();
    for (py::ssize_t i = 0; i < out.size(); ++i) {
        rows[i] = table.row_of_frame(static_cast<double>(f[i]));
        if (rows[i] < 0.0f)
            outside(t, f[i]);
    }
    return out;
}

py::object sample_at_frame(Table &t, py::handle frame, py::handle u)
{
    py::object rows = row_of_frame(t, frame);
    if (!u.is_none())
        return sample(t, u, rows);
    const py::ssize_t cols = t.extent().cols;
    py::object every_column = numpy().attr("arange")(cols, "dtype"_a = "float32");
    if (py::isinstance<py::float_>(rows))
        return sample(t, every_column, rows);
    // One row of samples per frame: frames.shape + (cols,).
    py::object column_of_rows = rows[py::make_tuple(py::ellipsis(), py::none())];
    return sample(t, every_column, column_of_rows);
}

} // namespace gridvane_python
