"""The summary of a run over trials (``--summary FILE``): one CSV row per trial.

Every command that takes trials writes the same columns, so that a lab can
audit an archive's run in a spreadsheet: which trials failed and why, which
channels and how many gait cycles each one gave, and the signal-quality
verdicts of its channels.  The rows follow the trials' order; the file is
written whole once the run ends (or not at all), and checked for being
writable before the run starts.
"""

import os

from quorvaemg_gait import tables
from quorvaemg_gait.trial import SIDES
from quorvaemg_host.errors import HostError

COLUMNS = ("trial", "status", "reason", "channels", "cycles_left", "cycles_right", "good",
           "doubtful", "unusable", "written")
ELSEWHERE = "name another file with --summary FILE"
VERDICTS = COLUMNS[6:9]


class TrialRow:
    """What a run made of one trial, as the summary tells it.

    ``reason``: why it failed (None: it did not); ``channels``: the names
    of the channels used; ``cycles``: {side: count} where the command finds
    gait cycles; ``verdicts``: {channel: "good", "doubtful" or "unusable"}
    of its raw channels checked; ``written``: the files written for it.
    """

    def __init__(self, reason=None, channels=(), cycles=None, verdicts=None, written=()):
        self.reason, self.channels, self.cycles = reason, list(channels), cycles
        self.verdicts, self.written = dict(verdicts or {}), [w for w in written if w]

    def cells(self, path):
        join = ";".join
        cycles = ["" if self.cycles is None else str(self.cycles.get(side, 0))
                  for side in SIDES]
        verdicts = [join(n for n, v in self.verdicts.items() if v == verdict)
                    for verdict in VERDICTS]
        return [path, "failed" if self.reason is not None else "ok", self.reason or "",
                join(self.channels)] + cycles + verdicts + [join(self.written)]


def prepared_row(prepared, reason=None):
    """The row of a trial made ready for the gait analysis (``prepare.PreparedTrial``),
    or refused for ``reason`` (``prepared`` None)."""
    if prepared is None:
        return TrialRow(reason)
    return TrialRow(channels=list(prepared.envelopes),
                    cycles={side: len(cycles) for side, cycles in prepared.cycles.items()},
                    verdicts={name: verdict for name, (verdict, _) in prepared.verdicts.items()})


class Told:
    """The rows of the trials an analysis tells of (its ``told`` callback), in
    their order; a trial it never told of failed with the analysis (``reason``)."""

    def __init__(self):
        self.rows = {}

    def __call__(self, number, total, label, prepared, reason):
        self.rows[number - 1] = prepared_row(prepared, reason)

    def all(self, count, failure=None, written=()):
        """The rows of all ``count`` trials: the analysis failed for ``failure``,
        or wrote ``written`` for those it used."""
        rows = [self.rows.get(k) or TrialRow(failure) for k in range(count)]
        for row in rows:
            if row.reason is None:
                row.reason, row.written = failure, [] if failure else list(written)
        return rows


def check(path):
    """Refuse, before the run, a summary file that could not be written at its end."""
    if path is not None:
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise HostError(f"the folder of the summary file {path} does not exist",
                            ELSEWHERE)
        tables.check_writable([os.path.abspath(path)], ELSEWHERE)


def write(path, rows):
    """Write ``rows``, (trial path, ``TrialRow``) pairs, to the CSV ``path``; its path."""
    return tables.write_csv(os.path.abspath(path),
                            [COLUMNS] + [row.cells(trial) for trial, row in rows], ELSEWHERE)
