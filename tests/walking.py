"""Synthetic walking with known gait events: a pelvis and two feet's heel and toe
(mm, z vertical), for tests and the events benchmark.

A trial is legs of standing (``("stand", seconds)``) and walking
(``("walk", seconds, (dx, dy), speed, cycle)``).  While walking, each heel swings
about the pelvis along the heading with its farthest point ahead at the foot
strike (phase 0) and its toe farthest behind at the foot off (phase OFF); speed
and stride ramp up over the first RAMP seconds of a leg and down over its last.
Events in the ramps are less sharp: a detector may place them anywhere there.
"""

import numpy as np

OFF = 0.62
RAMP = 0.6


def _swing(phase):
    """-1..1 over a cycle, 1 at phase 0."""
    return np.cos(2 * np.pi * phase)


def _ramp(t, length):
    up = np.clip(t / RAMP, 0, 1)
    down = np.clip((length - t) / RAMP, 0, 1)
    return (0.5 - 0.5 * np.cos(np.pi * up)) * (0.5 - 0.5 * np.cos(np.pi * down))


def walk(legs, rate=100.0):
    """(points, events, ramps, stands): points {"LHEE": frames x 3, ...}; events
    {(side, kind): frames} of the steady walking; ramps and stands the (first, last)
    frames of each ramp and each leg of standing."""
    parts = {k: [] for k in ("v", "d", "w", "t", "cycle")}
    for leg in legs:
        n = int(round(leg[1] * rate))
        t = np.arange(n) / rate
        heading = np.array(leg[2] if leg[0] == "walk" else (1.0, 0.0), float)
        speed, cycle = (leg[3], leg[4]) if leg[0] == "walk" else (0.0, 1.0)
        w = _ramp(t, leg[1]) if leg[0] == "walk" else np.zeros(n)
        parts["v"].append(speed * w)
        parts["d"].append(np.tile(heading, (n, 1)))
        parts["w"].append(w)
        parts["t"].append(t)
        parts["cycle"].append(np.full(n, cycle))
    v, d, w, t, cycle = (np.concatenate(parts[k]) for k in ("v", "d", "w", "t", "cycle"))
    n = len(v)
    pelvis = np.zeros((n, 3))
    pelvis[:, :2] = np.cumsum(d * v[:, None], axis=0) / rate
    pelvis[:, 2] = 950
    side_axis = np.column_stack([-d[:, 1], d[:, 0]])
    points = {"SACR": pelvis}
    events, ramps, stands = {}, [], []
    starts = np.flatnonzero(np.r_[True, t[1:] < t[:-1]])
    for side, lateral, shift in (("L", 90.0, 0.0), ("R", -90.0, 0.5)):
        phase = t / cycle + shift
        reach = 0.35 * v * cycle / 2 + 1e-9  # half a step
        heel = pelvis.copy()
        heel[:, :2] += d * (reach * _swing(phase) - 60)[:, None] + side_axis * lateral
        heel[:, 2] = 60 + 80 * w * np.clip(-np.sin(2 * np.pi * (phase % 1 - 0.6) / 0.8), 0, 1)
        toe = pelvis.copy()
        toe[:, :2] += d * (reach * _swing(phase - OFF + 0.5) + 140)[:, None] + side_axis * lateral
        toe[:, 2] = 40 + heel[:, 2] - 60
        points[side + "HEE"], points[side + "TOE"] = heel, toe
        name = "Left" if side == "L" else "Right"
        for kind, at in (("Foot Strike", 0.0), ("Foot Off", OFF)):
            frames = []
            for a, b in zip(starts, list(starts[1:]) + [n]):
                if w[a:b].max() == 0:
                    continue
                first = np.ceil(phase[a] - at - 1e-9)
                frame = a + (np.arange(first, phase[b - 1] - at + 1) + at - phase[a]) * cycle[a] * rate
                steady = (frame > a + RAMP * rate) & (frame < b - 1 - RAMP * rate)
                frames.extend(frame[steady].tolist())
            events[(name, kind)] = frames
    for a, b in zip(starts, list(starts[1:]) + [n]):
        if w[a:b].max() == 0:
            stands.append((a, b - 1))
        else:
            ramps += [(a, a + RAMP * rate), (b - 1 - RAMP * rate, b - 1)]
    return points, events, ramps, stands
