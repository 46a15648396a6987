"""The host command on long trial files, against a plain script doing the same work.

1. ``quorvaemg-host FILE --process`` on a 64-channel, 2 kHz, 10-minute C3D
   file (``--quick``: 1 minute), run as a subprocess, against a plain script
   that reads the file with ezc3d, runs the same numpy/scipy chain on every
   channel (remove mean, low-pass 200 Hz and high-pass 20 Hz order 2 filtfilt,
   rectify, 100-sample moving RMS) and writes the file once.  Interleaved
   rounds, best of N; prints the time ratio (target at most 1.3) and each
   one's peak memory as a multiple of the file's size (target for the host:
   at most 4, on the 10-minute file).  The peak of the same interpreter
   starting with the host's imports and doing nothing, measured in the same
   rounds, is printed too, with what the host uses above it: on the 1-minute
   file of ``--quick`` that start-up (the interpreter, numpy, scipy,
   matplotlib) outweighs the file several times, so the memory target is
   judged on the full-size file only.
2. ``--process --jobs 2`` against ``--jobs 1`` over 8 one-minute trials: the
   speed-up of the parallel run on this machine, next to the speed-up two
   processes of pure computation get on it (what the machine can give while
   other work shares its cores).

Each target judged gets a line ending in "met" or "NOT met"; the exit
status is 0 either way (machines differ).  The files are written to a
temporary folder, removed at the end.  Linux only (peak memory comes from
``wait4``).

Run: python3 bench/trial_files.py [--quick] [--rounds N]
"""

import argparse
import multiprocessing
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np

from targets import judge

CHANNELS = 64
RATE = 2000.0
FRAME_RATE = 100.0
MARKERS = 10
JOB_TRIALS = 8
TIME_TARGET = 1.3   # host / plain script
MEMORY_TARGET = 4   # host's peak, in sizes of the 10-minute file
# What the host process has imported before it reads a trial, and nothing more.
START_UP = "import quorvaemg_host.cli, quorvaemg"

PLAIN = r"""
import sys
import ezc3d
import numpy as np
import scipy.signal

source, target = sys.argv[1], sys.argv[2]
c = ezc3d.c3d(source)
analogs = c["data"]["analogs"]
for k in range(analogs.shape[1]):
    emg = analogs[0, k, :]
    out = emg - np.mean(emg)
    b, a = scipy.signal.butter(2, 200 * 2 * 0.001, btype="lowpass")
    out = scipy.signal.filtfilt(b, a, out)
    b, a = scipy.signal.butter(2, 20 * 2 * 0.001, btype="highpass")
    out = scipy.signal.filtfilt(b, a, out)
    out = np.abs(out)
    analogs[0, k, :] = np.sqrt(np.convolve(out ** 2, np.ones(100) / 100., "same"))
c["data"]["analogs"] = analogs
c.write(target)
"""


# -- a float C3D file as Nexus writes EMG ------------------------------------------

def _parameter(name, group, kind, dims, data, last=False):
    body = struct.pack("<bB", kind, len(dims)) + bytes(dims) + data + b"\0"
    return (struct.pack("<bb", len(name), group) + name.encode()
            + struct.pack("<h", 0 if last else 2 + len(body)) + body)


def _text(name, group, values):
    width = max(len(v) for v in values)
    return _parameter(name, group, -1, [width, len(values)],
                      "".join(v.ljust(width) for v in values).encode())


def _numbers(name, group, code, values, kind, last=False):
    return _parameter(name, group, kind, [len(values)],
                      struct.pack(f"<{len(values)}{code}", *values), last)


def write_trial(path, seconds, seed=0, channels=CHANNELS, rate=RATE):
    """A float Intel C3D: MARKERS markers at FRAME_RATE, ``channels`` EMG channels at ``rate``."""
    ratio = int(rate / FRAME_RATE)
    frames = int(seconds * FRAME_RATE)
    labels = [f"Muscle{k + 1:02d}.EMG{k + 1}" for k in range(channels)]
    groups = [struct.pack("<bb", 5, -1) + b"POINT" + struct.pack("<h", 3) + b"\0",
              struct.pack("<bb", 6, -2) + b"ANALOG" + struct.pack("<h", 3) + b"\0",
              struct.pack("<bb", 5, -3) + b"TRIAL" + struct.pack("<h", 3) + b"\0"]
    blocks = 1 + (len(labels) * 60 + 2000) // 512
    records = [
        groups[0], _numbers("USED", 1, "h", [MARKERS], 2),
        _numbers("SCALE", 1, "f", [-0.1], 4), _numbers("RATE", 1, "f", [FRAME_RATE], 4),
        _numbers("DATA_START", 1, "h", [2 + blocks], 2),
        _text("LABELS", 1, [f"M{k + 1}" for k in range(MARKERS)]),
        groups[1], _numbers("USED", 2, "h", [channels], 2), _text("LABELS", 2, labels),
        _text("DESCRIPTIONS", 2, [f"Wireless EMG::{label}" for label in labels]),
        _numbers("SCALE", 2, "f", [1.0] * channels, 4), _numbers("OFFSET", 2, "h", [0] * channels, 2),
        _numbers("GEN_SCALE", 2, "f", [1.0], 4), _numbers("RATE", 2, "f", [rate], 4),
        _text("UNITS", 2, ["V"] * channels),
        groups[2], _numbers("ACTUAL_START_FIELD", 3, "H", [1, 0], 2),
        _numbers("ACTUAL_END_FIELD", 3, "H", [frames & 0xFFFF, frames >> 16], 2, last=True)]
    section = bytes([1, 0x50, blocks, 84]) + b"".join(records)
    header = bytearray(512)
    header[0:2] = bytes([2, 0x50])
    struct.pack_into("<5H", header, 2, MARKERS, channels * ratio, 1, min(frames, 0xFFFF), 0)
    struct.pack_into("<fHHf", header, 12, -0.1, 2 + blocks, ratio, FRAME_RATE)
    rng = np.random.default_rng(seed)
    gains = rng.uniform(1e-4, 5e-4, channels)
    offsets = rng.uniform(-0.02, 0.02, channels)
    with open(path, "wb") as f:
        f.write(bytes(header) + section.ljust(512 * blocks, b"\0"))
        for first in range(0, frames, 2000):
            count = min(2000, frames - first)
            t = (first * ratio + np.arange(count * ratio)) / rate
            bursts = np.clip(np.sin(2 * np.pi * t / 1.1), 0, None) ** 4
            emg = offsets + gains * (0.05 + bursts)[:, None] * rng.standard_normal((t.size, channels))
            points = rng.uniform(-500, 500, (count, MARKERS * 4))
            f.write(np.hstack([points, emg.reshape(count, ratio * channels)]).astype("<f4").tobytes())
    return path


