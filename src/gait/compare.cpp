// A patient's curve against a reference curve (the mean and SD of a group),
// and the repeatability of one person's cycles.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "gait/cycle_args.hpp"
#include "gait/gait.hpp"

namespace quorvaemg::gait {

namespace {

using namespace cycles;
using namespace py::literals;

constexpr double against_nan = std::numeric_limits<double>::quiet_NaN();

// -- the numbers -----------------------------------------------------------------

// Exactly equal values: a mean of them need not give the value back, and
// deviations of an ulp would make a constant curve look like a shape.
bool against_constant(const double *x, std::size_t n) {
    for (std::size_t i = 1; i < n; ++i) {
        if (!(x[i] == x[0])) {
            return false;
        }
    }
    return true;
}

// Sums of (x gx - mx)(y gy - my), of its squares in x and in y, in four
// partial sums each: one running sum would make every addition wait for the
// one before.
struct AgainstSums {
    double xy = 0, xx = 0, yy = 0;
};
AgainstSums against_sums(const double *x, const double *y, std::size_t n, double gx, double gy,
                         double mx, double my) {
    double xy[4] = {0, 0, 0, 0}, xx[4] = {0, 0, 0, 0}, yy[4] = {0, 0, 0, 0};
    auto add = [&](std::size_t i, int lane) {
        const double dx = x[i] * gx - mx, dy = y[i] * gy - my;
        xy[lane] += dx * dy;
        xx[lane] += dx * dx;
        yy[lane] += dy * dy;
    };
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        add(i, 0);
        add(i + 1, 1);
        add(i + 2, 2);
        add(i + 3, 3);
    }
    for (; i < n; ++i) {
        add(i, 0);
    }
    auto total = [](const double *s) { return (s[0] + s[1]) + (s[2] + s[3]); };
    return {total(xy), total(xx), total(yy)};
}

double against_ratio(const AgainstSums &s) {
    const double r = s.xy / (std::sqrt(s.xx) * std::sqrt(s.yy));
    return std::isfinite(r) ? std::clamp(r, -1.0, 1.0) : against_nan;
}

// Each curve is scaled by a power of two near its peak (exact, and the ratios
// below do not depend on it), so that squares neither overflow nor vanish.
double against_correlation(const double *x, const double *y, std::size_t n) {
    if (n < 2 || against_constant(x, n) || against_constant(y, n)) {
        return against_nan;
    }
    const double gx = unit_gain(largest_magnitude(x, n)), gy = unit_gain(largest_magnitude(y, n));
    double mx = 0, my = 0;
    for (std::size_t i = 0; i < n; ++i) {
        mx += x[i] * gx;
        my += y[i] * gy;
    }
    mx /= static_cast<double>(n);
    my /= static_cast<double>(n);
    return against_ratio(against_sums(x, y, n, gx, gy, mx, my));
}

double against_cosine(const double *x, const double *y, std::size_t n) {
    const double px = largest_magnitude(x, n), py_ = largest_magnitude(y, n);
    if (!(px > 0.0) || !(py_ > 0.0)) {
        return against_nan;
    }
    return against_ratio(against_sums(x, y, n, unit_gain(px), unit_gain(py_), 0.0, 0.0));
}

// The SD per point with its zeros replaced by the smallest positive SD of
// the curve: a point where the group did not vary at all would otherwise
// make any deviation there infinitely many SDs.  Empty when no SD is
// positive.
std::vector<double> against_floored_sd(const double *sd, std::size_t n) {
    double smallest = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        if (sd[i] > 0.0) {
            smallest = std::min(smallest, sd[i]);
        }
    }
    if (!std::isfinite(smallest)) {
        return {};
    }
    std::vector<double> out(sd, sd + n);
    for (double &s : out) {
        s = s > 0.0 ? s : smallest;
    }
    return out;
}

double against_rms_sd(const double *curve, const double *mean, const std::vector<double> &sd) {
    const std::size_t n = sd.size();
    std::vector<double> z(n);
    for (std::size_t i = 0; i < n; ++i) {
        z[i] = (curve[i] - mean[i]) / sd[i];
    }
    const double peak = largest_magnitude(z.data(), n);
    if (!std::isfinite(peak)) {
        return peak;  // a deviation beyond the range of numbers (or NaN)
    }
    const double g = unit_gain(peak);
    double sum = 0;
    for (double v : z) {
        sum += (v * g) * (v * g);
    }
    return std::sqrt(sum / static_cast<double>(n)) / g;
}

struct Outside {
    double from, to;
    bool above;
    bool operator<(const Outside &o) const { return from < o.from; }
};

