"""``quorvaemg-host``: plays the Nexus pipeline script around the plug-in.

The trial is the bundled demo trial, or the C3D files named on the command
line (``--channels PATTERN`` keeps the matching analog channels).

Modes:
  (none)                 interactive: open the plug-in window on the trial,
                         as the pipeline script does (Tk root,
                         ``initializeroot``, ``initializewindow``, main loop);
                         when the window closes after a Process run, the
                         processed trial is saved
  --no-trial             the same window in its "NO TRIAL SELECTED" form
  --batch CONFIG_DIR     replay the configuration saved in CONFIG_DIR with
                         ``readconfig`` on each trial and save it
  --process [NAME ...]   process each trial without a window, with the plug-in
                         window's default settings, as its Process button
                         does, on the named channels (all when none is named)

The interactive window and the batch run both need a display (the batch run
makes its own Tk root window); ``--process`` does not.

Where the trial comes from is pluggable: the modes take "trial openers",
functions that open one trial and return ``(trial, save)``, where ``save()``
writes the processed trial and returns the path written; an opener's
``label`` names its trial in progress lines.  The demo trial is saved as CSV,
a C3D trial into ``<trial>_processed.c3d`` beside it (or over it, with
``--in-place``).  Over trial files, ``--batch`` and ``--process`` print a
progress line per trial and a summary, and one failing trial does not stop
the others.

The processing normalises cutoffs for 1000 samples per second; for a trial
recorded at another rate one warning line gives the cutoffs in Hz that
actually apply.
"""

import argparse
import os
import sys

from quorvaemg_host.demo import demo_trial
from quorvaemg_host.nexus import NexusStandIn
from quorvaemg_host.widgets import HeadlessRoot, channel_vars

PROG = "quorvaemg-host"
DEFAULT_FOLDER = "quorvaemg-demo"
CONFIG_NAME = "RIVuror_config.txt"
TRIAL_SUFFIX = ".c3d"

# The plug-in window's defaults: the five switches (remove mean, low-pass,
# high-pass, rectify, RMS), then the entry texts for the high-pass cutoff and
# order, the low-pass cutoff and order, and the RMS window.
DEFAULT_SWITCHES = (1, 1, 1, 1, 1)
DEFAULT_ENTRIES = ("20", "2", "200", "2", "100")
DEFAULT_HIGH, DEFAULT_LOW = DEFAULT_ENTRIES[0], DEFAULT_ENTRIES[2]


class UsageError(Exception):
    """A command line that names something that is not there."""


class HostError(Exception):
    """A failure that ends the run with its message alone."""


class NoDisplay(HostError):
    """Tk could not open a window: there is no display to open it on."""


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run the quorvaemg plug-in on C3D trial files, or on the bundled "
                    "demo trial when none is named, as a Nexus pipeline script would. "
                    "Without a mode flag the plug-in window opens on the trial (needs "
                    "a display); after a Process the trial is saved as "
                    "TRIAL_processed.c3d beside it.")
    parser.add_argument(
        "trials", nargs="*", metavar="TRIAL.c3d",
        help="C3D trial files (default: the demo trial); the window takes one, "
             "--batch and --process take them in turn")
    modes = parser.add_mutually_exclusive_group()
    modes.add_argument(
        "--process", nargs="*", metavar="NAME",
        help="process the named channels (default: all) without a window, with "
             "the window's default settings, and save the processed trial; a NAME "
             "ending in " + TRIAL_SUFFIX + " is taken as a trial file")
    modes.add_argument(
        "--batch", metavar="CONFIG_DIR",
        help="replay the configuration file " + CONFIG_NAME + " in CONFIG_DIR "
             "(saved by the window's Save Configuration button) on each trial and "
             "save it; needs a display")
    parser.add_argument(
        "--channels", metavar="PATTERN",
        help="trial files only: keep the analog channels whose label contains "
             "PATTERN, or matches it as a glob when it has * ? or [ (default: all)")
    parser.add_argument(
        "--in-place", action="store_true",
        help="trial files only: replace each file by its processed version (written "
             "complete first) instead of writing TRIAL_processed.c3d beside it")
    parser.add_argument(
        "--config", metavar="DIR",
        help="window only: folder where Save Configuration writes "
             + CONFIG_NAME + " (default: the trial folder)")
    parser.add_argument(
        "--no-trial", action="store_true",
        help="window only, without trial files: open the window as Nexus does with "
             "no trial open (NO TRIAL SELECTED, buttons disabled)")
    parser.add_argument(
        "--folder", metavar="DIR",
        help="demo trial only: its folder, created if missing (default: "
             + DEFAULT_FOLDER + ")")
    return parser


