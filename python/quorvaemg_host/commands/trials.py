"""A command's run over trials: where each trial comes from, the work on it,
its saving, and the progress lines and summary of a run over several.

The work on one trial is ``run_one(source, job)``: a trial source
(``DemoSource``, ``FileSource``) and a job (the process and batch commands'),
all plain objects, so trials can also run in worker processes or on a
cluster (``--jobs N``, ``--scheduler ADDRESS``: ``quorvaemg_host.jobs``).
One failing trial does not stop the others.  A processed channel whose raw
samples the quality checks judge unusable gets a warning line (processing
goes on).  When a trial is not saved after the plug-in logged its
processing, one line in the trial's history log says so and why.
"""

import functools
import os
import tempfile

from quorvaemg_host import c3d
from quorvaemg_host import jobs as parallel
from quorvaemg_host import summary
from quorvaemg_gait import quality
from quorvaemg_host.commands.options import plural
from quorvaemg_host.demo import demo_trial
from quorvaemg_host.errors import HostError, NoDisplay, describe
from quorvaemg_host.files import DEFAULT_FOLDER, History, processed_csv_path
from quorvaemg_host.finding import output_folder
from quorvaemg_host.nexus import NexusStandIn
from quorvaemg_host.trial_events import frames_by_event, trial_events

# -- trial sources ----------------------------------------------------------------


def demo_folder(folder):
    return os.path.expanduser(DEFAULT_FOLDER if folder is None else folder)


class DemoSource:
    """The demo trial in ``folder``; the processed trial goes to CSV."""

    label = "demo trial"

    def __init__(self, folder):
        self.folder = folder

    def open(self):
        check_writable_folder(self.folder, "the demo trial's folder",
                              "give a folder you can write to with --folder DIR")
        return demo_trial(self.folder)

    @staticmethod
    def check_writable(trial):
        """Nothing more to check: ``open`` made sure of the folder."""

    @staticmethod
    def save(trial):
        path = processed_csv_path(trial)
        trial.write_csv(path)
        return path


class FileSource:
    """The C3D trial ``path``, told as ``label`` (default: its file name); the
    processed trial goes to ``save_trial``, and with its history log into
    ``out`` when given instead of beside it."""

    def __init__(self, path, channels=None, in_place=False, events="file", markers=None,
                 label=None, out=None):
        self.path, self.channels, self.in_place, self.out = path, channels, in_place, out
        self.events, self.markers = events, markers  # where the gait events come from
        self.label = label or os.path.basename(path)

    def open(self):
        try:
            trial = c3d.load_trial(self.path, channels=self.channels)
            if self.events != "file" and not (self.events == "auto" and trial.events):
                self._use_found_events(trial)
            if self.out is not None:  # the plug-in writes the history log there too
                trial.folder = folder_with_separator(self.out)
            return trial
        except OSError as exc:
            raise HostError(f"cannot read the trial file {self.path} ({exc.strerror or exc})",
                            "check its path, or that it can be read") from None

    def _use_found_events(self, trial):
        found = trial_events(self.path, self.events, self.markers, layout=trial.layout)
        trial.events = frames_by_event(found.events)
        trial.event_source = found.source
        trial.warnings += [f"note: {self.label}: {line}" for line in found.notes
                           if line not in trial.layout.warnings]

    def check_writable(self, trial):
        """Refuse a trial whose folder cannot take the files written beside it."""
        check_writable_folder(trial.folder, f"the folder of {self.label}",
                              "copy the trial into a folder you can write to: its history "
                              "log and processed copy are written beside it")

    def save(self, trial):
        return c3d.save_trial(trial, in_place=self.in_place)


def trial_sources(args, **options):
    """The trials the command line names, in order (``options``: ``FileSource``'s);
    under ``--out DIR`` where one is given."""
    if not args.trials:
        return [DemoSource(demo_folder(args.folder))]
    return [FileSource(found.path, args.channels, args.in_place, label=found.label,
                       out=None if args.out is None else output_folder(found, args.out),
                       **options)
            for found in args.found]


