"""Gait events written into a C3D file's EVENT group, and nothing else changed.

The copy keeps every byte of the original but the parameter section and the
header's data start: the records of every other group are copied as they
were (only their offsets to the next record are written again where the
chain changes), the EVENT group's lists are rebuilt with the file's other
events kept, and the data block (from its start to the end of the file) is
copied unchanged.  When the new section does not fit before the data, the
data move on by whole blocks and the header and POINT:DATA_START say where.
A file the host cannot read is refused before anything is written, and the
copy replaces its target only once it reads back with the events in it and
the same data bytes.
"""

import math
import os
import zlib

import numpy as np
from plotvane.files import write_atomically

from quorvaemg_host import c3d_format as fmt
from quorvaemg_host.c3d_events import STRIKE, OFF, gait_event, read_events, event_frame
from quorvaemg_host.c3d_layout import Layout
from quorvaemg_host.c3d_samples import PIECE_BYTES

SIDES = ("Left", "Right")
# As Nexus describes and draws them.
_DESCRIPTIONS = {STRIKE: "The instant the heel strikes the ground",
                 OFF: "The instant the toe leaves the ground"}
_ICONS = {STRIKE: 1, OFF: 2}
_LISTS = ("CONTEXTS", "LABELS", "DESCRIPTIONS", "SUBJECTS", "TIMES", "ICON_IDS", "GENERIC_FLAGS")
_MANAGED = ("USED",) + _LISTS
# A dimension is one byte; longer lists would go on in NAME2, NAME3 ..., which
# readers do not join for the times.
_MAX_EVENTS = 255
_MAX_BLOCKS = 255  # what the section's block count can say
_DATA_START_WORD = 16  # header word 9


class _Entry:
    """One event of the EVENT group."""

    __slots__ = ("context", "label", "description", "subject", "seconds", "icon", "flag")

    def __init__(self, context, label, description, subject, seconds, icon, flag):
        self.context, self.label, self.description = context, label, description
        self.subject, self.seconds, self.icon, self.flag = subject, seconds, icon, flag


def _refuse(path, what):
    return ValueError(f"{path}: {what}; nothing was written")


def _checked_events(path, events):
    """(side, kind, seconds) of ``events``, refusing what is no gait event."""
    checked = []
    for number, event in enumerate(events, 1):
        try:
            side, kind, seconds = event
            seconds = float(seconds)
        except (TypeError, ValueError):
            raise _refuse(path, f"event {number} ({event!r}) is not (side, kind, seconds)") from None
        if side not in SIDES or kind not in _ICONS or not math.isfinite(seconds):
            raise _refuse(path, f"event {number} ({event!r}) is not a Left or Right Foot Strike "
                                "or Foot Off at a finite time")
        checked.append((side, kind, seconds))
    return checked


def _existing(path, group):
    """The EVENT group's events as ``_Entry``s."""
    labels = [str(v) for v in fmt.values(group, "LABELS")]
    flat = fmt.values(group, "TIMES")
    times = np.empty((2, 0))
    if flat or labels:
        dims = group["TIMES"].dims if "TIMES" in group else []
        if len(dims) != 2 or dims[0] < 2 or group["TIMES"].kind != 4:
            raise _refuse(path, f"its EVENT:TIMES is not a table of minutes and seconds "
                                f"(dimensions {dims}), its events cannot be kept")
        times = np.asarray(flat, dtype=np.float64).reshape(-1, dims[0]).T
    if times.shape[1] != len(labels):
        raise _refuse(path, f"its EVENT group has {len(labels)} labels for {times.shape[1]} "
                            "times, its events cannot be kept")

    def column(name, default):
        found = fmt.values(group, name)
        return [found[i] if i < len(found) else default for i in range(len(labels))]

    contexts, descriptions = column("CONTEXTS", ""), column("DESCRIPTIONS", "")
    subjects, icons, flags = column("SUBJECTS", ""), column("ICON_IDS", 0), column("GENERIC_FLAGS", 0)
    with np.errstate(over="ignore", invalid="ignore"):
        seconds = 60.0 * times[0] + times[1]
    return [_Entry(str(contexts[i]), labels[i], str(descriptions[i]), str(subjects[i]),
                   float(seconds[i]), int(icons[i]) if isinstance(icons[i], int) else 0,
                   int(flags[i]) if isinstance(flags[i], int) else 0)
            for i in range(len(labels))]


def _merged(entries, events, subject, frame_rate):
    """``entries`` with ``events`` added, each replacing the events of its side and kind
    within half a frame of it."""
    half = 0.5 / frame_rate
    for side, kind, seconds in events:
        entries = [e for e in entries if not (gait_event(e.context, e.label) == (side, kind)
                                              and abs(e.seconds - seconds) <= half)]
        entries.append(_Entry(side, kind, _DESCRIPTIONS[kind], subject, seconds, _ICONS[kind], 0))
    return entries


