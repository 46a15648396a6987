"""The platform stand-in: scripting object, demo trial and the host command."""

import csv
import os
import re

import numpy as np
import pytest

# Test the package in this checkout, not whatever copy was last installed.

from quorvaemg_host import cli
from quorvaemg_host.commands import process as process_command
from quorvaemg_host.demo import demo_trial
from quorvaemg_host.nexus import NexusError, NexusStandIn
from quorvaemg_gait.trial import Trial


def small_trial(folder="/data/S01" + os.sep):
    return Trial(folder, "Walk02", "S01", ["LTA", "RTA", "LGAS"],
                 [np.arange(20.0) * (k + 1) for k in range(3)], 1000.0, 100.0,
                 events={("Left", "Foot Strike"): [12, 120]}, device_id=3, output_id=2)


# -- scripting object ---------------------------------------------------------

def test_operations_give_nexus_result_shapes():
    vicon = NexusStandIn(small_trial())
    assert vicon.GetTrialName() == ("/data/S01" + os.sep, "Walk02")
    assert vicon.GetSubjectNames() == ["S01"]
    name, kind, unit, ready, names, ids = vicon.GetDeviceOutputDetails(3, 2)
    assert (name, kind, unit, ready) == ("EMG", "Devices", "V", True)
    assert (names, ids) == (["LTA", "RTA", "LGAS"], [1, 2, 3])
    samples, flags, rate = vicon.GetDeviceChannel(3, 2, 2)
    assert samples == (np.arange(20.0) * 2).tolist() and all(type(v) is float for v in samples)
    assert flags == [True] * 20 and rate == 1000.0
    details = vicon.GetDeviceDetails(3)
    assert len(details) == 6 and details[2] == 1000.0 and details[3] == [2]
    assert vicon.GetFrameRate() == 100.0
    assert vicon.GetEvents("S01", "Left", "Foot Strike") == ([12, 120], [0.0, 0.0])
    assert vicon.GetEvents("S01", "Right", "Foot Off") == ([], [])
    assert vicon.GetDeviceIDFromName("EMG") == 3 and vicon.GetDeviceIDs() == [3]


def test_set_device_channel_stores_float64_copy_of_any_length():
    trial = small_trial()
    vicon = NexusStandIn(trial)
    new = np.arange(7.0)
    vicon.SetDeviceChannel(3, 2, 3, new)
    new[0] = 99.0
    assert vicon.GetDeviceChannel(3, 2, 3)[0] == [float(v) for v in range(7)]
    vicon.SetDeviceChannel(3, 2, 1, [1, 2])
    assert trial.samples[0].dtype == np.float64 and trial.samples[0].tolist() == [1.0, 2.0]
    assert vicon.written == {1, 3}
    assert trial.samples[1].tolist() == (np.arange(20.0) * 2).tolist()


@pytest.mark.parametrize("call", [
    lambda v: v.GetDeviceOutputDetails(1, 2),
    lambda v: v.GetDeviceOutputDetails(3, 1),
    lambda v: v.GetDeviceChannel(3, 2, 0),
    lambda v: v.GetDeviceChannel(3, 2, 4),
    lambda v: v.GetDeviceChannel(3, 2, "1"),
    lambda v: v.SetDeviceChannel(3, 2, 4, [1.0]),
    lambda v: v.SetDeviceChannel(3, 2, 1, [[1.0], [2.0]]),
    lambda v: v.GetDeviceDetails(4),
    lambda v: v.GetEvents("S02", "Left", "Foot Strike"),
    lambda v: v.GetDeviceIDFromName("Force Plate"),
])
def test_bad_requests_raise_nexus_error(call):
    vicon = NexusStandIn(small_trial())
    with pytest.raises(NexusError):
        call(vicon)
    assert vicon.written == set()


# -- demo trial ---------------------------------------------------------------

@pytest.fixture(scope="module")
def demo():
    return demo_trial("demo-folder")


def test_demo_is_deterministic(demo):
    again = demo_trial("demo-folder")
    assert all(np.array_equal(x, y) for x, y in zip(demo.samples, again.samples))
    assert demo.events == again.events
    assert demo.folder == os.path.abspath("demo-folder") + os.sep


def test_demo_channels_look_like_raw_surface_emg(demo):
    assert demo.channel_names == ["LTA", "RTA", "LGAS", "RGAS", "LSOL", "RSOL",
                                  "LRF", "RRF", "LVL", "RVL", "LHAM", "RHAM"]
    assert (demo.device_rate, demo.frame_rate, demo.subject, demo.name) == (1000.0, 100.0, "Demo01", "Walk01")
    freqs = np.fft.rfftfreq(10000, 1e-3)
    near_50 = (np.abs(freqs - 50.0) > 0.5) & (np.abs(freqs - 50.0) < 5.0)
    for x in demo.samples:
        assert len(x) == 10000
        assert 1e-4 < np.abs(x).max() < 3e-3
        assert abs(x.mean()) > 2e-5  # electrode offset
        spectrum = np.abs(np.fft.rfft(x - x.mean()))
        assert spectrum[freqs == 50.0][0] > 5 * np.median(spectrum[near_50])  # mains hum
        second_means = x.reshape(10, 1000).mean(axis=1)
        assert np.ptp(second_means) > 1e-5  # baseline drift
    assert not np.array_equal(demo.samples[0], demo.samples[1])


def side_events(demo, side):
    strikes = demo.events[(side, "Foot Strike")]
    offs = demo.events[(side, "Foot Off")]
    return strikes, offs


