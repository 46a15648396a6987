"""``batch CONFIG_DIR [TRIAL ...]``: replay the configuration saved in
CONFIG_DIR with ``readconfig`` on each trial, after checking that the trial
has the configuration's channels; with no display set it runs on a private
Xvfb when one is installed."""

import contextlib
import os

from quorvaemg_gait import tables
from quorvaemg_host.commands.options import (PROCESSED_OUT, TRIALS_HELP, Command,
                                             check_trials, destroy, finding_options,
                                             no_display_message, plural,
                                             refuse_window_options, run_options, trial_options)
from quorvaemg_host.commands.trials import (Steps, Warnings, folder_with_separator,
                                            rate_warning, run_single, run_trials,
                                            trial_sources)
from quorvaemg_host.errors import HostError, NoDisplay, UsageError
from quorvaemg_host.files import (CONFIG_NAME, CONFIG_SETTINGS, SAVE_AGAIN, config_path,
                                  read_config_lines)

XVFB_HINT = ("run it where a display is set, or install Xvfb (e.g. apt-get install xvfb) "
             "and leave DISPLAY unset")
# The processing normalises cutoffs as cutoff * 2 / 1000: 0 < that < 1.
CUTOFF_RANGE = (1, 499)
# scipy's Butterworth design overflows long before orders of a thousand; the
# gait envelope stops at 20 for the same reason.
ORDER_RANGE = (1, 20)

# The settings a switched-on step uses, with the values they may take: (switch,
# setting, lowest, highest or None, unit, why), positions in CONFIG_SETTINGS.
_CUTOFF_WHY = " (cutoffs are taken for 1000 samples per second)"
_ORDER_WHY = " (the filter design of a higher order overflows)"
SETTING_RANGES = (
    (1, 6) + CUTOFF_RANGE + (" Hz", _CUTOFF_WHY),
    (1, 9) + ORDER_RANGE + ("", _ORDER_WHY),
    (2, 5) + CUTOFF_RANGE + (" Hz", _CUTOFF_WHY),
    (2, 8) + ORDER_RANGE + ("", _ORDER_WHY),
    (4, 7, 1, None, " sample", " (and at most the trial's samples)"),
)


def add_options(parser):
    parser.add_argument("batch", metavar="CONFIG_DIR",
                        help="folder of the " + CONFIG_NAME + " saved by Save Configuration")
    parser.add_argument("trials", nargs="*", metavar="TRIAL.c3d|DIR", help=TRIALS_HELP)
    trial_options(parser)
    finding_options(parser, PROCESSED_OUT)
    run_options(parser)


def check(args):
    refuse_window_options(args)
    check_trials(args)


class Config:
    """A configuration file as Save Configuration writes it, read and checked.

    ``count`` channels, each with its ``selected`` flag and its ``choices``
    text ("k - NAME": the destination channel and that channel's name), then
    the ``settings`` in file order (CONFIG_SETTINGS), as integers, and the
    ``steps`` they switch on.  What the batch run could not convert, or would
    run for ever or fail on (a setting of a switched-on step out of its range,
    fewer lines than 2 per channel and 11 more), is refused here,
    naming the file, the line and the setting.
    """

    def __init__(self, config_dir):
        self.folder = folder_with_separator(config_dir)
        self.path = config_path(self.folder)
        if not os.path.isdir(self.folder):
            raise UsageError(f"configuration folder not found: {config_dir}")
        if not os.path.isfile(self.path):
            raise UsageError(f"no {CONFIG_NAME} in {self.folder} "
                             "(save one with the window's Save Configuration button)")
        self.lines = read_config_lines(self.path)
        if not self.lines:
            raise HostError(f"{self.path} is empty", SAVE_AGAIN)
        self.count = self._integer(0, "channel count")
        if self.count < 0:
            raise self._out_of_range(0, "0 or more")
        self._check_line_count()
        self.selected = [self._integer(2 * k + 1, f"selection of channel {k + 1}")
                         for k in range(self.count)]
        self.choices = [self.lines[2 * k + 2].rstrip("\r\n") for k in range(self.count)]
        first = 1 + 2 * self.count
        self.settings = [self._integer(first + i, name) for i, name in enumerate(CONFIG_SETTINGS)]
        for switch, setting, lowest, highest, unit, why in SETTING_RANGES:
            value = self.settings[setting]
            inside = lowest <= value and (highest is None or value <= highest)
            if self.settings[switch] and not inside:
                allowed = (f"{lowest} to {highest}{unit}" if highest is not None
                           else f"{lowest}{unit} or more")
                raise self._out_of_range(first + setting, allowed + why)
        s = self.settings
        self.steps = Steps.of(s[:5], s[5], s[8], s[6], s[9], s[7])

    def _setting_name(self, index):
        first = 1 + 2 * self.count
        return "channel count" if index == 0 else CONFIG_SETTINGS[index - first]

    def _quoted(self, index):
        return f"\"{tables.excerpt(self.lines[index].strip())}\""

    def _out_of_range(self, index, allowed):
        return HostError(f"{self.path} line {index + 1}: the {self._setting_name(index)} is "
                         f"{self._quoted(index)}; it must be {allowed}",
                         "correct that line or " + SAVE_AGAIN)

    def _check_line_count(self):
        used = len(self.lines)
        while used and not self.lines[used - 1].strip():  # blank lines after the end
            used -= 1
        if used < 2 * self.count + 11:  # lines after those are not read, as readconfig's
            raise HostError(f"{self.path} holds {used} lines, fewer than the 2 per channel and "
                            f"11 more of a configuration of {self._quoted(0)} channels (line 1)",
                            SAVE_AGAIN)

    def _integer(self, index, setting):
        text = self.lines[index]
        try:
            return int(text)  # the conversion the batch run makes
        except ValueError:
            # Python 3.11 and newer refuse numbers of thousands of digits.
            what = ("a number too long to read" if text.strip().lstrip("+-").isdecimal()
                    else "not a whole number")
            raise HostError(f"{self.path} line {index + 1}: the {setting} is "
                            f"{self._quoted(index)}, {what}",
                            "correct that line or " + SAVE_AGAIN) from None

    def ticked(self):
        """1-based numbers of the channels the configuration ticks."""
        return [k for k, flag in enumerate(self.selected, 1) if flag]

    def cutoffs(self):
        """(high, low) cutoffs when a filter is on, else None."""
        low_on, high_on = self.settings[1], self.settings[2]
        return (self.settings[5], self.settings[6]) if low_on or high_on else None

    def check_channels(self, names):
        """Refuse a trial whose channel list is not the one the configuration was saved on."""
        todo = ("open the trial with the channels the configuration was saved on "
                "(the same --channels pattern), or save a configuration for these channels")
        for k, choice in enumerate(self.choices, 1):
            number, separator, name = choice.partition(" - ")
            number = number.strip()
            if not (separator and number.isdecimal() and len(number) < 20
                    and 1 <= int(number) <= self.count):
                raise HostError(f"configuration channel {k} names no channel "
                                f"(\"{tables.excerpt(choice)}\" in {self.path})", SAVE_AGAIN)
            number = int(number)
            if number <= len(names) and names[number - 1] != name:
                raise HostError(f"configuration channel {number} is \"{tables.excerpt(name)}\", "
                                f"the trial's is \"{tables.excerpt(names[number - 1])}\"", todo)
        if self.count != len(names):
            raise HostError(f"the configuration has {self.count} channels, the trial "
                            f"{len(names)}", todo)


