"""Timing of muscle synergies: the core's factorisation against scikit-learn's NMF.

One side's envelopes of 5 and of 16 muscles over 30 cycles of 101 points
(3030 samples), made from 4 bursts at their own phases of the cycle, their
strength varying from cycle to cycle, mixed by random weights, with noise,
each muscle scaled to unit variance: factorised for k = 1 ... 5 synergies
from 10 random starts each, the best kept.  Both run the same starts and the
same stopping rule: |X - WH| measured every 10 iterations, stopping once it
fell by less than 1e-4 of its value at the start since the measure before,
or after 200 iterations (scikit-learn's rule for its multiplicative updates,
solver "mu", which the core uses).  scikit-learn's default solver ("cd",
coordinate descent, stopping on its own rule) is timed too, and the core is
judged against the faster of the two.  The core runs on one thread, and so
does scikit-learn's numpy here (its BLAS limited to one thread): on a
shared two-core machine a second BLAS thread made its times swing fourfold
from run to run.  Best of several interleaved rounds;
tVAF(k) of the core and of each solver must agree within 0.005 for every k.
Target: the core at least 5x faster.

Each target gets a line ending in "met" or "NOT met"; the exit status is 0
either way (machines differ).

Run: python3 bench/synergies.py [--quick] [--rounds N]   (--quick: 3 starts, 1 round)
"""

import argparse
import warnings

import numpy as np

import quorvaemg_gait as core
from gait import best_of  # bench/gait.py
from targets import judge

POINTS = 101
CYCLES = 30
MAX_K = 5
TOLERANCE = 1e-4
MAX_ITERATIONS = 200


def side_envelopes(muscles, seed=7):
    """A muscles x 3030 matrix of envelopes, each muscle of unit variance."""
    rng = np.random.default_rng(seed)
    phase = np.linspace(0.0, 1.0, POINTS)
    centres = np.array([0.05, 0.3, 0.6, 0.9])
    bursts = np.maximum(0.0, np.cos(np.pi * (phase - centres[:, None]) / 0.25)) ** 3
    activations = np.hstack([bursts * rng.uniform(0.6, 1.4, (4, 1)) for _ in range(CYCLES)])
    matrix = rng.random((muscles, 4)) ** 2 @ activations
    matrix += 0.08 * rng.random(matrix.shape) * matrix.max()
    return matrix / matrix.std(axis=1, keepdims=True)


def run_core(matrix, starts):
    return [core.nmf(matrix, k, seed=0, starts=starts)[2] for k in range(1, MAX_K + 1)]


def run_sklearn(matrix, starts, solver):
    from sklearn.decomposition import NMF

    total = float(np.sum(matrix ** 2))
    tvaf = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a start that reaches the iteration cap says so
        for k in range(1, MAX_K + 1):
            best = min(NMF(k, init="random", random_state=seed, solver=solver, tol=TOLERANCE,
                           max_iter=MAX_ITERATIONS).fit(matrix).reconstruction_err_
                       for seed in range(starts))
            tvaf.append(1.0 - best ** 2 / total)
    return tvaf


def bench_side(muscles, starts, rounds):
    matrix = side_envelopes(muscles)
    runs = {"core": lambda: run_core(matrix, starts),
            "mu": lambda: run_sklearn(matrix, starts, "mu"),
            "cd": lambda: run_sklearn(matrix, starts, "cd")}
    tvaf = {name: np.array(run()) for name, run in runs.items()}
    best = best_of(rounds, runs)
    print(f"{muscles} muscles x {matrix.shape[1]} samples, k = 1 ... {MAX_K}, {starts} starts "
          f"each, best of {rounds}: core {best['core'] * 1000:.0f} ms; scikit-learn mu "
          f"{best['mu'] * 1000:.0f} ms, cd {best['cd'] * 1000:.0f} ms")
    print("  tVAF(k) core " + " ".join(f"{v:.4f}" for v in tvaf["core"]) + "; mu " +
          " ".join(f"{v:.4f}" for v in tvaf["mu"]) + "; cd " +
          " ".join(f"{v:.4f}" for v in tvaf["cd"]))
    apart = max(float(np.max(np.abs(tvaf["core"] - tvaf[s]))) for s in ("mu", "cd"))
    judge(f"{muscles} muscles: tVAF(k) of the core and scikit-learn at most {apart:.4f} apart",
          "target <= 0.005", apart <= 0.005)
    ratio = min(best["mu"], best["cd"]) / best["core"]
    judge(f"{muscles} muscles: faster scikit-learn solver / core: {ratio:.1f}x "
          f"(mu {best['mu'] / best['core']:.1f}x, cd {best['cd'] / best['core']:.1f}x)",
          "target >= 5x", ratio >= 5)


def main():
    from threadpoolctl import threadpool_limits  # installed with scikit-learn

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rounds", type=int)
    args = parser.parse_args()
    starts = 3 if args.quick else 10
    rounds = args.rounds or (1 if args.quick else 5)
    with threadpool_limits(1):
        for muscles in (5, 16):
            bench_side(muscles, starts, rounds)


if __name__ == "__main__":
    main()