@pytest.mark.parametrize("side", ["Left", "Right"])
def test_demo_events_alternate_inside_trial(demo, side):
    strikes, offs = side_events(demo, side)
    assert len(strikes) >= 7 and len(offs) >= 7
    merged = sorted([(f, "s") for f in strikes] + [(f, "o") for f in offs])
    assert all(1 <= f < 1000 for f, _ in merged)
    kinds = [k for _, k in merged]
    assert all(x != y for x, y in zip(kinds, kinds[1:]))
    cycles = np.diff(strikes)
    assert np.all((cycles > 95) & (cycles < 125))
    for s0, s1 in zip(strikes, strikes[1:]):
        off = next(f for f in offs if s0 < f < s1)
        assert 0.55 < (off - s0) / float(s1 - s0) < 0.65


def test_demo_right_side_half_a_cycle_behind(demo):
    left, _ = side_events(demo, "Left")
    right, _ = side_events(demo, "Right")
    for s0, s1 in zip(left, left[1:]):
        r = next(f for f in right if s0 < f < s1)
        assert 0.4 < (r - s0) / float(s1 - s0) < 0.6


@pytest.mark.parametrize("side", ["Left", "Right"])
@pytest.mark.parametrize("muscle, active, quiet", [
    ("GAS", (0.25, 0.45), (0.70, 0.90)),   # stance vs swing
    ("SOL", (0.25, 0.45), (0.70, 0.90)),
    ("TA", (0.62, 0.75), (0.25, 0.45)),    # swing vs stance
    ("HAM", (0.88, 0.98), (0.30, 0.50)),   # terminal swing
    ("VL", (0.02, 0.12), (0.50, 0.70)),    # loading response
])
def test_demo_bursts_follow_gait_events(demo, side, muscle, active, quiet):
    x = demo.samples[demo.channel_names.index(side[0] + muscle)]
    strikes, _ = side_events(demo, side)
    per_frame = int(demo.device_rate / demo.frame_rate)

    def activity(s0, length, window):
        start = s0 * per_frame
        return np.diff(x[start + int(window[0] * length):start + int(window[1] * length)]).std()

    for s0, s1 in zip(strikes, strikes[1:]):
        length = (s1 - s0) * per_frame
        assert activity(s0, length, active) > 5 * activity(s0, length, quiet)


# -- host command -------------------------------------------------------------

def read_csv(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], np.array(rows[1:], dtype=np.float64).T


def expected_default_chain(x):
    from scipy import signal
    y = x - np.mean(x)
    b, a = signal.butter(2, 0.4, btype="lowpass")
    y = signal.filtfilt(b, a, y)
    b, a = signal.butter(2, 0.04, btype="highpass")
    y = np.abs(signal.filtfilt(b, a, y))
    return np.sqrt(np.convolve(np.power(y, 2), np.ones(100) / 100.0, "same"))


def test_process_named_channel_end_to_end(tmp_path, capsys):
    folder = str(tmp_path / "trial")
    assert cli.main(["--process", "LTA", "--folder", folder]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[:2] == ["Processing EMG",
                       "Thresholds: High=20, High-Pass Order=2 Low=200, Low-Pass Order=2 Window: 100"]
    csv_path = os.path.join(folder, "Walk01_processed.csv")
    assert out[-1].endswith(csv_path)

    with open(os.path.join(folder, "Walk01_RIVurorHistory.txt")) as f:
        history = f.read().split("\n")
    assert re.match(r"--- \d\d/\d\d/\d{4} \d\d:\d\d:\d\d$", history[0])
    assert history[1:6] == [
        "PARAMETER                   Thresholds: High=20 Low=200, RMS Window Size: 100",
        ("SELECTED OPERATION          RemoveMean=1, Low-Pass Filter=1, Low-Pass Order=2, "
         "High-Pass Filter=1, High-Pass Order=2, Rectified=1, RMS=1"),
        "Elaborated channels: ",
        "LTA has been elaborated and put in 1  position",
        ""]

    header, columns = read_csv(csv_path)
    raw = demo_trial(folder)
    assert header == raw.channel_names
    assert np.array_equal(columns[0], expected_default_chain(raw.samples[0]))
    for k in range(1, 12):
        assert np.array_equal(columns[k], raw.samples[k])


def test_no_mode_processes_every_channel(tmp_path, capsys):
    folder = str(tmp_path)
    assert cli.main(["--process", "--folder", folder]) == 0
    with open(os.path.join(folder, "Walk01_RIVurorHistory.txt")) as f:
        lines = f.read().splitlines()
    assert len([ln for ln in lines if "has been elaborated" in ln]) == 12
    assert "12 channel put in 12 position" in capsys.readouterr().out


def test_unknown_channel_name_is_a_usage_error(tmp_path, capsys):
    assert cli.main(["--process", "LTA", "LBIC", "--folder", str(tmp_path)]) == 2
    err = capsys.readouterr().err
    assert "unknown channel name: LBIC" in err
    assert os.listdir(str(tmp_path)) == []


def test_module_failure_exits_1_with_one_line(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(process_command, "DEFAULT_ENTRIES", ("20", "2", "200", "2", "1.5"))
    assert cli.main(["--process", "--folder", str(tmp_path)]) == 1
    err = capsys.readouterr().err.strip()
    assert "\n" not in err and err.startswith("quorvaemg-host: error: invalid literal for int()")
    assert not os.path.exists(os.path.join(str(tmp_path), "Walk01_processed.csv"))


def test_channel_names_match_ignoring_case_once_each():
    names = ["LTA", "RTA", "LGAS"]
    assert process_command.select_channels(names, ["lgas", "LTA", "lta"]) == [1, 3]
    assert process_command.select_channels(names, []) == [1, 2, 3]
