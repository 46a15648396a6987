"""The C3D format itself: how a file's processor stores numbers, its header,
its parameter section.

A C3D file is 512-byte blocks: the header (block 1), the parameter section
(from the block the header's first byte names), the data block.  Intel (84)
and DEC (85) files keep 16-bit integers little-endian, MIPS (86) files
big-endian; floats are IEEE singles on Intel and MIPS (little- and
big-endian) and VAX F-floats with swapped 16-bit halves on DEC.  The
processor type is the parameter section's fourth byte, so the section's
place is read before anything else.

Parameters are records chained by the offset each gives to the next: a
group (negative id) or a parameter of a group (positive id) with its type
(-1 text, 1 byte, 2 16-bit integer, 4 float), dimensions and values.  Every
read here is bounded by the bytes at hand: a record or a value list that
would run past them is refused before anything is made of it.
"""

import struct
from collections import namedtuple
from functools import reduce
from operator import mul

import numpy as np

INTEL, DEC, MIPS = 84, 85, 86
PROCESSORS = {INTEL: "Intel", DEC: "DEC", MIPS: "MIPS (big-endian)"}
BLOCK = 512

Parameter = namedtuple("Parameter", "kind dims values")
Header = namedtuple("Header", "parameter_block points analog_words first_frame last_frame "
                              "scale data_start ratio rate event_count event_times "
                              "event_labels")


class FormatError(ValueError):
    """Bytes that are not what the format allows there."""


class Numbers:
    """How a file's processor stores 16-bit integers and 32-bit floats."""

    def __init__(self, processor):
        self.processor = processor
        order = ">" if processor == MIPS else "<"
        self.int16 = np.dtype(order + "i2")
        self.uint16 = np.dtype(order + "u2")
        self.ieee = np.dtype(order + "f4")

    def floats(self, raw):
        """float32 values of 4-byte words (uint8 array ``(..., 4)``)."""
        raw = np.ascontiguousarray(raw)
        if self.processor == DEC:  # swap the 16-bit halves and take 2 off the exponent (divide by 4)
            ieee = raw[..., [2, 3, 0, 1]].copy()
            ieee[..., 3] = np.where(ieee[..., 3] != 0, ieee[..., 3] - 1, 0)
            return ieee.view("<f4").reshape(raw.shape[:-1])
        return raw.view(self.ieee).reshape(raw.shape[:-1]).astype(np.float32)

    def float_words(self, values):
        """4-byte words ``(n, 4)`` of float32 values; refuses what DEC floats cannot hold."""
        ieee = np.asarray(values).astype("<f4").view(np.uint8).reshape(-1, 4)
        if self.processor == INTEL:
            return ieee
        if self.processor == MIPS:
            return ieee[:, ::-1].copy()
        if np.any((ieee[:, 3] & 0x7F) == 0x7F):  # VAX floats have no room above 2**126
            raise ValueError("values out of the DEC float range")
        words = ieee[:, [2, 3, 0, 1]].copy()
        words[:, 1] = np.where(ieee[:, 3] != 0, ieee[:, 3] + 1, 0)
        return words

    def integers(self, data, unsigned=False):
        return np.frombuffer(data, dtype=self.uint16 if unsigned else self.int16)

    def integer(self, data, at):
        return int(np.frombuffer(data, self.int16, 1, at)[0])

    def swapped(self, data, at):
        """The 16-bit integer at ``at`` read in the other byte order."""
        return int(np.frombuffer(data, self.int16.newbyteorder(), 1, at)[0])

    def float(self, data, at):
        with np.errstate(invalid="ignore"):  # a signalling NaN stays a NaN
            return float(self.floats(np.frombuffer(data, np.uint8, 4, at).reshape(1, 4))[0])


def processor_of(section):
    """The processor type of the parameter section's first bytes; refuses others."""
    processor = section[3]
    if processor not in PROCESSORS:
        raise FormatError(f"its parameter section names processor type {processor}, "
                          "which is none of Intel (84), DEC (85) and MIPS (86)")
    return processor


def read_header(raw, numbers):
    """The header block's fields (``Header``)."""
    def word(k):  # the format counts 16-bit words from 1
        return int(np.frombuffer(raw, numbers.uint16, 1, 2 * (k - 1))[0])

    count = word(151)
    labels = [text(raw[396 + 4 * i:400 + 4 * i]) for i in range(18)]
    times = numbers.floats(np.frombuffer(raw, np.uint8, 72, 304).reshape(18, 4))
    return Header(parameter_block=raw[0], points=word(2), analog_words=word(3),
                  first_frame=word(4), last_frame=word(5), scale=numbers.float(raw, 12),
                  data_start=word(9), ratio=word(10), rate=numbers.float(raw, 20),
                  event_count=count, event_times=[float(t) for t in times],
                  event_labels=labels)


