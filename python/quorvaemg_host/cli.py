"""``quorvaemg-host``: plays the Nexus pipeline script around the plug-in.

The trial is the bundled demo trial, or the C3D files named on the command
line (``--channels PATTERN`` keeps the matching analog channels).

Commands (each also has a flag form, the one the README shows):
  window [TRIAL]          (no flag) open the plug-in window on the trial, as
                          the pipeline script does; the trial is saved as soon
                          as the window is gone after a Process
  process [NAME|TRIAL ...]  (--process) process without a window, with the
                          window's default settings, the named channels (all
                          when none is named)
  batch CONFIG_DIR [TRIAL ...]  (--batch) replay the configuration saved in
                          CONFIG_DIR with ``readconfig`` on each trial, after
                          checking that the trial has the configuration's
                          channels; with no display set it runs on a private
                          Xvfb when one is installed
  write-demo DIR          (--write-demo) write the demo trial as DIR/Walk01.c3d
  gait TRIAL ... | --demo  (no flag) EMG over the gait cycle of one subject's
                          trials against normal walking: TRIAL_EMGGait.pdf,
                          TRIAL_EMGCycles.csv and TRIAL_EMGActivity.csv
  quality [TRIAL ...]     signal-quality table of each trial's raw channels (one
                          line per channel, verdict and why), ``--csv FILE`` too;
                          exit code 0 when every trial was checked, whatever the
                          verdicts, 1 when a trial could not be read

A new command is one ``Command`` in ``COMMANDS``: its options and its run
function.  Over trial files, ``batch`` and ``process`` print a progress line
per trial and a summary; one failing trial does not stop the others, and
``--jobs N`` works on N trials at a time in N processes (``jobs``).  The
work on one trial is ``run_one(source, job)``: a trial source (``DemoSource``,
``FileSource``) and a job (``ProcessJob``, ``BatchJob``), all plain objects,
so trials can also run in worker processes.  A processed channel whose raw
samples the quality checks judge unusable gets a warning line (processing
goes on).

Expected failures end in one line, ``quorvaemg-host: error: <what went
wrong>, <what to do>``; when a trial is not saved after the plug-in logged
its processing, one line in the trial's history log says so and why.
"""

import argparse
import codecs
import io
import os
import sys
import tempfile
import time

import quorvaemg_gait

from quorvaemg_host import c3d
from quorvaemg_host import jobs as parallel
from quorvaemg_host import quality, tables
from quorvaemg_host.demo import demo_trial, write_demo_c3d
from quorvaemg_host.nexus import NexusError, NexusStandIn
from quorvaemg_host.widgets import HeadlessRoot, channel_vars

PROG = "quorvaemg-host"
DEFAULT_FOLDER = os.path.join("~", "quorvaemg-demo")
CONFIG_NAME = "RIVuror_config.txt"
HISTORY_SUFFIX = "_RIVurorHistory.txt"
REPORT_SUFFIX = "_EMGReport.pdf"
TRIAL_SUFFIX = ".c3d"

# The plug-in window's defaults: the five switches (remove mean, low-pass,
# high-pass, rectify, RMS), then the entry texts for the high-pass cutoff and
# order, the low-pass cutoff and order, and the RMS window.
DEFAULT_SWITCHES = (1, 1, 1, 1, 1)
DEFAULT_ENTRIES = ("20", "2", "200", "2", "100")
DEFAULT_HIGH, DEFAULT_LOW = DEFAULT_ENTRIES[0], DEFAULT_ENTRIES[2]

# The configuration file's settings after its channel lines, in file order.
CONFIG_SETTINGS = ("Remove Mean switch", "Low-Pass Filter switch", "High-Pass Filter switch",
                   "Rectify switch", "RMS switch", "high-pass cutoff", "low-pass cutoff",
                   "RMS window size", "high-pass order", "low-pass order")
