"""C3D trial files for the stand-in host.

``load_trial`` reads a recording into a ``Trial`` (the analog channels become
the EMG device's output); ``save_trial`` writes the processed channels back
into a copy of the file, or into the file itself, and nothing else.

The file is read once.  Its header and parameter section are parsed here and
its data block is read in pieces of whole frames straight into one array per
kept channel, so a long recording costs about its own size in memory, not a
full object model of every sample.  The layout found on that read stays with
the trial and serves the write: the original bytes are copied and only the
sample words whose value changed are overwritten, so every other byte of the
file (header, parameters, events, markers, other analog channels) stays
exactly as it was.  The written file is then checked by reading its data
block back (a checksum of every word, the patched ones included), not by
parsing it again.

A file whose data block is shorter than its header declares, or whose
parameter section is cut short, is refused as damaged; a source file that
changed after it was read is not written over.

Storage.  A C3D file stores analog samples either as 32-bit floats or as
16-bit integers (header scale factor negative or positive).  A sample's value
is ``(stored - offset) * scale * gen_scale`` with the channel's ANALOG:OFFSET
(taken as its magnitude) and ANALOG:SCALE and the file's ANALOG:GEN_SCALE, so
a processed value ``v`` is stored as ``v / gen_scale / scale + offset``:

- float files keep ``float32`` of that number.  With scale 1, gen_scale 1 and
  offset 0, as Nexus writes EMG, the file holds ``float32(v)`` exactly and
  reading it back gives ``float64(float32(v))``: the processed samples survive
  bit for bit as float32, about seven significant digits.
- integer files keep the nearest integer: the value survives to within half
  a step of ``scale * gen_scale`` (the resolution of the raw recording), and a
  value outside the 16-bit range is refused and nothing is written.

Intel and DEC files are handled; MIPS (big-endian) files are refused.
"""

import math
import os
import struct
import tempfile
import zlib
from collections import namedtuple
from fnmatch import fnmatchcase

import numpy as np

from quorvaemg_host.trial import EVENTS, SIDES, Trial

ASSUMED_RATE = 1000.0
PROCESSED_SUFFIX = "_processed.c3d"
DEFAULT_HIGH_HZ = 20
DEFAULT_LOW_HZ = 200
DEFAULT_DEVICE = "Analog EMG"

_INTEL, _DEC, _MIPS = 84, 85, 86
_BLOCK = 512
_PIECE_BYTES = 1 << 22  # data read and written in pieces of about this size
_GLOB_CHARS = "*?["

_Parameter = namedtuple("_Parameter", "dims values")


# -- header and parameters ------------------------------------------------------

def _floats(raw, processor):
    """float32 values of 4-byte words (uint8 array ``(..., 4)``) in the file's format."""
    if processor == _DEC:  # swap the 16-bit halves and take 2 off the exponent (divide by 4)
        ieee = raw[..., [2, 3, 0, 1]].copy()
        ieee[..., 3] = np.where(ieee[..., 3] != 0, ieee[..., 3] - 1, 0)
    else:
        ieee = np.ascontiguousarray(raw)
    return ieee.view("<f4").reshape(raw.shape[:-1])


def _text(raw):
    """A string of the file: ASCII by the format, but labels typed with accents
    come as UTF-8 from newer software and as Latin-1 from older."""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("latin-1")


def _parameter_values(section, at, kind, dims, processor):
    count = int(np.prod(dims)) if dims else 1
    width = abs(kind)
    data = section[at:at + count * width]
    if width == 0 or len(data) != count * width:
        raise ValueError("a parameter runs past the end of its section")
    if kind == -1:
        raw = bytes(data)
        step = dims[0] if dims else 1
        return [_text(raw[i:i + step]) for i in range(0, len(raw), step)] if step else []
    if kind == 1:
        return np.frombuffer(data, dtype=np.int8).tolist()
    if kind == 2:
        return np.frombuffer(data, dtype="<i2").tolist()
    if kind == 4:
        raw = np.frombuffer(data, dtype=np.uint8).reshape(-1, 4)
        return _floats(raw, processor).astype(np.float64).tolist()
    raise ValueError(f"a parameter has the unknown data type {kind}")


