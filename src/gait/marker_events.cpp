// Foot strikes and foot offs of one foot found from its heel and toe markers
// and the pelvis (the coordinate method of Zeni, Richards and Higginson,
// Gait & Posture 2008): a strike is where the heel is farthest ahead of the
// pelvis along the direction of walking, an off where the toe is farthest
// behind it.  Labs' C3D files often carry no events, or only some.
#include <algorithm>
#include <cmath>
#include <iterator>
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

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double PI = 3.14159265358979323846;
// scipy's filtfilt pads by 3 x the filter's length: a stretch of no more
// frames than this has no filtered values (scipy refuses it).
constexpr std::size_t PAD = 9;
// A heading more than 45 degrees from where a straight stretch began starts
// another: the cosine of 45 degrees.
constexpr double TURN_COSINE = 0.70710678118654752440;

// A 2nd-order Butterworth low-pass by the bilinear transform, with the
// initial state of a step response as scipy's lfilter_zi gives it.
struct Lowpass {
    double b0, b1, b2, a1, a2, z0, z1;
};

Lowpass lowpass_design(double rate, double cutoff) {
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

// One pass over `rows` rows of W values in place (W independent filters run
// side by side: each one's recursion waits on itself, not on the others),
// from the steady state of the first row; backwards from the last.
template <std::size_t W>
void lowpass_pass(const Lowpass &f, double *x, std::size_t rows, bool backwards) {
    // The first two rows as the transposed direct form (which the initial
    // state is for), the rest as the direct form: its recursion is one
    // multiply-add shorter.
    const std::ptrdiff_t step = backwards ? -static_cast<std::ptrdiff_t>(W) : W;
    double *row = backwards ? x + (rows - 1) * W : x;
    double v1[W], v2[W], y1[W], y2[W];
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
    for (std::size_t j = 2; j < rows; ++j, row += step) {
        for (std::size_t c = 0; c < W; ++c) {
            const double v = row[c];
            const double y = (f.b0 * v + f.b1 * v1[c] + f.b2 * v2[c] - f.a2 * y2[c]) - f.a1 * y1[c];
            v2[c] = v1[c];
            v1[c] = v;
            y2[c] = y1[c];
            y1[c] = y;
            row[c] = y;
        }
    }
}

// Zero-lag filtering of the first W values of `m` rows of S, each column
// with the odd reflection padding of scipy's filtfilt, into rows of W;
// `work` is reused between calls.
template <std::size_t W, std::size_t S>
void lowpass_stretch(const Lowpass &f, const double *x, double *out, std::size_t m,
                     std::vector<double> &work) {
    work.resize((m + 2 * PAD) * W);
    double *w = work.data();
    for (std::size_t c = 0; c < W; ++c) {
        const double head = x[c], tail = x[(m - 1) * S + c];
        for (std::size_t k = 0; k < PAD; ++k) {
            w[k * W + c] = 2 * head - x[(PAD - k) * S + c];
            w[(PAD + m + k) * W + c] = 2 * tail - x[(m - 2 - k) * S + c];
        }
        for (std::size_t i = 0; i < m; ++i) {
            w[(PAD + i) * W + c] = x[i * S + c];
        }
    }
    lowpass_pass<W>(f, w, m + 2 * PAD, false);
    lowpass_pass<W>(f, w, m + 2 * PAD, true);
    std::copy(w + PAD * W, w + (PAD + m) * W, out);
}

// The first W values of each row of S, filtered over each gap-free stretch
// of `frames` rows on its own; a row `missing(i)` is a gap, and so is every
// row of a stretch too short to filter.
template <std::size_t W, std::size_t S, class Missing>
void lowpass_rows(const Lowpass &f, const double *x, std::size_t frames, Missing missing,
                  std::vector<double> &out, std::vector<double> &work) {
    out.assign(frames * W, NaN);
    for (std::size_t start = 0; start < frames;) {
        if (missing(start)) {
            ++start;
            continue;
        }
        std::size_t end = start + 1;
        while (end < frames && !missing(end)) {
            ++end;
        }
        if (end - start > PAD) {
            lowpass_stretch<W, S>(f, x + start * S, out.data() + start * W, end - start, work);
        }
        start = end;
    }
}

// A marker's sample is missing where any coordinate is NaN and, in markers as
// capture systems write them (`zeros_lost`), where all three are zero.
inline bool sample_missing(const double *xyz, bool zeros_lost) {
    return std::isnan(xyz[0]) || std::isnan(xyz[1]) || std::isnan(xyz[2]) ||
           (zeros_lost && xyz[0] == 0 && xyz[1] == 0 && xyz[2] == 0);
}

struct Event {
    double at;        // frame position
    double strength;  // how far the extreme reaches: the larger wins
    bool strike;
};

// Frames of each straight stretch of walking: the same number for frames of
// one stretch, -1 where the pelvis stands still or is missing.
long walking_stretches(const std::vector<double> &pelvis, std::size_t n, double rate,
                       double still_speed, std::vector<double> &vx, std::vector<double> &vy,
                       std::vector<long> &stretch) {
    stretch.assign(n, -1);
    vx.assign(n, 0);
    vy.assign(n, 0);
    long current = -1;
    double hx = 0, hy = 0;  // the heading where the stretch began, a unit vector
    bool walking = false;
    const double least = still_speed * still_speed;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double *before = &pelvis[(i - 1) * 2], *after = &pelvis[(i + 1) * 2];
        vx[i] = (after[0] - before[0]) * rate / 2;
        vy[i] = (after[1] - before[1]) * rate / 2;
        const double square = vx[i] * vx[i] + vy[i] * vy[i];
        if (!(square >= least)) {  // NaN too: the pelvis is missing
            walking = false;
            continue;
        }
        // Turned too far: the cosine of the angle below TURN_COSINE.
        const double speed = std::sqrt(square);
        if (!walking || vx[i] * hx + vy[i] * hy < TURN_COSINE * speed) {
            ++current;
            hx = vx[i] / speed;
            hy = vy[i] / speed;
            walking = true;
        }
        stretch[i] = current;
    }
    return current + 1;
}

