"""Where and how a C3D file keeps its samples: one reading of the format.

The header and the parameters both describe the data block: the number of
frames, of points and of analog channels, the analog samples per frame,
float or integer storage and the block the data start at.  Writers get one
or the other wrong (a header counting analog channels where it should count
words, a parameter section longer than it declares), and a damaged file
gets any of them wrong.  The data block's size per frame follows from
those numbers, so the file's size tells which of them hold:

- when header and parameters agree, the layout they give is read if the
  file holds it (it may hold more: some writers append a frame or padding);
- when they disagree, the layout that fills the file exactly (up to one
  block of padding) is read, with one warning line naming what disagreed
  and what was read; of several that fit, the one most of the file's
  statements agree with (header, parameters, the length of the label
  lists), then the one leaving least of the file over, then the one the
  reference library ezc3d reads (parameters for counts and rates, the
  header for the storage and the data start);
- when no layout fits, or the data would start inside the parameters, or a
  rate is not a finite positive number, the file is refused naming the
  values, and nothing is read or allocated for it.

How the samples are stored in the block so found, and read and written, is
``c3d_samples``'.
"""

import math
import os
from collections import namedtuple
from itertools import product

from quorvaemg_host import c3d_format as fmt
from quorvaemg_host.c3d_samples import Samples, damaged

_MAX_SECTION_BLOCKS = 255  # what the section's own block count can say
_RATE_TOLERANCE = 1e-5

# One way of reading the data block.
_Shape = namedtuple("_Shape", "frames points analogs ratio is_float start")
_FIELDS = {"frames": "frames", "points": "points", "analogs": "analog channels",
           "ratio": "analog samples per frame", "is_float": "storage", "start": "data start"}


def _frame_ranges(header, trial):
    """(frames, first frame) of the header and of TRIAL's 32-bit range (None when the
    file gives none): the header's frame numbers stop at 65535.

    A first frame of 0 counts as 1, as the reference library takes it; a trial of no
    frames ends one before its first."""
    first, last = max(header.first_frame, 1), header.last_frame
    ranges = [(last - first + 1, first)]
    start, end = fmt.values(trial, "ACTUAL_START_FIELD"), fmt.values(trial, "ACTUAL_END_FIELD")
    words = [_whole(w) for w in start[:2] + end[:2]]
    if len(words) == 4 and all(w is not None and w >= 0 for w in words):
        first = (words[0] & 0xFFFF) + ((words[1] & 0xFFFF) << 16)
        last = (words[2] & 0xFFFF) + ((words[3] & 0xFFFF) << 16)
        ranges.append((last - first + 1, first))
    else:
        ranges.append(None)
    return ranges


_HEADER_WORDS = "the header"


def _declares(blocks):
    return f"its parameter section declares {blocks} block{'' if blocks == 1 else 's'}"


def _shown(field, value):
    return ("float" if value else "integer") if field == "is_float" else value


def _said(field, pairs):
    """What each source says of a field, e.g. "ANALOG:USED 16, the header (16 words per
    frame)": the header's analog words are said once, whatever the samples per frame."""
    said = []
    for source, value in pairs:
        text = source if field == "analogs" and source.startswith(_HEADER_WORDS) \
            else f"{source} {_shown(field, value)}"
        if text not in said:
            said.append(text)
    return ", ".join(said)


def _whole(value):
    """A count stored as a parameter: 16-bit integers beyond 32767 read as negative;
    None for what is no number."""
    if isinstance(value, float):
        return int(round(value)) if math.isfinite(value) and value >= 0 else -1
    if isinstance(value, int):
        return value & 0xFFFF if value < 0 else value
    return None


def _rate(parameters, group, path):
    """GROUP:RATE: None when absent; refused when not a finite positive number."""
    value = fmt.first(parameters.get(group, {}), "RATE")
    if value is None:
        return None
    if not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
        raise damaged(path, f"{group}:RATE is {value}, not a sampling rate")
    return float(value)