# Save Configuration writes 2N + 11 lines of a few characters for N channels:
# a file this large is no configuration, and is not read whole.
CONFIG_MAX_BYTES = 1 << 20
# The processing normalises cutoffs as cutoff * 2 / 1000: 0 < that < 1.
CUTOFF_RANGE = (1, 499)
# scipy's Butterworth design overflows long before orders of a thousand; the
# gait envelope stops at 20 for the same reason.
ORDER_RANGE = (1, 20)
XVFB_HINT = ("run it where a display is set, or install Xvfb (e.g. apt-get install xvfb) "
             "and leave DISPLAY unset")
SAVE_AGAIN = "save the configuration again with the window's Save Configuration button"


class HostError(Exception):
    """An expected failure: what went wrong and, when known, what to do about it."""

    def __init__(self, what, todo=None):
        super().__init__(what if todo is None else f"{what}, {todo}")


class UsageError(HostError):
    """A command line that names something that is not there."""


class NoDisplay(HostError):
    """Tk could not open a window: there is no display to open it on."""


def describe(exc):
    """What went wrong, as a lab reads it: the message, without internal class names.

    Only an unforeseen kind of failure keeps its Python type name, which is
    then the most useful thing to report.
    """
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror + (f": {exc.filename}" if exc.filename else "")
    else:
        text = " ".join(str(exc).split())
    if "invalid literal for int()" in text:
        text += " (cutoffs, orders and the RMS window take whole numbers)"
    if isinstance(exc, (HostError, NexusError, OSError, ValueError, RuntimeError)) and text:
        return text
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


# -- command line -----------------------------------------------------------------

class Command:
    """One job of the host: its options (``add_options(parser)``) and ``run(args)``."""

    def __init__(self, name, summary, add_options, run):
        self.name, self.summary, self.add_options, self.run = name, summary, add_options, run

    def parser(self):
        parser = argparse.ArgumentParser(prog=f"{PROG} {self.name}", description=self.summary)
        self.add_options(parser)
        return parser


def _channels_option(parser, scope="trial files only: "):
    parser.add_argument(
        "--channels", metavar="PATTERN",
        help=scope + "keep the analog channels whose label contains "
             "PATTERN, or matches it as a glob when it has * ? or [ (default: all)")


def _trial_options(parser, window=False):
    _channels_option(parser)
    parser.add_argument(
        "--in-place", action="store_true",
        help="trial files only: replace each file by its processed version (written "
             "complete first) instead of writing TRIAL_processed.c3d beside it")
    parser.add_argument(
        "--folder", metavar="DIR",
        help="demo trial only: its folder, created if missing (default: "
             + DEFAULT_FOLDER + ")")
    if window:
        parser.add_argument(
            "--config", metavar="DIR",
            help="window only: folder where Save Configuration writes "
                 + CONFIG_NAME + " (default: the trial's folder)")
        parser.add_argument(
            "--no-trial", action="store_true",
            help="window only, without trial files: open the window as Nexus does with "
                 "no trial open (NO TRIAL SELECTED, buttons disabled)")


def _window_options(parser):
    parser.add_argument("trials", nargs="*", metavar="TRIAL.c3d",
                        help="the C3D trial (default: the demo trial)")
    _trial_options(parser, window=True)


def _jobs_option(parser):
    parser.add_argument(
        "--jobs", metavar="N", type=int, default=1,
        help="--batch and --process over trial files: work on N trials at a time in "
             "N processes (default 1); the output stays in trial order")


def _process_options(parser):
    parser.add_argument("process", nargs="*", metavar="NAME|TRIAL.c3d",
                        help="channels to process (default: all) and C3D trial files "
                             "(default: the demo trial)")
    _trial_options(parser)
    _jobs_option(parser)


def _batch_options(parser):
    parser.add_argument("batch", metavar="CONFIG_DIR",
                        help="folder of the " + CONFIG_NAME + " saved by Save Configuration")
    parser.add_argument("trials", nargs="*", metavar="TRIAL.c3d",
                        help="C3D trial files (default: the demo trial)")
    _trial_options(parser)
    _jobs_option(parser)