// Extremes of `relative` (already signed so that the wanted extreme is a
// maximum) at frames whose both neighbours are of the same stretch, in the
// order of their frames.
void extremes(const std::vector<double> &relative, const std::vector<long> &stretch,
              bool strike, std::vector<Event> &events) {
    events.clear();
    for (std::size_t i = 1; i + 1 < relative.size(); ++i) {
        const double l = relative[i - 1], c = relative[i], r = relative[i + 1];
        if (stretch[i] < 0 || stretch[i - 1] != stretch[i] || stretch[i + 1] != stretch[i] ||
            !(c > l && c >= r)) {  // NaN neighbours fail too: no event at a gap's edge
            continue;
        }
        const double curve = l - 2 * c + r;
        const double shift = curve < 0 ? 0.5 * (l - r) / curve : 0;
        events.push_back({static_cast<double>(i) + shift, c, strike});
    }
}

// Strike, off, strike...: of two events of one kind with none of the other
// between, the stronger is kept - unless the other kind's marker was missing
// somewhere between them (its event may be in the gap).  Both kinds come in
// the order of their frames: merged, not sorted.
std::vector<Event> alternating(const std::vector<Event> &strikes, const std::vector<Event> &offs,
                               std::vector<Event> &events, const std::vector<long> &stretch,
                               const std::vector<std::size_t> &heel_gaps,
                               const std::vector<std::size_t> &toe_gaps) {
    events.clear();
    std::merge(strikes.begin(), strikes.end(), offs.begin(), offs.end(),
               std::back_inserter(events),
               [](const Event &a, const Event &b) { return a.at < b.at; });
    std::vector<Event> kept;
    for (const Event &e : events) {
        if (!kept.empty() && kept.back().strike == e.strike) {
            const Event &last = kept.back();
            const auto from = static_cast<std::size_t>(last.at), to = static_cast<std::size_t>(e.at) + 1;
            const std::vector<std::size_t> &gaps = e.strike ? toe_gaps : heel_gaps;
            const bool same_stretch = stretch[from] == stretch[std::min(to, stretch.size() - 1)];
            if (same_stretch && gaps[to] == gaps[from]) {
                if (e.strength > last.strength) {
                    kept.back() = e;
                }
                continue;
            }
        }
        kept.push_back(e);
    }
    return kept;
}

