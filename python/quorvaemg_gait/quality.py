"""Signal quality of a trial's raw EMG channels, before anyone reads them.

The checks run in the core ``quorvaemg_gait._core`` (C++): flat or disconnected, clipping,
mains hum, low-frequency artefact, signal-to-noise and the spectral summary,
each channel judged good, doubtful or unusable with its reasons.  Here they
are applied to a host ``Trial``, shown as the table the Nexus call prints
too, written as CSV, and turned into the warning lines of processing runs.
"""

import os

from quorvaemg_gait import _core, tables
from quorvaemg_gait.channels import select_channels

# The CSV's columns after trial and channel, in the order of the dicts the checks return.
MEASURES = ("samples", "sd", "range", "step", "clipped_share", "longest_clip", "mains_hz",
            "mains_db", "mains_share", "low_hz", "low_share", "snr_db", "mean_hz",
            "median_hz", "verdict", "reasons")


class ChannelQuality:
    """One channel's verdict ("good", "doubtful", "unusable"), reasons and measures."""

    def __init__(self, name, measures, checked=True):
        self.name = name
        self.checked = checked  # False: judged unusable because it could not be checked
        self.measures = measures
        self.verdict = measures["verdict"]
        self.reasons = list(measures["reasons"])

    def why(self):
        return "; ".join(self.reasons)


def channel_positions(trial, channels=None):
    """0-based positions of the trial's channels that ``channels`` names.

    None: all of them; a string: a ``--channels`` pattern (a glob when it
    has * ? or [, else a part of the label); otherwise channel names (see
    ``channels.select_channels``).
    """
    return select_channels(trial.channel_names, channels, "trial " + trial.name)


def check(names, samples, rate, unreadable=False, **thresholds):
    """``ChannelQuality`` of each channel: names, sample arrays and their rate.

    A channel that cannot be checked (no samples, or non-finite ones) raises
    ValueError naming it; with ``unreadable`` it is judged unusable instead,
    with that reason, so that a table still shows the trial's other channels.
    """
    names, samples = list(names), list(samples)
    found = _core._check_each(samples, rate, ["samples"] * len(samples), "rate", **thresholds)
    results = []
    for name, x, measures in zip(names, samples, found):
        checked = isinstance(measures, dict)
        if not checked:  # why it cannot be checked
            if not unreadable:
                raise ValueError(f"channel {name}: {measures}")
            why, measures = measures, dict.fromkeys(MEASURES)
            nan = float("nan")
            measures.update(samples=len(x), sd=nan, range=nan, step=nan, clipped_share=nan,
                            longest_clip=0, low_hz=nan, verdict="unusable", reasons=[why])
        results.append(ChannelQuality(name, measures, checked))
    return results


def assess(trial, channels=None, unreadable=False, **thresholds):
    """The checks on the raw samples of the trial's channels (all, or those
    ``channels`` names: see ``channel_positions``); keyword arguments change
    thresholds (see ``quorvaemg_gait.check_channel``); ``unreadable``: see
    ``check``."""
    positions = channel_positions(trial, channels)
    return check([trial.channel_names[k] for k in positions],
                 [trial.samples[k] for k in positions], trial.device_rate, unreadable,
                 **thresholds)


def verdicts(trial, channels=None, **thresholds):
    """{channel name: (verdict, "reason; reason")} for the gait report."""
    return {q.name: (q.verdict, q.why()) for q in assess(trial, channels, **thresholds)}


def table(label, rate, results):
    """The quality table of one trial, as the console shows it."""
    return _core.quality_text(label, rate, [q.name for q in results],
                                       [q.measures for q in results])


def _cell(value):
    if value is None:
        return ""
    if isinstance(value, list):
        return "; ".join(value)
    return repr(value) if isinstance(value, float) else str(value)


def write_csv(path, trials):
    """Write ``trials``, a list of (trial label, results), one row per channel."""
    rows = [("trial", "channel") + MEASURES]
    rows += [[label, q.name] + [_cell(q.measures[m]) for m in MEASURES]
             for label, results in trials for q in results]
    return tables.write_csv(os.path.abspath(path), rows, "name another file")


def unusable_warnings(label, results):
    """One warning line for each unusable channel of a trial."""
    return [f"warning: {label}: channel {q.name} looks unusable ({q.why()}); "
            "it was processed anyway" for q in results if q.verdict == "unusable"]
