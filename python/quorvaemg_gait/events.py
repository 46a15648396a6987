"""Gait events found from the trial itself: from its markers and its force plates.

The markers give every step (``markers.detect_events``); a force plate
gives the steps taken on it to within a sample.  A plate's contact is the
stretch where its vertical force exceeds a threshold (the core's
``plate_contacts``); it belongs to the foot whose heel or toe marker is over
the plate for most of it, and a contact that no foot or both feet are
over is left out with a note.  A plate event replaces the marker event of
that foot and kind nearest to it (within ``MATCH_SECONDS``), else it is
added; the other marker events of that kind move by the plates' median lag
behind the ones replaced (``corrected``).

Everything here is plain data: the caller reads the file.  Events come as
``Event`` records whose ``position`` counts point frames from the trial's
first frame (0) and may fall between frames.
"""

from collections import namedtuple

import numpy as np

from quorvaemg_gait import _core, markers

STRIKE, OFF = markers.STRIKE, markers.OFF
SIDES = ("Left", "Right")
MARKERS, FORCEPLATE = "markers", "forceplate"
# A plate event and a marker event of one foot this close are the same event:
# the coordinate method is off by a few frames, a step lasts half a second.
MATCH_SECONDS = 0.15
# The lag of the marker events behind the plates', as their median: one plate
# event holds that step's own error as much as the method's.
MIN_LAGS = 2
# Shorter loads of a plate are a bump or noise, not a foot.
MIN_CONTACT_SECONDS = 0.1

# The foot standing on a plate is over it for all of the contact; the other one
# passes over it, if at all, for a short part of its swing.
ON_PLATE_SHARE = 0.5

Event = namedtuple("Event", "side kind position source")
# One force plate as the caller read it: its number, its corners (4 x 3, the
# point unit) and its vertical force (positive under load, at the analog rate).
Plate = namedtuple("Plate", "number corners fz")


def _inside(corners, xy):
    """Whether each point of ``xy`` (n x 2) lies inside the polygon ``corners``."""
    x, y = xy[:, 0], xy[:, 1]
    inside = np.zeros(len(xy), dtype=bool)
    cx, cy = corners[:, 0], corners[:, 1]
    for k in range(len(corners)):
        x1, y1, x2, y2 = cx[k - 1], cy[k - 1], cx[k], cy[k]
        with np.errstate(invalid="ignore", divide="ignore"):
            crosses = ((y1 > y) != (y2 > y)) & (x < (x2 - x1) * (y - y1) / (y2 - y1) + x1)
        inside ^= crosses
    return inside


def _feet(points, overrides):
    """{side: (heel, toe)} trajectories (frames x 3) of the feet whose markers are found."""
    feet = {}
    for side in SIDES:
        roles = markers.find_roles(points, side, overrides)
        if "heel" in roles and "toe" in roles:
            feet[side] = tuple(markers.trajectory(points, roles[role]) for role in ("heel", "toe"))
    return feet


def _feet_on(plate, feet, first, last):
    """The sides whose heel or toe is over ``plate`` for most of frames ``first`` to
    ``last``: the foot standing on it, not the other one swinging past above it."""
    on = []
    for side, (heel, toe) in feet.items():
        span = slice(max(int(np.ceil(first)), 0), min(int(last) + 1, len(heel)))
        over = _inside(plate.corners, heel[span, :2]) | _inside(plate.corners, toe[span, :2])
        if over.size and over.mean() > ON_PLATE_SHARE:
            on.append(side)
    return on


