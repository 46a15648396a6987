"""The linear envelope of raw EMG at the trial's own sampling rate: mean
removed, Butterworth band-pass, full-wave rectification and a zero-lag
Butterworth low-pass, all of it scipy's filters on numpy arrays.  (The moving
RMS envelope is the core's ``rms_envelope``.)  Keep to Python 3.7.
"""

import functools
import math
import operator
import sys

import numpy as np
import scipy.signal

# The band-pass's upper edge keeps this share of the Nyquist frequency at
# most: a Butterworth edge at Nyquist itself cannot be designed.
NYQUIST_SHARE = 0.95
# Higher orders gain nothing for an envelope, and from about a hundred the
# filter design itself overflows.
MAX_ORDER = 20
_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE: a class written in Python


def _type_name(value):
    """The name of ``value``'s type as the core's messages give it."""
    kind = type(value)
    if kind.__flags__ & _HEAP_TYPE or kind.__module__ == "builtins":
        return kind.__name__
    return f"{kind.__module__}.{kind.__name__}"


def _text(number):
    """A number as a message shows it (six significant digits)."""
    return f"{number:g}"


def frozen_items(values):
    """A plain list as a tuple of its items: numpy reads a list through borrowed
    pointers while it calls back into Python, and the list may change meanwhile."""
    return tuple(values) if type(values) is list else values


def _finite_array(value, name):
    """``value`` as a 1-D float64 array of finite numbers, not empty (``value``
    itself when it is one: the envelope works in arrays of its own)."""
    not_numbers = f"{name} must be an array of numbers, not {_type_name(value)}"
    if value is None or isinstance(value, (str, bytes)):
        raise TypeError(not_numbers)
    try:
        array = np.asarray(frozen_items(value), dtype=np.float64)
    except (TypeError, ValueError, OverflowError):
        raise TypeError(not_numbers) from None
    if array.ndim != 1:
        raise ValueError(f"{name} must have 1 dimension(s), not shape {array.shape}")
    if array.size == 0:
        raise ValueError(f"{name} is empty")
    # NaN spreads to the smallest and largest value, and an infinity is one of
    # them: two passes, no array of flags, for a whole recording.
    if not (math.isfinite(array.min()) and math.isfinite(array.max())):
        bad = array[np.argmin(np.isfinite(array))]
        raise ValueError(f"{name} holds a value that is not finite ({_text(bad)})")
    return array


def _positive_number(value, name):
    not_number = f"{name} must be a number, not {_type_name(value)}"
    if isinstance(value, (str, bytes, bytearray)):
        raise TypeError(not_number)
    try:
        number = float(value)
    except (TypeError, ValueError, OverflowError):
        raise TypeError(not_number) from None
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, not {_text(number)}")
    if not number > 0.0:
        raise ValueError(f"{name} must be above 0, not {_text(number)}")
    return number


def _order(value):
    if not hasattr(type(value), "__index__") or isinstance(value, bool):
        raise TypeError(f"order must be an integer, not {_type_name(value)}")
    number = operator.index(value)
    if not -sys.maxsize - 1 <= number <= sys.maxsize:
        raise ValueError("order is too large")
    if number < 1:
        raise ValueError(f"order must be at least 1, not {_text(float(number))}")
    if number > MAX_ORDER:
        raise ValueError(f"order must be at most {MAX_ORDER}, not {number}")
    return number


def _centred(samples):
    """(samples less their mean, times ``gain``; ``gain``): a power of two that
    brings the largest magnitude near 1, so that channels in any unit, up to
    the largest finite numbers, keep their envelope finite and above zero.
    Scaling by it is exact, so the envelope divided by it again is the one
    the samples would give unscaled."""
    magnitude = max(-float(samples.min()), float(samples.max()))
    exponent = math.frexp(magnitude)[1] - 1 if magnitude > 0.0 else 0
    gain = math.ldexp(1.0, -min(max(exponent, -1000), 1000))
    scaled = samples * gain
    scaled -= scaled.mean()
    return scaled, gain


# One design per filter: a trial's channels share their rate and settings,
# and designing took a sixth of an envelope's time.
@functools.lru_cache(maxsize=64)
def _band_pass(order, low, high, rate):
    return scipy.signal.butter(order, (low, high), btype="bandpass", fs=rate, output="sos")


@functools.lru_cache(maxsize=64)
def _low_pass(order, cut, rate):
    return scipy.signal.butter(order, cut, btype="lowpass", fs=rate, output="sos")


def _filtfilt(sos, x):
    """scipy's sosfiltfilt, its refusals said in terms of the arguments: it
    refuses signals shorter than its padding, and cannot start a filter whose
    edge is a vanishing share of the rate."""
    try:
        return scipy.signal.sosfiltfilt(sos, x)
    except np.linalg.LinAlgError as exc:  # a ValueError only from numpy 2 on
        raise ValueError("band or lowpass: an edge so far below the sampling rate gives a "
                         f"filter that cannot be applied ({exc})") from None
    except ValueError as exc:
        raise ValueError(f"samples are too few for the envelope's filters ({exc})") from None


def linear_envelope(samples, rate, band=(20.0, 450.0), lowpass=6.0, order=4):
    """Linear envelope at the given sampling rate: mean removed, Butterworth band-pass
    (the upper edge kept below the Nyquist frequency), full-wave rectification and a
    zero-lag Butterworth low-pass at `lowpass` Hz."""
    x = _finite_array(samples, "samples")
    fs = _positive_number(rate, "rate")
    edges = _finite_array(band, "band")
    if edges.size != 2 or not edges[0] > 0.0 or not edges[1] > edges[0]:
        raise ValueError("band must be (low, high) in Hz with 0 < low < high")
    low, high = float(edges[0]), float(edges[1])
    cut = _positive_number(lowpass, "lowpass")
    n = _order(order)
    nyquist = fs / 2.0
    upper = min(high, NYQUIST_SHARE * nyquist)
    if not low < upper:
        raise ValueError(f"rate: at {_text(fs)} Hz the band-pass's lower edge ({_text(low)} Hz) "
                         f"is not below its upper edge ({_text(upper)} Hz, kept below the "
                         "Nyquist frequency)")
    if not cut < nyquist:
        raise ValueError(f"lowpass: {_text(cut)} Hz is not below the Nyquist frequency "
                         f"({_text(nyquist)} Hz)")
    band_pass, low_pass = _band_pass(n, low, upper, fs), _low_pass(n, cut, fs)
    centred, gain = _centred(x)
    rectified = _filtfilt(band_pass, centred)
    np.abs(rectified, out=rectified)
    smooth = _filtfilt(low_pass, rectified)
    smooth /= gain
    return smooth
