// Co-contraction of two muscles over each cycle, over its stance and over its
// swing: twice the common area of their curves over the sum of their areas
// (Falconer and Winter, 1985), in %.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "gait/cycle_args.hpp"
#include "gait/gait.hpp"

namespace quorvaemg::gait {

namespace {

using namespace cycles;
using namespace py::literals;

constexpr double cci_nan = std::numeric_limits<double>::quiet_NaN();

struct CoContraction {
    std::vector<double> whole, stance, swing;
};

// The sum of f[lo..hi], in four partial sums: one running sum would make
// every addition wait for the one before.
double cci_sum(const double *f, std::size_t lo, std::size_t hi) {
    double s[4] = {0, 0, 0, 0};
    std::size_t k = lo;
    for (; k + 3 <= hi; k += 4) {
        s[0] += f[k];
        s[1] += f[k + 1];
        s[2] += f[k + 2];
        s[3] += f[k + 3];
    }
    for (; k <= hi; ++k) {
        s[0] += f[k];
    }
    return (s[0] + s[1]) + (s[2] + s[3]);
}

// The trapezoid area of f over the points lo..hi, `step` apart.
double cci_trapezoid(const double *f, std::size_t lo, std::size_t hi, double step) {
    return hi > lo ? step * (cci_sum(f, lo, hi) - (f[lo] + f[hi]) / 2.0) : 0.0;
}

double cci_index(double common, double total) {
    return total > 0.0 ? 2.0 * common / total * 100.0 : std::numeric_limits<double>::quiet_NaN();
}

// Both cycles x points, foot off in % of each cycle.  A filter's undershoot
// below 0 is no activity: it is taken as 0 before anything else.
CoContraction cci_cycles(const double *a, const double *b, const double *foot_off,
                         std::size_t cycles, std::size_t points) {
    CoContraction out;
    out.whole.reserve(cycles);
    out.stance.reserve(cycles);
    out.swing.reserve(cycles);
    const std::size_t last = points - 1;
    const double step = 100.0 / static_cast<double>(last);
    auto at = [&](std::size_t k) { return static_cast<double>(k) * 100.0 / static_cast<double>(last); };
    std::vector<double> ca(points), cb(points), common(points), total(points);
    for (std::size_t c = 0; c < cycles; ++c) {
        for (std::size_t k = 0; k < points; ++k) {
            ca[k] = std::max(a[c * points + k], 0.0);
            cb[k] = std::max(b[c * points + k], 0.0);
        }
        const double peak = std::max(largest_magnitude(ca.data(), points),
                                     largest_magnitude(cb.data(), points));
        // Scaled by a power of two (exact; the index is a ratio), so that
        // sums of large values do not overflow.
        const double g = unit_gain(peak);
        for (std::size_t k = 0; k < points; ++k) {
            ca[k] *= g;
            cb[k] *= g;
            common[k] = std::min(ca[k], cb[k]);
            total[k] = ca[k] + cb[k];
        }
        // The interval [x_j, x_j+1] that holds the foot off (the last one
        // for an off at 100 %); a value that is not a number stays in range.
        double fo = foot_off[c];
        fo = fo >= 0.0 ? std::min(fo, 100.0) : 0.0;
        auto j = std::min(static_cast<std::size_t>(fo / step), points - 2);
        while (j > 0 && fo < at(j)) {  // the division may round across a point
            --j;
        }
        while (j + 2 < points && fo > at(j + 1)) {
            ++j;
        }
        const double xj = at(j), xk = at(j + 1);
        const double t = std::clamp((fo - xj) / (xk - xj), 0.0, 1.0);
        const double af = ca[j] + t * (ca[j + 1] - ca[j]);
        const double bf = cb[j] + t * (cb[j + 1] - cb[j]);
        double areas[2][3];  // common, total x whole, stance, swing
        const double at_off[2] = {std::min(af, bf), af + bf};
        const double *curves[2] = {common.data(), total.data()};
        for (int i = 0; i < 2; ++i) {
            const double *f = curves[i];
            areas[i][0] = cci_trapezoid(f, 0, last, step);
            areas[i][1] = cci_trapezoid(f, 0, j, step) + (fo - xj) * (f[j] + at_off[i]) / 2.0;
            areas[i][2] = (xk - fo) * (at_off[i] + f[j + 1]) / 2.0 +
                          cci_trapezoid(f, j + 1, last, step);
        }
        out.whole.push_back(cci_index(areas[0][0], areas[1][0]));
        out.stance.push_back(cci_index(areas[0][1], areas[1][1]));
        out.swing.push_back(cci_index(areas[0][2], areas[1][2]));
    }
    return out;
}

struct CciArguments {
    DoubleArray a, b, foot_off;
};

CciArguments cci_arrays(py::handle a, py::handle b, py::handle foot_off) {
    CciArguments r{finite_array(a, "a", 2, false), finite_array(b, "b", 2, false), {}};
    if (r.a.shape(0) != r.b.shape(0) || r.a.shape(1) != r.b.shape(1)) {
        refuse(PyExc_ValueError, "a has shape " + cycle_shape_text(r.a) + " but b has shape " +
                                     cycle_shape_text(r.b));
    }
    if (r.a.shape(1) < 2) {
        refuse(PyExc_ValueError, "a and b need at least 2 points per cycle");
    }
    r.foot_off = finite_array(foot_off, "foot_off", 1, true);
    const double *fo = r.foot_off.data();
    if (r.foot_off.size() != r.a.shape(0)) {
        refuse(PyExc_ValueError, "foot_off has " + std::to_string(r.foot_off.size()) +
                                     " values but a and b have " + std::to_string(r.a.shape(0)) +
                                     " cycles");
    }
    for (py::ssize_t i = 0; i < r.foot_off.size(); ++i) {
        if (fo[i] < 0.0 || fo[i] > 100.0) {
            refuse(PyExc_ValueError, "foot_off[" + std::to_string(i) + "] = " +
                                         number_text(fo[i]) + " lies outside 0-100 %");
        }
    }
    return r;
}

py::dict co_contraction_of(py::handle a, py::handle b, py::handle foot_off) {
    CciArguments args = cci_arrays(a, b, foot_off);
    // Converting a list may run Python code (an item's __float__) that
    // changes an array converted before it: all are checked once more, now
    // numpy's own arrays, which runs none.
    args = cci_arrays(args.a, args.b, args.foot_off);
    const DoubleArray &ca = args.a, &cb = args.b, &fo = args.foot_off;
    const auto cycles = static_cast<std::size_t>(ca.shape(0));
    CoContraction r;
    {
        py::gil_scoped_release unlocked;
        r = cci_cycles(ca.data(), cb.data(), fo.data(), cycles,
                       static_cast<std::size_t>(ca.shape(1)));
    }
    const py::ssize_t n = ca.shape(0);
    return py::dict("whole"_a = new_array(r.whole, {n}), "stance"_a = new_array(r.stance, {n}),
                    "swing"_a = new_array(r.swing, {n}));
}

}  // namespace

void register_co_contraction(py::module_ &m) {
    m.def("co_contraction", &co_contraction_of, "a"_a, "b"_a, "foot_off"_a,
          "The co-contraction index of two muscles per cycle, 2 * area(min(a, b)) /\n"
          "area(a + b) * 100 %, over the whole cycle, the stance (0 % to the cycle's foot off)\n"
          "and the swing (foot off to 100 %): {\"whole\", \"stance\", \"swing\"}, one value per\n"
          "cycle.  a and b are cycles x points curves over 0-100 %, foot_off one value per\n"
          "cycle in %; areas by the trapezoid rule, the curves at the foot off interpolated\n"
          "between points; values below 0 count as 0; a phase with no activity in either\n"
          "muscle gives NaN.");
}

}  // namespace quorvaemg::gait
