#include "processing/figure.hpp"

#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"

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
    if (figure_) {
        quiet_cleanup([this] { close(); });
    }
}

void FigureGuard::close() {
    py::object figure = std::move(figure_);
    module_global("plt").attr("close")(figure);
}

}  // namespace quorvaemg
