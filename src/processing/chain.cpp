#include "processing/chain.hpp"

#include "module/buffer_view.hpp"
#include "base/pyops.hpp"
#include "module/quorvaemg.hpp"
#include "processing/rms.hpp"

#include <cstring>
#include <optional>
#include <vector>

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

}  // namespace

py::object samples_array(py::handle emg) {
    // Read before any Python code runs: making the array may run some
    // (numpy's own, or whatever the host bound in its place).
    std::optional<std::vector<double>> values = exact_floats(emg);
    if (!values) {
        return frozen_items(emg);
    }
    Py_ssize_t n = static_cast<Py_ssize_t>(values->size());
    py::object samples = module_global("empty")(n, py::arg("dtype") = "float64");
    BufferView out(samples, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT, /*quiet=*/false);
    if (!holds_doubles(*out) || out->len != n * static_cast<Py_ssize_t>(sizeof(double))) {
        raise(PyExc_TypeError, "empty() did not give a float64 array");
    }
    if (n > 0) {
        std::memcpy(out->buf, values->data(), values->size() * sizeof(double));
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