def parse_args(parser, argv):
    """The command line, with trial files given after ``--process`` moved to the trials."""
    args = parser.parse_intermixed_args(argv)
    if args.process:
        names = [n for n in args.process if not n.lower().endswith(TRIAL_SUFFIX)]
        args.trials += [n for n in args.process if n.lower().endswith(TRIAL_SUFFIX)]
        args.process = names
    return args


def check_args(args):
    window = args.process is None and args.batch is None
    if not window and (args.config is not None or args.no_trial):
        raise UsageError("--config and --no-trial apply to the window only, "
                         "not to --process or --batch")
    if args.trials:
        if args.folder is not None or args.no_trial:
            raise UsageError("--folder and --no-trial apply to the demo trial only, "
                             "not to trial files")
        if window and len(args.trials) > 1:
            raise UsageError("the window opens one trial at a time; use --batch or "
                             "--process for several")
    elif args.channels is not None or args.in_place:
        raise UsageError("--channels and --in-place apply to trial files only")
    if window and args.config is not None and not os.path.isdir(args.config):
        raise UsageError(f"configuration folder not found: {args.config}")


# -- trial sources ----------------------------------------------------------------

def open_demo_trial(folder):
    if not os.path.isdir(folder):
        os.makedirs(folder)
    return demo_trial(folder)


def demo_opener(folder):
    """Opener of the demo trial in ``folder``; the processed trial goes to CSV."""
    def open_trial():
        trial = open_demo_trial(folder)

        def save():
            path = trial.folder + trial.name + "_processed.csv"
            trial.write_csv(path)
            return path
        return trial, save
    open_trial.label = "demo trial"
    return open_trial


def c3d_files():
    """The C3D module, which needs ezc3d."""
    try:
        from quorvaemg_host import c3d
    except ImportError as exc:
        if sys.version_info < (3, 10):  # no ezc3d release to install
            raise HostError("reading C3D files needs ezc3d, which needs Python 3.10 or newer "
                            "(this is Python %d.%d)" % sys.version_info[:2]) from exc
        raise HostError(f"reading C3D files needs ezc3d ({exc}): "
                        "pip install ezc3d") from exc
    return c3d


def file_opener(path, channels=None, in_place=False):
    """Opener of the C3D trial ``path``; the processed trial goes to ``save_trial``."""
    c3d = c3d_files()

    def open_trial():
        trial = c3d.load_trial(path, channels=channels)

        def save():
            return c3d.save_trial(trial, in_place=in_place)
        return trial, save
    open_trial.label = os.path.basename(path)
    return open_trial


def trial_openers(args):
    """The trials the command line names, as openers, in order."""
    if not args.trials:
        return [demo_opener(DEFAULT_FOLDER if args.folder is None else args.folder)]
    return [file_opener(path, args.channels, args.in_place) for path in args.trials]


def folder_with_separator(folder):
    """``folder`` made absolute, ending with exactly one path separator."""
    path = os.path.abspath(folder)
    return path if path.endswith(os.sep) else path + os.sep


# -- cutoffs at the trial's rate ---------------------------------------------------

def rate_warning(trial, high, low, note=""):
    """The effective-cutoff warning for ``trial``, or None at 1000 samples per second."""
    if trial.device_rate == 1000.0:  # the demo trial's rate: no need of the C3D module
        return None
    line = c3d_files().effective_cutoffs_warning(trial.device_rate, high, low)
    return None if line is None else line + note


def config_cutoffs(config_file):
    """(high, low) cutoffs of a configuration file whose filters are on, else None.

    The file holds N, N pairs of flag and choice lines, the five switches
    (mean, low-pass, high-pass, rectify, RMS), then the high and the low
    cutoff; a file the batch run cannot read gives None (the run reports it).
    """
    try:
        with open(config_file) as f:
            lines = f.readlines()
        first = 1 + 2 * max(int(lines[0]), 0)
        low_on, high_on = int(lines[first + 1]), int(lines[first + 2])
        high, low = int(lines[first + 5]), int(lines[first + 6])
    except (OSError, IndexError, ValueError):
        return None
    if not (low_on or high_on):
        return None
    return high, low


class Warnings:
    """Prints each distinct warning line once."""

    def __init__(self):
        self.shown = set()

    def show(self, line):
        if line is not None and line not in self.shown:
            self.shown.add(line)
            print(line)


# -- the non-interactive mode -----------------------------------------------------

