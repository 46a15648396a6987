import builtins
import os
import time
import types

import numpy as np
import pytest
import scipy.signal

import quorvaemg
from conftest import emg_like
from fake_nexus import FakeNexus, Root, Var, choices, selection

DEVICE, OUTPUT = 7, 2
# As the main window passes them: switches 0/1, numbers as entry texts.
WINDOW_DEFAULTS = dict(mnb=1, lowb=1, highb=1, rectb=1, rmsb=1,
                       high="20", highOrd="2", low="200", lowOrd="2", www="100")
ALL_OFF = dict(mnb=0, lowb=0, highb=0, rectb=0, rmsb=0)
HEAD_LINES = [
    "--- 05/03/2024 14:07:09",
    "PARAMETER                   Thresholds: High=20 Low=200, RMS Window Size: 100",
    "SELECTED OPERATION          RemoveMean=1, Low-Pass Filter=1, Low-Pass Order=2, "
    "High-Pass Filter=1, High-Pass Order=2, Rectified=1, RMS=1",
    "Elaborated channels: ",
]


def process(vicon, a, b=None, numch=None, history=False, root=None, **settings):
    root = Root() if root is None else root
    b = choices(vicon.names) if b is None else b
    numch = len(a) if numch is None else numch
    quorvaemg.processsignal(root, a, b, vicon, DEVICE, OUTPUT, numch,
                            **dict(WINDOW_DEFAULTS, **settings), history=history)
    return root


def history_path(vicon):
    return vicon.folder + vicon.trial + "_RIVurorHistory.txt"


def history_lines(vicon):
    with open(history_path(vicon)) as f:
        return f.read().split("\n")


def assert_log_closed(opened, vicon):
    logs = [f for path, mode, f in opened if path == history_path(vicon) and mode != "r"]
    assert logs and all(f.closed for f in logs)


@pytest.fixture
def fixed_clock(monkeypatch):
    real = time.strftime
    moment = time.struct_time((2024, 3, 5, 14, 7, 9, 1, 65, 0))
    monkeypatch.setattr(time, "strftime", lambda fmt, t=None: real(fmt, moment))


@pytest.fixture
def opened(monkeypatch):
    """Files opened through open() while the test runs: (path, mode, file)."""
    files = []
    real_open = builtins.open

    def spy(file, mode="r", *args, **kwargs):
        f = real_open(file, mode, *args, **kwargs)
        files.append((str(file), mode, f))
        return f

    monkeypatch.setattr(builtins, "open", spy)
    return files


