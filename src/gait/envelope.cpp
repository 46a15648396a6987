// Envelopes of raw EMG at the trial's own sampling rate: the linear envelope
// (band-pass, rectification, zero-lag low-pass) and the centred moving RMS.
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

// The band-pass's upper edge keeps this share of the Nyquist frequency at
// most: a Butterworth edge at Nyquist itself cannot be designed.
constexpr double envelope_nyquist_share = 0.95;

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

// scipy's sosfiltfilt refuses signals shorter than its padding, and cannot
// start a filter whose edge is a vanishing share of the rate; the message
// then says which argument is at fault.
py::object envelope_filtfilt(const py::module_ &signal, const py::object &sos,
                             const py::object &x) {
    try {
        return signal.attr("sosfiltfilt")(sos, x);
    } catch (py::error_already_set &e) {
        // LinAlgError is a ValueError only from numpy 2 on.
        if (e.matches(py::module_::import("numpy.linalg").attr("LinAlgError"))) {
            const std::string why = py::str(e.value());
            refuse(PyExc_ValueError, "band or lowpass: an edge so far below the sampling rate "
                                     "gives a filter that cannot be applied (" + why + ")");
        }
        if (!e.matches(PyExc_ValueError)) {
            throw;
        }
        const std::string why = py::str(e.value());
        refuse(PyExc_ValueError, "samples are too few for the envelope's filters (" + why + ")");
    }
}

// Higher orders gain nothing for an envelope, and from about a hundred the
// filter design itself overflows.
constexpr std::size_t envelope_max_order = 20;

py::array_t<double> linear_envelope(py::handle samples, py::handle rate, py::handle band,
                                    py::handle lowpass, py::handle order) {
    DoubleArray x = finite_array(samples, "samples", 1, false);
    const double fs = positive_number(rate, "rate");
    DoubleArray edges = finite_array(band, "band", 1, false);
    if (edges.size() != 2 || !(edges.at(0) > 0.0) || !(edges.at(1) > edges.at(0))) {
        refuse(PyExc_ValueError, "band must be (low, high) in Hz with 0 < low < high");
    }
    const double cut = positive_number(lowpass, "lowpass");
    const std::size_t n = whole_number(order, "order", 1);
    if (n > envelope_max_order) {
        refuse(PyExc_ValueError, "order must be at most " + std::to_string(envelope_max_order) +
                                     ", not " + std::to_string(n));
    }
    const double nyquist = fs / 2.0;
    const double upper = std::min(edges.at(1), envelope_nyquist_share * nyquist);
    if (!(edges.at(0) < upper)) {
        refuse(PyExc_ValueError, "rate: at " + number_text(fs) + " Hz the band-pass's lower edge (" +
                                     number_text(edges.at(0)) +
                                     " Hz) is not below its upper edge (" + number_text(upper) +
                                     " Hz, kept below the Nyquist frequency)");
    }
    if (!(cut < nyquist)) {
        refuse(PyExc_ValueError, "lowpass: " + number_text(cut) +
                                     " Hz is not below the Nyquist frequency (" +
                                     number_text(nyquist) + " Hz)");
    }
    py::module_ signal = py::module_::import("scipy.signal");
    py::object band_pass = signal.attr("butter")(n, py::make_tuple(edges.at(0), upper),
                                                 "btype"_a = "bandpass", "fs"_a = fs,
                                                 "output"_a = "sos");
    py::object low_pass =
        signal.attr("butter")(n, cut, "btype"_a = "lowpass", "fs"_a = fs, "output"_a = "sos");
    const EnvelopeCentred centred = envelope_centred(x);
    DoubleArray rectified =
        DoubleArray::ensure(envelope_filtfilt(signal, band_pass, centred.samples));
    if (!rectified) {
        throw py::error_already_set();
    }
    double *y = rectified.mutable_data();
    for (py::ssize_t i = 0; i < rectified.size(); ++i) {
        y[i] = std::fabs(y[i]);
    }
    DoubleArray smooth = DoubleArray::ensure(envelope_filtfilt(signal, low_pass, rectified));
    if (!smooth) {
        throw py::error_already_set();
    }
    return envelope_ungained(smooth, centred.gain);
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
    m.def("linear_envelope", &linear_envelope, "samples"_a, "rate"_a,
          "band"_a = py::make_tuple(20.0, 450.0), "lowpass"_a = 6.0, "order"_a = 4,
          "Linear envelope at the given sampling rate: mean removed, Butterworth band-pass\n"
          "(the upper edge kept below the Nyquist frequency), full-wave rectification and a\n"
          "zero-lag Butterworth low-pass at `lowpass` Hz.");
    m.def("rms_envelope", &rms_envelope, "samples"_a, "rate"_a, "window_ms"_a,
          "Moving RMS of the samples less their mean over a centred window of `window_ms`\n"
          "milliseconds; same length as the samples.");
}

}  // namespace quorvaemg::gait
