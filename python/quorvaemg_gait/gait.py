"""EMG over the gait cycle: one subject's trials pooled per channel.

For each trial the gait events become sample positions, each side's cycles
are found (foot strike to foot strike with one foot off between them) and
the channels whose side and muscle are known (``muscles``) get their
envelope (``prepare``).  The cycles of all trials are then pooled per
channel (channels matched by name across trials), normalised in time and
amplitude, averaged, timed (when the muscle is active) and compared with the
muscle's activity in normal walking (``analysis``, ``normal``).  The numbers
come from the core ``quorvaemg_gait._core``; this module runs the whole
analysis and writes ``<trial>_EMGCycles.csv``, ``<trial>_EMGActivity.csv``,
``<trial>_EMGCompare.csv`` (against a lab reference, ``reference``),
``<trial>_EMGCoContraction.csv`` (antagonists, ``scoring``),
``<trial>_EMGSynergies.csv`` (each side's synergies, ``synergies``) and, through
``plotvane.gait``, ``<trial>_EMGGait.pdf``, named after the first trial; and
it builds a lab reference from control subjects' trials
(``build_reference``).  It also gives the names of the other steps in one
place.

Trials are the host's ``Trial`` objects (``c3d.load_trial``, ``demo_trial``)
or the plain records a Nexus script reads with
``quorvaemg_gait.read_trial``.  Keep to Python 3.7.
"""

import os

from quorvaemg_gait import tables
from quorvaemg_gait.analysis import (POINTS, UNKNOWN, ChannelResult,  # noqa: F401
                                     GaitResult, analyse)
from quorvaemg_gait.normal import (DEVIATIONS, NORMAL_FILE, NORMAL_TABLE,  # noqa: F401
                                   join_periods, normal_activity, normal_sources,
                                   period_length, read_normal, split_period,
                                   without_short_deviations)
from quorvaemg_gait.prepare import (PreparedTrial, _plural, as_trial,  # noqa: F401
                                    distinct_channels, pooled_verdicts, prepare, prepare_all,
                                    raw_verdicts, side_cycles)
from quorvaemg_gait.settings import (ENVELOPES, MVC_FILE, NORMALISATIONS,  # noqa: F401
                                     GaitError, SettingError, Settings, parse_envelope,
                                     parse_normalise, read_mvc)
from quorvaemg_gait.trial import Trial

CYCLES_SUFFIX = "_EMGCycles.csv"
ACTIVITY_SUFFIX = "_EMGActivity.csv"
COMPARE_SUFFIX = "_EMGCompare.csv"
COCONTRACTION_SUFFIX = "_EMGCoContraction.csv"
SYNERGIES_SUFFIX = "_EMGSynergies.csv"
WRITE_ELSEWHERE = "write into another folder (--out DIR; out= in a Nexus script)"


def _number(value):
    return "" if value is None else repr(float(value))


def cycles_rows(result):
    # The consistency of a channel's cycles closes each of its rows: the
    # columns before it are those labs' scripts have read from the start.
    yield ("channel", "side", "muscle", "cycles", "percent", "mean", "sd", "variance_ratio",
           "cycle_cosine", "consistent")
    for ch in result.channels:
        mean, sd = ch.analysis["mean"], ch.analysis["sd"]
        count = len(ch.analysis["curves"])
        found = ch.consistency or {}
        consistency = (_number(found.get("variance_ratio")), _number(found.get("cosine")),
                       "" if not found else ("yes" if found["consistent"] else "no"))
        for k in range(len(mean)):
            yield (ch.name, ch.side, ch.muscle, count, k * 100.0 / (len(mean) - 1),
                   _number(mean[k]), "" if sd is None else _number(sd[k])) + consistency


def activity_rows(result):
    yield ("channel", "side", "muscle", "trial", "cycle", "on", "off")
    for ch in result.channels:
        for (trial, number), periods in zip(ch.cycle_numbers(), ch.analysis["activity"]):
            for on, off in periods:
                yield (ch.name, ch.side, ch.muscle, trial, number, _number(on), _number(off))


def _joined(values):
    return ";".join("" if v is None else _number(v) for v in values)


def compare_rows(result):
    yield ("channel", "side", "muscle", "correlation", "cosine", "rms_sd", "outside",
           "onset_shift", "offset_shift", "onset_sd", "offset_sd")
    for ch in result.channels:
        if ch.against is None:
            continue
        a = ch.against
        shifts = [s or {} for s in a["shifts"]]
        yield (ch.name, ch.side, ch.muscle, _number(a["correlation"]), _number(a["cosine"]),
               _number(a["rms_sd"]),
               ";".join(f"{lo:.1f}-{hi:.1f}:{where}" for lo, hi, where in a["outside"]),
               *(_joined(s.get(key) for s in shifts)
                 for key in ("onset_shift", "offset_shift", "onset_sd", "offset_sd")))


def cocontraction_rows(result):
    yield ("side", "muscle_a", "muscle_b", "phase", "mean", "sd", "cycles")
    for pair in result.cocontraction:
        for phase, (mean, sd) in pair["phases"].items():
            yield (pair["side"], pair["muscle_a"], pair["muscle_b"], phase, _number(mean),
                   _number(sd), pair["cycles"])


def synergy_rows(result):
    # Per side and k: the weight of each muscle in each of the k synergies,
    # with tVAF(k) on each of its rows.
    yield ("side", "k", "tvaf", "synergy", "muscle", "weight")
    for found in result.synergies:
        for k, (tvaf, weights) in enumerate(zip(found.tvaf, found.weights), 1):
            for synergy in range(k):
                for muscle, weight in zip(found.muscles, weights[:, synergy]):
                    yield (found.side, k, _number(tvaf), synergy + 1, muscle, _number(weight))


