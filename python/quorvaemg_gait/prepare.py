"""One trial made ready for pooling: its cycles per side, what was left out
and why, its channels' envelopes and the signal quality of their raw
samples.  Trials are the host's ``Trial`` objects or the plain records a
Nexus script reads with ``quorvaemg_gait.read_trial``.  Keep to Python 3.7.
"""

import functools

import numpy as np

from quorvaemg_gait import _core
from quorvaemg_gait import muscles as naming
from quorvaemg_gait import quality
from quorvaemg_gait.channels import select_channels
from quorvaemg_gait.settings import GaitError
from quorvaemg_gait.trial import SIDES, Trial


def as_trial(item):
    """A host ``Trial`` from a ``Trial`` or from a Nexus record (dict)."""
    if isinstance(item, Trial):
        return item
    if not isinstance(item, dict):
        raise TypeError(f"a trial must be a Trial or a record from read_trial, not "
                        f"{type(item).__name__}")
    trial = Trial(item.get("folder", ""), item["name"], item["subject"], item["channels"],
                  item["samples"], item["device_rate"], item["frame_rate"],
                  events=item.get("events"), unit=item.get("unit", "V"))
    trial.first_frame = item.get("first_frame", 1)
    trial.event_source = "the events marked in Nexus"
    return trial


class PreparedTrial:
    """One trial's cycles per side, what was left out and why, and its envelopes."""

    def __init__(self, trial, cycles, left_out, notes, envelopes, side_muscle, unusable,
                 verdicts, repeated=()):
        self.name, self.subject, self.folder = trial.name, trial.subject, trial.folder
        # A C3D file naming no subject stands for its trial name: that is no
        # other subject's trial.
        self.subject_known = getattr(trial, "subject_known", True)
        self.units = {}  # of each label's first channel, the one analysed
        for name, unit in zip(trial.channel_names, trial.units):
            self.units.setdefault(name, unit)
        self.cycles = cycles          # {side: (k, 3) array of start, end, foot off}
        self.left_out = left_out      # {side: [(start s, end s, reason)]}
        self.notes = notes            # {side: text} for a side that gives no cycle at all
        self.envelopes = envelopes    # {channel: envelope}
        self.side_muscle = side_muscle
        self.unusable = unusable      # [(channel, why its envelope could not be made)]
        self.verdicts = verdicts      # {channel: (verdict, reasons)} of its raw samples
        self.event_source = getattr(trial, "event_source", None)  # where its events came from
        self.warnings = list(getattr(trial, "warnings", ()))  # what its reading had to say
        self.repeated = list(repeated)  # [(channel, reason)]: a label met again, left out
        self.group = None  # the subject it is pooled with, where trials of several are read

    def summary(self):
        """e.g. "Left 7 cycles (1 left out), Right 6 cycles"."""
        parts = []
        for side in SIDES:
            text = f"{side} {len(self.cycles[side])} cycle{_plural(len(self.cycles[side]))}"
            if self.left_out[side]:
                text += f" ({len(self.left_out[side])} left out)"
            elif side in self.notes:
                text += f" ({self.notes[side]})"
            parts.append(text)
        return ", ".join(parts)


def _plural(count):
    return "" if count == 1 else "s"


def side_cycles(trial, side, length):
    """(cycles, left out with times in s, note) of one side of a trial."""
    first = getattr(trial, "first_frame", 1)
    strikes, offs = (_core.event_positions(trial.event_frames(side, event), first,
                                          trial.device_rate, trial.frame_rate)
                     for event in ("Foot Strike", "Foot Off"))
    if len(strikes) < 2:
        note = "no foot strikes" if len(strikes) == 0 else "one foot strike only"
        return np.empty((0, 3)), [], note
    cycles, left_out = _core.find_cycles(strikes, offs, length)
    cycles = np.asarray(cycles, dtype=np.float64).reshape(-1, 3)
    cycles, implausible = plausible_cycles(cycles, trial.device_rate)
    seconds = [(start / trial.device_rate, end / trial.device_rate, reason)
               for start, end, reason in sorted(list(left_out) + implausible)]
    return cycles, seconds, None