// Counts of missing frames of a marker before each frame (one more entry).
void gap_counts(const std::vector<double> &marker, std::size_t n,
                std::vector<std::size_t> &counts) {
    counts.assign(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        counts[i + 1] = counts[i] + (std::isnan(marker[i * 2]) ? 1 : 0);
    }
}

// The pelvis's filtered path, its stretches of walking and each stretch's
// axis and sign: the same for both feet.
struct Walking {
    std::vector<double> p, vx, vy;
    std::vector<long> stretch;
    std::vector<std::size_t> axis;
    std::vector<double> sign;
};

// The working arrays of one call, made once and reused by each foot.
struct Scratch {
    std::vector<double> midpoint, h, t, heel_ahead, toe_behind, work;
    std::vector<std::size_t> heel_gaps, toe_gaps;
    std::vector<Event> strikes, offs, events;
};

// The midpoint of the pelvis markers (x and y), NaN where any is missing.
void pelvis_midpoint(const std::vector<const double *> &markers, std::size_t n, bool zeros_lost,
                     std::vector<double> &out) {
    out.resize(n * 2);
    const double count = static_cast<double>(markers.size());
    for (std::size_t i = 0; i < n; ++i) {
        double x = 0, y = 0;
        bool missing = false;
        for (std::size_t m = 0; m < markers.size(); ++m) {
            const double *xyz = markers[m] + i * 3;
            missing = missing || sample_missing(xyz, zeros_lost);
            // As numpy adds them: the first as it is, then each next one.
            x = m ? x + xyz[0] : xyz[0];
            y = m ? y + xyz[1] : xyz[1];
        }
        if (missing) {
            x = y = NaN;
        } else if (markers.size() > 1) {
            x /= count;
            y /= count;
        }
        out[i * 2] = x;
        out[i * 2 + 1] = y;
    }
}

void walking_of(const Lowpass &f, const std::vector<const double *> &pelvis, std::size_t n,
                double rate, double still_speed, bool zeros_lost, Walking &w, Scratch &s) {
    pelvis_midpoint(pelvis, n, zeros_lost, s.midpoint);
    const double *mid = s.midpoint.data();
    lowpass_rows<2, 2>(f, mid, n, [mid](std::size_t i) { return std::isnan(mid[i * 2]); }, w.p,
                       s.work);
    const long stretches = walking_stretches(w.p, n, rate, still_speed, w.vx, w.vy, w.stretch);
    // Each stretch's axis (x or y) and sign from its mean velocity.
    std::vector<double> sum_x(stretches, 0), sum_y(stretches, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (w.stretch[i] >= 0) {
            sum_x[w.stretch[i]] += w.vx[i];
            sum_y[w.stretch[i]] += w.vy[i];
        }
    }
    w.axis.resize(stretches);
    w.sign.resize(stretches);
    for (long k = 0; k < stretches; ++k) {
        const bool along_x = std::fabs(sum_x[k]) >= std::fabs(sum_y[k]);
        w.axis[k] = along_x ? 0 : 1;
        w.sign[k] = (along_x ? sum_x[k] : sum_y[k]) >= 0 ? 1 : -1;
    }
}

std::vector<Event> foot_events(const Lowpass &f, const double *heel, const double *toe,
                               std::size_t n, bool zeros_lost, const Walking &w, Scratch &s) {
    // Only the horizontal coordinates count; a sample is missing all the same
    // when its height is.
    lowpass_rows<2, 3>(f, heel, n,
                       [heel, zeros_lost](std::size_t i) { return sample_missing(heel + i * 3, zeros_lost); },
                       s.h, s.work);
    lowpass_rows<2, 3>(f, toe, n,
                       [toe, zeros_lost](std::size_t i) { return sample_missing(toe + i * 3, zeros_lost); },
                       s.t, s.work);
    const std::vector<double> &h = s.h, &t = s.t, &p = w.p;
    const std::vector<long> &stretch = w.stretch;
    std::vector<double> &heel_ahead = s.heel_ahead, &toe_behind = s.toe_behind;
    heel_ahead.assign(n, NaN);
    toe_behind.assign(n, NaN);
    for (std::size_t i = 0; i < n; ++i) {
        const long k = stretch[i];
        if (k < 0) {
            continue;
        }
        const std::size_t axis = w.axis[k];
        const double sign = w.sign[k];
        heel_ahead[i] = sign * (h[i * 2 + axis] - p[i * 2 + axis]);
        toe_behind[i] = -sign * (t[i * 2 + axis] - p[i * 2 + axis]);
    }
    extremes(heel_ahead, stretch, true, s.strikes);
    extremes(toe_behind, stretch, false, s.offs);
    gap_counts(h, n, s.heel_gaps);
    gap_counts(t, n, s.toe_gaps);
    return alternating(s.strikes, s.offs, s.events, stretch, s.heel_gaps, s.toe_gaps);
}

