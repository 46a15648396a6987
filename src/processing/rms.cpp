#include "processing/rms.hpp"

#include "module/buffer_view.hpp"
#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"

#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

namespace quorvaemg {

py::object window_rms(py::handle a, py::handle window_size) {
    py::object a2 = module_global("power")(frozen_items(a), 2);
    py::object window =
        true_divide(module_global("ones")(window_size), module_global("float")(window_size));
    py::object res = module_global("convolve")(a2, window, "same");
    return module_global("sqrt")(res);
}

namespace {

// The exponent is read through a volatile so the compiler cannot turn
// pow(s, 2.0) into s * s: a script's `s**2` calls the C library's pow,
// which does not always round like the product does.
double square_exponent() {
    volatile double two = 2.0;
    return two;
}

// The samples as doubles when the input is float64 data that Python squares
// with pow() sample by sample: a list or tuple of floats, or a
// one-dimensional numpy array of native doubles (its elements come out as
// float64 scalars, whose ** 2 is the same pow() call).  Nothing otherwise.
std::optional<std::vector<double>> float64_samples(py::handle interval) {
    PyObject *object = interval.ptr();
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        return exact_floats(interval);
    }
    if (!py::isinstance(interval, module_global("ndarray"))) {
        return std::nullopt;
    }
    BufferView view(interval, PyBUF_RECORDS_RO, /*quiet=*/true);
    if (!view.held() || view->ndim != 1 || !holds_doubles(*view)) {
        return std::nullopt;
    }
    Py_ssize_t n = view->shape[0];
    Py_ssize_t stride = view->strides != nullptr ? view->strides[0] : view->itemsize;
    std::vector<double> values(static_cast<std::size_t>(n));
    const char *base = static_cast<const char *>(view->buf);
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::memcpy(&values[static_cast<std::size_t>(i)], base + i * stride, sizeof(double));
    }
    return values;
}

// Each window is summed afresh from 0.0, first sample to last.  Eight
// neighbouring windows are summed side by side (one accumulator each), which
// keeps every window's own order of additions and lets the adds overlap.
// `out` holds `out_size` doubles; nothing is written unless that is the
// number of samples.
void rms_of_doubles(const std::vector<double> &x, Py_ssize_t h, double *out,
                    std::size_t out_size) {
    if (out_size != x.size()) {
        raise(PyExc_SystemError, "rms: output and samples differ in length");
    }
    const Py_ssize_t n = static_cast<Py_ssize_t>(x.size());
    const double exponent = square_exponent();
    std::vector<double> squares(x.size());
    for (std::size_t j = 0; j < x.size(); ++j) {
        squares[j] = std::pow(x[j], exponent);
    }
    // A window cut short at either end.
    auto single = [&](Py_ssize_t i) {
        Py_ssize_t lo = i - h > 0 ? i - h : 0;
        Py_ssize_t hi = i + h < n ? i + h : n;
        double sum = 0.0;
        for (Py_ssize_t j = lo; j < hi; ++j) {
            sum += squares[static_cast<std::size_t>(j)];
        }
        out[i] = std::sqrt(sum / static_cast<double>(hi - lo));
    };
    constexpr Py_ssize_t lanes = 8;
    Py_ssize_t i = 0;
    for (; i < n && i < h; ++i) {
        single(i);
    }
    // Interior: every lane's window [i-h, i+h) lies inside the signal.
    for (; i + (lanes - 1) + h <= n; i += lanes) {
        double sums[lanes] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        const double *start = squares.data() + (i - h);
        for (Py_ssize_t j = 0; j < 2 * h; ++j) {
            const double *column = start + j;
            for (Py_ssize_t l = 0; l < lanes; ++l) {
                sums[l] += column[l];
            }
        }
        const double count = static_cast<double>(2 * h);
        for (Py_ssize_t l = 0; l < lanes; ++l) {
            out[i + l] = std::sqrt(sums[l] / count);
        }
    }
    for (; i < n; ++i) {
        single(i);
    }
}

// The computation exactly as a script states it, on Python objects: for any
// input that is not plain float64 data (ints, float32, objects).
void rms_of_objects(py::handle interval, Py_ssize_t n, Py_ssize_t h, py::handle rms_signal) {
    py::object two = py::int_(2);
    py::object sqrt = module_global("sqrt");
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t lo = i - h > 0 ? i - h : 0;
        Py_ssize_t hi = i + h < n ? i + h : n;
        py::object bounds = steal_or_throw(PySlice_New(py::int_(lo).ptr(), py::int_(hi).ptr(), nullptr));
        py::object window_samples = steal_or_throw(PyObject_GetItem(interval.ptr(), bounds.ptr()));
        py::object total = py::int_(0);
        for (py::handle s : window_samples) {
            total = concat(total, steal_or_throw(PyNumber_Power(s.ptr(), two.ptr(), Py_None)));
        }
        py::object mean_square = true_divide(total, py::int_(py::len(window_samples)));
        rms_signal[py::int_(i)] = sqrt(mean_square);
    }
}

}  // namespace

py::object rms(py::handle interval, py::handle halfwindow) {
    Py_ssize_t n = PyObject_Size(interval.ptr());
    if (n < 0) {
        throw py::error_already_set();
    }
    py::object rms_signal = module_global("zeros")(n);
    if (n == 0) {
        return rms_signal;
    }
    // Window bounds are slice indices: they must be integers.  A half window
    // past the signal length sees the whole signal, as n itself does.
    Py_ssize_t h = PyNumber_AsSsize_t(steal_or_throw(PyNumber_Index(halfwindow.ptr())).ptr(), nullptr);
    if (h > n) {
        h = n;
    }
    if (h <= 0) {
        raise(PyExc_ZeroDivisionError, "division by zero");
    }
    // The copy is taken after the last Python code of this call has run
    // (len, zeros, __index__), and it is used only when it still holds the n
    // samples the output was sized for.  A sequence that lied about its
    // length or was resized meanwhile takes the object path, which reads it
    // through Python exactly as the loop would.
    std::optional<std::vector<double>> samples = float64_samples(interval);
    if (!samples || samples->size() != static_cast<std::size_t>(n)) {
        rms_of_objects(interval, n, h, rms_signal);
        return rms_signal;
    }
    BufferView out(rms_signal, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT, /*quiet=*/false);
    if (out->len != n * static_cast<Py_ssize_t>(sizeof(double)) || !holds_doubles(*out)) {
        raise(PyExc_TypeError, "zeros() did not give a float64 array");
    }
    rms_of_doubles(*samples, h, static_cast<double *>(out->buf), static_cast<std::size_t>(n));
    return rms_signal;
}

void register_rms(py::module_ &m) {
    define(m, "rms", [](py::object interval, py::object halfwindow) { return rms(interval, halfwindow); },
          py::arg("interval"), py::arg("halfwindow"),
          " performs the moving-window smoothing of a signal using RMS ");
    define(m, "window_rms",
          [](py::object a, py::object window_size) { return window_rms(a, window_size); },
          py::arg("a"), py::arg("window_size"));
}

}  // namespace quorvaemg
