// check_channel, check_channels and quality_text: the checks on arrays.
#include "gait/gait.hpp"
#include "gait/quality_bindings.hpp"
#include "base/pyops.hpp"

#include <pybind11/stl.h>

#include <cmath>
#include <cstdio>
#include <optional>

namespace quorvaemg::gait {

namespace quality {

namespace {

// The measures that are one number each, by their keys in the dicts.
struct quality_number_field {
    const char *key;
    double ChannelQuality::*member;
};
struct quality_optional_field {
    const char *key;
    std::optional<double> ChannelQuality::*member;
};
const quality_number_field quality_numbers[] = {
    {"sd", &ChannelQuality::sd},
    {"range", &ChannelQuality::range},
    {"step", &ChannelQuality::step},
    {"clipped_share", &ChannelQuality::clipped_share},
    {"low_hz", &ChannelQuality::low_hz},
};
const quality_optional_field quality_optionals[] = {
    {"mains_hz", &ChannelQuality::mains_hz},
    {"mains_db", &ChannelQuality::mains_db},
    {"mains_share", &ChannelQuality::mains_share},
    {"low_share", &ChannelQuality::low_share},
    {"snr_db", &ChannelQuality::snr_db},
    {"mean_hz", &ChannelQuality::mean_hz},
    {"median_hz", &ChannelQuality::median_hz},
};

// float(value); what cannot be converted (an array of several values, a
// number type whose conversion fails) is a TypeError saying `message`.
double quality_float(py::handle value, const std::string &message) {
    const double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw py::type_error(message);
    }
    return number;
}

// The values a threshold of its kind may take, in words; empty when `value`
// is one of them.
std::string quality_out_of_range(ThresholdKind kind, double value) {
    if (!std::isfinite(value)) {
        return kind == ThresholdKind::decibels ? "a finite number of dB" : "a finite number";
    }
    switch (kind) {
    case ThresholdKind::share:
        return value > 0.0 && value <= 1.0 ? "" : "a share above 0 and at most 1 (0.3 = 30 %)";
    case ThresholdKind::positive:
        return value > 0.0 ? "" : "a finite number above 0";
    case ThresholdKind::count:
        return value >= 1.0 && value == std::floor(value) ? ""
                                                          : "a finite number above 0 and whole";
    case ThresholdKind::level:
        return value >= 0.0 ? "" : "a finite number of 0 or more (0: off)";
    default:
        return "";
    }
}

std::string quality_number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

const char *quality_field_name(double Thresholds::*member) {
    for (const ThresholdField &f : threshold_fields()) {
        if (f.member == member) {
            return f.name;
        }
    }
    return "?";
}

// A channel is doubtful before it is unusable: a doubtful bound past the
// unusable one would leave the doubtful verdict to no value at all.
void quality_check_order(const Thresholds &t) {
    for (const ThresholdPair &pair : threshold_pairs()) {
        double doubtful = t.*(pair.doubtful), unusable = t.*(pair.unusable);
        if (pair.above ? doubtful > unusable : doubtful < unusable) {
            throw py::value_error(
                std::string("threshold ") + quality_field_name(pair.doubtful) + " (" +
                quality_number_text(doubtful) + ") must not be " +
                (pair.above ? "above " : "below ") + quality_field_name(pair.unusable) + " (" +
                quality_number_text(unusable) + "): a channel is doubtful before it is unusable");
        }
    }
}

}  // namespace

py::array_t<double> channel_array(py::handle value, const std::string &what) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) {
        throw py::type_error(what + " must be an array of numbers, not a string");
    }
    // A plain list is read as a tuple of its items: numpy reads a list
    // through borrowed pointers while it calls back into Python.
    auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        frozen_items(value));
    if (!array) {
        throw py::type_error(what + " must be an array of numbers (" +
                             std::string(Py_TYPE(value.ptr())->tp_name) + " given)");
    }
    if (array.ndim() != 1) {
        throw py::value_error(what + " must be one-dimensional, not of " +
                              std::to_string(array.ndim()) + " dimensions");
    }
    if (array.size() == 0) {
        throw py::value_error(what + " is empty");
    }
    const double *x = array.data();
    for (py::ssize_t i = 0; i < array.size(); ++i) {
        if (!std::isfinite(x[i])) {
            throw py::value_error(what + " holds a non-finite value (" +
                                  std::string(std::isnan(x[i]) ? "nan" : "inf") +
                                  ") at sample " + std::to_string(i));
        }
    }
    return array;
}

