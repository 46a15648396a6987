#include "processing/rms.hpp"

#include "module/pyops.hpp"
#include "module/quorvaemg.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace quorvaemg {

py::object window_rms(py::handle a, py::handle window_size) {
    py::object a2 = module_global("power")(a, 2);
    py::object size = py::reinterpret_borrow<py::object>(window_size);
    py::object window = module_global("ones")(size);
    window = py::reinterpret_steal<py::object>(
        PyNumber_TrueDivide(window.ptr(), module_global("float")(size).ptr()));
    if (!window) {
        throw py::error_already_set();
    }
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

// Samples as doubles when the input is float64 data that Python would square
// with pow() on each float; nullopt-like empty flag for anything else.
struct Float64Samples {
    bool usable = false;
    std::vector<double> values;
};

Float64Samples float64_samples(py::handle interval) {
    Float64Samples samples;
    PyObject *object = interval.ptr();
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(object);
        PyObject **items = PySequence_Fast_ITEMS(object);
        samples.values.resize(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!PyFloat_CheckExact(items[i])) {
                samples.values.clear();
                return samples;
            }
            samples.values[static_cast<std::size_t>(i)] = PyFloat_AS_DOUBLE(items[i]);
        }
        samples.usable = true;
        return samples;
    }
    if (!PyObject_CheckBuffer(object)) {
        return samples;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return samples;
    }
    // Only a one-dimensional array of native doubles: its elements come out
    // as numpy float64 scalars, whose ** 2 is the same pow() call.
    bool native_double = view.ndim == 1 && view.format != nullptr &&
                         (std::strcmp(view.format, "d") == 0 || std::strcmp(view.format, "@d") == 0 ||
                          std::strcmp(view.format, "=d") == 0) &&
                         view.itemsize == static_cast<Py_ssize_t>(sizeof(double)) &&
                         py::isinstance(interval, module_global("ndarray"));
    if (native_double) {
        Py_ssize_t n = view.shape[0];
        Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
        samples.values.resize(static_cast<std::size_t>(n));
        const char *base = static_cast<const char *>(view.buf);
        for (Py_ssize_t i = 0; i < n; ++i) {
            std::memcpy(&samples.values[static_cast<std::size_t>(i)], base + i * stride,
                        sizeof(double));
        }
        samples.usable = true;
    }
    PyBuffer_Release(&view);
    return samples;
}

// Each window is summed afresh from 0.0, first sample to last.  Eight
// neighbouring windows are summed side by side (one accumulator each), which
// keeps every window's own order of additions and lets the adds overlap.
void rms_of_doubles(const std::vector<double> &x, Py_ssize_t h, double *out) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(x.size());
    const double exponent = square_exponent();
    std::vector<double> squares(x.size());
    for (std::size_t j = 0; j < x.size(); ++j) {
        squares[j] = std::pow(x[j], exponent);
    }
    auto bounds = [n, h](Py_ssize_t i, Py_ssize_t &lo, Py_ssize_t &hi) {
        lo = i - h > 0 ? i - h : 0;
        hi = i + h < n ? i + h : n;
    };
    auto single = [&](Py_ssize_t i) {
        Py_ssize_t lo, hi;
        bounds(i, lo, hi);
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
    while (i < n) {
        single(i++);
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
        py::object bounds = py::reinterpret_steal<py::object>(
            PySlice_New(py::int_(lo).ptr(), py::int_(hi).ptr(), nullptr));
        if (!bounds) {
            throw py::error_already_set();
        }
        py::object window_samples =
            py::reinterpret_steal<py::object>(PyObject_GetItem(interval.ptr(), bounds.ptr()));
        if (!window_samples) {
            throw py::error_already_set();
        }
        py::object total = py::int_(0);
        for (py::handle s : window_samples) {
            py::object square = py::reinterpret_steal<py::object>(
                PyNumber_Power(s.ptr(), two.ptr(), Py_None));
            if (!square) {
                throw py::error_already_set();
            }
            total = concat(total, square);
        }
        py::object count = py::int_(py::len(window_samples));
        py::object mean_square =
            py::reinterpret_steal<py::object>(PyNumber_TrueDivide(total.ptr(), count.ptr()));
        if (!mean_square) {
            throw py::error_already_set();
        }
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
    // Window bounds are slice indices: they must be integers.
    py::object h_index = py::reinterpret_steal<py::object>(PyNumber_Index(halfwindow.ptr()));
    if (!h_index) {
        throw py::error_already_set();
    }
    // A half window past the signal length sees the whole signal, as does n.
    Py_ssize_t h = PyNumber_AsSsize_t(h_index.ptr(), nullptr);
    if (h > n) {
        h = n;
    }
    if (h <= 0) {
        raise(PyExc_ZeroDivisionError, "division by zero");
    }
    Float64Samples samples = float64_samples(interval);
    if (!samples.usable) {
        rms_of_objects(interval, n, h, rms_signal);
        return rms_signal;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(rms_signal.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS |
                                                        PyBUF_FORMAT) != 0) {
        throw py::error_already_set();
    }
    bool fits = view.len == n * static_cast<Py_ssize_t>(sizeof(double)) && view.format != nullptr &&
                std::strcmp(view.format, "d") == 0;
    if (fits) {
        rms_of_doubles(samples.values, h, static_cast<double *>(view.buf));
    }
    PyBuffer_Release(&view);
    if (!fits) {
        raise(PyExc_TypeError, "zeros() did not give a float64 array");
    }
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
