// The numbers of gait-cycle EMG: from event frames to cycles, from cycles to
// curves over 0-100 % of the cycle, and from curves to activation timing.
//
// Plain C++ on contiguous doubles; nothing here touches Python, so the
// bindings may run it without the GIL.  Every function stays inside its
// arrays whatever the values are (NaN included): the bindings validate
// their input, but a buffer another thread changes meanwhile must not make
// us read out of bounds.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quorvaemg::gait::cycles {

// A read-only run of doubles owned elsewhere (a numpy buffer, a vector).
struct Values {
    const double *data = nullptr;
    std::size_t size = 0;

    double operator[](std::size_t i) const { return data[i]; }
    bool empty() const { return size == 0; }
};

inline Values values_of(const std::vector<double> &v) { return {v.data(), v.size()}; }

// True when no value is infinite or NaN.
bool all_finite(const double *data, std::size_t n);

// A power of two that brings `magnitude` near 1.  Scaling by it is exact, so
// values scaled by it give the very numbers they would unscaled, except that
// their sums and squares neither overflow nor vanish whatever the units.
double unit_gain(double magnitude);

// The largest magnitude of `n` values (0 for none), in four lanes: one
// running maximum would make every comparison wait for the one before.
double largest_magnitude(const double *data, std::size_t n);

// (frame - first_frame) * device_rate / frame_rate for each frame.
std::vector<double> event_sample_positions(Values frames, double first_frame, double device_rate,
                                           double frame_rate);

enum class CycleFate { kept, outside_channel, no_foot_off, several_foot_offs };

const char *fate_text(CycleFate fate);

struct CycleCandidate {
    double start = 0, end = 0;
    double foot_off = 0;  // meaningful when kept
    CycleFate fate = CycleFate::kept;
};

// One candidate per pair of consecutive strikes (both strictly increasing).
std::vector<CycleCandidate> classify_cycles(Values strikes, Values offs, std::size_t length);

// numpy.interp(x, arange(n), samples), with numpy's own arithmetic.
double interpolate_at(Values samples, double x);

// `points` values of the samples from `start` to `end`, evenly spaced.
void resample_cycle(Values samples, double start, double end, std::size_t points, double *out);

// Mean and sample SD (n - 1) per point of `count` curves of `points` values,
// stored one after another; sd stays empty below two curves.
struct CurveStatistics {
    std::vector<double> mean, sd;
};
CurveStatistics curve_statistics(const double *curves, std::size_t count, std::size_t points);

// Mean and sample SD of single values; sd is NaN below two values.
std::pair<double, double> mean_and_sd(const std::vector<double> &values);

using Period = std::pair<double, double>;  // on, off in % of the cycle

// Where the curve (points over 0-100 %) exceeds `level`, crossings placed by
// linear interpolation, the cycle taken as circular; active or quiet
// stretches shorter than `merge` % are merged into their surroundings; a
// period across 100 % comes back as (on, 100) and (0, off).
std::vector<Period> activation_periods(const double *curve, std::size_t points, double level,
                                       double merge);

// How much of the cycle two periods share (on > off: across 100 %).
double circular_overlap(const Period &a, const Period &b);

struct NormalComparison {
    double agreement = 0;  // % of the cycle on which both are active or both quiet
    std::vector<Period> premature, prolonged, absent, additional;
};
// Periods with on > off run across 100 %; all values lie in [0, 100].
NormalComparison compare_periods(const std::vector<Period> &active,
                                 const std::vector<Period> &normal);

// Amplitude normalisation of a channel's curves.
struct AmplitudeScale {
    enum Kind { none, peak, reference } kind = none;
    double reference_value = 1;  // the 100 % level when kind == reference
};

// One trial's envelope of the channel and the kept cycles (start, end, foot
// off; `cycle_count` rows of 3) of the channel's side in it.
struct ChannelPiece {
    Values samples;
    const double *cycles = nullptr;
    std::size_t cycle_count = 0;
};

struct ChannelAnalysis {
    std::vector<double> curves;  // cycles x points, scaled
    std::vector<long long> trial;
    CurveStatistics statistics;
    std::vector<double> foot_off;  // % of each cycle
    double foot_off_mean = 0, foot_off_sd = 0;  // sd NaN below two cycles
    double threshold = 0;
    std::vector<std::vector<Period>> activity;
    std::vector<Period> mean_activity;
};

// A cycle whose curve is not finite: the samples it reads are not.
struct NonFiniteCycle : std::domain_error {
    NonFiniteCycle(std::size_t piece_index, std::size_t cycle_index)
        : std::domain_error("samples that are not finite within a cycle"),
          piece(piece_index), cycle(cycle_index) {}
    std::size_t piece, cycle;
};

// The whole analysis of one channel after its envelope.  Throws
// NonFiniteCycle, or std::domain_error when there is no cycle, the peak
// scale has no positive peak to divide by, or the scaled curves overflow.
ChannelAnalysis analyse_channel(const std::vector<ChannelPiece> &pieces, AmplitudeScale scale,
                                double threshold, double merge, std::size_t points);

}  // namespace quorvaemg::gait::cycles
