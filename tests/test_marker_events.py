"""Gait events from markers: the core's detector on synthetic walking with known
events, the moves by the foot's speed on feet that stand in stance, its filter
against scipy's, and the markers' roles found by name."""

import math

import numpy as np
import pytest
import scipy.signal

from quorvaemg_gait import _core, markers
from walking import walk

RATE = 100.0
NORMAL = ("walk", 12, (-1, 0), 1300, 1.05)


def _inside(frame, spans):
    return any(a <= frame <= b for a, b in spans)


@pytest.mark.parametrize("legs, gap", [
    ([NORMAL], None),
    ([("walk", 12, (0, 1), 800, 1.3)], None),        # slow, along +y
    ([("walk", 10, (1, 0), 1800, 0.9)], None),       # fast, along +x
    ([("walk", 12, (0.6, -0.8), 1300, 1.05)], None),  # diagonal, mostly along -y
    ([("stand", 2), ("walk", 10, (1, 0), 1800, 0.9), ("stand", 2),
      ("walk", 10, (-1, 0), 1300, 1.0), ("stand", 1)], None),  # there, stop, turn, back
    ([("stand", 3), NORMAL, ("stand", 3)], None),
    ([NORMAL], (500, 560)),                          # the left heel lost for 0.6 s
], ids=["normal-x", "slow+y", "fast+x", "diagonal", "walk-back", "start-stop", "heel-gap"])
def test_events_of_synthetic_walking(legs, gap):
    points, expected, ramps, stands = walk(legs, RATE)
    spared = list(ramps)
    if gap is not None:
        points["Sub:LHEE"] = points.pop("LHEE")
        points["Sub:LHEE"][gap[0]:gap[1]] = 0.0  # how a system writes a lost marker
        spared.append((gap[0] - 30, gap[1] + 30))
    # These feet slide through stance (a heel never stops), so their events are
    # the coordinate method's extremes by construction: not moved by the speed.
    found, notes = markers.detect_events(points, RATE, slow_share=0)
    assert len(notes) == 2 and "no events" not in " ".join(notes)
    for key, frames in expected.items():
        got = np.array(found[key])
        lost = gap is not None and key == ("Left", "Foot Strike")
        for frame in frames:
            if not (lost and _inside(frame, [spared[-1]])):
                assert np.min(np.abs(got - frame)) <= 1, (key, frame, got)
        for frame in got:
            near = len(frames) and np.min(np.abs(np.array(frames) - frame)) <= 1
            assert near or _inside(frame, spared), (key, frame)
            assert not _inside(frame, stands), (key, frame)
            if lost:
                assert not gap[0] - 1 <= frame <= gap[1], (key, frame)


def test_events_as_unit_and_rate_change():
    # The same walk in metres at 200 Hz: the events at the same times.
    points, expected, _, _ = walk([NORMAL], RATE)
    fast, _, _, _ = walk([NORMAL], 2 * RATE)
    found, _ = markers.detect_events({k: v / 1000 for k, v in fast.items()}, 2 * RATE, unit="m",
                                     slow_share=0)
    for key, frames in expected.items():
        got = np.array(found[key]) / 2
        assert all(np.min(np.abs(got - f)) <= 0.5 for f in frames), key


@pytest.mark.parametrize("rate, cutoff, gaps", [
    (100.0, 6.0, []), (2000.0, 6.0, []), (60.0, 25.0, []), (100.0, 6.0, [(40, 45), (54, 60)]),
])
def test_filter_equals_scipy_filtfilt(rate, cutoff, gaps):
    # Each stretch between gaps filtered on its own; one of 9 samples or fewer
    # (45..54 here: scipy refuses it) has none.
    x = np.cumsum(np.random.default_rng(3).standard_normal(400)) + 1e3
    for a, b in gaps:
        x[a:b] = np.nan
    got = _core.zero_lag_lowpass(x, rate, cutoff)
    edges = [0] + [e for a, b in gaps for e in (a, b)] + [len(x)]
    for a, b in zip(edges[::2], edges[1::2]):
        if b - a > 9:
            want = scipy.signal.filtfilt(*scipy.signal.butter(2, cutoff, fs=rate), x[a:b])
            np.testing.assert_allclose(got[a:b], want, rtol=1e-10)
        else:
            assert np.isnan(got[a:b]).all()
    assert np.isnan(got[np.isnan(x)]).all()


