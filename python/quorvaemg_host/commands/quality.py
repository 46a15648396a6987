"""``quality [TRIAL ...]``: the signal-quality table of each trial's raw
channels (one line per channel, verdict and why), ``--csv FILE`` too.

The exit status is 0 when every trial was checked, whatever the verdicts,
1 when a trial could not be read.
"""

import functools
import sys

import quorvaemg_gait

from quorvaemg_gait import quality, tables
from quorvaemg_host.commands.options import (PROG, TRIALS_HELP, Command, channels_option,
                                             check_trials, finding_options, run_options)
from quorvaemg_host.commands.trials import (Outcome, each_trial, lost_outcome, trial_sources,
                                            write_summary)
from quorvaemg_host.errors import UsageError, describe


def add_options(parser):
    parser.add_argument("trials", nargs="*", metavar="TRIAL.c3d|DIR", help=TRIALS_HELP)
    channels_option(parser)
    finding_options(parser)
    run_options(parser)
    parser.add_argument("--csv", metavar="FILE",
                        help="also write the measures and verdicts of every channel of "
                             "every trial to FILE (replaced whole)")
    parser.add_argument(
        "--set", action="append", default=[], metavar="NAME=VALUE",
        help="change a threshold, e.g. --set low_doubtful=0.5 (repeatable; the names "
             "and defaults are in the README's \"Signal quality\")")


def threshold_settings(settings):
    """{name: value} of the ``--set NAME=VALUE`` options, checked by the checks themselves."""
    thresholds = {}
    for setting in settings:
        name, equals, value = setting.partition("=")
        try:  # a whole number stays one, so that a refusal quotes it as typed
            thresholds[name.strip()] = int(value) if value.strip().isdecimal() else float(value)
        except ValueError:
            equals = ""
        if not equals:
            raise UsageError("--set takes NAME=VALUE with a number, not "
                             f"\"{tables.excerpt(setting)}\"")
    try:
        # The ranges that hold at any rate; low_hz is checked against each
        # trial's Nyquist frequency as the trial is checked.
        quorvaemg_gait.check_channels([], sys.float_info.max, **thresholds)
    except (TypeError, ValueError) as exc:
        raise UsageError(str(exc)) from None
    return thresholds


def check_trial(source, thresholds):
    """Print one trial's quality table; its ``Outcome`` (the results ``kept``)."""
    try:
        trial = source.open()
        results = quality.assess(trial, unreadable=True, **thresholds)
    except Exception as exc:  # noqa: BLE001 - reported per trial, the others go on
        return Outcome(source.label, reason=describe(exc))
    for line in getattr(trial, "warnings", ()):
        print(line)
    print(quality.table(source.label, trial.device_rate, results))
    return Outcome(source.label, channels=[q.name for q in results], kept=results,
                   verdicts={q.name: q.verdict for q in results})


def run(args):
    thresholds = threshold_settings(args.set)
    if args.csv is not None:  # before the run, not after an archive's hours
        tables.check_writable([args.csv], "name another file")
    sources = trial_sources(args)
    outcomes = []
    with each_trial(functools.partial(check_trial, thresholds=thresholds), sources, args,
                    lost_outcome, preload=()) as results:
        for outcome in results:
            if outcome.reason is not None:
                print(f"{PROG}: error: {outcome.label}: {outcome.reason}", file=sys.stderr)
            outcomes.append(outcome)
    checked = [(o.label, o.kept) for o in outcomes if o.reason is None]
    if args.csv is not None and checked:
        print(f"Quality table written to {quality.write_csv(args.csv, checked)}")
    write_summary(args, sources, [outcome.row() for outcome in outcomes])
    return 1 if len(checked) < len(outcomes) else 0


COMMAND = Command("quality", "signal-quality checks of the raw channels", add_options,
                  check_trials, run, "[TRIAL.c3d|DIR ...]")
