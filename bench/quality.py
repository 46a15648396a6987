"""Timing of the signal-quality checks against the same computations in numpy/scipy.

16 channels x 2 minutes at 2 kHz (240,000 samples each): check_channels of
quorvaemg_gait against the same measures written with numpy and
scipy.signal.welch (Hann windows of 2048 samples, half overlap, segment mean
removed), best of several interleaved rounds each.  Prints the ratio (target:
at most 0.5) and whether every measure agrees (relative 1e-9; the percentile
and run counts exactly), each target on a line ending in "met" or "NOT met";
the exit status is 0 either way (machines differ).

Run: python3 bench/quality.py [--quick] [ROUNDS]   (--quick: 20 s channels, 3 rounds)
"""

import sys
import time

import numpy as np
import scipy.signal

import quorvaemg_gait
from targets import judge

CHANNELS = 16
RATE = 2000.0
SEGMENT = 2048  # the power of two nearest to one second at 2 kHz
LOW_HZ = 20.0
LINE_DB = 10.0
SNR_WINDOW = 400  # 200 ms


def emg_channel(seed, n):
    """Surface EMG: band-limited bursts on a gait-like cycle, offset, hum, drift, a clipped stretch."""
    rng = np.random.default_rng(seed)
    t = np.arange(n) / RATE
    b, a = scipy.signal.butter(4, [20, 450], btype="band", fs=RATE)
    noise = scipy.signal.lfilter(b, a, rng.standard_normal(n))
    envelope = 0.05 + np.clip(np.sin(2 * np.pi * t / 1.1 + rng.uniform(0, 6)), 0, None) ** 4
    x = 2e-4 * noise * envelope + rng.uniform(-0.01, 0.01)
    x += 2e-5 * (seed % 4) * np.sin(2 * np.pi * (50 if seed % 2 else 60) * t)
    x += 3e-5 * np.sin(2 * np.pi * 0.3 * t)
    level = np.quantile(x, 0.999)
    return np.minimum(x, level)


def runs_at_extremes(x, run):
    at = np.flatnonzero((x == x.min()) | (x == x.max()))
    breaks = np.flatnonzero((np.diff(at) != 1) | (np.diff(x[at]) != 0))
    lengths = np.diff(np.concatenate(([0], breaks + 1, [len(at)])))
    return lengths[lengths >= run].sum() / len(x), int(lengths.max())


def mains(f, p, total):
    df = f[1]
    width = max(2.0, 2 * df)
    best = (0.0, -np.inf, None)
    strongest = -np.inf
    for base in (50.0, 60.0):
        excess, base_db = 0.0, -np.inf
        for h in range(1, 6):
            centre = base * h
            if centre + 4 * width > f[-1]:
                break
            distance = np.abs(f - centre)
            near = distance <= 4 * width
            line_bins = distance <= width
            line = p[line_bins].sum()
            expected = p[near & ~line_bins].mean() * line_bins.sum()
            db = 10 * np.log10(line / expected)
            base_db = max(base_db, db)
            if db >= LINE_DB:
                excess += line - expected
        strongest = max(strongest, base_db)
        share = excess / total
        if share > best[0]:
            best = (share, base_db, base)
    share, db, hz = best
    return hz, (db if hz else strongest), share


def numpy_checks(x, rate):
    """The measures of check_channel, written with numpy and scipy."""
    sd = x.std()
    steps = np.abs(np.diff(x))
    step = steps[steps > 0].min()
    clipped, longest = runs_at_extremes(x, 2)
    f, p = scipy.signal.welch(x, rate, window="hann", nperseg=SEGMENT)
    total = p.sum()
    low = p[f < LOW_HZ].sum() / total
    mean_hz = (f * p).sum() / total
    cumulative = np.cumsum(p)
    k = int(np.searchsorted(cumulative, total / 2))
    below = cumulative[k - 1] if k else 0.0
    median_hz = max(0.0, (k - 0.5 + (total / 2 - below) / p[k]) * f[1])
    hz, db, share = mains(f, p, total)
    count = len(x) // SNR_WINDOW
    rms = x[:count * SNR_WINDOW].reshape(count, SNR_WINDOW).std(axis=1)
    snr = 20 * np.log10(np.percentile(rms, 95) / np.percentile(rms, 5))
    return dict(sd=sd, step=step, clipped_share=clipped, longest_clip=longest, low_share=low,
                mean_hz=mean_hz, median_hz=median_hz, mains_hz=hz, mains_db=db,
                mains_share=share, snr_db=snr)


def agree(native, direct):
    for key, value in direct.items():
        mine = native[key]
        if value is None or mine is None:
            if value is not mine:
                return False
        elif not np.isclose(mine, value, rtol=1e-9, atol=1e-12):
            return False
    return True


def timed(function):
    start = time.perf_counter()
    result = function()
    return time.perf_counter() - start, result


def main(argv):
    quick = "--quick" in argv
    numbers = [a for a in argv if a != "--quick"]
    rounds = int(numbers[0]) if numbers else (3 if quick else 7)
    seconds = 20 if quick else 120
    channels = [emg_channel(k, int(seconds * RATE)) for k in range(CHANNELS)]

    def native():
        return quorvaemg_gait.check_channels(channels, RATE)

    def direct():
        return [numpy_checks(x, RATE) for x in channels]

    same = all(agree(n, d) for n, d in zip(native(), direct()))
    native_times, direct_times = [], []
    for r in range(rounds):
        # Alternate which goes first, so neither always runs on a warm cache.
        pair = [(native, native_times), (direct, direct_times)]
        for function, times in (pair if r % 2 == 0 else pair[::-1]):
            times.append(timed(function)[0])
    ratio = min(native_times) / min(direct_times)
    print("quality checks, %d channels x %d s at %.0f Hz: best of %d %.3f s; numpy-scipy %.3f s;"
          " measures agree: %s" % (CHANNELS, seconds, RATE, rounds, min(native_times),
                                   min(direct_times), "yes" if same else "NO"))
    judge("measures against numpy-scipy: %s" % ("agree" if same else "DIFFER"),
          "target: agree", same)
    judge("check_channels / numpy-scipy: %.2f" % ratio, "target <= 0.5", ratio <= 0.5)


if __name__ == "__main__":
    main(sys.argv[1:])