_GOOD = np.zeros((50, 3))


@pytest.mark.parametrize("args, error, message", [
    ((np.zeros((50, 2)), _GOOD, _GOOD, 100), ValueError, "heel must have shape (frames, 3)"),
    ((_GOOD, np.zeros(50), _GOOD, 100), ValueError, "toe must have shape (frames, 3)"),
    ((_GOOD, _GOOD, np.zeros((49, 3)), 100), ValueError,
     "pelvis has 49 frames, heel 50: the markers must have as many frames"),
    ((_GOOD, "toe", _GOOD, 100), TypeError, "toe must be an array of numbers, not str"),
    ((_GOOD, _GOOD, np.full((50, 3), np.inf), 100), ValueError, "pelvis holds an infinite value"),
    ((_GOOD, _GOOD, _GOOD, 0), ValueError, "rate"),
    ((_GOOD, _GOOD, _GOOD, math.nan), ValueError, "rate"),
    ((_GOOD, _GOOD, _GOOD, 100, 50), ValueError,
     "lowpass (50 Hz) must be below half the rate (50 Hz)"),
    ((_GOOD, _GOOD, _GOOD, 100, -1), ValueError, "lowpass"),
    ((_GOOD, _GOOD, _GOOD, 100, 6, 0), ValueError, "still_speed"),
    ((_GOOD, _GOOD, _GOOD, 100, 6, 100, 1), ValueError,
     "slow_share (1) must be from 0 to below 1"),
    ((_GOOD, _GOOD, _GOOD, 100, 6, 100, -0.1), ValueError, "slow_share"),
    ((_GOOD, _GOOD, _GOOD, 100, 6, 100, "x"), TypeError, "slow_share"),
])
def test_bad_inputs_are_refused(args, error, message):
    with pytest.raises(error) as caught:
        _core.marker_events(*args)
    assert message in str(caught.value)


def _standing_feet(rate, unit, lost=None):
    """(points, truth) of 12 s at 1.2 m/s along +x whose feet stand still on the floor
    for 60 % of a 1.1 s cycle and swing a stride on in the rest, their speed zero at
    both ends; truth {(side, kind): frames} the landings and leavings."""
    n, cycle, stance = int(12 * rate), 1.1, 0.6
    t = np.arange(n) / rate
    points = {"SACR": np.column_stack([1200 * t, np.zeros(n), np.full(n, 950.0)])}
    truth = {}
    for side, shift in (("L", 0.0), ("R", 0.5)):
        phase = t / cycle + shift
        swing = np.clip((phase % 1 - stance) / (1 - stance), 0, 1)
        x = 1320 * (np.floor(phase) + swing - np.sin(2 * np.pi * swing) / (2 * np.pi) - 0.3)
        z = 80 * np.sin(np.pi * swing)
        points[side + "HEE"] = np.column_stack([x - 60, np.zeros(n), 60 + z])
        points[side + "TOE"] = np.column_stack([x + 140, np.zeros(n), 40 + z])
        steps = np.arange(np.ceil(phase[0]) + 1, np.floor(phase[-1]))
        name = "Left" if side == "L" else "Right"
        truth[(name, markers.STRIKE)] = (steps - shift) * cycle * rate
        truth[(name, markers.OFF)] = (steps + stance - shift) * cycle * rate
    if lost:
        points[lost[0]][int(lost[1] * rate):int(lost[2] * rate)] = np.nan
    return {k: v * unit for k, v in points.items()}, truth


