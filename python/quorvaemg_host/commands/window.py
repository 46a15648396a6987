"""``window [TRIAL]``: open the plug-in window on the trial, as the pipeline
script does; the trial is saved as soon as the window is gone after a
Process."""

import os
import sys

from quorvaemg_host.commands.options import (Command, check_trials, destroy,
                                             no_display_message, trial_options)
from quorvaemg_host.commands.trials import (Warnings, folder_with_separator, rate_warning,
                                            save_processed, trial_sources)
from quorvaemg_host.errors import NoDisplay, UsageError, describe
from quorvaemg_host.files import DEFAULT_ENTRIES, History, config_path, report_path
from quorvaemg_host.nexus import NexusStandIn

WINDOW_TITLE = "quorvaemg-host"


def add_options(parser):
    parser.add_argument("trials", nargs="*", metavar="TRIAL.c3d",
                        help="the C3D trial (default: the demo trial)")
    trial_options(parser, window=True)


def _check_config_folder(args):
    if args.config is not None and not os.path.isdir(args.config):
        raise UsageError(f"configuration folder not found: {args.config}")


def check(args):
    check_trials(args, one_trial=True, then=_check_config_folder)


def open_root(tkinter, purpose):
    """A new Tk root window, or ``NoDisplay`` when Tk cannot open one."""
    try:
        return tkinter.Tk()
    except tkinter.TclError as exc:
        raise NoDisplay(no_display_message(exc, purpose),
                        "run it under a display, or use --process to process the "
                        "trial without a window") from exc


def show_callback_errors(root):
    """Show an exception from a button in an error box; the console keeps the traceback."""
    import tkinter
    import traceback
    from tkinter import messagebox

    def report(exc_type, exc_value, exc_traceback):
        traceback.print_exception(exc_type, exc_value, exc_traceback)
        try:
            messagebox.showerror(WINDOW_TITLE, describe(exc_value))
        except tkinter.TclError:  # no window left to show it on: the console has it
            pass
    root.report_callback_exception = report


def close_previews_with(root):
    """When the plug-in window goes, close the preview figures too.

    A preview shows its figure in a main loop of its own; while it is open
    neither that loop nor the window's own returns, so the trial would be
    saved only once the user closed the preview.
    """
    def on_destroy(event):
        pyplot = sys.modules.get("matplotlib.pyplot")
        if event.widget is root and pyplot is not None:
            pyplot.close("all")
    root.bind("<Destroy>", on_destroy, add="+")


def _mtime(path):
    try:
        return os.stat(path).st_mtime_ns
    except OSError:
        return None


def run(args):
    """Play the pipeline script: Tk root, initializeroot, initializewindow, main loop."""
    import tkinter

    import quorvaemg

    source = trial_sources(args)[0]
    trial = source.open()  # a trial that is not there is told before the display
    source.check_writable(trial)
    root = open_root(tkinter, "the plug-in window")
    try:
        pathconfig = folder_with_separator(trial.folder if args.config is None else args.config)
        vicon = NexusStandIn(trial)
        history = History(trial)
        show_callback_errors(root)
        close_previews_with(root)
        root, channelNames = quorvaemg.initializeroot(root, vicon, trial.device_id, trial.output_id)
        quorvaemg.initializewindow(root, tkinter, vicon, [trial.subject],
                                   "" if args.no_trial else trial.name, trial.device_name,
                                   trial.device_id, trial.output_id, channelNames,
                                   history=True, pathconfig=pathconfig)
        if not args.no_trial:
            Warnings().show(rate_warning(trial, DEFAULT_ENTRIES[0], DEFAULT_ENTRIES[2],
                                         "; cutoffs typed in the window scale the same way"))
    except BaseException:
        destroy(root)
        raise
    made = {name: (path, _mtime(path)) for name, path in (
        ("Configuration", config_path(pathconfig)), ("Report", report_path(trial)))}
    root.mainloop()
    # A window closed by the user rather than by an action may still exist.
    destroy(root)

    path = save_processed(trial, vicon, source, history)
    if path is not None:
        print(f"Processed trial written to {path}")
        return 0
    written = [f"{name} written to {file}" for name, (file, before) in made.items()
               if _mtime(file) not in (None, before)]
    print("; ".join(written + ["no channel was processed, the trial was not written"])
          if written else "Window closed; no channel was processed, nothing written")
    return 0


COMMAND = Command("window", "open the plug-in window on a trial", add_options, check, run,
                  "[TRIAL.c3d]")
