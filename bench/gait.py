"""Timing of the gait-cycle analysis against the same analysis written with numpy.

1. The analysis after the envelope - cycles, time normalisation, statistics
   and activation timing (find_cycles and analyse_channel for each channel,
   pooled over the trials) - on five trials x 16 channels x 2 minutes at
   2 kHz with ~1.1 s cycles, against a straightforward numpy implementation
   of the same steps run in the same process on the same envelopes (np.interp
   per cycle, mean/std, np.diff-based run finding and merging).  Best of
   several interleaved rounds; the two must agree.  Target: the module at
   least 3x faster.
2. The whole ``quorvaemg-host gait`` command on the same trials as C3D files,
   PDF included, with the share of each step: see ``whole_command``.  No
   target: the figures say where the time goes.

Each target gets a line ending in "met" or "NOT met"; the exit status is 0
either way (machines differ).

Run: python3 bench/gait.py [--quick] [--rounds N]   (--quick: 30-second trials)
"""

import argparse
import contextlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import quorvaemg_gait as gait
from targets import judge

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from walking import walk  # noqa: E402

TRIALS = 5
CHANNELS = 16
RATE = 2000.0
FRAME_RATE = 100.0
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


def envelope_of(rng, n, strikes, bursts):
    """A positive envelope: bursts at fixed phases of each cycle, on slow noise."""
    index = np.arange(n)
    cycle = np.clip(np.searchsorted(strikes, index, side="right") - 1, 0, len(strikes) - 2)
    phase = 100 * (index - strikes[cycle]) / (strikes[cycle + 1] - strikes[cycle])
    envelope = np.full(n, 2e-6)
    for centre, half, height in bursts:
        d = (phase - centre + 50) % 100 - 50
        envelope += height * np.where(abs(d) < half, np.cos(np.pi * d / (2 * half)) ** 2, 0)
    noise = np.convolve(rng.standard_normal(n), np.ones(200) / 200, "same")
    return envelope * (1 + 3 * np.abs(noise))


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


# -- the whole command ----------------------------------------------------------------

MUSCLES = ("TA", "GAS", "SOL", "RF", "VL", "VM", "ST", "BF")
NAMES = [side + muscle for muscle in MUSCLES for side in "LR"]


def walking_trials(seconds, seed=5):
    """(points, raw EMG) of each trial: a straight walk's pelvis, heels and toes
    ({label: frames x 3}, mm) and 16 channels of noise shaped by envelopes that
    burst at fixed phases of their side's cycles.

    The gait events are left to the command to find from the markers: a C3D
    EVENT group holds at most 255 events, and two minutes of both feet are
    about 430 (written anyway, their count wraps round and the right side's
    are lost).
    """
    rng = np.random.default_rng(seed)
    n = int(seconds * RATE)
    # Each muscle bursts where it did in the other trials, as one subject's would.
    bursts = [[(rng.uniform(0, 100), rng.uniform(6, 18), rng.uniform(2e-5, 8e-5))
               for _ in range(1 + k % 3)] for k in range(CHANNELS)]
    trials = []
    for number in range(TRIALS):
        cycle = 1.05 + 0.03 * number
        points, events, _, _ = walk([("walk", seconds, (1, 0), 1100, cycle)], FRAME_RATE)
        strikes = {side[0]: np.concatenate([[0.0], np.asarray(events[(side, "Foot Strike")])
                                            * RATE / FRAME_RATE, [n + RATE]])
                   for side in ("Left", "Right")}
        raw = []
        for k in range(CHANNELS):
            env = envelope_of(rng, n, strikes["LR"[k % 2]], bursts[k])
            raw.append(1e-4 * rng.uniform(-1, 1) + rng.standard_normal(n) * env * 4)
        trials.append((points, np.array(raw, dtype=np.float32)))
    return trials


def write_c3d_trials(folder, seconds):
    """The walking trials as C3D files of markers and raw EMG; their paths."""
    import ezc3d

    paths = []
    for number, (points, raw) in enumerate(walking_trials(seconds), 1):
        c3d = ezc3d.c3d()
        point, analog = c3d["parameters"]["POINT"], c3d["parameters"]["ANALOG"]
        point["RATE"]["value"] = [FRAME_RATE]
        point["UNITS"]["value"] = ["mm"]
        point["LABELS"]["value"] = list(points)
        analog["RATE"]["value"] = [RATE]
        analog["LABELS"]["value"] = NAMES
        analog["UNITS"]["value"] = ["V"] * CHANNELS
        frames = raw.shape[1] * int(FRAME_RATE) // int(RATE)
        xyz = np.stack([points[label][:frames].T for label in points], axis=1)
        c3d["data"]["points"] = np.concatenate([xyz, np.ones((1,) + xyz.shape[1:])])
        c3d["data"]["analogs"] = raw[np.newaxis].astype(np.float64)
        c3d.add_parameter("SUBJECTS", "NAMES", ["Bench01"])
        paths.append(os.path.join(folder, f"Walk{number:02d}.c3d"))
        c3d.write(paths[-1])
    return paths


