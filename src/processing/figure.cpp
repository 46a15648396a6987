#include "processing/figure.hpp"

#include "module/pyops.hpp"

namespace quorvaemg {

void set_window_title(py::handle figure, py::handle title) {
    py::object canvas = figure.attr("canvas");
    py::object manager = py::getattr(canvas, "manager", py::none());
    if (!manager.is_none()) {
        manager.attr("set_window_title")(title);
    } else {
        canvas.attr("set_window_title")(title);
    }
}

FigureGuard::~FigureGuard() {
    if (!figure_) {
        return;
    }
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    try {
        module_global("plt").attr("close")(figure_);
    } catch (py::error_already_set &) {
        // The error that brought us here is the one to report.
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

void FigureGuard::close() {
    py::object figure = std::move(figure_);
    module_global("plt").attr("close")(figure);
}

}  // namespace quorvaemg
