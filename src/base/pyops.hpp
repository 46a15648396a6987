// Python's own operations, reached through the C API.
//
// The module's functions behave as if a host script had written them in
// Python: an unpacking, an int() conversion or a string concatenation fails
// with the very exception (type and message) that Python would raise.  Every
// helper here returns owning references and throws py::error_already_set on
// failure, so nothing escapes as a C++ exception of another kind.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <vector>

namespace py = pybind11;

namespace quorvaemg {

// Owns the new reference a C API call returned, or throws the error it set.
py::object steal_or_throw(PyObject *result);

// A global name as code of `module` finds it when it runs: the module's
// namespace (as bound at start-up, or rebound by the host since), looked up
// now, else builtins; NameError when neither has it.
py::object global_name(py::handle module, const char *name);

// `x0, x1, ... = value` with exactly `expected` targets.
std::vector<py::object> unpack(py::handle value, std::size_t expected);

// int(value): texts with surrounding blanks accepted, numbers truncated.
py::object to_int(py::handle value);

// int(value) reduced to a C index; raises OverflowError past Py_ssize_t.
Py_ssize_t to_ssize(py::handle value);

// str(value).
py::str to_text(py::handle value);

// lhs + rhs, e.g. str + str with Python's TypeError for anything else.
py::object concat(py::handle lhs, py::handle rhs);

// lhs * rhs, lhs - rhs and lhs / rhs with Python's own number rules.
py::object multiply(py::handle lhs, py::handle rhs);
py::object subtract(py::handle lhs, py::handle rhs);
py::object true_divide(py::handle lhs, py::handle rhs);

// Concatenation of several operands from left to right.
py::object concat_all(std::initializer_list<py::handle> parts);

// sequence[index] and sequence[start:stop].
py::object item(py::handle sequence, Py_ssize_t index);
py::object head(py::handle sequence, Py_ssize_t stop);

// A plain list as a tuple of the same items, anything else as it is.  numpy
// reads a plain list's items through borrowed pointers while it calls back
// into Python for each of them (__len__, __float__, ...); an item that
// changes the list then leaves numpy reading freed objects.  A tuple that
// only the module holds cannot change underneath it.  (numpy copies a list
// subclass itself before reading it.)
py::object frozen_items(py::handle value);

// The items of a list or tuple of exact floats, read without running any
// Python code, so the sequence cannot change under the reading; nothing for
// any other input.
std::optional<std::vector<double>> exact_floats(py::handle sequence);

// bool(value).
bool truth(py::handle value);

// value.get() of a Tk variable or of anything that offers `get`.
py::object get_value(py::handle variable);

// Keeps the pending Python error aside for its lifetime, so clean-up code
// may call Python while an exception is on its way out; whatever that
// clean-up raises itself is dropped in favour of the original error.
class PreservedError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    PreservedError() : error_(PyErr_GetRaisedException()) {}
    ~PreservedError() {
        PyErr_Clear();
        PyErr_SetRaisedException(error_);
    }
#else
    PreservedError() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PreservedError() {
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }
#endif
    PreservedError(const PreservedError &) = delete;
    PreservedError &operator=(const PreservedError &) = delete;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *error_ = nullptr;
#else
    PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
#endif
};

// Runs `cleanup` under a PreservedError, swallowing its Python errors.
template <typename Cleanup>
void quiet_cleanup(Cleanup &&cleanup) noexcept {
    PreservedError pending;
    try {
        cleanup();
    } catch (py::error_already_set &) {
    } catch (...) {
    }
}

// Raises `type` with `message` from inside a C++ function.
[[noreturn]] void raise(PyObject *type, const char *message);

}  // namespace quorvaemg
