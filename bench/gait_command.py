"""The whole ``quorvaemg-host gait`` command against the release before its
reports were drawn at the speed of the analysis, in the same run.

Five generated trials of straight walking (2 minutes, 16 EMG channels at
2 kHz, heel, toe and sacrum markers at 100 Hz; the gait events are left to
the command to find from the markers) as C3D files.  The release
(``RELEASE``, or ``--against REF``) is checked out of this repository and
built into a temporary folder (``release.py``); then, in interleaved
rounds, the release's command, this one's and this one's with ``--jobs 2``
run as processes (start-up and imports included), and once more each inside
a process of its own, timed from the command's start with its steps (the
PDF's share of the time): best of the rounds.  The target is judged, as the
command's time was measured before (4.1 s, the PDF 72 %), on the command
run in its process; the times as processes are printed beside.  The reports must look alike: the same text on
every page and the same pixels, within the anti-aliasing of coordinates
written to a thousandth of a point instead of a millionth.

Target: with ``--jobs 2`` at most half the release's time.

Run through ``bench/gait.py``; ``python3 bench/gait_command.py --steps OUT
TRIAL... [-- OPTION...]`` is the timed run inside a process (prints JSON).
"""

import contextlib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import release
from targets import judge

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from walking import walk  # noqa: E402

# The commit the reports were last drawn artist by artist, in one process.
RELEASE = "42cb33d7f701be77fdeebb23cdcabc7b69039c9d"
TRIALS = 5
CHANNELS = 16
RATE = 2000.0
FRAME_RATE = 100.0
TARGET = 0.5
# Pages alike: a page's mean difference in grey levels, the share of pixels
# that differ by more than an eighth of the scale.
ALIKE_MEAN, ALIKE_FAR = 0.1, 1e-4


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


def command_in_process(paths, out, options=()):
    """(total, {step: seconds}) of one in-process run of ``quorvaemg-host gait``
    with ``options``."""
    import plotvane.gait
    import scipy.signal  # noqa: F401 - imported before the clock starts
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
            status = cli.main(["gait", *paths, "--out", out, *options])
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


def steps_in_process(env, paths, out, options=()):
    """(total, steps) of a timed run in a process of its own with ``env``."""
    command = [sys.executable, os.path.abspath(__file__), "--steps", out, *paths, "--", *options]
    done = subprocess.run(command, env=env, check=True, capture_output=True, text=True)
    answer = json.loads(done.stdout.strip().splitlines()[-1])
    return answer["total"], answer["steps"]


def timed(command, env):
    start = time.perf_counter()
    subprocess.run(command, env=env, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def whole_command(seconds, rounds, against=RELEASE, release_dir=None):
    """The release's command, this one's and this one's with --jobs 2 on the
    trials as C3D files: their times, the ratios, the PDF's share, the pages
    compared."""
    folder = tempfile.mkdtemp(prefix="quorvaemg-bench-gait-")
    try:
        site = release.installed(against, release_dir or os.path.join(folder, "release"))
        paths = write_c3d_trials(folder, seconds)
        runs = {"release": (release.env_for(site), ()), "this": (None, ()),
                "this, --jobs 2": (None, ("--jobs", "2"))}
        outs = {name: os.path.join(folder, f"out{k}") for k, name in enumerate(runs)}
        times = {name: [] for name in runs}
        steps = {name: [] for name in runs}
        for r in range(rounds):
            for name in (list(runs) if r % 2 == 0 else list(runs)[::-1]):
                env, options = runs[name]
                command = [sys.executable, "-m", "quorvaemg_host.cli", "gait", *paths,
                           "--out", outs[name], *options]
                times[name].append(timed(command, env))
                steps[name].append(steps_in_process(env, paths, outs[name], options))
        report(seconds, rounds, against, times, steps, outs)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def report(seconds, rounds, against, times, steps, outs):
    process = {name: min(t) for name, t in times.items()}
    inside = {name: min(runs, key=lambda run: run[0]) for name, runs in steps.items()}
    print(f"quorvaemg-host gait on {TRIALS} C3D trials x {CHANNELS} channels x {seconds:g} s, "
          f"best of {rounds} interleaved rounds (the release: {release.commit_of(against)[:12]}):")
    for name in process:
        total, step = inside[name]
        pdf = step.get("PDF", 0.0)
        print(f"  {name:<16} in its process {total:5.2f} s, the PDF {pdf:5.2f} s "
              f"({100 * pdf / total:4.1f} %); as a process {process[name]:5.2f} s")
    total, step = inside["this, --jobs 2"]
    print("this command's steps with --jobs 2, in its process:")
    print_steps(step, total)
    ratios = {name: (inside[name][0] / inside["release"][0], process[name] / process["release"])
              for name in ("this", "this, --jobs 2")}
    print("this / the release in one process: {:.2f} run in its process, {:.2f} as a process "
          "(start-up and imports too)".format(*ratios["this"]))
    judge("this with --jobs 2 / the release: {:.2f} run in its process ({:.2f} as a process)"
          .format(*ratios["this, --jobs 2"]), f"target at most {TARGET:g}",
          ratios["this, --jobs 2"][0] <= TARGET)
    name = "Walk01_EMGGait.pdf"
    for other in ("this", "this, --jobs 2"):
        pages, differ, mean, far = release.pages_compared(os.path.join(outs["release"], name),
                                                          os.path.join(outs[other], name))
        alike = pages[0] == pages[1] and not differ and mean <= ALIKE_MEAN and far <= ALIKE_FAR
        judge(f"{other}: {pages[1]} pages against {pages[0]}, text differing on {differ}, "
              f"pixels: largest mean difference of a page {mean:.3f} grey levels, "
              f"{100 * far:.4f} % differing by more than 32",
              "target: the same pages", alike)


def steps_main(argv):
    """``--steps OUT TRIAL... [-- OPTION...]``: one timed run, as JSON."""
    split = argv.index("--") if "--" in argv else len(argv)
    out, paths, options = argv[1], argv[2:split], argv[split + 1:]
    total, step = command_in_process(paths, out, options)
    print(json.dumps({"total": total, "steps": step}))


if __name__ == "__main__":
    steps_main(sys.argv[1:])
