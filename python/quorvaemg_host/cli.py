"""``quorvaemg-host``: plays the Nexus pipeline script around the plug-in.

Modes:
  (none)                 interactive: open the plug-in window on the trial,
                         as the pipeline script does (Tk root,
                         ``initializeroot``, ``initializewindow``, main loop);
                         when the window closes after a Process run, the
                         processed trial is saved
  --no-trial             the same window in its "NO TRIAL SELECTED" form
  --batch CONFIG_DIR     replay the configuration saved in CONFIG_DIR with
                         ``readconfig`` and save the processed trial
  --process [NAME ...]   process the trial without a window, with the plug-in
                         window's default settings, as its Process button
                         does, on the named channels (all when none is named)

The interactive window and the batch run both need a display (the batch run
makes its own Tk root window); ``--process`` does not.

Where the trial comes from is pluggable: the modes take "trial openers",
functions that open one trial and return ``(trial, save)``, where ``save()``
writes the processed trial and returns the path written.  Today the only
source is the demo trial in ``--folder``, saved as CSV.
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

# The plug-in window's defaults: the five switches (remove mean, low-pass,
# high-pass, rectify, RMS), then the entry texts for the high-pass cutoff and
# order, the low-pass cutoff and order, and the RMS window.
DEFAULT_SWITCHES = (1, 1, 1, 1, 1)
DEFAULT_ENTRIES = ("20", "2", "200", "2", "100")


class UsageError(Exception):
    """A command line that names something that is not there."""


class NoDisplay(Exception):
    """Tk could not open a window: there is no display to open it on."""


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run the quorvaemg plug-in on the bundled demo trial, "
                    "as a Nexus pipeline script would. Without a mode flag the "
                    "plug-in window opens (needs a display).")
    modes = parser.add_mutually_exclusive_group()
    modes.add_argument(
        "--process", nargs="*", metavar="NAME",
        help="process the named channels (default: all) without a window, with "
             "the window's default settings, and save the processed trial")
    modes.add_argument(
        "--batch", metavar="CONFIG_DIR",
        help="replay the configuration file " + CONFIG_NAME + " in CONFIG_DIR "
             "(saved by the window's Save Configuration button) and save the "
             "processed trial; needs a display")
    parser.add_argument(
        "--config", metavar="DIR",
        help="window only: folder where Save Configuration writes "
             + CONFIG_NAME + " (default: the trial folder)")
    parser.add_argument(
        "--no-trial", action="store_true",
        help="window only: open the window as Nexus does with no trial open "
             "(NO TRIAL SELECTED, buttons disabled)")
    parser.add_argument(
        "--folder", default=DEFAULT_FOLDER, metavar="DIR",
        help="folder of the demo trial, created if missing (default: %(default)s)")
    return parser


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
    return open_trial


def trial_openers(args):
    """The trials the command line names, as openers, in order."""
    return [demo_opener(args.folder)]


def folder_with_separator(folder):
    """``folder`` made absolute, ending with exactly one path separator."""
    path = os.path.abspath(folder)
    return path if path.endswith(os.sep) else path + os.sep


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
    except BaseException:
        _destroy(root)
        raise
    root.mainloop()
    # A window closed by the user rather than by an action may still exist.
    _destroy(root)

    path = save_if_processed(vicon, save)
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


def run_batch(openers, config_dir):
    """Replay the saved configuration with ``readconfig`` on each trial."""
    import tkinter

    import quorvaemg

    percorso = folder_with_separator(config_dir)
    if not os.path.isdir(percorso):
        raise UsageError(f"configuration folder not found: {config_dir}")
    if not os.path.isfile(percorso + CONFIG_NAME):
        raise UsageError(f"no {CONFIG_NAME} in {percorso} "
                         "(save one with the window's Save Configuration button)")
    config_file = percorso + CONFIG_NAME
    for open_trial in openers:
        trial, save = open_trial()
        vicon = NexusStandIn(trial)
        try:
            quorvaemg.readconfig(vicon, percorso, trial.device_id, trial.output_id, True)
        except tkinter.TclError as exc:
            if vicon.calls or getattr(tkinter, "_default_root", None) is not None:
                raise
            # No root window and nothing asked of Nexus: making the root failed.
            raise NoDisplay(_no_display_message(exc, "the batch run, which opens a Tk root")) from exc
        finally:
            # readconfig makes its own root window; a run that processed
            # nothing leaves it open.
            leftover = getattr(tkinter, "_default_root", None)
            if leftover is not None:
                _destroy(leftover)
        path = save_if_processed(vicon, save)
        if path is None:
            print(f"Batch run of {config_file} on {trial.name}: no channel selected, "
                  "nothing written")
        else:
            count = len(vicon.written)
            plural = "" if count == 1 else "s"
            print(f"Batch run of {config_file} on {trial.name}: {count} channel{plural} "
                  f"processed, written to {path}")
    return 0


# -- command ----------------------------------------------------------------------

def main(argv=None):
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, or a malformed command line
        return exc.code if isinstance(exc.code, int) else 2
    try:
        interactive = args.process is None and args.batch is None
        if not interactive and (args.config is not None or args.no_trial):
            raise UsageError("--config and --no-trial apply to the window only, "
                             "not to --process or --batch")
        openers = trial_openers(args)
        if args.process is not None:
            return run_process(openers[0], args.process)
        if args.batch is not None:
            return run_batch(openers, args.batch)
        if args.config is not None and not os.path.isdir(args.config):
            raise UsageError(f"configuration folder not found: {args.config}")
        return run_interactive(openers[0], config=args.config, no_trial=args.no_trial)
    except UsageError as exc:
        parser.print_usage(sys.stderr)
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except NoDisplay as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except Exception as exc:  # noqa: BLE001 - any failure ends the run with one line
        print(f"{PROG}: error: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
