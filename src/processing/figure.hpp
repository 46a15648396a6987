// pyplot figures as the preview and the report use them.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace quorvaemg {

// Newer matplotlib dropped FigureCanvas.set_window_title; the canvas's
// manager owns the window title there.  Older canvases still carry it.
void set_window_title(py::handle figure, py::handle title);

// Closes its figure on scope exit unless released, so a failed preview or
// report leaves no figure behind to turn up with the next one.
class FigureGuard {
public:
    explicit FigureGuard(py::object figure) : figure_(std::move(figure)) {}
    FigureGuard(const FigureGuard &) = delete;
    FigureGuard &operator=(const FigureGuard &) = delete;
    ~FigureGuard();

    py::handle get() const { return figure_; }
    // The figure stays open (the caller shows or closes it itself).
    void release() { figure_ = py::object(); }
    // plt.close(figure), reporting its errors.
    void close();

private:
    py::object figure_;
};

}  // namespace quorvaemg
