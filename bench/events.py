"""Timing of gait-event detection from markers against the same detection written
with numpy and scipy.

A 10-minute trial at 100 Hz with 60 markers (walks along the walkway and back,
stops between them, a lost heel now and then): ``markers.detect_events`` - the
name search over the 60 labels and the core's detector on the 6 markers it
needs - against the same name search and a numpy/scipy implementation of the
same steps (the pelvis's trajectory, filtering and stretches once for both
feet as the module does, scipy's filtfilt per gap-free stretch, numpy extremes,
their moves by the foot's speed, the stretch and alternation loops in Python), in the same process on the same points.
Best of several interleaved rounds; the two must find the same events.
Target: the module at least 5x faster.

Each target gets a line ending in "met" or "NOT met"; the exit status is 0
either way (machines differ).

Run: python3 bench/events.py [--quick] [ROUNDS]   (--quick: a 2-minute trial)
"""

import math
import os
import sys
import time

import numpy as np
import scipy.signal

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from quorvaemg_gait import markers  # noqa: E402
from targets import judge  # noqa: E402
from walking import walk  # noqa: E402

RATE = 100.0
MARKERS = 60
OTHERS = ("ASI", "PSI", "THI", "KNE", "KNM", "TIB", "ANM", "SHO", "ELB", "WRA", "WRB", "FIN",
          "UPA", "FRM", "FHD", "BHD", "ASIS2", "GTR", "PAT", "SHN", "MT1", "MED", "LAT", "CLAV")


