// Activation timing of a group (the spread of the subjects' onsets and
// offsets about the group's periods) and a patient's shifts from it, on the
// circular cycle: 98 % and 2 % lie 4 % apart.
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

constexpr double shift_nan = std::numeric_limits<double>::quiet_NaN();
// A burst farther than this from a reference period (centre to centre, in %
// of the cycle) is another burst, not that one shifted.
constexpr double NEAREST_LIMIT = 15.0;

// -- the numbers -----------------------------------------------------------------

// `x` as a difference on the circle, in (-50, 50].
double shift_wrapped(double x) {
    x = std::fmod(x, 100.0);
    if (x > 50.0) {
        x -= 100.0;
    } else if (x <= -50.0) {
        x += 100.0;
    }
    return x;
}

// Activity through foot strike as the detection gives it, (on, 100) and
// (0, off), is one period (on, off): its onset is `on`, not 0.
std::vector<Period> shift_joined(std::vector<Period> periods) {
    std::size_t ending = periods.size(), starting = periods.size();
    for (std::size_t i = 0; i < periods.size(); ++i) {
        const Period &p = periods[i];
        if (p.second == 100.0 && p.first > 0.0 && p.first < 100.0 && ending == periods.size()) {
            ending = i;
        } else if (p.first == 0.0 && p.second > 0.0 && p.second < 100.0 &&
                   starting == periods.size()) {
            starting = i;
        }
    }
    if (ending < periods.size() && starting < periods.size()) {
        periods[ending].second = periods[starting].second;
        periods.erase(periods.begin() + static_cast<std::ptrdiff_t>(starting));
    }
    return periods;
}

// The period of `candidates` that shares most of the cycle with `target`;
// null when none shares any (the first of equals wins).
const Period *shift_best_match(const Period &target, const std::vector<Period> &candidates) {
    const Period *best = nullptr;
    double most = 0;
    for (const Period &p : candidates) {
        const double o = circular_overlap(target, p);
        if (o > most) {
            most = o;
            best = &p;
        }
    }
    return best;
}

// `centre` moved by `offset`, back on the circle: in [0, 100) for an onset,
// in (0, 100] for an offset (an offset at 0 % reads as one at 100 %).
double shift_on_circle(double centre, double offset, bool onset) {
    double v = centre + offset;
    if (onset) {
        v = v < 0.0 ? v + 100.0 : v >= 100.0 ? v - 100.0 : v;
    } else {
        v = v <= 0.0 ? v + 100.0 : v > 100.0 ? v - 100.0 : v;
    }
    return v;
}

struct TimingSpread {
    double on = 0, on_sd = shift_nan, off = 0, off_sd = shift_nan;
    std::size_t subjects = 0;
};

// For each period of the group, the mean and SD of the onsets and offsets
// of the subjects' periods that match it, taken as differences from the
// group's own onset and offset so that the mean of 98 % and 2 % is 0 %.  A
// period no subject shares keeps the group's onset and offset, with no SD.
std::vector<TimingSpread> shift_spread(const std::vector<Period> &group,
                                       const std::vector<std::vector<Period>> &subjects) {
    std::vector<TimingSpread> out;
    for (const Period &g : group) {
        std::vector<double> ons, offs;
        for (const std::vector<Period> &periods : subjects) {
            if (const Period *p = shift_best_match(g, periods)) {
                ons.push_back(shift_wrapped(p->first - g.first));
                offs.push_back(shift_wrapped(p->second - g.second));
            }
        }
        TimingSpread s;
        s.subjects = ons.size();
        s.on = g.first;
        s.off = g.second;
        if (!ons.empty()) {
            const auto [on_mean, on_sd] = mean_and_sd(ons);
            const auto [off_mean, off_sd] = mean_and_sd(offs);
            s.on = shift_on_circle(g.first, on_mean, true);
            s.off = shift_on_circle(g.second, off_mean, false);
            s.on_sd = on_sd;
            s.off_sd = off_sd;
        }
        out.push_back(s);
    }
    return out;
}

struct TimingShift {
    bool found = false;
    double onset = 0, onset_sd = shift_nan, offset = 0, offset_sd = shift_nan;
};

double shift_in_sds(double shift, double sd) { return sd > 0.0 ? shift / sd : shift_nan; }

double shift_centre(const Period &p) {
    const double length = p.first <= p.second ? p.second - p.first : p.second + 100.0 - p.first;
    return std::fmod(p.first + length / 2.0, 100.0);
}