def replay_config(vicon, percorso):
    """``readconfig`` on the trial of ``vicon``; the Tk root it leaves is destroyed."""
    import tkinter

    import quorvaemg

    trial = vicon.trial
    try:
        quorvaemg.readconfig(vicon, percorso, trial.device_id, trial.output_id, True)
    except tkinter.TclError as exc:
        if vicon.calls or getattr(tkinter, "_default_root", None) is not None:
            raise
        # No root window and nothing asked of Nexus: making the root failed.
        raise NoDisplay(no_display_message(exc, "the batch run, which opens a Tk root"),
                        XVFB_HINT) from exc
    finally:
        # readconfig makes its own root window; a run that processed
        # nothing, or failed, leaves it open.
        leftover = getattr(tkinter, "_default_root", None)
        if leftover is not None:
            destroy(leftover)


class BatchJob:
    """Replay ``config`` (a ``Config``) on a trial that has its channels."""

    title = "Batch run"

    def __init__(self, config):
        self.config = config
        self.warnings = Warnings()

    def __call__(self, trial, vicon):
        self.config.check_channels(trial.channel_names)
        ticked = self.config.ticked()
        if not ticked:
            # readconfig would show its "No EMG channel selected" box, which
            # nobody is there to close in an unattended run.
            raise HostError(f"the configuration ticks no channel ({self.config.path})",
                            "tick channels in the window and Save Configuration again")
        self.config.steps.check_lengths(trial, ticked, "switch that step off or lower its "
                                                       "setting in the window and Save "
                                                       "Configuration again")
        cutoffs = self.config.cutoffs()
        if cutoffs is not None:
            self.warnings.show(rate_warning(trial, *cutoffs))
        with display():  # a cluster's worker has no display of the run's
            replay_config(vicon, self.config.folder)


@contextlib.contextmanager
def display():
    """A display for Tk while it lasts: the one set, else a private Xvfb."""
    from quorvaemg_host.display import DisplayUnavailable, private_display

    try:
        with private_display() as found:
            yield found
    except DisplayUnavailable as exc:
        raise NoDisplay(f"{exc}, and the batch run opens a Tk root window",
                        XVFB_HINT) from None


def run(args):
    config = Config(args.batch)
    sources = trial_sources(args)
    job = BatchJob(config)
    with display() as found:
        if found.started:
            print(f"No display set: the batch run uses a private virtual display "
                  f"(Xvfb {found.started})")
        if not args.trials:
            return run_single(sources[0], job, lambda trial, outcome: (
                f"Batch run of {config.path} on {trial.name}: {outcome.line()}"))
        print(f"Batch run of {config.path} on {len(sources)} trial{plural(len(sources))}")
        return run_trials(sources, job, args)


COMMAND = Command("batch", "replay a saved configuration on trials", add_options, check, run,
                  "CONFIG_DIR [TRIAL.c3d ...]")
