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
from quorvaemg_host.commands.options import (MIRRORED, PROG, Command, check_run,
                                             events_options, finding_options, run_options)
from quorvaemg_host.commands.trials import (Outcome, each_trial, lost_outcome, trial_sources,
                                            write_summary)
from quorvaemg_host.errors import UsageError, describe
from quorvaemg_host.files import events_path
from quorvaemg_host.finding import find_trials
from quorvaemg_host.trial_events import FILE, trial_events

CSV_HEADER = ("trial", "side", "event", "frame", "time", "source")


def add_options(parser):
    parser.add_argument("trials", nargs="+", metavar="TRIAL.c3d|DIR",
                        help="C3D trial files and folders of them")
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
    finding_options(parser, "with --write: write each TRIAL_events.c3d into DIR instead of "
                            "beside the trial" + MIRRORED)
    run_options(parser)


def check(args):
    if args.in_place and not args.write:
        raise UsageError("--in-place goes with --write")
    if args.write and args.events == FILE:
        raise UsageError("--write writes events found from markers or force plates, "
                         "not --from file")
    if args.out is not None and (not args.write or args.in_place):
        raise UsageError("--out goes with --write, and not with --in-place")
    args.found = find_trials(args.trials, args.recursive, args.glob)
    check_run(args)


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


def write_events(path, found, in_place, out=None):
    """The trial with ``found`` events in its EVENT group: a copy (into ``out``
    when given), or the file itself."""
    from quorvaemg_host.c3d_event_writer import write_events as write

    target = path if in_place else events_path(path)
    if out is not None:
        target = os.path.join(out, os.path.basename(target))
    with tables.output(target, "copy the trial into a folder you can write to"):
        os.makedirs(os.path.dirname(target), exist_ok=True)
        return write(path, target, [(e.side, e.kind, e.time) for e in found.events])


class EventsJob:
    """Find one trial's events (``--from``, ``--markers``), print them and, with
    ``write``, write them into a copy of the trial or into the trial itself."""

    def __init__(self, source, markers, write, in_place):
        self.source, self.markers, self.write, self.in_place = source, markers, write, in_place

    def __call__(self, trial):
        try:
            found = trial_events(trial.path, self.source, self.markers)
        except OSError as exc:
            return Outcome(trial.label, reason=f"cannot read the trial file {trial.path} "
                                               f"({exc.strerror or exc}), check its path")
        except Exception as exc:  # noqa: BLE001 - reported per trial, the others go on
            return Outcome(trial.label, reason=describe(exc))
        print_events(trial.label, found)
        written = None
        if self.write:
            if not found.events:
                print("  not written: no gait events found")
            elif found.events[0].source == FILE:
                print("  not written: its events are the file's own")
            else:
                written = write_events(trial.path, found, self.in_place, trial.out)
                print(f"  written to {written}", flush=True)
        return Outcome(trial.label, written, kept=event_rows(trial.label, found))


def run(args):
    sources = trial_sources(args)
    job = EventsJob(args.events, args.markers, args.write, args.in_place)
    outcomes = []
    with each_trial(job, sources, args, lost_outcome, preload=()) as results:
        for outcome in results:
            if outcome.reason is not None:
                print(f"{PROG}: error: {outcome.label}: {outcome.reason}", file=sys.stderr)
            outcomes.append(outcome)
    rows = [CSV_HEADER] + [row for o in outcomes if o.reason is None for row in o.kept]
    if args.csv is not None and len(rows) > 1:
        written = tables.write_csv(os.path.abspath(args.csv), rows, "name another file")
        print(f"Events written to {written}")
    write_summary(args, sources, [outcome.row() for outcome in outcomes])
    return 1 if any(o.reason is not None for o in outcomes) else 0


COMMAND = Command("events", "each trial's foot strikes and foot offs: the file's own or "
                            "found from its markers and force plates", add_options, check,
                  run, "TRIAL.c3d|DIR ...")