def plate_events(plates, analog_rate, frame_rate, feet, threshold=20.0):
    """(events, notes) of force ``plates`` (``Plate``) recorded at ``analog_rate``,
    their contacts assigned to ``feet`` ({side: (heel, toe)} at ``frame_rate``)."""
    ratio = float(analog_rate) / float(frame_rate)
    events, notes = [], []
    for plate in plates:
        if plate.corners is None or not np.all(np.isfinite(plate.corners)):
            notes.append(f"force plate {plate.number}: its CORNERS are not all given, "
                         "its contacts were not used")
            continue
        rows = _core.plate_contacts(plate.fz, analog_rate, threshold, MIN_CONTACT_SECONDS)
        for start, end in rows / ratio:
            seen = [p for p in (start, end) if np.isfinite(p)]
            if not seen:
                continue
            on = _feet_on(plate, feet, seen[0], seen[-1])
            when = f"{seen[0] / frame_rate:.2f} s"
            if not on or len(on) > 1:
                whose = "no foot's" if not on else "both feet's"
                notes.append(f"force plate {plate.number}: the contact at {when} has "
                             f"{whose} heel or toe over the plate, not used")
                continue
            for kind, position in ((STRIKE, start), (OFF, end)):
                if np.isfinite(position):
                    events.append(Event(on[0], kind, float(position), FORCEPLATE))
    return events, notes


def merge(found, better, tolerance):
    """(events, lags): ``found`` events with each of ``better`` replacing the one of
    its side and kind nearest to it within ``tolerance`` frames, or added, sorted;
    and {kind: [better position - replaced position]}."""
    merged, lags = list(found), {}
    for event in better:
        near = [(abs(e.position - event.position), k) for k, e in enumerate(merged)
                if (e.side, e.kind) == (event.side, event.kind) and e.source != event.source
                and abs(e.position - event.position) <= tolerance]
        if near:
            k = min(near)[1]
            lags.setdefault(event.kind, []).append(event.position - merged[k].position)
            merged[k] = event
        else:
            merged.append(event)
    return in_order(merged), lags


def corrected(events, lags):
    """(events, notes): the marker events of each kind moved by the median lag of the
    plates' events behind the marker events they replaced, where two or more
    plate events measure it.

    The coordinate method is off by a few frames, by as much as 70 ms at a slow
    walk, in a way that depends on the subject's gait more than on the step: the
    steps a plate saw measure it for the trial's other steps."""
    shifts = {kind: float(np.median(lag)) for kind, lag in lags.items()
              if len(lag) >= MIN_LAGS}
    notes = [f"{kind}s found from markers moved by {shift:+.1f} frames, the median of "
             f"{len(lags[kind])} force-plate events against the marker events they replaced"
             for kind, shift in shifts.items()]
    notes += [f"{kind}s found from markers not moved: one force-plate event cannot tell "
              "the method's lag from one step's own" for kind in lags if kind not in shifts]
    moved = [e._replace(position=e.position + shifts[e.kind])
             if e.source == MARKERS and e.kind in shifts else e for e in events]
    return in_order(moved), notes


def in_order(events):
    """Events by side, then in time."""
    return sorted(events, key=lambda e: (SIDES.index(e.side), e.position, e.kind))


def detect(points, frame_rate, unit="mm", plates=(), analog_rate=None, lowpass=6.0,
           threshold=20.0, overrides=None, use_markers=True):
    """(events, notes): the ``Event`` records found from the markers ``points``
    ({label: frames x 3}, NaN or zeros in gaps, z vertical) and, when given, the
    force ``plates`` at ``analog_rate``; ``use_markers`` False keeps only the plates'
    events (the markers still say which foot is on a plate)."""
    if overrides is not None and not isinstance(overrides, dict):
        overrides = markers.read_overrides(overrides)
    events, notes = [], []
    if use_markers:
        found, notes = markers.detect_events(points, frame_rate, unit, lowpass, overrides)
        events = [Event(side, kind, float(p), MARKERS)
                  for (side, kind), positions in found.items() for p in positions]
    if plates:
        if analog_rate is None:
            raise ValueError("force plates need the analog rate")
        feet = _feet(points, overrides)
        if not feet:
            notes.append("no foot's heel and toe markers found: the force plates' contacts "
                         "cannot be told apart, not used")
        else:
            from_plates, more = plate_events(plates, analog_rate, frame_rate, feet, threshold)
            notes += more
            events, lags = merge(events, from_plates, MATCH_SECONDS * frame_rate)
            events, more = corrected(events, lags)
            notes += more
    return in_order(events), notes