# -- measuring -----------------------------------------------------------------------

def _spin(_):
    return sum(range(10_000_000))


def machine_speedup():
    """Speed-up of 2 processes over 1 on 4 pieces of pure computation."""
    seconds = []
    for processes in (1, 2):
        start = time.perf_counter()
        with multiprocessing.get_context("fork").Pool(processes) as pool:
            pool.map(_spin, range(4))
        seconds.append(time.perf_counter() - start)
    return seconds[0] / seconds[1]

def run(command):
    """(seconds, peak resident bytes) of a child process; fails loudly if it fails."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed:\n{child.stderr.read().decode()}")
    child.stderr.close()
    return seconds, usage.ru_maxrss * 1024


def host(*args):
    return [sys.executable, "-m", "quorvaemg_host.cli", *args]


def best(commands, rounds, before=None):
    """Best time and peak of each command over interleaved rounds."""
    results = {name: (float("inf"), 0) for name in commands}
    for _ in range(rounds):
        for name, command in commands.items():
            if before:
                before()
            seconds, peak = run(command)
            results[name] = (min(results[name][0], seconds), max(results[name][1], peak))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a 1-minute file instead of 10")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="quorvaemg-bench-")
    try:
        path = write_trial(os.path.join(folder, "Long.c3d"), 60 if args.quick else 600)
        size = os.path.getsize(path)
        print(f"{CHANNELS} channels at {RATE:g} Hz, {60 if args.quick else 600} s: "
              f"{size / 2 ** 20:.0f} MiB; best of {args.rounds} interleaved rounds")
        results = best({"host": host(path, "--process"),
                        "plain": [sys.executable, "-c", PLAIN, path,
                                  os.path.join(folder, "plain.c3d")],
                        "start-up": [sys.executable, "-c", START_UP]}, args.rounds)
        start_up = results.pop("start-up")[1]
        for name, (seconds, peak) in results.items():
            print(f"  {name:5s}: {seconds:6.2f} s, peak memory {peak / 2 ** 20:6.0f} MiB "
                  f"= {peak / size:.2f} x the file")
        ratio = results["host"][0] / results["plain"][0]
        memory = results["host"][1] / size
        print(f"  host above its start-up with the same imports ({start_up / 2 ** 20:.0f} MiB, "
              f"measured in these rounds): {(results['host'][1] - start_up) / size:.2f} x "
              "the file")
        judge(f"time ratio host / plain: {ratio:.2f}", f"target <= {TIME_TARGET}",
              ratio <= TIME_TARGET)
        if args.quick:
            print(f"host memory {memory:.2f} x the file: not judged with --quick (the target, "
                  f"<= {MEMORY_TARGET} x, is for the 10-minute file; on this one start-up "
                  f"alone is {start_up / size:.1f} x the file)")
        else:
            judge(f"host memory {memory:.2f} x the file", f"target <= {MEMORY_TARGET} x",
                  memory <= MEMORY_TARGET)

        trials = [write_trial(os.path.join(folder, f"Walk{k + 1:02d}.c3d"), 60, seed=k)
                  for k in range(JOB_TRIALS)]
        jobs = best({n: host(*trials, "--process", "--jobs", str(n)) for n in (1, 2)},
                    args.rounds)
        print(f"--jobs 2 over {JOB_TRIALS} one-minute trials: {jobs[2][0]:.2f} s against "
              f"{jobs[1][0]:.2f} s with --jobs 1, speed-up {jobs[1][0] / jobs[2][0]:.2f} "
              f"on {os.cpu_count()} cores (2 processes of pure computation: "
              f"{machine_speedup():.2f})")
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
