"""What several commands share: the command itself, options and their checks."""

import argparse

from quorvaemg_host import jobs as parallel
from quorvaemg_host import summary
from quorvaemg_host.errors import UsageError
from quorvaemg_host.finding import DEFAULT_GLOB, check_distinct_outputs, find_trials
from quorvaemg_host.files import CONFIG_NAME, DEFAULT_FOLDER
from quorvaemg_host.trial_events import CHOICES as EVENT_SOURCES

PROG = "quorvaemg-host"

# What a command line leaves out, so that every command sees every name (the
# flag form gives them all, a command's own parser only its own).
DEFAULTS = {"trials": [], "process": None, "batch": None, "write_demo": None,
            "channels": None, "in_place": False, "folder": None, "config": None,
            "no_trial": False, "jobs": 1, "controls": None, "shift": [], "recursive": False,
            "glob": DEFAULT_GLOB, "out": None, "scheduler": None, "summary": None,
            "found": None}


class Command:
    """One job of the host: its options (``add_options(parser)``), the checks of
    its command line (``check(args)``) and ``run(args)``, the exit status."""

    def __init__(self, name, summary, add_options, check, run, synopsis=""):
        self.name, self.summary, self.synopsis = name, summary, synopsis
        self.add_options, self.check, self.run = add_options, check, run

    def parser(self):
        parser = argparse.ArgumentParser(prog=f"{PROG} {self.name}", description=self.summary)
        self.add_options(parser)
        return parser

    def parse(self, argv):
        return with_defaults(self.parser().parse_intermixed_args(argv))


def with_defaults(args):
    for name, value in DEFAULTS.items():
        if getattr(args, name, None) is None:
            # A list of its own: a command adds to its trials (process's among its
            # names), which must not reach the next command line run in this process.
            setattr(args, name, list(value) if isinstance(value, list) else value)
    return args


def plural(count):
    return "" if count == 1 else "s"


# -- options ------------------------------------------------------------------------

def channels_option(parser, scope="trial files only: "):
    parser.add_argument(
        "--channels", metavar="PATTERN",
        help=scope + "keep the analog channels whose label contains "
             "PATTERN, or matches it as a glob when it has * ? or [ (default: all)")


def events_options(parser, flag):
    """Where the gait events come from (``flag`` FROM) and the markers they are found from."""
    parser.add_argument(
        flag, dest="events", default="auto", choices=EVENT_SOURCES, metavar="|".join(EVENT_SOURCES),
        help="the gait events: the file's own (file), found from the markers (markers), "
             "from the force plates with the markers telling the feet apart "
             "(forceplates), or the file's where it has them, else found from plates and "
             "markers (auto, the default)")
    parser.add_argument(
        "--markers", metavar="FILE",
        help="CSV of role,side,marker lines naming the heel, toe and pelvis markers the "
             "events are found from, where the usual names (LHEE, RTOE, SACR, ...) are "
             "not the trial's")


def trial_options(parser, window=False):
    channels_option(parser)
    parser.add_argument(
        "--in-place", action="store_true",
        help="trial files only: replace each file by its processed version (written "
             "complete first) instead of writing TRIAL_processed.c3d beside it")
    parser.add_argument(
        "--folder", metavar="DIR",
        help="demo trial only: its folder, created if missing (default: "
             + DEFAULT_FOLDER + ")")
    if window:
        parser.add_argument(
            "--config", metavar="DIR",
            help="window only: folder where Save Configuration writes "
                 + CONFIG_NAME + " (default: the trial's folder)")
        parser.add_argument(
            "--no-trial", action="store_true",
            help="window only, without trial files: open the window as Nexus does with "
                 "no trial open (NO TRIAL SELECTED, buttons disabled)")