def check_writable_folder(folder, role, todo):
    """Make ``folder`` if missing and refuse it, naming its ``role``, when no file
    can be made in it (e.g. /proc, a read-only medium), before anything is
    processed that would then not be saved."""
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise HostError(f"{role} {folder} is a file, not a folder", todo)
    try:
        os.makedirs(folder, exist_ok=True)
        handle, probe = tempfile.mkstemp(dir=folder, prefix=".quorvaemg-")
        os.close(handle)
        os.remove(probe)
    except OSError as exc:
        raise HostError(f"{role} {folder} cannot be written ({exc.strerror or exc})",
                        todo) from None


def folder_with_separator(folder):
    """``folder`` made absolute, ending with exactly one path separator."""
    path = os.path.abspath(folder)
    return path if path.endswith(os.sep) else path + os.sep


def save_processed(trial, vicon, source, history):
    """Save the trial when a Process run wrote channels: the path, or None.

    A failed save is noted in the history log and raised as a ``HostError``.
    """
    if not vicon.written:
        return None
    try:
        return source.save(trial)
    except Exception as exc:
        reason = describe(exc)
        history.note_not_saved(reason)
        raise HostError(f"{source.label} not saved: {reason}") from exc


# -- what a run checks and warns of -------------------------------------------------

def rate_warning(trial, high, low, note=""):
    """The effective-cutoff warning for ``trial``, or None at 1000 samples per second."""
    if trial.device_rate == 1000.0:  # the demo trial's rate: no need of the C3D module
        return None
    line = c3d.effective_cutoffs_warning(trial.device_rate, high, low)
    return None if line is None else line + note


class Warnings:
    """Prints each distinct warning line once."""

    def __init__(self):
        self.shown = set()

    def show(self, line):
        if line is not None and line not in self.shown:
            self.shown.add(line)
            print(line)


class Steps:
    """The steps of a processing run that need samples enough: the low-pass and
    high-pass filters as (cutoff, order) and the RMS window, each None when off."""

    def __init__(self, low=None, high=None, window=None):
        self.low, self.high, self.window = low, high, window

    @classmethod
    def of(cls, switches, high, high_order, low, low_order, window):
        """From the five switches (remove mean, low-pass, high-pass, rectify, RMS)
        and the settings, in the order the window's entries have them."""
        _, low_on, high_on, _, rms_on = switches
        return cls(low=(low, low_order) if low_on else None,
                   high=(high, high_order) if high_on else None,
                   window=window if rms_on else None)

    def check_lengths(self, trial, ticked, todo):
        """Refuse a trial with a ticked channel (1-based) too short for the steps:
        filtfilt needs more than 3 (order + 1) samples, and an RMS window longer
        than the channel would make a longer one."""
        for k in ticked:
            name, count = trial.channel_names[k - 1], len(trial.samples[k - 1])
            if count == 0:
                raise HostError(f"channel {name} has no samples", todo)
            for kind, step in (("low-pass", self.low), ("high-pass", self.high)):
                if step is not None and count <= 3 * (step[1] + 1):
                    raise HostError(f"channel {name} has {count} samples, too few for the "
                                    f"{kind} filter of order {step[1]} (it needs more than "
                                    f"{3 * (step[1] + 1)})", todo)
            if self.window is not None and count < self.window:
                raise HostError(f"channel {name} has {count} samples, fewer than the RMS "
                                f"window of {self.window}", todo)


def check_raw(label, trial):
    """(quality of every channel of a trial about to be processed or None, warnings).

    Checked before processing replaces the samples (keeping the raw arrays
    until the end would hold the trial in memory twice).  A channel that
    cannot be checked is judged unusable, and a trial that cannot be checked
    at all is a warning: processing goes on.  The warnings are
    shown just before the trial's progress line, so that runs over several
    processes keep them in trial order.
    """
    try:
        return quality.assess(trial, unreadable=True), []
    except ValueError as exc:
        return None, [f"warning: {label}: quality not checked: {exc}"]


def unusable_warnings(label, checked, written):
    """A warning line for each processed channel whose raw samples are unusable."""
    if checked is None:
        return []
    return quality.unusable_warnings(label, [checked[k - 1] for k in sorted(written)])


# -- the run ------------------------------------------------------------------------

