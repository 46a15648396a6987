// Events, cycles, time normalisation, statistics and activation timing, as
// the gait module's Python functions.
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "gait/cycle_args.hpp"
#include "gait/gait.hpp"

namespace quorvaemg::gait {

namespace {

using namespace cycles;
using namespace py::literals;

py::object cycle_optional(const std::vector<double> &values, py::ssize_t size) {
    return values.empty() ? py::object(py::none()) : py::object(new_array(values, {size}));
}

py::object cycle_optional(double value) {
    return std::isnan(value) ? py::object(py::none()) : py::object(py::float_(value));
}

std::string cycle_not_finite(const std::string &samples, const std::string &cycles,
                             py::ssize_t row) {
    return samples + " hold values that are not finite within " + cycles + "[" +
           std::to_string(row) + "]";
}

// More points than any plot or table needs; the cap keeps a mistyped value
// from asking for gigabytes.
constexpr std::size_t cycle_max_points = 100000;

std::size_t cycle_points(py::handle points) {
    const std::size_t p = whole_number(points, "points", 2);
    if (p > cycle_max_points) {
        refuse(PyExc_ValueError, "points must be at most " + std::to_string(cycle_max_points) +
                                     ", not " + std::to_string(p));
    }
    return p;
}

DoubleArray cycle_strictly_increasing(py::handle value, const std::string &name,
                                      const std::string &what) {
    DoubleArray array = finite_array(value, name, 1, true);
    const double *data = array.data();
    for (py::ssize_t i = 1; i < array.size(); ++i) {
        if (!(data[i] > data[i - 1])) {
            refuse(PyExc_ValueError, what + " are out of order: " + name + "[" + std::to_string(i) +
                                         "] = " + number_text(data[i]) + " follows " +
                                         number_text(data[i - 1]));
        }
    }
    return array;
}

// Cycles (start, end, ...) of `samples`: each inside it and of positive length.
void cycle_check_within(const DoubleArray &table, std::size_t samples, const std::string &name) {
    const double last = static_cast<double>(samples) - 1.0;
    for (py::ssize_t i = 0; i < table.shape(0); ++i) {
        const double start = table.at(i, 0), end = table.at(i, 1);
        const std::string row = name + "[" + std::to_string(i) + "]";
        if (!(start < end)) {
            refuse(PyExc_ValueError, row + " does not end after it starts");
        }
        if (start < 0.0 || end > last) {
            refuse(PyExc_ValueError, row + " lies outside the samples (0 to " +
                                         std::to_string(samples - 1) + ")");
        }
        if (table.shape(1) > 2 && !(table.at(i, 2) >= start && table.at(i, 2) <= end)) {
            refuse(PyExc_ValueError, row + " has its foot off outside the cycle");
        }
    }
}

DoubleArray cycle_table(py::handle value, const std::string &name, const DoubleArray &samples,
                        py::ssize_t columns, bool wider = false) {
    DoubleArray table = number_table(value, name, columns, wider);
    cycle_check_within(table, static_cast<std::size_t>(samples.size()), name);
    return table;
}

py::array_t<double> event_positions(py::handle frames, py::handle first_frame,
                                    py::handle device_rate, py::handle frame_rate) {
    DoubleArray f = finite_array(frames, "frames", 1, true);
    const double first = finite_number(first_frame, "first_frame");
    const double device = positive_number(device_rate, "device_rate");
    const double frame = positive_number(frame_rate, "frame_rate");
    std::vector<double> positions = event_sample_positions(values_of(f), first, device, frame);
    if (!all_finite(positions.data(), positions.size())) {
        refuse(PyExc_ValueError, "frames give sample positions beyond the range of numbers");
    }
    return new_array(positions, {f.size()});
}

py::tuple find_cycles(py::handle strikes, py::handle offs, py::handle length) {
    DoubleArray s = cycle_strictly_increasing(strikes, "strikes", "foot strikes");
    DoubleArray o = cycle_strictly_increasing(offs, "offs", "foot offs");
    const std::size_t n = whole_number(length, "length", 0);
    std::vector<double> kept;
    py::list left_out;
    for (const CycleCandidate &c : classify_cycles(values_of(s), values_of(o), n)) {
        if (c.fate == CycleFate::kept) {
            kept.insert(kept.end(), {c.start, c.end, c.foot_off});
        } else {
            left_out.append(py::make_tuple(c.start, c.end, fate_text(c.fate)));
        }
    }
    return py::make_tuple(new_array(kept, {static_cast<py::ssize_t>(kept.size() / 3), 3}),
                          left_out);
}

py::array_t<double> normalise_cycles(py::handle samples, py::handle cycles, py::handle points) {
    DoubleArray s = samples_array(samples, "samples");
    const std::size_t p = cycle_points(points);
    // The foot off is not needed here: tables of (start, end) do as well.
    DoubleArray table = cycle_table(cycles, "cycles", s, 2, true);
    const py::ssize_t count = table.shape(0), columns = table.shape(1);
    py::array_t<double> out(std::vector<py::ssize_t>{count, static_cast<py::ssize_t>(p)});
    double *row = out.mutable_data();
    const double *t = table.data();
    {
        py::gil_scoped_release unlocked;
        for (py::ssize_t i = 0; i < count; ++i) {
            resample_cycle(values_of(s), t[i * columns], t[i * columns + 1], p, row + i * p);
        }
    }
    for (py::ssize_t i = 0; i < count; ++i) {
        if (!all_finite(row + i * p, p)) {
            refuse(PyExc_ValueError, cycle_not_finite("samples", "cycles", i));
        }
    }
    return out;
}

py::tuple cycle_statistics_of(py::handle curves) {
    DoubleArray c = finite_array(curves, "curves", 2, false);
    const auto count = static_cast<std::size_t>(c.shape(0));
    const auto points = static_cast<std::size_t>(c.shape(1));
    CurveStatistics stats = curve_statistics(c.data(), count, points);
    return py::make_tuple(new_array(stats.mean, {c.shape(1)}), cycle_optional(stats.sd, c.shape(1)));
}

double cycle_merge(py::handle merge) {
    const double m = finite_number(merge, "merge");
    if (m < 0.0 || m > 100.0) {
        refuse(PyExc_ValueError, "merge must lie between 0 and 100 (% of the cycle), not " +
                                     number_text(m));
    }
    return m;
}

py::list activation(py::handle curve_or_curves, py::handle level, py::handle merge) {
    DoubleArray curves = finite_curves(curve_or_curves, "curve_or_curves");
    const double l = finite_number(level, "level");
    const double m = cycle_merge(merge);
    const py::ssize_t points = curves.shape(curves.ndim() - 1);
    if (points < 2) {
        refuse(PyExc_ValueError, "curve_or_curves needs at least 2 points per curve");
    }
    auto periods_of = [&](py::ssize_t i) {
        return period_list(
            activation_periods(curves.data() + i * points, static_cast<std::size_t>(points), l, m));
    };
    if (curves.ndim() == 1) {
        return periods_of(0);
    }
    py::list out;
    for (py::ssize_t i = 0; i < curves.shape(0); ++i) {
        out.append(periods_of(i));
    }
    return out;
}

std::vector<Period> cycle_periods(py::handle value, const std::string &name) {
    DoubleArray table = number_table(value, name, 2);
    std::vector<Period> periods;
    for (py::ssize_t i = 0; i < table.shape(0); ++i) {
        const double on = table.at(i, 0), off = table.at(i, 1);
        if (on < 0.0 || on > 100.0 || off < 0.0 || off > 100.0) {
            refuse(PyExc_ValueError, name + "[" + std::to_string(i) + "] lies outside 0-100 %");
        }
        periods.emplace_back(on, off);
    }
    return periods;
}

py::dict compare_with_normal(py::handle active, py::handle normal) {
    NormalComparison c = compare_periods(cycle_periods(active, "active"),
                                         cycle_periods(normal, "normal"));
    return py::dict("agreement"_a = c.agreement, "premature"_a = period_list(c.premature),
                    "prolonged"_a = period_list(c.prolonged), "absent"_a = period_list(c.absent),
                    "additional"_a = period_list(c.additional));
}

AmplitudeScale cycle_scale(py::handle scale) {
    AmplitudeScale s;
    if (PyUnicode_Check(scale.ptr())) {
        const std::string text = py::str(scale);
        if (text == "peak") {
            s.kind = AmplitudeScale::peak;
        } else if (text != "none") {
            refuse(PyExc_ValueError,
                   "scale must be \"none\", \"peak\" or a reference value, not \"" + text + "\"");
        }
        return s;
    }
    // numpy's bool scalar by its type's name ("numpy.bool" from numpy 2 on):
    // the core imports no module to look the type up.
    const std::string type_name = Py_TYPE(scale.ptr())->tp_name;
    if (PyBool_Check(scale.ptr()) || type_name == "numpy.bool_" || type_name == "numpy.bool") {
        refuse(PyExc_TypeError, "scale must be \"none\", \"peak\" or a reference value, not bool");
    }
    s.kind = AmplitudeScale::reference;
    s.reference_value = positive_number(scale, "scale");
    return s;
}

py::dict analyse_channel_of(py::handle pieces, py::handle scale, py::handle threshold,
                            py::handle merge, py::handle points) {
    const AmplitudeScale how = cycle_scale(scale);
    const double t = finite_number(threshold, "threshold");
    if (t < 0.0 || t > 1.0) {
        refuse(PyExc_ValueError, "threshold must lie between 0 and 1");
    }
    const double m = cycle_merge(merge);
    const std::size_t p = cycle_points(points);
    if (!PyList_Check(pieces.ptr()) && !PyTuple_Check(pieces.ptr())) {
        refuse(PyExc_TypeError, "pieces must be a list of (samples, cycles) pairs, not " +
                                    std::string(Py_TYPE(pieces.ptr())->tp_name));
    }
    // The arrays stay referenced here while the core reads their buffers.
    py::tuple items = py::tuple(py::reinterpret_borrow<py::object>(pieces));
    std::vector<std::pair<DoubleArray, DoubleArray>> arrays;  // samples, cycles
    arrays.reserve(items.size());
    auto convert = [](std::size_t i, py::handle samples_value, py::handle cycles_value) {
        const std::string name = "pieces[" + std::to_string(i) + "]";
        DoubleArray samples = samples_array(samples_value, name + " samples");
        DoubleArray table = cycle_table(cycles_value, name + " cycles", samples, 3);
        return std::make_pair(std::move(samples), std::move(table));
    };
    for (std::size_t i = 0; i < items.size(); ++i) {
        py::handle item = items[i];
        // The copy's size, not len(): a list subclass may say another.
        py::tuple pair;
        if (PyList_Check(item.ptr()) || PyTuple_Check(item.ptr())) {
            pair = py::tuple(py::reinterpret_borrow<py::object>(item));
        }
        if (pair.size() != 2) {
            refuse(PyExc_TypeError, "pieces[" + std::to_string(i) +
                                        "] must be a pair (samples, cycles)");
        }
        arrays.push_back(convert(i, pair[0], pair[1]));
    }
    // Converting a piece may run Python code (a sample's __float__) that
    // resizes an array of an earlier piece, so all are checked once more,
    // now that no Python code runs any longer, before their buffers are
    // taken.  The arrays are numpy's own by now: nothing is copied again.
    std::vector<ChannelPiece> core;
    std::size_t count = 0;
    for (std::size_t i = 0; i < arrays.size(); ++i) {
        arrays[i] = convert(i, arrays[i].first, arrays[i].second);
        const DoubleArray &samples = arrays[i].first, &table = arrays[i].second;
        const auto rows = static_cast<std::size_t>(table.shape(0));
        core.push_back({values_of(samples), table.data(), rows});
        count += rows;
    }
    if (count == 0) {
        refuse(PyExc_ValueError, "pieces hold no cycles to analyse");
    }
    ChannelAnalysis a;
    try {
        py::gil_scoped_release unlocked;
        a = cycles::analyse_channel(core, how, t, m, p);
    } catch (const NonFiniteCycle &e) {
        const std::string piece = "pieces[" + std::to_string(e.piece) + "]";
        refuse(PyExc_ValueError, cycle_not_finite(piece + " samples", piece + " cycles",
                                                  static_cast<py::ssize_t>(e.cycle)));
    }
    const auto k = static_cast<py::ssize_t>(count), np = static_cast<py::ssize_t>(p);
    py::array_t<long long> trial(k);
    std::copy(a.trial.begin(), a.trial.end(), trial.mutable_data());
    py::list activity;
    for (const std::vector<Period> &periods : a.activity) {
        activity.append(period_list(periods));
    }
    return py::dict("curves"_a = new_array(a.curves, {k, np}), "trial"_a = trial,
                    "mean"_a = new_array(a.statistics.mean, {np}),
                    "sd"_a = cycle_optional(a.statistics.sd, np),
                    "foot_off"_a = new_array(a.foot_off, {k}),
                    "foot_off_mean"_a = a.foot_off_mean,
                    "foot_off_sd"_a = cycle_optional(a.foot_off_sd), "threshold"_a = a.threshold,
                    "activity"_a = activity, "mean_activity"_a = period_list(a.mean_activity));
}

}  // namespace

void register_cycles(py::module_ &m) {
    m.def("event_positions", &event_positions, "frames"_a, "first_frame"_a, "device_rate"_a,
          "frame_rate"_a,
          "Sample positions of event frames: (frame - first_frame) * device_rate / frame_rate.");
    m.def("find_cycles", &find_cycles, "strikes"_a, "offs"_a, "length"_a,
          "Cycles from foot strike to foot strike of one side: (cycles, left_out).\n\n"
          "cycles: rows (start, end, foot off) of the cycles kept, those with both strikes\n"
          "inside the channel and exactly one foot off between them; left_out: (start, end,\n"
          "reason) of the others.");
    m.def("normalise_cycles", &normalise_cycles, "samples"_a, "cycles"_a, "points"_a = 101,
          "Each cycle resampled at `points` evenly spaced positions from its start to its end\n"
          "by linear interpolation between neighbouring samples.");
    m.def("cycle_statistics", &cycle_statistics_of, "curves"_a,
          "(mean, sd) per point of the curves; sd (n - 1) is None below two curves.");
    m.def("activation", &activation, "curve_or_curves"_a, "level"_a, "merge"_a = 3.0,
          "Periods (on, off) in % of the cycle where the curve exceeds `level`; stretches\n"
          "shorter than `merge` % are merged into their surroundings, the cycle taken as\n"
          "circular; a period across 100 % comes as (on, 100.0) and (0.0, off).");
    m.def("compare_with_normal", &compare_with_normal, "active"_a, "normal"_a,
          "Detected periods against the normal ones: agreement in % of the cycle and the\n"
          "premature, prolonged, absent and additional periods.");
    m.def("analyse_channel", &analyse_channel_of, "pieces"_a, "scale"_a = "none",
          "threshold"_a = 0.25, "merge"_a = 3.0, "points"_a = 101,
          "The analysis of one channel over its cycles of every trial: pieces are\n"
          "(envelope, cycles) pairs, one per trial; scale is \"none\", \"peak\" or a reference\n"
          "value taken as 100 %.");
}

}  // namespace quorvaemg::gait
