"""The analog samples of a C3D data block: reading and writing them in place.

Once ``c3d_layout`` has settled where the data block is and how it is laid
out, this is what turns its words into sample values and back: each
channel's ANALOG:SCALE and ANALOG:OFFSET and the file's ANALOG:GEN_SCALE,
float or (signed or unsigned) integer storage in the file's processor
format, and the data block in pieces of whole frames.
"""

import math

import numpy as np

from quorvaemg_host import c3d_format as fmt

PIECE_BYTES = 1 << 22  # data read and written in pieces of about this size


def damaged(path, what):
    return ValueError(f"{path}: damaged C3D file ({what}), copy or export the trial again")


def _numbers(group, name, path):
    """A parameter's values as floats; refused when they are not numbers."""
    found = fmt.values(group, name)
    if not all(isinstance(v, (int, float)) for v in found):
        raise damaged(path, f"ANALOG:{name} holds text, not numbers")
    return [float(v) for v in found]


def read_channels(layout, keep):
    """The samples (float64) of the analog channels at ``keep``."""
    samples = [np.empty(layout.samples) for _ in keep]
    with open(layout.path, "rb") as f:
        for first, frames in layout.pieces(f):
            stored = layout.analog(layout.stored(frames))
            end = first + stored.shape[0] * stored.shape[1]
            for k, index in enumerate(keep):
                samples[k][first:end] = layout.decode(stored[:, :, index], index).ravel()
    return samples


class Samples:
    """The analog part of a ``Layout``: needs its ``path``, ``parameters``,
    ``analogs``, ``frames``, ``ratio``, ``is_float``, ``word``, ``start``,
    ``first_analog_word``, ``frame_words``, ``numbers`` and ``warnings``."""

    def _read_analog_factors(self):
        analog = self.parameters.get("ANALOG", {})
        labels = [str(s) for s in fmt.values(analog, "LABELS")][:self.analogs]
        labels += [""] * (self.analogs - len(labels))
        # Some systems leave unused channels' labels blank: each still needs a
        # name to be told apart in tables and picked with --channels.
        self.labels = [label if label.strip() else f"Analog{k + 1}"
                       for k, label in enumerate(labels)]
        self.units = [str(u) for u in fmt.values(analog, "UNITS")][:self.analogs]
        if len(self.units) == 1:  # one unit given for the whole group
            self.units *= self.analogs
        self.units += [""] * (self.analogs - len(self.units))
        self.scales = _numbers(analog, "SCALE", self.path)
        self.offsets = [abs(int(o)) if math.isfinite(o) else o
                        for o in _numbers(analog, "OFFSET", self.path)]
        lacking = [self.labels[k] for k in range(self.analogs)
                   if k >= len(self.scales) or k >= len(self.offsets)]
        if lacking:
            shown = ", ".join(lacking[:6]) + (f" and {len(lacking) - 6} more"
                                              if len(lacking) > 6 else "")
            self.warnings.append(f"ANALOG:SCALE or ANALOG:OFFSET has no entry for {shown}: "
                                 "read with scale 1 and offset 0 (their stored values)")
        self.scales += [1.0] * (self.analogs - len(self.scales))
        self.offsets += [0] * (self.analogs - len(self.offsets))
        self.gen_scale = (_numbers(analog, "GEN_SCALE", self.path) or [1.0])[0]
        if not math.isfinite(self.gen_scale):
            raise damaged(self.path, f"ANALOG:GEN_SCALE is {self.gen_scale}")
        formats = [str(f).strip().upper() for f in fmt.values(analog, "FORMAT")]
        self.unsigned = not self.is_float and formats[:1] == ["UNSIGNED"]

    def check_channel(self, index):
        """Refuse a channel whose samples its scale and offset cannot give."""
        for name, value in (("SCALE", self.scales[index]), ("OFFSET", self.offsets[index])):
            if not math.isfinite(value):
                raise damaged(self.path, f"channel {self.labels[index]}: its ANALOG:{name} is "
                                         f"{value}")

    @property
    def samples(self):
        """Samples per analog channel."""
        return self.frames * self.ratio

    # -- the data block, in pieces of whole frames ------------------------------

    def cut_short(self, held):
        return damaged(self.path, f"it declares {self.frames} frames, holds {held}")

    def pieces(self, f):
        """(first sample, frames) over the data block of the open file ``f``, in pieces:
        ``frames`` is a writable uint8 array ``(frames, frame_words, word)``."""
        frame_bytes = self.frame_words * self.word
        per_piece = max(1, PIECE_BYTES // max(frame_bytes, 1))
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
            return self.numbers.floats(frames)
        dtype = self.numbers.uint16 if self.unsigned else self.numbers.int16
        return frames.view(dtype)[..., 0].astype(np.float32)

    def decode(self, stored, index):
        """Sample values (float64) of a channel's stored numbers."""
        scale, offset = self.scales[index], self.offsets[index]
        with np.errstate(invalid="ignore"):  # a signalling NaN sample stays a NaN
            if offset == 0 and scale == 1 and self.gen_scale == 1:  # as Nexus writes EMG
                return stored.astype(np.float64)
            return (stored - np.float32(offset)).astype(np.float64) * scale * self.gen_scale

    def encode(self, values, index, name):
        """Stored words ``(n, word)`` for sample values; refuses values the storage cannot hold."""
        scale, offset = self.scales[index], self.offsets[index]
        if scale == 0 or self.gen_scale == 0:
            raise ValueError(f"channel {name}: its scale is 0, so no value can be stored")
        stored = values / self.gen_scale / scale + offset
        if self.is_float:
            try:
                return self.numbers.float_words(stored)
            except ValueError as exc:
                raise ValueError(f"channel {name}: {exc}") from None
        if not np.all(np.isfinite(stored)):
            raise ValueError(f"channel {name}: values that are not finite cannot be "
                             "stored as integers")
        stored = np.rint(stored)
        low, high = (0, 65535) if self.unsigned else (-32768, 32767)
        if stored.min(initial=low) < low or stored.max(initial=low) > high:
            raise ValueError(f"channel {name}: processed values exceed the file's 16-bit "
                             f"integer range (step {scale * self.gen_scale:g})")
        dtype = self.numbers.uint16 if self.unsigned else self.numbers.int16
        return stored.astype(dtype).view(np.uint8).reshape(-1, 2)
