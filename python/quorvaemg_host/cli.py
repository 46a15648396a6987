"""``quorvaemg-host``: plays the Nexus pipeline script around the plug-in.

Modes:
  --process [NAME ...]   process the demo trial with the plug-in window's
                         default settings, as its Process button does, on the
                         named channels (all channels when none is named)

Without a mode the host currently processes every channel, as
``--process`` with no names does.
"""

import argparse
import os
import sys

from quorvaemg_host.demo import demo_trial
from quorvaemg_host.nexus import NexusStandIn
from quorvaemg_host.widgets import HeadlessRoot, channel_vars

PROG = "quorvaemg-host"
DEFAULT_FOLDER = "quorvaemg-demo"

# The plug-in window's defaults: the five switches (remove mean, low-pass,
# high-pass, rectify, RMS), then the entry texts for the high-pass cutoff and
# order, the low-pass cutoff and order, and the RMS window.
DEFAULT_SWITCHES = (1, 1, 1, 1, 1)
DEFAULT_ENTRIES = ("20", "2", "200", "2", "100")


class UsageError(Exception):
    """A command line that names something the trial does not have."""


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run the quorvaemg plug-in on the bundled demo trial, "
                    "as a Nexus pipeline script would.")
    modes = parser.add_mutually_exclusive_group()
    modes.add_argument(
        "--process", nargs="*", metavar="NAME",
        help="process the named channels (default: all) with the window's "
             "default settings and write the processed trial as CSV")
    parser.add_argument(
        "--folder", default=DEFAULT_FOLDER, metavar="DIR",
        help="folder of the demo trial, created if missing (default: %(default)s)")
    return parser


def open_demo_trial(folder):
    if not os.path.isdir(folder):
        os.makedirs(folder)
    return demo_trial(folder)


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


def run_process(folder, names):
    trial = open_demo_trial(folder)
    ticked = select_channels(trial.channel_names, names)
    vicon = NexusStandIn(trial)
    process_trial(vicon, ticked)
    path = trial.folder + trial.name + "_processed.csv"
    trial.write_csv(path)
    print(f"Processed trial written to {path}")
    return 0


def main(argv=None):
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, or a malformed command line
        return exc.code if isinstance(exc.code, int) else 2
    try:
        if args.process is not None:
            return run_process(args.folder, args.process)
        return run_process(args.folder, [])
    except UsageError as exc:
        parser.print_usage(sys.stderr)
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except Exception as exc:  # noqa: BLE001 - any failure ends the run with one line
        print(f"{PROG}: error: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
