"""Gait events found from marker trajectories, for trials whose C3D file has none.

Each foot's heel and toe and the pelvis are found among the trial's markers
by their usual names (``LHEE``, ``RTOE``, ``SACR``..., with or without a
subject prefix such as ``Matt:LHEE``); a table ``role,side,marker`` given by
the lab names them where its names differ.  The events themselves are the
core's ``feet_events`` (the coordinate method of Zeni et al. 2008, each event
then moved to where the foot's speed says it lands or leaves the floor).
"""

import numpy as np

from quorvaemg_gait import _core, tables
from quorvaemg_gait.muscles import SIDE_NAMES

ROLES = ("heel", "toe", "pelvis")
HEEL_NAMES = ("HEE", "CAL", "ANK")
TOE_NAMES = ("TOE", "MT2", "MT5", "PM1", "FM1")
PELVIS_NAMES = ("SACR", "VSAC")
# Without a sacrum marker: the midpoint of the posterior iliac spines, else of the
# anterior ones (they move with the pelvis as well).
PELVIS_MIDPOINTS = (("LPSI", "RPSI"), ("LASI", "RASI"))
# Below this the pelvis stands still and no event is looked for: 100 mm/s.
STILL_SPEED = {"mm": 100.0, "cm": 10.0, "m": 0.1}
STRIKE, OFF = "Foot Strike", "Foot Off"

MARKERS_FILE = tables.TableFile("markers file", "--markers FILE", "role,side,marker")
_HEADER = ("role", "side", "marker")


class MarkersError(tables.TableError):
    """A markers file that cannot be read as ``role,side,marker`` rows."""


def read_overrides(path):
    """{(role, side): marker label} of a file of ``role,side,marker`` rows (header
    optional; blank lines and ``#`` lines skipped); a bad row is a ``MarkersError``
    naming the file and the line."""
    overrides = {}
    for row, (number, cells) in enumerate(MARKERS_FILE.rows(path)):
        if row == 0 and tuple(c.lower() for c in cells) == _HEADER:
            continue
        if len(cells) != 3 or not cells[2]:
            raise _error(path, number, "expected role,side,marker, found "
                                       f"\"{tables.excerpt(','.join(cells))}\"")
        role, side = cells[0].lower(), SIDE_NAMES.get(cells[1].upper())
        if role not in ROLES:
            raise _error(path, number, f"role \"{tables.excerpt(cells[0])}\" is not heel, "
                                       "toe or pelvis")
        if side is None:
            raise _error(path, number, f"side \"{tables.excerpt(cells[1])}\" is not L, R, "
                                       "Left or Right")
        overrides[(role, side)] = cells[2]
    if not overrides:
        raise _error(path, None, "holds only its header, no role,side,marker line")
    return overrides


def _error(path, number, what):
    return MarkersError(str(MARKERS_FILE.error(path, what, number)))


def _by_name(labels):
    """{marker name in capitals, subject prefix removed: label}; the first label wins."""
    found = {}
    for label in labels:
        found.setdefault(label.rsplit(":", 1)[-1].strip().upper(), label)
    return found


def find_roles(labels, side, overrides=None):
    """{role: (labels,)} of one side ("Left"/"Right"): the marker of the heel and of
    the toe, and the one or several whose midpoint is the pelvis; a role not found
    is left out."""
    names, prefix = _by_name(labels), side[0]
    overrides = overrides or {}
    roles = {}
    for role, choices in (("heel", [(prefix + n,) for n in HEEL_NAMES]),
                          ("toe", [(prefix + n,) for n in TOE_NAMES]),
                          ("pelvis", [(n,) for n in PELVIS_NAMES] + list(PELVIS_MIDPOINTS))):
        given = overrides.get((role, side))
        if given is not None:
            choices = [(given.rsplit(":", 1)[-1].strip().upper(),)]
        for choice in choices:
            if all(n in names for n in choice):
                roles[role] = tuple(names[n] for n in choice)
                break
    return roles