def _quality_options(parser):
    parser.add_argument("trials", nargs="*", metavar="TRIAL.c3d",
                        help="C3D trial files (default: the demo trial)")
    _channels_option(parser)
    parser.add_argument("--csv", metavar="FILE",
                        help="also write the measures and verdicts of every channel of "
                             "every trial to FILE (replaced whole)")
    parser.add_argument(
        "--set", action="append", default=[], metavar="NAME=VALUE",
        help="change a threshold, e.g. --set low_doubtful=0.5 (repeatable; the names "
             "and defaults are in the README's \"Signal quality\")")


def _write_demo_options(parser):
    parser.add_argument("write_demo", metavar="DIR", help="folder to write Walk01.c3d into")


def build_parser():
    """The flag form: the trial files, then a mode flag (none: the window)."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run the quorvaemg plug-in on C3D trial files, or on the bundled "
                    "demo trial when none is named, as a Nexus pipeline script would. "
                    "Without a mode flag the plug-in window opens on the trial (needs "
                    "a display); after a Process the trial is saved as "
                    "TRIAL_processed.c3d beside it.",
        epilog="Each mode is also a command: " + "; ".join(
            f"{PROG} {c.name} ... ({c.summary})" for c in COMMANDS.values())
            + f". See {PROG} COMMAND --help.")
    parser.add_argument(
        "trials", nargs="*", metavar="TRIAL.c3d",
        help="C3D trial files (default: the demo trial); the window takes one, "
             "--batch and --process take them in turn")
    modes = parser.add_mutually_exclusive_group()
    modes.add_argument(
        "--process", nargs="*", metavar="NAME",
        help="process the named channels (default: all) without a window, with "
             "the window's default settings, and save the processed trial; a NAME "
             "ending in " + TRIAL_SUFFIX + " is taken as a trial file")
    modes.add_argument(
        "--batch", metavar="CONFIG_DIR",
        help="replay the configuration file " + CONFIG_NAME + " in CONFIG_DIR "
             "(saved by the window's Save Configuration button) on each trial that "
             "has its channels, and save it; without a display it starts Xvfb")
    modes.add_argument(
        "--write-demo", metavar="DIR",
        help="write the demo trial, with its gait events, as the C3D file DIR/Walk01.c3d")
    _trial_options(parser, window=True)
    _jobs_option(parser)
    return parser


def parse_args(argv):
    """(command, arguments) of a command line in either form."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] in COMMANDS:
        command = COMMANDS[argv[0]]
        args = command.parser().parse_intermixed_args(argv[1:])
    else:
        args = build_parser().parse_intermixed_args(argv)
        mode = [name for name in ("process", "batch", "write_demo")
                if getattr(args, name) is not None]
        command = COMMANDS[mode[0].replace("_", "-") if mode else "window"]
    defaults = {"trials": [], "process": None, "batch": None, "write_demo": None,
                "channels": None, "in_place": False, "folder": None, "config": None,
                "no_trial": False, "jobs": 1}
    for name, value in defaults.items():
        if getattr(args, name, None) is None:
            setattr(args, name, value)
    if args.process:  # trial files may come among the channel names
        args.trials += [n for n in args.process if n.lower().endswith(TRIAL_SUFFIX)]
        args.process = [n for n in args.process if not n.lower().endswith(TRIAL_SUFFIX)]
    return command, args


def check_args(command, args):
    window = command.name == "window"
    if not window and (args.config is not None or args.no_trial):
        raise UsageError("--config and --no-trial apply to the window only")
    if command.name == "write-demo":
        if args.trials or args.channels is not None or args.in_place or args.folder:
            raise UsageError("--write-demo takes only its folder")
        return
    if args.trials:
        if args.folder is not None or args.no_trial:
            raise UsageError("--folder and --no-trial apply to the demo trial only, "
                             "not to trial files")
        if window and len(args.trials) > 1:
            raise UsageError("the window opens one trial at a time; use --batch or "
                             "--process for several")
    elif args.channels is not None or args.in_place:
        raise UsageError("--channels and --in-place apply to trial files only")
    if window and args.config is not None and not os.path.isdir(args.config):
        raise UsageError(f"configuration folder not found: {args.config}")
    if args.jobs != 1 and (window or not args.trials):
        raise UsageError("--jobs applies to --batch and --process over trial files only")
    try:
        parallel.check_jobs(args.jobs)
    except ValueError as exc:
        raise UsageError(str(exc)) from exc