@pytest.mark.parametrize("rate, unit, lost", [
    (100, "mm", None),
    (60, "mm", None),
    (200, "m", None),
    (100, "mm", ("LHEE", 4.0, 4.5)),  # later strikes in another filtered stretch
    (100, "mm", ("RTOE", 4.0, 4.5)),
], ids=["100Hz", "60Hz", "200Hz-m", "heel-gap", "toe-gap"])
def test_speed_moves_events_towards_the_floor_contact(rate, unit, lost):
    # The heel is farthest ahead of the pelvis before it lands and the toe farthest
    # behind after it leaves: the foot's speed moves each towards the contact it
    # marks, never past it, by the same time whatever the rate and unit.
    points, truth = _standing_feet(rate, {"mm": 1.0, "m": 0.001}[unit], lost)
    moved, _ = markers.detect_events(points, rate, unit)
    extremes, _ = markers.detect_events(points, rate, unit, slow_share=0)
    for key, frames in truth.items():
        sign = 1 if key[1] == markers.STRIKE else -1  # a strike is found early, an off late
        for frame in frames:
            if lost and lost[1] * rate - 60 <= frame <= lost[2] * rate + 60:
                continue
            at, was = (min(found[key], key=lambda f: abs(f - frame)) for found in (moved, extremes))
            early, early_was = sign * (frame - at) / rate, sign * (frame - was) / rate  # seconds
            assert 0 <= early < early_was - 0.004, (key, frame, was, at)
            assert early == pytest.approx(0.052 if sign > 0 else 0.057, abs=0.003), (key, frame)


def test_short_and_missing_trials_give_no_events():
    short = np.full((9, 3), 1.0) * np.arange(9)[:, None] * 100
    assert all(len(e) == 0 for e in _core.marker_events(short, short, short, 100))
    gone = np.full((300, 3), np.nan)
    assert all(len(e) == 0 for e in _core.marker_events(gone, gone, gone, 100))


@pytest.mark.parametrize("labels, side, roles", [
    (["LHEE", "LTOE", "SACR"], "Left", {"heel": ("LHEE",), "toe": ("LTOE",), "pelvis": ("SACR",)}),
    (["Matt:RCAL", "Matt:RMT2", "Matt:LPSI", "Matt:RPSI", "Matt:RHEE"], "Right",
     {"heel": ("Matt:RHEE",), "toe": ("Matt:RMT2",), "pelvis": ("Matt:LPSI", "Matt:RPSI")}),
    (["RANK", "RFM1", "LASI", "RASI", "LPSI", "RPSI", "VSAC"], "Right",
     {"heel": ("RANK",), "toe": ("RFM1",), "pelvis": ("VSAC",)}),
    (["LANK", "LMT5", "LASI", "RASI", "LPSI"], "Left",
     {"heel": ("LANK",), "toe": ("LMT5",), "pelvis": ("LASI", "RASI")}),
    (["RHEE", "RTOE", "LASI", "LPSI", "LHEEL"], "Left", {}),
])
def test_roles_found_by_name(labels, side, roles):
    assert markers.find_roles(labels, side) == roles


def test_markers_file_overrides_names(tmp_path):
    path = tmp_path / "markers.csv"
    path.write_text("role,side,marker\nheel,L,Matt:HeelLeft\npelvis,Left,MIDPEL\n")
    overrides = markers.read_overrides(path)
    labels = ["Matt:HeelLeft", "Matt:LHEE", "Matt:LTOE", "Matt:MIDPEL", "Matt:SACR"]
    assert markers.find_roles(labels, "Left", overrides) == {
        "heel": ("Matt:HeelLeft",), "toe": ("Matt:LTOE",), "pelvis": ("Matt:MIDPEL",)}
    points, _, _, _ = walk([NORMAL], RATE)
    del points["RHEE"]
    found, notes = markers.detect_events(points, RATE, overrides={("heel", "Right"): "LHEE"})
    assert "Right: heel LHEE" in notes[1]


