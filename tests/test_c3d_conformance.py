"""Real C3D files from many systems (tests/data/c3d-samples, tests/data/README.md):
read as ezc3d reads them, big-endian files as their Intel twins, processed copies
changed only in the processed sample words; events in the conventions labs use."""

import glob
import os
import shutil
import struct

import numpy as np
import pytest
from conftest import ezc3d, needs_c3d
from test_host_c3d import emg, raw_c3d, write_c3d

from quorvaemg_host import cli
from quorvaemg_host.c3d import event_frame, load_trial
from quorvaemg_host.c3d_events import gait_event
from quorvaemg_host.c3d_format import text
from quorvaemg_host.c3d_layout import Layout

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
SAMPLES = sorted(glob.glob(os.path.join(DATA, "**", "*.c3d"), recursive=True))
BIG_ENDIAN = ("sgi_", "Eb015s")


def name(path):
    return os.path.relpath(path, DATA)


def twin(path):
    """The Intel file holding the same data as a big-endian one (ezc3d reads no MIPS)."""
    folder, base = os.path.split(path)
    return os.path.join(folder, base.replace("sgi_", "pc_").replace("Eb015s", "Eb015p"))


def ezc3d_events(model, frame_rate):
    """The foot events ezc3d's reading of the EVENT group (else of the header) gives."""
    found = {}
    group = model["parameters"].get("EVENT", {})
    if group.get("TIMES", {}).get("value", np.empty((2, 0))).size:
        times = group["TIMES"]["value"]
        entries = zip(group["LABELS"]["value"], group["CONTEXTS"]["value"],
                      60 * times[0] + times[1])
    else:
        header = model["header"]["events"]
        entries = [(label, "", t) for label, t in zip(header["events_label"], header["events_time"])]
    for label, context, seconds in entries:
        key = gait_event(context, label)
        if key is not None:
            found.setdefault(key, []).append(event_frame(seconds, frame_rate))
    return {key: sorted(frames) for key, frames in found.items()}


@needs_c3d
@pytest.mark.parametrize("path", SAMPLES, ids=name)
def test_read_as_ezc3d_reads_it(path):
    trial = load_trial(path)
    model = ezc3d.c3d(twin(path))
    analog = model["parameters"]["ANALOG"]
    values = model["data"]["analogs"][0]
    assert len(trial.channel_names) == values.shape[0]
    labels = analog["LABELS"]["value"][:values.shape[0]]
    assert trial.channel_names == [label or f"Analog{k + 1}" for k, label in enumerate(labels)]
    # ezc3d hands on bytes that are not UTF-8 (a Latin-1 degree sign) undecoded
    units = [text(u.encode("utf-8", "surrogateescape")) for u in analog["UNITS"]["value"]]
    assert trial.units == (units * values.shape[0] if len(units) == 1 else units[:values.shape[0]])
    assert trial.device_rate == model["header"]["analogs"]["frame_rate"]
    assert trial.frame_rate == model["header"]["points"]["frame_rate"]
    assert np.array_equal(np.array(trial.samples), values)
    assert trial.events == ezc3d_events(model, trial.frame_rate)


@pytest.mark.parametrize("path", [p for p in SAMPLES if os.path.basename(p).startswith(BIG_ENDIAN)],
                         ids=name)
def test_big_endian_files_read_as_their_intel_twins(path):
    mips, intel = load_trial(path), load_trial(twin(path))
    for part in ("channel_names", "units", "device_rate", "frame_rate", "events", "first_frame"):
        assert getattr(mips, part) == getattr(intel, part)
    assert np.array_equal(np.array(mips.samples), np.array(intel.samples))


@pytest.mark.parametrize("path", SAMPLES, ids=name)
def test_processed_copy_differs_only_in_processed_words(tmp_path, capsys, path):
    copy = str(tmp_path / os.path.basename(path))
    shutil.copyfile(path, copy)
    assert cli.main([copy, "--process"]) == 0, capsys.readouterr()
    written = copy[:-4] + "_processed.c3d"
    before, after = (open(p, "rb").read() for p in (copy, written))
    layout = Layout(copy)
    allowed = np.zeros(len(before), bool)
    frame_bytes = layout.frame_words * layout.word
    data = allowed[layout.start:layout.start + layout.frames * frame_bytes]
    data.reshape(layout.frames, frame_bytes)[:, layout.first_analog_word * layout.word:] = True
    changed = np.frombuffer(before, np.uint8) != np.frombuffer(after, np.uint8)
    assert len(before) == len(after) and changed.any() and not (changed & ~allowed).any()
    if ezc3d is not None and not os.path.basename(path).startswith(BIG_ENDIAN):  # nor MIPS
        assert ezc3d.c3d(written)["data"]["analogs"].shape == ezc3d.c3d(copy)["data"]["analogs"].shape


def test_short_scale_list_reads_its_entries_and_says_which_channels_have_none(tmp_path):
    stored = np.random.default_rng(3).integers(-900, 900, (4, 200))
    path = raw_c3d(tmp_path / "short.c3d", stored, ["A", "B", "C", "D"], integer=True,
                   scale=[0.5, 0.25], offset=[2, 2])
    trial = load_trial(path)
    assert np.array_equal(trial.samples[0], (stored[0] - 2) * 0.5)
    assert np.array_equal(trial.samples[3], stored[3])  # no entry: its stored values
    assert any("no entry for C, D" in line for line in trial.warnings)


def _with_events(tmp_path, events):
    data = emg(1, 3000)
    return write_c3d(tmp_path / "ev.c3d", data, ["LTA"], subjects=("S1",),
                     events=[(c, label, frame, "") for c, label, frame in events])


@pytest.mark.parametrize("events, expected", [
    ([("left", "foot strike", 30), ("LEFT", "Foot Off", 90)],
     {("Left", "Foot Strike"): [30], ("Left", "Foot Off"): [90]}),
    ([("General", "LHS", 30), ("", "RTO", 40), ("General", "Left Foot Off", 50),
      ("General", "RFS", 60), ("General", "STRT", 70), ("Right", "LHS", 80)],
     {("Left", "Foot Strike"): [30], ("Right", "Foot Off"): [40], ("Left", "Foot Off"): [50],
      ("Right", "Foot Strike"): [60]}),
])
@needs_c3d
def test_events_in_the_conventions_labs_write(tmp_path, events, expected):
    trial = load_trial(_with_events(tmp_path, events))
    assert trial.events == expected and trial.event_source.startswith("the EVENT group")


@needs_c3d
def test_event_without_a_time_is_left_out_and_a_wrong_count_said(tmp_path):
    path = _with_events(tmp_path, [("Left", "Foot Strike", 30), ("Left", "Foot Strike", 130)])
    data = bytearray(open(path, "rb").read())
    times = data.find(struct.pack("<f", (130 - 1) / 100.0))  # the second event's seconds
    data[times:times + 4] = struct.pack("<f", float("inf"))
    used = data.find(b"USED", data.find(b"EVENT"))
    struct.pack_into("<h", data, used + 4 + 2 + 2, 0)  # its offset, type and no dims: the value
    open(path, "wb").write(bytes(data))
    trial = load_trial(path)
    assert trial.events == {("Left", "Foot Strike"): [30]}
    assert [("EVENT:USED is 0" in w, "has no usable time" in w) for w in trial.warnings] == [
        (True, False), (False, True)]
