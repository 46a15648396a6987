"""Gait events found from the trial itself, on the labs' own marked trials: force
plates' contacts, the events command and its CSV, and the gait report on a trial
whose file has no events."""

import csv
import os
import re

import numpy as np
import pypdf
import pytest
from conftest import ezc3d, needs_c3d

from quorvaemg_gait import _core
from quorvaemg_host import cli
from quorvaemg_host.trial_events import trial_events

DATA = os.path.join(os.path.dirname(__file__), "data", "c3d-samples")
WALK, ZEROWIRE = (os.path.join(DATA, name) for name in ("plugingait_walk.c3d",
                                                       "vicon_zerowire_gait.c3d"))


def without_events(path, folder):
    """A copy of ``path`` whose EVENT group is renamed: a trial no one marked."""
    data = bytearray(open(path, "rb").read())
    start = 512 * (data[0] - 1)
    group = re.compile(rb"\x05[\x80-\xff]EVENT")  # the group's own record: a negative id
    at = group.search(data, start, start + 512 * data[start + 2] + 512).start() + 2
    data[at:at + 5] = b"EVENX"
    copy = os.path.join(str(folder), os.path.basename(path))
    with open(copy, "wb") as f:
        f.write(data)
    return copy


@pytest.mark.parametrize("fz, contacts", [
    ([0, 10, 30, 50, 50, 30, 10, 0], [(1.5, 5.5)]),     # crossings between samples
    ([50, 50, 30, 10, 0, 0, 0, 0], [(np.nan, 2.5)]),    # loaded from the first sample
    ([0, 0, 0, 0, 10, 50, 50, 50], [(4.25, np.nan)]),   # still loaded at the end
    ([0, 50, 50, np.nan, 50, 50, 0, 0], [(0.4, np.nan), (np.nan, 5.6)]),  # a gap
    ([0, 50, 0, 0, 0, 50, 50, 0], [(4.4, 6.6)]),        # one sample is no contact
])
def test_plate_contacts(fz, contacts):
    # 10 Hz, at least 0.15 s: two samples above the threshold.
    got = _core.plate_contacts(np.array(fz, float), 10.0, 20.0, 0.15)
    np.testing.assert_allclose(got, np.array(contacts).reshape(-1, 2))


@pytest.mark.parametrize("args, message", [
    ((np.zeros((3, 2)), 100.0), "fz must"),
    ((np.zeros(5), 0.0), "rate"),
    ((np.zeros(5), 100.0, 20.0, -1.0), "min_contact must not be negative"),
])
def test_plate_contacts_refuses(args, message):
    with pytest.raises(ValueError, match=message):
        _core.plate_contacts(*args)


@needs_c3d
@pytest.mark.parametrize("path, within", [(WALK, 1.5), (ZEROWIRE, 1.5)])
def test_plate_events_match_the_marked_ones(path, within):
    marked = trial_events(path, "file").events
    found = trial_events(path, "forceplates")
    assert found.source == "force plates" and found.events
    for event in found.events:
        same = [m.frame for m in marked if (m.side, m.kind) == (event.side, event.kind)]
        assert min(abs(np.array(same) - event.frame)) <= within, event
    # By default the file's own events, where it has them.
    assert trial_events(path).source == "the EVENT group"


@needs_c3d
def test_events_command_csv_times_are_the_files_clock(tmp_path, capsys):
    out = str(tmp_path / "events.csv")
    assert cli.main(["events", ZEROWIRE, "--from", "file", "--csv", out]) == 0
    rows = list(csv.DictReader(open(out)))
    assert list(rows[0]) == ["trial", "side", "event", "frame", "time", "source"]
    times = ezc3d.c3d(ZEROWIRE)["parameters"]["EVENT"]["TIMES"]["value"]
    assert sorted(float(r["time"]) for r in rows) == pytest.approx(sorted(times[1]), abs=1e-4)
    assert {r["source"] for r in rows} == {"file"}
    # Found from markers and plates: the same clock, a detected frame at a marked
    # frame has that frame's time.
    copy = without_events(ZEROWIRE, tmp_path)
    assert cli.main(["events", copy, "--csv", out]) == 0
    said = capsys.readouterr().out
    assert "events from markers and force plates" in said and "(forceplate)" in said
    # One plate strike: its lag behind the markers' is that step's, not the method's.
    assert "Foot Strikes found from markers not moved: one force-plate event" in said
    found = list(csv.DictReader(open(out)))
    assert {r["source"] for r in found} == {"markers", "forceplate"}
    for row in found:
        assert float(row["time"]) == pytest.approx((float(row["frame"]) - 1) / 100, abs=1e-4)
        assert row["side"] in ("Left", "Right") and row["event"] in ("Foot Strike", "Foot Off")


@pytest.mark.parametrize("argv, message", [
    (["events", "x.c3d", "--in-place"], "--in-place goes with --write"),
    (["events", "x.c3d", "--write", "--from", "file"], "not --from file"),
    (["gait", "--demo", "--events", "markers"], "apply to trial files"),
])
def test_event_options_refused(argv, message, capsys):
    assert cli.main(argv) == 2
    assert message in capsys.readouterr().err


@needs_c3d
def test_gait_report_on_a_trial_no_one_marked(tmp_path, capsys):
    copy = without_events(ZEROWIRE, tmp_path)
    muscles = tmp_path / "muscles.csv"
    muscles.write_text("EMG 1,L,TA\nEMG 2,L,GAS\nEMG 3,R,TA\nEMG 5,R,GAS\n")
    base = ["gait", copy, "--muscles", str(muscles), "--out", str(tmp_path)]
    assert cli.main(base + ["--events", "file"]) == 1
    assert "has no foot strikes" in capsys.readouterr().out
    assert cli.main(base) == 0
    said = capsys.readouterr().out
    assert re.search(r"Left [1-9] cycles?, Right [1-9] cycles?", said)
    first = pypdf.PdfReader(str(tmp_path / "vicon_zerowire_gait_EMGGait.pdf")).pages[0]
    assert "Gait events from markers and force plates" in first.extract_text()


@needs_c3d
def test_events_written_into_a_copy(tmp_path, capsys):
    copy = without_events(WALK, tmp_path)
    assert cli.main(["events", copy, "--write"]) == 0
    written = str(tmp_path / "plugingait_walk_events.c3d")
    assert "written to " + written in capsys.readouterr().out
    before, after = ezc3d.c3d(copy), ezc3d.c3d(written)
    for kind in ("points", "analogs"):
        np.testing.assert_array_equal(before["data"][kind], after["data"][kind])
    again = trial_events(written, "file").events
    found = trial_events(copy).events
    assert [(e.side, e.kind, round(e.frame)) for e in again] == \
           [(e.side, e.kind, round(e.frame)) for e in found]
    assert cli.main(["events", copy, "--write", "--in-place"]) == 0
    assert trial_events(copy, "file").events == again
