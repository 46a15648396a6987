// Contacts of a foot on a force plate: where the plate's vertical force
// rises above a threshold and where it falls below it again.  A plate sees
// the foot strike and the foot off directly, to within a sample, which the
// markers only estimate.
#include <cmath>
#include <limits>
#include <vector>

#include "gait/cycle_args.hpp"
#include "gait/gait.hpp"

namespace quorvaemg::gait {

namespace {

using namespace cycles;
using namespace py::literals;

// Where between samples i - 1 and i the force crosses `threshold`.
double threshold_crossing(const double *f, std::size_t i, double threshold) {
    return static_cast<double>(i - 1) + (threshold - f[i - 1]) / (f[i] - f[i - 1]);
}

// Rows of (start, end) sample positions; NaN for an end the record does not
// show (loaded at its first sample or at its last, or next to a gap).
// Contacts shorter than `shortest` samples are noise or a bump of the
// walkway, not a foot.
std::vector<double> contacts(const double *f, std::size_t n, double threshold,
                             double shortest) {
    constexpr double unseen = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> rows;
    std::size_t i = 0;
    while (i < n) {
        if (!(f[i] > threshold)) {
            ++i;
            continue;
        }
        const std::size_t first = i;
        while (i < n && f[i] > threshold) {
            ++i;
        }
        const bool starts = first > 0 && !std::isnan(f[first - 1]);
        const bool ends = i < n && !std::isnan(f[i]);
        const double start = starts ? threshold_crossing(f, first, threshold) : unseen;
        const double end = ends ? threshold_crossing(f, i, threshold) : unseen;
        const double seen = (ends ? end : static_cast<double>(i - 1)) -
                            (starts ? start : static_cast<double>(first));
        if (seen >= shortest) {
            rows.insert(rows.end(), {start, end});
        }
    }
    return rows;
}

py::array_t<double> plate_contacts(py::handle fz, py::handle rate, py::handle threshold,
                                   py::handle min_contact) {
    const DoubleArray force = gappy_samples(fz, "fz", 0);
    const double fs = positive_number(rate, "rate");
    const double level = finite_number(threshold, "threshold");
    const double shortest = finite_number(min_contact, "min_contact");
    if (shortest < 0) {
        refuse(PyExc_ValueError, "min_contact must not be negative, not " + number_text(shortest));
    }
    std::vector<double> rows;
    {
        py::gil_scoped_release unlocked;
        rows = contacts(force.data(), static_cast<std::size_t>(force.size()), level,
                        shortest * fs);
    }
    return new_array(rows, {static_cast<py::ssize_t>(rows.size() / 2), 2});
}

}  // namespace

void register_plate_events(py::module_ &m) {
    m.def("plate_contacts", &plate_contacts, "fz"_a, "rate"_a, "threshold"_a = 20.0,
          "min_contact"_a = 0.1,
          "Contacts on a force plate from its vertical force `fz` (1-D, positive under load,\n"
          "NaN in gaps) at `rate` Hz: rows (start, end) of sample positions where the force\n"
          "crosses `threshold` upwards and downwards, interpolated between samples; NaN for\n"
          "an end the record does not show (loaded at its first or last sample or next to a\n"
          "gap).  Contacts shorter than `min_contact` seconds are left out.");
}

}  // namespace quorvaemg::gait
