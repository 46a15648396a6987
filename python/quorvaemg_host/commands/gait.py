"""``gait TRIAL ... | --demo``: EMG over the gait cycle of one subject's trials
against normal walking (and a lab reference with ``--reference``):
TRIAL_EMGGait.pdf, TRIAL_EMGCycles.csv, TRIAL_EMGActivity.csv, and
TRIAL_EMGCompare.csv and TRIAL_EMGCoContraction.csv where they apply."""

import os

from quorvaemg_host.commands.options import (Command, channels_option, check_trials,
                                             events_options, jobs_option, plural)
from quorvaemg_host.commands.trials import DemoSource, FileSource, demo_folder
from quorvaemg_host.errors import UsageError, describe
from quorvaemg_host.files import DEFAULT_FOLDER


def add_options(parser):
    parser.add_argument("trials", nargs="*", metavar="TRIAL.c3d",
                        help="C3D trials of one subject; their cycles are pooled per channel")
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
    events_options(parser, "--events")
    parser.add_argument("--out", metavar="DIR",
                        help="folder of the report and tables (default: the first trial's)")
    jobs_option(parser, "draw the report's pages in N processes (default 1); the report "
                        "is the same")


def run(args):
    from quorvaemg_gait import gait

    if args.demo == bool(args.trials):
        raise UsageError("name the C3D trials of one subject, or --demo for the demo trial")
    if args.demo and (args.events != "auto" or args.markers is not None):
        raise UsageError("--events and --markers apply to trial files, not to the demo trial")
    try:
        settings = gait.Settings(args.channels, args.muscles, args.normalise, args.envelope,
                                 reference=args.reference, pairs=args.pairs)
    except gait.SettingError as exc:
        raise UsageError(str(exc)) from None
    if args.demo:
        folder = demo_folder(args.folder)
        sources = [(DemoSource.label, DemoSource(folder).open)]
    else:
        sources = [(os.path.basename(path),
                    FileSource(path, args.channels, events=args.events, markers=args.markers).open)
                   for path in args.trials]
    print(f"Gait-cycle EMG of {len(sources)} trial{plural(len(sources))}", flush=True)
    gait.run(sources, settings, args.out, say=lambda line: print(line, flush=True),
             describe=describe, jobs=args.jobs)
    return 0


COMMAND = Command("gait", "EMG over the gait cycle of one subject's trials, against normal "
                          "walking: PDF report and tables", add_options, check_trials, run,
                  "TRIAL.c3d ... | --demo")
