"""The force plates of a C3D file and their vertical force, for the gait events.

FORCE_PLATFORM describes each plate: its TYPE, the analog channels it
feeds (CHANNEL, 1-based, one column per plate), its four CORNERS and its
ORIGIN in the point unit.  The vertical force is read from the channels
the plate's type names, scaled as every analog channel is
(``c3d_samples``):

- types 2 and 4 give Fx, Fy, Fz, Mx, My, Mz: Fz is the third channel (type
  4's calibration matrix mixes the channels' other axes in, not applied);
- type 1 gives Fx, Fy, Fz, X, Y, Mz: Fz is the third channel;
- type 3 gives eight channels, Fz the sum of the last four.

Other types are left out with a note.
"""

import os
from collections import namedtuple

import numpy as np

from quorvaemg_host import c3d_format as fmt
from quorvaemg_host.c3d_layout import Layout
from quorvaemg_host.c3d_samples import read_channels

# Positions (0-based, among the plate's channels) whose sum is the vertical force.
_VERTICAL = {1: (2,), 2: (2,), 3: (4, 5, 6, 7), 4: (2,)}
_LOUDEST = 0.01  # the share of samples whose mean says which way the force points

Plate = namedtuple("Plate", "number type channels corners origin fz flipped")
Plates = namedtuple("Plates", "plates notes rate")


def _whole(value):
    """A count or a number as an int, stored as an integer or (by some writers) a
    float; None for what is no whole number."""
    if isinstance(value, float) and value.is_integer():
        return int(value)
    return value if isinstance(value, int) else None


def _columns(group, name, rows, count, read=lambda v: v):
    """A parameter's values as ``count`` columns of ``rows``, padded with None."""
    found = [read(v) for v in fmt.values(group, name)]
    found += [None] * (rows * count - len(found))
    return [found[k * rows:(k + 1) * rows] for k in range(count)]


def _floats(values, shape):
    """Stored numbers as a float64 array; NaN where the file gives none."""
    return np.array([v if isinstance(v, (int, float)) else np.nan for v in values],
                    dtype=float).reshape(shape)


def _contact_positive(fz):
    """``fz`` made positive under load: flipped when the mean of its largest
    magnitudes is negative; and whether it was."""
    if not fz.size or not np.any(np.isfinite(fz)):
        return fz, False
    magnitudes = np.nan_to_num(np.abs(fz), nan=-1.0)
    loudest = np.argsort(magnitudes)[-max(1, int(fz.size * _LOUDEST)):]
    flip = bool(np.nanmean(fz[loudest]) < 0)
    return (-fz if flip else fz), flip


def force_plates(path, layout=None):
    """The force plates of the C3D file ``path`` (``Plates``).

    ``plates`` holds one ``Plate`` per plate read: its ``number`` (from 1),
    ``type``, ``channels`` (the 1-based analog channel numbers of CHANNEL),
    ``corners`` (float64 4 x 3) and ``origin`` (float64 3) as stored, ``fz``
    (float64, one value per analog sample at ``rate``: the vertical force, made
    positive while the plate is loaded: when the mean of its largest
    magnitudes is negative the force is flipped, and ``flipped`` is True).
    ``notes`` are lines on the plates left out (those USED counts beyond the
    ones TYPE names, a type of no vertical channel known here, channels the
    file does not hold).  A file without FORCE_PLATFORM has no plates.  A damaged file is a ValueError naming it.
    ``layout`` is the file's ``Layout`` when the caller has read it already.
    """
    path = os.path.abspath(path)
    layout = layout if layout is not None else Layout(path)
    group = layout.parameters.get("FORCE_PLATFORM", {})
    used = max(_whole(fmt.first(group, "USED", 0)) or 0, 0)
    types = [_whole(t) for t in fmt.values(group, "TYPE")][:used]
    count = len(types)
    notes = [f"FORCE_PLATFORM:USED is {used}, its TYPE names {count}: "
             f"{count} read"] if count < used else []
    dims = group["CHANNEL"].dims if "CHANNEL" in group else []
    rows = dims[0] if dims else 0
    channels = _columns(group, "CHANNEL", rows, count, _whole)
    corners = _columns(group, "CORNERS", 12, count)
    origins = _columns(group, "ORIGIN", 3, count)
    plates = []
    for k in range(count):
        kind, numbers = types[k], channels[k]
        vertical = _VERTICAL.get(kind)
        if vertical is None:
            notes.append(f"force plate {k + 1}: type {kind} skipped (types 1 to 4 are read)")
            continue
        indices = [numbers[v] - 1 if v < len(numbers) and isinstance(numbers[v], int) else -1
                   for v in vertical]
        if not all(0 <= index < layout.analogs for index in indices):
            notes.append(f"force plate {k + 1}: its vertical force channels "
                         f"{[numbers[v] if v < len(numbers) else None for v in vertical]} "
                         f"are not among the file's {layout.analogs} analog channels, skipped")
            continue
        for index in indices:
            layout.check_channel(index)
        fz, flipped = _contact_positive(np.sum(read_channels(layout, indices), axis=0))
        plates.append(Plate(k + 1, kind, list(numbers),
                            _floats(corners[k], (4, 3)), _floats(origins[k], (3,)), fz, flipped))
    return Plates(plates, notes, layout.analog_rate)