def _used(group):
    """GROUP:USED as stored (a negative count is no count)."""
    value = fmt.first(group, "USED")
    return value if isinstance(value, int) else None


class Layout(Samples):
    """A C3D file's header, parameters and where and how it stores its samples.

    Per frame the data block holds the points (4 words each) and then
    ``ratio`` sub-frames of one word per analog channel; a word is a 4-byte
    float or a 2-byte integer in the processor's format.  ``warnings`` are
    the lines to show for what was read despite a disagreement.
    """

    def __init__(self, path):
        self.path = path
        self.warnings = []
        with open(path, "rb") as f:
            stat = os.fstat(f.fileno())
            self.stamp = (stat.st_size, stat.st_mtime_ns)
            self.size = stat.st_size
            header = f.read(fmt.BLOCK)
            if len(header) < fmt.BLOCK and header[1:2] == b"\x50":
                raise damaged(path, "its header is cut short")
            if len(header) < fmt.BLOCK or header[1] != 0x50 or header[0] < 2:
                raise ValueError(f"{path}: not a readable C3D file (it has no C3D header), "
                                 "give a C3D trial file")
            self._read_parameters(f, header)
        self._resolve()
        self._read_analog_factors()

    # -- header and parameters -------------------------------------------------

    def _read_parameters(self, f, raw_header):
        at = fmt.BLOCK * (raw_header[0] - 1)
        f.seek(at)
        head = f.read(4)
        if len(head) < 4:
            raise damaged(self.path, "its parameter section is cut short")
        try:
            self.processor = fmt.processor_of(head)
        except fmt.FormatError as exc:
            raise damaged(self.path, str(exc)) from None
        self.numbers = fmt.Numbers(self.processor)
        self.header = fmt.read_header(raw_header, self.numbers)
        declared = head[2]
        # The section's own count is short in some writers' files: the header's
        # data start bounds it too.
        blocks = declared
        if self.header.data_start > raw_header[0]:
            blocks = max(blocks, self.header.data_start - raw_header[0])
        blocks = blocks or _MAX_SECTION_BLOCKS
        available = max(self.size - at, 0)
        f.seek(at)
        section = f.read(min(fmt.BLOCK * blocks, available))
        try:
            self.parameters, used = fmt.read_parameters(section, self.numbers)
        except fmt.FormatError as exc:
            if len(section) == available and fmt.BLOCK * blocks > available:
                raise damaged(self.path, "its parameter section is cut short") from None
            raise damaged(self.path, f"its parameters cannot be read: {exc}") from None
        self.parameters_end = at + used
        self.section_bytes = (at, len(section))  # what was read as the section, for a rewrite
        filled = -(-used // fmt.BLOCK)
        self.declared = (declared, at + fmt.BLOCK * declared)
        if filled > declared:
            self.warnings.append(f"{_declares(declared)}, its parameters fill {filled}: read "
                                 "to their end")

    # -- the layout ------------------------------------------------------------

    def _candidates(self):
        """{field: [(source, value)]}, in the reference library's order of preference."""
        header, point = self.header, self.parameters.get("POINT", {})
        analog = self.parameters.get("ANALOG", {})
        in_header, in_trial = _frame_ranges(header, self.parameters.get("TRIAL", {}))
        self.first_frame = (in_trial or in_header)[1]
        long_trial = in_trial is not None and in_trial[0] + in_trial[1] - 1 > 0xFFFF
        counted = _whole(fmt.first(point, "FRAMES"))
        if counted == 0 or (long_trial and counted == 0xFFFF):
            counted = None  # not given, or the 16-bit count's "more than it holds"
        frames = [("POINT:FRAMES", counted)]
        if in_trial is not None:
            frames.append(("TRIAL:ACTUAL_START_FIELD/END_FIELD", in_trial[0]))
        if not (long_trial and header.last_frame == 0xFFFF):
            frames.append(("the header", in_header[0]))
        self.frame_rate = _rate(self.parameters, "POINT", self.path)
        self.analog_rate = _rate(self.parameters, "ANALOG", self.path)
        header_rate = header.rate if math.isfinite(header.rate) and header.rate > 0 else None
        ratios = [("the header", header.ratio)]
        rate = self.frame_rate or header_rate
        if self.analog_rate is not None and rate:
            exact = self.analog_rate / rate
            ratios.insert(0, ("ANALOG:RATE / POINT:RATE",
                              int(round(exact)) if abs(exact - round(exact)) < 1e-3 else int(exact)))
        # The header counts analog words per frame: channels x samples per frame.
        words = f"{_HEADER_WORDS} ({header.analog_words} words per frame)"
        analogs = [(words, header.analog_words // r if header.analog_words % r == 0
                    else header.analog_words / r) for _, r in ratios if r > 0]
        if not analogs and header.analog_words == 0:
            analogs.append((words, 0))
        point_scale = fmt.first(point, "SCALE")
        start = _whole(fmt.first(point, "DATA_START"))
        found = {
            "frames": frames,
            "points": [("POINT:USED", _used(point)),
                       ("the header", header.points)],
            "analogs": [("ANALOG:USED", _used(analog))] + analogs,
            "ratio": ratios,
            "is_float": [("the header", header.scale < 0)]
                        + ([("POINT:SCALE", point_scale < 0)]
                           if isinstance(point_scale, float) else []),
            "start": [("the header", header.data_start),
                      ("POINT:DATA_START", start or None)],
        }
        # Lists as long as the channel count speak for that count too.
        self._lengths = {"analogs": len(fmt.values(analog, "LABELS")),
                         "points": len(fmt.values(point, "LABELS"))}
        return {field: list(dict.fromkeys((s, v) for s, v in pairs if v is not None))
                for field, pairs in found.items()}

    def _support(self, shape, found):
        """How many of the file's statements a way of reading it agrees with."""
        agree = sum(v == getattr(shape, field) for field, pairs in found.items()
                    for _, v in pairs)
        return agree + sum(self._lengths[field] == getattr(shape, field)
                           for field in self._lengths)

    def _rest(self, shape):
        """Bytes of the file after the data block read as ``shape``; None when that
        reading does not fit the file (outside it, overlapping the parameters,
        or with counts no file can have)."""
        if min(shape.frames, shape.points, shape.analogs, shape.start - 1) < 0 \
                or not isinstance(shape.analogs, int) or (shape.analogs and shape.ratio < 1):
            return None
        start = fmt.BLOCK * (shape.start - 1)
        end = start + shape.frames * self.frame_bytes(shape)
        return self.size - end if start >= self.parameters_end and end <= self.size else None

    @staticmethod
    def frame_bytes(shape):
        return (4 * shape.points + shape.ratio * shape.analogs) * (4 if shape.is_float else 2)

    def _resolve(self):
        found = self._candidates()
        for field in _FIELDS:
            if not found[field]:
                raise damaged(self.path, f"it gives no {_FIELDS[field]}")
        reference = _Shape(**{field: pairs[0][1] for field, pairs in found.items()})
        shapes = {_Shape(*values) for values in product(
            *[[v for _, v in found[field]] for field in _FIELDS])}
        rest = {shape: self._rest(shape) for shape in shapes}
        # Most agreed with first; then the one that fills the file best; then the
        # reference library's reading.
        fitting = sorted((s for s in shapes if rest[s] is not None), key=lambda s: (
            -self._support(s, found), rest[s], sum(a != b for a, b in zip(s, reference)), s))
        sizes = {(s.start, s.frames * self.frame_bytes(s)) for s in shapes}
        if len(sizes) == 1 and fitting:  # they agree on the data block's place and size
            chosen = fitting[0]
        else:  # exactly: up to the padding of the last block (ezc3d writes a whole one)
            exact = [s for s in fitting if rest[s] <= fmt.BLOCK]
            if not exact:
                raise self._no_layout(found, reference)
            chosen = exact[0]
        self._note_disagreements(found, chosen)
        self.frames, self.points, self.analogs = chosen.frames, chosen.points, chosen.analogs
        self.ratio, self.is_float = chosen.ratio, chosen.is_float
        self.word = 4 if chosen.is_float else 2
        self.first_analog_word = 4 * chosen.points
        self.frame_words = self.first_analog_word + chosen.ratio * chosen.analogs
        self.start = fmt.BLOCK * (chosen.start - 1)
        declared, declared_end = self.declared
        if self.parameters_end <= declared_end and self.start < declared_end:
            self.warnings.append(f"{_declares(declared)}, its data start at block "
                                 f"{chosen.start}: parameters read to their end")
        self._resolve_rates()

    def _no_layout(self, found, reference):
        disagreeing = [f"{_FIELDS[field]}: {_said(field, pairs)}"
                       for field, pairs in found.items() if len({v for _, v in pairs}) > 1]
        if not disagreeing:
            start = fmt.BLOCK * (reference.start - 1)
            if start < self.parameters_end:
                return damaged(self.path, f"its data start at block {reference.start}, inside "
                                          "its parameter section")
            if reference.frames < 0:
                return damaged(self.path, "its last frame comes before its first")
            held = max(self.size - start, 0) // max(self.frame_bytes(reference), 1)
            return damaged(self.path, f"it declares {reference.frames} frames, holds {held}")
        return damaged(self.path, "its header and parameters disagree ("
                       + "; ".join(disagreeing) + ") and its size fits none of their layouts")

    def _note_disagreements(self, found, chosen):
        notes = []
        for field, pairs in found.items():
            if field == "ratio" and not chosen.analogs:
                continue  # no analog channel to sample
            if len({v for _, v in pairs}) > 1:
                value = _shown(field, getattr(chosen, field))
                notes.append(f"{_FIELDS[field]}: {_said(field, pairs)}, read {value}")
        if notes:
            self.warnings.append("its header and parameters disagree (" + "; ".join(notes)
                                 + "): read as the file's size holds")

    def _resolve_rates(self):
        """The point and analog rates: the parameters', else the header's, and
        consistent with the analog samples per frame read."""
        header_rate = self.header.rate if math.isfinite(self.header.rate) \
            and self.header.rate > 0 else None
        rates = [r for r in (self.frame_rate, header_rate) if r is not None]
        if not rates:
            if self.frames:
                raise damaged(self.path, "it gives no point rate (POINT:RATE nor the header's)")
            rates = [1.0]
        if self.analogs == 0 or self.analog_rate is None:
            self.frame_rate = rates[0]
            self.analog_rate = self.frame_rate * self.ratio
        else:
            self._match_analog_rate(rates)
        said = self.header.rate
        if self.frame_rate is not None and not abs(said - self.frame_rate) <= (
                _RATE_TOLERANCE * self.frame_rate):
            self.warnings.append(f"its header gives a frame rate of {said:g} Hz, its "
                                 f"parameters {self.frame_rate:g} Hz: read at {self.frame_rate:g} Hz")

    def _match_analog_rate(self, rates):
        """The frame rate of ``rates`` that makes ANALOG:RATE at the samples per frame
        read; when none does, the analog rate those make."""
        for rate in rates:
            if abs(rate * self.ratio - self.analog_rate) <= _RATE_TOLERANCE * self.analog_rate:
                if rate != rates[0]:
                    self.warnings.append(f"POINT:RATE is {rates[0]:g} Hz, but ANALOG:RATE "
                                         f"{self.analog_rate:g} Hz at {self.ratio} samples per "
                                         f"frame makes it {rate:g} Hz, as the header says: "
                                         f"read at {rate:g} Hz")
                self.frame_rate = rate
                return
        derived = rates[0] * self.ratio
        self.warnings.append(f"ANALOG:RATE is {self.analog_rate:g} Hz, but {self.ratio} "
                             f"samples per frame at {rates[0]:g} Hz make {derived:g} Hz: "
                             f"read at {derived:g} Hz")
        self.frame_rate, self.analog_rate = rates[0], derived
