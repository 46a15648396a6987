"""``quality [TRIAL ...]``: the signal-quality table of each trial's raw
channels (one line per channel, verdict and why), ``--csv FILE`` too.

The exit status is 0 when every trial was checked, whatever the verdicts,
1 when a trial could not be read.
"""

import sys

import quorvaemg_gait

from quorvaemg_gait import quality, tables
from quorvaemg_host.commands.options import PROG, Command, channels_option, check_trials
from quorvaemg_host.commands.trials import trial_sources
from quorvaemg_host.errors import UsageError, describe


def add_options(parser):
    parser.add_argument("trials", nargs="*", metavar="TRIAL.c3d",
                        help="C3D trial files (default: the demo trial)")
    channels_option(parser)
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


def run(args):
    thresholds = threshold_settings(args.set)
    checked, failed = [], 0
    for source in trial_sources(args):
        try:
            trial = source.open()
            results = quality.assess(trial, unreadable=True, **thresholds)
        except Exception as exc:  # noqa: BLE001 - reported per trial, the others go on
            print(f"{PROG}: error: {source.label}: {describe(exc)}", file=sys.stderr)
            failed += 1
            continue
        for line in getattr(trial, "warnings", ()):
            print(line)
        print(quality.table(source.label, trial.device_rate, results))
        checked.append((source.label, results))
    if args.csv is not None and checked:
        print(f"Quality table written to {quality.write_csv(args.csv, checked)}")
    return 1 if failed else 0


COMMAND = Command("quality", "signal-quality checks of the raw channels", add_options,
                  check_trials, run, "[TRIAL.c3d ...]")
