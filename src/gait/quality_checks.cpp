#include "gait/quality_checks.hpp"

#include "gait/cycle_math.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quorvaemg::gait::quality {

namespace {

// Linear interpolation between closest ranks, as numpy.percentile does by
// default.  Reorders `values`.
double quality_percentile(std::vector<double> &values, double percent) {
    double position = percent / 100.0 * static_cast<double>(values.size() - 1);
    std::size_t below = static_cast<std::size_t>(std::floor(position));
    double fraction = position - static_cast<double>(below);
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(below),
                     values.end());
    double low = values[below];
    if (fraction == 0.0 || below + 1 >= values.size()) {
        return low;
    }
    double high = *std::min_element(values.begin() + static_cast<std::ptrdiff_t>(below) + 1,
                                    values.end());
    return low + (high - low) * fraction;
}

// `value` as a count of at least `least`, at most one past `limit`: what
// is out of range for a count of samples acts as "more than there are".
std::size_t quality_count(double value, double least, std::size_t limit) {
    return static_cast<std::size_t>(
        std::min(std::max(least, value), static_cast<double>(limit) + 1.0));
}

std::string quality_format(const char *format, double value) {
    // Sized for the value: "%.1f" of a measure at an absurd rate runs to
    // hundreds of digits, which a fixed buffer would cut short.
    const int length = std::snprintf(nullptr, 0, format, value);
    std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, value);
    text.pop_back();
    return text;
}

std::string quality_percent(double share) { return quality_format("%.1f %%", 100.0 * share); }

// Samples at the channel's lowest or highest value in runs of at least
// `run`: the share of the channel they make up, and the longest such run.
void quality_clipping(const std::vector<double> &y, double low, double high, std::size_t run,
                      ChannelQuality &q) {
    std::size_t clipped = 0, length = 0;
    double value = 0.0;
    for (std::size_t i = 0; i <= y.size(); ++i) {
        bool extreme = i < y.size() && (y[i] == low || y[i] == high);
        if (extreme && length > 0 && y[i] == value) {
            ++length;
            continue;
        }
        if (length >= run) {
            clipped += length;
        }
        q.longest_clip = std::max(q.longest_clip, length);
        length = extreme ? 1 : 0;
        value = extreme ? y[i] : 0.0;
    }
    q.clipped_share = static_cast<double>(clipped) / static_cast<double>(y.size());
}

// RMS about its own mean of consecutive windows of `window` samples (the
// mean removed per window keeps slow drift out), the loud ones against the
// quiet ones in dB: 95th against 5th percentile.  Empty with fewer than two
// windows.
std::optional<double> quality_snr(const std::vector<double> &y, std::size_t window) {
    std::size_t count = y.size() / window;
    if (count < 2) {
        return std::nullopt;
    }
    std::vector<double> rms(count);
    for (std::size_t w = 0; w < count; ++w) {
        const double *piece = y.data() + w * window;
        double mean = 0.0, sum = 0.0;
        for (std::size_t k = 0; k < window; ++k) {
            mean += piece[k];
        }
        mean /= static_cast<double>(window);
        for (std::size_t k = 0; k < window; ++k) {
            sum += (piece[k] - mean) * (piece[k] - mean);
        }
        rms[w] = std::sqrt(sum / static_cast<double>(window));
    }
    double loud = quality_percentile(rms, 95.0);
    double quiet = quality_percentile(rms, 5.0);
    if (loud <= 0.0) {
        return 0.0;
    }
    return quiet > 0.0 ? 20.0 * std::log10(loud / quiet) : HUGE_VAL;
}

}  // namespace

const char *verdict_name(Verdict verdict) {
    switch (verdict) {
    case Verdict::good:
        return "good";
    case Verdict::doubtful:
        return "doubtful";
    default:
        return "unusable";
    }
}

