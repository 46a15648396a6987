"""The configuration file: saving it (saveparameters) and replaying it (readconfig)."""

import os
import stat
import time
import tkinter

import numpy as np
import pytest
import quorvaemg
from fake_nexus import Root, Var
from quorvaemg_host.demo import demo_trial
from quorvaemg_host.nexus import NexusStandIn
from tk_support import alive, root, tk_display, tk_factory  # noqa: F401  (fixtures)

FILE = "RIVuror_config.txt"
DEFAULT_ENTRIES = {"Hfilt": "20", "Hord": "2", "Lfilt": "200", "Lord": "2", "RMS": "100"}


def lines_of(path):
    with open(path, "rb") as f:
        data = f.read()
    assert data.endswith(os.linesep.encode()), "last line has no line end"
    return data.decode().split(os.linesep)[:-1]


class Boxes:
    """messagebox stand-in; notes each box and whether the root was still open."""

    def __init__(self, window):
        self.window = window
        self.shown = []

    def showinfo(self, title=None, message=None, **options):
        self.shown.append((title, message, self.window.destroyed))
        return "ok"


@pytest.fixture
def window():
    return Root()


@pytest.fixture
def boxes(monkeypatch, window):
    recorder = Boxes(window)
    monkeypatch.setattr(quorvaemg, "messagebox", recorder)
    return recorder


def save(folder, window, flags, choices, switches=(1, 1, 1, 1, 1), numch=None, **entries):
    texts = dict(DEFAULT_ENTRIES, **entries)
    a = [Var(f) if not hasattr(f, "get") else f for f in flags]
    b = [Var(c) if not hasattr(c, "get") else c for c in choices]
    quorvaemg.saveparameters(folder, window, a, b, len(a) if numch is None else numch,
                             *switches, texts["Hfilt"], texts["Hord"], texts["Lfilt"],
                             texts["Lord"], texts["RMS"])


@pytest.fixture
def folder(tmp_path):
    return str(tmp_path) + os.sep


class Failing:
    def get(self):
        raise RuntimeError("variable went away")


# -- saveparameters ---------------------------------------------------------------


class TestSaveparameters:
    def test_documented_example(self, folder, window, boxes):
        save(folder, window, [1, 0], ["1 - EMG1", "2 - EMG2"])
        assert lines_of(folder + FILE) == [
            "2", "1", "1 - EMG1", "0", "2 - EMG2",
            "1", "1", "1", "1", "1", "20", "200", "100", "2", "2"]
        assert boxes.shown == [("Quorva EMG Tool",
                                "Configuration file correctly saved at " + folder + FILE, 0)]
        assert window.destroyed == 1
        assert os.listdir(folder) == [FILE]

    def test_line_order_with_distinct_values(self, folder, window, boxes):
        save(folder, window, [0, 1, 1], ["3 - C", "2 - B", "1 - A"], switches=(1, 0, 1, 0, 1),
             Hfilt="21", Hord="4", Lfilt="201", Lord="3", RMS="101")
        lines = lines_of(folder + FILE)
        assert len(lines) == 2 * 3 + 11
        assert lines == ["3", "0", "3 - C", "1", "2 - B", "1", "1 - A",
                         "1", "0", "1", "0", "1", "21", "201", "101", "4", "3"]

    def test_window_values_come_from_tk_variables(self, folder, window, boxes, root):
        a = [tkinter.IntVar(root, value=v) for v in (0, 1)]
        b = [tkinter.StringVar(root, value=t) for t in ("1 - X", "1 - X")]
        save(folder, window, a, b)
        assert lines_of(folder + FILE)[:5] == ["2", "0", "1 - X", "1", "1 - X"]

    def test_empty_channel_list_window(self, folder, window, boxes):
        # The window of an output without channels holds one unset pair.
        save(folder, window, [0], [""])
        assert lines_of(folder + FILE) == [
            "1", "0", "", "1", "1", "1", "1", "1", "20", "200", "100", "2", "2"]

    def test_entry_texts_stored_as_typed(self, folder, window, boxes):
        save(folder, window, [1], ["1 - A"], Hfilt=" 20 ", Hord="", Lfilt="20.5",
             Lord="two", RMS="\t100")
        assert lines_of(folder + FILE)[-5:] == [" 20 ", "20.5", "\t100", "", "two"]

    def test_folder_and_name_joined_by_plain_concatenation(self, tmp_path, window, boxes):
        prefix = str(tmp_path / "lab_")
        save(prefix, window, [1], ["1 - A"])
        assert os.listdir(tmp_path) == ["lab_" + FILE]
        assert boxes.shown[0][1] == "Configuration file correctly saved at " + prefix + FILE

    def test_second_save_replaces_the_first(self, folder, boxes):
        save(folder, Root(), [1, 1, 1], ["1 - A", "2 - B", "3 - C"])
        save(folder, Root(), [0], ["1 - A"], switches=(0, 0, 0, 0, 0))
        assert lines_of(folder + FILE) == [
            "1", "0", "1 - A", "0", "0", "0", "0", "0", "20", "200", "100", "2", "2"]
        assert os.listdir(folder) == [FILE]

    def test_new_file_gets_the_usual_permissions(self, folder, window, boxes, monkeypatch):
        mask = os.umask(0)
        os.umask(mask)
        # The mask is process-wide: setting it, even for a moment, would
        # change the files other threads create.
        monkeypatch.setattr(os, "umask", None)
        save(folder, window, [1], ["1 - A"])
        assert stat.S_IMODE(os.stat(folder + FILE).st_mode) == 0o666 & ~mask

    def test_replaced_file_keeps_its_permissions(self, folder, window, boxes):
        with open(folder + FILE, "w") as f:
            f.write("old\n")
        os.chmod(folder + FILE, 0o640)
        save(folder, window, [1], ["1 - A"])
        assert stat.S_IMODE(os.stat(folder + FILE).st_mode) == 0o640


