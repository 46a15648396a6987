"""``process [NAME|TRIAL ...]``: process channels without a window, with the
window's default settings, and save the processed trial.

A NAME ending in .c3d is a trial file and a folder's name a folder of them
(``quorvaemg_host.finding``); the others name channels (all when none is
named), as the channel rule of ``quorvaemg_gait.channels`` reads them.
"""

import os

from quorvaemg_gait.channels import ChannelError
from quorvaemg_gait.channels import select_channels as select_positions

from quorvaemg_host.commands.options import (PROCESSED_OUT, Command, check_trials,
                                             finding_options, plural, refuse_window_options,
                                             run_options, trial_options)
from quorvaemg_host.commands.trials import (Steps, Warnings, rate_warning, run_single,
                                            run_trials, trial_sources)
from quorvaemg_host.errors import UsageError
from quorvaemg_host.files import DEFAULT_ENTRIES, DEFAULT_SWITCHES, TRIAL_SUFFIX
from quorvaemg_host.widgets import HeadlessRoot, channel_vars

DEFAULT_STEPS = Steps.of(DEFAULT_SWITCHES, *(int(text) for text in DEFAULT_ENTRIES))


def add_options(parser):
    parser.add_argument("process", nargs="*", metavar="NAME|TRIAL.c3d|DIR",
                        help="channels to process (default: all), C3D trial files and "
                             "folders of them (default: the demo trial)")
    trial_options(parser)
    finding_options(parser, PROCESSED_OUT)
    run_options(parser)


def check(args):
    if args.process:  # trial files and folders may come among the channel names
        args.trials += [n for n in args.process if _is_trial(n)]
        args.process = [n for n in args.process if not _is_trial(n)]
    refuse_window_options(args)
    check_trials(args)


def _is_trial(name):
    return name.lower().endswith(TRIAL_SUFFIX) or os.path.isdir(name)


def select_channels(channel_names, names):
    """1-based numbers of the named channels, in order, all of them when none is named."""
    try:
        return sorted(k + 1 for k in select_positions(channel_names, names))
    except ChannelError as exc:
        raise UsageError("unknown channel name{}: {} (the trial has: {})".format(
            plural(len(exc.unknown)), ", ".join(exc.unknown), ", ".join(channel_names))) from None


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


class ProcessJob:
    """Process the ``names``d channels (all when empty) with the window's defaults."""

    title = "Process run"

    def __init__(self, names):
        self.names = names
        self.warnings = Warnings()

    def __call__(self, trial, vicon):
        ticked = select_channels(trial.channel_names, self.names)
        DEFAULT_STEPS.check_lengths(trial, ticked, "process a longer trial, or open it in the "
                                                   "window to lower the settings or switch "
                                                   "that step off")
        self.warnings.show(rate_warning(trial, DEFAULT_ENTRIES[0], DEFAULT_ENTRIES[2]))
        process_trial(vicon, ticked)


def run(args):
    sources = trial_sources(args)
    job = ProcessJob(args.process)
    if not args.trials:
        return run_single(sources[0], job, lambda trial, outcome: (
            f"Processed trial written to {outcome.path}" if outcome.path
            else outcome.line()))
    print(f"Processing {len(sources)} trial{plural(len(sources))} with the window's "
          "default settings")
    return run_trials(sources, job, args)


COMMAND = Command("process", "process channels without a window", add_options, check, run,
                  "[NAME|TRIAL.c3d ...]")