// Which patient period (an index of `periods`, or -1) answers each reference
// period: the one sharing most of the cycle with it.  A burst shifted by
// more than its width shares none, so when the periods are as many as the
// reference's and overlap leaves one out or takes one twice, they are
// paired in their order round the cycle, turned so that the centres move
// least in all; otherwise one left out takes the nearest free period within
// NEAREST_LIMIT.
std::vector<long> shift_pairing(const std::vector<Period> &periods,
                                const std::vector<TimingSpread> &reference) {
    const std::size_t n = reference.size();
    std::vector<long> match(n, -1);
    std::vector<bool> taken(periods.size(), false);
    bool clash = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (const Period *p = shift_best_match({reference[i].on, reference[i].off}, periods)) {
            const auto k = static_cast<std::size_t>(p - periods.data());
            clash = clash || taken[k];
            taken[k] = true;
            match[i] = static_cast<long>(k);
        }
    }
    const bool all = std::find(match.begin(), match.end(), -1L) == match.end();
    if (all && !clash) {
        return match;
    }
    std::vector<double> ref_centre(n), centre(periods.size());
    for (std::size_t i = 0; i < n; ++i) {
        ref_centre[i] = shift_centre({reference[i].on, reference[i].off});
    }
    for (std::size_t k = 0; k < periods.size(); ++k) {
        centre[k] = shift_centre(periods[k]);
    }
    if (periods.size() == n && n > 0) {
        auto by_centre = [](const std::vector<double> &c) {
            std::vector<std::size_t> order(c.size());
            for (std::size_t i = 0; i < order.size(); ++i) {
                order[i] = i;
            }
            std::sort(order.begin(), order.end(),
                      [&c](std::size_t a, std::size_t b) { return c[a] < c[b]; });
            return order;
        };
        const std::vector<std::size_t> ro = by_centre(ref_centre), po = by_centre(centre);
        std::size_t best = 0;
        double least = std::numeric_limits<double>::infinity();
        for (std::size_t turn = 0; turn < n; ++turn) {
            double total = 0;
            for (std::size_t i = 0; i < n; ++i) {
                total += std::fabs(shift_wrapped(centre[po[(i + turn) % n]] - ref_centre[ro[i]]));
            }
            if (total < least) {
                least = total;
                best = turn;
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            match[ro[i]] = static_cast<long>(po[(i + best) % n]);
        }
        return match;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (match[i] >= 0) {
            continue;
        }
        double nearest = NEAREST_LIMIT;
        for (std::size_t k = 0; k < periods.size(); ++k) {
            const double d = std::fabs(shift_wrapped(centre[k] - ref_centre[i]));
            if (!taken[k] && d < nearest) {
                nearest = d;
                match[i] = static_cast<long>(k);
            }
        }
        if (match[i] >= 0) {
            taken[static_cast<std::size_t>(match[i])] = true;
        }
    }
    return match;
}

std::vector<TimingShift> shift_from_reference(const std::vector<Period> &periods,
                                              const std::vector<TimingSpread> &reference) {
    const std::vector<long> match = shift_pairing(periods, reference);
    std::vector<TimingShift> out;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        const TimingSpread &r = reference[i];
        TimingShift s;
        if (match[i] >= 0) {
            const Period &p = periods[static_cast<std::size_t>(match[i])];
            s.found = true;
            s.onset = shift_wrapped(p.first - r.on);
            s.offset = shift_wrapped(p.second - r.off);
            s.onset_sd = shift_in_sds(s.onset, r.on_sd);
            s.offset_sd = shift_in_sds(s.offset, r.off_sd);
        }
        out.push_back(s);
    }
    return out;
}

// -- the bindings ----------------------------------------------------------------

py::object shift_optional(double value) {
    return std::isnan(value) ? py::object(py::none()) : py::object(py::float_(value));
}

std::string shift_item_name(const std::string &name, std::size_t i) {
    return name + "[" + std::to_string(i) + "]";
}

double shift_percent(py::handle value, const std::string &name) {
    const double v = finite_number(value, name);
    if (v < 0.0 || v > 100.0) {
        refuse(PyExc_ValueError, name + " lies outside 0-100 %");
    }
    return v;
}

std::vector<Period> shift_periods(py::handle value, const std::string &name) {
    DoubleArray table = number_table(value, name, 2);
    std::vector<Period> periods;
    for (py::ssize_t i = 0; i < table.shape(0); ++i) {
        const double on = table.at(i, 0), off = table.at(i, 1);
        if (on < 0.0 || on > 100.0 || off < 0.0 || off > 100.0) {
            refuse(PyExc_ValueError,
                   shift_item_name(name, static_cast<std::size_t>(i)) + " lies outside 0-100 %");
        }
        periods.emplace_back(on, off);
    }
    return shift_joined(std::move(periods));
}

// The items of a list or tuple, held while they are read.
py::tuple shift_items(py::handle value, const std::string &name, const std::string &what) {
    if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr())) {
        refuse(PyExc_TypeError, name + " must be a list of " + what + ", not " +
                                    std::string(Py_TYPE(value.ptr())->tp_name));
    }
    return py::tuple(py::reinterpret_borrow<py::object>(value));
}

// Each item of the list `value` converted by `convert(item, "name[i]")`.
template <typename Convert>
auto shift_each(py::handle value, const std::string &name, const std::string &what,
                Convert convert) {
    py::tuple items = shift_items(value, name, what);
    std::vector<decltype(convert(py::object(), name))> out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        py::object item = items[i];
        out.push_back(convert(item, shift_item_name(name, i)));
    }
    return out;
}

