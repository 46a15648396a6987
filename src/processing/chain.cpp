#include "processing/chain.hpp"

#include "module/buffer_view.hpp"
#include "module/pyops.hpp"
#include "processing/rms.hpp"

#include <cstring>

namespace quorvaemg {

namespace {

py::object normalised_cutoff(py::handle cutoff) {
    return multiply(multiply(to_int(cutoff), py::int_(2)), py::float_(0.001));
}

// scipy.signal's butter + filtfilt with their defaults.
py::object butterworth_forward_backward(py::handle samples, py::handle order, py::handle cutoff,
                                        const char *btype) {
    py::object signal = module_global("sp").attr("signal");
    auto coefficients = unpack(signal.attr("butter")(order, cutoff, py::arg("btype") = btype), 2);
    return signal.attr("filtfilt")(coefficients[0], coefficients[1], samples);
}

bool is_float_sequence(PyObject *object) {
    return PyList_CheckExact(object) || PyTuple_CheckExact(object);
}

// Copies the items into `out` while all of them are exact floats; false as
// soon as one is not, or when the count is no longer `n`.  No Python code
// runs in here, so the sequence cannot change under the loop.
bool copy_floats(PyObject *sequence, Py_ssize_t n, double *out) {
    if (!is_float_sequence(sequence) || PySequence_Fast_GET_SIZE(sequence) != n) {
        return false;
    }
    PyObject **items = PySequence_Fast_ITEMS(sequence);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyFloat_CheckExact(items[i])) {
            return false;
        }
        out[i] = PyFloat_AS_DOUBLE(items[i]);
    }
    return true;
}

}  // namespace

py::object samples_array(py::handle emg) {
    py::object given = py::reinterpret_borrow<py::object>(emg);
    PyObject *sequence = emg.ptr();
    if (!is_float_sequence(sequence)) {
        return given;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence);
    if (n > 0 && !PyFloat_CheckExact(PySequence_Fast_GET_ITEM(sequence, 0))) {
        return given;
    }
    // Making the array may run Python code (numpy's own, or whatever the host
    // bound in its place) that changes the list: the copy below checks the
    // list again and gives up on any change.
    py::object samples = module_global("empty")(n, py::arg("dtype") = "float64");
    BufferView out(samples, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT, /*quiet=*/true);
    if (!out.held() || !holds_doubles(*out) ||
        out->len != n * static_cast<Py_ssize_t>(sizeof(double)) ||
        !copy_floats(sequence, n, static_cast<double *>(out->buf))) {
        return given;
    }
    return samples;
}

ChainSettings convert_settings(const ProcessingSettings &passed) {
    ChainSettings s;
    s.high = normalised_cutoff(passed.high);
    s.low = normalised_cutoff(passed.low);
    s.window = to_int(passed.www);
    s.high_order = to_int(passed.highOrd);
    s.low_order = to_int(passed.lowOrd);
    s.remove_mean = passed.mnb;
    s.low_pass = passed.lowb;
    s.high_pass = passed.highb;
    s.rectify = passed.rectb;
    s.rms = passed.rmsb;
    return s;
}

py::object run_chain(py::handle emg, const ChainSettings &s) {
    py::object filtered = module_global("array")(emg, py::arg("dtype") = "float64");
    bool rect_flag = true;
    if (truth(s.remove_mean)) {
        filtered = subtract(emg, module_global("mean")(emg));
    }
    if (truth(s.low_pass)) {
        filtered = butterworth_forward_backward(filtered, s.low_order, s.low, "lowpass");
    }
    if (truth(s.high_pass)) {
        filtered = butterworth_forward_backward(filtered, s.high_order, s.high, "highpass");
    }
    if (truth(s.rectify)) {
        filtered = module_global("abs")(filtered);
        rect_flag = false;
    }
    if (truth(s.rms)) {
        if (rect_flag) {
            filtered = module_global("abs")(filtered);
        }
        filtered = window_rms(filtered, s.window);
    }
    // Mean removal on integer or float32 samples keeps their type; Nexus is
    // always handed float64.
    return module_global("asarray")(filtered, py::arg("dtype") = "float64");
}

std::vector<Py_ssize_t> Selection::ticked() const {
    std::vector<Py_ssize_t> positions;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        if (rows[k] == 1.0) {
            positions.push_back(static_cast<Py_ssize_t>(k));
        }
    }
    return positions;
}

Selection read_selection(py::handle a, py::handle numch) {
    // zeros((numch, 1)) rejects a negative or non-integer count as numpy does.
    py::object index = module_global("zeros")(py::make_tuple(numch, 1));
    Py_ssize_t count = to_ssize(numch);
    Selection selection;
    py::object summ = py::int_(0);
    for (Py_ssize_t k = 0; k < count; ++k) {
        py::object key = py::int_(k);
        index[key] = get_value(item(a, k));
        double row = py::float_(index[py::make_tuple(k, 0)]);
        selection.rows.push_back(row);
        summ = concat(summ, steal_or_throw(PyLong_FromDouble(row)));
    }
    selection.any = summ > py::int_(0);
    return selection;
}

}  // namespace quorvaemg