# A cycle lies far from a side's others when its duration differs from their
# median by more than this share of it (a missed or an extra foot strike
# halves or doubles it), or its stance share by more than these percentage
# points (a foot off marked on the wrong side or frame); step-to-step
# variation, even in pathological gait, stays well inside both.
FAR_DURATION = 0.3
FAR_STANCE = 15.0
# Fewer cycles than this have no majority to be judged against.
PLAUSIBLE_AMONG = 3


def plausible_cycles(cycles, rate):
    """(kept, left out) of a side's cycles (rows of start, end, foot off in
    samples): those whose duration or stance share lies far from the side's
    median are left out as (start, end, reason)."""
    if len(cycles) < PLAUSIBLE_AMONG:
        return cycles, []
    duration = cycles[:, 1] - cycles[:, 0]
    stance = 100.0 * (cycles[:, 2] - cycles[:, 0]) / duration
    typical_duration, typical_stance = np.median(duration), np.median(stance)
    kept, left_out = [], []
    for row, d, s in zip(cycles, duration, stance):
        if abs(d - typical_duration) > FAR_DURATION * typical_duration:
            why = (f"implausible: lasts {d / rate:.2f} s, the side's cycles "
                   f"{typical_duration / rate:.2f} s (median)")
        elif abs(s - typical_stance) > FAR_STANCE:
            why = (f"implausible: stance {s:.0f} % of the cycle, the side's cycles "
                   f"{typical_stance:.0f} % (median)")
        else:
            kept.append(row)
            continue
        left_out.append((row[0], row[1], why))
    return np.asarray(kept, dtype=np.float64).reshape(-1, 3), left_out


def prepare(trial, settings):
    """Cycles per side and the envelopes of one trial; a trial without foot strikes
    or without a complete cycle is refused (``GaitError``)."""
    trial = as_trial(trial)
    chosen = select_channels(trial.channel_names, settings.channels, trial.name)
    names, repeated = distinct_channels(trial, chosen)
    if not names:
        raise GaitError(f"no channel of {trial.name} matches {settings.channels!r} "
                        f"(its channels: {', '.join(trial.channel_names)})")
    if not any(trial.event_frames(side, "Foot Strike") for side in SIDES):
        raise GaitError(f"{trial.name} has no foot strikes",
                        "mark its gait events (Foot Strike and Foot Off of each side) "
                        "and save it again")
    length = min(len(trial.samples[trial.channel_names.index(n)]) for n in names)
    cycles, left_out, notes = {}, {}, {}
    for side in SIDES:
        cycles[side], left_out[side], note = side_cycles(trial, side, length)
        if note:
            notes[side] = note
    if not any(len(c) for c in cycles.values()):
        reasons = sorted({r for side in SIDES for _, _, r in left_out[side]}
                         | set(notes.values()))
        raise GaitError(f"{trial.name} has no complete gait cycle ({'; '.join(reasons)})",
                        "check its Foot Strike and Foot Off events")
    side_muscle, _ = naming.assign(names, settings.mapping)
    envelopes, unusable = {}, []
    for name in names:
        side = side_muscle.get(name, (None,))[0]
        if side is not None and len(cycles[side]):
            samples = trial.samples[trial.channel_names.index(name)]
            try:
                envelopes[name] = settings.envelope_of(samples, trial.device_rate)
            except ValueError as exc:  # this channel only: the others of the trial go on
                unusable.append((name, f"{trial.name}: {exc}"))
    return PreparedTrial(trial, cycles, left_out, notes, envelopes,
                         {n: side_muscle.get(n) for n in names}, unusable,
                         raw_verdicts(trial, list(envelopes), settings), repeated)


