// Arguments of the gait functions as Python hands them over: converted to
// what the numeric core takes, or refused with an exception that names the
// argument.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <vector>

#include "gait/cycle_math.hpp"

namespace py = pybind11;

namespace quorvaemg::gait::cycles {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

[[noreturn]] void refuse(PyObject *type, const std::string &message);

// `value` as a C-ordered float64 array of `ndim` dimensions holding only
// finite numbers; empty only when `allow_empty`.
DoubleArray finite_array(py::handle value, const std::string &name, int ndim, bool allow_empty);

// Samples of a channel, 1-D and not empty.  Their values are checked where
// the cycles read them (see NonFiniteCycle): a whole trial's envelope is
// large, and a check of every value cost as much as the analysis itself.
DoubleArray samples_array(py::handle value, const std::string &name);

// One curve (1-D) or several (2-D, a curve per row), non-empty and finite.
DoubleArray finite_curves(py::handle value, const std::string &name);

// A table of `columns` columns (or more, when `wider` is allowed), rows of
// finite numbers; any empty input is a table of no rows.
DoubleArray number_table(py::handle value, const std::string &name, py::ssize_t columns,
                         bool wider = false);

// Samples of `columns` coordinates a row, n x columns (1-D when `columns` is
// 0), where NaN marks a gap; infinities are refused.
DoubleArray gappy_samples(py::handle value, const std::string &name, py::ssize_t columns);

// An array's shape as numpy prints it, e.g. "(8, 101)".
std::string cycle_shape_text(const DoubleArray &array);

// A number as a message shows it.
std::string number_text(double value);

Values values_of(const DoubleArray &array);

// float(value), finite.
double finite_number(py::handle value, const std::string &name);

// A finite number above 0.
double positive_number(py::handle value, const std::string &name);

// An integer (int or numpy integer, not a float) of at least `minimum`.
std::size_t whole_number(py::handle value, const std::string &name, std::size_t minimum);

// A new array of `shape` holding `data` (row after row).
py::array_t<double> new_array(const std::vector<double> &data, std::vector<py::ssize_t> shape);

// Periods as a list of (on, off) tuples.
py::list period_list(const std::vector<Period> &periods);

}  // namespace quorvaemg::gait::cycles
