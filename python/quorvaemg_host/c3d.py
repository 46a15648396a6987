"""C3D trial files for the stand-in host.

``load_trial`` reads a recording into a ``Trial`` (the analog channels become
the EMG device's output); ``save_trial`` writes the processed channels back
into a copy of the file, or into the file itself, and nothing else.

The file is read once.  Its header and parameter section are parsed
(``c3d_format``), the layout of its data block is settled from both and the
file's size (``c3d_layout``: what is read where they disagree, and what is
refused), and the data block is read in pieces of whole frames straight
into one array per kept channel, so a long recording costs about its own
size in memory.  The layout found on that read stays with the trial and
serves the write: the original bytes are copied and only the sample words
whose value changed are overwritten, so every other byte of the file
(header, parameters, events, markers, other analog channels) stays exactly
as it was.  The written file is then checked by reading its data block back
(a checksum of every word, the patched ones included), not by parsing it
again.  A source file that changed after it was read is not written over.

Storage.  A C3D file stores analog samples either as 32-bit floats or as
16-bit integers (signed, or unsigned when ANALOG:FORMAT says so).  A
sample's value is ``(stored - offset) * scale * gen_scale`` with the
channel's ANALOG:OFFSET (taken as its magnitude) and ANALOG:SCALE and the
file's ANALOG:GEN_SCALE, so a processed value ``v`` is stored as
``v / gen_scale / scale + offset``:

- float files keep ``float32`` of that number.  With scale 1, gen_scale 1 and
  offset 0, as Nexus writes EMG, the file holds ``float32(v)`` exactly and
  reading it back gives ``float64(float32(v))``: the processed samples survive
  bit for bit as float32, about seven significant digits.
- integer files keep the nearest integer: the value survives to within half
  a step of ``scale * gen_scale`` (the resolution of the raw recording), and a
  value outside the 16-bit range is refused and nothing is written.

Intel, DEC and MIPS (big-endian) files are read and written alike, each in
its own number format.
"""

import os
import weakref
import zlib

import numpy as np
from plotvane.files import write_atomically
from quorvaemg_gait.channels import select_channels

from quorvaemg_host import c3d_format as fmt
from quorvaemg_host.c3d_events import event_frame, event_time, read_events  # noqa: F401
from quorvaemg_host.c3d_layout import Layout
from quorvaemg_host.c3d_samples import PIECE_BYTES
from quorvaemg_host.c3d_samples import read_channels as _read_channels
from quorvaemg_host.files import DEFAULT_HIGH_HZ, DEFAULT_LOW_HZ, processed_path
from quorvaemg_gait.trial import Trial

ASSUMED_RATE = 1000.0
DEFAULT_DEVICE = "Analog EMG"


def _device_name(analog, keep):
    """The device of the kept channels, from their ANALOG:DESCRIPTIONS.

    Nexus describes each analog channel as "Device::Channel [..]"; when the
    kept channels do not all name one device, the name is DEFAULT_DEVICE.
    """
    descriptions = [str(d) for d in fmt.values(analog, "DESCRIPTIONS")]
    devices = set()
    for k in keep:
        device, separator, _ = (descriptions[k] if k < len(descriptions) else "").partition("::")
        devices.add(device.strip() if separator else "")
    device = devices.pop() if len(devices) == 1 else ""
    return device or DEFAULT_DEVICE


def load_trial(path, channels=None):
    """Open the C3D file ``path`` as a trial of the stand-in host.

    The analog channels (ANALOG:LABELS without NUL padding and trailing
    blanks, in file order) form the EMG device's output; ``channels`` (a pattern,
    see ``quorvaemg_gait.channels``) keeps only the matching ones, and a pattern that
    matches none is a ValueError.  The subject is the first of
    SUBJECTS:NAMES, else the file's base name; the folder is the file's
    absolute directory with a trailing separator and the trial name its base
    name without extension.  Device rate = analog rate, frame rate = point
    rate; each channel keeps its ANALOG:UNITS; the device name is the one the
    kept channels' descriptions give (``_device_name``), the output name
    "EMG".  Events are Nexus frame numbers (``c3d_events``).  A damaged file
    (see ``c3d_layout``) is a ValueError naming it.

    The trial also carries ``source_path`` (the file), ``subject_known``
    (False when the subject is the base name, the file naming none),
    ``analog_indices`` (file positions of its channels, for ``save_trial``),
    ``first_frame`` (the file's first frame in Nexus numbering),
    ``event_source`` (where its events came from, for a report),
    ``warnings`` (lines on what was read despite a disagreement or left
    out) and ``layout`` (what the read learnt of the file, for ``save_trial``).
    """
    path = os.path.abspath(path)
    layout = Layout(path)
    parameters = layout.parameters
    if layout.analogs == 0:
        raise ValueError(f"{path} has no analog channels, give a trial with EMG channels")
    labels = layout.labels
    keep = select_channels(labels, channels)
    if not keep:
        raise ValueError(f"no analog channel of {path} matches {channels!r}; "
                         f"its channels are: {', '.join(labels)}")
    for index in keep:
        layout.check_channel(index)

    base = os.path.splitext(os.path.basename(path))[0]
    names = _subject_names(parameters)
    named = _named_subject(names)
    subject = base if named is None else named
    events = read_events(parameters, layout.header, subject if names else None,
                         layout.frame_rate)
    units = [layout.units[k] for k in keep]
    trial = Trial(os.path.dirname(path) + os.sep, base, subject, [labels[k] for k in keep],
                  _read_channels(layout, keep), layout.analog_rate, layout.frame_rate,
                  events=events.frames, unit=next((u for u in units if u), "V"),
                  units=units, device_name=_device_name(parameters.get("ANALOG", {}), keep))
    trial.source_path = path
    trial.subject_known = named is not None
    trial.analog_indices = list(keep)
    trial.first_frame = layout.first_frame
    trial.event_source = events.source
    trial.warnings = [f"warning: {os.path.basename(path)}: {line}"
                      for line in layout.warnings + events.notes]
    trial.layout = layout
    _remember_read(trial)
    return trial


