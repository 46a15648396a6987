#include "gait/cycle_args.hpp"

#include <cmath>
#include <cstring>
#include <sstream>

#include "base/pyops.hpp"

namespace quorvaemg::gait::cycles {

std::string cycle_shape_text(const DoubleArray &array) {
    std::ostringstream text;
    text << "(";
    for (py::ssize_t d = 0; d < array.ndim(); ++d) {
        text << (d ? ", " : "") << array.shape(d);
    }
    text << (array.ndim() == 1 ? ",)" : ")");
    return text.str();
}

namespace {

std::string cycle_type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }


DoubleArray cycle_convert(py::handle value, const std::string &name) {
    if (value.is_none() || PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) {
        refuse(PyExc_TypeError, name + " must be an array of numbers, not " + cycle_type_name(value));
    }
    // A plain list is read through a tuple copy: its items cannot change
    // while numpy reads them.
    py::object items = frozen_items(value);
    auto array = DoubleArray::ensure(items);
    if (!array) {
        refuse(PyExc_TypeError, name + " must be an array of numbers, not " + cycle_type_name(value));
    }
    return array;
}

void cycle_check_finite(const DoubleArray &array, const std::string &name) {
    const double *data = array.data();
    if (all_finite(data, static_cast<std::size_t>(array.size()))) {
        return;
    }
    for (py::ssize_t i = 0; i < array.size(); ++i) {
        if (!std::isfinite(data[i])) {
            refuse(PyExc_ValueError, name + " holds a value that is not finite (" +
                                         number_text(data[i]) + ")");
        }
    }
}

void cycle_check_ndim(const DoubleArray &array, const std::string &name, int ndim) {
    if (array.ndim() != ndim) {
        refuse(PyExc_ValueError, name + " must have " + std::to_string(ndim) +
                                     " dimension(s), not shape " + cycle_shape_text(array));
    }
}

}  // namespace

std::string number_text(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

void refuse(PyObject *type, const std::string &message) { raise(type, message.c_str()); }

DoubleArray finite_array(py::handle value, const std::string &name, int ndim, bool allow_empty) {
    DoubleArray array = cycle_convert(value, name);
    cycle_check_ndim(array, name, ndim);
    if (array.size() == 0 && !allow_empty) {
        refuse(PyExc_ValueError, name + " is empty");
    }
    cycle_check_finite(array, name);
    return array;
}

DoubleArray gappy_samples(py::handle value, const std::string &name, py::ssize_t columns) {
    DoubleArray array = cycle_convert(value, name);
    if (columns == 0) {
        cycle_check_ndim(array, name, 1);
    } else if (array.ndim() != 2 || array.shape(1) != columns) {
        refuse(PyExc_ValueError, name + " must have shape (frames, " + std::to_string(columns) +
                                     "), not " + cycle_shape_text(array));
    }
    // Counted rather than searched: the loop runs on whole vectors of values.
    const double *data = array.data();
    std::size_t infinite = 0;
    for (py::ssize_t i = 0; i < array.size(); ++i) {
        infinite += std::fabs(data[i]) == HUGE_VAL ? 1 : 0;
    }
    if (infinite) {
        refuse(PyExc_ValueError, name + " holds an infinite value (a gap is NaN)");
    }
    return array;
}

DoubleArray samples_array(py::handle value, const std::string &name) {
    DoubleArray array = cycle_convert(value, name);
    cycle_check_ndim(array, name, 1);
    if (array.size() == 0) {
        refuse(PyExc_ValueError, name + " is empty");
    }
    return array;
}

DoubleArray finite_curves(py::handle value, const std::string &name) {
    DoubleArray array = cycle_convert(value, name);
    cycle_check_ndim(array, name, array.ndim() == 2 ? 2 : 1);
    if (array.size() == 0) {
        refuse(PyExc_ValueError, name + " is empty");
    }
    cycle_check_finite(array, name);
    return array;
}

DoubleArray number_table(py::handle value, const std::string &name, py::ssize_t columns,
                         bool wider) {
    DoubleArray table = cycle_convert(value, name);
    if (table.size() == 0) {
        return DoubleArray(std::vector<py::ssize_t>{0, columns});
    }
    cycle_check_ndim(table, name, 2);
    if (table.shape(1) != columns && !(wider && table.shape(1) > columns)) {
        refuse(PyExc_ValueError, name + " must have " + std::to_string(columns) +
                                     (wider ? " or more" : "") + " columns, not shape " +
                                     cycle_shape_text(table));
    }
    cycle_check_finite(table, name);
    return table;
}

Values values_of(const DoubleArray &array) {
    return {array.data(), static_cast<std::size_t>(array.size())};
}

double finite_number(py::handle value, const std::string &name) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) {
        refuse(PyExc_TypeError, name + " must be a number, not " + cycle_type_name(value));
    }
    const double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        refuse(PyExc_TypeError, name + " must be a number, not " + cycle_type_name(value));
    }
    if (!std::isfinite(number)) {
        refuse(PyExc_ValueError, name + " must be finite, not " + number_text(number));
    }
    return number;
}

double positive_number(py::handle value, const std::string &name) {
    const double number = finite_number(value, name);
    if (!(number > 0.0)) {
        refuse(PyExc_ValueError, name + " must be above 0, not " + number_text(number));
    }
    return number;
}

std::size_t whole_number(py::handle value, const std::string &name, std::size_t minimum) {
    if (!PyIndex_Check(value.ptr()) || PyBool_Check(value.ptr())) {
        refuse(PyExc_TypeError, name + " must be an integer, not " + cycle_type_name(value));
    }
    Py_ssize_t number = 0;
    try {
        number = to_ssize(value);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OverflowError)) {
            throw;
        }
        refuse(PyExc_ValueError, name + " is too large");
    }
    if (number < 0 || static_cast<std::size_t>(number) < minimum) {
        refuse(PyExc_ValueError, name + " must be at least " + std::to_string(minimum) + ", not " +
                                     number_text(number));
    }
    return static_cast<std::size_t>(number);
}

py::array_t<double> new_array(const std::vector<double> &data, std::vector<py::ssize_t> shape) {
    py::array_t<double> out(shape);
    if (!data.empty()) {
        std::memcpy(out.mutable_data(), data.data(), data.size() * sizeof(double));
    }
    return out;
}

py::list period_list(const std::vector<Period> &periods) {
    py::list out;
    for (const Period &p : periods) {
        out.append(py::make_tuple(p.first, p.second));
    }
    return out;
}

}  // namespace quorvaemg::gait::cycles