def _tables_of(result):
    """(suffix, rows) of each table the result has."""
    found = [(CYCLES_SUFFIX, cycles_rows), (ACTIVITY_SUFFIX, activity_rows)]
    if result.reference_source is not None:
        found.append((COMPARE_SUFFIX, compare_rows))
    if result.cocontraction:
        found.append((COCONTRACTION_SUFFIX, cocontraction_rows))
    if result.synergies:
        found.append((SYNERGIES_SUFFIX, synergy_rows))
    return found


def write_outputs(result, out=None, jobs=1):
    """Write the PDF and both tables into ``out`` (default: the first trial's
    folder), each complete or not at all; their paths.  ``jobs`` > 1: the
    PDF's pages drawn by that many processes (``plotvane.pages``)."""
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
    written = _tables_of(result)
    tables.check_writable([pdf] + [base + suffix for suffix, _ in written], WRITE_ELSEWHERE)
    with tables.output(pdf, tables.CLOSE_IT + WRITE_ELSEWHERE):
        paths = [write_gait_report(result, folder, jobs)]
    for suffix, rows in written:
        paths.append(tables.write_csv(base + suffix, rows(result), WRITE_ELSEWHERE))
    return paths


def run(sources, settings, out=None, verdicts=None, say=print, describe=None, told=None,
        jobs=1):
    """Prepare, pool and write: the whole analysis of ``sources`` ((label, open)
    pairs, see ``prepare_all``), telling ``say`` of each trial, of the channels
    left out and of the files written, and ``told`` (when given) what
    ``prepare_all`` tells its progress of each trial; (result, paths).  ``jobs``:
    see ``write_outputs``."""
    prepared, refused = prepare_all(sources, settings, _progress(say, tell=told), describe)
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
    paths = write_outputs(result, out, jobs)
    say(f"{len(result.channels)} channel{_plural(len(result.channels))} of "
        f"{len(prepared)} trial{_plural(len(prepared))} analysed; written:")
    for path in paths:
        say("  " + path)
    return result, paths


def _progress(say, subject=False, tell=None):
    """The progress of ``prepare_all`` told to ``say``: a line per trial, after
    what reading it had to say (the subject too, where trials of several are
    read); and to ``tell``, as it is."""
    def progress(number, total, label, prepared, reason):
        if tell is not None:
            tell(number, total, label, prepared, reason)
        for line in prepared.warnings if prepared is not None else ():
            say(line)
        told = (f"not used: {reason}" if prepared is None else
                (f"subject {prepared.group}, " if subject else "") + prepared.summary())
        say(f"[{number}/{total}] {label}: {told}")
    return progress


def build_reference(sources, settings, subjects=None, say=print, describe=None, each=None,
                    told=None):
    """The lab reference of the control trials ``sources`` ((label, open) pairs):
    each trial's subject is ``subjects[label]`` (label, or label without its
    extension), else the subject its file names, else its own; the record of
    ``reference.build_reference``, and the trials refused.  ``each``: where the
    trials are prepared (see ``prepare_all``); ``told``: as in ``run``."""
    from quorvaemg_gait import reference

    subjects = dict(subjects or {})

    def subject_of(label, prepared):
        for key in (label, os.path.splitext(label)[0], prepared.name):
            if key in subjects:
                return subjects[key]
        return prepared.subject if prepared.subject_known else prepared.name

    prepared, refused = prepare_all(sources, settings,
                                    _progress(say, subject=True, tell=told), describe,
                                    subject_of, each)
    groups = {}
    for trial in prepared:
        groups.setdefault(trial.group, []).append(trial)
    if not groups:
        raise GaitError("no control trial could be used", "see the reason given for each")
    results = []
    for subject, trials in groups.items():
        result = analyse(trials, settings)
        for line in result.left_out_lines():
            say(f"subject {subject}: left out, {line}")
        results.append((subject, result))
    record = reference.build_reference(results, settings)
    if not record["muscles"]:
        raise GaitError("no channel of the control trials could be analysed",
                        "name the side and muscle of each channel in a file of "
                        "channel,side,muscle lines given with --muscles")
    return record, refused


def name_list(names, shown=10):
    """The first ``shown`` of ``names`` for a console line, and how many more."""
    more = len(names) - shown
    return ", ".join(tables.excerpt(n) for n in names[:shown]) + (
        f" and {more} more" if more > 0 else "")


def report(trials, channels=None, muscles=None, normalise="none", envelope="linear",
           out=None, verdicts=None, reference=None, pairs=None, synergies=None, jobs=1):
    """Analyse ``trials`` (``Trial`` objects or Nexus records) of one subject and
    write the report and the tables; (result, paths).  A trial that cannot be
    used is left out with its reason; none usable is a ``GaitError``.
    ``reference``: a lab reference file to compare with; ``pairs``: a file of
    muscle,muscle lines, the antagonists whose co-contraction is told;
    ``synergies``: K, each side's synergies for k = 1 ... K and its walk-DMC;
    ``jobs``: processes drawing the report's pages (where the system can fork;
    one elsewhere)."""
    settings = Settings(channels, muscles, normalise, envelope, reference=reference, pairs=pairs,
                        synergies=synergies)
    sources = []
    for item in trials:
        label = item.name if isinstance(item, Trial) else str(dict(item).get("name", "trial"))
        sources.append((label, lambda item=item: item))
    return run(sources, settings, out, verdicts, jobs=jobs)