def select_channels(channel_names, names):
    """1-based numbers of the named channels, all of them when none is named.

    A name matches exactly or, failing that, ignoring case.
    """
    if not names:
        return list(range(1, len(channel_names) + 1))
    folded = [c.lower() for c in channel_names]
    chosen = []
    unknown = []
    for name in names:
        if name in channel_names:
            number = channel_names.index(name) + 1
        elif name.lower() in folded:
            number = folded.index(name.lower()) + 1
        else:
            unknown.append(name)
            continue
        if number not in chosen:
            chosen.append(number)
    if unknown:
        raise UsageError("unknown channel name{}: {} (the trial has: {})".format(
            "s" if len(unknown) > 1 else "", ", ".join(unknown), ", ".join(channel_names)))
    return sorted(chosen)


def process_trial(vicon, ticked):
    """Press Process in a window with ``ticked`` channels and default settings."""
    import quorvaemg

    trial = vicon.trial
    names = vicon.GetDeviceOutputDetails(trial.device_id, trial.output_id)[4]
    a, b = channel_vars(names, set(ticked))
    root = HeadlessRoot()
    quorvaemg.processsignal(root, a, b, vicon, trial.device_id, trial.output_id, len(names),
                            *(DEFAULT_SWITCHES + DEFAULT_ENTRIES + (True,)))
    return root


def run_process(open_trial, names):
    trial, save = open_trial()
    ticked = select_channels(trial.channel_names, names)
    vicon = NexusStandIn(trial)
    process_trial(vicon, ticked)
    path = save()
    print(f"Processed trial written to {path}")
    return 0


def run_process_files(openers, names):
    """``--process`` over trial files: each in turn, with progress and summary."""
    warnings = Warnings()

    def process(trial, vicon):
        ticked = select_channels(trial.channel_names, names)
        warnings.show(rate_warning(trial, DEFAULT_HIGH, DEFAULT_LOW))
        process_trial(vicon, ticked)

    print(f"Processing {len(openers)} trial{_plural(len(openers))} with the window's "
          "default settings")
    return run_trials(openers, process, "Process run")


def _plural(count):
    return "" if count == 1 else "s"


def _reason(exc):
    text = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def run_trials(openers, process, title):
    """Open, process and save each trial in turn; one failure does not stop the rest.

    ``process(trial, vicon)`` does the work on one trial; a trial whose
    opening, processing or saving raises is reported and nothing of it is
    saved.  Prints a progress line per trial and a summary; 0 when no trial
    failed, else 1.  No display (``NoDisplay``) stops the whole run.
    """
    total = len(openers)
    processed, untouched, failed = 0, 0, []
    for number, open_trial in enumerate(openers, 1):
        prefix = f"[{number}/{total}] {open_trial.label}:"
        try:
            trial, save = open_trial()
            vicon = NexusStandIn(trial)
            process(trial, vicon)
            path = save_if_processed(vicon, save)
        except NoDisplay:
            raise
        except Exception as exc:  # noqa: BLE001 - reported per trial, the others go on
            failed.append((open_trial.label, _reason(exc)))
            print(f"{prefix} failed: {_reason(exc)}")
            continue
        if path is None:
            untouched += 1
            print(f"{prefix} no channel selected, nothing written")
        else:
            processed += 1
            count = len(vicon.written)
            print(f"{prefix} {count} channel{_plural(count)} processed, written to {path}")
    parts = [f"{processed} processed"]
    if untouched:
        parts.append(f"{untouched} with no channel selected")
    parts.append(f"{len(failed)} failed")
    print(f"{title}: " + ", ".join(parts) + (":" if failed else ""))
    for label, reason in failed:
        print(f"  {label}: {reason}")
    return 1 if failed else 0


# -- the window -------------------------------------------------------------------

def open_root(tkinter, purpose):
    """A new Tk root window, or ``NoDisplay`` when Tk cannot open one."""
    try:
        return tkinter.Tk()
    except tkinter.TclError as exc:
        raise NoDisplay(_no_display_message(exc, purpose)) from exc


def _no_display_message(exc, purpose):
    reason = str(exc).strip() or "Tk could not start"
    return (f"no display for {purpose} ({reason}): run under a display (e.g. Xvfb), "
            "or use --process to process the trial without a window")


def save_if_processed(vicon, save):
    """Save the trial when a Process run wrote channels; the path, or None."""
    if not vicon.written:
        return None
    return save()


