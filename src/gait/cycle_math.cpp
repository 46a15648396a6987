// Events to cycles, cycles to curves over 0-100 % and their statistics, and
// the whole analysis of one channel.
#include "gait/cycle_math.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <tuple>

namespace quorvaemg::gait::cycles {

namespace {

constexpr double cycle_nan = std::numeric_limits<double>::quiet_NaN();

}  // namespace

bool all_finite(const double *data, std::size_t n) {
    // Branchless on the exponent bits, so that the compiler can vectorise
    // it: it runs over whole recordings.
    constexpr std::uint64_t exponent = 0x7ff0000000000000ULL;
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, data + i, sizeof bits);
        seen |= static_cast<std::uint64_t>((bits & exponent) == exponent);
    }
    return seen == 0;
}

double unit_gain(double magnitude) {
    const int exponent = magnitude > 0.0 ? std::ilogb(magnitude) : 0;
    return std::ldexp(1.0, -std::clamp(exponent, -1000, 1000));
}

double largest_magnitude(const double *data, std::size_t n) {
    double peak[4] = {0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (std::size_t lane = 0; lane < 4; ++lane) {
            peak[lane] = std::max(peak[lane], std::fabs(data[i + lane]));
        }
    }
    for (; i < n; ++i) {
        peak[0] = std::max(peak[0], std::fabs(data[i]));
    }
    return std::max(std::max(peak[0], peak[1]), std::max(peak[2], peak[3]));
}

std::vector<double> event_sample_positions(Values frames, double first_frame, double device_rate,
                                           double frame_rate) {
    std::vector<double> out(frames.size);
    for (std::size_t i = 0; i < frames.size; ++i) {
        out[i] = (frames[i] - first_frame) * device_rate / frame_rate;
    }
    return out;
}

const char *fate_text(CycleFate fate) {
    switch (fate) {
    case CycleFate::outside_channel:
        return "outside the channel";
    case CycleFate::no_foot_off:
        return "no foot off";
    case CycleFate::several_foot_offs:
        return "several foot offs";
    case CycleFate::kept:
        break;
    }
    return "kept";
}

std::vector<CycleCandidate> classify_cycles(Values strikes, Values offs, std::size_t length) {
    std::vector<CycleCandidate> out;
    const double last = static_cast<double>(length) - 1.0;
    const double *offs_end = offs.data + offs.size;
    for (std::size_t i = 0; i + 1 < strikes.size; ++i) {
        CycleCandidate c;
        c.start = strikes[i];
        c.end = strikes[i + 1];
        // Strictly between the strikes: an off on a strike belongs to neither.
        const double *first = std::upper_bound(offs.data, offs_end, c.start);
        const double *past = std::lower_bound(offs.data, offs_end, c.end);
        const std::ptrdiff_t between = past > first ? past - first : 0;
        if (!(c.start >= 0.0 && c.end <= last)) {
            c.fate = CycleFate::outside_channel;
        } else if (between == 0) {
            c.fate = CycleFate::no_foot_off;
        } else if (between > 1) {
            c.fate = CycleFate::several_foot_offs;
        } else {
            c.foot_off = *first;
        }
        out.push_back(c);
    }
    return out;
}

double interpolate_at(Values samples, double x) {
    if (samples.empty() || std::isnan(x)) {
        return samples.empty() ? cycle_nan : x;
    }
    const std::size_t n = samples.size;
    if (x < 0.0) {
        return samples[0];
    }
    if (!(x < static_cast<double>(n - 1))) {
        return samples[n - 1];
    }
    const std::size_t j = static_cast<std::size_t>(x);
    const double xj = static_cast<double>(j);
    if (xj == x) {
        return samples[j];
    }
    // numpy's own formula (the sample spacing is 1, so the slope needs no
    // division), including its retry from the right on NaN.
    const double slope = samples[j + 1] - samples[j];
    double value = slope * (x - xj) + samples[j];
    if (std::isnan(value)) {
        value = slope * (x - (xj + 1.0)) + samples[j + 1];
        if (std::isnan(value) && samples[j] == samples[j + 1]) {
            value = samples[j];
        }
    }
    return value;
}

