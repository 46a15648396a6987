"""The host command's window and batch modes, driven on a real Tk.

The window tests replace Tk's main loop by a driver that clicks the real
widgets the module built, as a user would, and then lets the command finish.
"""

import csv
import os
import shutil
import sys
import tkinter

import numpy as np
import pytest


import quorvaemg
from conftest import ezc3d, needs_c3d
from quorvaemg_host import c3d, cli, files
from quorvaemg_host.commands import batch as batch_command
from quorvaemg_host import display as display_module
from quorvaemg_gait import linear_envelope
from quorvaemg_host.demo import CHANNELS, control_trials, demo_trial
from quorvaemg_host.widgets import HeadlessRoot, channel_vars
from test_host_c3d import (
    REAL,
    assert_unchanged_except,
    contents,
    emg,
    write_c3d,
)

CONFIG = "RIVuror_config.txt"
DEFAULTS = {"mnb": 1, "lowb": 1, "highb": 1, "rectb": 1, "rmsb": 1,
            "high": 20, "highOrd": 2, "low": 200, "lowOrd": 2, "www": 100}
DEFAULT_TEXTS = ("20", "2", "200", "2", "100")


try:  # starts a private Xvfb when DISPLAY is unset
    from tk_support import tk_display
except ImportError:
    @pytest.fixture(scope="session")
    def tk_display():
        return os.environ.get("DISPLAY")


@pytest.fixture
def display(tk_display):
    try:
        probe = tkinter.Tk()
    except tkinter.TclError as exc:
        pytest.skip(f"no display for Tk: {exc}")
    probe.destroy()
    yield
    leftover = getattr(tkinter, "_default_root", None)
    if leftover is not None:
        leftover.destroy()


def read_csv(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], np.array(rows[1:], dtype=np.float64).T


def save_config(folder, ticked, settings, destinations=None, names=CHANNELS):
    """A configuration file as the window's Save Configuration writes it."""
    a, b = channel_vars(names, set(ticked))
    for k, text in (destinations or {}).items():
        b[k - 1].set(text)
    quorvaemg.saveparameters(folder, HeadlessRoot(), a, b, len(a), *settings)


# -- driving the window -----------------------------------------------------------

def widget(root, kind, text):
    found = [w for w in root.winfo_children()
             if w.winfo_class() == kind and w.cget("text") == text]
    assert len(found) == 1, f"{kind} {text!r}: {len(found)} found"
    return found[0]


def tick(*names):
    def step(root):
        for name in names:
            widget(root, "Checkbutton", name).invoke()
    return step


def type_into(label, text):
    """Replace the text of the entry to the right of ``label`` in its row."""
    def step(root):
        info = widget(root, "Label", label).grid_info()
        entry, = root.grid_slaves(row=info["row"], column=int(info["column"]) + 1)
        entry.delete(0, "end")
        entry.insert(0, text)
    return step


def choose_output(channel, choice):
    def step(root):
        row = widget(root, "Checkbutton", channel).grid_info()["row"]
        button, = root.grid_slaves(row=row, column=2)
        menu = root.nametowidget(button.cget("menu"))
        index = next(i for i in range(menu.index("end") + 1)
                     if menu.entrycget(i, "label") == choice)
        menu.invoke(index)
        assert button.cget("text") == choice
    return step


def click(text):
    return lambda root: widget(root, "Button", text).invoke()


@pytest.fixture
def user(monkeypatch):
    """Set the steps that replace the main loop; gives the titles of the windows it ran on."""
    titles = []

    def play(*steps):
        def mainloop(self, n=0):
            titles.append(self.title())
            for step in steps:
                step(self)
        monkeypatch.setattr(tkinter.Tk, "mainloop", mainloop)
        return titles
    return play


# -- window -------------------------------------------------------------------------

def test_window_process_saves_processed_trial(display, tmp_path, user, capsys, reference):
    folder = str(tmp_path / "trial")
    titles = user(tick("LGAS"), type_into("Window size [samples]: ", "60"), click("Process"))
    assert cli.main(["--folder", folder]) == 0
    assert titles == ["Quorva EMG Plugin for Nexus 2"]

    csv_path = os.path.join(folder, "Walk01_processed.csv")
    assert capsys.readouterr().out.splitlines()[-1] == f"Processed trial written to {csv_path}"
    header, columns = read_csv(csv_path)
    raw = demo_trial(folder)
    assert header == list(CHANNELS)
    np.testing.assert_allclose(columns[2], reference(raw.samples[2], **dict(DEFAULTS, www=60)),
                               rtol=1e-12, atol=1e-18)
    for k in set(range(12)) - {2}:
        assert np.array_equal(columns[k], raw.samples[k])
    with open(os.path.join(folder, "Walk01_RIVurorHistory.txt")) as f:
        assert "LGAS has been elaborated and put in 3  position" in f.read()