class StepClock:
    """Time spent in named functions, wrapped where the command looks them up."""

    def __init__(self):
        self.spent, self.undo = {}, []

    def wrap(self, owner, attribute, step):
        original = getattr(owner, attribute, None)
        if original is None:  # renamed since: its time counts under "other"
            print(f"  (no {owner.__name__}.{attribute} to time as {step!r})")
            return

        def timed(*args, **kwargs):
            start = time.perf_counter()
            try:
                return original(*args, **kwargs)
            finally:
                self.spent[step] = self.spent.get(step, 0.0) + time.perf_counter() - start
        setattr(owner, attribute, timed)
        self.undo.append((owner, attribute, original))

    def restore(self):
        for owner, attribute, original in reversed(self.undo):
            setattr(owner, attribute, original)


def command_in_process(paths, out):
    """(total, {step: seconds}) of one in-process run of ``quorvaemg-host gait``."""
    import plotvane.gait
    import scipy.signal  # noqa: F401 - imported before the clock starts, as in a warm process
    from quorvaemg_gait import gait as pipeline
    from quorvaemg_gait import prepare, settings
    from quorvaemg_host import c3d, cli

    clock = StepClock()
    clock.wrap(c3d, "load_trial", "read C3D")
    clock.wrap(settings.Settings, "envelope_of", "envelope")
    clock.wrap(prepare, "side_cycles", "events and cycles")
    clock.wrap(prepare, "raw_verdicts", "signal quality of the raw channels")
    clock.wrap(pipeline, "analyse", "analysis (normalise, statistics, timing, normal)")
    clock.wrap(pipeline, "write_outputs", "PDF and tables")
    clock.wrap(plotvane.gait, "write_gait_report", "PDF")
    try:
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            status = cli.main(["gait", *paths, "--out", out])
        total = time.perf_counter() - start
    finally:
        clock.restore()
    if status != 0:
        raise SystemExit(f"quorvaemg-host gait failed with status {status}")
    steps = dict(clock.spent)
    if "PDF and tables" in steps and "PDF" in steps:
        steps["tables"] = steps.pop("PDF and tables") - steps["PDF"]
    return total, steps


def print_steps(steps, total):
    """Each step's time and share of ``total``, the largest first; what no step
    timed counts as "other"."""
    steps = dict(steps, **{"other (names, pooling, messages)": total - sum(steps.values())})
    for step, spent in sorted(steps.items(), key=lambda item: -item[1]):
        print(f"  {step:<52} {spent:6.3f} s  {100 * spent / total:5.1f} %")


def whole_command(seconds, rounds):
    """The whole ``quorvaemg-host gait`` command on the trials as C3D files, PDF
    included: the command as a process (start-up and imports too), and the share
    of each step from runs in this process."""
    folder = tempfile.mkdtemp(prefix="quorvaemg-bench-gait-")
    try:
        paths = write_c3d_trials(folder, seconds)
        out = os.path.join(folder, "out")
        command = [sys.executable, "-m", "quorvaemg_host.cli", "gait", *paths, "--out", out]
        process_times, runs = [], []
        for _ in range(rounds):
            start = time.perf_counter()
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            process_times.append(time.perf_counter() - start)
            runs.append(command_in_process(paths, out))
        total, steps = min(runs, key=lambda run: run[0])
        print(f"quorvaemg-host gait on {TRIALS} C3D trials x {CHANNELS} channels x {seconds:g} s: "
              f"best of {rounds} as a process {min(process_times):.2f} s, "
              f"in process {total:.2f} s")
        print_steps(steps, total)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="30-second trials instead of 2 minutes")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    seconds = 30.0 if args.quick else 120.0
    bench_analysis(seconds, args.rounds)
    whole_command(seconds, max(1, args.rounds // 2))


if __name__ == "__main__":
    main()
