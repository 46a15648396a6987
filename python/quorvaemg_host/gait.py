"""EMG over the gait cycle: one subject's trials pooled per channel.

For each trial the gait events become sample positions, each side's cycles
are found (foot strike to foot strike with one foot off between them) and
the channels whose side and muscle are known (``muscles``) get their
envelope.  The cycles of all trials are then pooled per channel (channels
matched by name across trials), normalised in time and amplitude, averaged,
timed (when the muscle is active) and compared with the muscle's activity in
normal walking (``normal_activity.csv`` in this package).  The numbers come
from the ``quorvaemg_gait`` module; this module organises them and writes
``<trial>_EMGCycles.csv``, ``<trial>_EMGActivity.csv`` and, through
``plotvane.gait``, ``<trial>_EMGGait.pdf``, named after the first trial.

Trials are the host's ``Trial`` objects (``c3d.load_trial``, ``demo_trial``)
or the plain records a Nexus script reads with
``quorvaemg_gait.read_trial``.  Keep to Python 3.7.
"""

import math
import os
import re

import numpy as np
import quorvaemg_gait as core

from quorvaemg_host import muscles as naming
from quorvaemg_host import quality, tables
from quorvaemg_host.c3d import select_channels
from quorvaemg_host.trial import SIDES, Trial

CYCLES_SUFFIX = "_EMGCycles.csv"
ACTIVITY_SUFFIX = "_EMGActivity.csv"
NORMAL_TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "normal_activity.csv")
NORMAL_FILE = tables.TableFile("table of normal activity", "its path (normal_activity.csv)",
                               "muscle,on,off,source")
POINTS = 101
ENVELOPES = "linear | rms:MS | as-is"
NORMALISATIONS = "none | peak | mvc:FILE"
UNKNOWN = "side/muscle not known"
DEVIATIONS = ("premature", "prolonged", "absent", "additional")
WRITE_ELSEWHERE = "write into another folder (--out DIR; out= in a Nexus script)"
_SOURCE_KEY = re.compile(r"^\w+: ")


class GaitError(ValueError):
    """A trial or a setting the analysis cannot use: what is wrong, and what to do."""

    def __init__(self, what, todo=None):
        super().__init__(what if todo is None else f"{what}, {todo}")


class SettingError(GaitError):
    """An envelope or normalisation text that is none of its forms: a mistake in
    the command line (or in a Nexus script's keywords), not in a file."""


# -- settings -----------------------------------------------------------------------

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


class Settings:
    """How the trials are analysed; the texts are those of the command's options.

    ``muscles`` is a mapping file's path or a {channel: (side, muscle)} dict.
    """

    def __init__(self, channels=None, muscles=None, normalise="none", envelope="linear",
                 threshold=0.25, merge=3.0):
        self.channels = channels
        # The texts first: a mistyped option is told before any file is read.
        self.envelope, self.window_ms = parse_envelope(envelope)
        self.normalise_text = normalise
        self.normalise, self.mvc = parse_normalise(normalise)
        if muscles is None or isinstance(muscles, dict):
            self.mapping = dict(muscles or {})
        else:
            self.mapping = naming.read_mapping(os.fspath(muscles))
        self.threshold, self.merge = float(threshold), float(merge)

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
        return (("Envelope", envelope), ("Amplitude", normalise),
                ("Activity", f"above {self.threshold * 100:g} % of the mean curve's range "
                             f"(min to max); stretches under {self.merge:g} % of the cycle merged"))

    def scale(self, channel):
        if self.mvc is None:
            return self.normalise
        if channel not in self.mvc:
            raise GaitError(f"the MVC file {self.normalise_text[4:]} has no value for "
                            f"channel {channel}", f"add a line {channel},VALUE to it")
        return self.mvc[channel]

    def envelope_of(self, samples, rate):
        if self.envelope == "linear":
            return core.linear_envelope(samples, rate)
        if self.envelope == "rms":
            return core.rms_envelope(samples, rate, self.window_ms)
        samples = np.asarray(samples, dtype=np.float64)
        if not np.isfinite(samples).all():
            raise ValueError("samples are not all finite numbers")
        return samples