class TestSaveFailures:
    """A failed save keeps the old file, shows no box and leaves the window open."""

    @pytest.fixture(params=["failing-get", "unencodable"])
    def bad_choices(self, request):
        if request.param == "failing-get":
            return ["1 - A", Failing(), "3 - C"]
        return ["1 - A", "2 - \udcff", "3 - C"]   # no text encoding can write it

    def test_previous_file_kept_byte_for_byte(self, folder, window, boxes, bad_choices):
        save(folder, Root(), [1, 0, 1], ["1 - A", "2 - B", "3 - C"], switches=(1, 0, 1, 0, 1))
        with open(folder + FILE, "rb") as f:
            before = f.read()
        boxes.shown.clear()

        with pytest.raises((RuntimeError, UnicodeEncodeError)):
            save(folder, window, [1, 1, 1], bad_choices)

        with open(folder + FILE, "rb") as f:
            assert f.read() == before
        assert os.listdir(folder) == [FILE]
        assert boxes.shown == []
        assert window.destroyed == 0

    def test_no_partial_first_file(self, folder, window, boxes, bad_choices):
        with pytest.raises((RuntimeError, UnicodeEncodeError)):
            save(folder, window, [1, 1, 1], bad_choices)
        assert os.listdir(folder) == []
        assert boxes.shown == [] and window.destroyed == 0

    def test_stream_failure_leaves_no_temporary_file(self, folder, window, boxes, monkeypatch):
        def refuse(*args, **kwargs):
            raise OSError("no stream")
        monkeypatch.setattr(os, "fdopen", refuse)
        with pytest.raises(OSError, match="no stream"):
            save(folder, window, [1], ["1 - A"])
        assert os.listdir(folder) == []

    def test_missing_folder(self, tmp_path, window, boxes):
        with pytest.raises(FileNotFoundError):
            save(str(tmp_path / "missing") + os.sep, window, [1], ["1 - A"])
        assert os.listdir(tmp_path) == []
        assert boxes.shown == [] and window.destroyed == 0

    def test_unwritable_folder(self, tmp_path, window, boxes):
        locked = tmp_path / "locked"
        locked.mkdir()
        (locked / FILE).write_text("old\n")
        locked.chmod(0o555)
        try:
            if os.access(str(locked), os.W_OK):
                pytest.skip("permissions are not enforced for this user")
            with pytest.raises(PermissionError):
                save(str(locked) + os.sep, window, [1], ["1 - A"])
            assert os.listdir(str(locked)) == [FILE]
            assert (locked / FILE).read_text() == "old\n"
        finally:
            locked.chmod(0o755)
        assert boxes.shown == [] and window.destroyed == 0


# -- readconfig --------------------------------------------------------------------