class TestWriteBack:
    def test_default_run(self, trial, reference, capsys):
        root = process(trial, selection(1, 0, 1, 0))

        assert trial.names_called() == ["GetDeviceOutputDetails", "GetDeviceChannel",
                                        "SetDeviceChannel", "GetDeviceChannel",
                                        "SetDeviceChannel"]
        assert trial.calls[0][1] == (DEVICE, OUTPUT)
        assert trial.calls_to("GetDeviceChannel") == [(DEVICE, OUTPUT, 1), (DEVICE, OUTPUT, 3)]
        assert [args[:3] for args in trial.calls_to("SetDeviceChannel")] == [
            (DEVICE, OUTPUT, 1), (DEVICE, OUTPUT, 3)]
        for channel in (1, 3):
            written = trial.written[channel]
            assert isinstance(written, np.ndarray) and written.dtype == np.float64
            assert np.array_equal(written, reference(trial.channels[channel - 1]))
        assert capsys.readouterr().out.splitlines() == [
            "Processing EMG",
            "Thresholds: High=20, High-Pass Order=2 Low=200, Low-Pass Order=2 Window: 100",
            "Elaborated: LTA",
            "1 channel put in 1  position",
            "Elaborated: LGAS",
            "3 channel put in 3  position",
        ]
        assert root.destroyed == 1

    @pytest.mark.parametrize("switches", [
        dict(ALL_OFF),
        dict(ALL_OFF, mnb=1),
        dict(ALL_OFF, lowb=1),
        dict(ALL_OFF, highb=1),
        dict(ALL_OFF, rectb=1),
        dict(ALL_OFF, rmsb=1),
        dict(mnb=1, lowb=1, highb=1, rectb=0, rmsb=0),
        dict(mnb=0, lowb=1, highb=1, rectb=1, rmsb=1),
    ], ids=lambda s: "".join(k[0] if v else "-" for k, v in s.items()))
    def test_each_chain_matches_direct_numpy_scipy(self, trial, reference, switches):
        numbers = dict(high=35, highOrd=4, low=150, lowOrd=3, www=25)
        process(trial, selection(0, 1, 0, 0), **switches, **numbers)
        assert np.array_equal(trial.written[2], reference(trial.channels[1], **switches, **numbers))

    def test_every_switch_off_writes_raw_samples_as_float64(self):
        nexus = FakeNexus([[3, -1, 4, 1, -5, 9]])
        process(nexus, selection(1), **ALL_OFF)
        written = nexus.written[1]
        assert written.dtype == np.float64
        assert np.array_equal(written, [3.0, -1.0, 4.0, 1.0, -5.0, 9.0])

    def test_rms_takes_absolute_values_without_rectify(self, trial):
        process(trial, selection(1, 0, 0, 0), rectb=0)
        without = trial.written[1]
        process(trial, selection(1, 0, 0, 0), rectb=1)
        assert np.array_equal(without, trial.written[1])

    def test_destinations_come_from_output_choices(self, trial, reference, capsys):
        b = [Var("3 - LGAS"), Var("1 - LTA"), Var("3 - LGAS"), Var("4 - RGAS")]
        process(trial, selection(1, 1, 0, 0), b=b)
        assert [args[2] for args in trial.calls_to("SetDeviceChannel")] == [3, 1]
        assert np.array_equal(trial.written[3], reference(trial.channels[0]))
        assert np.array_equal(trial.written[1], reference(trial.channels[1]))
        out = capsys.readouterr().out.splitlines()
        assert out[2:] == ["Elaborated: LTA", "1 channel put in 3  position",
                           "Elaborated: RTA", "2 channel put in 1  position"]

    def test_two_digit_channel_numbers(self, capsys):
        nexus = FakeNexus([emg_like(200, seed=k) for k in range(12)])
        a = selection(*([0] * 10 + [1, 1]))
        b = choices(nexus.names)
        b[10].set("9 - EMG9")
        process(nexus, a, b=b, www="10")
        assert [args[2] for args in nexus.calls_to("SetDeviceChannel")] == [9, 12]
        assert capsys.readouterr().out.splitlines()[2:] == [
            "Elaborated: EMG11", "11 channel put in 9  position",
            "Elaborated: EMG12", "12 channel put in 12 position"]

    @pytest.mark.parametrize("high, window", [("  20 ", " 100\t"), (20.9, 100.7), (20, 100)])
    def test_settings_follow_int_conversion(self, trial, reference, capsys, high, window):
        process(trial, selection(1, 0, 0, 0), high=high, www=window)
        assert np.array_equal(trial.written[1], reference(trial.channels[0]))
        # Console shows the values as passed, not as converted.
        assert capsys.readouterr().out.splitlines()[1] == (
            "Thresholds: High=%s, High-Pass Order=2 Low=200, Low-Pass Order=2 Window: %s"
            % (high, window))

    def test_window_longer_than_channel_lengthens_the_result(self):
        nexus = FakeNexus([emg_like(60)])
        process(nexus, selection(1), www=90)
        assert len(nexus.written[1]) == 90