def _subject(entries, parameters):
    """The subject new events belong to: that of the file's events, else the first
    SUBJECTS:NAMES, else none."""
    for entry in entries:
        if entry.subject.strip():
            return entry.subject.strip()
    names = [str(n).strip() for n in fmt.values(parameters.get("SUBJECTS", {}), "NAMES")]
    return names[0] if names else ""


def _minutes_seconds(seconds):
    """Whole minutes and the seconds left, as the file keeps a time: the seconds,
    under a minute, keep to 4 microseconds as float32 however long the trial."""
    minutes = math.floor(seconds / 60.0) if seconds >= 60.0 else 0
    return [float(minutes), seconds - 60.0 * minutes]


# -- records ---------------------------------------------------------------------

def _record(owner, name, body, description=b""):
    """A record's bytes with its offset to the next left 0 (``_chain`` sets it)."""
    name = name.encode("ascii")
    return bytearray(bytes([len(name), owner & 0xFF]) + name + b"\0\0" + body
                     + bytes([len(description)]) + description)


def _name_end(raw):
    """Where a record's offset to the next one is (a locked name's length is negative)."""
    return 2 + (raw[0] if raw[0] < 128 else 256 - raw[0])


def _parameter(group_id, name, kind, dims, data):
    return _record(group_id, name, bytes([kind & 0xFF, len(dims)]) + bytes(dims) + data)


def _texts(strings):
    encoded = [s.encode("utf-8") for s in strings]
    width = max([len(e) for e in encoded] + [1])
    return [width], b"".join(e.ljust(width, b" ") for e in encoded)


def _list_records(group_id, entries, numbers):
    """The EVENT group's parameter records for ``entries``."""
    count = len(entries)
    records = [_parameter(group_id, "USED", 2, [], np.array([count], numbers.int16).tobytes())]
    for name in _LISTS:
        if name == "TIMES":
            kind, dims = 4, [2]
            data = numbers.float_words([_minutes_seconds(e.seconds) for e in entries]).tobytes()
        elif name == "ICON_IDS":
            kind, dims = 2, []
            data = np.array([e.icon for e in entries], numbers.int16).tobytes()
        elif name == "GENERIC_FLAGS":
            kind, dims = 1, []
            data = np.array([e.flag for e in entries], np.int8).tobytes()
        else:
            attribute = name[:-1].lower()  # CONTEXTS -> context ...
            kind = -1
            dims, data = _texts([getattr(e, attribute) for e in entries])
        records.append(_parameter(group_id, name, kind, dims + [count], data))
    return records


def _chain(pieces, numbers):
    """The records' bytes with each record's offset to the next set; ``pieces`` are
    (record as read or None for a new one, bytes).  A kept record keeps its offset
    bytes when they already say the right thing."""
    out = bytearray()
    for k, (record, raw) in enumerate(pieces):
        name_end = _name_end(raw)
        following = 0 if k == len(pieces) - 1 else len(raw) - name_end
        if record is None or record.following != following:
            raw[name_end:name_end + 2] = np.array([following & 0xFFFF], numbers.uint16).tobytes()
        out += raw
    return bytes(out)


def _pieces(path, layout, section, entries):
    """The new section's records, (record as read or None, bytes), with the EVENT
    group's parameters rebuilt; and the bytes of the POINT:DATA_START records."""
    numbers = layout.numbers
    try:
        records, _ = fmt.walk_records(section, numbers)
    except fmt.FormatError as exc:  # read once by the layout: only a file changed since
        raise _refuse(path, f"its parameters cannot be read: {exc}") from None
    groups = fmt.group_names(records)
    event_ids = {i for i, name in groups.items() if name == "EVENT"}
    point_ids = {i for i, name in groups.items() if name == "POINT"}
    pieces, starts, event_at = [], [], None
    for record in records:
        if record.following and record.body + record.following < record.end:
            raise _refuse(path, "its parameter records overlap, the section cannot be rebuilt")
        raw = bytearray(section[record.at:record.body + record.following]
                        if record.following else section[record.at:record.end])
        if record.owner in event_ids:
            base = record.name.rstrip("0123456789")
            if record.name in _MANAGED or (base != record.name and base in _LISTS):
                continue  # rebuilt below
        if record.owner in point_ids and record.name == "DATA_START":
            starts.append(raw)
        pieces.append((record, raw))
        if record.owner < 0 and -record.owner in event_ids and event_at is None:
            event_at = len(pieces)
    if event_at is None:
        used = {abs(r.owner) for r in records}
        free = [i for i in range(1, 128) if i not in used]
        if not free:
            raise _refuse(path, "it has no group number left for an EVENT group")
        group_id = free[0]
        pieces.append((None, _record(-group_id, "EVENT", b"")))
        event_at = len(pieces)
    else:
        group_id = -pieces[event_at - 1][0].owner
    pieces[event_at:event_at] = [(None, raw) for raw in _list_records(group_id, entries, numbers)]
    return pieces, starts


