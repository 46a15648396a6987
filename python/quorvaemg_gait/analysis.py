"""The prepared trials pooled per channel: each channel's cycles normalised,
averaged, timed and compared with normal walking.  Keep to Python 3.7.
"""

import numpy as np

from quorvaemg_gait import _core
from quorvaemg_gait import muscles as naming
from quorvaemg_gait import scoring
from quorvaemg_gait.normal import (DEVIATIONS, intervals, join_periods, read_normal,
                                   without_short_deviations)
from quorvaemg_gait.prepare import pooled_verdicts
from quorvaemg_gait.settings import GaitError
from quorvaemg_gait.synergies import analyse_synergies
from quorvaemg_gait.trial import SIDES

POINTS = 101
UNKNOWN = "side/muscle not known"


class ChannelResult:
    """One channel's pooled analysis (the dict of ``analyse_channel``) and its
    comparison with normal walking (None without a normal pattern; deviations
    shorter than the merge length left out: ``without_short_deviations``)."""

    def __init__(self, name, side, muscle, trials, analysis, normal, comparison, unit):
        self.name, self.side, self.muscle = name, side, muscle
        self.unit = unit                # of its curves: the channel's own, or % when scaled
        self.trials = trials            # the trial name of each piece
        self.analysis = analysis
        self.normal = normal            # listed periods (on, off), or []
        self.comparison = comparison
        # What the report shows, worked out here so that the report writer
        # only draws: the muscle's full name, the normal periods as intervals
        # inside 0-100 %, and the mean curve's activity and each deviation as
        # periods of the cycle (one through foot strike as on-off, off < on).
        self.full_name = naming.full_name(muscle)
        self.normal_parts = intervals(normal)
        self.mean_periods = join_periods(analysis["mean_activity"])
        self.deviation_periods = (None if comparison is None else
                                  {key: join_periods(comparison[key]) for key in DEVIATIONS})
        self.consistency = scoring.consistency(analysis)
        # Against the lab reference, when one is given (``score_against``).
        self.reference = self.against = self.reference_note = None

    def score_against(self, reference, merge):
        """Compare the mean curve with the reference of the channel's side and muscle."""
        self.reference = reference.entry(self.side, self.muscle)
        if self.reference is None:
            self.reference_note = (f"no reference for the {self.side.lower()} {self.muscle} "
                                   f"in {reference.path}")
        else:
            self.against = scoring.against_reference(self.analysis, self.mean_periods,
                                                     self.reference, merge)

    def cycle_numbers(self):
        """(trial name, number of the cycle in that trial) of each pooled cycle."""
        seen = {}
        out = []
        for piece in self.analysis["trial"]:
            seen[piece] = seen.get(piece, 0) + 1
            out.append((self.trials[piece], seen[piece]))
        return out


class GaitResult:
    """The pooled analysis of one subject's trials, as the report and tables show it."""

    def __init__(self, prepared, refused, settings, channels, left_out, verdicts,
                 normal_sources=()):
        self.prepared, self.refused, self.settings = prepared, refused, settings
        self.channels = channels          # [ChannelResult]
        self.left_out = left_out          # [(channel, reason)]
        self.verdicts = dict(verdicts or {})
        self.deviations, self.unknown = DEVIATIONS, UNKNOWN  # names the report shows
        self.normal_sources = list(normal_sources)
        first = prepared[0]
        self.name, self.folder = first.name, first.folder
        self.subject = next((t.subject for t in prepared if t.subject_known),
                            "not named in the trials")
        self.reference_source = (None if settings.reference is None else
                                 settings.reference.source())
        self.consistency_limit = scoring.CONSISTENCY_LIMIT
        # Pairs of channels in volts are told why they have no index.
        self.cocontraction, self.cocontraction_note = [], None
        if settings.normalise != "none":
            self.cocontraction = scoring.co_contraction(channels, settings.pairs)
        elif any(scoring.paired(channels, settings.pairs)):
            self.cocontraction_note = scoring.NOT_NORMALISED
        # Each side's synergies and walk-DMC, when asked for.
        self.synergies, self.synergy_notes = [], []
        if settings.synergies is not None:
            self.synergies, self.synergy_notes = analyse_synergies(
                channels, settings.synergies, settings.reference)

    def left_out_lines(self):
        """The channels left out, one line per reason: "REASON: A, B"."""
        reasons = []
        for _, reason in self.left_out:
            if reason not in reasons:
                reasons.append(reason)
        return [reason + ": " + ", ".join(n for n, r in self.left_out if r == reason)
                for reason in reasons]

    def left_out_of(self, side, muscle):
        """[(channel, reason)] of the channels of ``side`` and ``muscle`` left out."""
        named = {name for trial in self.prepared
                 for name, found in trial.side_muscle.items() if found == (side, muscle)}
        return [(name, reason) for name, reason in self.left_out if name in named]

    def pages(self):
        """The muscle pages: (muscle, left ChannelResult or None, right one or None),
        pairing a muscle's left and right channels in channel order."""
        muscles = []
        by_muscle = {}
        for channel in self.channels:
            if channel.muscle not in by_muscle:
                muscles.append(channel.muscle)
                by_muscle[channel.muscle] = {side: [] for side in SIDES}
            by_muscle[channel.muscle][channel.side].append(channel)
        pages = []
        for muscle in muscles:
            left, right = (by_muscle[muscle][side] for side in SIDES)
            for k in range(max(len(left), len(right))):
                pages.append((muscle, left[k] if k < len(left) else None,
                              right[k] if k < len(right) else None))
        return pages


