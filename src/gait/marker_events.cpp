// Foot strikes and foot offs of one foot found from its heel and toe markers
// and the pelvis (the coordinate method of Zeni, Richards and Higginson,
// Gait & Posture 2008): a strike is where the heel is farthest ahead of the
// pelvis along the direction of walking, an off where the toe is farthest
// behind it, each then moved by the foot's speed (foot_speed.hpp).  Labs'
// C3D files often carry no events, or only some.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "gait/cycle_args.hpp"
#include "gait/foot_speed.hpp"
#include "gait/gait.hpp"
#include "gait/zero_lag.hpp"

namespace quorvaemg::gait {

namespace {

using namespace cycles;
using namespace zero_lag;
using namespace py::literals;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
// A heading more than 45 degrees from where a straight stretch began starts
// another: the cosine of 45 degrees.
constexpr double TURN_COSINE = 0.70710678118654752440;

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

// Frames [begin, end), in order and apart.
struct Span {
    std::size_t begin, end;
};

// Whether any of `spans` (in order, apart) holds a frame of [from, to).
bool meets(const std::vector<Span> &spans, std::size_t from, std::size_t to) {
    const auto after = std::upper_bound(spans.begin(), spans.end(), from,
                                        [](std::size_t i, const Span &s) { return i < s.end; });
    return after != spans.end() && after->begin < to;
}

// The pelvis's filtered path (x, y a frame), its straight stretches of
// walking, and each stretch's axis (x or y) and sign from its mean velocity:
// the same for every foot.
struct Walking {
    std::vector<double> p;
    std::vector<Span> stretches;
    std::vector<std::size_t> axis;
    std::vector<double> sign;