def text(raw):
    """A string of the file without its NUL padding and trailing blanks, as labels are
    compared: ASCII by the format, but labels typed with accents come as UTF-8 from
    newer software and as Latin-1 from older."""
    raw = bytes(raw).replace(b"\x00", b"")
    try:
        value = raw.decode("utf-8")
    except UnicodeDecodeError:
        value = raw.decode("latin-1")
    return value.rstrip(" ")


def _count(dims):
    return reduce(mul, dims, 1)


def _values(section, at, kind, dims, numbers):
    width = abs(kind)
    if width not in (1, 2, 4):
        raise FormatError(f"a parameter has the unknown data type {kind}")
    count = _count(dims)
    if at + count * width > len(section):
        raise FormatError("a parameter's values run past the end of its section")
    data = bytes(section[at:at + count * width])
    if kind == -1:
        step = dims[0] if dims else 1
        return [text(data[i:i + step]) for i in range(0, len(data), step)] if step else []
    if kind == 1:
        return np.frombuffer(data, np.int8).tolist()
    if kind == 2:
        return numbers.integers(data).tolist()
    with np.errstate(invalid="ignore"):  # a signalling NaN of a damaged file stays a NaN
        return numbers.floats(np.frombuffer(data, np.uint8).reshape(-1, 4)).astype(
            np.float64).tolist()


Record = namedtuple("Record", "at body end following owner name parameter")
Record.__doc__ = """One parameter record: where it starts (``at``), where its offset to the
next record is (``body``), the end of its own bytes, that offset as read (0 for
the last record), its owner (negative: a group record, its id negated), its
upper-case name and, for a parameter, its ``Parameter``."""


def walk_records(section, numbers):
    """The records of ``section`` (its bytes from its first byte, as many as may belong
    to it) in the order they are chained, and the bytes the records use.

    Refuses a record or a value list that runs past the bytes at hand, and an
    offset that points outside them."""
    records = []
    at, end = 4, 4
    while at + 2 <= len(section):
        length, owner = struct.unpack_from("<bb", section, at)
        if length == 0:
            break
        body = at + 2 + abs(length)
        if body + 2 > len(section):
            raise FormatError("a parameter runs past the end of its section")
        name = bytes(section[at + 2:body]).decode("latin-1").upper()
        following = numbers.integer(section, body)
        parameter = None
        if owner < 0:
            end = body + 3 + (section[body + 2] if body + 2 < len(section) else 0)
        else:
            if body + 4 > len(section):
                raise FormatError("a parameter runs past the end of its section")
            kind = struct.unpack_from("<b", section, body + 2)[0]
            ndims = section[body + 3]
            dims = list(section[body + 4:body + 4 + ndims])
            if len(dims) != ndims:
                raise FormatError("a parameter runs past the end of its section")
            values = _values(section, body + 4 + ndims, kind, dims, numbers)
            parameter = Parameter(kind, dims, values)
            data_end = body + 4 + ndims + abs(kind) * _count(dims)
            end = data_end + 1 + (section[data_end] if data_end < len(section) else 0)
        if following == 0:
            records.append(Record(at, body, end, 0, owner, name, parameter))
            break
        if body + following != end and numbers.swapped(section, body) == end - body:
            following = end - body  # one writer's big-endian files give a few in Intel order
        if following < 0:  # an offset beyond 32 KiB reads as negative
            following += 1 << 16
            if body + following > len(section):
                raise FormatError("a parameter points back to an earlier one")
        if body + following > len(section):
            raise FormatError("a parameter points past the end of its section")
        records.append(Record(at, body, end, following, owner, name, parameter))
        at = body + following
        end = max(end, at)
    return records, min(end, len(section))


def group_names(records):
    """{group id: name} of the group records among ``records``."""
    return {-record.owner: record.name for record in records if record.owner < 0}


def read_parameters(section, numbers):
    """The parameters of ``section`` (the section's bytes from its first byte, as many
    as may belong to it): ({GROUP: {NAME: Parameter}}, bytes the records use).

    Names are upper case; of two parameters of one name the later counts.
    """
    records, end = walk_records(section, numbers)
    groups = group_names(records)
    parameters = {name: {} for name in groups.values()}
    for record in records:
        if record.owner >= 0 and record.owner in groups:
            parameters[groups[record.owner]][record.name] = record.parameter
    return parameters, end


def values(group, name):
    """A parameter's values, joined over NAME, NAME2, NAME3 ... as C3D splits long lists."""
    joined, key, number = [], name, 1
    while key in group:
        joined.extend(group[key].values)
        number += 1
        key = f"{name}{number}"
    return joined


def first(group, name, default=None):
    """The first value of a parameter, or ``default`` when it has none."""
    found = values(group, name)
    return found[0] if found else default
