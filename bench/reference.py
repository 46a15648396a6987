"""Timing of a lab reference and of scoring one patient against it, core against numpy.

A reference of 30 subjects x 3 trials x 16 channels (30 s at 2 kHz, ~27 cycles per
trial and side) and one patient of 3 trials, after the envelope:

1. per subject and channel ``analyse_channel`` over its trials' envelopes (the
   patient's channels too),
2. per channel ``cycle_statistics`` over the subjects' mean curves, the group's
   activation periods and ``period_statistics`` of the subjects' periods about them,
3. for the patient, per channel ``compare_curve``, ``timing_shifts`` and
   ``consistency``, and ``co_contraction`` for 8 pairs of muscles per side,

against the same steps written with numpy (np.interp per cycle, mean/std, the
formulas; the matching of periods in Python), in the same process on the same
envelopes and cycles.  Best of several interleaved rounds; the two must agree.
Target: the core at least 3x faster over all steps; the figures of steps 2-3 alone
are printed too.

Each target gets a line ending in "met" or "NOT met"; the exit status is 0 either
way (machines differ).

Then the whole commands as a lab runs them, ``reference build`` over the generated
control subjects' C3D trials (the demo generator's, as many subjects) and ``gait
--reference`` of a patient, with each step's share of the time.

Run: python3 bench/reference.py [--quick] [--rounds N]   (--quick: 6 subjects, 10 s trials)
"""

import argparse
import contextlib
import io
import math
import os
import shutil
import tempfile
import time

import numpy as np

import quorvaemg_gait as core
from gait import StepClock, best_of, numpy_activation, numpy_analyse, print_steps  # bench/gait.py
from targets import judge

TRIALS = 3
CHANNELS = 16  # 8 muscles, left and right alternating
RATE = 2000.0
THRESHOLD = 0.25
MERGE = 3.0
POINTS = 101
PAIRS = [(m, (m + 1) % 8) for m in range(8)]  # muscles of one side whose co-contraction is scored


# -- synthetic envelopes ------------------------------------------------------------

def side_cycles(rng, n, offset):
    """(start, end, foot off) of one side's cycles: ~1.1 s, foot off at ~60 %."""
    durations = rng.uniform(1.0, 1.2, int(n / RATE) + 2)
    strikes = (offset + np.concatenate([[0.0], np.cumsum(durations)])) * RATE
    offs = strikes[:-1] + np.diff(strikes) * rng.uniform(0.58, 0.64, len(strikes) - 1)
    return core.find_cycles(np.round(strikes, 1), np.round(offs, 1), n)[0]


def phase_of(cycles, n):
    """% of the cycle at each sample (0 outside the cycles)."""
    index = np.arange(n)
    k = np.clip(np.searchsorted(cycles[:, 0], index, side="right") - 1, 0, len(cycles) - 1)
    phase = 100 * (index - cycles[k, 0]) / (cycles[k, 1] - cycles[k, 0])
    return np.where((phase >= 0) & (phase <= 100), phase, 0.0)


