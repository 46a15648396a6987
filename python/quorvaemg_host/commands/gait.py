"""``gait TRIAL ... | --demo``: EMG over the gait cycle of one subject's trials
against normal walking (and a lab reference with ``--reference``):
TRIAL_EMGGait.pdf, TRIAL_EMGCycles.csv, TRIAL_EMGActivity.csv, and
TRIAL_EMGCompare.csv, TRIAL_EMGCoContraction.csv and TRIAL_EMGSynergies.csv
where they apply.

Over folders (an archive of SUBJECT/SESSION/ folders) the trials are grouped
into sessions, one report each: the trials of one folder and one subject
(a file naming no subject goes with its folder's first subject);
``--group all`` pools them all, as trial files named are pooled.  The
sessions are the work ``--jobs`` and ``--scheduler`` share out."""

import os
import sys

from quorvaemg_host.commands.options import (PROG, TRIALS_HELP, Command, channels_option,
                                             check_trials, events_options, finding_options,
                                             plural, run_options)
from quorvaemg_host.commands.trials import (DemoSource, FileSource, demo_folder, each_trial,
                                            write_summary)
from quorvaemg_host.errors import HostError, UsageError, describe
from quorvaemg_host.files import DEFAULT_FOLDER
from quorvaemg_host.finding import output_folder
from quorvaemg_host.summary import Told, TrialRow

GROUPS = ("session", "all")


def add_options(parser):
    parser.add_argument("trials", nargs="*", metavar="TRIAL.c3d|DIR",
                        help=TRIALS_HELP.replace(" (default: the demo trial)", "")
                        + "; the cycles of a report's trials are pooled per channel")
    parser.add_argument("--demo", action="store_true",
                        help="analyse the demo trial instead, in " + DEFAULT_FOLDER)
    channels_option(parser, scope="")  # the demo trial's channels are chosen too
    parser.add_argument("--muscles", metavar="FILE",
                        help="CSV of channel,side,muscle lines; wins over what the channel "
                             "names say (e.g. LTA: left tibialis anterior)")
    parser.add_argument("--normalise", default="none", metavar="none|peak|mvc:FILE",
                        help="amplitude: the channel's unit, 100 %% = peak of the mean "
                             "curve, or 100 %% = the channel's value in a CSV of "
                             "channel,value lines (default: none)")
    parser.add_argument("--envelope", default="linear", metavar="linear|rms:MS|as-is",
                        help="linear envelope (band-pass 20-450 Hz, rectify, low-pass 6 Hz), "
                             "moving RMS of MS milliseconds, or the channels as they are "
                             "(default: linear)")
    parser.add_argument("--reference", metavar="REFERENCE.json",
                        help="compare each muscle with this lab reference (made by "
                             "reference build with the same --envelope and --normalise): "
                             "its band on the pages and TRIAL_EMGCompare.csv")
    parser.add_argument("--pairs", metavar="FILE",
                        help="CSV of muscle,muscle lines: the antagonists whose "
                             "co-contraction is told (default: TA with GAS and SOL, RF, VL "
                             "and VM with each hamstring)")
    # Without K the analysis takes its default number of synergies.
    parser.add_argument("--synergies", nargs="?", const=True, metavar="K",
                        help="muscle synergies of each side for k = 1 ... K (K 5 when not "
                             "given) and the walking dynamic motor control index (walk-DMC): "
                             "a page per side and TRIAL_EMGSynergies.csv")
    events_options(parser, "--events")
    parser.add_argument("--group", choices=GROUPS, metavar="session|all",
                        help="one report per session (the trials of one folder and one "
                             "subject) or one of all the trials (default: session when a "
                             "folder is named, else all)")
    finding_options(parser, "folder of the report and tables (default: the first trial's "
                            "folder); a session found in a folder named goes into the same "
                            "subfolders of DIR as in that folder")
    run_options(parser, what="session report",
                also=", or draw the pages of a single report in N processes")