def run_interactive(open_trial, config=None, no_trial=False):
    """Play the pipeline script: Tk root, initializeroot, initializewindow, main loop."""
    import tkinter

    import quorvaemg

    root = open_root(tkinter, "the plug-in window")
    try:
        trial, save = open_trial()
        pathconfig = folder_with_separator(trial.folder if config is None else config)
        vicon = NexusStandIn(trial)
        root, channelNames = quorvaemg.initializeroot(root, vicon, trial.device_id, trial.output_id)
        quorvaemg.initializewindow(root, tkinter, vicon, [trial.subject],
                                   "" if no_trial else trial.name, trial.device_name,
                                   trial.device_id, trial.output_id, channelNames,
                                   history=True, pathconfig=pathconfig)
        if not no_trial:
            Warnings().show(rate_warning(trial, DEFAULT_HIGH, DEFAULT_LOW,
                                         "; cutoffs typed in the window scale the same way"))
    except BaseException:
        _destroy(root)
        raise
    root.mainloop()
    # A window closed by the user rather than by an action may still exist.
    _destroy(root)

    try:
        path = save_if_processed(vicon, save)
    except ValueError as exc:  # the file refuses the processed channels
        raise HostError(f"{open_trial.label} not saved: {exc}") from exc
    if path is None:
        print("Window closed; no channel was processed, nothing written")
    else:
        print(f"Processed trial written to {path}")
    return 0


def _destroy(root):
    import tkinter

    try:
        root.destroy()
    except tkinter.TclError:  # already destroyed
        pass


def config_file_in(config_dir):
    """The configuration folder (with its separator) and file; UsageError when missing."""
    percorso = folder_with_separator(config_dir)
    if not os.path.isdir(percorso):
        raise UsageError(f"configuration folder not found: {config_dir}")
    if not os.path.isfile(percorso + CONFIG_NAME):
        raise UsageError(f"no {CONFIG_NAME} in {percorso} "
                         "(save one with the window's Save Configuration button)")
    return percorso, percorso + CONFIG_NAME


def replay_config(vicon, percorso):
    """``readconfig`` on the trial of ``vicon``; the Tk root it leaves is destroyed."""
    import tkinter

    import quorvaemg

    trial = vicon.trial
    try:
        quorvaemg.readconfig(vicon, percorso, trial.device_id, trial.output_id, True)
    except tkinter.TclError as exc:
        if vicon.calls or getattr(tkinter, "_default_root", None) is not None:
            raise
        # No root window and nothing asked of Nexus: making the root failed.
        raise NoDisplay(_no_display_message(exc, "the batch run, which opens a Tk root")) from exc
    finally:
        # readconfig makes its own root window; a run that processed
        # nothing, or failed, leaves it open.
        leftover = getattr(tkinter, "_default_root", None)
        if leftover is not None:
            _destroy(leftover)


def run_batch(openers, config_dir):
    """Replay the saved configuration with ``readconfig`` on the demo trial."""
    percorso, config_file = config_file_in(config_dir)
    for open_trial in openers:
        trial, save = open_trial()
        vicon = NexusStandIn(trial)
        replay_config(vicon, percorso)
        path = save_if_processed(vicon, save)
        if path is None:
            print(f"Batch run of {config_file} on {trial.name}: no channel selected, "
                  "nothing written")
        else:
            count = len(vicon.written)
            print(f"Batch run of {config_file} on {trial.name}: {count} channel"
                  f"{_plural(count)} processed, written to {path}")
    return 0


def run_batch_files(openers, config_dir):
    """Replay the saved configuration on each trial file, with progress and summary."""
    percorso, config_file = config_file_in(config_dir)
    cutoffs = config_cutoffs(config_file)
    warnings = Warnings()

    def replay(trial, vicon):
        if cutoffs is not None:
            warnings.show(rate_warning(trial, *cutoffs))
        replay_config(vicon, percorso)

    print(f"Batch run of {config_file} on {len(openers)} trial{_plural(len(openers))}")
    return run_trials(openers, replay, "Batch run")


# -- command ----------------------------------------------------------------------

def main(argv=None):
    parser = build_parser()
    try:
        args = parse_args(parser, argv)
    except SystemExit as exc:  # --help, or a malformed command line
        return exc.code if isinstance(exc.code, int) else 2
    try:
        check_args(args)
        openers = trial_openers(args)
        if args.process is not None:
            if args.trials:
                return run_process_files(openers, args.process)
            return run_process(openers[0], args.process)
        if args.batch is not None:
            if args.trials:
                return run_batch_files(openers, args.batch)
            return run_batch(openers, args.batch)
        return run_interactive(openers[0], config=args.config, no_trial=args.no_trial)
    except UsageError as exc:
        parser.print_usage(sys.stderr)
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except HostError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except Exception as exc:  # noqa: BLE001 - any failure ends the run with one line
        print(f"{PROG}: error: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