// Events of each foot (heel, toe) against one pelvis (the midpoint of its
// markers), all `n` frames of rows of 3.
std::vector<std::vector<Event>> feet_of(const std::vector<const double *> &pelvis,
                                        const std::vector<std::pair<const double *, const double *>> &feet,
                                        std::size_t n, double rate, double cutoff,
                                        double still_speed, bool zeros_lost) {
    const Lowpass f = lowpass_design(rate, cutoff);
    Scratch s;
    Walking w;
    walking_of(f, pelvis, n, rate, still_speed, zeros_lost, w, s);
    std::vector<std::vector<Event>> events;
    for (const auto &[heel, toe] : feet) {
        events.push_back(foot_events(f, heel, toe, n, zeros_lost, w, s));
    }
    return events;
}

py::array_t<double> positions(const std::vector<Event> &events, bool strike) {
    std::vector<double> at;
    for (const Event &e : events) {
        if (e.strike == strike) {
            at.push_back(e.at);
        }
    }
    return new_array(at, {static_cast<py::ssize_t>(at.size())});
}

double checked_cutoff(py::handle lowpass, double rate) {
    const double cutoff = positive_number(lowpass, "lowpass");
    if (!(cutoff < rate / 2)) {
        refuse(PyExc_ValueError, "lowpass (" + number_text(cutoff) +
                                     " Hz) must be below half the rate (" +
                                     number_text(rate / 2) + " Hz)");
    }
    return cutoff;
}

py::tuple marker_events(py::handle heel, py::handle toe, py::handle pelvis, py::handle rate,
                        py::handle lowpass, py::handle still_speed) {
    const DoubleArray h = gappy_samples(heel, "heel", 3), t = gappy_samples(toe, "toe", 3),
                      p = gappy_samples(pelvis, "pelvis", 3);
    for (const auto &[array, name] : {std::pair{&t, "toe"}, std::pair{&p, "pelvis"}}) {
        if (array->shape(0) != h.shape(0)) {
            refuse(PyExc_ValueError, std::string(name) + " has " + std::to_string(array->shape(0)) +
                                         " frames, heel " + std::to_string(h.shape(0)) +
                                         ": the markers must have as many frames");
        }
    }
    const double fs = positive_number(rate, "rate");
    const double cutoff = checked_cutoff(lowpass, fs);
    const double still = positive_number(still_speed, "still_speed");
    std::vector<std::vector<Event>> events;
    {
        py::gil_scoped_release unlocked;
        events = feet_of({p.data()}, {{h.data(), t.data()}}, static_cast<std::size_t>(h.shape(0)),
                         fs, cutoff, still, false);
    }
    return py::make_tuple(positions(events[0], true), positions(events[0], false));
}

// The markers of a call to feet_events, kept alive while the core reads them.
struct FeetMarkers {
    std::vector<DoubleArray> arrays;
    std::vector<const double *> pelvis;
    std::vector<std::pair<const double *, const double *>> feet;
    py::ssize_t frames = -1;

    const double *add(py::handle value, const std::string &name) {
        arrays.push_back(gappy_samples(value, name, 3));
        const DoubleArray &array = arrays.back();
        if (frames < 0) {
            frames = array.shape(0);
        } else if (array.shape(0) != frames) {
            refuse(PyExc_ValueError, name + " has " + std::to_string(array.shape(0)) +
                                         " frames, pelvis marker 1 " + std::to_string(frames) +
                                         ": the markers must have as many frames");
        }
        return array.data();
    }
};

std::vector<py::object> items_of(py::handle value, const std::string &name, const char *what) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || !PySequence_Check(value.ptr())) {
        refuse(PyExc_TypeError, name + " must be a sequence of " + what + ", not " +
                                    Py_TYPE(value.ptr())->tp_name);
    }
    std::vector<py::object> items;
    for (py::handle item : py::reinterpret_borrow<py::sequence>(value)) {
        items.push_back(py::reinterpret_borrow<py::object>(item));
    }
    return items;
}

