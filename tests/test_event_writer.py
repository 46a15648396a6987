"""Gait events written into real C3D files (tests/data/README.md): read back by ezc3d
and by the host, the file's other events and its data block kept."""

import os
import shutil

import numpy as np
import pytest
from conftest import ezc3d, needs_c3d

from quorvaemg_host.c3d_event_writer import write_events
from quorvaemg_host.c3d_events import event_frame, event_time, read_events
from quorvaemg_host.c3d_layout import Layout

pytestmark = needs_c3d
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
SAMPLES = os.path.join(DATA, "c3d-samples")


def events_of(layout):
    return read_events(layout.parameters, layout.header, None, layout.frame_rate).frames


def gait_events(layout, count):
    """``count`` events on frames of the trial, alternating side and kind."""
    first = layout.first_frame
    return [(("Left", "Right")[k % 2], ("Foot Strike", "Foot Off")[k // 2 % 2],
             event_time(first + 2 + k, layout.frame_rate)) for k in range(count)]


@pytest.mark.parametrize("name, count, moves", [
    ("sample_02/pc_real.c3d", 2, False),        # Intel, no EVENT group
    ("sample_01/Eb015vi.c3d", 3, False),        # DEC, integers
    ("sample_02/sgi_int.c3d", 2, False),        # MIPS (ezc3d reads no big-endian file)
    ("vicon_zerowire_gait.c3d", 4, False),      # Intel, Nexus events kept
    ("plugingait_walk.c3d", 150, True),         # DEC, Nexus events kept, section outgrows its room
    ("mega_emg_isokinetic.c3d", 40, True),      # a section declaring fewer blocks than it fills
], ids=lambda v: str(v))
def test_written_events_read_back_with_the_data_unchanged(tmp_path, name, count, moves):
    source, target = os.path.join(SAMPLES, name), str(tmp_path / "out.c3d")
    before = Layout(source)
    new = gait_events(before, count)
    write_events(source, target, new)
    after = Layout(target)
    assert (after.start > before.start) == moves
    with open(source, "rb") as f, open(target, "rb") as g:
        old, written = f.read(), g.read()
    assert written[after.start:] == old[before.start:]
    assert written[:16] + written[18:512] == old[:16] + old[18:512]  # the header but its data start
    kept = {g: p for g, p in before.parameters.items() if g not in ("EVENT", "POINT")}
    assert {g: p for g, p in after.parameters.items() if g in kept} == kept

    expected = {key: list(frames) for key, frames in events_of(before).items()} \
        if "EVENT" in before.parameters else {}
    for side, kind, seconds in new:
        expected.setdefault((side, kind), []).append(event_frame(seconds, before.frame_rate))
    # one event of a side and kind per frame: a new one replaces the file's there
    assert events_of(after) == {key: sorted(set(frames)) for key, frames in expected.items()}
    if os.path.basename(name).startswith("sgi_"):
        return
    model, original = ezc3d.c3d(target), ezc3d.c3d(source)
    group = model["parameters"]["EVENT"]
    times = group["TIMES"]["value"][:, -count:]
    assert [(c, lab) for c, lab in zip(group["CONTEXTS"]["value"], group["LABELS"]["value"])][-count:] \
        == [e[:2] for e in new]
    assert [event_frame(60 * m + s, before.frame_rate) for m, s in times.T] == \
        [event_frame(e[2], before.frame_rate) for e in new]
    for kind in ("points", "analogs"):
        np.testing.assert_array_equal(model["data"][kind], original["data"][kind])


def test_event_within_half_a_frame_replaces_the_one_there_in_place(tmp_path):
    path = str(tmp_path / "walk.c3d")
    shutil.copy(os.path.join(SAMPLES, "vicon_zerowire_gait.c3d"), path)
    before = Layout(path)
    frame = events_of(before)[("Left", "Foot Strike")][1]
    moved = event_time(frame, before.frame_rate) + 0.4 / before.frame_rate
    write_events(path, path, [("Left", "Foot Strike", moved), ("Left", "Foot Off", moved)])
    after = Layout(path)
    found, old = events_of(after), events_of(before)
    assert found[("Left", "Foot Strike")] == old[("Left", "Foot Strike")]
    assert sorted(found[("Left", "Foot Off")]) == sorted(old[("Left", "Foot Off")] + [frame])
    group = ezc3d.c3d(path)["parameters"]["EVENT"]
    assert group["USED"]["value"][0] == len(group["LABELS"]["value"]) == 11
    assert np.isclose(group["TIMES"]["value"][1], moved).sum() == 2


def test_damaged_file_is_refused_and_nothing_written(tmp_path):
    path = str(tmp_path / "cut.c3d")
    with open(os.path.join(SAMPLES, "vicon_zerowire_gait.c3d"), "rb") as f:
        cut = f.read()[:300000]
    with open(path, "wb") as f:
        f.write(cut)
    for target in (path, str(tmp_path / "out.c3d")):
        with pytest.raises(ValueError, match="cut.c3d"):
            write_events(path, target, [("Left", "Foot Strike", 3.0)])
    assert os.listdir(str(tmp_path)) == ["cut.c3d"]
    with open(path, "rb") as f:
        assert f.read() == cut