def _subject_names(parameters):
    return [str(s).strip() for s in fmt.values(parameters.get("SUBJECTS", {}), "NAMES")]


def _named_subject(names):
    return names[0] if names and names[0] else None


def named_subject(path):
    """The subject the C3D file ``path`` names (the first of SUBJECTS:NAMES), or
    None; only its header and parameters are read."""
    return _named_subject(_subject_names(Layout(os.path.abspath(path)).parameters))


def _remember_read(trial):
    # What the trial was read with: a channel given new samples since (as
    # SetDeviceChannel gives them) is one to write back, the others are copied
    # as they are.  Weak, so that the raw samples are not kept alongside; read
    # only, so that a change made in place fails loudly instead of being
    # left out of the save.
    for samples in trial.samples:
        samples.flags.writeable = False
    trial.samples_read = [weakref.ref(samples) for samples in trial.samples]


# -- writing ------------------------------------------------------------------

def _write_piece(out, data):
    out.write(data)


def _changed(trial):
    """Positions of the trial's channels given new samples since it was read."""
    read = getattr(trial, "samples_read", None) or [lambda: None] * len(trial.samples)
    return [k for k, (was, samples) in enumerate(zip(read, trial.samples))
            if was() is not samples]


def _channels_to_write(trial, layout, source):
    """(name, file index, samples) of each changed channel; refuses, before anything
    is written, a trial that no longer fits the file."""
    indices = trial.analog_indices
    if len(indices) != len(trial.samples):
        raise ValueError(f"{len(trial.samples)} channels for {len(indices)} file positions; "
                         "nothing written")
    changed = set(_changed(trial))
    channels = []
    for k, (name, index, samples) in enumerate(zip(trial.channel_names, indices, trial.samples)):
        values = np.asarray(samples, dtype=np.float64)
        if values.shape != (layout.samples,):
            raise ValueError(f"channel {name}: {values.size} processed samples for "
                             f"{layout.samples} in the file; nothing written")
        if k in changed:
            channels.append((name, index, values))
    if layout.stamp != _stamp(source):
        raise ValueError(f"{source} changed after the trial was read; nothing written, "
                         "open the trial again")
    return channels


def _stamp(path):
    stat = os.stat(path)
    return (stat.st_size, stat.st_mtime_ns)


def _patch(layout, frames, index, name, new):
    """Put into ``frames`` (a piece of the data block) the samples of one channel
    whose values differ from the stored ones."""
    words = layout.analog(frames)[:, :, index].reshape(-1, layout.word)
    column = layout.analog(layout.as_numbers(frames))[:, :, index]
    try:
        encoded = layout.as_numbers(layout.encode(new, index, name))
    except ValueError:
        # Refused only when a differing value cannot be stored: an equal one is
        # left as it is.
        encoded = None
    if encoded is None:
        differ = np.arange(new.size)
    else:
        differ = np.flatnonzero(encoded != column.reshape(-1))
    if not differ.size:
        return
    # Other words may read as the same value (-0 and 0, NaNs, a coarse scale):
    # those samples did not change and keep their words.
    old = layout.decode(layout.stored(words[differ]), index)
    wanted = new[differ]
    differ = differ[(old != wanted) & ~(np.isnan(old) & np.isnan(wanted))]
    if encoded is None:
        encoded = layout.as_numbers(layout.encode(new[differ], index, name))
        column.flat[differ] = encoded
    else:
        column.flat[differ] = encoded[differ]


def _copy_patched(source, target, layout, channels):
    """Copy ``source`` to the open ``target`` with the changed samples of ``channels``
    put in; the checksum of the data block as written.  A value the file's storage
    cannot hold stops the copy with a ValueError."""
    checksum = 0
    with open(source, "rb") as f:
        _write_piece(target, f.read(layout.start))
        for first, frames in layout.pieces(f):
            end = first + frames.shape[0] * layout.ratio
            for name, index, values in channels:
                _patch(layout, frames, index, name, values[first:end])
            piece = memoryview(frames.reshape(-1))
            checksum = zlib.crc32(piece, checksum)
            _write_piece(target, piece)
        while True:  # whatever follows the data block
            rest = f.read(PIECE_BYTES)
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
    "_processed.c3d"; with ``in_place`` it is the original file.  It is
    written whole or not at all (``plotvane.files.write_atomically``), once
    its data block read back is the one meant: the destination is replaced
    only by a complete file (the original too, with ``in_place``), keeping
    its permissions.

    The channels given new samples since the trial was read are written;
    of those, only the samples whose values differ from the file's; every
    other byte is copied unchanged, without being decoded.  A channel whose
    sample count differs from the file's, or whose values the file's storage
    cannot hold (see the module notes on float and integer files), is
    refused with a ValueError naming it, and so is a source file that
    changed since the trial was read; the destination is then left as it was
    and no temporary file remains.
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
        destination = processed_path(trial)
    destination = os.path.abspath(destination)
    channels = _channels_to_write(trial, layout, source)

    written = []
    write_atomically(
        destination, lambda target: written.append(_copy_patched(source, target, layout, channels)),
        check=lambda temporary: _check_written(temporary, layout, written[0]))
    if destination == source:  # the trial now matches the new file
        layout.stamp = _stamp(source)
        _remember_read(trial)
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