    // The stretch of frame i, -1 where the pelvis stands still or is missing.
    long stretch_of(std::size_t i) const {
        const auto after = std::upper_bound(stretches.begin(), stretches.end(), i,
                                            [](std::size_t j, const Span &s) { return j < s.end; });
        return after != stretches.end() && after->begin <= i ? after - stretches.begin() : -1;
    }
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

// A new stretch where the pelvis starts walking and where it has turned more
// than 45 degrees from the heading the stretch began with.
void walking_of(const Lowpass &f, const std::vector<const double *> &pelvis, std::size_t n,
                double rate, double still_speed, bool zeros_lost, Walking &w) {
    pelvis_midpoint(pelvis, n, zeros_lost, w.p);
    lowpass_rows<2>(f, w.p.data(), n);
    const std::vector<double> &p = w.p;
    std::vector<double> sum_x, sum_y;
    double hx = 0, hy = 0;  // the heading where the stretch began, a unit vector
    bool walking = false;
    const double least = still_speed * still_speed;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double *before = &p[(i - 1) * 2], *after = &p[(i + 1) * 2];
        const double vx = (after[0] - before[0]) * rate / 2;
        const double vy = (after[1] - before[1]) * rate / 2;
        const double square = vx * vx + vy * vy;
        if (!(square >= least)) {  // NaN too: the pelvis is missing
            walking = false;
            continue;
        }
        // Turned too far: the cosine of the angle below TURN_COSINE.
        const double speed = std::sqrt(square);
        if (!walking || vx * hx + vy * hy < TURN_COSINE * speed) {
            w.stretches.push_back({i, i});
            sum_x.push_back(0);
            sum_y.push_back(0);
            hx = vx / speed;
            hy = vy / speed;
            walking = true;
        }
        w.stretches.back().end = i + 1;
        sum_x.back() += vx;
        sum_y.back() += vy;
    }
    for (std::size_t k = 0; k < w.stretches.size(); ++k) {
        const bool along_x = std::fabs(sum_x[k]) >= std::fabs(sum_y[k]);
        w.axis.push_back(along_x ? 0 : 1);
        w.sign.push_back((along_x ? sum_x[k] : sum_y[k]) >= 0 ? 1 : -1);
    }
}

// The filtered marker (rows of x, y from frame `start` to before `end`): the
// maxima of `flip` x sign x (marker - pelvis) along each stretch of walking
// within it, the sign of the stretch's heading, at frames whose both
// neighbours are of the same stretch and of the marker's filtered stretch.
void extremes(const double *marker, std::size_t start, std::size_t end, const Walking &w,
              double flip, bool strike, std::vector<Event> &events) {
    const double *p = w.p.data();
    auto k = static_cast<std::size_t>(
        std::upper_bound(w.stretches.begin(), w.stretches.end(), start,
                         [](std::size_t i, const Span &s) { return i < s.end; }) -
        w.stretches.begin());
    for (; k < w.stretches.size() && w.stretches[k].begin < end; ++k) {
        const std::size_t from = std::max(start, w.stretches[k].begin),
                          to = std::min(end, w.stretches[k].end);
        if (to < from + 3) {
            continue;
        }
        const std::size_t axis = w.axis[k];
        const double sign = flip * w.sign[k];
        auto relative = [&](std::size_t i) {
            return sign * (marker[(i - start) * 2 + axis] - p[i * 2 + axis]);
        };
        double l = relative(from), c = relative(from + 1);
        for (std::size_t i = from + 1; i + 1 < to; ++i) {
            const double r = relative(i + 1);
            if (c > l && c >= r) {  // NaN fails too: no event where the pelvis is missing
                const double curve = l - 2 * c + r;
                const double shift = curve < 0 ? 0.5 * (l - r) / curve : 0;
                events.push_back({static_cast<double>(i) + shift, c, strike});
            }
            l = c;
            c = r;
        }
    }
}

// The working arrays of one call, made once and reused by each marker.
struct Scratch {
    std::vector<double> work, speeds;
    std::vector<Span> heel_gaps, toe_gaps;
    std::vector<Event> strikes, offs, events;
};

// A foot marker filtered stretch by stretch, each stretch's extremes found
// (and moved by the marker's speed) as soon as it is filtered; `gaps` gets
// the frames it has no filtered value at (its gaps and its stretches too
// short to filter).
void marker_extremes(const Lowpass &f, const double *xyz, std::size_t n, bool zeros_lost,
                     const Walking &w, double flip, bool strike, double share,
                     std::vector<Event> &events, std::vector<Span> &gaps, Scratch &s) {
    std::vector<double> &work = s.work;
    events.clear();
    gaps.clear();
    std::size_t filtered = 0;  // frames before this one are filtered or in gaps
    auto gap = [&gaps](std::size_t begin, std::size_t end) {
        if (begin < end) {
            if (!gaps.empty() && gaps.back().end == begin) {
                gaps.back().end = end;
            } else {
                gaps.push_back({begin, end});
            }
        }
    };
    each_stretch(
        n, [xyz, zeros_lost](std::size_t i) { return sample_missing(xyz + i * 3, zeros_lost); },
        [&](std::size_t start, std::size_t end) {
            gap(filtered, start);
            filtered = end;
            if (end - start <= PAD) {
                gap(start, end);
                return;
            }
            // Only the horizontal coordinates count; a sample is missing all
            // the same when its height is.
            work.resize((end - start) * 2);
            for (std::size_t i = start; i < end; ++i) {
                work[(i - start) * 2] = xyz[i * 3];
                work[(i - start) * 2 + 1] = xyz[i * 3 + 1];
            }
            lowpass_stretch<2>(f, work.data(), end - start);
            const std::size_t first = events.size();
            extremes(work.data(), start, end, w, flip, strike, events);
            foot_speed::by_speed(work.data(), start, end - start, strike, share, events, first,
                                 s.speeds);
        });
    gap(filtered, n);
}

// Strike, off, strike...: of two events of one kind with none of the other
// between, the stronger is kept - unless the other kind's marker was missing
// somewhere between them (its event may be in the gap).  Both kinds come in
// the order of their frames: merged, not sorted.
std::vector<Event> alternating(const Walking &w, Scratch &s) {
    s.events.clear();
    std::merge(s.strikes.begin(), s.strikes.end(), s.offs.begin(), s.offs.end(),
               std::back_inserter(s.events),
               [](const Event &a, const Event &b) { return a.at < b.at; });
    std::vector<Event> kept;
    const std::size_t last_frame = w.p.size() / 2 - 1;
    for (const Event &e : s.events) {
        if (!kept.empty() && kept.back().strike == e.strike) {
            const Event &last = kept.back();
            const auto from = static_cast<std::size_t>(last.at), to = static_cast<std::size_t>(e.at) + 1;
            const std::vector<Span> &gaps = e.strike ? s.toe_gaps : s.heel_gaps;
            const bool same_stretch = w.stretch_of(from) == w.stretch_of(std::min(to, last_frame));
            if (same_stretch && !meets(gaps, from, to)) {
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

// Events of each foot (heel, toe) against one pelvis (the midpoint of its
// markers), all `n` frames of rows of 3.
std::vector<std::vector<Event>> feet_of(const std::vector<const double *> &pelvis,
                                        const std::vector<std::pair<const double *, const double *>> &feet,
                                        std::size_t n, double rate, double cutoff,
                                        double still_speed, double share, bool zeros_lost) {
    const Lowpass f = lowpass_design(rate, cutoff);
    Walking w;
    walking_of(f, pelvis, n, rate, still_speed, zeros_lost, w);
    Scratch s;
    std::vector<std::vector<Event>> events;
    for (const auto &[heel, toe] : feet) {
        // The heel farthest ahead of the pelvis, the toe farthest behind it.
        marker_extremes(f, heel, n, zeros_lost, w, 1, true, share, s.strikes, s.heel_gaps, s);
        marker_extremes(f, toe, n, zeros_lost, w, -1, false, share, s.offs, s.toe_gaps, s);
        events.push_back(alternating(w, s));
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

double checked_share(py::handle slow_share) {
    const double share = finite_number(slow_share, "slow_share");
    if (!(share >= 0 && share < 1)) {
        refuse(PyExc_ValueError,
               "slow_share (" + number_text(share) + ") must be from 0 to below 1");
    }
    return share;
}

py::tuple marker_events(py::handle heel, py::handle toe, py::handle pelvis, py::handle rate,
                        py::handle lowpass, py::handle still_speed, py::handle slow_share) {
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
    const double share = checked_share(slow_share);
    std::vector<std::vector<Event>> events;
    {
        py::gil_scoped_release unlocked;
        events = feet_of({p.data()}, {{h.data(), t.data()}}, static_cast<std::size_t>(h.shape(0)),
                         fs, cutoff, still, share, false);
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
    // Each item held as it is read: a sequence such as an array makes a new
    // object for every item, which lives no longer than the reference to it.
    const auto sequence = py::reinterpret_borrow<py::sequence>(value);
    std::vector<py::object> items;
    for (std::size_t i = 0, n = sequence.size(); i < n; ++i) {
        items.push_back(sequence[i]);
    }
    return items;
}

py::list feet_events(py::handle pelvis, py::handle feet, py::handle rate, py::handle lowpass,
                     py::handle still_speed, py::handle slow_share) {
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
    const double share = checked_share(slow_share);
    std::vector<std::vector<Event>> events;
    {
        py::gil_scoped_release unlocked;
        events = feet_of(m.pelvis, m.feet, static_cast<std::size_t>(m.frames), fs, cutoff, still,
                         share, true);
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
    std::vector<double> out(x.data(), x.data() + x.size());
    {
        py::gil_scoped_release unlocked;
        lowpass_rows<1>(f, out.data(), out.size());
    }
    return new_array(out, {x.size()});
}

}  // namespace

void register_marker_events(py::module_ &m) {
    m.def("marker_events", &marker_events, "heel"_a, "toe"_a, "pelvis"_a, "rate"_a,
          "lowpass"_a = 6.0, "still_speed"_a = 100.0,
          "slow_share"_a = foot_speed::SLOW_SHARE,
          "(strikes, offs) of one foot, frame positions, from its heel, toe and pelvis\n"
          "(frames x 3 arrays, NaN in gaps; z vertical): strikes where the heel is farthest\n"
          "ahead of the pelvis along the direction of walking, moved on to where its horizontal\n"
          "speed drops below `slow_share` of its peak; offs where the toe is farthest behind,\n"
          "moved halfway to where its speed rises past that share (0: not moved); after a\n"
          "zero-lag Butterworth low-pass at `lowpass` Hz.  None while the pelvis moves slower\n"
          "than `still_speed` (units per second) or at a gap.");
    m.def("feet_events", &feet_events, "pelvis"_a, "feet"_a, "rate"_a, "lowpass"_a = 6.0,
          "still_speed"_a = 100.0, "slow_share"_a = foot_speed::SLOW_SHARE,
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