def finding_options(parser, out_help=None):
    """Folders searched for trials; ``out_help``: the help of the command's --out DIR."""
    parser.add_argument(
        "--recursive", action="store_true",
        help="search the folders named for trials in their subfolders too")
    parser.add_argument(
        "--glob", default=DEFAULT_GLOB, metavar="PATTERN",
        help=f"the trial files of a folder named, in any case (default: {DEFAULT_GLOB}); "
             "the host's own outputs (..._processed.c3d, ..._events.c3d) are never taken")
    if out_help is not None:
        parser.add_argument("--out", metavar="DIR", help=out_help)


MIRRORED = ("; a trial found in a folder named goes into the same subfolders of DIR as "
            "in that folder")
PROCESSED_OUT = ("write each processed trial and its history log into DIR instead of beside "
                 "the trial" + MIRRORED)
TRIALS_HELP = "C3D trial files and folders of them (default: the demo trial)"


def run_options(parser, what="trial", also=""):
    """Where the work on each ``what`` runs, and the run's summary file;
    ``also``: what else --jobs does."""
    parser.add_argument(
        "--jobs", metavar="N", type=int, default=1,
        help=f"over trial files: work on N {what}s at a time in N processes (default 1){also}; "
             "the output stays in trial order")
    parser.add_argument(
        "--scheduler", metavar="ADDRESS",
        help=f"over trial files: work on the {what}s on the Dask cluster whose scheduler is "
             "at ADDRESS (e.g. tcp://HOST:8786; needs the cluster extra)")
    parser.add_argument(
        "--summary", metavar="FILE",
        help="also write one CSV row per trial to FILE (replaced whole): status, the "
             "reason of a failure, channels and gait cycles used, quality verdicts")



# -- checks -------------------------------------------------------------------------

def refuse_window_options(args):
    if args.config is not None or args.no_trial:
        raise UsageError("--config and --no-trial apply to the window only")


def check_trials(args, one_trial=False, then=None):
    """The checks of the trials named and of the options that apply to trial files
    or to the demo trial only; ``then(args)`` comes before ``--jobs`` is checked.
    The trials found (``finding.find_trials``) are ``args.found``."""
    if args.trials:
        args.found = find_trials(args.trials, args.recursive, args.glob)
        if args.in_place and args.out is not None:
            raise UsageError("--in-place replaces each trial, --out writes elsewhere: "
                             "give one of them")
        if args.folder is not None or args.no_trial:
            raise UsageError("--folder and --no-trial apply to the demo trial only, "
                             "not to trial files")
        if one_trial and len(args.found) > 1:
            raise UsageError("the window opens one trial at a time; use --batch or "
                             "--process for several")
    elif args.channels is not None or args.in_place:
        raise UsageError("--channels and --in-place apply to trial files only")
    if then is not None:
        then(args)
    given = [flag for flag, value in (("--jobs", args.jobs != 1),
                                      ("--scheduler", args.scheduler is not None),
                                      ("--summary", args.summary is not None)) if value]
    if given and (one_trial or not args.trials):
        raise UsageError(f"{' and '.join(given)} appl{'y' if len(given) > 1 else 'ies'} to "
                         "runs over trial files only")
    check_run(args)


def check_run(args, mirrored=True):
    """The checks of where a run's work runs, of its summary file and, where
    ``--out DIR`` mirrors the folders named, of its outputs."""
    try:
        parallel.check_jobs(args.jobs)
    except ValueError as exc:
        raise UsageError(str(exc)) from exc
    if args.jobs != 1 and args.scheduler is not None:
        raise UsageError("give --jobs N for processes on this machine or --scheduler "
                         "ADDRESS for a Dask cluster, not both")
    parallel.check_scheduler(args.scheduler)
    if args.found and mirrored:
        check_distinct_outputs(args.found, args.out)
    summary.check(args.summary)


# -- Tk -----------------------------------------------------------------------------

def no_display_message(exc, purpose):
    reason = str(exc).strip() or "Tk could not start"
    return f"no display for {purpose} ({reason})"


def destroy(root):
    import tkinter

    try:
        root.destroy()
    except tkinter.TclError:  # already destroyed
        pass

