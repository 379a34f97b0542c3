// Bilinear sampling of numbers and arrays, and the frame lookups that turn
// frames into rows.
#pragma once

#include "table.hpp"

#include <cstddef>
#include <cstdint>

namespace gridvane_python {

// The call every sample ends in: n points of contiguous float32
// coordinates, each exactly ArrayGetValue(id, u[i], v[i]), through the
// library's batch sampler. Runs without the GIL.
void sample_many(const gridvane::table &t, const float *u, const float *v, float *out, std::size_t n) noexcept;

// t.sample(u, v): numbers give a float, arrays broadcast together give a
// float32 array of the broadcast shape, without the broadcast coordinates
// ever being made.
py::object sample(Table &t, py::handle u, py::handle v);

// t.row_of_frame(frame): a frame (any number, rounded to float32) or an
// array of them, as fractional rows, by ArrayFrameGetV's arithmetic.
py::object row_of_frame(Table &t, py::handle frame);

// t.sample_at_frame(frame, u=None).
py::object sample_at_frame(Table &t, py::handle frame, py::handle u);

} // namespace gridvane_python
