// The centred moving RMS envelope of raw EMG at the trial's own sampling
// rate.  (The linear envelope is scipy's filters, in the package's Python.)
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "gait/cycle_args.hpp"
#include "gait/gait.hpp"

namespace quorvaemg::gait {

namespace {

using namespace cycles;
using namespace py::literals;

// The samples less their mean, times `gain` (see unit_gain), in a new array
// the filters may work in: channels in any unit, up to the largest finite
// numbers, keep their envelope finite and above zero.
struct EnvelopeCentred {
    py::array_t<double> samples;
    double gain;
};

EnvelopeCentred envelope_centred(const DoubleArray &samples) {
    const double *x = samples.data();
    const auto n = static_cast<std::size_t>(samples.size());
    double magnitude = 0;
    for (std::size_t i = 0; i < n; ++i) {
        magnitude = std::max(magnitude, std::fabs(x[i]));
    }
    const double gain = unit_gain(magnitude);
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sum += x[i] * gain;
    }
    const double mean = sum / static_cast<double>(n);
    py::array_t<double> out(samples.size());
    double *y = out.mutable_data();
    for (std::size_t i = 0; i < n; ++i) {
        y[i] = x[i] * gain - mean;
    }
    return {out, gain};
}

// Undoes the gain of envelope_centred in place.
py::array_t<double> envelope_ungained(DoubleArray values, double gain) {
    double *y = values.mutable_data();
    for (py::ssize_t i = 0; i < values.size(); ++i) {
        y[i] /= gain;
    }
    return values;
}

// Centred window of `window` samples (one more before the centre than after
// when even), cut at the ends and averaged over the samples it holds.
void envelope_moving_rms(const double *x, std::size_t n, std::size_t window, double *out) {
    const std::size_t before = window / 2, after = window - 1 - before;
    // A running sum drifts by rounding; it is summed afresh every `window`
    // steps, which keeps quiet stretches after a burst from going negative.
    double sum = 0;
    std::size_t lo = 0, hi = 0;  // the window is [lo, hi)
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t new_lo = i > before ? i - before : 0;
        const std::size_t new_hi = std::min(n, i + after + 1);
        if (i % window == 0) {
            sum = 0;
            for (std::size_t k = new_lo; k < new_hi; ++k) {
                sum += x[k] * x[k];
            }
        } else {
            for (std::size_t k = hi; k < new_hi; ++k) {
                sum += x[k] * x[k];
            }
            for (std::size_t k = lo; k < new_lo; ++k) {
                sum -= x[k] * x[k];
            }
        }
        lo = new_lo;
        hi = new_hi;
        out[i] = std::sqrt(std::max(0.0, sum) / static_cast<double>(hi - lo));
    }
}

py::array_t<double> rms_envelope(py::handle samples, py::handle rate, py::handle window_ms) {
    DoubleArray x = finite_array(samples, "samples", 1, false);
    const double fs = positive_number(rate, "rate");
    const double ms = positive_number(window_ms, "window_ms");
    const double width = std::round(ms * fs / 1000.0);
    if (!(width < 1e12)) {
        refuse(PyExc_ValueError, "window_ms is too long for the rate");
    }
    const auto window = static_cast<std::size_t>(std::max(1.0, width));
    const EnvelopeCentred centred = envelope_centred(x);
    DoubleArray out(x.size());
    const double *from = centred.samples.data();
    double *into = out.mutable_data();
    {
        py::gil_scoped_release unlocked;
        envelope_moving_rms(from, static_cast<std::size_t>(x.size()), window, into);
    }
    return envelope_ungained(out, centred.gain);
}

}  // namespace

void register_envelope(py::module_ &m) {
    m.def("rms_envelope", &rms_envelope, "samples"_a, "rate"_a, "window_ms"_a,
          "Moving RMS of the samples less their mean over a centred window of `window_ms`\n"
          "milliseconds; same length as the samples.");
}

}  // namespace quorvaemg::gait
