"""What the gait analysis says of a subject's curves beyond their timing: how
alike a channel's cycles are, how its mean curve lies against the lab's
reference, and how much antagonist muscles of one side are active together
(co-contraction).  The numbers come from the core; this module pairs the
curves they are computed over.  Keep to Python 3.7.
"""

import numpy as np

from quorvaemg_gait import _core
from quorvaemg_gait import muscles as naming
from quorvaemg_gait import tables

# Above this variance ratio a channel's cycles are marked inconsistent: half
# way from identical cycles (0) to cycles that share nothing but their mean
# level (noise, 1).
CONSISTENCY_LIMIT = 0.5
PHASES = ("whole", "stance", "swing")
# Antagonists of the lower limb, as clinical gait analysis pairs them.
DEFAULT_PAIRS = (("TA", "GAS"), ("TA", "SOL"),
                 ("RF", "HAM"), ("RF", "MH"), ("RF", "LH"),
                 ("VL", "HAM"), ("VL", "MH"), ("VL", "LH"),
                 ("VM", "HAM"), ("VM", "MH"), ("VM", "LH"))
PAIRS_FILE = tables.TableFile("pairs file", "--pairs FILE (pairs= in a Nexus script)",
                              "muscle,muscle")
NOT_NORMALISED = ("the curves are not amplitude-normalised, and the index of curves in "
                  "volts would depend on the electrodes: give --normalise peak or mvc:FILE "
                  "(normalise= in a Nexus script)")


def consistency(analysis):
    """{"variance_ratio", "cosine", "consistent"} of a channel's cycles, or None
    below two cycles."""
    curves = analysis["curves"]
    if len(curves) < 2:
        return None
    ratio, cosine = _core.consistency(curves)
    # All cycles flat zero have no direction to compare: no cosine.
    return {"variance_ratio": float(ratio), "cosine": None if cosine is None else float(cosine),
            "consistent": bool(ratio <= CONSISTENCY_LIMIT)}


def against_reference(analysis, periods, entry, merge):
    """The mean curve of a channel (its activity ``periods``) against a reference entry."""
    found = dict(_core.compare_curve(analysis["mean"], entry["mean"], entry["sd"], merge=merge))
    found["shifts"] = list(_core.timing_shifts(periods, entry["periods"]))
    return found


def read_pairs(path):
    """[(muscle, muscle)] of a pairs file of ``muscle,muscle`` lines (header optional)."""
    pairs = []
    for number, cells in PAIRS_FILE.rows(path):
        if not pairs and [c.lower() for c in cells] in (["muscle", "muscle"],
                                                         ["muscle_a", "muscle_b"]):
            continue
        if len(cells) != 2 or not all(cells):
            raise PAIRS_FILE.error(path, "expected muscle,muscle, found "
                                         f"\"{tables.excerpt(','.join(cells))}\"", number)
        a, b = (naming.muscle_key(c) or c for c in cells)
        if a == b:
            raise PAIRS_FILE.error(path, f"pairs {cells[0]} with itself", number)
        pairs.append((a, b))
    if not pairs:
        raise PAIRS_FILE.error(path, "holds only its header, no muscle,muscle line")
    return pairs


def _by_cycle(channel):
    """{(trial, cycle number): row} of a channel's curves."""
    return {key: k for k, key in enumerate(channel.cycle_numbers())}


def _mean_sd(values):
    finite = values[np.isfinite(values)]
    if not len(finite):
        return None, None
    return float(np.mean(finite)), (float(np.std(finite, ddof=1)) if len(finite) > 1 else None)


def paired(channels, pairs):
    """(side, a, b) of each pair of muscles both of whose channels the side has,
    the first channel of a muscle (as its page shows first), in side and pair order."""
    for side in ("Left", "Right"):
        of_side = {}
        for channel in channels:
            if channel.side == side:
                of_side.setdefault(channel.muscle, channel)
        for a_muscle, b_muscle in pairs:
            if a_muscle in of_side and b_muscle in of_side:
                yield side, of_side[a_muscle], of_side[b_muscle]


def co_contraction(channels, pairs):
    """The co-contraction of each pair of muscles on each side, over the cycles
    both channels share: dicts in side and pair order (see ``GaitResult``)."""
    found = []
    for side, a, b in paired(channels, pairs):
        rows_a, rows_b = _by_cycle(a), _by_cycle(b)
        shared = [key for key in rows_a if key in rows_b]
        if not shared:
            continue
        pick_a = [rows_a[key] for key in shared]
        pick_b = [rows_b[key] for key in shared]
        index = _core.co_contraction(a.analysis["curves"][pick_a], b.analysis["curves"][pick_b],
                                     a.analysis["foot_off"][pick_a])
        found.append({"side": side, "muscle_a": a.muscle, "muscle_b": b.muscle,
                      "channel_a": a.name, "channel_b": b.name, "cycles": len(shared),
                      "phases": {phase: _mean_sd(np.asarray(index[phase])) for phase in PHASES},
                      "values": {phase: np.asarray(index[phase]) for phase in PHASES}})
    return found