def _move_data_start(path, starts, block, numbers):
    """POINT:DATA_START set to ``block`` in its records, in the type each has (a
    16-bit integer as the format has it, a byte or a float as some writers do)."""
    for raw in starts:
        at = _name_end(raw) + 2
        kind, ndims = raw[at], raw[at + 1]
        value = at + 2 + ndims
        if 0 in raw[at + 2:value]:
            continue  # no value: the header's data start is the one read
        if kind == 2:
            word = np.array([block & 0xFFFF], numbers.uint16).tobytes()
        elif kind == 1 and block < 128:
            word = bytes([block])
        elif kind == 4:
            word = numbers.float_words([float(block)]).tobytes()
        else:
            raise _refuse(path, f"its POINT:DATA_START cannot say block {block}, "
                                "the data cannot move there")
        raw[value:value + len(word)] = word


# -- the copy --------------------------------------------------------------------

def _data_checksum(path, start):
    checksum = 0
    with open(path, "rb") as f:
        f.seek(start)
        while True:
            piece = f.read(PIECE_BYTES)
            if not piece:
                return checksum
            checksum = zlib.crc32(piece, checksum)


def write_events(path, target, events):
    """Write a copy of the C3D file ``path`` to ``target`` (``path`` itself to replace
    it) whose EVENT group holds the gait ``events`` besides the file's other events.

    ``events`` are (side, kind, seconds): "Left" or "Right", "Foot Strike" or
    "Foot Off", the time on the file's event clock (frame 1 at 0 s, see
    ``c3d_events.event_time``).  A gait event of the file of that side and
    kind within half a frame of a new one is replaced by it.  New events are
    written as Nexus writes them: context the side, label the kind, its
    description and icon, the subject of the file's events (else its first
    SUBJECTS:NAMES), the time as whole minutes and seconds.  Returns ``target``.

    A file the host cannot read, or whose events cannot all be kept, is a
    ValueError naming it; nothing is written then.  The target is replaced
    only by a complete copy that reads back with these events and the same
    data bytes (``plotvane.files.write_atomically``).
    """
    path, target = os.path.abspath(path), os.path.abspath(target)
    layout = Layout(path)
    events = _checked_events(path, events)
    parameters = layout.parameters
    entries = _existing(path, parameters.get("EVENT", {}))
    subject = _subject(entries, parameters)
    entries = _merged(entries, events, subject, layout.frame_rate)
    if len(entries) > _MAX_EVENTS:
        raise _refuse(path, f"its EVENT group would hold {len(entries)} events, "
                            f"it holds at most {_MAX_EVENTS}")

    at, length = layout.section_bytes
    with open(path, "rb") as f:
        header = bytearray(f.read(fmt.BLOCK))
        before = f.read(at - fmt.BLOCK)  # whatever lies between header and parameters
        section = f.read(length)
    pieces, starts = _pieces(path, layout, section, entries)
    blocks = -(-(4 + sum(len(raw) for _, raw in pieces)) // fmt.BLOCK)
    if blocks > _MAX_BLOCKS:
        raise _refuse(path, f"its parameters with these events would fill {blocks} blocks, "
                            f"a C3D parameter section holds at most {_MAX_BLOCKS}")
    start_block = layout.start // fmt.BLOCK + 1
    if at + fmt.BLOCK * blocks > layout.start:  # the data move on, by whole blocks
        start_block = at // fmt.BLOCK + blocks + 1
        header[_DATA_START_WORD:_DATA_START_WORD + 2] = np.array(
            [start_block], layout.numbers.uint16).tobytes()
        _move_data_start(path, starts, start_block, layout.numbers)
    section = bytearray((section[:4] + _chain(pieces, layout.numbers)).ljust(
        fmt.BLOCK * blocks, b"\0"))
    section[2] = blocks
    gap = fmt.BLOCK * (start_block - 1) - at - len(section)
    checksum = []

    def write(out):
        with open(path, "rb") as f:
            if (os.fstat(f.fileno()).st_size, os.fstat(f.fileno()).st_mtime_ns) != layout.stamp:
                raise _refuse(path, "it changed while it was read, write the events again")
            out.write(header + before + section + b"\0" * gap)
            f.seek(layout.start)
            value = 0
            while True:
                piece = f.read(PIECE_BYTES)
                if not piece:
                    break
                value = zlib.crc32(piece, value)
                out.write(piece)
            checksum.append(value)

    def check(temporary):
        try:
            back = Layout(temporary)
        except ValueError as exc:
            raise RuntimeError(f"{target} did not read back as written ({exc}), "
                               "check the disk and write the events again") from None
        found = read_events(back.parameters, back.header, subject or None, back.frame_rate)
        labels = fmt.values(back.parameters.get("EVENT", {}), "LABELS")
        missing = [e for e in events if event_frame(e[2], back.frame_rate)
                   not in found.frames.get(e[:2], [])]
        if missing or len(labels) != len(entries) or \
                _data_checksum(temporary, back.start) != checksum[0]:
            raise RuntimeError(f"the events or the data of {target} read back wrong, "
                               "check the disk and write the events again")

    return write_atomically(target, write, check)