# -- trial sources ----------------------------------------------------------------

def demo_folder(folder):
    return os.path.expanduser(DEFAULT_FOLDER if folder is None else folder)


class DemoSource:
    """The demo trial in ``folder``; the processed trial goes to CSV."""

    label = "demo trial"

    def __init__(self, folder):
        self.folder = folder

    def open(self):
        check_writable_folder(self.folder, "the demo trial's folder",
                              "give a folder you can write to with --folder DIR")
        return demo_trial(self.folder)

    @staticmethod
    def check_writable(trial):
        """Nothing more to check: ``open`` made sure of the folder."""

    @staticmethod
    def save(trial):
        path = trial.folder + trial.name + "_processed.csv"
        trial.write_csv(path)
        return path


class FileSource:
    """The C3D trial ``path``; the processed trial goes to ``save_trial``."""

    def __init__(self, path, channels=None, in_place=False):
        self.path, self.channels, self.in_place = path, channels, in_place
        self.label = os.path.basename(path)

    def open(self):
        try:
            return c3d.load_trial(self.path, channels=self.channels)
        except OSError as exc:
            raise HostError(f"cannot read the trial file {self.path} ({exc.strerror or exc})",
                            "check its path, or that it can be read") from None

    def check_writable(self, trial):
        """Refuse a trial whose folder cannot take the files written beside it."""
        check_writable_folder(trial.folder, f"the folder of {self.label}",
                              "copy the trial into a folder you can write to: its history "
                              "log and processed copy are written beside it")

    def save(self, trial):
        return c3d.save_trial(trial, in_place=self.in_place)


def trial_sources(args):
    """The trials the command line names, in order."""
    if not args.trials:
        return [DemoSource(demo_folder(args.folder))]
    return [FileSource(path, args.channels, args.in_place) for path in args.trials]


def check_writable_folder(folder, role, todo):
    """Make ``folder`` if missing and refuse it, naming its ``role``, when no file
    can be made in it (e.g. /proc, a read-only medium), before anything is
    processed that would then not be saved."""
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise HostError(f"{role} {folder} is a file, not a folder", todo)
    try:
        os.makedirs(folder, exist_ok=True)
        handle, probe = tempfile.mkstemp(dir=folder, prefix=".quorvaemg-")
        os.close(handle)
        os.remove(probe)
    except OSError as exc:
        raise HostError(f"{role} {folder} cannot be written ({exc.strerror or exc})",
                        todo) from None


def folder_with_separator(folder):
    """``folder`` made absolute, ending with exactly one path separator."""
    path = os.path.abspath(folder)
    return path if path.endswith(os.sep) else path + os.sep


# -- the history log --------------------------------------------------------------

class History:
    """The trial's history log, watched for the entry a Process run adds."""

    def __init__(self, trial):
        self.path = trial.folder + trial.name + HISTORY_SUFFIX
        self.size = self._size()

    def _size(self):
        try:
            return os.path.getsize(self.path)
        except OSError:
            return None

    def note_not_saved(self, reason):
        """Append one line saying the trial was not saved, if the plug-in logged a run."""
        if self._size() == self.size:
            return
        stamp = time.strftime("%d/%m/%Y %H:%M:%S")
        with open(self.path, "a") as log:
            log.write(f"--- {stamp} The trial was NOT saved: {reason}\n")


def save_processed(trial, vicon, source, history):
    """Save the trial when a Process run wrote channels: the path, or None.

    A failed save is noted in the history log and raised as a ``HostError``.
    """
    if not vicon.written:
        return None
    try:
        return source.save(trial)
    except Exception as exc:
        reason = describe(exc)
        history.note_not_saved(reason)
        raise HostError(f"{source.label} not saved: {reason}") from exc


# -- cutoffs at the trial's rate ---------------------------------------------------

def rate_warning(trial, high, low, note=""):
    """The effective-cutoff warning for ``trial``, or None at 1000 samples per second."""
    if trial.device_rate == 1000.0:  # the demo trial's rate: no need of the C3D module
        return None
    line = c3d.effective_cutoffs_warning(trial.device_rate, high, low)
    return None if line is None else line + note


