"""The files the host shares with the plug-in, and the names of those it writes.

The plug-in writes its configuration file (the window's Save Configuration)
and replays it (``readconfig``), appends to each trial's history log, and
opens its window with the defaults below; the host reads what the plug-in
wrote and writes what the plug-in reads, so every name and layout of those
files is kept here, next to the plug-in's own.  The gait outputs are named
by the gait analysis itself.
"""

import codecs
import io
import os
import time

from plotvane import REPORT_SUFFIX  # noqa: F401  (the plug-in's report is plotvane's)

from quorvaemg_gait import tables
from quorvaemg_host.errors import HostError

# -- the window's defaults ---------------------------------------------------------

# The five switches (remove mean, low-pass, high-pass, rectify, RMS), then the
# entry texts for the high-pass cutoff and order, the low-pass cutoff and
# order, and the RMS window.
DEFAULT_SWITCHES = (1, 1, 1, 1, 1)
DEFAULT_ENTRIES = ("20", "2", "200", "2", "100")
DEFAULT_HIGH_HZ, DEFAULT_LOW_HZ = int(DEFAULT_ENTRIES[0]), int(DEFAULT_ENTRIES[2])

# -- the configuration file --------------------------------------------------------

CONFIG_NAME = "RIVuror_config.txt"
# One value a line: the channel count N; each channel's selection flag and its
# output choice ("k - NAME": the destination channel and its name); then these
# settings, in this order (2N + 11 lines in all).
CONFIG_SETTINGS = ("Remove Mean switch", "Low-Pass Filter switch", "High-Pass Filter switch",
                   "Rectify switch", "RMS switch", "high-pass cutoff", "low-pass cutoff",
                   "RMS window size", "high-pass order", "low-pass order")
# Save Configuration writes 2N + 11 lines of a few characters for N channels:
# a file this large is no configuration, and is not read whole.
CONFIG_MAX_BYTES = 1 << 20
SAVE_AGAIN = "save the configuration again with the window's Save Configuration button"


def config_path(folder):
    """The configuration file of ``folder``, joined as the plug-in joins it: by
    plain concatenation (the folder ends with its separator)."""
    return folder + CONFIG_NAME


def config_lines(selected, choices, settings):
    """The lines, without line ends, of a configuration of these channels and
    ``settings`` (in ``CONFIG_SETTINGS`` order)."""
    if len(selected) != len(choices) or len(settings) != len(CONFIG_SETTINGS):
        raise ValueError(f"{len(selected)} selections, {len(choices)} choices and "
                         f"{len(settings)} settings for a configuration")
    lines = [str(len(selected))]
    for flag, choice in zip(selected, choices):
        lines += [str(flag), str(choice)]
    return lines + [str(value) for value in settings]


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


# -- the history log ---------------------------------------------------------------

HISTORY_SUFFIX = "_RIVurorHistory.txt"
# Each entry of the log starts with this mark and the time of the run.
ENTRY_MARK = "--- "
STAMP_FORMAT = "%d/%m/%Y %H:%M:%S"
# The line of each channel a Process run wrote.
CHANNEL_LINE = "{} has been elaborated and put in {} position"


def history_path(trial):
    return trial.folder + trial.name + HISTORY_SUFFIX


class History:
    """The trial's history log, watched for the entry a Process run adds."""

    def __init__(self, trial):
        self.path = history_path(trial)
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
        stamp = time.strftime(STAMP_FORMAT)
        with open(self.path, "a") as log:
            log.write(f"{ENTRY_MARK}{stamp} The trial was NOT saved: {reason}\n")


# -- what the host writes ----------------------------------------------------------

TRIAL_SUFFIX = ".c3d"
PROCESSED_SUFFIX = "_processed.c3d"
PROCESSED_CSV_SUFFIX = "_processed.csv"
EVENTS_SUFFIX = "_events.c3d"
DEFAULT_FOLDER = os.path.join("~", "quorvaemg-demo")


def processed_path(trial):
    """The processed copy of a C3D trial, beside it."""
    return trial.folder + trial.name + PROCESSED_SUFFIX


def events_path(path):
    """The copy of the C3D file ``path`` that ``events --write`` writes, beside it."""
    return os.path.splitext(path)[0] + EVENTS_SUFFIX


def processed_csv_path(trial):
    """The processed demo trial, which has no file of its own."""
    return trial.folder + trial.name + PROCESSED_CSV_SUFFIX


def report_path(trial):
    """The report the window's Report button writes for the trial."""
    return trial.folder + trial.name + REPORT_SUFFIX