def make_trial(seconds, seed=5):
    """{label: frames x 3} of ``seconds`` of walking, 60 markers with a subject prefix."""
    legs, left = [], seconds
    for k in range(int(seconds // 26) + 1):
        heading = (1, 0) if k % 2 == 0 else (-1, 0)
        legs += [("stand", 3), ("walk", 23, heading, 1100 + 60 * (k % 5), 1.0 + 0.03 * (k % 4))]
        left -= 26
    points, _, _, _ = walk(legs, RATE)
    n = int(seconds * RATE)
    rng = np.random.default_rng(seed)
    pelvis = points.pop("SACR")[:n]
    trial = {"Sub:" + name: xyz[:n].copy() for name, xyz in points.items()}
    for name, dy in (("LPSI", 60), ("RPSI", -60)):
        trial["Sub:" + name] = pelvis + [-80, dy, 0]
    for k in range(MARKERS - 6):  # the rest: markers the detection passes over
        side = "LR"[k % 2]
        trial[f"Sub:{side}{OTHERS[k % len(OTHERS)]}{k}"] = pelvis + rng.normal(0, 200, 3)
    for start in rng.integers(0, n - 100, 12):  # lost heels: zeros, as a system writes them
        trial["Sub:" + "LR"[start % 2] + "HEE"][start:start + rng.integers(5, 60)] = 0
    return trial


# -- the same detection with numpy and scipy -------------------------------------------

def numpy_filtered(xyz, b, a):
    out = np.full_like(xyz, np.nan)
    whole = ~np.isnan(xyz).any(axis=1)
    edges = np.flatnonzero(np.diff(np.r_[0, whole.astype(np.int8), 0]))
    for start, end in zip(edges[::2], edges[1::2]):
        if end - start > 9:
            out[start:end] = scipy.signal.filtfilt(b, a, xyz[start:end], axis=0)
    return out


def numpy_stretches(pelvis, still):
    n = len(pelvis)
    v = np.zeros((n, 2))
    v[1:-1] = (pelvis[2:, :2] - pelvis[:-2, :2]) * RATE / 2
    square = v[:, 0] ** 2 + v[:, 1] ** 2
    with np.errstate(invalid="ignore"):
        walking = square >= still * still
    speed = np.sqrt(square)
    stretch = np.full(n, -1)
    edges = np.flatnonzero(np.diff(np.r_[0, walking.astype(np.int8), 0]))
    current = -1
    for start, end in zip(edges[::2], edges[1::2]):
        while start < end:
            unit = v[start] / speed[start]
            turned = v[start + 1:end] @ unit < np.sqrt(0.5) * speed[start + 1:end]
            beyond = np.flatnonzero(turned)
            stop = start + 1 + beyond[0] if beyond.size else end
            current += 1
            stretch[start:stop] = current
            start = stop
    return stretch, v


def numpy_extremes(relative, stretch, strike):
    l, c, r = relative[:-2], relative[1:-1], relative[2:]
    s = stretch[1:-1]
    with np.errstate(invalid="ignore"):
        peak = (s >= 0) & (stretch[:-2] == s) & (stretch[2:] == s) & (c > l) & (c >= r)
    i = np.flatnonzero(peak)
    curve = l[i] - 2 * c[i] + r[i]
    shift = np.where(curve < 0, 0.5 * (l[i] - r[i]) / np.where(curve < 0, curve, 1), 0)
    return [(at, value, strike) for at, value in zip((i + 1 + shift).tolist(), c[i].tolist())]


def numpy_by_speed(xy, events, strike, share=0.15):
    """``events`` moved as the module moves them within the gap-free stretch of the
    filtered marker ``xy`` they are in: a strike on while the speed falls to where
    it drops below ``share`` of the stretch's peak, an off halfway to where it rises
    through it from its low point at or before the off."""
    whole = ~np.isnan(xy[:, 0])
    edges = np.flatnonzero(np.diff(np.r_[0, whole.astype(np.int8), 0]))
    moved, speeds = [], {}
    for at, value, kind in events:
        k = np.searchsorted(edges[::2], int(at), side="right") - 1
        start, end = edges[2 * k], edges[2 * k + 1]
        if k not in speeds:  # each stretch's speeds once, as the module makes them
            speeds[k] = np.hypot(*np.gradient(xy[start:end], axis=0).T)
        s = speeds[k]
        level, i, x = share * s.max(), int(at) - start, at - start
        if strike:
            while i + 1 < len(s) and s[i + 1] < s[i]:
                if s[i] >= level > s[i + 1]:
                    x = max(x, i + (level - s[i]) / (s[i + 1] - s[i]))
                    break
                i += 1
        else:
            while i > 0 and s[i - 1] < s[i]:
                i -= 1
            while i + 1 < len(s) and s[i + 1] > s[i]:
                if s[i] < level <= s[i + 1]:
                    x = (x + i + (level - s[i]) / (s[i + 1] - s[i])) / 2
                    break
                i += 1
        moved.append((start + x, value, kind))
    return moved


def numpy_walking(pelvis, still, lowpass=6.0):
    """The filtered pelvis and its stretches, as the module finds them once for both feet."""
    b, a = scipy.signal.butter(2, lowpass, fs=RATE)
    p = numpy_filtered(pelvis, b, a)
    return (p,) + numpy_stretches(p, still)


def numpy_foot(heel, toe, walking, lowpass=6.0):
    b, a = scipy.signal.butter(2, lowpass, fs=RATE)
    h, t = (numpy_filtered(x, b, a) for x in (heel, toe))
    p, stretch, v = walking
    count = stretch.max() + 1
    inside = stretch >= 0
    sx = np.bincount(stretch[inside], v[inside, 0], count)
    sy = np.bincount(stretch[inside], v[inside, 1], count)
    along_x = np.abs(sx) >= np.abs(sy)
    sign = np.where(np.where(along_x, sx, sy) >= 0, 1.0, -1.0)
    axis = np.where(along_x, 0, 1)
    rows, of = np.flatnonzero(inside), stretch[inside]
    ahead, behind = np.full(len(p), np.nan), np.full(len(p), np.nan)
    ahead[rows] = sign[of] * (h[rows, axis[of]] - p[rows, axis[of]])
    behind[rows] = -sign[of] * (t[rows, axis[of]] - p[rows, axis[of]])
    events = sorted(numpy_by_speed(h[:, :2], numpy_extremes(ahead, stretch, True), True) +
                    numpy_by_speed(t[:, :2], numpy_extremes(behind, stretch, False), False))
    gaps = {True: np.r_[0, np.cumsum(np.isnan(t[:, 0]))], False: np.r_[0, np.cumsum(np.isnan(h[:, 0]))]}
    kept = []
    for e in events:
        if kept and kept[-1][2] == e[2]:
            last = kept[-1]
            lo, hi = int(last[0]), int(e[0]) + 1
            if stretch[lo] == stretch[min(hi, len(p) - 1)] and gaps[e[2]][hi] == gaps[e[2]][lo]:
                if e[1] > last[1]:
                    kept[-1] = e
                continue
        kept.append(e)
    return [e[0] for e in kept if e[2]], [e[0] for e in kept if not e[2]]


def numpy_detect(points):
    events, walking = {}, {}
    for side in ("Left", "Right"):
        roles = markers.find_roles(points, side)
        heel, toe = (markers.trajectory(points, roles[r]) for r in ("heel", "toe"))
        if roles["pelvis"] not in walking:
            walking[roles["pelvis"]] = numpy_walking(markers.trajectory(points, roles["pelvis"]),
                                                     markers.still_speed("mm"))
        strikes, offs = numpy_foot(heel, toe, walking[roles["pelvis"]])
        events[(side, markers.STRIKE)], events[(side, markers.OFF)] = strikes, offs
    return events


def native_detect(points):
    return markers.detect_events(points, RATE)[0]


def same_events(one, other):
    return one.keys() == other.keys() and all(
        len(one[k]) == len(other[k]) and np.allclose(one[k], other[k], rtol=0, atol=1e-6)
        for k in one)


def best(function, times):
    start = time.perf_counter()
    function()
    times.append(time.perf_counter() - start)


def main(argv):
    quick = "--quick" in argv
    numbers = [a for a in argv if a != "--quick"]
    rounds = int(numbers[0]) if numbers else (3 if quick else 7)
    seconds = 120 if quick else 600
    points = make_trial(seconds)
    native, direct = native_detect(points), numpy_detect(points)
    count = sum(len(v) for v in native.values())
    same = same_events(native, direct) and count > 0
    native_times, direct_times = [], []
    for r in range(rounds):
        # Alternate which goes first, so neither always runs on a warm cache.
        pair = [(native_detect, native_times), (numpy_detect, direct_times)]
        for function, times in (pair if r % 2 == 0 else pair[::-1]):
            best(lambda: function(points), times)
    ratio = min(direct_times) / min(native_times)
    print("events from markers, %d s at %.0f Hz, %d markers: best of %d %.4f s; numpy-scipy"
          " %.4f s; %d events, the same: %s" % (seconds, RATE, len(points), rounds,
                                                min(native_times), min(direct_times), count,
                                                "yes" if same else "NO"))
    judge("events against numpy-scipy: %s" % ("the same" if same else "DIFFER"),
          "target: the same", same)
    judge("numpy-scipy / detect_events: %.1fx" % ratio, "target >= 5x",
          ratio >= 5 and not math.isnan(ratio))


if __name__ == "__main__":
    main(sys.argv[1:])