def test_window_configuration_replays_in_batch_as_process_would(
        display, tmp_path, user, capsys, showinfo):
    steps = (tick("LTA", "RHAM", "High-Pass Filter "), choose_output("RHAM", "11 - LHAM"),
             type_into("Low cutoff frequency [Hz]: ", "150"))
    config = str(tmp_path / "config")
    os.mkdir(config)

    # Save Configuration closes the window; the file lands in --config.
    user(*(steps + (click("Save Configuration"),)))
    saved = str(tmp_path / "saved")
    assert cli.main(["--folder", saved, "--config", config]) == 0
    assert showinfo == [("Quorva EMG Tool", "Configuration file correctly saved at "
                         + os.path.join(config, CONFIG))]
    assert capsys.readouterr().out.strip() == (
        f"Configuration written to {os.path.join(config, CONFIG)}; "
        "no channel was processed, the trial was not written")
    assert not os.path.exists(os.path.join(saved, "Walk01_processed.csv"))

    batch = str(tmp_path / "batch")
    assert cli.main(["--batch", config, "--folder", batch]) == 0
    assert capsys.readouterr().out.splitlines()[-1].endswith(
        "2 channels processed, written to " + os.path.join(batch, "Walk01_processed.csv"))
    assert getattr(tkinter, "_default_root", None) is None

    user(*(steps + (click("Process"),)))
    clicked = str(tmp_path / "clicked")
    assert cli.main(["--folder", clicked]) == 0

    _, replayed = read_csv(os.path.join(batch, "Walk01_processed.csv"))
    _, processed = read_csv(os.path.join(clicked, "Walk01_processed.csv"))
    raw = demo_trial(clicked)
    assert np.array_equal(replayed, processed)
    assert not np.array_equal(processed[0], raw.samples[0])
    assert not np.array_equal(processed[10], raw.samples[10])  # RHAM went to LHAM
    assert np.array_equal(processed[11], raw.samples[11])


def test_no_trial_window_offers_no_actions(display, tmp_path, user, capsys):
    folder = str(tmp_path)
    seen = {}

    def look_and_close(root):
        seen["label"] = widget(root, "Label", "NO TRIAL SELECTED").cget("fg")
        seen["states"] = [str(widget(root, "Button", t).cget("state"))
                          for t in ("Process", "Preview", "Save Configuration", "Report")]
        root.destroy()  # the user closes the window

    user(tick("LTA"), look_and_close)
    assert cli.main(["--no-trial", "--folder", folder]) == 0
    assert seen == {"label": "red", "states": ["disabled"] * 4}
    assert "nothing written" in capsys.readouterr().out
    assert os.listdir(folder) == []


# -- batch --------------------------------------------------------------------------

def test_batch_processes_saved_selection_and_appends_history(
        display, tmp_path, showinfo, capsys, reference):
    config = str(tmp_path / "config")
    os.mkdir(config)
    save_config(config + os.sep, ticked=[2, 5],
                settings=(1, 0, 1, 1, 1, "30", "4", "150", "2", "50"),
                destinations={5: "7 - LRF"})
    del showinfo[:]
    folder = str(tmp_path / "trial")
    os.mkdir(folder)
    history = os.path.join(folder, "Walk01_RIVurorHistory.txt")
    with open(history, "w") as f:
        f.write("earlier entry\n")

    assert cli.main(["--batch", config, "--folder", folder]) == 0  # no trailing separator
    csv_path = os.path.join(folder, "Walk01_processed.csv")
    assert capsys.readouterr().out.splitlines()[-1] == (
        f"Batch run of {os.path.join(config, CONFIG)} on Walk01: "
        f"2 channels processed, written to {csv_path}")
    assert showinfo == []
    assert getattr(tkinter, "_default_root", None) is None

    _, columns = read_csv(csv_path)
    raw = demo_trial(folder)
    settings = {"mnb": 1, "lowb": 0, "highb": 1, "rectb": 1, "rmsb": 1,
                "high": 30, "highOrd": 4, "low": 150, "lowOrd": 2, "www": 50}
    np.testing.assert_allclose(columns[1], reference(raw.samples[1], **settings),
                               rtol=1e-12, atol=1e-18)
    np.testing.assert_allclose(columns[6], reference(raw.samples[4], **settings),
                               rtol=1e-12, atol=1e-18)
    for k in set(range(12)) - {1, 6}:
        assert np.array_equal(columns[k], raw.samples[k])
    with open(history) as f:
        lines = f.read().splitlines()
    assert lines[0] == "earlier entry"
    assert "RTA has been elaborated and put in 2  position" in lines
    assert "LSOL has been elaborated and put in 7  position" in lines


def test_batch_with_nothing_selected_is_refused_before_its_box(display, tmp_path, showinfo,
                                                               capsys):
    # Unattended, the plug-in's "No EMG channel selected" box would wait for ever.
    save_config(str(tmp_path) + os.sep, ticked=[], settings=(1,) * 5 + DEFAULT_TEXTS)
    del showinfo[:]
    folder = str(tmp_path / "trial")
    assert cli.main(["--batch", str(tmp_path), "--folder", folder]) == 1
    assert showinfo == []
    assert "the configuration ticks no channel" in capsys.readouterr().err
    assert getattr(tkinter, "_default_root", None) is None
    assert not os.path.exists(os.path.join(folder, "Walk01_processed.csv"))


@pytest.mark.parametrize("make", ["no folder", "empty folder"])
def test_batch_without_configuration_is_a_usage_error(tmp_path, capsys, make):
    config = str(tmp_path / "config")
    if make == "empty folder":
        os.mkdir(config)
    folder = str(tmp_path / "trial")
    assert cli.main(["--batch", config, "--folder", folder]) == 2
    assert "error:" in capsys.readouterr().err
    assert not os.path.exists(folder)


# -- no display ---------------------------------------------------------------------

