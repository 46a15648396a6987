// Non-negative matrix factorisation of a muscles x samples matrix, X ~ W H,
// the factorisation that muscle synergies are taken from: W (muscles x k)
// the synergies' weights, H (k x samples) their activations.
//
// Hierarchical alternating least squares (HALS; Cichocki and Phan, IEICE
// Trans Fundamentals E92-A, 2009; Gillis and Glineur, Neural Comput 24,
// 2012): each column of W, then each row of H, in turn the exact minimiser
// of the squared residual with the others fixed, clipped at 0, each update
// starting from the last two iterates extrapolated (Ang and Gillis, Neural
// Comput 31, 2019), which reaches the same fit in fewer iterations.  Plain C++
// on contiguous doubles; nothing here touches Python, so the bindings may
// run it without the GIL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvaemg::gait::nmf {

// When one start stops.  Every `check_every` iterations the residual's
// Frobenius norm |X - WH| is measured; the start stops once it fell by less
// than `tolerance` times its value at the random start since the check
// before, or after `max_iterations` (scikit-learn's rule for its
// multiplicative updates, with its defaults, so that the two can be timed
// on equal terms).
struct StoppingRule {
    double tolerance = 1e-4;
    std::size_t max_iterations = 200;
    std::size_t check_every = 10;
};

struct Factorisation {
    std::vector<double> weights;      // muscles x k, row after row; each synergy's of length 1
    std::vector<double> activations;  // k x samples, row after row
    double tvaf = 0;                  // 1 - |X - WH|^2 / |X|^2, uncentred
    std::vector<double> muscle_vaf;   // the same of each muscle's row (NaN for a row of zeros)
    std::size_t iterations = 0;       // of the start kept
};

// The best of `starts` factorisations into k synergies, each from random
// factors drawn from `seed` (the same seed, the same result, on every
// platform), the best being the one with the smallest residual.  X is
// non-negative and finite, not all zero; 1 <= k.
Factorisation factorise(const double *x, std::size_t muscles, std::size_t samples,
                        std::size_t k, std::uint64_t seed, std::size_t starts,
                        const StoppingRule &rule = {});

}  // namespace quorvaemg::gait::nmf
