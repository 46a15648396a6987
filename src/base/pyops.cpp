#include "base/pyops.hpp"

namespace quorvaemg {

py::object steal_or_throw(PyObject *result) {
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw py::error_already_set();
}

py::object global_name(py::handle module, const char *name) {
    py::dict names = module.attr("__dict__");
    if (names.contains(name)) {
        return names[name];
    }
    py::dict builtins = py::module_::import("builtins").attr("__dict__");
    if (builtins.contains(name)) {
        return builtins[name];
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
}

std::vector<py::object> unpack(py::handle value, std::size_t expected) {
    PyObject *iterator = PyObject_GetIter(value.ptr());
    if (iterator == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    auto it = py::reinterpret_steal<py::object>(iterator);
    std::vector<py::object> values;
    values.reserve(expected);
    while (values.size() < expected) {
        PyObject *next = PyIter_Next(it.ptr());
        if (next == nullptr) {
            if (PyErr_Occurred()) {
                throw py::error_already_set();
            }
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)",
                         expected, values.size());
            throw py::error_already_set();
        }
        values.push_back(py::reinterpret_steal<py::object>(next));
    }
    PyObject *extra = PyIter_Next(it.ptr());
    if (extra != nullptr) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", expected);
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return values;
}

py::object to_int(py::handle value) { return steal_or_throw(PyNumber_Long(value.ptr())); }

Py_ssize_t to_ssize(py::handle value) {
    py::object index = steal_or_throw(PyNumber_Index(value.ptr()));
    Py_ssize_t result = PyNumber_AsSsize_t(index.ptr(), PyExc_OverflowError);
    if (result == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return result;
}

py::str to_text(py::handle value) {
    return py::reinterpret_steal<py::str>(steal_or_throw(PyObject_Str(value.ptr())).release());
}

py::object concat(py::handle lhs, py::handle rhs) {
    return steal_or_throw(PyNumber_Add(lhs.ptr(), rhs.ptr()));
}

py::object multiply(py::handle lhs, py::handle rhs) {
    return steal_or_throw(PyNumber_Multiply(lhs.ptr(), rhs.ptr()));
}

py::object subtract(py::handle lhs, py::handle rhs) {
    return steal_or_throw(PyNumber_Subtract(lhs.ptr(), rhs.ptr()));
}

py::object true_divide(py::handle lhs, py::handle rhs) {
    return steal_or_throw(PyNumber_TrueDivide(lhs.ptr(), rhs.ptr()));
}

py::object concat_all(std::initializer_list<py::handle> parts) {
    auto part = parts.begin();
    py::object result = py::reinterpret_borrow<py::object>(*part);
    for (++part; part != parts.end(); ++part) {
        result = concat(result, *part);
    }
    return result;
}

py::object item(py::handle sequence, Py_ssize_t index) {
    py::object key = py::int_(index);
    return steal_or_throw(PyObject_GetItem(sequence.ptr(), key.ptr()));
}

py::object head(py::handle sequence, Py_ssize_t stop) {
    py::object key = steal_or_throw(PySlice_New(nullptr, py::int_(stop).ptr(), nullptr));
    return steal_or_throw(PyObject_GetItem(sequence.ptr(), key.ptr()));
}

py::object frozen_items(py::handle value) {
    if (PyList_CheckExact(value.ptr())) {
        return steal_or_throw(PySequence_Tuple(value.ptr()));
    }
    return py::reinterpret_borrow<py::object>(value);
}

bool truth(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) {
        throw py::error_already_set();
    }
    return result != 0;
}

py::object get_value(py::handle variable) { return variable.attr("get")(); }

std::optional<std::vector<double>> exact_floats(py::handle sequence) {
    PyObject *object = sequence.ptr();
    if (!PyList_CheckExact(object) && !PyTuple_CheckExact(object)) {
        return std::nullopt;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(object);
    PyObject **items = PySequence_Fast_ITEMS(object);
    std::vector<double> values(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyFloat_CheckExact(items[i])) {
            return std::nullopt;
        }
        values[static_cast<std::size_t>(i)] = PyFloat_AS_DOUBLE(items[i]);
    }
    return values;
}

}  // namespace quorvaemg
