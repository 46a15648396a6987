// Power spectra of raw channels: a radix-2 real FFT and Welch's averaged
// periodogram built on it.  Plain C++ on spans of doubles; no Python.
#pragma once

#include <cstddef>
#include <vector>

namespace quorvaemg::gait::spectrum {

// Squared magnitudes |X_k|^2, k = 0 .. n/2, of the DFT of n real samples,
// n a power of two of at least 4.  The n real samples are transformed as
// n/2 complex ones (even samples real, odd imaginary) and the two
// interleaved half spectra separated afterwards, which halves the work of a
// complex transform of the same length.  Holds its tables and scratch space:
// one plan serves any number of transforms of its length.
class RealFft {
public:
    explicit RealFft(std::size_t n);
    std::size_t size() const { return n_; }
    void power(const double *x, double *out);

private:
    std::size_t n_, half_;
    std::vector<std::size_t> reversed_;         // bit-reversed order of the half length
    std::vector<double> cos_, sin_;             // e^{-2 pi i k / n}, k < n/2
    std::vector<double> re_, im_;               // the half-length complex work array
};

// One-sided power spectral density (units^2 per Hz) by Welch's method: Hann
// windows of `segment` samples (a power of two, at most the channel's
// length) overlapping by half, each segment's own mean removed, the
// periodograms averaged.  Bin k is at k * rate / segment Hz.  The numbers
// are those of scipy.signal.welch with the same segment and window.
class Welch {
public:
    explicit Welch(std::size_t segment);
    std::size_t segment() const { return fft_.size(); }
    std::vector<double> density(const double *x, std::size_t n, double rate);

private:
    RealFft fft_;
    std::vector<double> window_, block_, power_;
    double window_energy_ = 0.0;
};

// The power of two nearest to `samples` in the logarithmic sense, at least
// 16 and at most the largest power of two not above `limit`; 0 when `limit`
// is below 16.
std::size_t segment_length(double samples, std::size_t limit);

}  // namespace quorvaemg::gait::spectrum
