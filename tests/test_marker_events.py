"""Gait events from markers: the core's detector on synthetic walking with known
events, its filter against scipy's, and the markers' roles found by name."""

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
    found, notes = markers.detect_events(points, RATE)
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
    found, _ = markers.detect_events({k: v / 1000 for k, v in fast.items()}, 2 * RATE, unit="m")
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
])
def test_bad_inputs_are_refused(args, error, message):
    with pytest.raises(error) as caught:
        _core.marker_events(*args)
    assert message in str(caught.value)


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
