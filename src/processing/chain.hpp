// The per-channel processing chain shared by processing and preview.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

namespace py = pybind11;

namespace quorvaemg {

// The ten processing settings, always in this order, as the caller passed
// them: entry texts from the window, integers from the batch run.
struct ProcessingSettings {
    py::object mnb, lowb, highb, rectb, rmsb;
    py::object high, highOrd, low, lowOrd, www;
};

// The ten processing settings after conversion.  Switches stay as handed in
// and are tested for truth when the chain looks at them.
struct ChainSettings {
    py::object remove_mean, low_pass, high_pass, rectify, rms;
    py::object high;        // normalised high-pass cutoff
    py::object low;         // normalised low-pass cutoff
    py::object window;      // RMS window in samples
    py::object high_order;
    py::object low_order;
};

// Converts the five numbers with int(), in the order high, low, window,
// high order, low order, whatever the switches say.  Cutoffs are normalised
// for a fixed 1000 samples per second: int(cutoff) * 2 * 0.001.
ChainSettings convert_settings(const ProcessingSettings &passed);

// The channel's samples as the chain will read them.  A list or tuple of
// floats, the way Nexus hands samples over, becomes one new float64 array:
// every step then works on that array instead of numpy converting the list
// again at each step, with the very same numbers.  Anything else (ints,
// numpy scalars, arrays, other objects) keeps its values as given, a plain
// list as a tuple of its items so that nothing can change it under numpy.
py::object samples_array(py::handle emg);

// Remove mean, low-pass, high-pass (both forwards-backwards), rectify, RMS.
// Returns a new float64 array; `emg` is not modified.
py::object run_chain(py::handle emg, const ChainSettings &settings);

// The channel selection as the runs read it: one float row per channel
// variable, and the integer sum of the rows.
struct Selection {
    std::vector<double> rows;
    bool any = false;  // summ > 0

    // Positions whose row equals 1, in ascending order.
    std::vector<Py_ssize_t> ticked() const;
};

Selection read_selection(py::handle a, py::handle numch);

}  // namespace quorvaemg