double shift_sd(py::handle value, const std::string &name) {
    if (value.is_none()) {
        return shift_nan;
    }
    const double sd = finite_number(value, name);
    if (sd < 0.0) {
        refuse(PyExc_ValueError, name + " must not be negative, not " + number_text(sd));
    }
    return sd;
}

TimingSpread shift_reference_period(py::handle item, const std::string &name) {
    const char *keys[] = {"on", "on_sd", "off", "off_sd"};
    py::object fields[4];
    if (PyDict_Check(item.ptr())) {
        for (int k = 0; k < 4; ++k) {
            PyObject *field = PyDict_GetItemString(item.ptr(), keys[k]);  // borrowed
            if (field == nullptr && k % 2 == 0) {
                refuse(PyExc_ValueError, name + " has no \"" + keys[k] + "\"");
            }
            fields[k] = field ? py::reinterpret_borrow<py::object>(field) : py::none();
        }
    } else if (PyList_Check(item.ptr()) || PyTuple_Check(item.ptr())) {
        py::tuple values(py::reinterpret_borrow<py::object>(item));
        if (values.size() != 4) {
            refuse(PyExc_ValueError, name + " must be (on, on_sd, off, off_sd), not " +
                                         std::to_string(values.size()) + " values");
        }
        for (int k = 0; k < 4; ++k) {
            fields[k] = values[static_cast<std::size_t>(k)];
        }
    } else {
        refuse(PyExc_TypeError, name + " must be a dict of on, on_sd, off and off_sd or a "
                                       "tuple (on, on_sd, off, off_sd), not " +
                                    std::string(Py_TYPE(item.ptr())->tp_name));
    }
    TimingSpread r;
    r.on = shift_percent(fields[0], name + " on");
    r.on_sd = shift_sd(fields[1], name + " on_sd");
    r.off = shift_percent(fields[2], name + " off");
    r.off_sd = shift_sd(fields[3], name + " off_sd");
    return r;
}

py::list period_statistics_of(py::handle group_periods, py::handle subject_periods) {
    const std::vector<Period> group = shift_periods(group_periods, "group_periods");
    const auto subjects = shift_each(subject_periods, "subject_periods", "period lists",
                                     shift_periods);
    std::vector<TimingSpread> spread;
    {
        py::gil_scoped_release unlocked;
        spread = shift_spread(group, subjects);
    }
    py::list out;
    for (const TimingSpread &s : spread) {
        out.append(py::dict("on"_a = s.on, "on_sd"_a = shift_optional(s.on_sd), "off"_a = s.off,
                            "off_sd"_a = shift_optional(s.off_sd), "subjects"_a = s.subjects));
    }
    return out;
}

py::list timing_shifts_of(py::handle periods, py::handle reference_periods) {
    const std::vector<Period> patient = shift_periods(periods, "periods");
    const auto reference = shift_each(reference_periods, "reference_periods", "reference periods",
                                      shift_reference_period);
    std::vector<TimingShift> shifts;
    {
        py::gil_scoped_release unlocked;
        shifts = shift_from_reference(patient, reference);
    }
    py::list out;
    for (const TimingShift &s : shifts) {
        if (!s.found) {
            out.append(py::none());
            continue;
        }
        out.append(py::dict("onset_shift"_a = s.onset, "onset_sd"_a = shift_optional(s.onset_sd),
                            "offset_shift"_a = s.offset,
                            "offset_sd"_a = shift_optional(s.offset_sd)));
    }
    return out;
}

}  // namespace

void register_compare_timing(py::module_ &m) {
    m.def("period_statistics", &period_statistics_of, "group_periods"_a, "subject_periods"_a,
          "The spread of the subjects' activation timing about the periods of the group's\n"
          "mean curve: for each of group_periods ((on, off) in %, on > off through foot\n"
          "strike), the period of each subject (subject_periods: a list of (on, off) per\n"
          "subject) that overlaps it most on the circular cycle; a dict of the mean and\n"
          "sample SD of their onsets and offsets (\"on\", \"on_sd\", \"off\", \"off_sd\"; the SD\n"
          "None below two subjects), taken on the circle, and \"subjects\", how many had such a\n"
          "period.  A period no subject has keeps the group's on and off.  (on, 100) and\n"
          "(0, off) are one period through foot strike, as the detection gives them; a mean\n"
          "onset lies in [0, 100), a mean offset in (0, 100].");
    m.def("timing_shifts", &timing_shifts_of, "periods"_a, "reference_periods"_a,
          "For each reference period (a dict of period_statistics, or (on, on_sd, off,\n"
          "off_sd)), the patient's period of `periods` that answers it: the one overlapping\n"
          "it most on the circular cycle; where overlap leaves one out or takes one twice,\n"
          "periods as many as the reference's are paired in their order round the cycle\n"
          "(turned so that their centres move least), else the nearest free period within\n"
          "15 % of the cycle.  As {\"onset_shift\", \"onset_sd\", \"offset_shift\",\n"
          "\"offset_sd\"}: the shift in % of the cycle, in (-50, 50], and in reference SDs\n"
          "(None without an SD or when it is 0); None for a reference period no period\n"
          "answers.");
}

}  // namespace quorvaemg::gait