class TestHistory:
    def test_two_runs_append_two_entries(self, trial, fixed_clock, opened):
        process(trial, selection(1, 0, 0, 1), history=True)
        process(trial, selection(0, 1, 0, 0), b=[Var("12 - X")] * 4, history=True)
        entry1 = HEAD_LINES + ["LTA has been elaborated and put in 1  position",
                               "RGAS has been elaborated and put in 4  position", "", ""]
        entry2 = HEAD_LINES + ["RTA has been elaborated and put in 12 position", "", ""]
        logs = [(mode, f) for path, mode, f in opened if path == history_path(trial)]
        assert history_lines(trial) == entry1 + entry2 + [""]
        assert len(logs) == 2
        assert all(mode in ("a", "at") and f.closed for mode, f in logs)
        assert trial.names_called()[:2] == ["GetTrialName", "GetDeviceOutputDetails"]

    def test_values_written_as_passed(self, trial, fixed_clock):
        process(trial, selection(1, 0, 0, 0), history=True,
                high="  20 ", low=200.0, www=100, **ALL_OFF)
        assert history_lines(trial)[1:3] == [
            "PARAMETER                   Thresholds: High=  20  Low=200.0, RMS Window Size: 100",
            "SELECTED OPERATION          RemoveMean=0, Low-Pass Filter=0, Low-Pass Order=2, "
            "High-Pass Filter=0, High-Pass Order=2, Rectified=0, RMS=0"]

    def test_no_history_touches_no_file(self, trial, tmp_path, opened):
        process(trial, selection(1, 0, 0, 0), history=False)
        assert "GetTrialName" not in trial.names_called()
        assert os.listdir(tmp_path) == [] and opened == []

    def test_failed_conversion_leaves_head_only(self, trial, fixed_clock, opened, capsys):
        with pytest.raises(ValueError):
            process(trial, selection(1, 0, 0, 0), history=True, highOrd="")
        assert_log_closed(opened, trial)
        head = HEAD_LINES[:]
        head[2] = head[2].replace("High-Pass Order=2", "High-Pass Order=")
        assert history_lines(trial) == head + [""]
        assert "GetDeviceChannel" not in trial.names_called()
        assert capsys.readouterr().out.splitlines()[0] == "Processing EMG"

    def test_short_output_choice_fails_after_its_lines(self, trial, fixed_clock, opened, capsys):
        b = [Var("1"), Var("2 - RTA"), Var("3 - LGAS"), Var("4 - RGAS")]
        root = Root()
        with pytest.raises(IndexError):
            process(trial, selection(1, 1, 0, 0), b=b, history=True, root=root)
        assert history_lines(trial) == HEAD_LINES + [
            "LTA has been elaborated and put in 1 position", ""]
        assert capsys.readouterr().out.splitlines()[2:] == ["Elaborated: LTA"]
        assert "SetDeviceChannel" not in trial.names_called()
        assert_log_closed(opened, trial)
        assert root.destroyed == 0

    def test_non_numeric_output_choice_fails_after_its_lines(self, trial, fixed_clock, capsys):
        b = [Var("ab - LTA")] + choices(trial.names)[1:]
        with pytest.raises(ValueError):
            process(trial, selection(1, 0, 0, 0), b=b, history=True)
        assert history_lines(trial)[4:] == ["LTA has been elaborated and put in ab position", ""]
        assert capsys.readouterr().out.splitlines()[2:] == ["Elaborated: LTA"]


class TestEmptySelection:
    def test_nothing_ticked(self, trial, showinfo, fixed_clock, opened):
        root = process(trial, selection(0, 0, 0, 0), history=True)
        assert showinfo == [("Quorva EMG plugin", "No EMG channel selected")]
        assert root.destroyed == 0
        assert trial.names_called() == ["GetTrialName", "GetDeviceOutputDetails"]
        assert history_lines(trial) == HEAD_LINES + [""]
        assert_log_closed(opened, trial)

    def test_no_channels_reads_no_variable(self, trial, showinfo):
        a = selection(1, 1)
        root = process(trial, a, numch=0)
        assert [v.reads for v in a] == [0, 0]
        assert showinfo == [("Quorva EMG plugin", "No EMG channel selected")]
        assert root.destroyed == 0 and trial.calls_to("GetDeviceChannel") == []