def _parameters(section, processor):
    """The parameter section as {GROUP: {NAME: _Parameter}}, names in upper case."""
    groups, members = {}, []
    at = 4
    while at + 4 <= len(section):
        length, owner = struct.unpack_from("<bb", section, at)
        if length == 0:
            break
        length = abs(length)
        name = bytes(section[at + 2:at + 2 + length]).decode("latin-1").upper()
        body = at + 2 + length
        following, = struct.unpack_from("<h", section, body)
        if owner < 0:
            groups[-owner] = name
        else:
            kind, ndims = struct.unpack_from("<bB", section, body + 2)
            dims = list(section[body + 4:body + 4 + ndims])
            values = _parameter_values(section, body + 4 + ndims, kind, dims, processor)
            members.append((owner, name, _Parameter(dims, values)))
        if following == 0:
            break
        if following < 0:  # would run backwards, and for ever
            raise ValueError("a parameter points back to an earlier one")
        at = body + following
    parameters = {name: {} for name in groups.values()}
    for owner, name, parameter in members:
        if owner in groups:
            parameters[groups[owner]][name] = parameter
    return parameters


def _values(group, name):
    """A parameter's values, joined over NAME, NAME2, NAME3 ... as C3D splits long lists."""
    values = []
    key = name
    number = 1
    while key in group:
        values.extend(group[key].values)
        number += 1
        key = f"{name}{number}"
    return values


def _first_rate(group, header_rate):
    rates = _values(group, "RATE")
    if rates and float(rates[0]) > 0:
        return float(rates[0])
    return float(header_rate)


def _frame_count(header_first, header_last, trial):
    """Frames of the data block: the header's range, or TRIAL's 32-bit one when given."""
    start, end = _values(trial, "ACTUAL_START_FIELD"), _values(trial, "ACTUAL_END_FIELD")
    if len(start) >= 2 and len(end) >= 2:
        header_first = (start[0] & 0xFFFF) + ((start[1] & 0xFFFF) << 16)
        header_last = (end[0] & 0xFFFF) + ((end[1] & 0xFFFF) << 16)
    return max(header_last - header_first + 1, 0), header_first


def _damaged(path, what):
    return ValueError(f"{path}: damaged C3D file ({what}), copy or export the trial again")