def analyse(prepared, settings, refused=(), verdicts=None):
    """Pool the prepared trials per channel: a ``GaitResult``."""
    table = read_normal()
    normal = table.periods
    order = []
    for trial in prepared:
        order += [name for name in trial.side_muscle if name not in order]
    unusable = [entry for trial in prepared for entry in trial.unusable]
    repeated = [entry for trial in prepared for entry in trial.repeated]
    left_out, channels = [], []
    for name in order:
        found = next((t.side_muscle[name] for t in prepared
                      if t.side_muscle.get(name)), None)
        if found is None:
            left_out.append((name, UNKNOWN))
            continue
        side, muscle = found
        using = [t for t in prepared if name in t.envelopes]
        if not using:
            if all(name != bad for bad, _ in unusable):
                left_out.append((name, f"no gait cycle of the {side.lower()} side"))
            continue
        pieces = [(t.envelopes[name], t.cycles[side]) for t in using]
        scale = settings.scale(name)
        try:
            analysis = _core.analyse_channel(pieces, scale=scale, threshold=settings.threshold,
                                            merge=settings.merge, points=POINTS)
        except ValueError as exc:  # e.g. no positive peak to scale by: this channel only
            left_out.append((name, " ".join(str(exc).split())))
            continue
        if not _finite_curves(analysis):
            if settings.mvc is not None:
                raise GaitError(
                    f"the MVC value of channel {name}, {scale!r}, is so small that the "
                    "channel's curves in % of it are not finite numbers",
                    "give its MVC in the unit of the channel's samples in the MVC file "
                    f"{settings.normalise_text[4:]}")
            left_out.append((name, "its curves are not finite numbers (samples too large "
                                   "to average)"))
            continue
        periods, _ = normal.get(muscle, ([], []))
        comparison = None
        if periods:
            # The core splits a period through foot strike itself.
            comparison = without_short_deviations(
                _core.compare_with_normal(analysis["mean_activity"], periods), settings.merge)
        unit = "%" if settings.normalise != "none" else using[0].units.get(name) or "V"
        channels.append(ChannelResult(name, side, muscle, [t.name for t in using], analysis,
                                      periods, comparison, unit))
        if settings.reference is not None:
            channels[-1].score_against(settings.reference, settings.merge)
    if verdicts is None:
        verdicts = {name: found for name, found in pooled_verdicts(prepared).items()
                    if any(name == channel.name for channel in channels)}
    return GaitResult(prepared, list(refused), settings, channels,
                      left_out + unusable + repeated, verdicts, table.sources)


def _finite_curves(analysis):
    """Whether a channel's cycles, mean and SD are all finite numbers, as every
    table and page must show them."""
    return all(analysis[key] is None or np.isfinite(analysis[key]).all()
               for key in ("curves", "mean", "sd"))
