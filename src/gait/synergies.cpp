// Muscle synergies: the factorisation of a muscles x samples matrix, and of
// one side's curves over its cycles (each muscle scaled to unit variance),
// for k = 1 ... K synergies.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "gait/cycle_args.hpp"
#include "gait/gait.hpp"
#include "gait/nmf.hpp"

namespace quorvaemg::gait {

namespace {

using namespace cycles;
using namespace py::literals;

constexpr std::size_t synergy_starts = 10;

struct SynergyCounts {
    std::size_t k, starts;
    std::uint64_t seed;
};

// k above the number of muscles is refused, or taken as that number when
// `at_most` (a side's synergies for k = 1 ... K, at most its muscles).
SynergyCounts synergy_counts(py::handle k, const char *k_name, std::size_t muscles,
                             py::handle seed, py::handle starts, bool at_most = false) {
    SynergyCounts c{whole_number(k, k_name, 1), whole_number(starts, "starts", 1),
                    static_cast<std::uint64_t>(whole_number(seed, "seed", 0))};
    if (at_most) {
        c.k = std::min(c.k, muscles);
    }
    if (c.k > muscles) {
        refuse(PyExc_ValueError, std::string(k_name) + " must be at most the number of muscles (" +
                                     std::to_string(muscles) + "), not " + std::to_string(c.k));
    }
    return c;
}

void synergy_two_muscles(std::size_t muscles, const std::string &what) {
    if (muscles < 2) {
        refuse(PyExc_ValueError, what + " " + std::to_string(muscles) +
                                     (muscles == 1 ? " muscle" : " muscles") +
                                     ": synergies need at least 2");
    }
}

// -- nmf ---------------------------------------------------------------------------

py::tuple nmf_of(py::handle matrix, py::handle k, py::handle seed, py::handle starts) {
    DoubleArray a = finite_array(matrix, "matrix", 2, false);
    const auto muscles = static_cast<std::size_t>(a.shape(0));
    const auto samples = static_cast<std::size_t>(a.shape(1));
    synergy_two_muscles(muscles, "matrix has");
    const SynergyCounts c = synergy_counts(k, "k", muscles, seed, starts);
    // A copy: the factorisation runs without the GIL, when another thread
    // could change an array the caller still holds.
    const std::vector<double> x(a.data(), a.data() + a.size());
    const auto negative = std::find_if(x.begin(), x.end(), [](double v) { return v < 0.0; });
    if (negative != x.end()) {
        const auto at = static_cast<std::size_t>(negative - x.begin());
        refuse(PyExc_ValueError, "matrix holds a negative value (" + number_text(*negative) +
                                     " at [" + std::to_string(at / samples) + ", " +
                                     std::to_string(at % samples) +
                                     "]): the factorisation is of non-negative data");
    }
    if (std::all_of(x.begin(), x.end(), [](double v) { return v == 0.0; })) {
        refuse(PyExc_ValueError, "matrix is all zeros: there is no variance to account for");
    }
    nmf::Factorisation f;
    {
        py::gil_scoped_release unlocked;
        f = nmf::factorise(x.data(), muscles, samples, c.k, c.seed, c.starts);
    }
    const auto m = static_cast<py::ssize_t>(muscles), n = static_cast<py::ssize_t>(samples),
               kk = static_cast<py::ssize_t>(c.k);
    return py::make_tuple(new_array(f.weights, {m, kk}), new_array(f.activations, {kk, n}),
                          f.tvaf);
}

// -- one side's synergies ------------------------------------------------------------

struct SideSynergy {
    nmf::Factorisation f;
    std::vector<CurveStatistics> activation;  // per synergy, over the cycles
};

// The muscles' curves (cycles x points each) as one matrix, a muscle a row
// of its cycles one after another; a filter's undershoot below 0 is no
// activity and counts as 0; each row scaled to unit variance, as the
// synergy studies of gait scale them (Steele et al. 2015; Shuman et al.
// 2017), so that no muscle counts for more because its electrode picks up
// more.  Returns the muscle whose row does not vary, or -1.
long synergy_matrix(const std::vector<const double *> &curves, std::size_t samples,
                    std::vector<double> &x) {
    x.resize(curves.size() * samples);
    for (std::size_t i = 0; i < curves.size(); ++i) {
        double *row = x.data() + i * samples;
        for (std::size_t j = 0; j < samples; ++j) {
            row[j] = std::max(curves[i][j], 0.0);
        }
        const double gain = unit_gain(largest_magnitude(row, samples));
        double mean = 0, square = 0;
        for (std::size_t j = 0; j < samples; ++j) {
            row[j] *= gain;
            mean += row[j];
        }
        mean /= static_cast<double>(samples);
        for (std::size_t j = 0; j < samples; ++j) {
            square += (row[j] - mean) * (row[j] - mean);
        }
        const double sd = std::sqrt(square / static_cast<double>(samples));
        if (!(sd > 0.0)) {
            return static_cast<long>(i);
        }
        for (std::size_t j = 0; j < samples; ++j) {
            row[j] /= sd;
        }
    }
    return -1;
}

// The synergies ordered by where in the cycle their mean activation peaks,
// so that k and k + 1 synergies list alike ones alike.
void synergy_in_cycle_order(SideSynergy &s, std::size_t muscles, std::size_t samples) {
    const std::size_t k = s.activation.size();
    std::vector<std::size_t> order(k);
    std::iota(order.begin(), order.end(), 0);
    auto peak = [&](std::size_t t) {
        const std::vector<double> &mean = s.activation[t].mean;
        return std::max_element(mean.begin(), mean.end()) - mean.begin();
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return peak(a) < peak(b); });
    SideSynergy sorted;
    sorted.f = s.f;
    for (std::size_t t = 0; t < k; ++t) {
        const std::size_t from = order[t];
        for (std::size_t i = 0; i < muscles; ++i) {
            sorted.f.weights[i * k + t] = s.f.weights[i * k + from];
        }
        std::copy(s.f.activations.begin() + from * samples,
                  s.f.activations.begin() + (from + 1) * samples,
                  sorted.f.activations.begin() + t * samples);
        sorted.activation.push_back(std::move(s.activation[from]));
    }
    s = std::move(sorted);
}

std::vector<SideSynergy> synergy_side(const std::vector<double> &x, std::size_t muscles,
                                      std::size_t cycles, std::size_t points,
                                      const SynergyCounts &c) {
    const std::size_t samples = cycles * points;
    std::vector<SideSynergy> out;
    for (std::size_t k = 1; k <= c.k; ++k) {
        SideSynergy s;
        s.f = nmf::factorise(x.data(), muscles, samples, k, c.seed, c.starts);
        for (std::size_t t = 0; t < k; ++t) {
            s.activation.push_back(
                curve_statistics(s.f.activations.data() + t * samples, cycles, points));
        }
        synergy_in_cycle_order(s, muscles, samples);
        out.push_back(std::move(s));
    }
    return out;
}

std::string synergy_name(py::handle names, std::size_t i) {
    if (!names.is_none()) {
        py::tuple listed = py::tuple(py::reinterpret_borrow<py::object>(names));
        if (i < listed.size() && PyUnicode_Check(listed[i].ptr())) {
            return listed[i].cast<std::string>();
        }
    }
    return "curves[" + std::to_string(i) + "]";
}

py::dict side_synergies_of(py::handle curves, py::handle max_k, py::handle seed, py::handle starts,
                      py::handle names) {
    if (!PyList_Check(curves.ptr()) && !PyTuple_Check(curves.ptr())) {
        refuse(PyExc_TypeError, "curves must be a list of cycles x points arrays, one per "
                                "muscle, not " + std::string(Py_TYPE(curves.ptr())->tp_name));
    }
    if (!names.is_none() && !PyList_Check(names.ptr()) && !PyTuple_Check(names.ptr())) {
        refuse(PyExc_TypeError, "names must be a list of the muscles' names");
    }
    // The arrays stay referenced here while their values are copied.
    py::tuple items = py::tuple(py::reinterpret_borrow<py::object>(curves));
    const std::size_t muscles = items.size();
    synergy_two_muscles(muscles, "curves hold");
    std::vector<DoubleArray> arrays;
    for (int pass = 0; pass < 2; ++pass) {
        // Converting one array may run Python code (an item's __float__)
        // that changes another converted before it: all are checked once
        // more, now numpy's own arrays, which runs none.
        for (std::size_t i = 0; i < muscles; ++i) {
            py::handle value = pass == 0 ? py::handle(PyTuple_GET_ITEM(items.ptr(), i))
                                          : py::handle(arrays[i]);
            DoubleArray a = finite_array(value, synergy_name(names, i), 2, false);
            if (pass == 0) {
                arrays.push_back(a);
            } else {
                arrays[i] = a;
            }
        }
    }
    for (std::size_t i = 1; i < muscles; ++i) {
        if (arrays[i].shape(0) != arrays[0].shape(0) || arrays[i].shape(1) != arrays[0].shape(1)) {
            refuse(PyExc_ValueError, synergy_name(names, i) + " has shape " +
                                         cycle_shape_text(arrays[i]) + " but " +
                                         synergy_name(names, 0) + " has shape " +
                                         cycle_shape_text(arrays[0]) +
                                         ": every muscle needs the same cycles");
        }
    }
    const auto cycles = static_cast<std::size_t>(arrays[0].shape(0));
    const auto points = static_cast<std::size_t>(arrays[0].shape(1));
    const SynergyCounts c = synergy_counts(max_k, "max_k", muscles, seed, starts, true);
    std::vector<const double *> rows;
    for (const DoubleArray &a : arrays) {
        rows.push_back(a.data());
    }
    std::vector<double> x;
    const long flat = synergy_matrix(rows, cycles * points, x);
    if (flat >= 0) {
        refuse(PyExc_ValueError, synergy_name(names, static_cast<std::size_t>(flat)) +
                                     " does not vary over its cycles: there is no variance "
                                     "to scale to 1");
    }
    std::vector<SideSynergy> found;
    {
        py::gil_scoped_release unlocked;
        found = synergy_side(x, muscles, cycles, points, c);
    }
    const auto m = static_cast<py::ssize_t>(muscles), np = static_cast<py::ssize_t>(points);
    std::vector<double> tvaf, muscle_vaf;
    std::vector<long long> iterations;
    py::list weights, mean, sd;
    for (const SideSynergy &s : found) {
        const auto k = static_cast<py::ssize_t>(s.activation.size());
        tvaf.push_back(s.f.tvaf);
        muscle_vaf.insert(muscle_vaf.end(), s.f.muscle_vaf.begin(), s.f.muscle_vaf.end());
        iterations.push_back(static_cast<long long>(s.f.iterations));
        weights.append(new_array(s.f.weights, {m, k}));
        std::vector<double> means, sds;
        for (const CurveStatistics &st : s.activation) {
            means.insert(means.end(), st.mean.begin(), st.mean.end());
            sds.insert(sds.end(), st.sd.begin(), st.sd.end());
        }
        mean.append(new_array(means, {k, np}));
        sd.append(cycles < 2 ? py::object(py::none()) : py::object(new_array(sds, {k, np})));
    }
    const auto kk = static_cast<py::ssize_t>(found.size());
    py::array_t<long long> its(kk);
    std::copy(iterations.begin(), iterations.end(), its.mutable_data());
    return py::dict("cycles"_a = cycles, "tvaf"_a = new_array(tvaf, {kk}),
                    "muscle_vaf"_a = new_array(muscle_vaf, {kk, m}), "weights"_a = weights,
                    "activation_mean"_a = mean, "activation_sd"_a = sd, "iterations"_a = its);
}

}  // namespace