@pytest.mark.parametrize("mode", [[], ["--no-trial"], ["--batch", "CONFIG"]])
def test_no_display_is_one_line_pointing_to_process(tmp_path, monkeypatch, capsys,
                                                    showinfo, mode):
    config = str(tmp_path)
    save_config(config + os.sep, ticked=[1], settings=(1,) * 5 + DEFAULT_TEXTS)

    def no_display(*args, **kwargs):
        raise tkinter.TclError('couldn\'t connect to display ":99"')
    monkeypatch.setattr(tkinter, "Tk", no_display)

    folder = str(tmp_path / "trial")
    argv = [config if arg == "CONFIG" else arg for arg in mode]
    assert cli.main(argv + ["--folder", folder]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("quorvaemg-host: error: no display")
    assert ("Xvfb" if mode[:1] == ["--batch"] else "--process") in err
    # A batch run starts a private display first: without Xvfb it never reaches Tk.
    assert (":99" if mode[:1] != ["--batch"] or shutil.which("Xvfb")
            else "Xvfb is not installed") in err
    assert not os.path.exists(os.path.join(folder, "Walk01_processed.csv"))


# -- C3D trial files ----------------------------------------------------------------

LABELS = ["LTA", "Fz", "RTA", "LGAS"]


def c3d_trial(folder, name, rate=1000.0, labels=LABELS, samples=None, seed=0):
    """A C3D trial of ``samples`` per channel (3 s by default); (path, raw samples)."""
    n = int(3 * rate) if samples is None else samples
    data = emg(len(labels), n, seed=seed)
    return write_c3d(os.path.join(str(folder), name), data, labels, rate=rate,
                     subjects=("S01",)), data.astype(np.float32).astype(np.float64)


def analogs(path):
    return ezc3d.c3d(path)["data"]["analogs"][0]


def assert_processed(path, saved, raw, changed, reference, **settings):
    """``saved`` holds ``reference`` of the raw ``changed`` channels, as float32, and
    everything else of ``path`` unchanged."""
    back = analogs(saved)
    for k in changed:
        assert np.array_equal(back[k].astype(np.float32),
                              reference(raw[k], **settings).astype(np.float32))
    assert_unchanged_except(path, saved, changed)


def warnings_in(out):
    return [line for line in out.splitlines() if line.startswith("warning:")]


def channel_boxes(names):
    """A step recording which of ``names`` have a check box in the window."""
    seen = []

    def step(root):
        texts = {w.cget("text") for w in root.winfo_children() if w.winfo_class() == "Checkbutton"}
        seen.extend(n for n in names if n in texts)
    return seen, step


@needs_c3d
@pytest.mark.parametrize("rate, in_place", [(1000.0, False), (2000.0, True)])
def test_window_on_c3d_file_shows_pattern_channels_and_saves_them(
        display, tmp_path, user, capsys, showinfo, reference, rate, in_place):
    path, raw = c3d_trial(tmp_path, "Walk.c3d", rate=rate)
    original = str(tmp_path / "original.c3d")
    shutil.copyfile(path, original)
    seen, look = channel_boxes(LABELS)
    device = []
    user(look, lambda root: device.append(widget(root, "Label", "Selected device: Analog EMG")),
         tick("RTA"), click("Process"))

    assert cli.main([path, "--channels", "TA"] + (["--in-place"] if in_place else [])) == 0
    assert seen == ["LTA", "RTA"] and len(device) == 1
    saved = path if in_place else str(tmp_path / "Walk_processed.c3d")
    out = capsys.readouterr().out
    assert out.splitlines()[-1] == f"Processed trial written to {saved}"
    assert sorted(os.listdir(str(tmp_path))) == sorted(
        ["Walk.c3d", "original.c3d", "Walk_RIVurorHistory.txt"] + ([] if in_place else [os.path.basename(saved)]))
    assert_processed(original, saved, raw, [2], reference)

    warned = warnings_in(out)
    if rate == 1000.0:
        assert warned == []
    else:  # once, before the processing, with the window's defaults in Hz
        assert len(warned) == 1 and "-> 400 Hz" in warned[0] and "-> 40 Hz" in warned[0]
        assert "typed in the window" in warned[0]
        assert out.index(warned[0]) < out.index("Processing EMG")


@needs_c3d
def test_window_save_refused_names_channel_and_writes_nothing(display, tmp_path, user, capsys):
    # 60 samples with the default 100-sample RMS window: the result is 100 samples long.
    path, _ = c3d_trial(tmp_path, "Short.c3d", labels=["A", "B"], samples=60)
    before = contents(path)
    user(tick("B"), click("Process"))
    assert cli.main([path]) == 1
    err = capsys.readouterr().err
    assert err == ("quorvaemg-host: error: Short.c3d not saved: channel B: 100 processed samples "
                   "for 60 in the file; nothing written\n")
    assert contents(path) == before
    assert sorted(os.listdir(str(tmp_path))) == ["Short.c3d", "Short_RIVurorHistory.txt"]
    with open(str(tmp_path / "Short_RIVurorHistory.txt")) as f:
        log = f.read().split("\n")
    # The plug-in's entry as it wrote it, then one line saying the trial was not saved.
    assert log[-5:-2] == ["B has been elaborated and put in 2  position", "", ""]
    assert log[-2].endswith("The trial was NOT saved: channel B: 100 processed samples for 60 "
                            "in the file; nothing written") and log[-1] == ""


@needs_c3d
@pytest.mark.parametrize("broken", ["not a C3D", "too few channels"])
def test_batch_over_files_goes_on_past_a_broken_trial(
        display, tmp_path, showinfo, capsys, reference, broken):
    config = str(tmp_path / "config")
    os.mkdir(config)
    settings = (1, 1, 1, 1, 1, "30", "2", "150", "2", "50")
    save_config(config + os.sep, ticked=[1, 3], settings=settings, names=LABELS)
    del showinfo[:]
    first, raw1 = c3d_trial(tmp_path, "Walk01.c3d", seed=1)
    if broken == "not a C3D":
        second = str(tmp_path / "Walk02.c3d")
        with open(second, "w") as f:
            f.write("not a trial\n")
        reason = "Walk02.c3d: " + second + ": not a readable C3D file"
    else:  # the configuration's channel 3 is not in this file
        second, _ = c3d_trial(tmp_path, "Walk02.c3d", labels=["LTA", "Fz"])
        reason = "Walk02.c3d: the configuration has 4 channels, the trial 2, open the trial"
    third, raw3 = c3d_trial(tmp_path, "Walk03.c3d", rate=2000.0, seed=3)
    kept = contents(second)

    assert cli.main(["--batch", config, first, second, third]) == 1
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == f"Batch run of {os.path.join(config, CONFIG)} on 3 trials"
    progress = [line for line in lines if line.startswith("[")]
    assert progress[0] == ("[1/3] Walk01.c3d: 2 channels processed, written to "
                           + str(tmp_path / "Walk01_processed.c3d"))
    assert progress[1].startswith("[2/3] " + reason.replace(": ", ": failed: ", 1))
    assert progress[2] == ("[3/3] Walk03.c3d: 2 channels processed, written to "
                           + str(tmp_path / "Walk03_processed.c3d"))
    assert lines[-2:-1] == ["Batch run: 2 processed, 1 failed:"]
    assert lines[-1].startswith("  " + reason)

    # One warning, from the configuration's cutoffs, just before the 2000 Hz trial.
    warned = warnings_in("\n".join(lines))
    assert len(warned) == 1 and "2000 Hz" in warned[0]
    assert "high-pass 30 Hz -> 60 Hz" in warned[0] and "low-pass 150 Hz -> 300 Hz" in warned[0]
    assert lines.index(progress[1]) < lines.index(warned[0]) < lines.index(progress[2])

    values = dict(DEFAULTS, high=30, low=150, www=50)
    assert_processed(first, str(tmp_path / "Walk01_processed.c3d"), raw1, [0, 2], reference, **values)
    assert_processed(third, str(tmp_path / "Walk03_processed.c3d"), raw3, [0, 2], reference, **values)
    assert contents(second) == kept and not os.path.exists(str(tmp_path / "Walk02_processed.c3d"))
    assert getattr(tkinter, "_default_root", None) is None
    assert showinfo == []


@needs_c3d
def test_process_files_in_place_with_named_channel(tmp_path, capsys, reference):
    paths, raws, originals = [], [], []
    for k, rate in enumerate((1000.0, 2000.0)):
        path, raw = c3d_trial(tmp_path, f"Run{k}.c3d", rate=rate, seed=k)
        originals.append(str(tmp_path / f"orig{k}.c3d"))
        shutil.copyfile(path, originals[-1])
        paths.append(path)
        raws.append(raw)
    # Trial files may follow the channel names of --process.
    assert cli.main(["--process", "rta", "--in-place"] + paths) == 0
    out = capsys.readouterr().out
    assert out.splitlines()[-1] == "Process run: 2 processed, 0 failed"
    assert len(warnings_in(out)) == 1
    for path, raw, original in zip(paths, raws, originals):
        assert f"{os.path.basename(path)}: 1 channel processed, written to {path}" in out
        assert_processed(original, path, raw, [2], reference)


@needs_c3d
@pytest.mark.parametrize("argv", [
    ["--channels", "TA"],                 # pattern without a trial file
    ["--in-place", "--process"],
    ["FILE", "FILE"],                     # the window takes one trial
    ["FILE", "--folder", "elsewhere"],
    ["FILE", "--no-trial"],
    ["FILE", "--batch", "CONFIG", "--config", "CONFIG"],
])
def test_options_that_do_not_fit_the_trial_source_are_usage_errors(tmp_path, capsys, argv):
    path, _ = c3d_trial(tmp_path, "Walk.c3d", samples=500)
    before = sorted(os.listdir(str(tmp_path)))
    names = {"FILE": path, "CONFIG": str(tmp_path)}
    assert cli.main([names.get(arg, arg) for arg in argv]) == 2
    assert "error:" in capsys.readouterr().err
    assert sorted(os.listdir(str(tmp_path))) == before


@pytest.mark.parametrize("version, says", [
    ((3, 7, 16), "needs ezc3d, which needs Python 3.10 or newer (this is Python 3.7)"),
    ((3, 11, 7), "pip install ezc3d"),
])
def test_demo_c3d_without_ezc3d_says_what_it_needs(tmp_path, monkeypatch, capsys, version, says):
    monkeypatch.setitem(sys.modules, "ezc3d", None)
    monkeypatch.setattr(sys, "version_info", version)
    assert cli.main(["--write-demo", str(tmp_path / "demo")]) == 1
    assert says in capsys.readouterr().err
    assert not os.path.exists(str(tmp_path / "demo" / "Walk01.c3d"))


@needs_c3d
def test_window_on_real_recording_processes_first_channel(display, tmp_path, user, capsys,
                                                          showinfo, reference):
    path = str(tmp_path / os.path.basename(REAL))
    shutil.copyfile(REAL, path)
    os.chmod(path, 0o644)
    raw = analogs(path).astype(np.float64)
    user(tick("Delt_ant.EMG1"), click("Process"))  # the first channel with "EMG" in its label

    assert cli.main([path, "--channels", "EMG"]) == 0
    saved = str(tmp_path / "real_emg_2000hz_processed.c3d")
    out = capsys.readouterr().out
    assert out.splitlines()[-1] == f"Processed trial written to {saved}"
    assert len(warnings_in(out)) == 1
    assert_processed(REAL, saved, raw, [6], reference)


# -- what a lab meets first -----------------------------------------------------------

def edit_line(path, number, text):
    with open(path) as f:
        lines = f.readlines()
    lines[number - 1] = text + "\n"
    with open(path, "w") as f:
        f.writelines(lines)


@needs_c3d
@pytest.mark.parametrize("labels, line, text, message", [
    (["Voltage.1"] + LABELS[1:], None, None,
     'configuration channel 1 is "LTA", the trial\'s is "Voltage.1"'),
    (LABELS + ["Extra"], None, None, "the configuration has 4 channels, the trial 5"),
    (LABELS, 5, "junk", 'configuration channel 2 names no channel ("junk"'),
    (LABELS, 16, "20.5", 'CONFIG line 16: the low-pass cutoff is "20.5", not a whole number'),
    (LABELS, 1, "", 'CONFIG line 1: the channel count is "", not a whole number'),
    (None, None, None, 'configuration channel 1 is "Delt_ant.EMG1", the trial\'s is "Voltage.1"'),
])
def test_batch_refuses_trial_with_other_channels_or_bad_configuration(
        display, tmp_path, showinfo, capsys, labels, line, text, message):
    config = str(tmp_path / "config")
    os.mkdir(config)
    if labels is None:  # saved on the EMG channels, replayed on the whole recording
        path = str(tmp_path / "real.c3d")
        shutil.copyfile(REAL, path)
        names = c3d.load_trial(path, channels="*.EMG*").channel_names
        labels = names
    else:
        path, _ = c3d_trial(tmp_path, "Walk.c3d", labels=labels, samples=500)
        names = LABELS
    save_config(config + os.sep, ticked=[1], settings=(1,) * 5 + DEFAULT_TEXTS, names=names)
    if line is not None:
        edit_line(os.path.join(config, CONFIG), line, text)
    before = sorted(os.listdir(str(tmp_path)))

    assert cli.main(["--batch", config, path]) == 1
    captured = capsys.readouterr()
    assert message.replace("CONFIG", os.path.join(config, CONFIG)) in captured.out + captured.err
    assert sorted(os.listdir(str(tmp_path))) == before  # no processed file, no history


def test_window_saves_when_process_closes_it_under_an_open_preview(
        display, tmp_path, capsys, monkeypatch):
    import matplotlib.pyplot as plt

    folder = str(tmp_path)
    mainloop = tkinter.Misc.mainloop
    seen = []

    def process_under_preview(root):
        figure = plt.gcf().canvas.get_tk_widget()
        seen.append(len(plt.get_fignums()))
        figure.after(10000, lambda: (seen.append("closed by hand"), plt.close("all")))
        click("Process")(root)

    def drive(self, n=0):
        if not seen:  # the plug-in window; later calls are the preview's own loop
            seen.append("window")
            self.after(100, tick("LTA"), self)
            self.after(200, lambda: (self.after(500, process_under_preview, self),
                                     click("Preview")(self)))
        mainloop(self, n)

    monkeypatch.setattr(tkinter.Misc, "mainloop", drive)
    plt.switch_backend("TkAgg")
    try:
        assert cli.main(["--folder", folder]) == 0
    finally:
        plt.switch_backend("Agg")
    assert seen == ["window", 1]
    assert capsys.readouterr().out.splitlines()[-1] == (
        "Processed trial written to " + os.path.join(folder, "Walk01_processed.csv"))


def test_button_failure_shows_error_box(display, tmp_path, user, capsys, monkeypatch):
    shown = []
    monkeypatch.setattr(tkinter.messagebox, "showerror",
                        lambda title, message, **kw: shown.append(message))
    user(tick("LTA"), type_into("High cutoff frequency [Hz]: ", "20.5"), click("Process"),
         lambda root: root.destroy())
    assert cli.main(["--folder", str(tmp_path)]) == 0
    assert len(shown) == 1 and "'20.5'" in shown[0] and "whole numbers" in shown[0]
    assert "Traceback" in capsys.readouterr().err


@pytest.mark.parametrize("xvfb", [True, False])
def test_batch_without_display_runs_on_private_xvfb(tmp_path, showinfo, capsys, monkeypatch,
                                                    xvfb):
    if xvfb and not shutil.which("Xvfb"):
        pytest.skip("Xvfb is not installed")
    save_config(str(tmp_path) + os.sep, ticked=[1], settings=(1,) * 5 + DEFAULT_TEXTS)
    monkeypatch.delenv("DISPLAY", raising=False)
    if not xvfb:  # and no server of its own running yet
        monkeypatch.setenv("PATH", "")
        monkeypatch.setattr(display_module, "_server", {})
    folder = str(tmp_path / "trial")

    assert cli.main(["--batch", str(tmp_path), "--folder", folder]) == (0 if xvfb else 1)
    captured = capsys.readouterr()
    assert "DISPLAY" not in os.environ
    if xvfb:
        assert captured.out.startswith("No display set: the batch run uses a private virtual "
                                       "display (Xvfb :")
        assert os.path.exists(os.path.join(folder, "Walk01_processed.csv"))
    else:
        assert captured.err == ("quorvaemg-host: error: no display is set (DISPLAY) and Xvfb "
                                "is not installed, and the batch run opens a Tk root window, "
                                f"{batch_command.XVFB_HINT}\n")


@needs_c3d
@pytest.mark.parametrize("argv", [["--write-demo", "DIR"], ["write-demo", "DIR"]])
def test_demo_trial_written_as_c3d_reads_back_as_the_demo(tmp_path, capsys, argv):
    folder = str(tmp_path / "demo")
    assert cli.main([folder if arg == "DIR" else arg for arg in argv]) == 0
    path = os.path.join(folder, "Walk01.c3d")
    assert capsys.readouterr().out == f"Demo trial written to {path}\n"
    trial, demo = c3d.load_trial(path), demo_trial(folder)
    assert (trial.channel_names, trial.events, trial.subject, trial.device_name) == \
        (demo.channel_names, demo.events, demo.subject, demo.device_name)
    assert all(np.array_equal(a, b.astype(np.float32)) for a, b in zip(trial.samples, demo.samples))


def burst_lag(trial, reference, muscle):
    """How much later in the gait cycle ``muscle`` bursts in ``trial`` than in
    ``reference``: the lag of the circular cross-correlation of their mean
    envelopes over the cycle, the two sides averaged."""
    def spectrum(t, side):
        env = linear_envelope(t.samples[t.channel_names.index(side[0] + muscle)], t.device_rate)
        at = [int(f * t.device_rate / t.frame_rate) for f in t.events[(side, "Foot Strike")]]
        return np.fft.fft(np.mean([np.interp(np.linspace(a, b, 1000, endpoint=False),
                                             np.arange(a, b), env[a:b])
                                   for a, b in zip(at, at[1:])], axis=0))
    lags = [np.argmax(np.fft.ifft(spectrum(trial, side) * np.conj(spectrum(reference, side))).real)
            for side in ("Left", "Right")]
    return np.mean([(k + 500) % 1000 / 1000.0 - 0.5 for k in lags])


@needs_c3d
def test_control_subjects_time_their_bursts_each_their_own_way(tmp_path, capsys):
    folder = str(tmp_path / "controls")
    assert cli.main(["write-demo", folder, "--controls", "3"]) == 0
    assert capsys.readouterr().out == \
        f"6 control trials (3 subjects, 2 trials each) written to {folder}\n"
    names = [f"Control{s}_Walk{t}.c3d" for s in ("01", "02", "03") for t in ("01", "02")]
    assert sorted(os.listdir(folder)) == names
    paths = [os.path.join(folder, name) for name in names]
    assert [ezc3d.c3d(p)["parameters"]["SUBJECTS"]["NAMES"]["value"] for p in paths] == \
        [[name[:9]] for name in names]
    trials = [c3d.load_trial(p) for p in paths]
    for trial, same in zip(trials, control_trials(3, folder=folder)):  # what the files hold
        assert (trial.name, trial.events) == (same.name, same.events)
        assert np.array_equal(trial.samples, np.float32(same.samples))
    assert not np.array_equal(trials[0].samples[0], trials[1].samples[0])  # each its own noise
    lags = [burst_lag(trial, demo_trial(folder), "TA") for trial in trials]
    for k, lag in enumerate(lags):  # k ^ 1: the subject's other trial
        assert abs(lag - lags[k ^ 1]) < min(abs(lag - other) for j, other in enumerate(lags)
                                            if j // 2 != k // 2), lags


@needs_c3d
@pytest.mark.parametrize("shifts, moved, says", [
    (["TA:15"], {"TA": 0.15}, "(TA bursts 15 % of the gait cycle later)"),
    (["ham:-10%", "SOL:5"], {"HAM": -0.10, "SOL": 0.05},
     "(HAM bursts 10 % of the gait cycle earlier; SOL bursts 5 % of the gait cycle later)"),
])
def test_shifted_muscles_burst_that_much_later_and_the_others_as_before(
        tmp_path, capsys, shifts, moved, says):
    plain, patient = str(tmp_path / "plain"), str(tmp_path / "patient")
    assert cli.main(["write-demo", plain]) == 0
    assert cli.main(["write-demo", patient] + [a for s in shifts for a in ("--shift", s)]) == 0
    assert capsys.readouterr().out.splitlines()[-1].endswith(says)
    before, after = (c3d.load_trial(os.path.join(f, "Walk01.c3d")) for f in (plain, patient))
    assert (after.subject, after.events) == (before.subject, before.events)
    for muscle, by in moved.items():
        assert burst_lag(after, before, muscle) == pytest.approx(by, abs=0.01)
    for name, a, b in zip(before.channel_names, before.samples, after.samples):
        assert np.array_equal(a, b) == (name[1:] not in moved), name


@pytest.mark.parametrize("argv, says", [
    (["--shift", "TA"], "--shift takes MUSCLE:PERCENT, MUSCLE one of TA GAS SOL RF VL HAM "
                        "and PERCENT of the gait cycle from -50 to 50"),
    (["--shift", "LTA:15"], 'not "LTA:15"'),
    (["--shift", "TA:50.5"], 'not "TA:50.5"'),
    (["--shift", "TA:15", "--shift", "ta:5"], "--shift moves TA twice, give each muscle once"),
    (["--controls", "100"], "--controls takes a number of subjects from 1 to 99, not 100"),
    (["--controls", "2", "--shift", "TA:15"], "not of the control subjects"),
])
def test_write_demo_refuses_shifts_and_counts_it_cannot_write(tmp_path, capsys, argv, says):
    folder = str(tmp_path / "demo")
    assert cli.main(["write-demo", folder] + argv) == 2
    assert says in capsys.readouterr().err
    assert not os.path.exists(folder)


@pytest.mark.parametrize("argv, folder, interrupt, code, says", [
    (["gait", "--demo", "--out", "{tmp}/file/sub"], None, False, 1,
     "cannot write {tmp}/file/sub (Not a directory), write into another folder"),
    (["gait", "--demo", "--out", "{tmp}"], "Walk01_EMGActivity.csv", False, 1,
     "cannot write {tmp}/Walk01_EMGActivity.csv (a folder has that name), close it if"),
    (["quality", "--csv", "{tmp}/q.csv"], "q.csv", False, 1,
     "cannot write {tmp}/q.csv (a folder has that name), close it if another program has "
     "it open, or name another file"),
    (["gait", "--demo", "--out", "{tmp}"], None, True, 130, "error: interrupted;"),
])
def test_outputs_that_cannot_be_written_leave_nothing_behind(
        tmp_path, monkeypatch, capsys, argv, folder, interrupt, code, says):
    from matplotlib.backends.backend_pdf import PdfPages

    monkeypatch.setenv("HOME", str(tmp_path))
    (tmp_path / "quorvaemg-demo").mkdir()
    (tmp_path / "file").write_text("")
    if folder:
        (tmp_path / folder).mkdir()
    if interrupt:  # Ctrl-C while the PDF is drawn
        monkeypatch.setattr(PdfPages, "savefig", lambda *a, **k: (_ for _ in ()).throw(
            KeyboardInterrupt()))
    before = sorted(os.listdir(tmp_path))
    assert cli.main([a.format(tmp=tmp_path) for a in argv]) == code
    err = capsys.readouterr().err
    assert says.format(tmp=tmp_path) in err and len(err.splitlines()) == 1
    assert sorted(os.listdir(tmp_path)) == before


def test_output_whose_reader_has_gone_ends_quietly(tmp_path):
    import subprocess

    read, write = os.pipe()
    os.close(read)  # as "| head -1" does once it has its line
    try:
        run = subprocess.run([sys.executable, "-m", "quorvaemg_host.cli", "quality"],
                             stdout=write, stderr=subprocess.PIPE,
                             env=dict(os.environ, HOME=str(tmp_path)))
    finally:
        os.close(write)
    assert run.stderr == b"" and run.returncode == 1


# -- what a lab hands the host, refused before anything runs ----------------------------

def config_text(folder):
    save_config(folder + os.sep, ticked=[1], settings=(1,) * 5 + DEFAULT_TEXTS)
    with open(os.path.join(folder, CONFIG), "rb") as f:
        return f.read()


def setting(line, value):
    """The demo configuration (12 channels, 35 lines) with ``line`` replaced."""
    def edit(data):
        lines = data.split(b"\n")
        lines[line - 1] = value
        return b"\n".join(lines)
    return edit


@pytest.mark.parametrize("edit, says", [
    (setting(31, b"0"), 'line 31: the high-pass cutoff is "0"; it must be 1 to 499 Hz'),
    (setting(32, b"500"), 'line 32: the low-pass cutoff is "500"; it must be 1 to 499 Hz'),
    (setting(34, b"100000"), 'line 34: the high-pass order is "100000"; it must be 1 to 20'),
    (setting(35, b"1000"), 'line 35: the low-pass order is "1000"; it must be 1 to 20'),
    (setting(33, b"0"), 'line 33: the RMS window size is "0"; it must be 1 sample or more'),
    (setting(33, b"-5"), 'the RMS window size is "-5"'),
    (setting(1, b"-3"), 'line 1: the channel count is "-3"; it must be 0 or more'),
    (setting(1, b"99999999999999"), "holds 35 lines, fewer than the 2 per channel and 11 more"),
    (lambda data: data[:data.rindex(b"\n2\n")], "holds 34 lines"),
    (setting(32, b"2" + b"0" * 100000), 'low-pass cutoff is "2000000000'),
    (lambda data: data + b" " * files.CONFIG_MAX_BYTES, "MB, far larger than a configuration"),
    (lambda data: data.decode().encode("utf-16"), "is UTF-16 text, not a configuration"),
    (lambda data: data.decode().encode("utf-16-le"), "is UTF-16 text"),
    (lambda data: b"\xef\xbb\xbf" + data, "starts with a byte-order mark"),
    (lambda data: data[:40] + b"\x00\x07\x00" + data[40:], "is binary data (it holds NUL bytes)"),
])
def test_batch_refuses_a_configuration_it_would_hang_or_fail_on(tmp_path, showinfo, capsys,
                                                                edit, says):
    config = str(tmp_path)
    data = edit(config_text(config))
    with open(os.path.join(config, CONFIG), "wb") as f:
        f.write(data)
    folder = str(tmp_path / "trial")
    assert cli.main(["--batch", config, "--folder", folder]) == 1
    err = capsys.readouterr().err
    assert says in err and len(err.splitlines()) == 1 and len(err) < 400
    assert err.rstrip().endswith(("Save Configuration button", "without a byte-order mark"))
    assert not os.path.exists(folder)


@needs_c3d
@pytest.mark.parametrize("argv, ticked, short, says", [
    (["--process"], None, 50, "channel LTA has 50 samples, fewer than the RMS window of 100"),
    (["--process"], None, 9, "channel LTA has 9 samples, too few for the low-pass filter of "
                             "order 2 (it needs more than 9)"),
    (["--process"], None, 0, "channel LTA has no samples"),
    (["--batch", "CONFIG"], [1], 50, "channel LTA has 50 samples, fewer than the RMS window"),
    (["--batch", "CONFIG"], [], None, "the configuration ticks no channel"),
])
def test_a_trial_that_cannot_be_processed_fails_alone(display, tmp_path, showinfo, capsys,
                                                      argv, ticked, short, says):
    from test_host_c3d import raw_c3d

    if ticked is not None:
        save_config(str(tmp_path) + os.sep, ticked=ticked, settings=(1,) * 5 + DEFAULT_TEXTS,
                    names=LABELS)
        del showinfo[:]
    if short is None:
        first, _ = c3d_trial(tmp_path, "Walk00.c3d", labels=LABELS, seed=1)
    else:  # frames of one sample each: as short as it needs to be
        first = raw_c3d(tmp_path / "Walk00.c3d", emg(len(LABELS), short), LABELS, ratio=1)
    second, _ = c3d_trial(tmp_path, "Walk01.c3d", labels=LABELS)
    argv = [str(tmp_path) if arg == "CONFIG" else arg for arg in argv]
    assert cli.main(argv + [first, second]) == 1
    lines = capsys.readouterr().out.splitlines()
    progress = [line for line in lines if line.startswith("[")]
    assert progress[0].startswith("[1/2] Walk00.c3d: failed: " + says)
    assert progress[1].startswith("[2/2] Walk01.c3d: " + (
        "failed: " + says if ticked == [] else f"{len(ticked or LABELS)} channel"))
    assert showinfo == [] and not os.path.exists(str(tmp_path / "Walk00_processed.c3d"))
    assert not os.path.exists(str(tmp_path / "Walk00_RIVurorHistory.txt"))


@needs_c3d
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_quality_warnings_come_before_the_line_of_their_trial(tmp_path, capsys, jobs):
    paths = []
    for k in range(2):
        data = emg(2, 3000, seed=k)
        data[1] = 0.0
        paths.append(write_c3d(tmp_path / f"Walk0{k}.c3d", data, ["LTA", f"DEAD{k}"]))
    assert cli.main(["--process", "--jobs", jobs] + paths) == 0
    lines = capsys.readouterr().out.splitlines()
    warned = [lines.index(line) for line in warnings_in("\n".join(lines))]
    starts = [k for k, line in enumerate(lines) if line.startswith("[")]
    assert len(warned) == 2 and warned[0] < starts[0] < warned[1] < starts[1]
    assert "DEAD1" in lines[warned[1]]


@pytest.mark.parametrize("argv, code, says", [
    (["gait", "--demo", "--envelope", "box"], 2, 'envelope "box" is not one of'),
    (["gait", "--demo", "--synergies", "0"], 2, 'synergies "0" is not a whole number of 1 or'),
    (["gait", "--synergies", "Walk01.c3d"], 2, "or put --synergies without K after the trials"),
    (["gait", "--demo", "--normalise", "mvc"], 2, 'normalisation "mvc" is not one of'),
    (["gait", "--demo", "--muscles", "{tmp}/missing.csv"], 1,
     "cannot read the muscles file {tmp}/missing.csv (No such file or directory), give the "
     "path of an existing CSV file of channel,side,muscle lines with --muscles FILE"),
    (["gait", "--demo", "--normalise", "mvc:{tmp}/missing.csv"], 1,
     "cannot read the MVC file {tmp}/missing.csv (No such file or directory)"),
    (["gait", "--demo", "--out", "{tmp}/Walk01.c3d"], 1,
     "{tmp}/Walk01.c3d is a file, not a folder for the report and tables, write into another"),
    (["--process", "--folder", "/proc"], 1,
     "the demo trial's folder /proc cannot be written (No such file or directory), give a "
     "folder you can write to with --folder DIR"),
    (["{tmp}/missing.c3d"], 1, "cannot read the trial file {tmp}/missing.c3d (No such file"),
    (["--write-demo", "/proc"], 1, "the folder for the demo trial /proc cannot be written"),
    (["--write-demo", "{tmp}/Walk01.c3d"], 1, "the folder for the demo trial {tmp}/Walk01.c3d "
                                              "is a file, not a folder, give a folder you can"),
    (["quality", "--set", "low_doubtful=30"], 2,
     "threshold low_doubtful must be a share above 0 and at most 1 (0.3 = 30 %), not 30"),
    (["quality", "--set", "low_hz=600"], 1,
     "threshold low_hz must be below the Nyquist frequency (500 Hz at 1000 samples"),
])
def test_mistakes_in_what_the_command_line_names_say_which_and_what_to_do(
        tmp_path, monkeypatch, capsys, argv, code, says):
    def no_display(*args, **kwargs):
        raise tkinter.TclError("couldn't connect to display")
    monkeypatch.setattr(tkinter, "Tk", no_display)
    monkeypatch.setenv("HOME", str(tmp_path))
    (tmp_path / "Walk01.c3d").write_bytes(b"a trial")
    assert cli.main([arg.format(tmp=tmp_path) for arg in argv]) == code
    err = capsys.readouterr().err
    assert says.format(tmp=tmp_path) in err and len(err.splitlines()) == 1
    assert (tmp_path / "Walk01.c3d").read_bytes() == b"a trial"