void resample_cycle(Values samples, double start, double end, std::size_t points, double *out) {
    const double span = end - start;
    const double steps = points > 1 ? static_cast<double>(points - 1) : 1.0;
    for (std::size_t k = 0; k < points; ++k) {
        out[k] = interpolate_at(samples, start + static_cast<double>(k) * span / steps);
    }
}

CurveStatistics curve_statistics(const double *curves, std::size_t count, std::size_t points) {
    CurveStatistics result;
    if (count == 0) {
        return result;
    }
    // Row after row, as numpy sums along the first axis.
    result.mean.assign(points, 0.0);
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t p = 0; p < points; ++p) {
            result.mean[p] += curves[i * points + p];
        }
    }
    for (double &m : result.mean) {
        m /= static_cast<double>(count);
    }
    if (count < 2) {
        return result;
    }
    result.sd.assign(points, 0.0);
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t p = 0; p < points; ++p) {
            const double d = curves[i * points + p] - result.mean[p];
            result.sd[p] += d * d;
        }
    }
    for (double &s : result.sd) {
        s = std::sqrt(s / static_cast<double>(count - 1));
    }
    return result;
}

std::pair<double, double> mean_and_sd(const std::vector<double> &values) {
    const CurveStatistics s = curve_statistics(values.data(), values.size(), 1);
    return {s.mean.empty() ? cycle_nan : s.mean[0], s.sd.empty() ? cycle_nan : s.sd[0]};
}

ChannelAnalysis analyse_channel(const std::vector<ChannelPiece> &pieces, AmplitudeScale scale,
                                double threshold, double merge, std::size_t points) {
    ChannelAnalysis a;
    std::size_t count = 0;
    for (const ChannelPiece &piece : pieces) {
        count += piece.cycle_count;
    }
    if (count == 0 || points < 2) {
        throw std::domain_error("there are no cycles to analyse");
    }
    a.curves.resize(count * points);
    a.trial.reserve(count);
    a.foot_off.reserve(count);
    double *row = a.curves.data();
    for (std::size_t t = 0; t < pieces.size(); ++t) {
        const ChannelPiece &piece = pieces[t];
        for (std::size_t c = 0; c < piece.cycle_count; ++c, row += points) {
            const double start = piece.cycles[3 * c], end = piece.cycles[3 * c + 1];
            resample_cycle(piece.samples, start, end, points, row);
            if (!all_finite(row, points)) {
                throw NonFiniteCycle(t, c);
            }
            a.trial.push_back(static_cast<long long>(t));
            a.foot_off.push_back((piece.cycles[3 * c + 2] - start) / (end - start) * 100.0);
        }
    }
    std::tie(a.foot_off_mean, a.foot_off_sd) = mean_and_sd(a.foot_off);

    double hundred_percent = scale.reference_value;
    if (scale.kind == AmplitudeScale::peak) {
        const CurveStatistics raw = curve_statistics(a.curves.data(), count, points);
        hundred_percent = *std::max_element(raw.mean.begin(), raw.mean.end());
        if (!(hundred_percent > 0.0) || !std::isfinite(hundred_percent)) {
            throw std::domain_error("scale: the mean curve has no positive peak to take as 100 %");
        }
    }
    if (scale.kind != AmplitudeScale::none) {
        for (double &v : a.curves) {
            v = v / hundred_percent * 100.0;
        }
        if (!all_finite(a.curves.data(), a.curves.size())) {
            throw std::domain_error("scale: the curves in % of it lie beyond the range of numbers");
        }
    }
    a.statistics = curve_statistics(a.curves.data(), count, points);

    const auto [low, high] = std::minmax_element(a.statistics.mean.begin(), a.statistics.mean.end());
    a.threshold = *low + threshold * (*high - *low);
    a.activity.reserve(count);
    for (std::size_t c = 0; c < count; ++c) {
        a.activity.push_back(activation_periods(&a.curves[c * points], points, a.threshold, merge));
    }
    a.mean_activity = activation_periods(a.statistics.mean.data(), points, a.threshold, merge);
    return a;
}

}  // namespace quorvaemg::gait::cycles
