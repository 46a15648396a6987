"""How a gait analysis is run: the envelope, the amplitude normalisation and
the activity threshold, from the texts of the command's options (or of a
Nexus script's keywords), and the errors the analysis reports.  Keep to
Python 3.7.
"""

import math
import os

import numpy as np

from quorvaemg_gait import _core
from quorvaemg_gait import muscles as naming
from quorvaemg_gait import tables
from quorvaemg_gait.envelope import linear_envelope

ENVELOPES = "linear | rms:MS | as-is"
# Synergies per side when asked for without a number (k = 1 ... 5).
DEFAULT_SYNERGIES = 5
NORMALISATIONS = "none | peak | mvc:FILE"


class GaitError(ValueError):
    """A trial or a setting the analysis cannot use: what is wrong, and what to do."""

    def __init__(self, what, todo=None):
        super().__init__(what if todo is None else f"{what}, {todo}")


class SettingError(GaitError):
    """An envelope or normalisation text that is none of its forms: a mistake in
    the command line (or in a Nexus script's keywords), not in a file."""


MVC_FILE = tables.TableFile("MVC file", "--normalise mvc:FILE (normalise= in a Nexus script)",
                            "channel,value")


def read_mvc(path):
    """{channel: reference value} of an MVC file ``channel,value`` (header optional;
    ``channel;value`` with a decimal comma too)."""
    values = {}
    for number, cells in MVC_FILE.rows(path):
        if not values and cells[0].lower() == "channel":
            continue
        try:
            value = float(cells[1].replace(",", ".")) if len(cells) == 2 else float("nan")
        except ValueError:
            value = float("nan")
        if not (math.isfinite(value) and value > 0):
            raise MVC_FILE.error(path, "expected channel,value with a positive value, found "
                                       f"\"{tables.excerpt(','.join(cells))}\"", number)
        values[cells[0]] = value
    if not values:
        raise MVC_FILE.error(path, "holds only its header, no channel,value line")
    return values


def parse_envelope(text):
    """("linear" | "as-is", None) or ("rms", window in ms) from --envelope's text."""
    kind, _, window = text.strip().lower().partition(":")
    if kind in ("linear", "as-is") and not window:
        return kind, None
    if kind == "rms":
        try:
            ms = float(window)
        except ValueError:
            ms = float("nan")
        if math.isfinite(ms) and ms > 0:
            return kind, ms
    raise SettingError(f"envelope \"{tables.excerpt(text)}\" is not one of {ENVELOPES}",
                       "give e.g. linear or rms:100 (a window of 100 ms)")


def parse_normalise(text):
    """("none" | "peak", None) or ("mvc", {channel: value}) from --normalise's text."""
    kind, _, path = text.strip().partition(":")
    if kind.lower() in ("none", "peak") and not path:
        return kind.lower(), None
    if kind.lower() == "mvc" and path:
        return "mvc", read_mvc(path)
    raise SettingError(f"normalisation \"{tables.excerpt(text)}\" is not one of "
                       f"{NORMALISATIONS}",
                       "give none, peak or mvc:FILE with FILE a CSV of channel,value")


def parse_synergies(value):
    """The most synergies asked for (an int of 1 or more), or None for none."""
    if value is None or value is False:
        return None
    if value is True:
        return DEFAULT_SYNERGIES
    try:
        count = int(value) if float(value) == int(value) else None
    except (TypeError, ValueError, OverflowError):
        count = None
    if count is None or count < 1:
        raise SettingError(f"synergies \"{tables.excerpt(str(value))}\" is not a whole number "
                           "of 1 or more", "give e.g. 5 (k = 1 ... 5 synergies per side)")
    return count


class Settings:
    """How the trials are analysed; the texts are those of the command's options.

    ``muscles`` is a mapping file's path or a {channel: (side, muscle)} dict.
    """

    def __init__(self, channels=None, muscles=None, normalise="none", envelope="linear",
                 threshold=0.25, merge=3.0, reference=None, pairs=None, synergies=None):
        self.channels = channels
        self.synergies = parse_synergies(synergies)
        # The texts first: a mistyped option is told before any file is read.
        self.envelope, self.window_ms = parse_envelope(envelope)
        self.normalise_text = normalise
        self.normalise, self.mvc = parse_normalise(normalise)
        if muscles is None or isinstance(muscles, dict):
            self.mapping = dict(muscles or {})
        else:
            self.mapping = naming.read_mapping(os.fspath(muscles))
        self.threshold, self.merge = float(threshold), float(merge)
        # A lab reference of the same settings, and the antagonists paired.
        from quorvaemg_gait import reference as lab, scoring

        self.reference = None
        if reference is not None:
            self.reference = lab.read_reference(os.fspath(reference))
            self.reference.check(self)
        self.pairs = (scoring.DEFAULT_PAIRS if pairs is None else
                      scoring.read_pairs(os.fspath(pairs)))

    def describe(self):
        """(label, value) pairs for the report's first page."""
        envelopes = {"linear": "linear (band-pass 20-450 Hz, rectified, low-pass 6 Hz, "
                               "zero lag)",
                     "as-is": "channels taken as they are"}
        envelope = envelopes.get(self.envelope) or f"moving RMS of {self.window_ms:g} ms"
        normalisations = {"none": "none (the channel's unit)",
                          "peak": "peak of each channel's mean curve = 100 %"}
        normalise = (normalisations.get(self.normalise)
                     or f"MVC reference values from {self.normalise_text[4:]} = 100 %")
        found = (("Envelope", envelope), ("Amplitude", normalise),
                 ("Activity", f"above {self.threshold * 100:g} % of the mean curve's range "
                              f"(min to max); stretches under {self.merge:g} % of the cycle "
                              "merged"))
        if self.synergies is not None:
            found += (("Synergies", f"k = 1 ... {self.synergies} per side (at most its muscles), "
                                    "non-negative factorisation of the cycles' curves, each "
                                    "muscle scaled to unit variance"),)
        return found

    def scale(self, channel):
        if self.mvc is None:
            return self.normalise
        if channel not in self.mvc:
            raise GaitError(f"the MVC file {self.normalise_text[4:]} has no value for "
                            f"channel {channel}", f"add a line {channel},VALUE to it")
        return self.mvc[channel]

    def envelope_of(self, samples, rate):
        if self.envelope == "linear":
            return linear_envelope(samples, rate)
        if self.envelope == "rms":
            return _core.rms_envelope(samples, rate, self.window_ms)
        samples = np.asarray(samples, dtype=np.float64)
        if not np.isfinite(samples).all():
            raise ValueError("samples are not all finite numbers")
        return samples