class TestFailures:
    def test_conversion_order_and_switches_ignored(self, trial):
        bad = dict(high="h", low="l", www="w", highOrd="ho", lowOrd="lo")
        for field in ("high", "low", "www", "highOrd", "lowOrd"):
            with pytest.raises(ValueError, match="'%s'" % bad[field]):
                process(trial, selection(1, 0, 0, 0), **ALL_OFF, **bad)
            del bad[field]
        assert trial.calls_to("GetDeviceChannel") == []

    @pytest.mark.parametrize("value, error", [
        ("", ValueError), ("20.5", ValueError), ("2e1", ValueError), (None, TypeError)])
    def test_unconvertible_setting(self, trial, value, error):
        root = Root()
        with pytest.raises(error):
            process(trial, selection(1, 0, 0, 0), root=root, high=value, **ALL_OFF)
        assert trial.calls_to("GetDeviceChannel") == [] and root.destroyed == 0

    @pytest.mark.parametrize("switch, field", [("lowb", "low"), ("highb", "high")])
    @pytest.mark.parametrize("hz", [0, -5, 500, 650])
    def test_cutoff_outside_design_range(self, trial, switch, field, hz):
        with pytest.raises(ValueError):
            process(trial, selection(1, 0, 0, 0), **{field: hz})
        assert trial.written == {}
        process(trial, selection(1, 0, 0, 0), **{field: hz, switch: 0})
        assert 1 in trial.written

    def test_channel_too_short_for_filtering(self, reference, capsys):
        nexus = FakeNexus([emg_like(300), emg_like(9), emg_like(10)])
        root = Root()
        with pytest.raises(ValueError):
            process(nexus, selection(1, 1, 1), root=root, www=5)
        assert list(nexus.written) == [1]
        assert capsys.readouterr().out.splitlines()[-1] == "1 channel put in 1  position"
        assert root.destroyed == 0
        process(nexus, selection(0, 0, 1), www=5)
        assert np.array_equal(nexus.written[3], reference(nexus.channels[2], www=5))

    @pytest.mark.parametrize("window", [0, -3, "0"])
    def test_window_not_positive(self, trial, window):
        with pytest.raises(ValueError):
            process(trial, selection(1, 0, 0, 0), www=window)
        assert trial.written == {}
        process(trial, selection(1, 0, 0, 0), www=window, rmsb=0)
        assert 1 in trial.written

    @pytest.mark.parametrize("operation, result, history", [
        ("GetTrialName", ("only",), True),
        ("GetTrialName", ("f/", "t", "x"), True),
        ("GetDeviceOutputDetails", ("EMG", "Devices", "V", True, ["LTA"]), False),
        ("GetDeviceOutputDetails", ("EMG", "Devices", "V", True, ["LTA"], [1], 0), False),
        ("GetDeviceChannel", ([1.0] * 50, [True] * 50), False),
        ("GetDeviceChannel", ([1.0] * 50, [True] * 50, 1000.0, 0), False),
    ])
    def test_nexus_result_of_wrong_size(self, trial, operation, result, history):
        trial.results[operation] = result
        root = Root()
        with pytest.raises(ValueError, match="values to unpack"):
            process(trial, selection(1, 0, 0, 0), history=history, root=root)
        assert trial.written == {} and root.destroyed == 0

    def test_nexus_exception_propagates_unchanged(self, trial):
        error = RuntimeError("Nexus lost the trial")
        trial.results["SetDeviceChannel"] = error
        with pytest.raises(RuntimeError) as caught:
            process(trial, selection(1, 0, 0, 0))
        assert caught.value is error

    def test_numch_beyond_the_lists(self, trial):
        root = Root()
        with pytest.raises(IndexError):
            process(trial, selection(1, 0), numch=3, root=root)
        assert trial.calls_to("GetDeviceChannel") == [] and root.destroyed == 0

    def test_wrong_argument_count(self, trial, capsys):
        args = [Root(), selection(1, 0, 0, 0), choices(trial.names), trial, DEVICE, OUTPUT, 4,
                1, 1, 1, 1, 1, "20", "2", "200", "2", "100", False]
        for wrong in (args[:-1], args + [0]):
            with pytest.raises(TypeError):
                quorvaemg.processsignal(*wrong)
        assert trial.calls == [] and capsys.readouterr().out == ""


