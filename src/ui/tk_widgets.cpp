#include "ui/tk_widgets.hpp"

#include "base/pyops.hpp"

#include <cstring>

namespace quorvaemg::ui {

namespace {

// Tk turns lists and tuples into Tcl lists element by element, and the
// interpreter's converter trusts them blindly: a list that contains itself
// overflows the C stack, and an element whose str() fails is not caught.
// Either would take the host application down.  Such values are rebuilt
// here first, as Tk would read them: nested tuples of plain texts and
// numbers, every other element turned into its str() (which is all Tk
// would make of it), refusing runaway nesting as Python refuses runaway
// recursion.
constexpr int deepest_tk_list = 64;
constexpr long largest_tk_list = 1000000;

bool tk_reads_natively(PyObject *object) {
    return PyUnicode_Check(object) || PyBytes_Check(object) || PyLong_Check(object) ||
           PyFloat_Check(object) || std::strcmp(Py_TYPE(object)->tp_name, "_tkinter.Tcl_Obj") == 0;
}

py::object as_tk_list(py::handle value, int depth, long &visited) {
    PyObject *object = value.ptr();
    if (depth > deepest_tk_list) {
        raise(PyExc_RecursionError, "value nested too deeply to hand to Tk");
    }
    // A snapshot of the very items Tk would read.
    py::tuple items = steal_or_throw(PySequence_Tuple(object));
    visited += static_cast<long>(items.size());
    if (visited > largest_tk_list) {
        raise(PyExc_ValueError, "value too large to hand to Tk");
    }
    py::tuple converted(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        py::handle element = items[i];
        if (PyList_Check(element.ptr()) || PyTuple_Check(element.ptr())) {
            converted[i] = as_tk_list(element, depth + 1, visited);
        } else if (tk_reads_natively(element.ptr())) {
            converted[i] = element;
        } else {
            converted[i] = to_text(element);
        }
    }
    return std::move(converted);
}

py::object as_tk_value(py::handle value) {
    if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
        long visited = 0;
        return as_tk_list(value, 0, visited);
    }
    return py::reinterpret_borrow<py::object>(value);
}

}  // namespace

py::object make_widget(py::handle tk, const char *kind, py::handle master, const py::dict &options) {
    py::dict safe;
    for (auto option : options) {
        safe[option.first] = as_tk_value(option.second);
    }
    return tk.attr(kind)(master, **safe);
}

py::object place(py::object widget, const py::dict &grid) {
    widget.attr("grid")(**grid);
    return widget;
}

py::object make_int_var(py::handle tk, py::handle master) { return tk.attr("IntVar")(master); }

py::object make_string_var(py::handle tk, py::handle master) {
    return tk.attr("StringVar")(master);
}

py::object read_var(py::handle var) { return get_value(var); }

py::object read_entry(py::handle entry) { return get_value(entry); }

void set_enabled(py::handle widget, bool enabled) {
    widget.attr("configure")(py::arg("state") = enabled ? "normal" : "disabled");
}

}  // namespace quorvaemg::ui