// Stretches of 0-100 % where `excess` (one value per point) is above 0, the
// ends placed where its linear interpolation crosses 0; those shorter than
// `merge` % are left out.  The cycle is not taken as circular here: a
// stretch at its end and one at its start are two.
void against_runs(const std::vector<double> &excess, double merge, bool above,
                  std::vector<Outside> &out) {
    const std::size_t n = excess.size();
    const double last = static_cast<double>(n - 1);
    bool in = excess[0] > 0.0;
    double start = 0;
    auto close = [&](double end) {
        if (end - start >= merge && end > start) {
            out.push_back({start, end, above});
        }
    };
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const bool next = excess[i + 1] > 0.0;
        if (next == in) {
            continue;
        }
        double at = excess[i] / (excess[i] - excess[i + 1]);
        at = std::isfinite(at) ? std::clamp(at, 0.0, 1.0) : 0.5;
        const double crossing = (static_cast<double>(i) + at) * 100.0 / last;
        if (in) {
            close(crossing);
        }
        start = crossing;
        in = next;
    }
    if (in) {
        close(100.0);
    }
}

std::vector<Outside> against_outside(const double *curve, const double *mean,
                                     const std::vector<double> &sd, double band, double merge) {
    const std::size_t n = sd.size();
    std::vector<double> over(n), under(n);
    for (std::size_t i = 0; i < n; ++i) {
        over[i] = curve[i] - (mean[i] + band * sd[i]);
        under[i] = (mean[i] - band * sd[i]) - curve[i];
    }
    std::vector<Outside> out;
    against_runs(over, merge, true, out);
    against_runs(under, merge, false, out);
    std::sort(out.begin(), out.end());
    return out;
}

struct CurveComparison {
    double correlation = against_nan, cosine = against_nan, rms_sd = against_nan;
    std::vector<Outside> outside;
};

// `sd` null: no SD to measure against.
CurveComparison against_reference(const double *curve, const double *mean, const double *sd,
                                  std::size_t n, double band, double merge) {
    CurveComparison c;
    c.correlation = against_correlation(curve, mean, n);
    c.cosine = against_cosine(curve, mean, n);
    if (sd == nullptr) {
        return c;
    }
    const std::vector<double> floored = against_floored_sd(sd, n);
    if (!floored.empty()) {
        c.rms_sd = against_rms_sd(curve, mean, floored);
        c.outside = against_outside(curve, mean, floored, band, merge);
    } else {  // no spread at all: the band is the mean curve itself
        c.outside = against_outside(curve, mean, std::vector<double>(n, 0.0), band, merge);
    }
    return c;
}

// The variance ratio of the cycles (within-point variance over the total
// variance) and the mean cosine of each cycle with the mean curve, NaN when
// no cycle has one.
std::pair<double, double> against_consistency(const double *x, std::size_t cycles,
                                              std::size_t points) {
    const std::size_t total = cycles * points;
    const double g = unit_gain(largest_magnitude(x, total));
    // Deviations from the first cycle (per point) and from the first value
    // (overall): variances do not change with the shift, and identical
    // cycles or values give exactly 0.  Sums run per point, across the
    // cycles, so that the additions of one point need not wait for another's.
    std::vector<double> first(points), shifted_mean(points, 0.0), grand_sums(points, 0.0);
    for (std::size_t t = 0; t < points; ++t) {
        first[t] = x[t] * g;
    }
    const double origin = first[0];
    for (std::size_t c = 0; c < cycles; ++c) {
        const double *row = x + c * points;
        for (std::size_t t = 0; t < points; ++t) {
            const double v = row[t] * g;
            shifted_mean[t] += v - first[t];
            grand_sums[t] += v - origin;
        }
    }
    double grand = 0;
    for (std::size_t t = 0; t < points; ++t) {
        shifted_mean[t] /= static_cast<double>(cycles);
        grand += grand_sums[t];
    }
    grand /= static_cast<double>(total);
    std::vector<double> within_sums(points, 0.0), overall_sums(points, 0.0);
    for (std::size_t c = 0; c < cycles; ++c) {
        const double *row = x + c * points;
        for (std::size_t t = 0; t < points; ++t) {
            const double v = row[t] * g;
            const double dw = (v - first[t]) - shifted_mean[t];
            const double dt = (v - origin) - grand;
            within_sums[t] += dw * dw;
            overall_sums[t] += dt * dt;
        }
    }
    double within = 0, overall = 0;
    for (std::size_t t = 0; t < points; ++t) {
        within += within_sums[t];
        overall += overall_sums[t];
    }
    const double n = static_cast<double>(cycles), p = static_cast<double>(points);
    const double ratio = overall > 0.0 ? (within / (p * (n - 1.0))) / (overall / (p * n - 1.0))
                                       : 0.0;

    std::vector<double> mean(points);
    for (std::size_t t = 0; t < points; ++t) {
        mean[t] = first[t] + shifted_mean[t];
    }
    double cosines = 0;
    std::size_t counted = 0;
    for (std::size_t c = 0; c < cycles; ++c) {
        const double cosine = against_cosine(x + c * points, mean.data(), points);
        if (!std::isnan(cosine)) {
            cosines += cosine;
            ++counted;
        }
    }
    return {ratio, counted ? cosines / static_cast<double>(counted) : against_nan};
}

// -- the bindings ----------------------------------------------------------------

py::object against_optional(double value) {
    return std::isnan(value) ? py::object(py::none()) : py::object(py::float_(value));
}

std::string against_points_text(py::ssize_t n) {
    return std::to_string(n) + (n == 1 ? " point" : " points");
}