# -- the normal table ---------------------------------------------------------------

def split_period(on, off):
    """A period of the cycle as intervals inside 0-100 %; one through foot strike is two."""
    return [(on, off)] if on <= off else [(on, 100.0), (0.0, off)]


def join_periods(intervals):
    """Sorted intervals inside 0-100 % as periods of the cycle, ``split_period``
    undone: one ending at 100 % and one starting at 0 % are a single period
    through foot strike, given as (on, off) with off < on, last."""
    periods = sorted(intervals)
    if len(periods) > 1 and periods[0][0] <= 0.0 and periods[-1][1] >= 100.0:
        through = (periods[-1][0], periods[0][1])
        periods = periods[1:-1] + [through]
    return periods


def period_length(on, off):
    """The length of a period of the cycle in %, one through foot strike included."""
    return off - on if on <= off else off + 100.0 - on


def without_short_deviations(comparison, merge):
    """``comparison`` (of ``compare_with_normal``) without the premature, prolonged,
    absent and additional periods shorter than ``merge`` % of the cycle.

    Activity is timed with stretches under ``merge`` merged into their
    surroundings, so a shorter deviation says nothing the analysis can tell
    apart from no deviation.  A period through foot strike counts with its
    whole length.  The agreement is kept as computed.
    """
    kept = dict(comparison)
    for key in DEVIATIONS:
        kept[key] = sorted(part for on, off in join_periods(comparison[key])
                           if period_length(on, off) >= merge
                           for part in split_period(on, off))
    return kept


def normal_activity(path=NORMAL_TABLE):
    """{muscle: (periods as (on, off) in % of the cycle, as listed, source names)}."""
    table = {}
    for number, cells in NORMAL_FILE.rows(path):
        if cells[0] == "muscle":
            continue
        periods, sources = table.setdefault(cells[0], ([], []))
        periods.append((float(cells[1]), float(cells[2])))
        if cells[3] not in sources:
            sources.append(cells[3])
    return table


def normal_sources(path=NORMAL_TABLE):
    """The full references of the table's sources, from its comment header, as a
    reader cites them: without the key (``Perry2010: ``) that the rows name them by."""
    entries, inside = [], False
    with open(path) as f:
        for line in f:
            text = " ".join(line.lstrip("#").split())
            if not line.startswith("#") or (inside and not text):
                break
            key = _SOURCE_KEY.match(text)
            if inside and key:
                entries.append(text[key.end():])
            elif inside and entries:
                entries[-1] += " " + text
            inside = inside or text == "Sources:"
    return entries


# -- trials -------------------------------------------------------------------------

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
    strikes, offs = (core.event_positions(trial.event_frames(side, event), first,
                                          trial.device_rate, trial.frame_rate)
                     for event in ("Foot Strike", "Foot Off"))
    if len(strikes) < 2:
        note = "no foot strikes" if len(strikes) == 0 else "one foot strike only"
        return np.empty((0, 3)), [], note
    cycles, left_out = core.find_cycles(strikes, offs, length)
    seconds = [(start / trial.device_rate, end / trial.device_rate, reason)
               for start, end, reason in left_out]
    return np.asarray(cycles, dtype=np.float64).reshape(-1, 3), seconds, None


def prepare(trial, settings):
    """Cycles per side and the envelopes of one trial; a trial without foot strikes
    or without a complete cycle is refused (``GaitError``)."""
    trial = as_trial(trial)
    names, repeated = distinct_channels(trial, select_channels(trial.channel_names,
                                                               settings.channels))
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
    found = {}
    for name in names:
        try:
            found.update(quality.verdicts(trial, [name]))
        except ValueError:
            pass
    return found


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


