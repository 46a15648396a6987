"""Signal-quality checks: injected faults, the real recording, bad inputs, the
command, the processing-run warning and the Nexus call."""

import contextlib
import csv
import os

import numpy as np
import pytest
import scipy.signal

import quorvaemg_gait
from conftest import needs_c3d
from quorvaemg_gait import quality
from quorvaemg_host import cli
from quorvaemg_host.nexus import NexusStandIn
from quorvaemg_gait.trial import Trial
from test_host_c3d import REAL, write_c3d

SD = 1e-4  # of the clean channels, in volts


def clean(rate, seconds=20.0, seed=0):
    """(time, EMG): 20-350 Hz noise in bursts of a 1.1 s gait cycle, SD 100 uV."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(rate * seconds)) / rate
    b, a = scipy.signal.butter(4, [20, 350], btype="band", fs=rate)
    x = scipy.signal.lfilter(b, a, rng.standard_normal(t.size)) * bursts(t)
    return t, SD * x / x.std()


def bursts(t):
    return 0.05 + np.clip(np.sin(2 * np.pi * t / 1.1), 0, None) ** 4


def share_of(share, shape):
    """``shape`` scaled to carry ``share`` of the power once added to a clean channel."""
    return shape / shape.std() * SD * np.sqrt(share / (1 - share))


def clipped(x, share):
    level = np.quantile(np.abs(x), 1 - share)
    return np.clip(x, -level, level)


def hum(t, hz, share):
    return share_of(share, np.sin(2 * np.pi * hz * t) + 0.3 * np.sin(2 * np.pi * 3 * hz * t))


def drift(t, share):
    """Movement artefact: a few hertz."""
    return share_of(share, np.sin(2 * np.pi * 1.3 * t) + 0.7 * np.sin(2 * np.pi * 3.7 * t))


def noise(t, times_sd):
    return times_sd * SD * np.random.default_rng(7).standard_normal(t.size)


# (case, channel from (t, clean x), thresholds, verdict, measure: (low, high) or value, reason)
FAULTS = [
    ("clean", lambda t, x: x + 0.01, {}, "good", {"mains_hz": None, "low_share": (0, 0.05)}, None),
    ("130 Hz bursts", lambda t, x: np.sin(2 * np.pi * 130 * t) * bursts(t), {}, "good",
     {"median_hz": (129, 131), "mean_hz": (128, 132)}, None),
    ("all zero", lambda t, x: 0 * x, {}, "unusable", {"sd": 0.0, "snr_db": None}, "all zero"),
    ("constant", lambda t, x: 0 * x + 0.25, {}, "unusable", {"range": 0.0}, "constant at 0.25"),
    ("below one step", lambda t, x: np.round(0.3 * x / SD), {}, "unusable", {"step": 1.0}, "flat"),
    ("below floor", lambda t, x: x, {"flat_floor": 2 * SD}, "unusable", {}, "flat: SD"),
    ("clipped 1 %", lambda t, x: clipped(x, 0.01), {}, "doubtful",
     {"clipped_share": (0.001, 0.01)}, "clipped"),
    ("clipped 5 %", lambda t, x: clipped(x, 0.05), {}, "unusable",
     {"clipped_share": (0.02, 0.05), "longest_clip": (3, 20)}, "clipped"),
    ("50 Hz hum 25 %", lambda t, x: x + hum(t, 50, 0.25), {}, "doubtful",
     {"mains_hz": 50.0, "mains_share": (0.2, 0.3)}, "mains hum at 50 Hz"),
    ("60 Hz hum 25 %", lambda t, x: x + hum(t, 60, 0.25), {}, "doubtful",
     {"mains_hz": 60.0, "mains_share": (0.2, 0.3)}, "mains hum at 60 Hz"),
    ("60 Hz hum 70 %", lambda t, x: x + hum(t, 60, 0.7), {}, "unusable",
     {"mains_hz": 60.0, "mains_share": (0.6, 0.75)}, "mains hum at 60 Hz"),
    ("drift 50 %", lambda t, x: x + drift(t, 0.5), {}, "doubtful",
     {"low_share": (0.45, 0.55)}, "of the power below 20 Hz"),
    ("drift 50 %, band to 10 Hz", lambda t, x: x + drift(t, 0.5),
     {"low_hz": 10, "low_doubtful": 0.6}, "good", {"low_share": (0.45, 0.55)}, None),
    ("drift 95 %", lambda t, x: x + drift(t, 0.95), {}, "unusable", {"low_share": (0.9, 1)},
     "of the power below 20 Hz"),
    ("noise at 2 SD", lambda t, x: x + noise(t, 2), {}, "doubtful", {"snr_db": (3, 6)}, "SNR"),
    ("noise only", lambda t, x: noise(t, 1), {}, "unusable", {"snr_db": (0, 3)}, "SNR"),
]


@pytest.mark.parametrize("rate", [1000.0, 2000.0])
@pytest.mark.parametrize("case, make, thresholds, verdict, measures, reason", FAULTS,
                         ids=[f[0] for f in FAULTS])
def test_injected_fault_is_found_at_its_size(rate, case, make, thresholds, verdict, measures,
                                             reason):
    t, x = clean(rate)
    result = quorvaemg_gait.check_channel(make(t, x), rate, **thresholds)
    assert result["verdict"] == verdict, result
    for name, expected in measures.items():
        if isinstance(expected, tuple):
            assert expected[0] <= result[name] <= expected[1], (name, result[name])
        else:
            assert result[name] == expected, (name, result[name])
    assert (reason is None) == (result["reasons"] == [])
    assert reason is None or any(reason in r for r in result["reasons"])


@pytest.mark.parametrize("call, error, says", [
    (lambda: quorvaemg_gait.check_channel([], 1000), ValueError, "samples is empty"),
    (lambda: quorvaemg_gait.check_channel([0.0, float("nan")], 1000), ValueError,
     "non-finite value (nan) at sample 1"),
    (lambda: quorvaemg_gait.check_channel([float("-inf")], 1000), ValueError, "(inf)"),
    (lambda: quorvaemg_gait.check_channel(np.zeros((2, 5)), 1000), ValueError,
     "one-dimensional"),
    (lambda: quorvaemg_gait.check_channel("0.1 0.2", 1000), TypeError, "not a string"),
    (lambda: quorvaemg_gait.check_channel([[1.0], [2.0, 3.0]], 1000), TypeError,
     "array of numbers"),
    (lambda: quorvaemg_gait.check_channel([1.0, 2.0], 0), ValueError, "rate must be a finite"),
    (lambda: quorvaemg_gait.check_channel([1.0, 2.0], float("nan")), ValueError, "rate"),
    (lambda: quorvaemg_gait.check_channel([1.0, 2.0], "1000"), TypeError, "rate"),
    (lambda: quorvaemg_gait.check_channel([1.0, 2.0], np.ones(2)), TypeError,
     "rate must be a number of samples per second"),
    (lambda: quorvaemg_gait.check_channel([1.0, 2.0], 1000, low_hz=np.ones(2)), TypeError,
     "threshold low_hz must be a number"),
    (lambda: quorvaemg_gait.check_channel([1.0, 2.0], 1000, clip=3), TypeError,
     "unknown threshold 'clip'"),
    (lambda: quorvaemg_gait.check_channel([1.0, 2.0], 1000, snr_window_ms=0), ValueError,
     "above 0"),
    (lambda: quorvaemg_gait.check_channel([1.0, 2.0], 1000, low_hz=500), ValueError,
     "low_hz must be below the Nyquist frequency (500 Hz at 1000 samples per second), not 500"),
    (lambda: quorvaemg_gait.quality_table(NexusStandIn(Trial("/", "W", "S", ["A"], [[0.0] * 9],
                                                             1e3, 1e2)), 1, 1, mains_doubtful=10),
     ValueError, "mains_doubtful must be a share above 0 and at most 1"),
    (lambda: quorvaemg_gait.check_channels([[1.0, 2.0], []], 1000), ValueError,
     "channels[1] is empty"),
    (lambda: quorvaemg_gait.quality_text("T", 1000, ["A"], [
        dict(quorvaemg_gait.check_channel([1.0, 2.0], 1000), samples=-1)]), TypeError,
     "results[0]['samples'] is not a value check_channel gives (-1)"),
    (lambda: quality.assess(Trial("/", "W", "S", ["A", "B"], [[0.0] * 9, []], 1e3, 1e2)),
     ValueError, "channel B: samples is empty"),
    (lambda: quality.assess(Trial("/", "W", "S", ["A"], [[0.0] * 9], 1e3, 1e2), ["LTA"]),
     ValueError, "no channel named 'LTA'"),
])
def test_bad_input_raises_a_clear_error(call, error, says):
    with pytest.raises(error, match=None) as raised:
        call()
    assert says in str(raised.value)


class Emptying:
    """A sample that empties the list holding it when numpy reads it."""

    def __float__(self):
        HOSTILE.clear()
        return 0.5


HOSTILE = [Emptying() for _ in range(64)]


@pytest.mark.parametrize("rate, n, segment", [
    (2000.0, 30000, 2048), (1000.0, 5000, 1024), (1500.0, 9000, 2048), (1000.0, 700, 512),
    (100.0, 40, 32),
])
def test_spectral_measures_are_those_of_scipy_welch(rate, n, segment):
    x = np.random.default_rng(n).standard_normal(n).cumsum()  # most power at low frequencies
    f, p = scipy.signal.welch(x, rate, window="hann", nperseg=segment)
    result = quorvaemg_gait.check_channel(x, rate)
    assert result["mean_hz"] == pytest.approx((f * p).sum() / p.sum(), rel=1e-9)
    assert result["low_share"] == pytest.approx(p[f < 20].sum() / p.sum(), rel=1e-9)


def test_very_short_and_huge_channels_are_judged_without_failing():
    short = quorvaemg_gait.check_channel(clean(1000.0, 0.3)[1], 1000)
    assert short["verdict"] == "doubtful" and "too short" in short["reasons"][-1]
    huge = quorvaemg_gait.check_channel(1e300 * clean(1000.0, 2.0)[1] / SD, 1000)
    assert huge["verdict"] == "good" and np.isfinite(huge["sd"])
    hostile = quorvaemg_gait.check_channel(HOSTILE, 1000)
    assert (hostile["samples"], hostile["reasons"]) == (64, ["constant at 0.5"])


@pytest.mark.parametrize("change, cell", [
    ({}, "-"),
    ({"mains_hz": 50.0, "mains_share": None}, "-"),  # a row put together by hand
    ({"mean_hz": 1e300}, "%.1f" % 1e300),
])
def test_quality_text_shows_each_row_as_given(change, cell):
    row = dict(quorvaemg_gait.check_channel(clean(1000.0, 3.0)[1], 1000), **change)
    line = quorvaemg_gait.quality_text("T", 1000, ["A"], [row]).splitlines()[2]
    assert cell in line.split()


def read_rows(path):
    with open(path, newline="") as f:
        return {row["channel"]: row for row in csv.DictReader(f)}


def test_real_recording_verdicts(tmp_path, capsys):
    out_csv = str(tmp_path / "quality.csv")
    assert cli.main(["quality", REAL, "--csv", out_csv]) == 0
    out = capsys.readouterr().out
    assert "real_emg_2000hz.c3d: 38 channels at 2000 Hz" in out.splitlines()[0]
    rows = read_rows(out_csv)
    zeros = [name for name, row in rows.items() if float(row["range"]) == 0]
    assert len(zeros) == 19
    assert all(rows[name]["verdict"] == "unusable" for name in zeros)
    subscap = rows.pop("Subscap.EMG11")
    assert subscap["verdict"] in ("doubtful", "unusable")
    assert float(subscap["low_share"]) > 0.5 and 10 < float(subscap["median_hz"]) < 20
    surface = [row for name, row in rows.items() if ".EMG" in name and name not in zeros]
    assert len(surface) == 10
    assert all(row["verdict"] != "unusable" for row in surface)
    assert all(40 < float(row["median_hz"]) < 140 for row in surface)


def trial_file(folder):
    """A 1 kHz C3D trial: a clean channel, an all-zero one, one with 60 Hz hum."""
    t, x = clean(1000.0, 6.0)
    data = np.array([x + 0.01, 0 * x, x + hum(t, 60, 0.3)])
    return write_c3d(os.path.join(str(folder), "Walk01.c3d"), data, ["LTA", "DEAD", "RTA"])


@needs_c3d
def test_command_table_csv_and_processing_warning(tmp_path, capsys):
    path = trial_file(tmp_path)
    out_csv = str(tmp_path / "q.csv")
    missing = str(tmp_path / "missing.c3d")
    assert cli.main(["quality", path, missing, "--channels", "T", "--csv", out_csv,
                     "--set", "mains_doubtful=0.5"]) == 1
    out, err = capsys.readouterr()
    lines = out.splitlines()
    assert lines[0] == "Signal quality of Walk01.c3d: 2 channels at 1000 Hz: 2 good, " \
                       "0 doubtful, 0 unusable"
    assert lines[2].startswith("LTA") and lines[3].startswith("RTA")
    assert "60 Hz" in lines[3] and lines[3].rstrip().endswith("good")
    assert "missing.c3d" in err and "Traceback" not in err
    assert [(r["trial"], r["verdict"]) for r in read_rows(out_csv).values()] == \
        [("Walk01.c3d", "good")] * 2

    assert cli.main(["--process", path]) == 0
    out = capsys.readouterr().out
    assert [line for line in out.splitlines() if line.startswith("warning:")] == [
        "warning: Walk01.c3d: channel DEAD looks unusable (all zero); it was processed anyway"]
    assert "3 channels processed" in out


@needs_c3d
def test_channel_names_with_commas_and_accents_reach_the_csv_whole(tmp_path, capsys):
    names = ["L TA, distal", "R Tibi\xe1lis"]
    x = clean(1000.0, 4.0)[1]
    path = write_c3d(os.path.join(str(tmp_path), "Walk01.c3d"), np.array([x, x]), names)
    assert cli.main(["quality", path, "--csv", str(tmp_path / "q.csv")]) == 0
    assert list(read_rows(str(tmp_path / "q.csv"))) == names


@needs_c3d
def test_a_channel_with_gaps_is_unusable_and_the_others_are_still_shown(tmp_path, capsys):
    x = clean(1000.0, 4.0)[1]
    gap = x.copy()
    gap[500:600] = np.nan
    path = write_c3d(os.path.join(str(tmp_path), "Walk01.c3d"), np.array([x, gap]), ["LTA", "GAP"])
    assert cli.main(["quality", path]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[2].startswith("LTA") and lines[2].rstrip().endswith("good")
    assert lines[3].split()[:2] == ["GAP", "nan"] and "(nan) at sample 500" in lines[3]


def test_nexus_table_prints_and_agrees_with_host_verdicts(capsys):
    t, x = clean(2000.0, 4.0)
    trial = Trial("/tmp/", "Walk02", "S01", ["LTA", "RTA", "OFF"],
                  [x, x + drift(t, 0.6), 0 * x], 2000.0, 100.0)
    rows = quorvaemg_gait.quality_table(NexusStandIn(trial), 1, 1, ["OFF", 1])
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "Signal quality of Walk02: 2 channels at 2000 Hz: 1 good, 0 doubtful, " \
                     "1 unusable"
    assert [line.split()[0] for line in out[2:]] == ["OFF", "LTA"]
    expected = quality.verdicts(trial)
    assert {row["channel"]: (row["verdict"], "; ".join(row["reasons"])) for row in rows} == \
        {name: expected[name] for name in ("OFF", "LTA")}
    assert expected["RTA"][0] == "doubtful"
    with pytest.raises(ValueError, match="no channel named 'LGAS'"):
        quorvaemg_gait.quality_table(NexusStandIn(trial), 1, 1, ["LGAS"])
    with contextlib.redirect_stdout(None):  # as under pythonw
        assert quorvaemg_gait.quality_table(NexusStandIn(trial), 1, 1, ["OFF"]) == rows[:1]


@pytest.mark.parametrize("setting, says", [
    ("snr_doubtful", "--set takes NAME=VALUE"), ("clip=3", "unknown threshold 'clip'"),
    ("clip_run=0", "clip_run must be a finite number above 0"),
    ("low_doubtful=30", "low_doubtful must be a share above 0 and at most 1 (0.3 = 30 %)"),
    ("clip_unusable=0", "clip_unusable must be a share above 0"),
    ("clip_run=2.5", "clip_run must be a finite number above 0 and whole, not 2.5"),
    ("mains_harmonics=-1", "mains_harmonics must be a finite number above 0 and whole"),
    ("segment_s=-1", "segment_s must be a finite number above 0"),
    ("flat_floor=-1e-6", "flat_floor must be a finite number of 0 or more"),
    ("snr_doubtful=inf", "snr_doubtful must be a finite number of dB"),
    ("low_doubtful=0.95", "low_doubtful (0.95) must not be above low_unusable (0.9)"),
    ("snr_doubtful=2", "snr_doubtful (2) must not be below snr_unusable (3)"),
])
def test_bad_threshold_setting_is_a_usage_error(capsys, setting, says):
    assert cli.main(["quality", "--set", setting]) == 2
    assert says in capsys.readouterr().err