def sessions(found, group):
    """The trials ``found`` in their reports' groups, in the order of their first trials."""
    from quorvaemg_host import c3d

    if group == "all":
        return [found]
    groups = {}
    for trial in found:
        try:
            subject = c3d.named_subject(trial.path)
        except Exception:  # noqa: BLE001 - its report tells why it is not used
            subject = None
        groups.setdefault((os.path.dirname(os.path.abspath(trial.path)), subject),
                          []).append(trial)
    named = {}
    for (folder, subject), trials in groups.items():
        if subject is not None:
            named.setdefault(folder, trials)
    for (folder, subject), trials in list(groups.items()):
        if subject is None and folder in named:  # pooled, as a report pools such files
            named[folder].extend(trials)
            del groups[(folder, subject)]
    order = {id(trial): k for k, trial in enumerate(found)}
    return [sorted(trials, key=lambda t: order[id(t)]) for trials in groups.values()]


class GaitJob:
    """One report: the analysis of one group of trials (``finding.Found``); the
    summary rows of its trials."""

    def __init__(self, settings, args, told_session, page_jobs=1):
        self.settings, self.told_session, self.page_jobs = settings, told_session, page_jobs
        self.channels, self.events, self.markers = args.channels, args.events, args.markers
        self.out, self.pooled = args.out, args.group == "all"

    def __call__(self, trials):
        from quorvaemg_gait import gait

        told = Told()
        sources = [(os.path.basename(t.path),
                    FileSource(t.path, self.channels, events=self.events,
                               markers=self.markers).open) for t in trials]
        if self.told_session:
            where = trials[0].session or os.path.dirname(trials[0].path) or os.curdir
            print(f"Session {where}: {len(trials)} trial{plural(len(trials))}", flush=True)
        out = self.out if self.pooled or self.out is None else output_folder(trials[0],
                                                                            self.out)
        failure, written = None, []
        try:
            written = gait.run(sources, self.settings, out, describe=describe, told=told,
                               say=lambda line: print(line, flush=True),
                               jobs=self.page_jobs)[1]
        except Exception as exc:  # noqa: BLE001 - this report only: the others go on
            failure = describe(exc)
        return failure, told.all(len(sources), failure, written)


def lost_session(trials, reason):
    return reason, [TrialRow(reason) for _ in trials]


def run(args):
    from quorvaemg_gait import gait

    if isinstance(args.synergies, str) and not args.synergies.strip().isdigit():
        # --synergies without K before a trial takes the trial's name for K.
        raise UsageError(f"--synergies {args.synergies!r} is not a whole number: give K "
                         "(e.g. --synergies 5), or put --synergies without K after the trials")
    if args.demo == bool(args.trials):
        raise UsageError("name the C3D trials of one subject, or --demo for the demo trial")
    if args.demo and (args.events != "auto" or args.markers is not None):
        raise UsageError("--events and --markers apply to trial files, not to the demo trial")
    try:
        settings = gait.Settings(args.channels, args.muscles, args.normalise, args.envelope,
                                 reference=args.reference, pairs=args.pairs,
                                 synergies=args.synergies)
    except gait.SettingError as exc:
        raise UsageError(str(exc)) from None
    if args.demo:
        folder = demo_folder(args.folder)
        print("Gait-cycle EMG of 1 trial", flush=True)
        gait.run([(DemoSource.label, DemoSource(folder).open)], settings, args.out,
                 say=lambda line: print(line, flush=True), describe=describe)
        return 0
    if args.group is None:
        args.group = "session" if any(os.path.isdir(name) for name in args.trials) else "all"
    groups = sessions(args.found, args.group)
    count = len(args.found)
    print(f"Gait-cycle EMG of {count} trial{plural(count)}" + (
        "" if args.group == "all" else f" in {len(groups)} session{plural(len(groups))}"),
        flush=True)
    # The processes go where the work is: to the sessions when there are
    # several, else to the pages of the one report.
    page_jobs = args.jobs if len(groups) == 1 and args.scheduler is None else 1
    failures, rows = [], []
    with each_trial(GaitJob(settings, args, args.group != "all", page_jobs), groups, args,
                    lost_session, preload=()) as results:
        for trials, (failure, trial_rows) in zip(groups, results):
            if failure is not None:
                failures.append(failure)
                if args.group != "all":
                    print(f"{PROG}: error: session of {trials[0].label}: {failure}",
                          file=sys.stderr)
            rows += trial_rows
    write_summary(args, [t for trials in groups for t in trials], rows)
    if args.group == "all" and failures:
        raise HostError(failures[0])
    return 1 if failures else 0


COMMAND = Command("gait", "EMG over the gait cycle of one subject's trials, against normal "
                          "walking: PDF report and tables", add_options, check_trials, run,
                  "TRIAL.c3d|DIR ... | --demo")