def prepare_all(sources, settings, progress=None, describe=None):
    """(prepared, refused) of ``sources``: (label, open) pairs, ``open()`` giving a trial.

    A trial that cannot be opened or used is refused with its reason and the
    others go on; so is a trial of another subject than the first usable one,
    since one report is one subject's, and one of the name of a trial pooled
    already.  ``progress(number, total, label,
    prepared or None, reason)`` is told of each trial in turn; ``describe(exception)``
    words a failure (default: its message).
    """
    prepared, refused = [], []
    total = len(sources)
    for number, (label, open_trial) in enumerate(sources, 1):
        result, reason = None, None
        try:
            result = prepare(open_trial(), settings)
            named = [trial for trial in prepared if trial.subject_known]
            if result.subject_known and named and result.subject != named[0].subject:
                reason = (f"subject {result.subject}, not {named[0].subject} of the first "
                          "trial naming one (one report pools one subject's trials)")
                result = None
            elif any(result.name == trial.name for trial in prepared):
                # Its cycles would count twice, or be told apart from the
                # other's by nothing in the tables.
                reason = (f"a trial named {result.name} is pooled already (the same trial "
                          "named twice, or two trials of one name: rename one to pool both)")
                result = None
        except Exception as exc:  # noqa: BLE001 - reported per trial, the others go on
            reason = (describe(exc) if describe is not None
                      else " ".join(str(exc).split()) or type(exc).__name__)
        if result is None:
            refused.append((label, reason))
        else:
            prepared.append(result)
        if progress is not None:
            progress(number, total, label, result, reason)
    return prepared, refused


