"""C3D trial files for the stand-in host.

``load_trial`` reads a recording into a ``Trial`` (the analog channels become
the EMG device's output); ``save_trial`` writes the processed channels back
into a copy of the file, or into the file itself, and nothing else.

Reading uses ezc3d.  Writing does not go through ezc3d's writer, which
rebuilds the whole file (it adds its own parameter groups, reorders and
retypes parameters and turns integer files into float files).  Instead the
original bytes are copied and only the sample words of the changed channels
are overwritten, so every other byte of the file (header, parameters, events,
markers, other analog channels) stays exactly as it was.

Storage.  A C3D file stores analog samples either as 32-bit floats or as
16-bit integers (header scale factor negative or positive).  A sample's value
is ``(stored - offset) * scale * gen_scale`` with the channel's ANALOG:OFFSET
and ANALOG:SCALE and the file's ANALOG:GEN_SCALE, so a processed value ``v``
is stored as ``v / gen_scale / scale + offset``:

- float files keep ``float32`` of that number.  With scale 1, gen_scale 1 and
  offset 0, as Nexus writes EMG, the file holds ``float32(v)`` exactly and
  reading it back gives ``float64(float32(v))``: the processed samples survive
  bit for bit as float32, about seven significant digits.
- integer files keep the nearest integer: the value survives to within half
  a step of ``scale * gen_scale`` (the resolution of the raw recording), and a
  value outside the 16-bit range is refused before anything is written.

Intel and DEC files are handled; MIPS files are not (ezc3d cannot read them).
"""

import math
import os
import tempfile
from fnmatch import fnmatchcase

import ezc3d
import numpy as np

from quorvaemg_host.trial import EVENTS, SIDES, Trial

ASSUMED_RATE = 1000.0
PROCESSED_SUFFIX = "_processed.c3d"
DEFAULT_HIGH_HZ = 20
DEFAULT_LOW_HZ = 200
DEFAULT_DEVICE = "Analog EMG"

_INTEL, _DEC = 84, 85
_GLOB_CHARS = "*?["


# -- reading ------------------------------------------------------------------

def _read(path):
    """The file as ezc3d gives it; a file that is not a C3D gives ValueError."""
    with open(path, "rb"):
        pass  # a missing or unreadable file fails here with the usual OSError
    try:
        return ezc3d.c3d(path)
    except (OSError, RuntimeError, ValueError, IndexError) as exc:
        raise ValueError(f"{path}: not a readable C3D file ({exc})") from exc


def _values(group, name):
    """A parameter's values, joined over NAME, NAME2, NAME3 ... as C3D splits long lists."""
    values = []
    key = name
    number = 1
    while key in group:
        value = group[key]["value"]
        values.extend(value.ravel().tolist() if isinstance(value, np.ndarray) else list(value))
        number += 1
        key = f"{name}{number}"
    return values


def _first_rate(group, header_rate):
    rates = _values(group, "RATE")
    if rates and float(rates[0]) > 0:
        return float(rates[0])
    return float(header_rate)


