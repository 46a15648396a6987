// Signal-quality checks of one raw EMG channel: plain C++ on a span of
// samples, no Python.  The bindings (quality.cpp) validate what they hand in:
// at least one sample, all finite, a finite positive rate.
#pragma once

#include "gait/spectrum.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvaemg::gait::quality {

enum class Verdict { good = 0, doubtful = 1, unusable = 2 };

const char *verdict_name(Verdict verdict);

// What makes a channel doubtful or unusable, and how two measures are taken.
// The defaults are argued for in the README ("Signal quality").
struct Thresholds {
    double flat_steps = 1.0;         // unusable: SD below this many resolution steps
    double flat_floor = 0.0;         // unusable: SD below this, in channel units (0: off)
    double clip_run = 2.0;           // samples at an extreme in a row that count as clipped
    double clip_doubtful = 0.001;    // share of the channel clipped
    double clip_unusable = 0.02;
    double mains_line_db = 10.0;     // a line this far above its neighbours is hum
    double mains_doubtful = 0.10;    // share of the power in hum lines
    double mains_unusable = 0.50;
    double mains_harmonics = 5.0;    // lines looked at: the fundamental and its multiples
    double low_hz = 20.0;            // edge of the low-frequency artefact band
    double low_doubtful = 0.30;      // share of the power below low_hz
    double low_unusable = 0.90;
    double snr_window_ms = 200.0;    // RMS windows of the signal-to-noise estimate
    double snr_doubtful = 6.0;       // dB
    double snr_unusable = 3.0;       // dB
    double segment_s = 1.0;          // Welch segment, rounded to a power of two of samples
};

// What a threshold measures, which sets the values it may take.
enum class ThresholdKind {
    share,     // of the samples or of the power: above 0, at most 1 (0.3 = 30 %)
    positive,  // a frequency, a window or a length: above 0
    count,     // of samples or of lines: whole, 1 or more
    level,     // a multiple of the step or a level in channel units: 0 (off) or more
    decibels,  // any finite number of dB
};

// One field of Thresholds by its keyword name.
struct ThresholdField {
    const char *name;
    double Thresholds::*member;
    ThresholdKind kind;
};
const std::vector<ThresholdField> &threshold_fields();

// The pairs of thresholds of one measure whose doubtful bound must come
// before its unusable one: (doubtful, unusable, true when a higher measure
// is worse).
struct ThresholdPair {
    double Thresholds::*doubtful;
    double Thresholds::*unusable;
    bool above;
};
const std::vector<ThresholdPair> &threshold_pairs();

// Measures of one channel.  A measure the channel cannot give (spectra of a
// flat channel, a channel too short for two SNR windows) is empty.
struct ChannelQuality {
    std::size_t samples = 0;
    double sd = 0.0, range = 0.0;
    double step = 0.0;                     // smallest change between neighbouring samples
    double clipped_share = 0.0;
    std::size_t longest_clip = 0;          // samples
    std::optional<double> mains_hz;        // 50 or 60 when a hum line stands out
    std::optional<double> mains_db, mains_share;
    double low_hz = 20.0;                  // edge of the band of low_share
    std::optional<double> low_share, snr_db, mean_hz, median_hz;
    Verdict verdict = Verdict::good;
    std::vector<std::string> reasons;
};

// The checks of one channel.  Checkers hold the spectral plan of the
// segment length last used, so checking many channels of one rate
// prepares it once.
class Checker {
public:
    explicit Checker(const Thresholds &thresholds) : thresholds_(thresholds) {}
    ChannelQuality check(const double *x, std::size_t n, double rate);

private:
    void spectral(const double *x, std::size_t n, double rate, ChannelQuality &q);
    void mains(const std::vector<double> &psd, double df, double total, ChannelQuality &q) const;
    void judge(ChannelQuality &q, double mean) const;

    Thresholds thresholds_;
    std::unique_ptr<spectrum::Welch> welch_;
};

// The table of a trial's channels as the console shows it: a title line
// (trial, channel count, rate, verdict counts), the column heads, then one
// line per channel with its measures, verdict and reasons.
std::string format_table(const std::string &trial, double rate,
                         const std::vector<std::string> &names,
                         const std::vector<ChannelQuality> &results);

}  // namespace quorvaemg::gait::quality
