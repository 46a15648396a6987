// The zero-lag Butterworth low-pass of marker trajectories, as scipy's
// filtfilt runs it (odd reflection padding, the steady state of a step at
// each end), over each stretch of samples without a gap: the gait events
// from markers filter every marker with it, and the bench and the tests
// hold it to scipy's.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace quorvaemg::gait::zero_lag {

constexpr double PI = 3.14159265358979323846;
// scipy's filtfilt pads by 3 x the filter's length: a stretch of no more
// frames than this has no filtered values (scipy refuses it).
constexpr std::size_t PAD = 9;

// A 2nd-order Butterworth low-pass by the bilinear transform, with the
// initial state of a step response as scipy's lfilter_zi gives it.
struct Lowpass {
    double b0, b1, b2, a1, a2, z0, z1;
};

inline Lowpass lowpass_design(double rate, double cutoff) {
    const double k = std::tan(PI * cutoff / rate), root2 = std::sqrt(2.0);
    const double norm = 1 / (1 + root2 * k + k * k);
    Lowpass f{};
    f.b0 = k * k * norm;
    f.b1 = 2 * f.b0;
    f.b2 = f.b0;
    f.a1 = 2 * (k * k - 1) * norm;
    f.a2 = (1 - root2 * k + k * k) * norm;
    const double gain = (f.b0 + f.b1 + f.b2) / (1 + f.a1 + f.a2);
    f.z1 = f.b2 - f.a2 * gain;
    f.z0 = f.b1 - f.a1 * gain + f.z1;
    return f;
}

// One pass of the filter, in place, over the rows of W values of a padded
// stretch held in three parts (the padding before it, the stretch, the
// padding after it; the stretch itself filtered where it lies rather than
// copied, for a whole trial is megabytes of fresh pages), from the steady
// state of its first row; backwards from its last.  W independent filters
// run side by side: each one's recursion waits on itself, not on the others.
template <std::size_t W>
void lowpass_pass(const Lowpass &f, double *const parts[3], const std::size_t rows[3],
                  bool backwards) {
    const std::ptrdiff_t step = backwards ? -static_cast<std::ptrdiff_t>(W) : W;
    double v1[W], v2[W], y1[W], y2[W];
    for (int q = 0; q < 3; ++q) {
        const int part = backwards ? 2 - q : q;
        double *row = backwards ? parts[part] + (rows[part] - 1) * W : parts[part];
        std::size_t j = 0;
        if (q == 0) {
            // The first two rows (of the padding: it is longer) as the
            // transposed direct form, which the initial state is for; the
            // rest as the direct form: its recursion is one multiply-add shorter.
            for (std::size_t c = 0; c < W; ++c) {
                const double first = row[c], second = row[step + c];
                const double y = f.b0 * first + f.z0 * first;
                const double z0 = f.b1 * first - f.a1 * y + f.z1 * first;
                v2[c] = first;
                v1[c] = second;
                y2[c] = y;
                y1[c] = f.b0 * second + z0;
                row[c] = y2[c];
                row[step + c] = y1[c];
            }
            row += 2 * step;
            j = 2;
        }
        for (; j < rows[part]; ++j, row += step) {
            for (std::size_t c = 0; c < W; ++c) {
                const double v = row[c];
                const double y =
                    (f.b0 * v + f.b1 * v1[c] + f.b2 * v2[c] - f.a2 * y2[c]) - f.a1 * y1[c];
                v2[c] = v1[c];
                v1[c] = v;
                y2[c] = y1[c];
                y1[c] = y;
                row[c] = y;
            }
        }
    }
}

// Zero-lag filtering, in place, of `m` (more than PAD) rows of W values, each
// column with the odd reflection padding of scipy's filtfilt.
template <std::size_t W>
void lowpass_stretch(const Lowpass &f, double *x, std::size_t m) {
    double before[PAD * W], after[PAD * W];
    for (std::size_t c = 0; c < W; ++c) {
        const double head = x[c], tail = x[(m - 1) * W + c];
        for (std::size_t k = 0; k < PAD; ++k) {
            before[k * W + c] = 2 * head - x[(PAD - k) * W + c];
            after[k * W + c] = 2 * tail - x[(m - 2 - k) * W + c];
        }
    }
    double *const parts[3] = {before, x, after};
    const std::size_t rows[3] = {PAD, m, PAD};
    lowpass_pass<W>(f, parts, rows, false);
    lowpass_pass<W>(f, parts, rows, true);
}

// Calls stretch(start, end) for each run of rows [start, end) of `frames`
// with no row `missing(i)`, in order.
template <class Missing, class Stretch>
void each_stretch(std::size_t frames, Missing missing, Stretch stretch) {
    for (std::size_t start = 0; start < frames;) {
        if (missing(start)) {
            ++start;
            continue;
        }
        std::size_t end = start + 1;
        while (end < frames && !missing(end)) {
            ++end;
        }
        stretch(start, end);
        start = end;
    }
}

// Each gap-free stretch of `frames` rows of W values (a row with a NaN is a
// gap) filtered in place on its own; a stretch too short to filter becomes a
// gap.
template <std::size_t W>
void lowpass_rows(const Lowpass &f, double *x, std::size_t frames) {
    each_stretch(
        frames, [x](std::size_t i) {
            for (std::size_t c = 0; c < W; ++c) {
                if (std::isnan(x[i * W + c])) {
                    return true;
                }
            }
            return false;
        },
        [&f, x](std::size_t start, std::size_t end) {
            if (end - start > PAD) {
                lowpass_stretch<W>(f, x + start * W, end - start);
            } else {
                std::fill(x + start * W, x + end * W, std::numeric_limits<double>::quiet_NaN());
            }
        });
}

}  // namespace quorvaemg::gait::zero_lag