def distinct_channels(trial, positions):
    """(names, repeated) of the channels at ``positions``: a label met again is
    left out, as (label, reason naming its position), since tables and pages
    tell channels apart by label; the first channel of that label is used."""
    names, repeated = [], []
    for k in positions:
        name = trial.channel_names[k]
        if name not in names:
            names.append(name)
            continue
        first = trial.channel_names.index(name) + 1
        repeated.append((name, f"{trial.name}: channel {k + 1} has the label of channel "
                               f"{first}, which is used"))
    return names, repeated


def raw_verdicts(trial, names, settings):
    """The signal-quality verdicts of the channels ``names`` of ``trial``.

    The checks judge raw EMG: channels taken as they are (already processed)
    are not judged, nor is a channel that cannot be checked.
    """
    if settings.envelope == "as-is":
        return {}
    try:
        checked = quality.assess(trial, names, unreadable=True)
    except ValueError:  # a rate no check can use: no channel is judged
        return {}
    return {q.name: (q.verdict, q.why()) for q in checked if q.checked}


def pooled_verdicts(prepared):
    """Each channel's worst verdict over the trials, with the reasons of every
    trial that gave it (named when several trials are pooled)."""
    rank = {"good": 0, "doubtful": 1, "unusable": 2}
    pooled = {}
    for trial in prepared:
        for name, (verdict, reasons) in trial.verdicts.items():
            if len(prepared) > 1 and reasons:
                reasons = f"{trial.name}: {reasons}"
            worst, why = pooled.get(name, ("good", ""))
            if rank[verdict] > rank[worst]:
                worst = verdict
            if reasons and verdict != "good":
                why = f"{why}; {reasons}" if why else reasons
            pooled[name] = (worst, why)
    return pooled


def _attempt(settings, describe, source):
    """(prepared trial, None) of one (label, open) source, or (None, why not)."""
    try:
        return prepare(source[1](), settings), None
    except Exception as exc:  # noqa: BLE001 - reported per trial, the others go on
        return None, (describe(exc) if describe is not None
                      else " ".join(str(exc).split()) or type(exc).__name__)


def _each_here(work, items):
    return (work(item) for item in items)


def prepare_all(sources, settings, progress=None, describe=None, subject_of=None, each=None):
    """(prepared, refused) of ``sources``: (label, open) pairs, ``open()`` giving a trial.

    A trial that cannot be opened or used is refused with its reason and the
    others go on; so is a trial of another subject than the first usable one,
    since one report is one subject's, and one of the name of a trial pooled
    already.  ``progress(number, total, label,
    prepared or None, reason)`` is told of each trial in turn; ``describe(exception)``
    words a failure (default: its message).  With ``subject_of(label, prepared)``
    the trials may be of several subjects, each trial's ``group`` the subject
    it gives, and only trials of one subject are refused for their names.
    ``each(work, sources)`` gives ``work(source)`` of each source in order,
    wherever it runs them (default: here, in turn; the host's worker
    processes); ``work`` and the sources are then sent to those workers.
    """
    prepared, refused = [], []
    total = len(sources)
    attempts = (each or _each_here)(functools.partial(_attempt, settings, describe), sources)
    for number, ((label, _), (result, reason)) in enumerate(zip(sources, attempts), 1):
        if result is not None:
            named = [trial for trial in prepared if trial.subject_known]
            if subject_of is not None:
                result.group = subject_of(label, result)
                named = []  # one pool per subject: any subject may follow
            if result.subject_known and named and result.subject != named[0].subject:
                reason = (f"subject {result.subject}, not {named[0].subject} of the first "
                          "trial naming one (one report pools one subject's trials)")
                result = None
            elif any(result.name == trial.name and result.group == trial.group
                     for trial in prepared):
                # Its cycles would count twice, or be told apart from the
                # other's by nothing in the tables.
                reason = (f"a trial named {result.name} is pooled already (the same trial "
                          "named twice, or two trials of one name: rename one to pool both)")
                result = None
        if result is None:
            refused.append((label, reason))
        else:
            prepared.append(result)
        if progress is not None:
            progress(number, total, label, result, reason)
    return prepared, refused
