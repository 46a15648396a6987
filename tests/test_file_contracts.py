"""The host and the plug-in agree on the files they share: the configuration
file either of them writes is read by the other, the history log is where
and as the host expects it, and the host's defaults are the window's."""

import os
import re
import time
import tkinter

import pytest
import quorvaemg
from quorvaemg_host import files
from quorvaemg_host.commands.batch import Config, replay_config
from quorvaemg_host.demo import demo_trial
from quorvaemg_host.nexus import NexusStandIn
from tk_support import root, tk_display  # noqa: F401  (fixtures)

# The window's defaults in the configuration file's order: the switches, then
# high-pass cutoff, low-pass cutoff, RMS window, high-pass order, low-pass order.
HIGH, HIGH_ORDER, LOW, LOW_ORDER, RMS = (int(t) for t in files.DEFAULT_ENTRIES)
DEFAULTS = list(files.DEFAULT_SWITCHES) + [HIGH, LOW, RMS, HIGH_ORDER, LOW_ORDER]


def saved_by_the_window(root, trial, folder):
    """All channels ticked in a new window, then Save Configuration, as a lab does."""
    vicon = NexusStandIn(trial)
    root, names = quorvaemg.initializeroot(root, vicon, trial.device_id, trial.output_id)
    quorvaemg.initializewindow(root, tkinter, vicon, [trial.subject], trial.name,
                               trial.device_name, trial.device_id, trial.output_id, names,
                               history=True, pathconfig=folder)
    buttons = {w.cget("text"): w for w in root.winfo_children()
               if isinstance(w, (tkinter.Button, tkinter.Checkbutton))}
    buttons["All"].invoke()
    buttons["Save Configuration"].invoke()
    return list(range(1, len(trial.channel_names) + 1)), DEFAULTS


def written_from_the_layout(root, trial, folder):
    """Every other channel ticked, each put in its own place; other settings."""
    names = trial.channel_names
    selected = [1 - k % 2 for k in range(len(names))]
    settings = [1, 0, 1, 1, 0, 30, 250, 50, 3, 2]
    lines = files.config_lines(selected, [f"{k} - {n}" for k, n in enumerate(names, 1)],
                               settings)
    with open(files.config_path(folder), "w") as f:
        f.write("".join(line + "\n" for line in lines))
    return [k for k, flag in enumerate(selected, 1) if flag], settings


@pytest.mark.parametrize("write", [saved_by_the_window, written_from_the_layout])
def test_configuration_and_history_log(tmp_path, root, monkeypatch, write):
    monkeypatch.setattr(quorvaemg, "messagebox", type("Boxes", (), {
        "showinfo": staticmethod(lambda *a, **k: "ok")}))
    trial = demo_trial(str(tmp_path))
    folder = trial.folder
    ticked, settings = write(root, trial, folder)

    config = Config(folder)  # the host reads what was written ...
    assert config.path == files.config_path(folder)
    assert (config.ticked(), config.settings) == (ticked, settings)
    assert config.choices == [f"{k} - {n}" for k, n in enumerate(trial.channel_names, 1)]

    vicon = NexusStandIn(trial)  # ... and so does the plug-in
    replay_config(vicon, config.folder)
    assert sorted(vicon.written) == ticked

    with open(files.history_path(trial)) as log:
        lines = log.read().splitlines()
    assert lines[0].startswith(files.ENTRY_MARK)
    time.strptime(lines[0][len(files.ENTRY_MARK):], files.STAMP_FORMAT)
    pattern = re.escape(files.CHANNEL_LINE).replace(r"\{\}", "(.*)")
    assert [re.fullmatch(pattern, line).group(1) for line in lines
            if re.fullmatch(pattern, line)] == [trial.channel_names[k - 1] for k in ticked]
    assert sorted(os.listdir(folder)) == sorted([files.CONFIG_NAME,
                                                 os.path.basename(files.history_path(trial))])