def _refuse_unsigned(c3d):
    """ezc3d reads 16-bit analog words as signed even where ANALOG:FORMAT says UNSIGNED."""
    parameters = c3d["parameters"]
    if "ANALOG" not in parameters or c3d.c3d_swig.header().scaleFactor() < 0:
        return
    formats = [str(f).strip().upper() for f in _values(parameters["ANALOG"], "FORMAT")]
    if formats and formats[0] == "UNSIGNED":
        raise ValueError("analog samples stored as unsigned integers are not supported")


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
    times = np.asarray(group["TIMES"]["value"], dtype=np.float64)
    if times.ndim != 2 or times.shape[0] < 2:
        return {}
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
    Nexus frame numbers (``event_frame``).

    The trial also carries ``source_path`` (the file), ``analog_indices``
    (file positions of its channels, for ``save_trial``) and ``first_frame``
    (the file's first frame in Nexus numbering).
    """
    path = os.path.abspath(path)
    c3d = _read(path)
    _refuse_unsigned(c3d)
    parameters = c3d["parameters"]
    analog = parameters.get("ANALOG", {})
    point = parameters.get("POINT", {})
    data = np.asarray(c3d["data"]["analogs"], dtype=np.float64)
    count = data.shape[1] if data.ndim == 3 else 0
    if count == 0:
        raise ValueError(f"{path} has no analog channels")

    labels = [str(s).strip() for s in _values(analog, "LABELS")][:count]
    labels += [f"Analog{k + 1}" for k in range(len(labels), count)]
    keep = select_channels(labels, channels)
    if not keep:
        raise ValueError(f"no analog channel of {path} matches {channels!r}; "
                         f"its channels are: {', '.join(labels)}")

    base = os.path.splitext(os.path.basename(path))[0]
    names = [str(s).strip() for s in _values(parameters["SUBJECTS"], "NAMES")] \
        if "SUBJECTS" in parameters else []
    subject = names[0] if names and names[0] else base
    header = c3d["header"]
    frame_rate = _first_rate(point, header["points"]["frame_rate"])
    device_rate = _first_rate(analog, header["analogs"]["frame_rate"])
    units = [str(u).strip() for u in _values(analog, "UNITS")]
    unit = units[keep[0]] if keep[0] < len(units) and units[keep[0]] else "V"

    trial = Trial(os.path.dirname(path) + os.sep, base, subject,
                  [labels[k] for k in keep], [data[0, k, :] for k in keep],
                  device_rate, frame_rate,
                  events=_events(parameters, subject if names else None, frame_rate),
                  unit=unit, device_name=_device_name(analog, keep))
    trial.source_path = path
    trial.analog_indices = list(keep)
    trial.first_frame = int(header["points"]["first_frame"]) + 1
    return trial


# -- the file's analog sample words -------------------------------------------

class _Layout:
    """Where and how a C3D file stores its analog samples.

    Per frame the data section holds the points (4 words each) and then
    ``ratio`` sub-frames of one word per analog channel; a word is a 4-byte
    float or a 2-byte integer in the processor's format.
    """

    def __init__(self, c3d):
        swig = c3d.c3d_swig
        header = swig.header()
        self.processor = int(swig.parameters().processorType())
        if self.processor not in (_INTEL, _DEC):
            raise ValueError(f"processor type {self.processor} is not supported for writing")
        self.is_float = header.scaleFactor() < 0
        self.word = 4 if self.is_float else 2
        self.frames = int(header.nbFrames())
        self.ratio = int(header.nbAnalogByFrame())
        self.analogs = int(header.nbAnalogs())
        self.first_analog_word = 4 * int(header.nb3dPoints())
        self.frame_words = self.first_analog_word + self.ratio * self.analogs
        self.start = int(header.nbOfZerosBeforeHeader()) + 512 * (int(header.dataStart()) - 1)
        analog = c3d["parameters"]["ANALOG"]
        self.scales = [float(s) for s in _values(analog, "SCALE")]
        self.offsets = [abs(int(o)) for o in _values(analog, "OFFSET")]  # ezc3d reads |offset|
        gen = _values(analog, "GEN_SCALE")
        self.gen_scale = float(gen[0]) if gen else 1.0
        _refuse_unsigned(c3d)

    @property
    def storage(self):
        return "float32" if self.is_float else "int16"

    def _section(self, buf):
        size = self.frames * self.frame_words * self.word
        if self.start + size > len(buf):
            raise ValueError("the data section ends beyond the end of the file")
        section = np.frombuffer(buf, dtype=np.uint8, count=size, offset=self.start)
        return section.reshape(self.frames, self.frame_words, self.word)

    def _columns(self, index):
        return self.first_analog_word + np.arange(self.ratio) * self.analogs + index

    def words(self, buf, index):
        """The stored bytes of channel ``index``: one row of ``word`` bytes per sample."""
        return self._section(buf)[:, self._columns(index), :].reshape(-1, self.word)

    def put(self, buf, index, words):
        section = self._section(buf)
        section[:, self._columns(index), :] = words.reshape(self.frames, self.ratio, self.word)

    def _factors(self, index, name):
        if index >= len(self.scales) or index >= len(self.offsets):
            raise ValueError(f"channel {name}: ANALOG:SCALE or ANALOG:OFFSET has no entry for it")
        return self.scales[index], self.offsets[index]

    def decode(self, words, index, name):
        """Sample values of stored words, computed as ezc3d computes them."""
        scale, offset = self._factors(index, name)
        if not self.is_float:
            stored = words.copy().view("<i2").ravel().astype(np.float32)
        elif self.processor == _INTEL:
            stored = words.copy().view("<f4").ravel()
        else:  # DEC: swap the 16-bit halves and take 2 off the exponent (divide by 4)
            ieee = words[:, [2, 3, 0, 1]].copy()
            ieee[:, 3] = np.where(ieee[:, 3] != 0, ieee[:, 3] - 1, 0)
            stored = ieee.view("<f4").ravel()
        shifted = (stored - np.float32(offset)).astype(np.float64)
        return shifted * scale * self.gen_scale

    def encode(self, values, index, name):
        """Stored words for sample values; refuses values the storage cannot hold."""
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


# -- writing ------------------------------------------------------------------

def _write_bytes(path, data):
    """Write ``data`` to ``path`` and push it to the disk."""
    with open(path, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())


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


def _check_written(path, original, expected):
    """Re-read the new file: changed channels as encoded, everything else as before."""
    written = _read(path)
    analogs = written["data"]["analogs"]
    before = original["data"]["analogs"]
    for index in range(before.shape[1]):
        want = expected[index] if index in expected else before[0, index, :]
        if not np.array_equal(analogs[0, index, :], want, equal_nan=True):
            raise RuntimeError(f"analog channel {index + 1} reads back wrong from {path}")
    if not np.array_equal(written["data"]["points"], original["data"]["points"], equal_nan=True):
        raise RuntimeError(f"the markers read back changed from {path}")


def save_trial(trial, out_path=None, in_place=False):
    """Write the trial's changed channels into a copy of its C3D file; return its path.

    The file is ``out_path``, by default the trial's folder + name +
    "_processed.c3d"; with ``in_place`` it is the original file.  The new
    content goes to a temporary file in the destination's folder that is
    checked by reading it back and then renamed over the destination, so the
    destination is replaced only by a complete file (the original too, with
    ``in_place``).

    Only channels whose samples differ from the file's are written; all other
    bytes are copied unchanged.  Before anything is written, every channel is
    checked: a channel whose sample count differs from the file's, or whose
    values the file's storage cannot hold (see the module notes on float and
    integer files), is refused with a ValueError naming it.
    """
    source = getattr(trial, "source_path", None)
    indices = getattr(trial, "analog_indices", None)
    if source is None or indices is None:
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

    original = _read(source)
    before = original["data"]["analogs"]
    labels = [str(s).strip() for s in _values(original["parameters"]["ANALOG"], "LABELS")]
    if len(indices) != len(trial.samples):
        raise ValueError(f"{len(trial.samples)} channels for {len(indices)} file positions; "
                         "nothing written")
    changed = []
    for name, index, samples in zip(trial.channel_names, indices, trial.samples):
        if index >= before.shape[1] or (index < len(labels) and labels[index] != name):
            raise ValueError(f"channel {name} is no longer at position {index + 1} of {source}; "
                             "nothing written")
        values = np.asarray(samples, dtype=np.float64)
        if values.shape != (before.shape[2],):
            raise ValueError(f"channel {name}: {values.size} processed samples for "
                             f"{before.shape[2]} in the file; nothing written")
        if not np.array_equal(values, before[0, index, :], equal_nan=True):
            changed.append((name, index, values))

    with open(source, "rb") as f:
        buf = bytearray(f.read())
    expected = {}
    if changed:
        layout = _Layout(original)
        encoded = []
        for name, index, values in changed:
            stored = layout.decode(layout.words(buf, index), index, name)
            if not np.array_equal(stored, before[0, index, :], equal_nan=True):
                raise ValueError(f"channel {name}: cannot locate its samples in {source}; "
                                 "nothing written")
            words = layout.encode(values, index, name)
            expected[index] = layout.decode(words, index, name)
            encoded.append((index, words))
        for index, words in encoded:
            layout.put(buf, index, words)

    folder = os.path.dirname(destination)
    fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(destination) + ".",
                                     suffix=".tmp", dir=folder)
    os.close(fd)
    try:
        _write_bytes(temporary, bytes(buf))
        _check_written(temporary, original, expected)
        try:
            mode = os.stat(source).st_mode & 0o777
            os.chmod(temporary, mode)
        except OSError:
            pass
        os.replace(temporary, destination)
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise
    _sync_folder(folder)
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
