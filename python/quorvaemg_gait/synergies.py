"""Muscle synergies of each side and the dynamic motor control index during
walking (walk-DMC; Steele, Rozumalski and Schwartz, Dev Med Child Neurol
2015; Schwartz, Rozumalski and Steele, ibid. 2016) built on them.

A side's synergies come from its channels' time-normalised cycles, the
cycles all of them share laid one after another (a muscle a row), each
muscle scaled to unit variance: non-negative matrix factorisation into
k = 1 ... K synergies (the core's ``side_synergies``).  walk-DMC scales the
variance one synergy accounts for (tVAF1) of five muscles against a
group of typically developing walkers:

    walk-DMC = 100 + 10 x (mean tVAF1 of the group - tVAF1) / SD of the group

so that 100 is the group's mean and every 10 below it one SD less
independent control.  The group is the lab's own controls when the lab
reference holds their tVAF1, else the published group of ``dmc_group.json``
when it holds one.  Keep to Python 3.7.
"""

import json
import math
import os

import numpy as np

from quorvaemg_gait import _core
from quorvaemg_gait import muscles as naming
from quorvaemg_gait.settings import GaitError
from quorvaemg_gait.trial import SIDES

# The share of the variance at which a side's synergies are counted enough.
ENOUGH_TVAF = 0.90
SEED = 0
STARTS = 10
# The index's muscles, in the order its sources list them: rectus femoris,
# medial hamstrings, vastus lateralis, tibialis anterior and medial
# gastrocnemius.  A lab that records the hamstrings with one electrode
# places it over the medial ones, and the muscle table does not tell the
# heads of the gastrocnemius apart: those channels stand for the index's.
DMC_MUSCLES = (("RF",), ("MH", "HAM"), ("VL",), ("TA",), ("GAS",))
DMC_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dmc_group.json")
NO_GROUP = ("no walk-DMC, there is no group of typically developing walkers to scale it by: "
            "build a lab reference of control subjects (quorvaemg-host reference build) and give "
            "it with --reference (reference= in a Nexus script)")


class SideSynergies:
    """One side's synergies for k = 1 ... K and its walk-DMC (or why none)."""

    def __init__(self, side, channels, found, dmc):
        self.side = side
        self.channels = [ch.name for ch in channels]
        self.muscles = [ch.muscle for ch in channels]
        self.full_names = [ch.full_name for ch in channels]
        self.cycles = int(found["cycles"])
        self.tvaf = [float(v) for v in found["tvaf"]]
        self.muscle_vaf = np.asarray(found["muscle_vaf"])
        # Per k: weights muscles x k, and the activations' mean and SD over
        # the cycles, k x points (SD None from one cycle).
        self.weights = list(found["weights"])
        self.activation_mean = list(found["activation_mean"])
        self.activation_sd = list(found["activation_sd"])
        self.enough = next((k for k, v in enumerate(self.tvaf, 1) if v >= ENOUGH_TVAF), None)
        # The synergies the page draws: as many as account for enough of the
        # variance, else all that were computed.
        self.shown = self.enough or len(self.tvaf)
        self.dmc = dmc  # {"value", "tvaf1", "channels", "group"} or {"note"}


def shared_cycles(channels):
    """The curves of ``channels`` over the cycles all of them have, in the first
    channel's cycle order: [cycles x points array] per channel."""
    rows = [{key: k for k, key in enumerate(ch.cycle_numbers())} for ch in channels]
    shared = [key for key in rows[0] if all(key in found for found in rows[1:])]
    return [ch.analysis["curves"][[found[key] for key in shared]]
            for ch, found in zip(channels, rows)]


def side_channels(channels, side):
    """The first channel of each muscle of ``side`` (as its page shows first)."""
    found = {}
    for channel in channels:
        if channel.side == side:
            found.setdefault(channel.muscle, channel)
    return list(found.values())


def dmc_channels(of_side):
    """The channels of the index's muscles, or (None, the muscles missing)."""
    by_muscle = {ch.muscle: ch for ch in of_side}
    chosen, missing = [], []
    for choices in DMC_MUSCLES:
        channel = next((by_muscle[m] for m in choices if m in by_muscle), None)
        if channel is None:
            missing.append(naming.full_name(choices[0]) + f" ({choices[0]})")
        else:
            chosen.append(channel)
    return (None, missing) if missing else (chosen, [])