void register_synergies(py::module_ &m) {
    m.def("nmf", &nmf_of, "matrix"_a, "k"_a, "seed"_a = 0, "starts"_a = synergy_starts,
          "Non-negative matrix factorisation of a muscles x samples matrix into k synergies:\n"
          "(weights, activations, tvaf), weights muscles x k (each synergy's of length 1),\n"
          "activations k x samples, tvaf = 1 - |X - WH|^2 / |X|^2 (uncentred).\n\n"
          "HALS (each column of W, then each row of H, the exact least-squares update\n"
          "clipped at 0, from the last two iterates extrapolated) from `starts` random\n"
          "starts drawn from `seed`, keeping the one of\n"
          "the smallest residual; a start stops once |X - WH|, measured every 10\n"
          "iterations, fell by less than 1e-4 of its first value since the last measure, or\n"
          "after 200 iterations.  The same seed gives the same result.  ValueError for\n"
          "negative or non-finite values, fewer than 2 muscles, no samples, a matrix of\n"
          "zeros, or k above the number of muscles.");
    m.def("side_synergies", &side_synergies_of, "curves"_a, "max_k"_a = 5, "seed"_a = 0,
          "starts"_a = synergy_starts, "names"_a = py::none(),
          "One side's muscle synergies for k = 1 ... max_k (at most the number of muscles):\n"
          "curves is a list of cycles x\n"
          "points arrays, one per muscle, over the same cycles; values below 0 count as 0\n"
          "and each muscle is scaled to unit variance over all its cycles, then factorised\n"
          "as by nmf.  A dict of\n"
          "  cycles: their number;\n"
          "  tvaf: tVAF(k) for each k; muscle_vaf: k rows of each muscle's VAF;\n"
          "  weights: per k, muscles x k (each synergy's of length 1);\n"
          "  activation_mean, activation_sd: per k, k x points, each synergy's activation\n"
          "    over the cycle, mean and SD (n - 1; None below two cycles) over the cycles;\n"
          "  iterations: per k, those of the start kept.\n"
          "Synergies are listed in the order in which their mean activation peaks in the\n"
          "cycle.  names: what messages call each muscle (default curves[i]).");
}

}  // namespace quorvaemg::gait