def trajectory(points, labels):
    """The midpoint of the markers ``labels`` (frames x 3), NaN where any is missing:
    a sample of all zeros is how capture systems write a marker they lost."""
    total = None
    for label in labels:
        xyz = np.asarray(points[label], dtype=np.float64)
        if xyz.ndim != 2 or xyz.shape[1] != 3:
            raise ValueError(f"marker {label} must have shape (frames, 3), not {xyz.shape}")
        zero = xyz == 0
        lost = np.flatnonzero(zero.all(axis=1)) if zero.any() else []
        if total is None:
            # The caller's array itself when nothing is to change in it.
            total = xyz.copy() if len(lost) or len(labels) > 1 else xyz
        else:
            total += xyz
        if len(lost):
            total[lost] = np.nan
    if len(labels) > 1:
        total /= len(labels)
    return total


def still_speed(unit):
    """The pelvis speed below which a subject stands still, in ``unit`` per second."""
    speed = STILL_SPEED.get(str(unit).strip().lower())
    if speed is None:
        raise ValueError(f"unit {unit!r} is not mm, cm or m")
    return speed


def detect_events(points, rate, unit="mm", lowpass=6.0, overrides=None, slow_share=0.15):
    """(events, notes): {(side, "Foot Strike"|"Foot Off"): [frame positions]} found
    from the markers ``points`` ({label: frames x 3}, z vertical) recorded at
    ``rate`` Hz in ``unit``, and lines saying which markers were used and what was
    missing.  ``overrides`` is a markers file (``read_overrides``) or its table.
    ``slow_share`` is the share of a foot's peak speed its events are moved to
    (the core's ``feet_events``); 0 keeps the coordinate method's extremes."""
    if overrides is not None and not isinstance(overrides, dict):
        overrides = read_overrides(overrides)
    speed = still_speed(unit)
    found = {side: find_roles(points, side, overrides) for side in ("Left", "Right")}
    # Sides of one pelvis (nearly always both) in one call: the pelvis is then
    # filtered, and its stretches of walking found, once.
    by_pelvis, answers = {}, {}
    for side, roles in found.items():
        if all(role in roles for role in ROLES):
            by_pelvis.setdefault(roles["pelvis"], []).append(side)
    for pelvis, sides in by_pelvis.items():
        arrays = _arrays(points, pelvis + tuple(found[s][r][0] for s in sides for r in ROLES[:2]))
        feet = [tuple(arrays[len(pelvis) + 2 * k:len(pelvis) + 2 * k + 2])
                for k in range(len(sides))]
        answers.update(zip(sides, _core.feet_events(arrays[:len(pelvis)], feet, rate, lowpass,
                                                    speed, slow_share)))
    events, notes = {}, []
    for side, roles in found.items():
        missing = [role for role in ROLES if role not in roles]
        if missing:
            notes.append(f"{side}: no {' or '.join(missing)} marker found, no events")
            continue
        strikes, offs = answers[side]
        events[(side, STRIKE)] = strikes.tolist()
        events[(side, OFF)] = offs.tolist()
        notes.append(f"{side}: heel {roles['heel'][0]}, toe {roles['toe'][0]}, pelvis "
                     f"{' + '.join(roles['pelvis'])}: {len(strikes)} strikes, {len(offs)} offs")
    return events, notes


def _arrays(points, labels):
    """The markers ``labels`` as float64 arrays of frames x 3, all as long, as the
    core takes them (a sample of all zeros is missing there, as in ``trajectory``)."""
    arrays = []
    for label in labels:
        xyz = np.asarray(points[label], dtype=np.float64)
        if xyz.ndim != 2 or xyz.shape[1] != 3:
            raise ValueError(f"marker {label} must have shape (frames, 3), not {xyz.shape}")
        if arrays and len(xyz) != len(arrays[0]):
            raise ValueError(f"marker {label} has {len(xyz)} frames, {labels[0]} "
                             f"{len(arrays[0])}: the markers must have as many frames")
        arrays.append(xyz)
    return arrays