class Outcome:
    """What became of one trial: the path written (None: nothing), the channels
    processed, failure, the warning lines to show before its progress line,
    the verdicts of its raw channels and what else a command keeps of it
    (``kept``: the quality measures for their table, the events for theirs)."""

    def __init__(self, label, path=None, channels=(), reason=None, warnings=(), verdicts=None,
                 kept=None):
        self.label, self.path, self.channels, self.reason = label, path, list(channels), reason
        self.warnings, self.verdicts, self.kept = list(warnings), verdicts, kept

    @property
    def count(self):
        return len(self.channels)

    def row(self):
        """The trial's row of the run's summary."""
        return summary.TrialRow(self.reason, self.channels, verdicts=self.verdicts,
                                written=[self.path])

    def line(self):
        if self.reason is not None:
            return f"failed: {self.reason}"
        if self.path is None:
            return "no channel selected, nothing written"
        return f"{self.count} channel{plural(self.count)} processed, written to {self.path}"


def run_one(source, job):
    """Open, process and save one trial; its ``Outcome``.

    A trial whose opening, processing or saving fails is reported in the
    outcome and nothing of it is saved; no display (``NoDisplay``) is
    raised, as it stops the whole run.
    """
    try:
        return process_and_save(source, job)[1]
    except NoDisplay:
        raise
    except Exception as exc:  # noqa: BLE001 - reported per trial, the others go on
        return Outcome(source.label, reason=describe(exc))


def process_and_save(source, job):
    """Open, process and save one trial: (trial, ``Outcome``); failures are raised."""
    trial = source.open()
    source.check_writable(trial)
    vicon = NexusStandIn(trial)
    history = History(trial)
    checked, warnings = check_raw(source.label, trial)
    warnings = list(getattr(trial, "warnings", ())) + warnings
    job(trial, vicon)
    warnings += unusable_warnings(source.label, checked, vicon.written)
    path = save_processed(trial, vicon, source, history)
    return trial, Outcome(source.label, path, [trial.channel_names[k - 1]
                                               for k in sorted(vicon.written)],
                          warnings=warnings,
                          verdicts=None if checked is None else {q.name: q.verdict
                                                                 for q in checked})


def lost_outcome(source, reason):
    """The outcome of a trial whose worker was lost."""
    return Outcome(source.label, reason=reason)


def each_trial(work, items, args, lost, preload=("quorvaemg",)):
    """Context: ``work(item)`` for each of ``items`` in order, where the command
    line says (``--jobs``, ``--scheduler``: ``jobs.in_order``)."""
    return parallel.in_order(work, items, args.jobs, args.scheduler, preload, lost)


def prepared_in(args):
    """The ``each`` of ``quorvaemg_gait.prepare_all`` that prepares the trials
    where the command line says; a trial whose worker was lost is refused."""
    def each(work, sources):
        with each_trial(work, sources, args, lambda source, reason: (None, reason),
                        preload=()) as results:
            yield from results
    return each


def write_summary(args, sources, rows):
    """Write the run's summary (``--summary FILE``): the ``summary.TrialRow``
    of each of the trials ``sources``; and say where."""
    if args.summary is not None:
        written = summary.write(args.summary, [(source.path, row)
                                               for source, row in zip(sources, rows)])
        print(f"Summary written to {written}")


def run_trials(sources, job, args):
    """``job`` on each trial, where the command line says (``each_trial``), with
    a progress line each in trial order, the run's summary and its summary file.

    0 when no trial failed, else 1.
    """
    total = len(sources)
    outcomes = []
    with each_trial(functools.partial(run_one, job=job), sources, args,
                    lost_outcome) as results:
        for number, outcome in enumerate(results, 1):
            for line in outcome.warnings:
                print(line)
            print(f"[{number}/{total}] {outcome.label}: {outcome.line()}", flush=True)
            outcomes.append(outcome)
    failed = [o for o in outcomes if o.reason is not None]
    untouched = sum(1 for o in outcomes if o.reason is None and o.path is None)
    parts = [f"{total - len(failed) - untouched} processed"]
    if untouched:
        parts.append(f"{untouched} with no channel selected")
    parts.append(f"{len(failed)} failed")
    print(f"{job.title}: " + ", ".join(parts) + (":" if failed else ""))
    for outcome in failed:
        print(f"  {outcome.label}: {outcome.reason}")
    write_summary(args, sources, [outcome.row() for outcome in outcomes])
    return 1 if failed else 0


def run_single(source, job, describe_run):
    """``job`` on the demo trial: its result line, or the failure raised."""
    trial, outcome = process_and_save(source, job)
    for line in outcome.warnings:
        print(line)
    print(describe_run(trial, outcome))
    return 0
