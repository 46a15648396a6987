"""What several commands share: the command itself, options and their checks."""

import argparse

from quorvaemg_host import jobs as parallel
from quorvaemg_host.errors import UsageError
from quorvaemg_host.files import CONFIG_NAME, DEFAULT_FOLDER
from quorvaemg_host.trial_events import CHOICES as EVENT_SOURCES

PROG = "quorvaemg-host"

# What a command line leaves out, so that every command sees every name (the
# flag form gives them all, a command's own parser only its own).
DEFAULTS = {"trials": [], "process": None, "batch": None, "write_demo": None,
            "channels": None, "in_place": False, "folder": None, "config": None,
            "no_trial": False, "jobs": 1, "controls": None, "shift": []}


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
            setattr(args, name, value)
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


def jobs_option(parser, what="--batch and --process over trial files: work on N trials at "
                             "a time in N processes (default 1); the output stays in trial "
                             "order"):
    parser.add_argument("--jobs", metavar="N", type=int, default=1, help=what)


# -- checks -------------------------------------------------------------------------

def refuse_window_options(args):
    if args.config is not None or args.no_trial:
        raise UsageError("--config and --no-trial apply to the window only")


def check_trials(args, one_trial=False, then=None):
    """The checks of the trials named and of the options that apply to trial files
    or to the demo trial only; ``then(args)`` comes before ``--jobs`` is checked."""
    if args.trials:
        if args.folder is not None or args.no_trial:
            raise UsageError("--folder and --no-trial apply to the demo trial only, "
                             "not to trial files")
        if one_trial and len(args.trials) > 1:
            raise UsageError("the window opens one trial at a time; use --batch or "
                             "--process for several")
    elif args.channels is not None or args.in_place:
        raise UsageError("--channels and --in-place apply to trial files only")
    if then is not None:
        then(args)
    if args.jobs != 1 and (one_trial or not args.trials):
        raise UsageError("--jobs applies to trial files, not to the window or the demo trial")
    try:
        parallel.check_jobs(args.jobs)
    except ValueError as exc:
        raise UsageError(str(exc)) from exc


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