class _Layout:
    """A C3D file's header, parameters and where and how it stores its samples.

    Per frame the data block holds the points (4 words each) and then
    ``ratio`` sub-frames of one word per analog channel; a word is a 4-byte
    float or a 2-byte integer in the processor's format.
    """

    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            stat = os.fstat(f.fileno())
            self.stamp = (stat.st_size, stat.st_mtime_ns)
            header = f.read(_BLOCK)
            if len(header) < _BLOCK and header[1:2] == b"\x50":
                raise _damaged(path, "its header is cut short")
            if len(header) < _BLOCK or header[1] != 0x50 or header[0] < 1:
                raise ValueError(f"{path}: not a readable C3D file (it has no C3D header), "
                                 "give a C3D trial file")
            f.seek(_BLOCK * (header[0] - 1))
            section = f.read(4)
            if len(section) == 4:
                section += f.read(_BLOCK * section[2] - 4)
        if len(section) < 4 or len(section) < _BLOCK * section[2]:
            raise _damaged(path, "its parameter section is cut short")
        self.processor = section[3]
        if self.processor not in (_INTEL, _DEC):
            raise ValueError(f"{path}: stored for processor type {self.processor}, which is "
                             "not supported, export it for Intel (PC) processors")
        try:
            self.parameters = _parameters(section, self.processor)
        except (struct.error, ValueError) as exc:
            raise _damaged(path, f"its parameters cannot be read: {exc}") from exc
        (points, measurements, first, last, _, scale, start, ratio,
         rate) = struct.unpack_from("<5H4sHH4s", header, 2)
        scale, rate = _floats(np.frombuffer(scale + rate, np.uint8).reshape(2, 4), self.processor)
        self.header_rate = float(rate)
        self.is_float = scale < 0
        self.word = 4 if self.is_float else 2
        self.frames, self.first_frame = _frame_count(first, last, self.parameters.get("TRIAL", {}))
        self.ratio = ratio
        self.analogs = measurements // ratio if ratio else 0
        self.first_analog_word = 4 * points
        self.frame_words = self.first_analog_word + self.ratio * self.analogs
        self.start = _BLOCK * (start - 1)
        if start < 1 and self.frames:
            raise _damaged(path, "its header gives no place for the data block")
        held = max(stat.st_size - self.start, 0) // max(self.frame_words * self.word, 1)
        if held < self.frames:
            raise self.cut_short(held)
        analog = self.parameters.get("ANALOG", {})
        self.scales = [float(s) for s in _values(analog, "SCALE")]
        self.offsets = [abs(int(o)) for o in _values(analog, "OFFSET")]
        gen = _values(analog, "GEN_SCALE")
        self.gen_scale = float(gen[0]) if gen else 1.0
        formats = [str(f).strip().upper() for f in _values(analog, "FORMAT")]
        if not self.is_float and formats and formats[0] == "UNSIGNED":
            raise ValueError(f"{path}: stores analog samples as unsigned integers, which are "
                             "not supported, export it with signed or float samples")

    def cut_short(self, held):
        return _damaged(self.path, f"it declares {self.frames} frames, holds {held}")

    @property
    def samples(self):
        """Samples per analog channel."""
        return self.frames * self.ratio

    # -- the data block, in pieces of whole frames ------------------------------

    def pieces(self, f):
        """(first sample, frames) over the data block of the open file ``f``, in pieces:
        ``frames`` is a writable uint8 array ``(frames, frame_words, word)``."""
        frame_bytes = self.frame_words * self.word
        per_piece = max(1, _PIECE_BYTES // max(frame_bytes, 1))
        f.seek(self.start)
        for first in range(0, self.frames, per_piece):
            count = min(per_piece, self.frames - first)
            piece = bytearray(count * frame_bytes)
            got = f.readinto(piece)
            if got != len(piece):  # the file shrank since it was opened
                raise self.cut_short(first + got // frame_bytes)
            yield (first * self.ratio,
                   np.frombuffer(piece, dtype=np.uint8).reshape(count, self.frame_words, self.word))

    def analog(self, frames):
        """The analog part of per-word data ``(frames, frame_words, ...)`` as
        ``(frames, ratio, analogs, ...)``, a view."""
        part = frames[:, self.first_analog_word:]
        return part.reshape(part.shape[:1] + (self.ratio, self.analogs) + part.shape[2:])

    def as_numbers(self, frames):
        """The words of ``frames`` as unsigned integers ``(frames, frame_words)``, a view."""
        return frames.view(f"<u{self.word}")[..., 0]

    def stored(self, frames):
        """Stored numbers (float32) of the words of ``frames``."""
        if self.is_float:
            return _floats(frames, self.processor)
        return frames.view("<i2")[..., 0].astype(np.float32)

    def _factors(self, index, name):
        if index >= len(self.scales) or index >= len(self.offsets):
            raise ValueError(f"channel {name}: ANALOG:SCALE or ANALOG:OFFSET of {self.path} "
                             "has no entry for it, give the file one")
        return self.scales[index], self.offsets[index]

    def decode(self, stored, index, name):
        """Sample values (float64) of a channel's stored numbers."""
        scale, offset = self._factors(index, name)
        if offset == 0 and scale == 1 and self.gen_scale == 1:  # as Nexus writes EMG: one pass
            return stored.astype(np.float64)
        return (stored - np.float32(offset)).astype(np.float64) * scale * self.gen_scale

    def encode(self, values, index, name):
        """Stored words ``(n, word)`` for sample values; refuses values the storage cannot hold."""
        scale, offset = self._factors(index, name)
        if scale == 0 or self.gen_scale == 0:
            raise ValueError(f"channel {name}: its scale is 0, so no value can be stored")
        stored = values / self.gen_scale / scale + offset
        if not self.is_float:
            if not np.all(np.isfinite(stored)):
                raise ValueError(f"channel {name}: values that are not finite cannot be "
                                 "stored as integers")
            stored = np.rint(stored)
            if stored.min(initial=0) < -32768 or stored.max(initial=0) > 32767:
                raise ValueError(f"channel {name}: processed values exceed the file's 16-bit "
                                 f"integer range (step {scale * self.gen_scale:g})")
            return stored.astype("<i2").view(np.uint8).reshape(-1, 2)
        ieee = stored.astype("<f4").view(np.uint8).reshape(-1, 4)
        if self.processor == _INTEL:
            return ieee
        if np.any(ieee[:, 3] == 0xFF):
            raise ValueError(f"channel {name}: values out of the DEC float range")
        words = ieee[:, [2, 3, 0, 1]].copy()
        words[:, 1] = np.where(ieee[:, 3] != 0, ieee[:, 3] + 1, 0)
        return words


def select_channels(labels, pattern=None):
    """Positions of the labels that ``pattern`` keeps, in label order.

    No pattern keeps every label.  A pattern containing ``*``, ``?`` or ``[``
    is a glob matched against the whole label; any other pattern keeps the
    labels that contain it.  Both are case-sensitive.
    """
    if pattern is None:
        return list(range(len(labels)))
    if any(c in pattern for c in _GLOB_CHARS):
        return [k for k, label in enumerate(labels) if fnmatchcase(label, pattern)]
    return [k for k, label in enumerate(labels) if pattern in label]


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


def _canonical(text, known):
    text = text.strip().lower()
    for name in known:
        if name.lower() == text:
            return name
    return None


def _events(parameters, subject, frame_rate):
    """Foot strikes and foot offs of the EVENT group as Nexus frame numbers.

    With a ``subject``, events of another subject are left out (events with no
    subject belong to every subject); other labels and contexts are ignored.
    """
    if "EVENT" not in parameters or "TIMES" not in parameters["EVENT"]:
        return {}
    group = parameters["EVENT"]
    dims, flat = group["TIMES"]
    if len(dims) != 2 or dims[0] < 2:
        return {}
    times = np.asarray(flat, dtype=np.float64).reshape(-1, dims[0]).T
    contexts = [str(c) for c in _values(group, "CONTEXTS")]
    labels = [str(c) for c in _values(group, "LABELS")]
    subjects = [str(s).strip() for s in _values(group, "SUBJECTS")]
    count = min(times.shape[1], len(contexts), len(labels))
    used = _values(group, "USED")
    if used:
        count = min(count, int(used[0]))
    events = {}
    for i in range(count):
        side = _canonical(contexts[i], SIDES)
        event = _canonical(labels[i], EVENTS)
        owner = subjects[i] if i < len(subjects) else ""
        if side is None or event is None or (subject is not None and owner and owner != subject):
            continue
        seconds = 60.0 * times[0, i] + times[1, i]
        events.setdefault((side, event), []).append(event_frame(seconds, frame_rate))
    return {key: sorted(frames) for key, frames in events.items()}


def _device_name(analog, keep):
    """The device of the kept channels, from their ANALOG:DESCRIPTIONS.

    Nexus describes each analog channel as "Device::Channel [..]"; when the
    kept channels do not all name one device, the name is DEFAULT_DEVICE.
    """
    descriptions = [str(d) for d in _values(analog, "DESCRIPTIONS")]
    devices = set()
    for k in keep:
        device, separator, _ = (descriptions[k] if k < len(descriptions) else "").partition("::")
        devices.add(device.strip() if separator else "")
    device = devices.pop() if len(devices) == 1 else ""
    return device or DEFAULT_DEVICE


def load_trial(path, channels=None):
    """Open the C3D file ``path`` as a trial of the stand-in host.

    The analog channels (ANALOG:LABELS, stripped, in file order) form the EMG
    device's output; ``channels`` (see ``select_channels``) keeps only the
    matching ones, and a pattern that matches none is a ValueError.  The
    subject is the first of SUBJECTS:NAMES, else the file's base name; the
    folder is the file's absolute directory with a trailing separator and the
    trial name its base name without extension.  Device rate = analog rate,
    frame rate = point rate; the device name is the one the kept channels'
    descriptions give (``_device_name``), the output name "EMG".  Events are
    Nexus frame numbers (``event_frame``).  A damaged file (see the module
    notes) is a ValueError naming it.

    The trial also carries ``source_path`` (the file), ``subject_known``
    (False when the subject is the base name, the file naming none), ``analog_indices``
    (file positions of its channels, for ``save_trial``), ``first_frame``
    (the file's first frame in Nexus numbering) and ``layout`` (what the read
    learnt of the file, for ``save_trial``).
    """
    path = os.path.abspath(path)
    layout = _Layout(path)
    parameters = layout.parameters
    analog = parameters.get("ANALOG", {})
    point = parameters.get("POINT", {})
    count = layout.analogs
    if count == 0:
        raise ValueError(f"{path} has no analog channels, give a trial with EMG channels")

    labels = [str(s).strip() for s in _values(analog, "LABELS")][:count]
    labels += [f"Analog{k + 1}" for k in range(len(labels), count)]
    keep = select_channels(labels, channels)
    if not keep:
        raise ValueError(f"no analog channel of {path} matches {channels!r}; "
                         f"its channels are: {', '.join(labels)}")

    samples = [np.empty(layout.samples) for _ in keep]
    with open(path, "rb") as f:
        for first, frames in layout.pieces(f):
            stored = layout.analog(layout.stored(frames))
            end = first + stored.shape[0] * stored.shape[1]
            for k, index in enumerate(keep):
                samples[k][first:end] = layout.decode(stored[:, :, index], index,
                                                      labels[index]).ravel()

    base = os.path.splitext(os.path.basename(path))[0]
    names = [str(s).strip() for s in _values(parameters["SUBJECTS"], "NAMES")] \
        if "SUBJECTS" in parameters else []
    subject = names[0] if names and names[0] else base
    frame_rate = _first_rate(point, layout.header_rate)
    device_rate = _first_rate(analog, layout.header_rate * layout.ratio)
    units = [str(u).strip() for u in _values(analog, "UNITS")]
    unit = units[keep[0]] if keep[0] < len(units) and units[keep[0]] else "V"

    trial = Trial(os.path.dirname(path) + os.sep, base, subject,
                  [labels[k] for k in keep], samples, device_rate, frame_rate,
                  events=_events(parameters, subject if names else None, frame_rate),
                  unit=unit, device_name=_device_name(analog, keep))
    trial.source_path = path
    trial.subject_known = bool(names and names[0])
    trial.analog_indices = list(keep)
    trial.first_frame = layout.first_frame
    trial.layout = layout
    return trial


# -- writing ------------------------------------------------------------------

def _write_piece(out, data):
    out.write(data)


def _sync_folder(folder):
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:  # not possible on every platform (Windows)
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _channels_to_write(trial, layout, source):
    """(name, file index, samples) of each channel; refuses, before anything is written,
    a trial that no longer fits the file."""
    indices = trial.analog_indices
    if len(indices) != len(trial.samples):
        raise ValueError(f"{len(trial.samples)} channels for {len(indices)} file positions; "
                         "nothing written")
    channels = []
    for name, index, samples in zip(trial.channel_names, indices, trial.samples):
        values = np.asarray(samples, dtype=np.float64)
        if values.shape != (layout.samples,):
            raise ValueError(f"channel {name}: {values.size} processed samples for "
                             f"{layout.samples} in the file; nothing written")
        channels.append((name, index, values))
    if layout.stamp != _stamp(source):
        raise ValueError(f"{source} changed after the trial was read; nothing written, "
                         "open the trial again")
    return channels


def _stamp(path):
    stat = os.stat(path)
    return (stat.st_size, stat.st_mtime_ns)


def _copy_patched(source, target, layout, channels):
    """Copy ``source`` to the open ``target`` with the changed samples of ``channels``
    put in; the checksum of the data block as written.  A value the file's storage
    cannot hold stops the copy with a ValueError."""
    checksum = 0
    with open(source, "rb") as f:
        _write_piece(target, f.read(layout.start))
        for first, frames in layout.pieces(f):
            stored = layout.analog(layout.stored(frames))
            numbers = layout.analog(layout.as_numbers(frames))
            end = first + stored.shape[0] * stored.shape[1]
            for name, index, values in channels:
                old = layout.decode(stored[:, :, index], index, name).ravel()
                new = values[first:end]
                differ = old != new
                column = numbers[:, :, index]
                if differ.all():  # a processed channel: every sample
                    column[...] = layout.as_numbers(layout.encode(new, index, name)).reshape(
                        column.shape)
                    continue
                changed = np.flatnonzero(differ & ~(np.isnan(old) & np.isnan(new)))
                if changed.size:
                    column.flat[changed] = layout.as_numbers(layout.encode(new[changed], index, name))
            piece = memoryview(frames.reshape(-1))
            checksum = zlib.crc32(piece, checksum)
            _write_piece(target, piece)
        while True:  # whatever follows the data block
            rest = f.read(_PIECE_BYTES)
            if not rest:
                break
            _write_piece(target, rest)
    return checksum


def _check_written(path, layout, checksum):
    """Read the written data block back: the same size and the same words."""
    if os.path.getsize(path) != layout.stamp[0]:
        raise RuntimeError(f"{path} was written with the wrong size, check the disk and save again")
    back = 0
    with open(path, "rb") as f:
        for _, frames in layout.pieces(f):
            back = zlib.crc32(memoryview(frames.reshape(-1)), back)
    if back != checksum:
        raise RuntimeError(f"the processed samples read back wrong from {path}, "
                           "check the disk and save again")


def save_trial(trial, out_path=None, in_place=False):
    """Write the trial's changed samples into a copy of its C3D file; return its path.

    The file is ``out_path``, by default the trial's folder + name +
    "_processed.c3d"; with ``in_place`` it is the original file.  The new
    content goes to a temporary file in the destination's folder that is
    checked by reading its data block back and then renamed over the
    destination, so the destination is replaced only by a complete file (the
    original too, with ``in_place``).

    Only samples whose values differ from the file's are written; all other
    bytes are copied unchanged.  A channel whose sample count differs from
    the file's, or whose values the file's storage cannot hold (see the module
    notes on float and integer files), is refused with a ValueError naming it,
    and so is a source file that changed since the trial was read; the
    destination is then left as it was and no temporary file remains.
    """
    source = getattr(trial, "source_path", None)
    layout = getattr(trial, "layout", None)
    if source is None or layout is None:
        raise ValueError(f"trial {trial.name!r} was not loaded from a C3D file")
    if in_place and out_path is not None and os.path.abspath(out_path) != os.path.abspath(source):
        raise ValueError("give an output path or in_place, not both")
    if in_place:
        destination = source
    elif out_path is not None:
        destination = out_path
    else:
        destination = trial.folder + trial.name + PROCESSED_SUFFIX
    destination = os.path.abspath(destination)
    channels = _channels_to_write(trial, layout, source)

    folder = os.path.dirname(destination)
    fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(destination) + ".",
                                     suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as target:
            checksum = _copy_patched(source, target, layout, channels)
            target.flush()
            os.fsync(target.fileno())
        _check_written(temporary, layout, checksum)
        try:
            os.chmod(temporary, os.stat(source).st_mode & 0o777)
        except OSError:
            pass
        os.replace(temporary, destination)
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise
    _sync_folder(folder)
    if destination == source:  # the trial now matches the new file
        layout.stamp = _stamp(source)
    return destination


# -- cutoffs at other device rates ----------------------------------------------

def _times(factor):
    if factor == 2:
        return "twice"
    if factor == 0.5:
        return "half"
    return f"{factor:g} times"


def effective_cutoffs_warning(device_rate, high_hz=DEFAULT_HIGH_HZ, low_hz=DEFAULT_LOW_HZ):
    """One warning line when the device rate is not the 1000 Hz the processing assumes.

    The processing normalises each cutoff for 1000 samples per second, so at
    a device rate of r samples per second a typed cutoff acts at
    typed * r / 1000 Hz.  ``device_rate`` may also be a trial (its
    ``device_rate`` is used); ``high_hz`` and ``low_hz`` are the typed
    cutoffs.  Returns None at 1000 Hz.
    """
    rate = float(getattr(device_rate, "device_rate", device_rate))
    if not rate > 0:
        raise ValueError(f"device rate must be positive, not {device_rate!r}")
    if rate == ASSUMED_RATE:
        return None
    factor = rate / ASSUMED_RATE
    low, high = float(low_hz), float(high_hz)
    return (f"warning: device rate is {rate:g} Hz but the processing assumes "
            f"{ASSUMED_RATE:g} Hz: cutoffs act at {_times(factor)} the typed values "
            f"(low-pass {low:g} Hz -> {low * factor:g} Hz, high-pass {high:g} Hz -> "
            f"{high * factor:g} Hz; effective = typed x {rate:g} / {ASSUMED_RATE:g})")