# -- pooling ------------------------------------------------------------------------

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

    def __init__(self, prepared, refused, settings, channels, left_out, verdicts):
        self.prepared, self.refused, self.settings = prepared, refused, settings
        self.channels = channels          # [ChannelResult]
        self.left_out = left_out          # [(channel, reason)]
        self.verdicts = dict(verdicts or {})
        first = prepared[0]
        self.name, self.folder = first.name, first.folder
        self.subject = next((t.subject for t in prepared if t.subject_known),
                            "not named in the trials")

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
    normal = normal_activity()
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
            analysis = core.analyse_channel(pieces, scale=scale, threshold=settings.threshold,
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
            split = [part for on, off in periods for part in split_period(on, off)]
            comparison = without_short_deviations(
                core.compare_with_normal(analysis["mean_activity"], split), settings.merge)
        unit = "%" if settings.normalise != "none" else using[0].units.get(name) or "V"
        channels.append(ChannelResult(name, side, muscle, [t.name for t in using], analysis,
                                      periods, comparison, unit))
    if verdicts is None:
        verdicts = {name: found for name, found in pooled_verdicts(prepared).items()
                    if any(name == channel.name for channel in channels)}
    return GaitResult(prepared, list(refused), settings, channels,
                      left_out + unusable + repeated, verdicts)


def _finite_curves(analysis):
    """Whether a channel's cycles, mean and SD are all finite numbers, as every
    table and page must show them."""
    return all(analysis[key] is None or np.isfinite(analysis[key]).all()
               for key in ("curves", "mean", "sd"))


# -- tables -------------------------------------------------------------------------

def _number(value):
    return "" if value is None else repr(float(value))


def cycles_rows(result):
    yield ("channel", "side", "muscle", "cycles", "percent", "mean", "sd")
    for ch in result.channels:
        mean, sd = ch.analysis["mean"], ch.analysis["sd"]
        count = len(ch.analysis["curves"])
        for k in range(len(mean)):
            yield (ch.name, ch.side, ch.muscle, count, k * 100.0 / (len(mean) - 1),
                   _number(mean[k]), "" if sd is None else _number(sd[k]))


def activity_rows(result):
    yield ("channel", "side", "muscle", "trial", "cycle", "on", "off")
    for ch in result.channels:
        for (trial, number), periods in zip(ch.cycle_numbers(), ch.analysis["activity"]):
            for on, off in periods:
                yield (ch.name, ch.side, ch.muscle, trial, number, _number(on), _number(off))


def write_outputs(result, out=None):
    """Write the PDF and both tables into ``out`` (default: the first trial's
    folder), each complete or not at all; their paths."""
    from plotvane import safe_file_part
    from plotvane.gait import GAIT_SUFFIX, write_gait_report

    folder = os.path.abspath(os.path.expanduser(out if out is not None else result.folder
                                                or os.curdir))
    if os.path.exists(folder) and not os.path.isdir(folder):  # e.g. --out Walk01.c3d
        raise GaitError(f"{folder} is a file, not a folder for the report and tables",
                        WRITE_ELSEWHERE)
    with tables.output(folder, WRITE_ELSEWHERE):
        os.makedirs(folder, exist_ok=True)
    base = os.path.join(folder, safe_file_part(result.name))
    pdf = base + GAIT_SUFFIX
    tables.check_writable([pdf, base + CYCLES_SUFFIX, base + ACTIVITY_SUFFIX], WRITE_ELSEWHERE)
    with tables.output(pdf, tables.CLOSE_IT + WRITE_ELSEWHERE):
        paths = [write_gait_report(result, folder)]
    for suffix, rows in ((CYCLES_SUFFIX, cycles_rows), (ACTIVITY_SUFFIX, activity_rows)):
        paths.append(tables.write_csv(base + suffix, rows(result), WRITE_ELSEWHERE))
    return paths


def run(sources, settings, out=None, verdicts=None, say=print, describe=None):
    """Prepare, pool and write: the whole analysis of ``sources`` ((label, open)
    pairs, see ``prepare_all``), telling ``say`` of each trial, of the channels
    left out and of the files written; (result, paths)."""
    def progress(number, total, label, prepared, reason):
        for line in prepared.warnings if prepared is not None else ():
            say(line)
        say(f"[{number}/{total}] {label}: "
            + (prepared.summary() if prepared is not None else f"not used: {reason}"))

    prepared, refused = prepare_all(sources, settings, progress, describe)
    if not prepared:
        raise GaitError("no trial could be used", "see the reason given for each")
    result = analyse(prepared, settings, refused, verdicts)
    for line in result.left_out_lines():
        say("left out, " + line)
    # A misspelt name in the mapping would leave its channel to the guess from
    # its name, which the mapping is there to overrule.
    unmatched = [name for name in settings.mapping
                 if not any(name in trial.side_muscle for trial in prepared)]
    if unmatched:
        say("muscles file: no channel analysed is named " + name_list(unmatched)
            + " (misspelt, or outside --channels?)")
    for name, (verdict, why) in result.verdicts.items():
        if verdict != "good":
            say(f"signal quality: {name} is {verdict} ({why}); its page is marked")
    if not result.channels:
        raise GaitError("no channel to analyse",
                        "name the side and muscle of each channel in a file of "
                        "channel,side,muscle lines given with --muscles (muscles= in a script)")
    paths = write_outputs(result, out)
    say(f"{len(result.channels)} channel{_plural(len(result.channels))} of "
        f"{len(prepared)} trial{_plural(len(prepared))} analysed; written:")
    for path in paths:
        say("  " + path)
    return result, paths


def name_list(names, shown=10):
    """The first ``shown`` of ``names`` for a console line, and how many more."""
    more = len(names) - shown
    return ", ".join(tables.excerpt(n) for n in names[:shown]) + (
        f" and {more} more" if more > 0 else "")


def report(trials, channels=None, muscles=None, normalise="none", envelope="linear",
           out=None, verdicts=None):
    """Analyse ``trials`` (``Trial`` objects or Nexus records) of one subject and
    write the report and the tables; (result, paths).  A trial that cannot be
    used is left out with its reason; none usable is a ``GaitError``."""
    settings = Settings(channels, muscles, normalise, envelope)
    sources = []
    for item in trials:
        label = item.name if isinstance(item, Trial) else str(dict(item).get("name", "trial"))
        sources.append((label, lambda item=item: item))
    return run(sources, settings, out, verdicts)
