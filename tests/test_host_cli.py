"""The host command's window and batch modes, driven on a real Tk.

The window tests replace Tk's main loop by a driver that clicks the real
widgets the module built, as a user would, and then lets the command finish.
"""

import csv
import os
import sys
import tkinter

import numpy as np
import pytest

SOURCE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")
if os.path.isdir(os.path.join(SOURCE, "quorvaemg_host")):
    sys.path.insert(0, SOURCE)

import quorvaemg
from quorvaemg_host import cli
from quorvaemg_host.demo import CHANNELS, demo_trial
from quorvaemg_host.widgets import HeadlessRoot, channel_vars

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


def save_config(folder, ticked, settings, destinations=None):
    """A configuration file as the window's Save Configuration writes it."""
    a, b = channel_vars(CHANNELS, set(ticked))
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
    assert capsys.readouterr().out.strip() == "Window closed; no channel was processed, nothing written"
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


def test_batch_with_nothing_selected_closes_its_root(display, tmp_path, showinfo, capsys):
    save_config(str(tmp_path) + os.sep, ticked=[], settings=(1,) * 5 + DEFAULT_TEXTS)
    del showinfo[:]
    folder = str(tmp_path / "trial")
    assert cli.main(["--batch", str(tmp_path), "--folder", folder]) == 0
    assert [title for title, _ in showinfo] == ["Quorva EMG plugin"]
    assert "no channel selected, nothing written" in capsys.readouterr().out
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
    assert err.count("\n") == 1 and err.startswith("quorvaemg-host: no display")
    assert "--process" in err and ":99" in err
    assert not os.path.exists(os.path.join(folder, "Walk01_processed.csv"))
