"""The gait events of a C3D trial: the ones its file holds, or found from its
markers and force plates (``quorvaemg_gait.events``).

``frame`` is the point frame as the file counts frames (the header's first
frame is the first sample's), a real number where detection interpolates
between frames; ``time`` is on the clock of EVENT:TIMES, frame 1 at 0 s, so
that a detected event at a marked event's frame has that event's time.
"""

import os
from collections import namedtuple

import numpy as np

from quorvaemg_gait import events as gait_events
from quorvaemg_host import c3d_format as fmt
from quorvaemg_host.c3d_events import event_time, read_events
from quorvaemg_host.c3d_layout import Layout
from quorvaemg_host.c3d_plates import force_plates
from quorvaemg_host.c3d_points import load_points

# What --from / --events take: the file's events where it has them, else found.
CHOICES = ("auto", "file", "markers", "forceplates")
FILE = "file"

Event = namedtuple("Event", "side kind frame time source")
TrialEvents = namedtuple("TrialEvents", "events source notes frame_rate")

_FOUND_FROM = {(True, False): "markers", (False, True): "force plates",
               (True, True): "markers and force plates"}


def event_subject(parameters):
    """The subject whose EVENT-group events are the trial's: the first of
    SUBJECTS:NAMES (every subject's events when the file names none)."""
    names = [str(s).strip() for s in fmt.values(parameters.get("SUBJECTS", {}), "NAMES")]
    return (names[0] or None) if names else None


def _from_file(layout):
    found = read_events(layout.parameters, layout.header, event_subject(layout.parameters),
                        layout.frame_rate)
    rows = [Event(side, kind, frame, event_time(frame, layout.frame_rate), FILE)
            for (side, kind), frames in found.frames.items() for frame in frames]
    return rows, found.source, found.notes


def _marker_array(points, label):
    """A marker's trajectory with NaN in its gaps, as the detection takes them: a
    copy only of a marker with a gap the file marks otherwise."""
    xyz, valid = points.xyz[label], points.valid[label]
    return xyz if valid.all() else np.where(valid[:, None], xyz, np.nan)


def _detected(path, layout, use, overrides, lowpass, threshold):
    points = load_points(path, layout)
    trajectories = {label: _marker_array(points, label) for label in points.labels}
    plates, notes = [], []
    if use != "markers":
        read = force_plates(path, layout)
        notes += read.notes
        plates = [gait_events.Plate(p.number, p.corners, p.fz) for p in read.plates]
        if use == "forceplates" and not plates:
            notes.append("the file has no force plate that could be read")
    found, more = gait_events.detect(trajectories, points.rate, points.unit or "mm",
                                     plates, layout.analog_rate, lowpass, threshold,
                                     overrides, use_markers=use != "forceplates")
    notes += more
    rows = []
    for event in found:
        frame = event.position + layout.first_frame
        rows.append(Event(event.side, event.kind, frame, event_time(frame, layout.frame_rate),
                          event.source))
    sources = {e.source for e in found}
    source = _FOUND_FROM.get((gait_events.MARKERS in sources, gait_events.FORCEPLATE in sources))
    return rows, source, notes


def trial_events(path, use="auto", overrides=None, lowpass=6.0, threshold=20.0, layout=None):
    """The gait events of the C3D file ``path`` (``TrialEvents``): ``events`` by side,
    then in time; ``source`` says where they came from (None when there are none);
    ``notes`` the lines on what was left out.  ``use`` is one of ``CHOICES``;
    ``overrides`` a markers file or its table (``quorvaemg_gait.markers``).  A
    damaged file is a ValueError naming it.  ``layout`` is the file's ``Layout`` when
    the caller has read it already."""
    if use not in CHOICES:
        raise ValueError(f"events from {use!r}: choose one of {', '.join(CHOICES)}")
    path = os.path.abspath(path)
    layout = layout if layout is not None else Layout(path)
    notes = list(layout.warnings)
    rows, source, more = [], None, []
    if use in ("auto", FILE):
        rows, source, more = _from_file(layout)
    if use != FILE and not rows:
        if use == "auto":
            notes += more
        rows, source, more = _detected(path, layout, "both" if use == "auto" else use,
                                       overrides, lowpass, threshold)
    notes += more
    order = {side: k for k, side in enumerate(gait_events.SIDES)}
    rows.sort(key=lambda e: (order.get(e.side, 2), e.frame, e.kind))
    return TrialEvents(rows, source, notes, layout.frame_rate)


def frames_by_event(rows):
    """{(side, kind): [frames]} of events, as a trial record holds them."""
    frames = {}
    for row in rows:
        frames.setdefault((row.side, row.kind), []).append(row.frame)
    return frames
