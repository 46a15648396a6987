#include "gait/spectrum.hpp"

#include <cmath>

namespace quorvaemg::gait::spectrum {

namespace {

constexpr double spectrum_two_pi = 6.283185307179586476925286766559;

}  // namespace

RealFft::RealFft(std::size_t n)
    : n_(n), half_(n / 2), reversed_(n / 2), cos_(n / 2), sin_(n / 2), re_(n / 2), im_(n / 2) {
    std::size_t bits = 0;
    while ((std::size_t{1} << bits) < half_) {
        ++bits;
    }
    for (std::size_t k = 0; k < half_; ++k) {
        std::size_t r = 0;
        for (std::size_t b = 0; b < bits; ++b) {
            r |= ((k >> b) & 1U) << (bits - 1 - b);
        }
        reversed_[k] = r;
        double angle = spectrum_two_pi * static_cast<double>(k) / static_cast<double>(n_);
        cos_[k] = std::cos(angle);
        sin_[k] = -std::sin(angle);
    }
}

void RealFft::power(const double *x, double *out) {
    for (std::size_t k = 0; k < half_; ++k) {
        std::size_t r = reversed_[k];
        re_[k] = x[2 * r];
        im_[k] = x[2 * r + 1];
    }
    // Iterative decimation in time over the half length.  The twiddles of a
    // stage of length `len` are every (n / len)-th entry of the table of
    // the full length.  Complex products are written out: std::complex's
    // operator* checks for infinities on every call.
    for (std::size_t len = 2; len <= half_; len <<= 1) {
        std::size_t step = n_ / len, span = len / 2;
        for (std::size_t start = 0; start < half_; start += len) {
            double *ar = &re_[start], *ai = &im_[start];
            double *br = ar + span, *bi = ai + span;
            for (std::size_t j = 0; j < span; ++j) {
                double wr = cos_[j * step], wi = sin_[j * step];
                double tr = br[j] * wr - bi[j] * wi;
                double ti = br[j] * wi + bi[j] * wr;
                br[j] = ar[j] - tr;
                bi[j] = ai[j] - ti;
                ar[j] += tr;
                ai[j] += ti;
            }
        }
    }
    // Separate the spectra of the even (E) and odd (O) samples:
    // X_k = E_k + e^{-2 pi i k/n} O_k, with E_k = (Z_k + conj Z_{m-k}) / 2 and
    // O_k = (Z_k - conj Z_{m-k}) / 2i.
    out[0] = (re_[0] + im_[0]) * (re_[0] + im_[0]);
    out[half_] = (re_[0] - im_[0]) * (re_[0] - im_[0]);
    for (std::size_t k = 1; k < half_; ++k) {
        double zr = re_[k], zi = im_[k], cr = re_[half_ - k], ci = -im_[half_ - k];
        double er = 0.5 * (zr + cr), ei = 0.5 * (zi + ci);
        double or_ = 0.5 * (zi - ci), oi = -0.5 * (zr - cr);
        double xr = er + cos_[k] * or_ - sin_[k] * oi;
        double xi = ei + cos_[k] * oi + sin_[k] * or_;
        out[k] = xr * xr + xi * xi;
    }
}

Welch::Welch(std::size_t segment)
    : fft_(segment), window_(segment), block_(segment), power_(segment / 2 + 1) {
    for (std::size_t k = 0; k < segment; ++k) {
        // The periodic Hann window, as spectral estimators use it.
        window_[k] = 0.5 - 0.5 * std::cos(spectrum_two_pi * static_cast<double>(k) /
                                          static_cast<double>(segment));
        window_energy_ += window_[k] * window_[k];
    }
}

std::vector<double> Welch::density(const double *x, std::size_t n, double rate) {
    std::size_t segment = fft_.size(), bins = segment / 2 + 1, hop = segment / 2;
    std::vector<double> psd(bins, 0.0);
    std::size_t count = 0;
    for (std::size_t start = 0; start + segment <= n; start += hop, ++count) {
        const double *piece = x + start;
        double mean = 0.0;
        for (std::size_t k = 0; k < segment; ++k) {
            mean += piece[k];
        }
        mean /= static_cast<double>(segment);
        for (std::size_t k = 0; k < segment; ++k) {
            block_[k] = (piece[k] - mean) * window_[k];
        }
        fft_.power(block_.data(), power_.data());
        for (std::size_t k = 0; k < bins; ++k) {
            psd[k] += power_[k];
        }
    }
    // Density scaling, one-sided: every bin but 0 and n/2 holds its mirror too.
    double scale = 1.0 / (rate * window_energy_ * static_cast<double>(count));
    for (std::size_t k = 0; k < bins; ++k) {
        psd[k] *= (k == 0 || k == bins - 1) ? scale : 2.0 * scale;
    }
    return psd;
}

std::size_t segment_length(double samples, std::size_t limit) {
    if (limit < 16) {
        return 0;
    }
    std::size_t largest = 16;
    while (largest * 2 <= limit) {
        largest *= 2;
    }
    std::size_t nearest = 16;
    while (nearest < largest && std::log2(static_cast<double>(nearest)) + 0.5 <
                                    std::log2(samples)) {
        nearest *= 2;
    }
    return nearest;
}

}  // namespace quorvaemg::gait::spectrum
