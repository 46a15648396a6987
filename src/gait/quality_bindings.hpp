// Between Python and the quality checks: validated inputs, thresholds from
// keyword arguments, results as dicts.
#pragma once

#include "gait/quality_checks.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

namespace py = pybind11;

namespace quorvaemg::gait::quality {

// `value` as a one-dimensional float64 array of finite samples, at least
// one; TypeError or ValueError naming `what` otherwise.
py::array_t<double> channel_array(py::handle value, const std::string &what);

// A finite sampling rate above 0, else TypeError or ValueError naming `what`.
double sampling_rate(py::handle value, const char *what);

// The defaults with the keyword arguments applied; an unknown name, a
// value out of its kind's range (a low_hz at or above the Nyquist frequency
// of `rate` included) or a doubtful bound past its unusable one raises
// TypeError or ValueError.
Thresholds thresholds_from(const py::kwargs &kwargs, double rate);

// The checks of one validated array.
ChannelQuality check_array(Checker &checker, const py::array_t<double> &samples, double rate);

py::dict to_dict(const ChannelQuality &q);
// `what` names the row in errors.
ChannelQuality from_dict(py::handle row, const std::string &what);

}  // namespace quorvaemg::gait::quality