class Warnings:
    """Prints each distinct warning line once."""

    def __init__(self):
        self.shown = set()

    def show(self, line):
        if line is not None and line not in self.shown:
            self.shown.add(line)
            print(line)


# -- the configuration file -------------------------------------------------------

def read_config_lines(path):
    """The lines of a configuration file as ``readconfig`` reads them, in the
    platform's default text encoding, once what Save Configuration never
    writes is refused: a huge file, binary data, UTF-16, a byte-order mark."""
    def refuse(what):
        raise HostError(f"{path} {what}", "save it again with the window's Save Configuration "
                                          "button, or as plain text without a byte-order mark")

    try:
        data = tables.read_small_file(path, CONFIG_MAX_BYTES, lambda what: refuse(
            what + ", far larger than a configuration (N channels take 2N + 11 short lines)"))
    except OSError as exc:
        raise HostError(f"cannot read {path} ({exc.strerror or exc})",
                        "check that it can be read") from None
    kind = tables.not_plain_text(data)
    if kind is not None:
        refuse(f"is {kind}, not a configuration")
    if data.startswith(codecs.BOM_UTF8):
        refuse("starts with a byte-order mark, which the batch run would read as part of "
               "the channel count")
    stream = io.TextIOWrapper(io.BytesIO(data))  # the encoding of open(), as readconfig's
    try:
        return stream.readlines()
    except UnicodeDecodeError:
        refuse(f"is not text in this system's encoding ({stream.encoding})")


class Steps:
    """The steps of a processing run that need samples enough: the low-pass and
    high-pass filters as (cutoff, order) and the RMS window, each None when off."""

    def __init__(self, low=None, high=None, window=None):
        self.low, self.high, self.window = low, high, window

    @classmethod
    def of(cls, switches, high, high_order, low, low_order, window):
        """From the five switches (remove mean, low-pass, high-pass, rectify, RMS)
        and the settings, in the order the window's entries have them."""
        _, low_on, high_on, _, rms_on = switches
        return cls(low=(low, low_order) if low_on else None,
                   high=(high, high_order) if high_on else None,
                   window=window if rms_on else None)

    def check_lengths(self, trial, ticked, todo):
        """Refuse a trial with a ticked channel (1-based) too short for the steps:
        filtfilt needs more than 3 (order + 1) samples, and an RMS window longer
        than the channel would make a longer one."""
        for k in ticked:
            name, count = trial.channel_names[k - 1], len(trial.samples[k - 1])
            if count == 0:
                raise HostError(f"channel {name} has no samples", todo)
            for kind, step in (("low-pass", self.low), ("high-pass", self.high)):
                if step is not None and count <= 3 * (step[1] + 1):
                    raise HostError(f"channel {name} has {count} samples, too few for the "
                                    f"{kind} filter of order {step[1]} (it needs more than "
                                    f"{3 * (step[1] + 1)})", todo)
            if self.window is not None and count < self.window:
                raise HostError(f"channel {name} has {count} samples, fewer than the RMS "
                                f"window of {self.window}", todo)


DEFAULT_STEPS = Steps.of(DEFAULT_SWITCHES, *(int(text) for text in DEFAULT_ENTRIES))

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
        self.path = self.folder + CONFIG_NAME
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


# -- processing one trial ---------------------------------------------------------

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
            _plural(len(unknown)), ", ".join(unknown), ", ".join(channel_names)))
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
        self.warnings.show(rate_warning(trial, DEFAULT_HIGH, DEFAULT_LOW))
        process_trial(vicon, ticked)


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
        replay_config(vicon, self.config.folder)


class Outcome:
    """What became of one trial: the path written (None: nothing), channels, failure,
    and the warning lines to show before its progress line."""

    def __init__(self, label, path=None, count=0, reason=None, warnings=()):
        self.label, self.path, self.count, self.reason = label, path, count, reason
        self.warnings = list(warnings)

    def line(self):
        if self.reason is not None:
            return f"failed: {self.reason}"
        if self.path is None:
            return "no channel selected, nothing written"
        return f"{self.count} channel{_plural(self.count)} processed, written to {self.path}"


