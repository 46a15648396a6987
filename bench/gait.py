"""Timing of the gait-cycle analysis against the same analysis written with numpy.

1. The analysis after the envelope - cycles, time normalisation, statistics
   and activation timing (find_cycles and analyse_channel for each channel,
   pooled over the trials) - on five trials x 16 channels x 2 minutes at
   2 kHz with ~1.1 s cycles, against a straightforward numpy implementation
   of the same steps run in the same process on the same envelopes (np.interp
   per cycle, mean/std, np.diff-based run finding and merging).  Best of
   several interleaved rounds; the two must agree.  Target: the module at
   least 3x faster.
2. The whole ``quorvaemg-host gait`` command on five walking trials of that
   size as C3D files, PDF included, against the release before its reports
   were drawn at the speed of the analysis, built from this repository in the
   same run, and the PDF's share of the time: see ``gait_command``.  Target:
   with ``--jobs 2`` at most half the release's time, the same pages.

Each target gets a line ending in "met" or "NOT met"; the exit status is 0
either way (machines differ).

Run: python3 bench/gait.py [--quick] [--rounds N] [--against REF] [--release-dir DIR]
(--quick: 30-second trials; --against: the commit to compare with, default
the release; --release-dir: where it is built, kept for the next run)
"""

import argparse
import time

import numpy as np

import quorvaemg_gait as gait
from gait_command import CHANNELS, RATE, RELEASE, TRIALS, envelope_of, whole_command
from targets import judge

THRESHOLD = 0.25
MERGE = 3.0
POINTS = 101


# -- synthetic trials -----------------------------------------------------------------

def side_events(rng, seconds, offset):
    """Foot strikes and foot offs (sample positions) of one side: ~1.1 s cycles, off at ~60 %."""
    durations = rng.uniform(1.0, 1.2, int(seconds / 1.0) + 2)
    strikes = (offset + np.concatenate([[0.0], np.cumsum(durations)])) * RATE
    strikes = strikes[strikes < seconds * RATE + RATE]  # the last ones run past the channel
    offs = strikes[:-1] + np.diff(strikes) * rng.uniform(0.58, 0.64, len(strikes) - 1)
    # A missed foot off and a missed strike, as a real trial has now and then.
    offs = np.delete(offs, 7)
    strikes = np.delete(strikes, 20)
    return np.round(strikes, 1), np.round(offs, 1)


def make_trials(seconds, seed=11):
    rng = np.random.default_rng(seed)
    n = int(seconds * RATE)
    trials = []
    for _ in range(TRIALS):
        events = {side: side_events(rng, seconds, offset)
                  for side, offset in (("L", 0.3), ("R", 0.85))}
        channels = []
        for k in range(CHANNELS):
            side = "LR"[k % 2]
            bursts = [(rng.uniform(0, 100), rng.uniform(6, 18), rng.uniform(2e-5, 8e-5))
                      for _ in range(1 + k % 3)]
            channels.append((side, envelope_of(rng, n, events[side][0], bursts)))
        trials.append((events, channels))
    return trials


# -- the same analysis with numpy -----------------------------------------------------

def numpy_find_cycles(strikes, offs, length):
    starts, ends = strikes[:-1], strikes[1:]
    between = np.searchsorted(offs, ends, "left") - np.searchsorted(offs, starts, "right")
    keep = (starts >= 0) & (ends <= length - 1) & (between == 1)
    return np.column_stack([starts[keep], ends[keep],
                            offs[np.searchsorted(offs, starts[keep], "right")]])


def numpy_activation(curve, level, merge):
    last = len(curve) - 1
    above = curve > level
    edges = np.flatnonzero(np.diff(above))
    if edges.size == 0:
        return [(0.0, 100.0)] if above[0] else []
    fraction = np.clip((level - curve[edges]) / (curve[edges + 1] - curve[edges]), 0, 1)
    bounds = np.concatenate([[0.0], (edges + fraction) * 100.0 / last, [100.0]])
    states = np.concatenate([[above[0]], above[edges + 1]])
    runs = []  # [active, start, end]; runs of no length dropped, neighbours of one state joined
    for state, start, end in zip(states.tolist(), bounds[:-1].tolist(), bounds[1:].tolist()):
        if end <= start:
            continue
        if runs and runs[-1][0] == state:
            runs[-1][2] = end
        else:
            runs.append([state, start, end])
    if len(runs) > 1 and runs[0][0] == runs[-1][0]:  # the end joins the start
        runs[-1][2] = 100.0 + runs.pop(0)[2]
    while len(runs) > 1:
        lengths = [end - start for _, start, end in runs]
        i = int(np.argmin(lengths))
        if not lengths[i] < merge:
            break
        if len(runs) == 2:
            runs = [[not runs[i][0], 0.0, 100.0]]
            break
        before, after = runs[i - 1], runs[(i + 1) % len(runs)]
        before[2] = after[2] + (100.0 if after[1] < before[1] else 0.0)
        for j in sorted({i, (i + 1) % len(runs)}, reverse=True):
            del runs[j]
    periods = []
    for state, start, end in runs:
        if state:
            periods += [(start, 100.0), (0.0, end - 100.0)] if end > 100.0 else [(start, end)]
    return sorted(periods)