def make_person(rng, n, muscles, shift=0.0):
    """[(envelopes of the 16 channels, {side: cycles})] for each trial; each muscle's
    burst timing jitters a little from person to person."""
    jitter = rng.normal(0, 2.0, len(muscles)) + shift
    trials = []
    for _ in range(TRIALS):
        cycles = {side: side_cycles(rng, n, offset) for side, offset in (("L", 0.3), ("R", 0.85))}
        phases = {side: phase_of(c, n) for side, c in cycles.items()}
        channels = np.empty((CHANNELS, n))
        for k in range(CHANNELS):
            centre, half, height = muscles[k // 2]
            d = (phases["LR"[k % 2]] - centre - jitter[k // 2] + 50) % 100 - 50
            burst = np.where(abs(d) < half, np.cos(np.pi * d / (2 * half)) ** 2, 0.0)
            channels[k] = (2e-6 + height * burst) * (1 + rng.random(n))
        trials.append((channels, cycles))
    return trials


def make_lab(subjects, seconds, seed=3):
    rng = np.random.default_rng(seed)
    n = int(seconds * RATE)
    muscles = [(rng.uniform(0, 100), rng.uniform(10, 25), rng.uniform(2e-5, 8e-5)) for _ in range(8)]
    return ([make_person(rng, n, muscles) for _ in range(subjects)],
            make_person(rng, n, muscles, shift=6.0))


def pieces_of(person, k):
    return [(channels[k], cycles["LR"[k % 2]]) for channels, cycles in person]


# -- the same steps with numpy ------------------------------------------------------

def wrapped(x):
    """Differences on the circle, in (-50, 50]."""
    return -((50.0 - x) % 100.0 - 50.0)


def joined(periods):
    periods = [tuple(p) for p in periods]
    ending = [i for i, p in enumerate(periods) if p[1] == 100 and 0 < p[0] < 100]
    starting = [i for i, p in enumerate(periods) if p[0] == 0 and 0 < p[1] < 100]
    if ending and starting:
        periods[ending[0]] = (periods[ending[0]][0], periods[starting[0]][1])
        del periods[starting[0]]
    return periods


def pieces(p):
    return [p] if p[0] < p[1] else [(p[0], 100.0), (0.0, p[1])] if p[0] > p[1] else []


def best_match(target, candidates):
    best, most = None, 0.0
    for p in candidates:
        o = sum(max(0.0, min(a[1], b[1]) - max(a[0], b[0]))
                for a in pieces(target) for b in pieces(p))
        if o > most:
            best, most = p, o
    return best


def numpy_period_statistics(group, subjects):
    subjects = [joined(s) for s in subjects]
    out = []
    for g in joined(group):
        matches = [m for m in (best_match(g, s) for s in subjects) if m is not None]
        row = {"on": g[0], "on_sd": None, "off": g[1], "off_sd": None, "subjects": len(matches)}
        if matches:
            d = wrapped(np.array(matches) - g)
            on, off = g + d.mean(axis=0)
            row["on"] = on % 100.0
            row["off"] = 100.0 - (100.0 - off) % 100.0
            if len(matches) > 1:
                row["on_sd"], row["off_sd"] = d.std(axis=0, ddof=1)
        out.append(row)
    return out


def numpy_timing_shifts(periods, reference):
    periods, out = joined(periods), []
    for r in reference:
        p = best_match((r["on"], r["off"]), periods)
        if p is None:
            out.append(None)
            continue
        on, off = wrapped(p[0] - r["on"]), wrapped(p[1] - r["off"])
        out.append({"onset_shift": on, "onset_sd": on / r["on_sd"] if r["on_sd"] else None,
                    "offset_shift": off, "offset_sd": off / r["off_sd"] if r["off_sd"] else None})
    return out


def numpy_runs(excess, merge, kind):
    inside = excess > 0
    edges = np.flatnonzero(np.diff(inside))
    at = np.clip(excess[edges] / (excess[edges] - excess[edges + 1]), 0, 1)
    bounds = np.r_[0.0, (edges + at) * 100.0 / (len(excess) - 1), 100.0]
    states = np.r_[inside[0], inside[edges + 1]]
    starts, ends = bounds[:-1][states], bounds[1:][states]
    keep = (ends - starts >= merge) & (ends > starts)
    return [(a, b, kind) for a, b in zip(starts[keep].tolist(), ends[keep].tolist())]


def numpy_compare(curve, mean, sd, merge=MERGE, band=2.0):
    s = np.where(sd > 0, sd, sd[sd > 0].min())
    outside = (numpy_runs(curve - (mean + band * s), merge, "above") +
               numpy_runs((mean - band * s) - curve, merge, "below"))
    return {"correlation": np.corrcoef(curve, mean)[0, 1],
            "cosine": curve @ mean / (np.linalg.norm(curve) * np.linalg.norm(mean)),
            "rms_sd": np.sqrt(np.mean(((curve - mean) / s) ** 2)),
            "outside": sorted(outside)}


def numpy_consistency(x):
    n, t = x.shape
    m = x.mean(axis=0)
    ratio = (((x - m) ** 2).sum() / (t * (n - 1))) / (((x - x.mean()) ** 2).sum() / (t * n - 1))
    return ratio, np.mean(x @ m / (np.linalg.norm(x, axis=1) * np.linalg.norm(m)))


def numpy_co_contraction(a, b, foot_off):
    a, b = np.clip(a, 0, None), np.clip(b, 0, None)
    x = np.linspace(0, 100, a.shape[1])
    rows = np.arange(len(a))
    j = np.minimum((foot_off / (x[1] - x[0])).astype(int), a.shape[1] - 2)
    t = (foot_off - x[j]) / (x[j + 1] - x[j])
    out = {}
    for name, y in (("common", np.minimum(a, b)), ("total", a + b)):
        areas = np.diff(x) * (y[:, 1:] + y[:, :-1]) / 2
        cumulative = np.concatenate([np.zeros((len(a), 1)), np.cumsum(areas, axis=1)], axis=1)
        af = a[rows, j] + t * (a[rows, j + 1] - a[rows, j])
        bf = b[rows, j] + t * (b[rows, j + 1] - b[rows, j])
        yf = np.minimum(af, bf) if name == "common" else af + bf
        stance = cumulative[rows, j] + (foot_off - x[j]) * (y[rows, j] + yf) / 2
        swing = (x[j + 1] - foot_off) * (yf + y[rows, j + 1]) / 2 + cumulative[:, -1] - cumulative[rows, j + 1]
        out[name] = (cumulative[:, -1], stance, swing)
    with np.errstate(invalid="ignore", divide="ignore"):
        return {phase: 200 * out["common"][i] / out["total"][i]
                for i, phase in enumerate(("whole", "stance", "swing"))}


# -- the two runs -------------------------------------------------------------------

def core_analyse(pieces):
    return core.analyse_channel(pieces, "none", THRESHOLD, MERGE, POINTS)


def core_steps():
    def reference(analyses):  # analyses[subject][channel]
        out = []
        for k in range(CHANNELS):
            mean, sd = core.cycle_statistics(np.array([a[k]["mean"] for a in analyses]))
            group = {"mean": mean, "sd": sd}
            level = group["mean"].min() + THRESHOLD * np.ptp(group["mean"])
            periods = core.activation(group["mean"], level, MERGE)
            out.append((group, core.period_statistics(periods, [a[k]["mean_activity"]
                                                                for a in analyses])))
        return out

    def score(patient, reference):
        scores = []
        for k in range(CHANNELS):
            (group, timing), p = reference[k], patient[k]
            scores.append((core.compare_curve(p["mean"], group["mean"], group["sd"], MERGE),
                           core.timing_shifts(p["mean_activity"], timing),
                           core.consistency(p["curves"])))
        cci = [core.co_contraction(patient[2 * i + s]["curves"], patient[2 * j + s]["curves"],
                                   patient[2 * i + s]["foot_off"])
               for s in (0, 1) for i, j in PAIRS]
        return scores, cci
    return core_analyse, reference, score


def numpy_steps():
    def reference(analyses):
        out = []
        for k in range(CHANNELS):
            means = np.array([a[k]["mean"] for a in analyses])
            group = {"mean": means.mean(axis=0), "sd": means.std(axis=0, ddof=1)}
            level = group["mean"].min() + THRESHOLD * np.ptp(group["mean"])
            periods = numpy_activation(group["mean"], level, MERGE)
            out.append((group, numpy_period_statistics(periods, [a[k]["mean_activity"]
                                                                 for a in analyses])))
        return out

    def score(patient, reference):
        scores = []
        for k in range(CHANNELS):
            (group, timing), p = reference[k], patient[k]
            scores.append((numpy_compare(p["mean"], group["mean"], group["sd"]),
                           numpy_timing_shifts(p["mean_activity"], timing),
                           numpy_consistency(p["curves"])))
        cci = [numpy_co_contraction(patient[2 * i + s]["curves"], patient[2 * j + s]["curves"],
                                    patient[2 * i + s]["foot_off"])
               for s in (0, 1) for i, j in PAIRS]
        return scores, cci
    return numpy_analyse, reference, score


def run(steps, lab, subjects_only=None):
    """The analyses (step 1), or, given them, the reference and the score (steps 2-3)."""
    analyse, reference, score = steps
    if subjects_only is None:
        subjects, patient = lab
        return ([[analyse(pieces_of(s, k)) for k in range(CHANNELS)] for s in subjects],
                [analyse(pieces_of(patient, k)) for k in range(CHANNELS)])
    analyses, patient = subjects_only
    return score(patient, reference(analyses))


def close(a, b):
    """Nested results equal to within rounding (None where the other has None)."""
    if isinstance(a, dict):
        return isinstance(b, dict) and a.keys() == b.keys() and all(close(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return isinstance(b, (list, tuple)) and len(a) == len(b) and all(map(close, a, b))
    if a is None or b is None or isinstance(a, str):
        return a == b
    return np.allclose(a, b, rtol=1e-9, atol=1e-9, equal_nan=True)


def timed_command(argv, clock_steps):
    """(total, {step: seconds}) of one in-process run of ``quorvaemg-host ARGV``."""
    from quorvaemg_host import cli

    clock = StepClock()
    for owner, attribute, step in clock_steps:
        clock.wrap(owner, attribute, step)
    try:
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            status = cli.main(argv)
        total = time.perf_counter() - start
    finally:
        clock.restore()
    if status != 0:
        raise SystemExit(f"quorvaemg-host {argv[0]} failed with status {status}")
    return total, dict(clock.spent)


def whole_commands(subjects, rounds):
    """``reference build`` over generated control subjects' C3D trials and ``gait
    --reference`` of a patient against it, each step's share of the time."""
    import plotvane.gait
    import scipy.signal  # noqa: F401 - imported before the clock starts, as in a warm process
    from quorvaemg_gait import gait as pipeline
    from quorvaemg_gait import prepare, reference, scoring, settings
    from quorvaemg_host import c3d, demo

    steps = [(c3d, "load_trial", "read C3D"), (settings.Settings, "envelope_of", "envelope"),
             (prepare, "side_cycles", "events and cycles"),
             (prepare, "raw_verdicts", "signal quality of the raw channels"),
             (pipeline, "analyse", "analysis (cycles, statistics, timing, scores)"),
             (reference, "build_reference", "reference (group curves, timing spread)"),
             (reference, "write_reference", "reference file"),
             (scoring, "against_reference", "scores against the reference"),
             (pipeline, "write_outputs", "PDF and tables"),
             (plotvane.gait, "write_gait_report", "PDF")]
    folder = tempfile.mkdtemp(prefix="quorvaemg-bench-reference-")
    try:
        controls = demo.write_controls(os.path.join(folder, "controls"), subjects, trials=TRIALS)
        patient = demo.write_demo_c3d(os.path.join(folder, "patient"), shifts={"TA": 0.15})
        ref = os.path.join(folder, "lab.json")
        runs = {"reference build": ["reference", "build", *controls, "--out", ref,
                                    "--normalise", "peak"],
                "gait --reference": ["gait", patient, "--reference", ref, "--normalise", "peak"]}
        for name, argv in runs.items():
            total, spent = min((timed_command(argv, steps) for _ in range(rounds)),
                               key=lambda run: run[0])
            if "PDF and tables" in spent and "PDF" in spent:
                spent["tables"] = spent.pop("PDF and tables") - spent["PDF"]
            # The scores are computed within the analysis: told apart from it.
            if "scores against the reference" in spent:
                spent["analysis (cycles, statistics, timing, scores)"] -= spent[
                    "scores against the reference"]
            print(f"quorvaemg-host {name} ({len(controls)} control trials of {subjects} "
                  f"subjects, 12 channels x 10 s at 1 kHz; one patient trial): best of "
                  f"{rounds} in process {total:.2f} s")
            print_steps(spent, total)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="6 subjects and 10-second trials")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    subjects, seconds = (6, 10.0) if args.quick else (30, 30.0)
    lab = make_lab(subjects, seconds)
    cycles = sum(len(c) for s in lab[0] for _, t in s for c in t.values()) // (2 * TRIALS * subjects)
    mine, theirs = core_steps(), numpy_steps()
    analyses = {"core": run(mine, lab), "numpy": run(theirs, lab)}
    scored = {"core": run(mine, None, analyses["core"]),
              "numpy": run(theirs, None, analyses["core"])}
    same = close(scored["core"], scored["numpy"]) and all(
        np.allclose(c["mean"], n["mean"], rtol=1e-12, atol=0)
        for c, n in zip(analyses["core"][1], analyses["numpy"][1]))
    whole = best_of(args.rounds, {"core": lambda: run(mine, None, run(mine, lab)),
                                  "numpy": lambda: run(theirs, None, run(theirs, lab))})
    steps = best_of(args.rounds * 4, {"core": lambda: run(mine, None, analyses["core"]),
                                      "numpy": lambda: run(theirs, None, analyses["core"])})
    ratio, part = whole["numpy"] / whole["core"], steps["numpy"] / steps["core"]
    print(f"lab reference of {subjects} subjects x {TRIALS} trials x {CHANNELS} channels x "
          f"{seconds:g} s at {RATE:g} Hz (~{cycles} cycles a trial and side) and one patient: "
          f"best of {args.rounds} core {whole['core']:.3f} s; numpy {whole['numpy']:.3f} s; "
          f"same results: {'yes' if same else 'NO'}")
    print(f"  group curves, timing statistics and the patient's scores alone: core "
          f"{1000 * steps['core']:.2f} ms; numpy {1000 * steps['numpy']:.2f} ms; "
          f"numpy / core {part:.1f}x")
    judge(f"results against numpy: {'the same' if same else 'DIFFERENT'}", "target: the same",
          same)
    judge(f"numpy / core: {ratio:.1f}x", "target >= 3x", ratio >= 3 and not math.isnan(ratio))
    whole_commands(subjects, max(1, args.rounds // 2))


if __name__ == "__main__":
    main()