def run_one(source, job):
    """Open, process and save one trial; its ``Outcome``.

    A trial whose opening, processing or saving fails is reported in the
    outcome and nothing of it is saved; no display (``NoDisplay``) is
    raised, as it stops the whole run.
    """
    try:
        return process_and_save(source, job)[1]
    except NoDisplay:
        raise
    except Exception as exc:  # noqa: BLE001 - reported per trial, the others go on
        return Outcome(source.label, reason=describe(exc))


def process_and_save(source, job):
    """Open, process and save one trial: (trial, ``Outcome``); failures are raised."""
    trial = source.open()
    source.check_writable(trial)
    vicon = NexusStandIn(trial)
    history = History(trial)
    checked, warnings = check_raw(source.label, trial)
    warnings = list(getattr(trial, "warnings", ())) + warnings
    job(trial, vicon)
    warnings += unusable_warnings(source.label, checked, vicon.written)
    path = save_processed(trial, vicon, source, history)
    return trial, Outcome(source.label, path, len(vicon.written), warnings=warnings)


def _plural(count):
    return "" if count == 1 else "s"


def run_trials(sources, job, jobs=1):
    """``job`` on each trial, ``jobs`` at a time (``parallel.in_order``), with a
    progress line each in trial order and a summary.

    0 when no trial failed, else 1.
    """
    total = len(sources)
    outcomes = []
    results = parallel.in_order(lambda source: run_one(source, job), sources, jobs,
                                preload=("quorvaemg",))
    for number, outcome in enumerate(results, 1):
        for line in outcome.warnings:
            print(line)
        print(f"[{number}/{total}] {outcome.label}: {outcome.line()}", flush=True)
        outcomes.append(outcome)
    failed = [o for o in outcomes if o.reason is not None]
    untouched = sum(1 for o in outcomes if o.reason is None and o.path is None)
    parts = [f"{total - len(failed) - untouched} processed"]
    if untouched:
        parts.append(f"{untouched} with no channel selected")
    parts.append(f"{len(failed)} failed")
    print(f"{job.title}: " + ", ".join(parts) + (":" if failed else ""))
    for outcome in failed:
        print(f"  {outcome.label}: {outcome.reason}")
    return 1 if failed else 0


def run_single(source, job, describe_run):
    """``job`` on the demo trial: its result line, or the failure raised."""
    trial, outcome = process_and_save(source, job)
    for line in outcome.warnings:
        print(line)
    print(describe_run(trial, outcome))
    return 0


def run_process(args):
    sources = trial_sources(args)
    job = ProcessJob(args.process)
    if not args.trials:
        return run_single(sources[0], job, lambda trial, outcome: (
            f"Processed trial written to {outcome.path}" if outcome.path
            else outcome.line()))
    print(f"Processing {len(sources)} trial{_plural(len(sources))} with the window's "
          "default settings")
    return run_trials(sources, job, args.jobs)


# -- signal quality ---------------------------------------------------------------

def check_raw(label, trial):
    """(quality of every channel of a trial about to be processed or None, warnings).

    Checked before processing replaces the samples (keeping the raw arrays
    until the end would hold the trial in memory twice).  A channel that
    cannot be checked is judged unusable, and a trial that cannot be checked
    at all is a warning: processing goes on.  The warnings are
    shown just before the trial's progress line, so that runs over several
    processes keep them in trial order.
    """
    try:
        return quality.assess(trial, unreadable=True), []
    except ValueError as exc:
        return None, [f"warning: {label}: quality not checked: {exc}"]


def unusable_warnings(label, checked, written):
    """A warning line for each processed channel whose raw samples are unusable."""
    if checked is None:
        return []
    return quality.unusable_warnings(label, [checked[k - 1] for k in sorted(written)])


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


def run_quality(args):
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


# -- the batch run ----------------------------------------------------------------