const std::vector<ThresholdField> &threshold_fields() {
    using K = ThresholdKind;
    static const std::vector<ThresholdField> fields = {
        {"flat_steps", &Thresholds::flat_steps, K::level},
        {"flat_floor", &Thresholds::flat_floor, K::level},
        {"clip_run", &Thresholds::clip_run, K::count},
        {"clip_doubtful", &Thresholds::clip_doubtful, K::share},
        {"clip_unusable", &Thresholds::clip_unusable, K::share},
        {"mains_line_db", &Thresholds::mains_line_db, K::decibels},
        {"mains_doubtful", &Thresholds::mains_doubtful, K::share},
        {"mains_unusable", &Thresholds::mains_unusable, K::share},
        {"mains_harmonics", &Thresholds::mains_harmonics, K::count},
        {"low_hz", &Thresholds::low_hz, K::positive},
        {"low_doubtful", &Thresholds::low_doubtful, K::share},
        {"low_unusable", &Thresholds::low_unusable, K::share},
        {"snr_window_ms", &Thresholds::snr_window_ms, K::positive},
        {"snr_doubtful", &Thresholds::snr_doubtful, K::decibels},
        {"snr_unusable", &Thresholds::snr_unusable, K::decibels},
        {"segment_s", &Thresholds::segment_s, K::positive},
    };
    return fields;
}

const std::vector<ThresholdPair> &threshold_pairs() {
    static const std::vector<ThresholdPair> pairs = {
        {&Thresholds::clip_doubtful, &Thresholds::clip_unusable, true},
        {&Thresholds::mains_doubtful, &Thresholds::mains_unusable, true},
        {&Thresholds::low_doubtful, &Thresholds::low_unusable, true},
        {&Thresholds::snr_doubtful, &Thresholds::snr_unusable, false},
    };
    return pairs;
}

ChannelQuality Checker::check(const double *x, std::size_t n, double rate) {
    ChannelQuality q;
    q.samples = n;
    q.low_hz = thresholds_.low_hz;
    auto [lowest, highest] = std::minmax_element(x, x + n);
    double low = *lowest, high = *highest;
    // Work on a copy scaled by a power of two (exact) to magnitudes near 1,
    // so that squares neither overflow nor vanish whatever the units.
    double gain = cycles::unit_gain(std::max(std::fabs(low), std::fabs(high)));
    std::vector<double> y(x, x + n);
    double mean = 0.0;
    for (double &v : y) {
        v *= gain;
        mean += v;
    }
    mean /= static_cast<double>(n);
    double square = 0.0, step = HUGE_VAL;
    for (std::size_t i = 0; i < n; ++i) {
        square += (y[i] - mean) * (y[i] - mean);
        if (i > 0 && y[i] != y[i - 1]) {
            step = std::min(step, std::fabs(y[i] - y[i - 1]));
        }
    }
    q.sd = std::sqrt(square / static_cast<double>(n)) / gain;
    q.range = (high * gain - low * gain) / gain;
    q.step = step == HUGE_VAL ? 0.0 : step / gain;
    if (q.range > 0.0) {
        quality_clipping(y, low * gain, high * gain,
                         quality_count(std::ceil(thresholds_.clip_run), 1.0, n), q);
        spectral(y.data(), n, rate, q);
        q.snr_db = quality_snr(
            y, quality_count(std::round(rate * thresholds_.snr_window_ms / 1000.0), 2.0, n));
    }
    judge(q, mean / gain);
    return q;
}

void Checker::spectral(const double *x, std::size_t n, double rate, ChannelQuality &q) {
    std::size_t segment = spectrum::segment_length(rate * thresholds_.segment_s, n);
    if (segment == 0) {
        return;
    }
    if (!welch_ || welch_->segment() != segment) {
        welch_ = std::make_unique<spectrum::Welch>(segment);
    }
    std::vector<double> psd = welch_->density(x, n, rate);
    double df = rate / static_cast<double>(segment);
    double total = 0.0, low = 0.0, moment = 0.0;
    for (std::size_t k = 0; k < psd.size(); ++k) {
        double f = static_cast<double>(k) * df;
        total += psd[k];
        moment += f * psd[k];
        if (f < thresholds_.low_hz) {
            low += psd[k];
        }
    }
    if (!(total > 0.0)) {
        return;
    }
    q.low_share = low / total;
    q.mean_hz = moment / total;
    double half = 0.5 * total, cumulative = 0.0;
    for (std::size_t k = 0; k < psd.size(); ++k) {
        if (cumulative + psd[k] >= half) {
            // Bin k's power taken as spread evenly over the bin's width.
            double within = (half - cumulative) / psd[k];
            q.median_hz = std::max(0.0, (static_cast<double>(k) - 0.5 + within) * df);
            break;
        }
        cumulative += psd[k];
    }
    mains(psd, df, total, q);
}