double sampling_rate(py::handle value, const char *what) {
    const std::string not_a_rate = std::string(what) + " must be a number of samples per second";
    if (PyBool_Check(value.ptr()) || !PyNumber_Check(value.ptr()) ||
        PyComplex_Check(value.ptr())) {
        throw py::type_error(not_a_rate);
    }
    double rate = quality_float(value, not_a_rate);
    if (!std::isfinite(rate) || rate <= 0.0) {
        throw py::value_error(std::string(what) + " must be a finite number above 0, not " +
                              std::string(py::str(value)));
    }
    return rate;
}

Thresholds thresholds_from(const py::kwargs &kwargs, double rate) {
    Thresholds t;
    for (auto item : kwargs) {
        std::string name = py::str(item.first);
        const ThresholdField *field = nullptr;
        std::string known;
        for (const ThresholdField &f : threshold_fields()) {
            known += (known.empty() ? "" : ", ") + std::string(f.name);
            if (name == f.name) {
                field = &f;
            }
        }
        if (field == nullptr) {
            throw py::type_error("unknown threshold '" + name + "' (known: " + known + ")");
        }
        if (PyBool_Check(item.second.ptr()) || !PyNumber_Check(item.second.ptr())) {
            throw py::type_error("threshold " + name + " must be a number");
        }
        double value = quality_float(item.second, "threshold " + name + " must be a number");
        std::string range = quality_out_of_range(field->kind, value);
        if (!range.empty()) {
            throw py::value_error("threshold " + name + " must be " + range + ", not " +
                                  std::string(py::str(item.second)));
        }
        t.*(field->member) = value;
    }
    // Power at or above the Nyquist frequency is not in the spectrum: a band
    // edge there would hold all of it.
    if (kwargs.contains("low_hz") && !(t.low_hz < rate / 2.0)) {
        throw py::value_error("threshold low_hz must be below the Nyquist frequency (" +
                              quality_number_text(rate / 2.0) + " Hz at " +
                              quality_number_text(rate) + " samples per second), not " +
                              quality_number_text(t.low_hz));
    }
    quality_check_order(t);
    return t;
}

ChannelQuality check_array(Checker &checker, const py::array_t<double> &samples, double rate) {
    return checker.check(samples.data(), static_cast<std::size_t>(samples.size()), rate);
}

py::dict to_dict(const ChannelQuality &q) {
    py::dict row;
    row["samples"] = q.samples;
    for (const auto &f : quality_numbers) {
        row[f.key] = q.*(f.member);
    }
    row["longest_clip"] = q.longest_clip;
    for (const auto &f : quality_optionals) {
        row[f.key] = q.*(f.member);
    }
    row["verdict"] = verdict_name(q.verdict);
    row["reasons"] = q.reasons;
    return row;
}

ChannelQuality from_dict(py::handle row, const std::string &what) {
    // A value of the wrong kind is the caller's mistake: TypeError naming
    // the row and key, not pybind11's cast error.
    auto field = [&](const char *key, auto kind) {
        py::object value = row[py::str(key)];
        try {
            return value.cast<decltype(kind)>();
        } catch (const py::cast_error &) {
            throw py::type_error(what + "['" + key + "'] is not a value check_channel gives (" +
                                 std::string(py::repr(value)) + ")");
        }
    };
    ChannelQuality q;
    q.samples = field("samples", std::size_t{});
    for (const auto &f : quality_numbers) {
        q.*(f.member) = field(f.key, double{});
    }
    q.longest_clip = field("longest_clip", std::size_t{});
    for (const auto &f : quality_optionals) {
        q.*(f.member) = field(f.key, std::optional<double>{});
    }
    std::string verdict = field("verdict", std::string{});
    for (Verdict v : {Verdict::good, Verdict::doubtful, Verdict::unusable}) {
        if (verdict == verdict_name(v)) {
            q.verdict = v;
        }
    }
    q.reasons = field("reasons", std::vector<std::string>{});
    return q;
}

}  // namespace quality

