"""Timing of the processing engine against the same work done from Python.

1. processsignal on a 16-channel trial of 120,000 samples per channel, default
   settings, every channel ticked, against the prescribed numpy/scipy calls
   made directly from Python through the same host on the same data (each
   step on the sample list as Nexus returns it; best of 5 rounds each,
   interleaved).  The module converts each channel to an array once and gives
   the same numbers.  Targets: identical output, ratio at most 0.8.
2. rms with half window 50 on 120,000 samples, native against the same loop
   written in Python.  Targets: identical output, speed-up of at least 50x.

Each target gets a line ending in "met" or "NOT met"; the exit status is 0
either way (machines differ).

Run: python3 bench/processing.py [rounds]   (rounds of processsignal, default 5;
more rounds steady the figure on a busy machine)
"""

import contextlib
import io
import os
import sys
import time

import numpy as np
import scipy.signal

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import quorvaemg  # noqa: E402
from fake_nexus import FakeNexus, Root, choices, selection  # noqa: E402
from targets import judge  # noqa: E402

CHANNELS = 16
SAMPLES = 120_000
RATE = 1000.0
DEFAULTS = dict(mnb=1, lowb=1, highb=1, rectb=1, rmsb=1,
                high="20", highOrd="2", low="200", lowOrd="2", www="100")


def emg_channel(seed, n=SAMPLES):
    """Surface EMG: bursts timed to a ~1.1 s gait cycle, DC offset, mains hum, drift."""
    rng = np.random.default_rng(seed)
    t = np.arange(n) / RATE
    phase = rng.uniform(0, 2 * np.pi)
    envelope = 0.05 + np.clip(np.sin(2 * np.pi * t / 1.1 + phase), 0, None) ** 4
    bursts = rng.standard_normal(n) * 3e-4 * envelope
    offset = rng.uniform(-0.02, 0.02)
    hum = 4e-5 * np.sin(2 * np.pi * 50 * t + rng.uniform(0, 2 * np.pi))
    drift = 3e-5 * np.sin(2 * np.pi * 0.2 * t)
    return (offset + bursts + hum + drift).tolist()


def make_trial():
    names = ["LTA", "RTA", "LGAS", "RGAS", "LRF", "RRF", "LVM", "RVM",
             "LBF", "RBF", "LST", "RST", "LSOL", "RSOL", "LGM", "RGM"][:CHANNELS]
    return FakeNexus([emg_channel(k) for k in range(CHANNELS)], names=names, rate=RATE)


def run_module(vicon):
    a = selection(*([1] * CHANNELS))
    quorvaemg.processsignal(Root(), a, choices(vicon.names), vicon, 1, 1, CHANNELS,
                            **DEFAULTS, history=False)


def run_direct(vicon):
    """The same run written out in Python with the prescribed numpy/scipy calls."""
    print("Processing EMG")
    print("Thresholds: High=20, High-Pass Order=2 Low=200, Low-Pass Order=2 Window: 100")
    names = vicon.GetDeviceOutputDetails(1, 1)[4]
    high, low, www = int("20") * 2 * 0.001, int("200") * 2 * 0.001, int("100")
    high_order, low_order = int("2"), int("2")
    for k in range(CHANNELS):
        emg, _, _ = vicon.GetDeviceChannel(1, 1, k + 1)
        emg_filtered = np.array(emg, dtype=np.float64)
        emg_filtered = emg - np.mean(emg)
        b, a = scipy.signal.butter(low_order, low, btype="lowpass")
        emg_filtered = scipy.signal.filtfilt(b, a, emg_filtered)
        b, a = scipy.signal.butter(high_order, high, btype="highpass")
        emg_filtered = scipy.signal.filtfilt(b, a, emg_filtered)
        emg_filtered = np.abs(emg_filtered)
        a2 = np.power(emg_filtered, 2)
        window = np.ones(www) / float(www)
        emg_filtered = np.sqrt(np.convolve(a2, window, "same"))
        print("Elaborated: " + names[k])
        vicon.SetDeviceChannel(1, 1, k + 1, emg_filtered)
        destination = ("%d - %s" % (k + 1, names[k]))[:2]
        print(str(k + 1) + " channel put in " + destination + " position")


def timed(function, *args):
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        function(*args)
    return time.perf_counter() - start


def bench_processsignal(rounds=5):
    vicon = make_trial()
    # Warm-up, and a check that both give the same numbers.
    with contextlib.redirect_stdout(io.StringIO()):
        run_module(vicon)
        module_out = dict(vicon.written)
        run_direct(vicon)
    same = all(np.array_equal(module_out[c], vicon.written[c]) for c in module_out)

    module_times, direct_times = [], []
    for r in range(rounds):
        # Alternate which goes first, so neither always runs on a warm cache.
        if r % 2:
            direct_times.append(timed(run_direct, vicon))
            module_times.append(timed(run_module, vicon))
        else:
            module_times.append(timed(run_module, vicon))
            direct_times.append(timed(run_direct, vicon))
    best_module, best_direct = min(module_times), min(direct_times)
    ratio = best_module / best_direct
    print("processsignal, %d channels x %d samples: best of %d %.3f s; direct numpy-scipy %.3f s;"
          " identical output: %s" % (CHANNELS, SAMPLES, rounds, best_module, best_direct,
                                    "yes" if same else "NO"))
    judge("processsignal output against the direct numpy-scipy calls: %s"
          % ("identical" if same else "DIFFERENT"), "target: identical", same)
    judge("processsignal / direct numpy-scipy: %.2f" % ratio, "target <= 0.8", ratio <= 0.8)


def rms_python(interval, halfwindow):
    """The loop form as a script would write it."""
    n = len(interval)
    rms_signal = np.zeros(n)
    for i in range(n):
        small_index = i - halfwindow if i - halfwindow > 0 else 0
        big_index = i + halfwindow if i + halfwindow < n else n
        window_samples = interval[small_index:big_index]
        total = 0.0
        for s in window_samples:  # left to right: sum() compensates rounding from Python 3.12
            total += s ** 2
        rms_signal[i] = np.sqrt(total / len(window_samples))
    return rms_signal


def bench_rms(halfwindow=50, native_rounds=3):
    signal = emg_channel(99)
    native_times = []
    for _ in range(native_rounds):
        start = time.perf_counter()
        native = quorvaemg.rms(signal, halfwindow)
        native_times.append(time.perf_counter() - start)
    start = time.perf_counter()
    python = rms_python(signal, halfwindow)
    python_time = time.perf_counter() - start
    speedup = python_time / min(native_times)
    same = np.array_equal(native, python)
    print("rms, half window %d on %d samples: native best of %d %.4f s; Python loop %.2f s;"
          " identical output: %s" % (halfwindow, len(signal), native_rounds, min(native_times),
                                     python_time, "yes" if same else "NO"))
    judge("rms output against the Python loop: %s" % ("identical" if same else "DIFFERENT"),
          "target: identical", same)
    judge("rms native / Python loop speed-up: %.0fx" % speedup, "target >= 50x", speedup >= 50)


if __name__ == "__main__":
    bench_processsignal(int(sys.argv[1]) if len(sys.argv) > 1 else 5)
    bench_rms()
