"""The marker trajectories of a C3D file, for the gait events found from them.

A trial read for its EMG never needs them, so they are read only on
request (``load_points``), over the same layout and the same pieces of the
data block as the analog channels, one array per marker.

Each point takes four words per frame: x, y, z and a word holding the
cameras that saw the marker and its residual, read as the reference library
ezc3d reads it (the residual in the word's high byte, in units of
|POINT:SCALE|); a negative word marks a sample no camera reconstructed.  Integer files store
the coordinates and the residual as multiples of POINT:SCALE; float files
store the coordinates as they are and that fourth word as a float holding
the same integer.
"""

import os

import numpy as np

from quorvaemg_host import c3d_format as fmt
from quorvaemg_host.c3d_layout import Layout


class Points:
    """The markers of a C3D file: ``labels`` (POINT:LABELS in file order, without
    NUL padding and trailing blanks; "Point<n>" for a point the list leaves
    unnamed), ``unit`` (POINT:UNITS, "" when absent), ``rate`` (frames per
    second), ``first_frame`` and per label ``xyz`` (float64, frames x 3),
    ``residuals`` (float64, frames; -1 for a gap) and ``valid`` (bool, frames:
    False for a gap, marked by the residual word or, as some systems write
    gaps, by coordinates all zero or not numbers).  A gap's coordinates are NaN when
    the file marks it by the residual word, as the reference library gives them.
    """

    def __init__(self, labels, unit, rate, first_frame, xyz, residuals):
        self.labels, self.unit, self.rate, self.first_frame = labels, unit, rate, first_frame
        self.xyz = dict(zip(labels, xyz))
        self.residuals = dict(zip(labels, residuals))
        self.valid = {label: (r >= 0) & np.any(c != 0, axis=1) & np.all(np.isfinite(c), axis=1)
                      for label, c, r in zip(labels, xyz, residuals)}


def _point_labels(point, count):
    labels = [str(s) for s in fmt.values(point, "LABELS")][:count]
    return labels + [f"Point{k + 1}" for k in range(len(labels), count)]


def _scale(point, path):
    value = fmt.first(point, "SCALE", 1.0)
    if not isinstance(value, (int, float)) or not np.isfinite(value):
        raise ValueError(f"{path}: damaged C3D file (POINT:SCALE is {value!r}), "
                         "copy or export the trial again")
    return float(value)


def _decode(layout, words, scale):
    """(coordinates (frames, points, 3), residuals (frames, points)), float64, of the
    point words ``(frames, points, 4, word)``."""
    if layout.is_float:
        stored = layout.numbers.floats(words)
        xyz = stored[..., :3].astype(np.float64)
        with np.errstate(invalid="ignore"):
            fourth = np.clip(np.nan_to_num(stored[..., 3], nan=-1.0), -1, 0xFFFF).astype(np.int32)
    else:
        stored = words.view(layout.numbers.int16)[..., 0]
        xyz = stored[..., :3] * scale
        fourth = stored[..., 3].astype(np.int32)
    gap = fourth < 0
    residuals = np.where(gap, -1.0, ((fourth >> 8) & 0xFF) * abs(scale))
    xyz[gap] = np.nan
    return xyz, residuals


def load_points(path, layout=None):
    """The markers of the C3D file ``path`` (``Points``); a file of no points has
    no labels.  A damaged file is a ValueError naming it, as for ``load_trial``.
    ``layout`` is the file's ``Layout`` when the caller has read it already."""
    path = os.path.abspath(path)
    layout = layout if layout is not None else Layout(path)
    point = layout.parameters.get("POINT", {})
    count = layout.points
    scale = _scale(point, path)
    xyz = np.empty((count, layout.frames, 3))
    residuals = np.empty((count, layout.frames))
    if count:
        with open(path, "rb") as f:
            end = 0
            for _, frames in layout.pieces(f):  # its first sample counts analog sub-frames
                first, end = end, end + frames.shape[0]
                words = frames[:, :layout.first_analog_word].reshape(
                    frames.shape[0], count, 4, layout.word)
                coordinates, residual = _decode(layout, words, scale)
                xyz[:, first:end] = coordinates.transpose(1, 0, 2)
                residuals[:, first:end] = residual.T
    units = [str(u).strip() for u in fmt.values(point, "UNITS")]
    return Points(_point_labels(point, count), units[0] if units else "", layout.frame_rate,
                  layout.first_frame, list(xyz), list(residuals))