void register_quality(py::module_ &m) {
    using namespace quality;
    m.def(
        "check_channel",
        [](py::handle samples, py::handle rate, const py::kwargs &kwargs) {
            double hz = sampling_rate(rate, "rate");
            Checker checker(thresholds_from(kwargs, hz));
            auto array = channel_array(samples, "samples");
            return to_dict(check_array(checker, array, hz));
        },
        py::arg("samples"), py::arg("rate"),
        "Signal-quality checks of one raw channel: a dict of measures with 'verdict' "
        "('good', 'doubtful' or 'unusable') and 'reasons'.  Keyword arguments change "
        "thresholds (flat_steps, clip_doubtful, snr_doubtful, ...): shares above 0 and at "
        "most 1, frequencies and lengths above 0 (low_hz below the Nyquist frequency), "
        "counts whole, dB finite; a value outside its range is a ValueError.");
    m.def(
        "check_channels",
        [](py::handle channels, py::handle rate, const py::kwargs &kwargs) {
            double hz = sampling_rate(rate, "rate");
            Checker checker(thresholds_from(kwargs, hz));
            py::list rows;
            std::size_t index = 0;
            for (py::handle channel : py::iter(channels)) {
                auto array = channel_array(channel, "channels[" + std::to_string(index++) + "]");
                rows.append(to_dict(check_array(checker, array, hz)));
            }
            return rows;
        },
        py::arg("channels"), py::arg("rate"),
        "check_channel on each of several channels of one rate: a list of dicts.");
    // The checks of a trial's channels in one call, one Checker (and its
    // spectrum plan) for all of them.  A channel that cannot be checked gives
    // its ValueError's message in its place, `labels[k]` naming it there, so
    // that the caller may judge it unusable and go on with the others.
    m.def(
        "_check_each",
        [](py::handle channels, py::handle rate, const std::vector<std::string> &labels,
           py::handle rate_name, const py::kwargs &kwargs) {
            const std::string what = py::str(rate_name);
            double hz = sampling_rate(rate, what.c_str());
            Checker checker(thresholds_from(kwargs, hz));
            py::list rows;
            std::size_t index = 0;
            for (py::handle channel : py::iter(channels)) {
                if (index >= labels.size()) {
                    throw py::value_error("more channels than labels");
                }
                try {
                    auto array = channel_array(channel, labels[index]);
                    rows.append(to_dict(check_array(checker, array, hz)));
                } catch (const py::value_error &e) {
                    rows.append(py::str(e.what()));
                } catch (py::error_already_set &e) {
                    if (!e.matches(PyExc_ValueError)) {
                        throw;
                    }
                    rows.append(py::str(e.value()));
                }
                ++index;
            }
            return rows;
        },
        py::arg("channels"), py::arg("rate"), py::arg("labels"), py::arg("rate_name"));
    m.def(
        "quality_text",
        [](const std::string &trial, py::handle rate, const std::vector<std::string> &names,
           py::sequence rows) {
            if (names.size() != rows.size()) {
                throw py::value_error(std::to_string(names.size()) + " names for " +
                                      std::to_string(rows.size()) + " results");
            }
            std::vector<ChannelQuality> results;
            for (std::size_t i = 0; i < names.size(); ++i) {
                // Held while it is read: a sequence may make each row afresh.
                py::object row = rows[i];
                results.push_back(from_dict(row, "results[" + std::to_string(i) + "]"));
            }
            return format_table(trial, sampling_rate(rate, "rate"), names, results);
        },
        py::arg("trial"), py::arg("rate"), py::arg("names"), py::arg("results"),
        "The quality table of a trial's check_channels results as text: a title line, "
        "then one line per channel.");
}

}  // namespace quorvaemg::gait
