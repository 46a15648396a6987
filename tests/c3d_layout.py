"""A test-side map of a C3D file, written from the format alone.

``C3DMap`` finds the header's fixed fields and, by walking the parameter
records, where each (GROUP, NAME) parameter's type, dimensions and value
bytes lie, so that a test can edit a real file in place: a header word, a
parameter's value or dimension, a record's offset.  ``Numbers`` reads and
writes numbers in the file's processor format (Intel, DEC, MIPS).

``layouts`` says what the header and the parameters declare of the data
block: every combination of their counts that forms a layout, and how each
fits the file's size.  It knows nothing of the host's reader; it is what the
fuzz test holds the reader to.

File structure: block 1 is the header; ``512 * (b - 1)`` is where block b
starts.  The header gives the parameter block (byte 0; byte 1 is 0x50), then
16-bit words: points (word 2), analog words per frame (3), first and last
frame (4, 5), maximum gap (6), scale (7-8, a float; negative: float storage),
data start block (9), analog samples per frame (10), frame rate (11-12, a
float); its event block holds the event count (byte 300), 18 times (304..),
18 display flags (376..) and 18 four-character labels (396..).  The
parameter section starts with 4 bytes (byte 2: its declared block count,
byte 3: the processor type); then records: an int8 name length (negative:
locked), an int8 id (negative: a group), the name, an int16 offset to the
next record counted from the offset's own position (0: the last record),
and for a parameter an int8 type (-1 char, 1 byte, 2 int16, 4 float), a
uint8 dimension count, the dimensions and the data; then a description
length and text.
"""

import math
import struct
from collections import namedtuple

BLOCK = 512
INTEL, DEC, MIPS = 84, 85, 86
PROCESSORS = {INTEL: "Intel", DEC: "DEC", MIPS: "MIPS"}

# Header fields: name -> (byte offset, kind).
HEADER_FIELDS = {
    "parameter block": (0, "u8"),
    "points": (2, "u16"),
    "analog words per frame": (4, "u16"),
    "first frame": (6, "u16"),
    "last frame": (8, "u16"),
    "max gap": (10, "u16"),
    "scale": (12, "float"),
    "data start": (16, "u16"),
    "analog samples per frame": (18, "u16"),
    "frame rate": (20, "float"),
    "event count": (300, "u16"),
}
EVENT_TIMES, EVENT_DISPLAY, EVENT_LABELS, EVENT_SLOTS = 304, 376, 396, 18
KINDS = {-1: 1, 1: 1, 2: 2, 4: 4}  # parameter type -> bytes per value


class Unreadable(ValueError):
    """A file whose header or parameter records cannot be followed."""


class Numbers:
    """Numbers in one processor's format.  DEC floats are VAX F-floats stored
    with their 16-bit halves swapped; VAX F has no NaN or infinity: its
    reserved operand (sign set, exponent 0) stands for NaN here, and
    infinity is written as the largest VAX number."""

    def __init__(self, processor):
        self.processor = processor
        self.order = ">" if processor == MIPS else "<"

    def int16(self, value):
        return struct.pack(self.order + "h", (int(value) + 0x8000) % 0x10000 - 0x8000)

    def uint16(self, value):
        return struct.pack(self.order + "H", int(value) % 0x10000)

    def read_int16(self, data, at):
        return struct.unpack_from(self.order + "h", data, at)[0]

    def read_uint16(self, data, at):
        return struct.unpack_from(self.order + "H", data, at)[0]

    def float(self, value):
        if self.processor != DEC:
            return struct.pack(self.order + "f", value)
        if math.isnan(value):
            bits = 0x80000000
        elif math.isinf(value) or abs(value) >= 2.0 ** 127:
            bits = 0x7FFFFFFF | (0x80000000 if value < 0 else 0)
        else:
            bits = struct.unpack("<I", struct.pack("<f", value * 4.0))[0]
        raw = struct.pack("<I", bits)
        return raw[2:4] + raw[0:2]

    def read_float(self, data, at):
        raw = bytes(data[at:at + 4])
        if self.processor != DEC:
            return struct.unpack(self.order + "f", raw)[0]
        bits = struct.unpack("<I", raw[2:4] + raw[0:2])[0]
        sign, exponent, fraction = bits >> 31, (bits >> 23) & 0xFF, bits & 0x7FFFFF
        if exponent == 0:
            return float("nan") if sign else 0.0
        return (-1.0) ** sign * (1.0 + fraction / 2.0 ** 23) * 2.0 ** (exponent - 129)

    def encode(self, kind, value):
        """The bytes of one value of a parameter of type ``kind``; integers wrap."""
        if kind == 4:
            return self.float(value)
        if kind == 2:
            return self.int16(value)
        if kind == 1:
            return struct.pack("b", (int(value) + 0x80) % 0x100 - 0x80)
        raise ValueError("no number is stored in a parameter of type %d" % kind)


