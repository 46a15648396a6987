"""``reference build TRIAL ... --out REFERENCE.json``: a lab's reference of
EMG in normal walking from its control subjects' trials; ``reference show
REFERENCE.json``: what a reference holds.  ``gait --reference`` compares a
patient with one."""

import os

from quorvaemg_gait import tables
from quorvaemg_host.commands.options import (Command, channels_option, check_run,
                                             events_options, finding_options, plural,
                                             run_options)
from quorvaemg_host.commands.trials import (FileSource, check_writable_folder, prepared_in,
                                            write_summary)
from quorvaemg_host.errors import UsageError, describe
from quorvaemg_host.finding import find_trials
from quorvaemg_host.summary import Told

ACTIONS = ("build", "show")
SUBJECTS_FILE = tables.TableFile("subjects file", "--subjects FILE", "trial,subject")
WRITE_ELSEWHERE = "give another path with --out"


def add_options(parser):
    parser.add_argument("action", choices=ACTIONS, metavar="build|show",
                        help="build a reference from control trials, or show one")
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="build: the control subjects' C3D trials and folders of them; "
                             "show: the reference")
    parser.add_argument("--out", metavar="REFERENCE.json",
                        help="build: the reference file to write (replaced whole)")
    parser.add_argument("--subjects", metavar="FILE",
                        help="build: CSV of trial,subject lines, where the files name no "
                             "subject or the wrong one (default: the file's subject, else "
                             "one subject per file)")
    channels_option(parser)
    parser.add_argument("--muscles", metavar="FILE",
                        help="build: CSV of channel,side,muscle lines; wins over what the "
                             "channel names say")
    parser.add_argument("--normalise", default="none", metavar="none|peak|mvc:FILE",
                        help="build: amplitude normalisation, as in gait (default: none); "
                             "analyses compared with the reference must use the same")
    parser.add_argument("--envelope", default="linear", metavar="linear|rms:MS|as-is",
                        help="build: the envelope, as in gait (default: linear)")
    events_options(parser, "--events")
    finding_options(parser)
    run_options(parser)


def check(args):
    if args.action == "show":
        if len(args.files) != 1:
            raise UsageError("reference show takes one reference file")
        given = [flag for flag, value in (("--out", args.out), ("--subjects", args.subjects),
                                          ("--channels", args.channels),
                                          ("--muscles", args.muscles),
                                          ("--markers", args.markers))
                 if value is not None]
        if given:
            raise UsageError(f"{', '.join(given)} appl{'y' if len(given) > 1 else 'ies'} to "
                             "reference build, not show")
    elif args.out is None:
        raise UsageError("reference build needs --out REFERENCE.json, the file to write")
    elif os.path.splitext(args.out)[1].lower() == ".c3d":
        raise UsageError(f"--out {args.out} would replace a trial: give a .json file")
    else:
        args.found = find_trials(args.files, args.recursive, args.glob)
        check_run(args, mirrored=False)  # --out is the reference file


def read_subjects(path):
    """{trial: subject} of a subjects file of trial,subject lines (header optional)."""
    found = {}
    for number, cells in SUBJECTS_FILE.rows(path):
        if not found and [c.lower() for c in cells] == ["trial", "subject"]:
            continue
        if len(cells) != 2 or not all(cells):
            raise SUBJECTS_FILE.error(path, "expected trial,subject, found "
                                            f"\"{tables.excerpt(','.join(cells))}\"", number)
        found[os.path.basename(cells[0])] = cells[1]
    if not found:
        raise SUBJECTS_FILE.error(path, "holds only its header, no trial,subject line")
    return found


def build(args):
    from quorvaemg_gait import gait, reference

    try:
        settings = gait.Settings(args.channels, args.muscles, args.normalise, args.envelope)
    except gait.SettingError as exc:
        raise UsageError(str(exc)) from None
    subjects = read_subjects(args.subjects) if args.subjects else None
    out = os.path.abspath(args.out)
    # Before any trial is read: an hour's analysis must not end unwritten.
    check_writable_folder(os.path.dirname(out), "the folder of the reference file",
                          WRITE_ELSEWHERE)
    tables.check_writable([out], WRITE_ELSEWHERE)
    sources = [(os.path.basename(found.path),
                FileSource(found.path, args.channels, events=args.events,
                           markers=args.markers).open)
               for found in args.found]
    print(f"Reference from {len(sources)} trial{plural(len(sources))}", flush=True)
    told = Told()
    try:
        record, refused = gait.build_reference(sources, settings, subjects,
                                               say=lambda line: print(line, flush=True),
                                               describe=describe, each=prepared_in(args),
                                               told=told)
        path = reference.write_reference(out, record, WRITE_ELSEWHERE)
    except Exception as exc:
        write_summary(args, args.found, told.all(len(sources), describe(exc)))
        raise
    count = len(record["subjects"])
    print(f"{count} subject{plural(count)}, {len(record['muscles'])} muscle"
          f"{plural(len(record['muscles']))} and sides; written: {path}")
    if count < 2:
        print("note: one subject only: the reference has no SD, so no stretch of a patient's "
              "curve can lie outside it; add the trials of more control subjects")
    if refused:
        print(f"note: {len(refused)} trial{plural(len(refused))} not used (the reason of each "
              "is above): the reference holds the others only")
    write_summary(args, args.found, told.all(len(sources), written=[path]))
    return 1 if refused else 0


def _period_text(period):
    def one(value, sd):
        return f"{value:.0f}" + ("" if sd is None else f" ± {sd:.0f}")
    return (f"{one(period['on'], period['on_sd'])}-{one(period['off'], period['off_sd'])} %"
            f" ({period['subjects']} subject{plural(period['subjects'])})")


def show(args):
    from quorvaemg_gait import reference

    ref = reference.read_reference(args.files[0])
    record = ref.record
    print(f"Reference {ref.path} (version {record['version']}, built "
          f"{record.get('created', 'on an unknown date')})")
    print(f"Settings: {reference.settings_text(ref.settings)}")
    names = [s.get("subject", "?") for s in ref.subjects if isinstance(s, dict)]
    print(f"{len(names)} subject{plural(len(names))}: {', '.join(names)}")
    for m in record["muscles"]:
        periods = "; ".join(_period_text(p) for p in m["periods"]) or "no activity period"
        print(f"  {m['side']:<5} {m['muscle']:<5} {len(m['subjects']):>3} subjects "
              f"{m['cycles']:>5} cycles  active {periods}")
    for side in ("Left", "Right"):
        group = ref.dmc_group(side)
        print(f"walk-DMC group, {side.lower()}: " + (
            "fewer than two subjects with all its muscles" if group is None else
            f"tVAF1 {group['mean']:.3f} ± {group['sd']:.3f} ({group['n']} subjects)"))
    return 0


def run(args):
    return build(args) if args.action == "build" else show(args)


COMMAND = Command("reference", "a lab reference of normal EMG over the gait cycle, built from "
                               "control subjects' trials, for gait --reference", add_options,
                  check, run, "build|show FILE ...")