void Checker::mains(const std::vector<double> &psd, double df, double total,
                    ChannelQuality &q) const {
    // Each line's band (about the Hann window's main lobe) against the mean
    // density of the bands beside it, out to four times as far.
    double width = std::max(2.0, 2.0 * df);
    double nyquist = static_cast<double>(psd.size() - 1) * df;
    std::optional<double> strongest_db;
    double best_share = 0.0, best_db = -HUGE_VAL;
    for (double base : {50.0, 60.0}) {
        double excess = 0.0, base_db = -HUGE_VAL;
        std::size_t harmonics = quality_count(thresholds_.mains_harmonics, 1.0, psd.size());
        for (std::size_t h = 1; h <= harmonics; ++h) {
            double centre = base * static_cast<double>(h);
            if (centre + 4.0 * width > nyquist) {
                break;
            }
            if (centre - 4.0 * width < 0.0) {
                continue;  // bins too wide to tell a line from its neighbours
            }
            double line = 0.0, beside = 0.0;
            int in_line = 0, in_beside = 0;
            auto first = static_cast<std::size_t>(std::ceil((centre - 4.0 * width) / df));
            auto last = static_cast<std::size_t>(std::floor((centre + 4.0 * width) / df));
            for (std::size_t k = first; k <= last; ++k) {
                double distance = std::fabs(static_cast<double>(k) * df - centre);
                if (distance <= width) {
                    line += psd[k];
                    ++in_line;
                } else {
                    beside += psd[k];
                    ++in_beside;
                }
            }
            double expected = beside / in_beside * in_line;
            if (!(line > 0.0)) {
                continue;
            }
            double db = expected > 0.0 ? 10.0 * std::log10(line / expected) : HUGE_VAL;
            base_db = std::max(base_db, db);
            if (db >= thresholds_.mains_line_db) {
                excess += line - expected;
            }
        }
        if (base_db > -HUGE_VAL) {
            strongest_db = std::max(strongest_db.value_or(-HUGE_VAL), base_db);
        }
        double share = excess / total;
        if (share > best_share || (share == best_share && share > 0.0 && base_db > best_db)) {
            best_share = share;
            best_db = base_db;
            q.mains_hz = base;
        }
    }
    if (!strongest_db) {
        return;  // no line fits below the Nyquist frequency
    }
    q.mains_share = best_share;
    q.mains_db = q.mains_hz ? best_db : *strongest_db;
}

void Checker::judge(ChannelQuality &q, double mean) const {
    auto flag = [&q](Verdict verdict, std::string reason) {
        q.verdict = std::max(q.verdict, verdict);
        q.reasons.push_back(std::move(reason));
    };
    auto grade = [&](double value, double doubtful, double unusable, bool above,
                     const std::string &reason) {
        bool bad = above ? value >= unusable : value < unusable;
        bool poor = above ? value >= doubtful : value < doubtful;
        if (bad || poor) {
            flag(bad ? Verdict::unusable : Verdict::doubtful, reason);
        }
    };
    const Thresholds &t = thresholds_;
    if (q.range == 0.0) {
        flag(Verdict::unusable, mean == 0.0 ? "all zero" : quality_format("constant at %g", mean));
        return;
    }
    if (q.sd < t.flat_steps * q.step) {
        flag(Verdict::unusable, quality_format("flat: SD %.2g resolution steps", q.sd / q.step));
    }
    if (t.flat_floor > 0.0 && q.sd < t.flat_floor) {
        flag(Verdict::unusable, quality_format("flat: SD %.3g", q.sd) +
                                    quality_format(" below %g", t.flat_floor));
    }
    grade(q.clipped_share, t.clip_doubtful, t.clip_unusable, true,
          "clipped: " + quality_percent(q.clipped_share) + " of samples at the extremes" +
              quality_format(", runs up to %.0f samples", static_cast<double>(q.longest_clip)));
    if (q.mains_hz) {
        grade(*q.mains_share, t.mains_doubtful, t.mains_unusable, true,
              quality_format("mains hum at %.0f Hz: ", *q.mains_hz) +
                  quality_percent(*q.mains_share) + " of the power");
    }
    if (q.low_share) {
        grade(*q.low_share, t.low_doubtful, t.low_unusable, true,
              quality_percent(*q.low_share) + quality_format(" of the power below %g Hz", t.low_hz));
    }
    if (q.snr_db) {
        grade(*q.snr_db, t.snr_doubtful, t.snr_unusable, false,
              quality_format("SNR %.1f dB: little activity above the quietest stretches", *q.snr_db));
    }
    if (!q.low_share || !q.snr_db) {
        flag(Verdict::doubtful, quality_format("too short to judge (%.0f samples)",
                                               static_cast<double>(q.samples)));
    }
}