Parameter = namedtuple("Parameter", "group name record offset_at kind dims data size values")
Parameter.__doc__ = """One parameter record: where it starts (``record``), where its offset
to the next record is (``offset_at``), its type, dimensions, the offset and length of its
value bytes, and its values (numbers, or strings of width dims[0] for text)."""

Record = namedtuple("Record", "name group record offset_at offset end")


class C3DMap:
    """The header fields and parameter records of a C3D file's bytes.

    Raises ``Unreadable`` when the header is not a C3D header or the records
    cannot be followed (one runs past the end of the file or back to an
    earlier one, or has an unknown type).
    """

    def __init__(self, data):
        self.data = bytes(data)
        self.size = len(self.data)
        if self.size < BLOCK or self.data[1] != 0x50:
            raise Unreadable("no C3D header")
        self.parameter_block = self.data[0]
        self.section = BLOCK * (self.parameter_block - 1)
        if self.parameter_block < 2 or self.section + 4 > self.size:
            raise Unreadable("the header points to no parameter section")
        self.declared_blocks = self.data[self.section + 2]
        self.processor = self.data[self.section + 3]
        if self.processor not in PROCESSORS:
            raise Unreadable("processor type %d" % self.processor)
        self.numbers = Numbers(self.processor)
        self.records = []
        self.parameters = {}
        self._walk()
        records_end = max([r.end for r in self.records] + [self.section + 4])
        self.section_end = max(self.section + BLOCK * self.declared_blocks, records_end)

    # -- header -------------------------------------------------------------------

    def header(self, name):
        at, kind = HEADER_FIELDS[name]
        if kind == "u8":
            return self.data[at]
        if kind == "u16":
            return self.numbers.read_uint16(self.data, at)
        return self.numbers.read_float(self.data, at)

    def header_bytes(self, name, value):
        """(offset, bytes) that set the header field ``name`` to ``value``."""
        at, kind = HEADER_FIELDS[name]
        if kind == "u8":
            return at, bytes([int(value) % 256])
        if kind == "u16":
            return at, self.numbers.uint16(value)
        return at, self.numbers.float(value)

    # -- parameters ---------------------------------------------------------------

    def _walk(self):
        data, numbers, size = self.data, self.numbers, self.size
        groups, members = {}, []
        at = self.section + 4
        while True:
            if at + 2 > size:
                raise Unreadable("a parameter record starts past the end of the file")
            length, owner = struct.unpack_from("bb", data, at)
            if length == 0:
                break
            name = data[at + 2:at + 2 + abs(length)].decode("latin-1").upper()
            offset_at = at + 2 + abs(length)
            if offset_at + 3 > size:
                raise Unreadable("record %s runs past the end of the file" % name)
            offset = numbers.read_int16(data, offset_at)
            body = offset_at + 2
            if owner < 0:
                groups[-owner] = name
            else:
                kind, ndims = struct.unpack_from("bB", data, body)
                if kind not in KINDS:
                    raise Unreadable("parameter %s has the data type %d" % (name, kind))
                dims = list(data[body + 2:body + 2 + ndims])
                first = body + 2 + ndims
                count = 1
                for dim in dims:
                    count *= dim
                width = count * KINDS[kind]
                if first + width + 1 > size:
                    raise Unreadable("parameter %s runs past the end of the file" % name)
                members.append((owner, name, at, offset_at, kind, dims, first, width))
                body = first + width
            end = body + 1 + data[body]
            if end > size:
                raise Unreadable("record %s runs past the end of the file" % name)
            self.records.append(Record(name, owner, at, offset_at, offset, end))
            if offset == 0:
                break
            if offset < 0:
                raise Unreadable("record %s points back to an earlier one" % name)
            at = offset_at + offset
        for owner, name, at, offset_at, kind, dims, first, width in members:
            group = groups.get(owner)
            if group is not None and (group, name) not in self.parameters:
                values = self._values(kind, dims, self.data[first:first + width])
                self.parameters[(group, name)] = Parameter(group, name, at, offset_at, kind,
                                                           dims, first, width, values)

    def _values(self, kind, dims, raw):
        if kind == -1:
            width = dims[0] if dims else 1
            if width == 0:
                return []
            return [raw[i:i + width].decode("latin-1") for i in range(0, len(raw), width)]
        step = KINDS[kind]
        if kind == 1:
            return list(struct.unpack("%db" % len(raw), raw))
        if kind == 2:
            return [self.numbers.read_int16(raw, i) for i in range(0, len(raw), step)]
        return [self.numbers.read_float(raw, i) for i in range(0, len(raw), step)]

    def get(self, group, name):
        return self.parameters.get((group, name))

    def first(self, group, name, default=None):
        """The parameter's first value, or ``default`` when it is missing or empty."""
        parameter = self.get(group, name)
        return parameter.values[0] if parameter is not None and parameter.values else default

    def value_bytes(self, group, name, index, value):
        """(offset, bytes) that set value ``index`` of a numeric parameter to ``value``."""
        parameter = self.parameters[(group, name)]
        width = KINDS[parameter.kind]
        return parameter.data + index * width, self.numbers.encode(parameter.kind, value)

    # -- the data block -----------------------------------------------------------

    def data_block(self):
        """(offset, end) of the data block as the header places it, within the file."""
        start = BLOCK * (self.header("data start") - 1)
        return max(start, 0), self.size


