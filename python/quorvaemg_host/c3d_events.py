"""Gait events of a C3D file: foot strikes and foot offs, wherever the writer put them.

Nexus keeps them in the EVENT group: a context ("Left", "Right") and a
label ("Foot Strike", "Foot Off") per event, in any case.  Other writers
name the side in the label and leave the context general ("LHS", "RTO",
"Left Foot Strike"), and older files keep up to 18 events in the header's
event block, labelled the same short way.  The EVENT group is read when it
holds gait events, else the header's block.  An event without a usable
time is left out with a note; the rest of the trial stays usable.
"""

import math
import re
from collections import namedtuple

import numpy as np

from quorvaemg_host import c3d_format as fmt
from quorvaemg_gait.trial import EVENTS

STRIKE, OFF = EVENTS
_KINDS = {"foot strike": STRIKE, "heel strike": STRIKE, "initial contact": STRIKE,
          "foot contact": STRIKE, "hs": STRIKE, "fs": STRIKE, "ic": STRIKE, "fc": STRIKE,
          "foot off": OFF, "toe off": OFF, "to": OFF, "fo": OFF}
_SIDE_WORDS = {"l": "Left", "left": "Left", "r": "Right", "right": "Right"}
_KIND_PATTERN = "|".join(sorted((re.escape(k) for k in _KINDS), key=len, reverse=True))
_SIDE_FIRST = re.compile(rf"(left|right|l|r) ?({_KIND_PATTERN}) ?\d*")
_SIDE_LAST = re.compile(rf"({_KIND_PATTERN}) ?(left|right|l|r) ?\d*")

Events = namedtuple("Events", "frames source notes")


def event_frame(seconds, frame_rate):
    """Nexus frame number of an event ``seconds`` after the start of capture.

    C3D event times count from the first captured frame, frame 1 at time 0,
    and Nexus numbers frames the same way (the C3D header's first frame is in
    that numbering too): frame = seconds * frame_rate + 1, to the nearest
    frame.  In a trial whose first frame F is not 1, the channel's sample 0
    belongs to frame F.
    """
    return math.floor(seconds * frame_rate + 0.5) + 1


def event_time(frame, frame_rate):
    """Inverse of ``event_frame``: the event time in seconds of a Nexus frame."""
    return (frame - 1) / float(frame_rate)


def gait_event(context, label):
    """(side, "Foot Strike" | "Foot Off") of an event, or None for any other event."""
    words = " ".join(re.sub(r"[_\-.]", " ", label).lower().split())
    side = _SIDE_WORDS.get(context.strip().lower())
    if words in _KINDS:
        return (side, _KINDS[words]) if side else None
    for pattern, kind_at, side_at in ((_SIDE_FIRST, 2, 1), (_SIDE_LAST, 1, 2)):
        match = pattern.fullmatch(words)
        if match:
            named = _SIDE_WORDS[match.group(side_at)]
            if side and side != named:  # "Right" context on a left event: which one?
                return None
            return named, _KINDS[match.group(kind_at)]
    return None


def _collect(entries, frame_rate, where):
    """{(side, event): sorted frames} of (label, context, seconds) entries, and notes."""
    found, notes = {}, []
    for number, (label, context, seconds) in enumerate(entries, 1):
        key = gait_event(context, label)
        if key is None:
            continue
        if not math.isfinite(seconds) or abs(seconds * frame_rate) > 2 ** 52:
            notes.append(f"{where} event {number} ({key[0]} {key[1]}) has no usable time "
                         f"({seconds}): left out")
            continue
        found.setdefault(key, []).append(event_frame(seconds, frame_rate))
    return {key: sorted(frames) for key, frames in found.items()}, notes


def _group_entries(group, subject):
    """(label, context, seconds) of the EVENT group's events, and notes."""
    notes = []
    if "TIMES" not in group:
        return [], notes
    dims, flat = group["TIMES"].dims, group["TIMES"].values
    if len(dims) != 2 or dims[0] < 2 or group["TIMES"].kind != 4:
        return [], [f"EVENT:TIMES is not a table of minutes and seconds (dimensions "
                    f"{dims}): its events were not read"]
    times = np.asarray(flat, dtype=np.float64).reshape(-1, dims[0]).T
    contexts = [str(c) for c in fmt.values(group, "CONTEXTS")]
    labels = [str(c) for c in fmt.values(group, "LABELS")]
    subjects = [str(s).strip() for s in fmt.values(group, "SUBJECTS")]
    count = min(times.shape[1], len(labels))
    used = fmt.first(group, "USED")
    if used is not None and used != count:
        notes.append(f"EVENT:USED is {used}, the EVENT group holds {count} events: "
                     f"read {count}")
    entries = []
    for i in range(count):
        owner = subjects[i] if i < len(subjects) else ""
        if subject is not None and owner and owner != subject:
            continue
        with np.errstate(over="ignore", invalid="ignore"):
            seconds = 60.0 * times[0, i] + times[1, i]
        entries.append((labels[i], contexts[i] if i < len(contexts) else "", float(seconds)))
    return entries, notes


def read_events(parameters, header, subject, frame_rate):
    """The trial's foot strikes and foot offs as Nexus frame numbers (``Events``).

    With a ``subject``, EVENT-group events of another subject are left out
    (events with no subject belong to every subject).  ``source`` says where
    the events came from, for the report; ``notes`` are lines about events
    that could not be read.
    """
    entries, notes = _group_entries(parameters.get("EVENT", {}), subject)
    frames, more = _collect(entries, frame_rate, "EVENT group")
    notes += more
    if frames:
        return Events(frames, "the EVENT group", notes)
    count = header.event_count
    if count > len(header.event_labels):
        notes.append(f"the header's event block says {count} events, it holds at most "
                     f"{len(header.event_labels)}")
    entries = [(label, "", seconds) for label, seconds
               in list(zip(header.event_labels, header.event_times))[:count]]
    frames, more = _collect(entries, frame_rate, "header")
    notes += more
    if frames:
        return Events(frames, "the header's event block", notes)
    return Events({}, None, notes)