std::string format_table(const std::string &trial, double rate,
                         const std::vector<std::string> &names,
                         const std::vector<ChannelQuality> &results) {
    std::size_t width = 7;
    for (const std::string &name : names) {
        width = std::max(width, name.size());
    }
    auto cell = [](const std::optional<double> &value, const char *format, double factor = 1.0) {
        return value ? quality_format(format, *value * factor) : std::string("-");
    };
    auto row = [width](const std::vector<std::string> &cells) {
        static const int widths[] = {0, 9, 7, 6, 12, 7, 7, 7, 7, 9};
        std::string line = cells[0] + std::string(width - std::min(width, cells[0].size()), ' ');
        for (std::size_t c = 1; c < cells.size(); ++c) {
            std::size_t w = c < 10 ? static_cast<std::size_t>(widths[c]) : 0;
            line += "  ";
            if (c < 9) {
                line += std::string(w - std::min(w, cells[c].size()), ' ') + cells[c];
            } else {
                line += cells[c] + std::string(w - std::min(w, cells[c].size()), ' ');
            }
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        return line + "\n";
    };
    double low_hz = results.empty() ? 20.0 : results.front().low_hz;
    std::size_t count[3] = {0, 0, 0};
    for (const ChannelQuality &q : results) {
        ++count[static_cast<int>(q.verdict)];
    }
    std::string text = "Signal quality of " + trial + ": " +
                       quality_format("%.0f channel", static_cast<double>(results.size())) +
                       (results.size() == 1 ? "" : "s") + quality_format(" at %g Hz", rate);
    for (Verdict v : {Verdict::good, Verdict::doubtful, Verdict::unusable}) {
        text += (v == Verdict::good ? ": " : ", ") +
                quality_format("%.0f ", static_cast<double>(count[static_cast<int>(v)])) +
                verdict_name(v);
    }
    text += "\n" + row({"Channel", "SD", "Clip %", "run", "Mains", quality_format("<%g Hz %%", low_hz),
                            "SNR dB", "Mean Hz", "Med. Hz", "Verdict", "Why"});
    for (std::size_t i = 0; i < results.size() && i < names.size(); ++i) {
        const ChannelQuality &q = results[i];
        // Both or neither, as the checks give them; a row made by hand may not.
        std::string mains = q.mains_hz && q.mains_share
                                ? quality_format("%.0f Hz ", *q.mains_hz) +
                                      quality_format("%.1f %%", 100.0 * *q.mains_share)
                                : std::string("-");
        std::string why;
        for (const std::string &reason : q.reasons) {
            why += (why.empty() ? "" : "; ") + reason;
        }
        bool varies = q.range > 0.0, clipped = q.clipped_share > 0.0;
        text += row({names[i], quality_format("%.3g", q.sd),
                     varies ? quality_format("%.2f", 100.0 * q.clipped_share) : "-",
                     clipped ? quality_format("%.0f", static_cast<double>(q.longest_clip)) : "-",
                     mains, cell(q.low_share, "%.1f", 100.0), cell(q.snr_db, "%.1f"),
                     cell(q.mean_hz, "%.1f"), cell(q.median_hz, "%.1f"), verdict_name(q.verdict),
                     why});
    }
    return text;
}

}  // namespace quorvaemg::gait::quality