Layout = namedtuple("Layout", "start points analogs ratio frames word")
Layout.__doc__ = """A data block: its start block, points, analog channels, analog samples per
frame, frames and bytes per word (4: float storage, 2: 16-bit integers)."""


def frame_bytes(layout):
    return (4 * layout.points + layout.analogs * layout.ratio) * layout.word


def slack(layout, size):
    """Bytes of the file after the layout's data block (negative: it does not hold it)."""
    return size - BLOCK * (layout.start - 1) - layout.frames * frame_bytes(layout)


def analog_mask(layout, size):
    """Per byte of a file of ``size`` bytes: True where the layout keeps analog samples."""
    import numpy as np

    mask = np.zeros(size, dtype=bool)
    per_frame = frame_bytes(layout)
    first = 4 * layout.points * layout.word
    start = BLOCK * (layout.start - 1)
    frames = mask[start:start + layout.frames * per_frame].reshape(-1, per_frame)
    frames[:, first:] = True
    return mask


class Declared:
    """What a file's header and parameters declare of its data block.

    ``says`` maps each quantity to the distinct values declared for it, each
    with who declares it ("header" or the parameter); ``disputes`` lists the
    quantities on which header and parameters disagree; ``layouts`` is every
    valid combination of the declared values; ``rates`` the declared rates.
    A combination is valid when its counts are whole and not negative and
    its data block starts after the header and the parameter section (as
    declared, or as far as its records run, whichever is longer).
    """

    def __init__(self, c3d):
        self.c3d = c3d
        header = c3d.header
        point_rate = c3d.first("POINT", "RATE")
        analog_rate = c3d.first("ANALOG", "RATE")
        self.rates = [("header frame rate", header("frame rate"))]
        self.rates += [(who, rate) for who, rate in (("POINT:RATE", point_rate),
                                                     ("ANALOG:RATE", analog_rate))
                       if rate is not None]
        frame_rate = point_rate if point_rate is not None else header("frame rate")

        says = {}

        def declare(quantity, who, value):
            if value is not None:
                says.setdefault(quantity, {}).setdefault(value, who)

        declare("data start", "header", header("data start"))
        declare("data start", "POINT:DATA_START", _unsigned(c3d.first("POINT", "DATA_START")))
        declare("points", "header", header("points"))
        declare("points", "POINT:USED", _whole(c3d.first("POINT", "USED")))
        declare("ratio", "header", header("analog samples per frame"))
        if analog_rate is not None and _positive(analog_rate) and _positive(frame_rate):
            ratio = analog_rate / frame_rate
            if abs(ratio - round(ratio)) <= 1e-6 * ratio:  # whole, but for rounding
                declare("ratio", "ANALOG:RATE / POINT:RATE", int(round(ratio)))
        declare("frames", "header", header("last frame") - header("first frame") + 1)
        declare("frames", "POINT:FRAMES", _unsigned(c3d.first("POINT", "FRAMES")))
        start, end = c3d.get("TRIAL", "ACTUAL_START_FIELD"), c3d.get("TRIAL", "ACTUAL_END_FIELD")
        if start is not None and end is not None and len(start.values) >= 2 \
                and len(end.values) >= 2:
            declare("frames", "TRIAL:ACTUAL_END_FIELD", _field(end.values) - _field(start.values) + 1)
        declare("storage", "header", 4 if header("scale") < 0 else 2)
        point_scale = _number(c3d.first("POINT", "SCALE"))
        if point_scale is not None and point_scale != 0 and not math.isnan(point_scale):
            declare("storage", "POINT:SCALE", 4 if point_scale < 0 else 2)
        words = header("analog words per frame")
        used = _whole(c3d.first("ANALOG", "USED"))
        declare("analog words per frame", "header", words)
        for ratio, who in says["ratio"].items():
            if used is not None and ratio is not None:
                declare("analog words per frame", "ANALOG:USED x " + _ratio_source(who),
                        used * ratio)
        self.says = says
        self.disputes = [quantity for quantity, values in says.items() if len(values) > 1]

        layouts = set()
        for ratio in says["ratio"]:
            for analog_words in says["analog words per frame"]:
                if ratio is None or ratio < 1 or analog_words % ratio:
                    continue
                for start in says["data start"]:
                    if start < 1 or BLOCK * (start - 1) < c3d.section_end:
                        continue
                    for points in says["points"]:
                        for frames in says["frames"]:
                            for word in says["storage"]:
                                if points is not None and points >= 0 and frames >= 0:
                                    layouts.add(Layout(start, points, analog_words // ratio,
                                                       ratio, frames, word))
        self.layouts = sorted(layouts)

    def describe(self, quantity):
        return ", ".join("%s %s" % (who, value) for value, who in self.says[quantity].items())

    def bad_rates(self):
        return [(who, rate) for who, rate in self.rates if not _positive(rate)]

    def holding(self):
        """The valid layouts whose data block the file holds."""
        return [layout for layout in self.layouts if slack(layout, self.c3d.size) >= 0]

    def exact(self):
        """The valid layouts that fit the file exactly: at most a block follows their
        data block, the padding to a whole block (ezc3d pads a data block that ends
        on a block boundary with one more)."""
        return [layout for layout in self.layouts if 0 <= slack(layout, self.c3d.size) <= BLOCK]


def _ratio_source(who):
    return "header ratio" if who == "header" else who


def _number(value):
    """A parameter's value as a float, or None when it is no number (text)."""
    return float(value) if isinstance(value, (int, float)) else None


def _positive(value):
    value = _number(value)
    return value is not None and math.isfinite(value) and value > 0


def _whole(value):
    value = _number(value)
    if value is None or not math.isfinite(value) or value != int(value):
        return None
    return int(value)


def _unsigned(value):
    """A 16-bit count, read as C3D writers mean it when it is above 32767."""
    value = _whole(value)
    return None if value is None else value % 0x10000


def _field(values):
    """A 32-bit frame number kept as two 16-bit words, low word first."""
    return (int(values[0]) & 0xFFFF) + ((int(values[1]) & 0xFFFF) << 16)