def _no_display_message(exc, purpose):
    reason = str(exc).strip() or "Tk could not start"
    return f"no display for {purpose} ({reason})"


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
        raise NoDisplay(_no_display_message(exc, "the batch run, which opens a Tk root"),
                        XVFB_HINT) from exc
    finally:
        # readconfig makes its own root window; a run that processed
        # nothing, or failed, leaves it open.
        leftover = getattr(tkinter, "_default_root", None)
        if leftover is not None:
            _destroy(leftover)


def run_batch(args):
    from quorvaemg_host.display import DisplayUnavailable, private_display

    config = Config(args.batch)
    sources = trial_sources(args)
    job = BatchJob(config)
    try:
        with private_display() as display:
            if display.started:
                print(f"No display set: the batch run uses a private virtual display "
                      f"(Xvfb {display.started})")
            if not args.trials:
                return run_single(sources[0], job, lambda trial, outcome: (
                    f"Batch run of {config.path} on {trial.name}: {outcome.line()}"))
            print(f"Batch run of {config.path} on {len(sources)} trial{_plural(len(sources))}")
            return run_trials(sources, job, args.jobs)
    except DisplayUnavailable as exc:
        raise NoDisplay(f"{exc}, and the batch run opens a Tk root window",
                        XVFB_HINT) from None


# -- the window -------------------------------------------------------------------

WINDOW_TITLE = "quorvaemg-host"


def open_root(tkinter, purpose):
    """A new Tk root window, or ``NoDisplay`` when Tk cannot open one."""
    try:
        return tkinter.Tk()
    except tkinter.TclError as exc:
        raise NoDisplay(_no_display_message(exc, purpose),
                        "run it under a display, or use --process to process the "
                        "trial without a window") from exc


def _destroy(root):
    import tkinter

    try:
        root.destroy()
    except tkinter.TclError:  # already destroyed
        pass


def show_callback_errors(root):
    """Show an exception from a button in an error box; the console keeps the traceback."""
    import tkinter
    import traceback
    from tkinter import messagebox

    def report(exc_type, exc_value, exc_traceback):
        traceback.print_exception(exc_type, exc_value, exc_traceback)
        try:
            messagebox.showerror(WINDOW_TITLE, describe(exc_value))
        except tkinter.TclError:  # no window left to show it on: the console has it
            pass
    root.report_callback_exception = report


def close_previews_with(root):
    """When the plug-in window goes, close the preview figures too.

    A preview shows its figure in a main loop of its own; while it is open
    neither that loop nor the window's own returns, so the trial would be
    saved only once the user closed the preview.
    """
    def on_destroy(event):
        pyplot = sys.modules.get("matplotlib.pyplot")
        if event.widget is root and pyplot is not None:
            pyplot.close("all")
    root.bind("<Destroy>", on_destroy, add="+")


def _mtime(path):
    try:
        return os.stat(path).st_mtime_ns
    except OSError:
        return None


def run_window(args):
    """Play the pipeline script: Tk root, initializeroot, initializewindow, main loop."""
    import tkinter

    import quorvaemg

    source = trial_sources(args)[0]
    trial = source.open()  # a trial that is not there is told before the display
    source.check_writable(trial)
    root = open_root(tkinter, "the plug-in window")
    try:
        pathconfig = folder_with_separator(trial.folder if args.config is None else args.config)
        vicon = NexusStandIn(trial)
        history = History(trial)
        show_callback_errors(root)
        close_previews_with(root)
        root, channelNames = quorvaemg.initializeroot(root, vicon, trial.device_id, trial.output_id)
        quorvaemg.initializewindow(root, tkinter, vicon, [trial.subject],
                                   "" if args.no_trial else trial.name, trial.device_name,
                                   trial.device_id, trial.output_id, channelNames,
                                   history=True, pathconfig=pathconfig)
        if not args.no_trial:
            Warnings().show(rate_warning(trial, DEFAULT_HIGH, DEFAULT_LOW,
                                         "; cutoffs typed in the window scale the same way"))
    except BaseException:
        _destroy(root)
        raise
    made = {name: (path, _mtime(path)) for name, path in (
        ("Configuration", pathconfig + CONFIG_NAME),
        ("Report", trial.folder + trial.name + REPORT_SUFFIX))}
    root.mainloop()
    # A window closed by the user rather than by an action may still exist.
    _destroy(root)

    path = save_processed(trial, vicon, source, history)
    if path is not None:
        print(f"Processed trial written to {path}")
        return 0
    written = [f"{name} written to {file}" for name, (file, before) in made.items()
               if _mtime(file) not in (None, before)]
    print("; ".join(written + ["no channel was processed, the trial was not written"])
          if written else "Window closed; no channel was processed, nothing written")
    return 0