void against_same_length(const DoubleArray &a, const std::string &a_name, const DoubleArray &b,
                         const std::string &b_name) {
    if (a.size() != b.size()) {
        refuse(PyExc_ValueError, a_name + " has " + against_points_text(a.size()) + " but " +
                                     b_name + " has " + against_points_text(b.size()));
    }
}

double against_percent(py::handle value, const std::string &name) {
    const double v = finite_number(value, name);
    if (v < 0.0 || v > 100.0) {
        refuse(PyExc_ValueError, name + " must lie between 0 and 100 (% of the cycle), not " +
                                     number_text(v));
    }
    return v;
}

struct AgainstArguments {
    DoubleArray curve, mean, sd;
    bool has_sd = false;
};

AgainstArguments against_arrays(py::handle curve, py::handle mean, py::handle sd) {
    AgainstArguments a;
    a.curve = finite_array(curve, "curve", 1, false);
    a.mean = finite_array(mean, "mean", 1, false);
    against_same_length(a.curve, "curve", a.mean, "mean");
    if (a.curve.size() < 2) {
        refuse(PyExc_ValueError,
               "curve needs at least 2 points, not " + std::to_string(a.curve.size()));
    }
    a.has_sd = !sd.is_none();
    if (a.has_sd) {
        a.sd = finite_array(sd, "sd", 1, false);
        against_same_length(a.sd, "sd", a.curve, "curve");
        for (py::ssize_t i = 0; i < a.sd.size(); ++i) {
            if (a.sd.data()[i] < 0.0) {
                refuse(PyExc_ValueError, "sd must not be negative, but sd[" + std::to_string(i) +
                                             "] = " + number_text(a.sd.data()[i]));
            }
        }
    }
    return a;
}

py::dict compare_curve_of(py::handle curve, py::handle mean, py::handle sd, py::handle merge,
                          py::handle band) {
    const double merge_percent = against_percent(merge, "merge");
    const double width = finite_number(band, "band");
    if (width < 0.0) {
        refuse(PyExc_ValueError, "band must not be negative, not " + number_text(width));
    }
    AgainstArguments args = against_arrays(curve, mean, sd);
    // Converting a list may run Python code (an item's __float__) that
    // changes an array converted before it: all are checked once more, now
    // numpy's own arrays, which runs none.
    args = against_arrays(args.curve, args.mean, args.has_sd ? py::handle(args.sd) : sd);
    CurveComparison result;
    {
        py::gil_scoped_release unlocked;
        result = against_reference(args.curve.data(), args.mean.data(),
                                   args.has_sd ? args.sd.data() : nullptr,
                                   static_cast<std::size_t>(args.curve.size()), width,
                                   merge_percent);
    }
    py::list outside;
    for (const Outside &o : result.outside) {
        outside.append(py::make_tuple(o.from, o.to, o.above ? "above" : "below"));
    }
    return py::dict("correlation"_a = against_optional(result.correlation),
                    "cosine"_a = against_optional(result.cosine),
                    "rms_sd"_a = against_optional(result.rms_sd), "outside"_a = outside);
}

py::tuple consistency_of(py::handle curves) {
    DoubleArray c = finite_array(curves, "curves", 2, false);
    if (c.shape(0) < 2) {
        refuse(PyExc_ValueError, "curves needs at least 2 cycles (rows), not " +
                                     std::to_string(c.shape(0)));
    }
    std::pair<double, double> r;
    {
        py::gil_scoped_release unlocked;
        r = against_consistency(c.data(), static_cast<std::size_t>(c.shape(0)),
                                static_cast<std::size_t>(c.shape(1)));
    }
    return py::make_tuple(r.first, against_optional(r.second));
}

}  // namespace

void register_compare(py::module_ &m) {
    m.def("compare_curve", &compare_curve_of, "curve"_a, "mean"_a, "sd"_a = py::none(),
          "merge"_a = 3.0, "band"_a = 2.0,
          "A curve against a reference mean curve and its SD (None: no SD), point by point:\n"
          "a dict of\n"
          "  correlation: Pearson's r with the mean (None when either is constant),\n"
          "  cosine: the cosine similarity with the mean (None when either is all zero),\n"
          "  rms_sd: the root mean square of (curve - mean) / sd (None without an SD or when\n"
          "    every SD is 0),\n"
          "  outside: (from, to, \"above\" | \"below\") in % of the cycle, the stretches where\n"
          "    the curve lies above mean + band * sd or below mean - band * sd, the ends\n"
          "    interpolated between points, those shorter than `merge` % left out.\n"
          "Where sd is 0 the smallest positive SD of the curve stands in, for rms_sd and for\n"
          "the band alike; when every SD is 0 the band is the mean curve itself.");
    m.def("consistency", &consistency_of, "curves"_a,
          "(variance_ratio, mean_cosine) of cycles x points curves: the ratio of the variance\n"
          "about the mean curve to the variance about the grand mean (0 for identical cycles,\n"
          "near 1 for noise), and the mean cosine similarity of each cycle with the mean\n"
          "curve (cycles all zero left out; None when every cycle is).");
}

}  // namespace quorvaemg::gait
