// A Python buffer held for a scope.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>

namespace py = pybind11;

namespace quorvaemg {

// A buffer of a Python object, released however the scope is left.
class BufferView {
public:
    // Throws the buffer error unless `quiet`, which leaves the view empty.
    BufferView(py::handle object, int flags, bool quiet) {
        if (PyObject_GetBuffer(object.ptr(), &view_, flags) == 0) {
            held_ = true;
        } else if (quiet) {
            PyErr_Clear();
        } else {
            throw py::error_already_set();
        }
    }
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;
    ~BufferView() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    bool held() const { return held_; }
    const Py_buffer &operator*() const { return view_; }
    const Py_buffer *operator->() const { return &view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Native float64 items ("d", "@d" or "=d").
inline bool holds_doubles(const Py_buffer &view) {
    return view.format != nullptr && view.itemsize == static_cast<Py_ssize_t>(sizeof(double)) &&
           (std::strcmp(view.format, "d") == 0 || std::strcmp(view.format, "@d") == 0 ||
            std::strcmp(view.format, "=d") == 0);
}

}  // namespace quorvaemg