def _spy(calls, name, function):
    def spy(*args, **kwargs):
        calls.append((name, args, kwargs))
        return function(*args, **kwargs)
    return spy


class TestNamesLookedUpAtCallTime:
    def test_scipy_calls_through_rebound_sp(self, trial, monkeypatch):
        calls = []
        signal = types.SimpleNamespace(butter=_spy(calls, "butter", scipy.signal.butter),
                                       filtfilt=_spy(calls, "filtfilt", scipy.signal.filtfilt))
        monkeypatch.setattr(quorvaemg, "sp", types.SimpleNamespace(signal=signal))
        process(trial, selection(1, 1, 0, 0), high="30", highOrd="3", low="150", lowOrd="4")

        per_channel = [("butter", (4, 150 * 2 * 0.001), {"btype": "lowpass"}), "filtfilt",
                       ("butter", (3, 30 * 2 * 0.001), {"btype": "highpass"}), "filtfilt"]
        seen = [c if c[0] == "butter" else c[0] for c in calls]
        assert seen == per_channel * 2
        for name, args, kwargs in calls:
            if name == "filtfilt":
                assert len(args) == 3 and kwargs == {}

    def test_numpy_names_through_module_namespace(self, trial, monkeypatch, reference):
        calls = []
        for name in ("array", "mean", "power", "ones", "convolve", "sqrt"):
            monkeypatch.setattr(quorvaemg, name, _spy(calls, name, getattr(np, name)))
        process(trial, selection(1, 0, 0, 0))
        used = {name for name, _, _ in calls}
        assert used >= {"array", "mean", "power", "ones", "convolve", "sqrt"}
        convolve = [c for c in calls if c[0] == "convolve"]
        assert len(convolve) == 1
        _, args, kwargs = convolve[0]
        assert "same" in args[2:] + tuple(kwargs.values())
        assert np.array_equal(trial.written[1], reference(trial.channels[0]))


class _Volts(float):
    pass


def _grows_on_empty(samples):
    """numpy's empty(), rebound so that it lengthens the channel being converted."""
    def empty(*args, **kwargs):
        samples.extend([0.25] * 50)
        return np.empty(*args, **kwargs)
    return empty


class TestSamplesConvertedOnce:
    """Whatever container Nexus hands over, the result is the chain run on it as given."""

    @pytest.mark.parametrize("make", [
        lambda x: x,                                          # list of floats: converted once
        tuple,
        lambda x: [int(v * 1e6) for v in x],                  # ints take numpy's own path
        lambda x: x[:-1] + [_Volts(x[-1])],                   # a float subclass at the very end
        lambda x: [np.float32(v) for v in x],
        lambda x: np.array(x),
    ], ids=["floats", "tuple", "ints", "subclass-last", "float32", "ndarray"])
    def test_same_numbers_as_the_chain_on_the_samples(self, reference, make):
        samples = make(emg_like(900, seed=3))
        given = list(samples)
        nexus = FakeNexus([samples])
        nexus.results["GetDeviceChannel"] = lambda *args: (samples, [True] * len(samples), 1000.0)
        for switches in (dict(), dict(ALL_OFF, mnb=1)):
            process(nexus, selection(1), **switches)
            assert np.array_equal(nexus.written[1], reference(samples, **switches))
        assert list(samples) == given

    def test_list_changed_while_the_array_is_made(self, reference, monkeypatch):
        samples = emg_like(600, seed=4)
        handed_over = list(samples)
        nexus = FakeNexus([samples])
        nexus.results["GetDeviceChannel"] = lambda *args: (samples, [True] * len(samples), 1000.0)
        monkeypatch.setattr(quorvaemg, "empty", _grows_on_empty(samples))
        process(nexus, selection(1))
        assert len(samples) == 650
        assert np.array_equal(nexus.written[1], reference(handed_over))