def run_write_demo(args):
    # ezc3d says nothing when it cannot write (it would be "written" into /proc).
    check_writable_folder(args.write_demo, "the folder for the demo trial",
                          "give a folder you can write to")
    try:
        path = write_demo_c3d(args.write_demo)
    except ImportError as exc:
        if sys.version_info < (3, 10):  # no ezc3d release to install
            raise HostError("writing the demo trial as a C3D file needs ezc3d, which needs "
                            "Python 3.10 or newer (this is Python %d.%d)" % sys.version_info[:2],
                            "write it with a newer Python; the other commands read and write "
                            "C3D files on this one") from exc
        raise HostError(f"writing the demo trial as a C3D file needs ezc3d ({exc})",
                        "install it with: pip install ezc3d") from exc
    print(f"Demo trial written to {path}")
    return 0


# -- gait-cycle EMG ---------------------------------------------------------------

def _gait_options(parser):
    parser.add_argument("trials", nargs="*", metavar="TRIAL.c3d",
                        help="C3D trials of one subject; their cycles are pooled per channel")
    parser.add_argument("--demo", action="store_true",
                        help="analyse the demo trial instead, in " + DEFAULT_FOLDER)
    _channels_option(parser, scope="")  # the demo trial's channels are chosen too
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
    parser.add_argument("--out", metavar="DIR",
                        help="folder of the report and tables (default: the first trial's)")


def run_gait(args):
    from quorvaemg_host import gait

    if args.demo == bool(args.trials):
        raise UsageError("name the C3D trials of one subject, or --demo for the demo trial")
    try:
        settings = gait.Settings(args.channels, args.muscles, args.normalise, args.envelope)
    except gait.SettingError as exc:
        raise UsageError(str(exc)) from None
    if args.demo:
        folder = demo_folder(args.folder)
        sources = [(DemoSource.label, DemoSource(folder).open)]
    else:
        sources = [(os.path.basename(path), FileSource(path, args.channels).open)
                   for path in args.trials]
    print(f"Gait-cycle EMG of {len(sources)} trial{_plural(len(sources))}", flush=True)
    gait.run(sources, settings, args.out, say=lambda line: print(line, flush=True),
             describe=describe)
    return 0


COMMANDS = {c.name: c for c in (
    Command("window", "open the plug-in window on a trial", _window_options, run_window),
    Command("process", "process channels without a window", _process_options, run_process),
    Command("batch", "replay a saved configuration on trials", _batch_options, run_batch),
    Command("write-demo", "write the demo trial as a C3D file", _write_demo_options,
            run_write_demo),
    Command("gait", "EMG over the gait cycle of one subject's trials, against normal "
                    "walking: PDF report and tables", _gait_options, run_gait),
    Command("quality", "signal-quality checks of the raw channels", _quality_options,
            run_quality),
)}


# -- command ----------------------------------------------------------------------

def main(argv=None):
    try:
        command, args = parse_args(argv)
    except SystemExit as exc:  # --help, or a malformed command line
        return exc.code if isinstance(exc.code, int) else 2
    try:
        check_args(command, args)
        return command.run(args)
    except UsageError as exc:
        print(f"{PROG}: error: {exc}, see {PROG} --help", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader of the output stopped early (e.g. "| head"): nothing to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        # Every output is written whole or not at all: what the interrupt cut
        # short was never moved into place, so there is nothing to clean up.
        print(f"{PROG}: error: interrupted; the file being written was not written, "
              "run the command again", file=sys.stderr)
        return 130
    except Exception as exc:  # noqa: BLE001 - any failure ends the run with one line
        print(f"{PROG}: error: {describe(exc)}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