py::list feet_events(py::handle pelvis, py::handle feet, py::handle rate, py::handle lowpass,
                     py::handle still_speed) {
    FeetMarkers m;
    const std::vector<py::object> pelvis_items = items_of(pelvis, "pelvis", "marker arrays");
    if (pelvis_items.empty()) {
        refuse(PyExc_ValueError, "pelvis must hold at least one marker");
    }
    for (std::size_t k = 0; k < pelvis_items.size(); ++k) {
        m.pelvis.push_back(m.add(pelvis_items[k], "pelvis marker " + std::to_string(k + 1)));
    }
    const std::vector<py::object> foot_items = items_of(feet, "feet", "(heel, toe) pairs");
    for (std::size_t k = 0; k < foot_items.size(); ++k) {
        const std::string foot = "foot " + std::to_string(k + 1);
        const std::vector<py::object> pair = items_of(foot_items[k], foot, "heel and toe");
        if (pair.size() != 2) {
            refuse(PyExc_ValueError, foot + " must be a (heel, toe) pair, not " +
                                         std::to_string(pair.size()) + " arrays");
        }
        const double *heel = m.add(pair[0], "heel of " + foot);
        m.feet.emplace_back(heel, m.add(pair[1], "toe of " + foot));
    }
    const double fs = positive_number(rate, "rate");
    const double cutoff = checked_cutoff(lowpass, fs);
    const double still = positive_number(still_speed, "still_speed");
    std::vector<std::vector<Event>> events;
    {
        py::gil_scoped_release unlocked;
        events = feet_of(m.pelvis, m.feet, static_cast<std::size_t>(m.frames), fs, cutoff, still,
                         true);
    }
    py::list out;
    for (const std::vector<Event> &foot : events) {
        out.append(py::make_tuple(positions(foot, true), positions(foot, false)));
    }
    return out;
}

py::array_t<double> zero_lag_lowpass(py::handle samples, py::handle rate, py::handle lowpass) {
    const DoubleArray x = gappy_samples(samples, "samples", 0);
    const double fs = positive_number(rate, "rate");
    const Lowpass f = lowpass_design(fs, checked_cutoff(lowpass, fs));
    std::vector<double> out, work;
    {
        py::gil_scoped_release unlocked;
        const double *data = x.data();
        lowpass_rows<1, 1>(f, data, static_cast<std::size_t>(x.size()),
                           [data](std::size_t i) { return std::isnan(data[i]); }, out, work);
    }
    return new_array(out, {x.size()});
}

}  // namespace

void register_marker_events(py::module_ &m) {
    m.def("marker_events", &marker_events, "heel"_a, "toe"_a, "pelvis"_a, "rate"_a,
          "lowpass"_a = 6.0, "still_speed"_a = 100.0,
          "(strikes, offs) of one foot, frame positions, from its heel, toe and pelvis\n"
          "(frames x 3 arrays, NaN in gaps; z vertical): strikes where the heel is farthest\n"
          "ahead of the pelvis along the direction of walking, offs where the toe is farthest\n"
          "behind, after a zero-lag Butterworth low-pass at `lowpass` Hz.  None while the\n"
          "pelvis moves slower than `still_speed` (units per second) or at a gap.");
    m.def("feet_events", &feet_events, "pelvis"_a, "feet"_a, "rate"_a, "lowpass"_a = 6.0,
          "still_speed"_a = 100.0,
          "[(strikes, offs)] of each foot of `feet`, (heel, toe) pairs, as marker_events finds\n"
          "them, against one pelvis: the midpoint of the markers `pelvis`, filtered once for\n"
          "all the feet.  A sample of all zeros is missing too, as capture systems write a\n"
          "lost marker.");
    m.def("zero_lag_lowpass", &zero_lag_lowpass, "samples"_a, "rate"_a, "lowpass"_a,
          "The 2nd-order Butterworth low-pass run forwards and backwards (as scipy's\n"
          "filtfilt) over each stretch of samples without NaN; NaN in gaps and in\n"
          "stretches of 9 samples or fewer.");
}

}  // namespace quorvaemg::gait