def first_tvaf(channels):
    """tVAF1 of ``channels`` over their shared cycles, or None without one."""
    curves = shared_cycles(channels)
    if not len(curves[0]):
        return None
    return float(factorised(channels, curves, 1)["tvaf"][0])


def factorised(channels, curves, max_k):
    """The core's synergies of ``channels`` over ``curves``, its messages
    naming the channels."""
    return _core.side_synergies(curves, max_k=max_k, seed=SEED, starts=STARTS,
                                names=[ch.name for ch in channels])


def side_tvaf1(result):
    """{side: tVAF1 of the index's muscles} of a control subject's analysis, for
    the sides that have all five."""
    found = {}
    for side in SIDES:
        chosen, _ = dmc_channels(side_channels(result.channels, side))
        try:
            value = None if chosen is None else first_tvaf(chosen)
        except ValueError:  # e.g. a flat channel: the side gives the group nothing
            value = None
        if value is not None:
            found[side] = value
    return found


def walk_dmc(tvaf1, group):
    """The index of ``tvaf1`` against ``group`` ({"mean", "sd"})."""
    return 100.0 + 10.0 * (group["mean"] - tvaf1) / group["sd"]


def published_group(path=None):
    """The published group ({"mean", "sd", "n", "source"}) the index is scaled
    against without a lab's own, or None where the file holds none."""
    path = path or DMC_FILE
    with open(path, encoding="utf-8") as fh:
        group = json.load(fh).get("group")
    if group is None:
        return None
    if not (isinstance(group, dict) and all(
            isinstance(group.get(key), (int, float)) and math.isfinite(group[key])
            for key in ("mean", "sd")) and group["sd"] > 0 and isinstance(group.get("source"), str)):
        raise GaitError(f"the published walk-DMC group in {path} needs a mean and an SD of "
                        "tVAF1 (SD above 0) and its source",
                        'give "group" as {"mean": ..., "sd": ..., "n": ..., "source": "..."}, or null')
    return group


def analyse_synergies(channels, max_k, reference=None):
    """([SideSynergies], [note]) of each side with two muscles or more, the
    index scaled against the reference's controls where it holds them, else
    against the published group."""
    found, notes = [], []
    published = None
    for side in SIDES:
        of_side = side_channels(channels, side)
        if len(of_side) < 2:
            notes.append(f"{side}: no synergies, {len(of_side)} muscle"
                         f"{'' if len(of_side) == 1 else 's'} analysed (two or more needed)")
            continue
        curves = shared_cycles(of_side)
        if not len(curves[0]):
            notes.append(f"{side}: no synergies, its muscles share no gait cycle")
            continue
        try:  # k = 1 ... max_k, at most the side's muscles
            fit = factorised(of_side, curves, max_k)
        except ValueError as exc:  # e.g. a flat channel: this side only
            notes.append(f"{side}: no synergies, " + " ".join(str(exc).split()))
            continue
        chosen, missing = dmc_channels(of_side)
        group = reference.dmc_group(side) if reference is not None else None
        if group is None and chosen is not None:
            if published is None:
                published = [published_group()]
            group = published[0]
        if chosen is None:
            dmc = {"note": "no walk-DMC, the side has no " + (
                missing[0] if len(missing) == 1 else
                ", ".join(missing[:-1]) + " or " + missing[-1])}
        elif group is None:
            dmc = {"note": NO_GROUP if reference is None else
                   f"no walk-DMC, fewer than two control subjects of the reference "
                   f"{reference.path} have all its muscles on the {side.lower()} side"}
        else:
            # A side of just the index's muscles has its tVAF1 already.
            tvaf1 = (float(fit["tvaf"][0]) if len(chosen) == len(of_side)
                     else first_tvaf(chosen))
            dmc = {"value": walk_dmc(tvaf1, group), "tvaf1": tvaf1,
                   "channels": [ch.name for ch in chosen], "group": group}
        found.append(SideSynergies(side, of_side, fit, dmc))
    return found, notes