class Capture:
    """processsignal stand-in: takes the values out of the Tk variables as it is called."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        assert not kwargs
        args = list(args)
        self.calls.append({
            "args": args,
            "flags": [v.get() for v in args[1]],
            "choices": [v.get() for v in args[2]],
        })

    @property
    def call(self):
        assert len(self.calls) == 1, self.calls
        return self.calls[0]


@pytest.fixture
def process(monkeypatch):
    recorder = Capture()
    monkeypatch.setattr(quorvaemg, "processsignal", recorder)
    return recorder


VICON, DEVICE, OUTPUT, HISTORY = object(), object(), object(), object()
SETTINGS = ["1", "0", "1", "0", "1", "21", "201", "101", "4", "3"]


def write_config(folder, lines):
    with open(folder + FILE, "w") as f:
        f.write("".join(line + "\n" for line in lines))


def replay(folder):
    quorvaemg.readconfig(VICON, folder, DEVICE, OUTPUT, HISTORY)


class TestReadconfig:
    def test_round_trip_from_the_window(self, folder, root, tk_factory, process, monkeypatch):
        # Save through the real window's button, then replay the file.
        monkeypatch.setattr(quorvaemg, "messagebox", Boxes(Root()))
        quorvaemg.initializewindow(root, tkinter, VICON, ["S01"], "Walk01", "EMG",
                                   DEVICE, OUTPUT, ["A", "B", "C"], HISTORY, folder)
        widgets = root.winfo_children()
        by_text = {w.cget("text"): w for w in widgets
                   if isinstance(w, (tkinter.Button, tkinter.Checkbutton))}
        low, low_ord, high, high_ord, rms = [w for w in widgets if isinstance(w, tkinter.Entry)]
        for widget, text in ((low, "201"), (low_ord, "3"), (high, "21"),
                             (high_ord, "4"), (rms, " 101 ")):
            widget.delete(0, "end")
            widget.insert(0, text)
        by_text["A"].invoke()
        by_text["C"].invoke()
        by_text["Low-Pass Filter "].invoke()
        by_text["Rectify "].invoke()
        menus = [w for w in widgets if isinstance(w, tkinter.OptionMenu)]
        menus[2].nametowidget(menus[2].cget("menu")).invoke(1)   # C into channel 2
        by_text["Save Configuration"].invoke()
        assert not alive(root)

        replay(folder)

        call = process.call
        args = call["args"]
        assert len(args) == 18
        assert args[0] is tk_factory.roots[0]
        assert args[3] is VICON and args[4] is DEVICE and args[5] is OUTPUT
        assert args[6] == 3
        assert call["flags"] == [1, 0, 1]
        assert call["choices"] == ["1 - A\n", "2 - B\n", "2 - B\n"]
        # mnb lowb highb rectb rmsb high highOrd low lowOrd www, as integers.
        assert args[7:17] == [1, 0, 1, 0, 1, 21, 4, 201, 3, 101]
        assert all(type(v) is int for v in args[6:17])
        assert args[17] is HISTORY
        assert alive(args[0])   # the batch run never closes its root itself

    def test_every_value_from_its_own_line(self, folder, tk_factory, process):
        write_config(folder, ["2", "1", "1 - EMG1", "0", "2 - EMG2"] + SETTINGS)
        replay(folder)
        args = process.call["args"]
        assert args[7:17] == [1, 0, 1, 0, 1, 21, 4, 201, 3, 101]
        assert process.call["flags"] == [1, 0]
        assert process.call["choices"] == ["1 - EMG1\n", "2 - EMG2\n"]
        assert tk_factory.int_vars == args[1] and tk_factory.string_vars == args[2]

    def test_non_zero_flags_select(self, folder, tk_factory, process):
        write_config(folder, ["4", "2", "1 - A", "-1", "2 - B", "0", "3 - C", " 1 ", "4 - D"]
                     + SETTINGS)
        replay(folder)
        assert process.call["flags"] == [1, 1, 0, 1]

    @pytest.mark.parametrize("count", ["0", "-2"])
    def test_no_channels(self, folder, tk_factory, process, count):
        write_config(folder, [count] + SETTINGS)
        replay(folder)
        args = process.call["args"]
        assert process.call["flags"] == [0] and process.call["choices"] == [""]
        assert args[6] == int(count)
        assert args[7:17] == [1, 0, 1, 0, 1, 21, 4, 201, 3, 101]

    @pytest.mark.parametrize("n", [1, 3])
    def test_exactly_n_variables(self, folder, tk_factory, process, n):
        pairs = []
        for k in range(1, n + 1):
            pairs += ["1", "%d - C%d" % (k, k)]
        write_config(folder, [str(n)] + pairs + SETTINGS)
        replay(folder)
        assert len(tk_factory.int_vars) == len(tk_factory.string_vars) == n
        assert len(tk_factory.roots) == 1
        assert process.call["args"][6] == n

    def test_blanks_and_signs_accepted(self, folder, tk_factory, process):
        write_config(folder, [" 1 ", "1", "1 - A", " 1", "0 ", "+1", "0", "1",
                              "  20  ", "200", "100", "2", "2"])
        replay(folder)
        assert process.call["args"][6:17] == [1, 1, 0, 1, 0, 1, 20, 2, 200, 2, 100]

    def test_extra_lines_ignored(self, folder, tk_factory, process):
        write_config(folder, ["1", "1", "1 - A"] + SETTINGS + ["junk", "", "7"])
        replay(folder)
        assert process.call["args"][7:17] == [1, 0, 1, 0, 1, 21, 4, 201, 3, 101]

    @pytest.mark.parametrize("line, text", [
        (0, "two"),             # channel count
        (1, "yes"),             # a flag
        (8, "20.5"),            # high cut-off
        (10, ""),               # RMS window
        (12, "2.0"),            # low order
    ])
    def test_non_integer_line_is_a_value_error(self, folder, tk_factory, process, line, text):
        lines = ["1", "1", "1 - A"] + list(SETTINGS)
        lines[line] = text
        write_config(folder, lines)
        with pytest.raises(ValueError):
            replay(folder)
        assert process.calls == []

    def test_missing_file_before_any_root(self, folder, tk_factory, process):
        with pytest.raises(FileNotFoundError):
            replay(folder)
        assert tk_factory.roots == []
        assert process.calls == []

    @pytest.mark.parametrize("lines", [
        [],
        ["2", "1", "1 - A", "0", "2 - B"] + SETTINGS[:-1],     # last line missing
        ["3", "1", "1 - A", "0", "2 - B"] + SETTINGS,          # count claims one pair more
        ["0"] + SETTINGS[:9],
        ["1000000000000"] + SETTINGS,
        ["1" + "0" * 30] + SETTINGS,                            # past any index size
    ], ids=["empty", "short", "count-too-high", "no-channels-short", "huge", "vast"])
    def test_short_file_is_an_index_error_before_any_variable(self, folder, tk_factory,
                                                             process, lines):
        write_config(folder, lines)
        started = time.monotonic()
        with pytest.raises(IndexError):
            replay(folder)
        assert time.monotonic() - started < 5.0
        assert tk_factory.int_vars == [] and tk_factory.string_vars == []
        assert process.calls == []


class TestBatchOnDemoTrial:
    def test_saved_configuration_processes_the_trial(self, tmp_path, tk_factory, monkeypatch,
                                                    reference):
        trial_folder = tmp_path / "trial"
        config_folder = str(tmp_path / "config") + os.sep
        os.makedirs(str(trial_folder))
        os.makedirs(config_folder)
        vicon = NexusStandIn(demo_trial(str(trial_folder)))
        raw = [s.copy() for s in vicon.trial.samples]
        names = vicon.trial.channel_names

        # LTA to itself, LGAS into the RGAS channel; mean removal and rectify off.
        flags = [1 if k in (0, 2) else 0 for k in range(len(names))]
        choices = ["%d - %s" % (k + 1, n) for k, n in enumerate(names)]
        choices[2] = "4 - RGAS"
        monkeypatch.setattr(quorvaemg, "messagebox", Boxes(Root()))
        save(config_folder, Root(), flags, choices, switches=(0, 1, 1, 0, 1),
             Hfilt="25", Hord="4", Lfilt="300", Lord="2", RMS="50")

        quorvaemg.readconfig(vicon, config_folder, 1, 1, True)

        assert vicon.written == {1, 4}
        settings = {"mnb": 0, "lowb": 1, "highb": 1, "rectb": 0, "rmsb": 1,
                        "high": 25, "highOrd": 4, "low": 300, "lowOrd": 2, "www": 50}
        samples = vicon.trial.samples
        np.testing.assert_allclose(samples[0], reference(raw[0], **settings),
                                   rtol=1e-9, atol=1e-15)
        np.testing.assert_allclose(samples[3], reference(raw[2], **settings),
                                   rtol=1e-9, atol=1e-15)
        for k in set(range(len(names))) - {0, 3}:
            np.testing.assert_array_equal(samples[k], raw[k])
        assert not alive(tk_factory.roots[0])
        history = vicon.trial.folder + vicon.trial.name + "_RIVurorHistory.txt"
        with open(history) as f:
            log = f.read()
        assert "LTA has been elaborated and put in 1  position" in log
        assert "LGAS has been elaborated and put in 4  position" in log
