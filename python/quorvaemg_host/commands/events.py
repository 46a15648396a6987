"""``events TRIAL ...``: each trial's foot strikes and foot offs per side, the
file's own or found from its markers and force plates; ``--csv FILE`` writes
them all as ``trial,side,event,frame,time,source`` rows, ``--write`` a copy
of each trial with the events found in its EVENT group (``--in-place``:
the trial itself).

The exit status is 0 when every trial was read, 1 when one could not be.
"""

import os
import sys

from quorvaemg_gait import tables
from quorvaemg_host.commands.options import PROG, Command, events_options
from quorvaemg_host.errors import UsageError, describe
from quorvaemg_host.files import events_path
from quorvaemg_host.trial_events import FILE, trial_events

CSV_HEADER = ("trial", "side", "event", "frame", "time", "source")


def add_options(parser):
    parser.add_argument("trials", nargs="+", metavar="TRIAL.c3d", help="C3D trial files")
    events_options(parser, "--from")
    parser.add_argument("--csv", metavar="FILE",
                        help="also write every trial's events to FILE (replaced whole)")
    parser.add_argument("--write", action="store_true",
                        help="write TRIAL_events.c3d beside each trial whose events were "
                             "found, with them in its EVENT group (the rest of the file as "
                             "it was)")
    parser.add_argument("--in-place", action="store_true",
                        help="with --write: replace each trial file instead, once the new "
                             "one has been written and read back")


def check(args):
    if args.in_place and not args.write:
        raise UsageError("--in-place goes with --write")
    if args.write and args.events == FILE:
        raise UsageError("--write writes events found from markers or force plates, "
                         "not --from file")


def _number(value, digits):
    text = f"{value:.{digits}f}".rstrip("0").rstrip(".")
    return "0" if text == "-0" else text


def event_rows(label, found):
    """The CSV rows of one trial's events."""
    return [(label, e.side, e.kind, _number(e.frame, 3), _number(e.time, 4), e.source)
            for e in found.events]


def print_events(label, found):
    if not found.events:
        print(f"{label}: no gait events")
    else:
        print(f"{label}: {len(found.events)} events from {found.source}")
    for side in ("Left", "Right"):
        for kind in ("Foot Strike", "Foot Off"):
            frames = [_number(e.frame, 1) + ("" if e.source in (FILE, found.source)
                                              else f" ({e.source})")
                      for e in found.events if (e.side, e.kind) == (side, kind)]
            if frames:
                print(f"  {side} {kind}: {', '.join(frames)}")
    for line in found.notes:
        print(f"  note: {line}")


def write_events(path, found, in_place):
    """The trial with ``found`` events in its EVENT group: a copy, or the file itself."""
    from quorvaemg_host.c3d_event_writer import write_events as write

    target = path if in_place else events_path(path)
    with tables.output(target, "copy the trial into a folder you can write to"):
        return write(path, target, [(e.side, e.kind, e.time) for e in found.events])


def run(args):
    rows, failed = [CSV_HEADER], 0
    for path in args.trials:
        label = os.path.basename(path)
        try:
            found = trial_events(path, args.events, args.markers)
        except OSError as exc:
            print(f"{PROG}: error: cannot read the trial file {path} "
                  f"({exc.strerror or exc}), check its path", file=sys.stderr)
            failed += 1
            continue
        except Exception as exc:  # noqa: BLE001 - reported per trial, the others go on
            print(f"{PROG}: error: {label}: {describe(exc)}", file=sys.stderr)
            failed += 1
            continue
        print_events(label, found)
        rows += event_rows(label, found)
        if args.write:
            if not found.events:
                print("  not written: no gait events found")
            elif found.events[0].source == FILE:
                print("  not written: its events are the file's own")
            else:
                print(f"  written to {write_events(path, found, args.in_place)}", flush=True)
    if args.csv is not None and len(rows) > 1:
        written = tables.write_csv(os.path.abspath(args.csv), rows, "name another file")
        print(f"Events written to {written}")
    return 1 if failed else 0


COMMAND = Command("events", "each trial's foot strikes and foot offs: the file's own or "
                            "found from its markers and force plates", add_options, check,
                  run, "TRIAL.c3d ...")
