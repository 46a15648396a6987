"""``write-demo DIR``: write the demo trial, with its gait events, as the C3D
file DIR/Walk01.c3d; ``--shift MUSCLE:PERCENT`` moves muscles' bursts, as in
a patient; ``--controls N`` writes N control subjects' trials instead."""

import math
import os
import sys

from quorvaemg_gait.tables import excerpt
from quorvaemg_host.commands.options import Command, plural, refuse_window_options
from quorvaemg_host.commands.trials import check_writable_folder
from quorvaemg_host.demo import (ACTIVATION, CONTROL_SPREAD, CONTROL_TRIALS, write_controls,
                                 write_demo_c3d)
from quorvaemg_host.errors import HostError, UsageError

SHIFT_FORMS = ("MUSCLE:PERCENT, MUSCLE one of " + " ".join(ACTIVATION)
               + " and PERCENT of the gait cycle from -50 to 50, e.g. TA:15 or HAM:-7.5")


def add_options(parser):
    parser.add_argument("write_demo", metavar="DIR",
                        help="folder to write Walk01.c3d (or the control trials) into")
    parser.add_argument(
        "--shift", action="append", default=[], metavar="MUSCLE:PERCENT",
        help="move MUSCLE's bursts on both sides by PERCENT of the gait cycle, later when "
             "positive, as in a patient, e.g. --shift TA:15; MUSCLE is one of "
             + " ".join(ACTIVATION) + ", PERCENT from -50 to 50 (repeatable)")
    parser.add_argument(
        "--controls", metavar="N", type=int,
        help=f"instead of the demo trial, write N generated control subjects (1 to 99), "
             f"{CONTROL_TRIALS} trials each, as ControlNN_WalkMM.c3d; each subject's bursts "
             f"are timed its own way (SD {CONTROL_SPREAD * 100:g} %% of the gait cycle)")


def muscle_shifts(texts):
    """{muscle: fraction of the cycle} of the ``--shift MUSCLE:PERCENT`` options."""
    shifts = {}
    for text in texts:
        muscle, colon, percent = text.partition(":")
        muscle = muscle.strip().upper()
        try:
            value = float(percent.strip().rstrip("%"))
        except ValueError:
            value = math.nan
        if not colon or muscle not in ACTIVATION or not -50.0 <= value <= 50.0:
            raise UsageError(f"--shift takes {SHIFT_FORMS}, not \"{excerpt(text)}\"")
        if muscle in shifts:
            raise UsageError(f"--shift moves {muscle} twice, give each muscle once")
        shifts[muscle] = value / 100.0
    return shifts


def check(args):
    refuse_window_options(args)
    if args.trials or args.channels is not None or args.in_place or args.folder:
        raise UsageError("--write-demo takes only its folder")
    if args.controls is not None:
        if not 1 <= args.controls <= 99:
            raise UsageError(f"--controls takes a number of subjects from 1 to 99, "
                             f"not {args.controls}")
        if args.shift:
            raise UsageError("--shift moves the bursts of the demo trial, not of the "
                             "control subjects; write the patient without --controls")
    args.shifts = muscle_shifts(args.shift)  # told once, before anything is written


def _moves(shifts):
    return "; ".join(f"{muscle} bursts {abs(move) * 100:g} % of the gait cycle "
                     + ("later" if move > 0 else "earlier")
                     for muscle, move in shifts.items() if move)


def _write(args, what, as_c3d):
    # ezc3d says nothing when it cannot write (it would be "written" into /proc).
    check_writable_folder(args.write_demo, f"the folder for {what}",
                          "give a folder you can write to")
    try:
        if args.controls is not None:
            return write_controls(args.write_demo, args.controls)
        return write_demo_c3d(args.write_demo, shifts=args.shifts)
    except ImportError as exc:
        if sys.version_info < (3, 10):  # no ezc3d release to install
            raise HostError(f"writing {what} as {as_c3d} needs ezc3d, which needs "
                            "Python 3.10 or newer (this is Python %d.%d)" % sys.version_info[:2],
                            "write it with a newer Python; the other commands read and write "
                            "C3D files on this one") from exc
        raise HostError(f"writing {what} as {as_c3d} needs ezc3d ({exc})",
                        "install it with: pip install ezc3d") from exc


def run(args):
    if args.controls is None:
        path = _write(args, "the demo trial", "a C3D file")
        moves = _moves(args.shifts)
        print(f"Demo trial written to {path}" + (f" ({moves})" if moves else ""))
        return 0
    paths = _write(args, "the control trials", "C3D files")
    print(f"{len(paths)} control trials ({args.controls} subject{plural(args.controls)}, "
          f"{CONTROL_TRIALS} trials each) written to {os.path.abspath(args.write_demo)}")
    return 0


COMMAND = Command("write-demo", "write the demo trial as a C3D file, or a patient's "
                  "(--shift) or control subjects' trials (--controls)", add_options, check, run,
                  "DIR")
