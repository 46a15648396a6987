// Building Tk widgets through the tkinter module object, and reading them.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace quorvaemg::ui {

// tk.<kind>(master, **options), e.g. make_widget(tk, "Label", root, options).
py::object make_widget(py::handle tk, const char *kind, py::handle master, const py::dict &options);

// widget.grid(**options); returns the widget for chaining.
py::object place(py::object widget, const py::dict &grid);

// A fresh tk.IntVar / tk.StringVar owned by `master`.
py::object make_int_var(py::handle tk, py::handle master);
py::object make_string_var(py::handle tk, py::handle master);

// var.get(): a switch or selection flag as Tk holds it (an int).
py::object read_var(py::handle var);

// entry.get(): the whole current text, unchanged, also when disabled.
py::object read_entry(py::handle entry);

// widget.configure(state="normal"/"disabled").
void set_enabled(py::handle widget, bool enabled);

}  // namespace quorvaemg::ui