@pytest.mark.parametrize("text, message", [
    ("knee,L,LKNE\n", "line 1: role \"knee\" is not heel, toe or pelvis"),
    ("heel,X,LHEE\n", "line 1: side \"X\" is not L, R, Left or Right"),
    ("heel,L\n", "line 1: expected role,side,marker"),
    ("role,side,marker\n", "holds only its header"),
])
def test_bad_markers_file(tmp_path, text, message):
    path = tmp_path / "markers.csv"
    path.write_text(text)
    with pytest.raises(markers.MarkersError, match="the markers file .*" + message.replace(
            "(", r"\(")):
        markers.read_overrides(path)


def test_missing_markers_and_bad_unit_are_told():
    points, _, _, _ = walk([NORMAL], RATE)
    del points["RTOE"], points["SACR"]
    found, notes = markers.detect_events(points, RATE)
    assert notes == ["Left: no pelvis marker found, no events",
                     "Right: no toe or pelvis marker found, no events"] and found == {}
    with pytest.raises(ValueError, match="unit 'ft' is not mm, cm or m"):
        markers.detect_events(points, RATE, unit="ft")


@pytest.mark.parametrize("pelvis, lost", [
    (("SACR",), {}),
    (("LPSI", "RPSI"), {"LHEE": (300, 340), "RTOE": (700, 705), "LPSI": (900, 960)}),
    (("SACR",), {"SACR": (1100, 1104), "RHEE": (0, 50)}),
], ids=["sacrum", "midpoint-lost-samples", "pelvis-lost"])
def test_both_feet_at_once_as_each_alone(pelvis, lost):
    # One call for both feet, lost samples as zeros: the events of each foot on
    # its own, from trajectories with the zeros made NaN.
    points, _, _, _ = walk([("stand", 2), NORMAL, ("walk", 10, (0, 1), 1500, 1.0)], RATE)
    points["LPSI"], points["RPSI"] = points["SACR"] + [0, 60, 0], points["SACR"] - [0, 60, 0]
    for label, (a, b) in lost.items():
        points[label][a:b] = 0
    feet = [(points[side + "HEE"], points[side + "TOE"]) for side in "LR"]
    got = _core.feet_events([points[m] for m in pelvis], feet, RATE, 6.0, 100.0)
    # Arrays as the sequences: each item read is a new view of the array.
    for _ in range(20):
        again = _core.feet_events(np.stack([points[m] for m in pelvis]), np.array(feet), RATE)
        assert [[e.tolist() for e in foot] for foot in again] == \
            [[e.tolist() for e in foot] for foot in got]
    p = markers.trajectory(points, pelvis)
    for (heel, toe), (strikes, offs) in zip(feet, got):
        alone = _core.marker_events(markers.trajectory({"h": heel}, ["h"]),
                                    markers.trajectory({"t": toe}, ["t"]), p, RATE, 6.0, 100.0)
        assert len(strikes) > 20 and strikes.tolist() == alone[0].tolist()
        assert offs.tolist() == alone[1].tolist()


@pytest.mark.parametrize("pelvis, feet, error, message", [
    ([], [(_GOOD, _GOOD)], ValueError, "pelvis must hold at least one marker"),
    (_GOOD[0], [], ValueError, "pelvis marker 1 must have shape (frames, 3)"),
    ([_GOOD], "feet", TypeError, "feet must be a sequence of (heel, toe) pairs, not str"),
    ([_GOOD], [(_GOOD,)], ValueError, "foot 1 must be a (heel, toe) pair, not 1 arrays"),
    ([_GOOD], [(_GOOD, _GOOD), (_GOOD, _GOOD[1:])], ValueError,
     "toe of foot 2 has 49 frames, pelvis marker 1 50: the markers must have as many frames"),
])
def test_feet_events_refuses_bad_markers(pelvis, feet, error, message):
    with pytest.raises(error) as caught:
        _core.feet_events(pelvis, feet, 100)
    assert message in str(caught.value)
