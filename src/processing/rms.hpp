// Moving-window RMS envelopes.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace quorvaemg {

// Uniform window of `window_size` taps, zero beyond the ends, divided by the
// window size: sqrt(convolve(a**2, ones(W)/float(W), "same")).
py::object window_rms(py::handle a, py::handle window_size);

// Loop form: window [i-h, i+h) cut at the ends, divided by the samples in it.
py::object rms(py::handle interval, py::handle halfwindow);

}  // namespace quorvaemg