def numpy_analyse(pieces, threshold=THRESHOLD, merge=MERGE, points=POINTS):
    k = np.arange(points)
    curves, trial, foot_off = [], [], []
    for t, (samples, cycles) in enumerate(pieces):
        index = np.arange(len(samples), dtype=np.float64)  # np.interp would convert ints per call
        for p0, p1, off in cycles:
            curves.append(np.interp(p0 + k * (p1 - p0) / (points - 1), index, samples))
            trial.append(t)
            foot_off.append((off - p0) / (p1 - p0) * 100.0)
    curves = np.array(curves)
    mean, sd = curves.mean(axis=0), curves.std(axis=0, ddof=1)
    level = mean.min() + threshold * (mean.max() - mean.min())
    return {"curves": curves, "trial": np.array(trial), "mean": mean, "sd": sd,
            "foot_off": np.array(foot_off), "foot_off_mean": np.mean(foot_off),
            "foot_off_sd": np.std(foot_off, ddof=1), "threshold": level,
            "activity": [numpy_activation(c, level, merge) for c in curves],
            "mean_activity": numpy_activation(mean, level, merge)}


# -- the two runs ---------------------------------------------------------------------------

def run_analysis(trials, find_cycles, analyse):
    results = []
    for c in range(CHANNELS):
        pieces = []
        for events, channels in trials:
            side, samples = channels[c]
            strikes, offs = events[side]
            pieces.append((samples, find_cycles(strikes, offs, len(samples))))
        results.append(analyse(pieces))
    return results


def run_module(trials):
    return run_analysis(trials, lambda s, o, n: gait.find_cycles(s, o, n)[0],
                        lambda pieces: gait.analyse_channel(pieces, "none", THRESHOLD, MERGE, POINTS))


def run_numpy(trials):
    return run_analysis(trials, numpy_find_cycles, numpy_analyse)


def same_periods(a, b):
    return len(a) == len(b) and np.allclose(np.reshape(a, (-1, 2)), np.reshape(b, (-1, 2)),
                                            rtol=0, atol=1e-9)


def agree(module, reference):
    for m, r in zip(module, reference):
        if not all(np.allclose(m[key], r[key], rtol=1e-12, atol=0)
                   for key in ("curves", "mean", "sd", "foot_off", "foot_off_mean",
                               "foot_off_sd", "threshold")):
            return False
        if not np.array_equal(m["trial"], r["trial"]):
            return False
        if not all(same_periods(a, b) for a, b in zip(m["activity"] + [m["mean_activity"]],
                                                      r["activity"] + [r["mean_activity"]])):
            return False
    return True


def best_of(rounds, runs, *args):
    """Best time of each run, the runs interleaved and their order alternated."""
    times = {name: [] for name in runs}
    for r in range(rounds):
        for name in (list(runs) if r % 2 == 0 else list(runs)[::-1]):
            start = time.perf_counter()
            runs[name](*args)
            times[name].append(time.perf_counter() - start)
    return {name: min(t) for name, t in times.items()}


def bench_analysis(seconds, rounds):
    trials = make_trials(seconds)
    module, reference = run_module(trials), run_numpy(trials)
    cycles = sum(len(r["curves"]) for r in module)
    same = agree(module, reference)
    best = best_of(rounds, {"module": run_module, "numpy": run_numpy}, trials)
    speedup = best["numpy"] / best["module"]
    print(f"analysis after the envelope, {TRIALS} trials x {CHANNELS} channels x {seconds:g} s "
          f"at {RATE:g} Hz ({cycles} cycles): best of {rounds} module {best['module']:.4f} s; "
          f"numpy {best['numpy']:.3f} s; same results: {'yes' if same else 'NO'}")
    judge(f"results against numpy: {'the same' if same else 'DIFFERENT'}",
          "target: the same", same)
    judge(f"numpy / module: {speedup:.1f}x", "target >= 3x", speedup >= 3)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="30-second trials instead of 2 minutes")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--against", default=RELEASE, metavar="REF",
                        help="the commit whose gait command this one is timed against")
    parser.add_argument("--release-dir", metavar="DIR",
                        help="build it here and keep it (default: a temporary folder)")
    args = parser.parse_args()
    seconds = 30.0 if args.quick else 120.0
    bench_analysis(seconds, args.rounds)
    whole_command(seconds, max(3, args.rounds // 2 + 1), args.against, args.release_dir)


if __name__ == "__main__":
    main()
