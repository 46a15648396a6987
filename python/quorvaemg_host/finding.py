"""The trials a command line names: trial files, and folders searched for them.

Every command that takes trials reads its names through ``find_trials``, so
an archive is searched one way everywhere: a folder gives the files in it
whose names match ``--glob`` (``*.c3d`` by default, in any case), with
``--recursive`` those of its subfolders too, sorted by their path inside
it.  The host's own outputs (``TRIAL_processed.c3d``, ``TRIAL_events.c3d``)
and hidden files are never taken for trials, so a second run over an
archive does not process the first run's copies.

Each trial keeps the folder it was found under, so that its outputs can go
under ``--out DIR`` into the same tree of folders (``output_folder``).
"""

import fnmatch
import os

from quorvaemg_host.errors import UsageError
from quorvaemg_host.files import EVENTS_SUFFIX, PROCESSED_SUFFIX

DEFAULT_GLOB = "*.c3d"
HOST_OUTPUTS = (PROCESSED_SUFFIX, EVENTS_SUFFIX)


class Found:
    """A trial file: its ``path``, and its ``place`` in the folder named on the
    command line ("" for a file named itself)."""

    def __init__(self, path, place=""):
        self.path, self.place = path, place

    @property
    def label(self):
        """How the run's lines name it: its place in the folder named (an archive
        has many Walk01.c3d), else its file name."""
        return self.place or os.path.basename(self.path)

    @property
    def session(self):
        """The trial's folder inside the folder named (a session's, in an archive
        of SUBJECT/SESSION/ folders), "" for a file named itself."""
        return os.path.dirname(self.place)


def _is_trial(name, pattern):
    lowered = name.lower()
    return (not name.startswith(".") and fnmatch.fnmatchcase(lowered, pattern.lower())
            and not lowered.endswith(HOST_OUTPUTS))


def _in_folder(folder, recursive, pattern):
    found = []
    for root, folders, names in os.walk(folder):
        folders[:] = sorted(f for f in folders if not f.startswith(".")) if recursive else []
        inside = os.path.relpath(root, folder)
        for name in names:
            if _is_trial(name, pattern) and os.path.isfile(os.path.join(root, name)):
                place = name if inside == os.curdir else os.path.join(inside, name)
                found.append(Found(os.path.join(root, name), place))
    return sorted(found, key=lambda f: f.place.split(os.sep))


def find_trials(names, recursive=False, pattern=DEFAULT_GLOB):
    """The ``Found`` trials of ``names`` (files and folders), in order.

    A folder in which nothing matches is a ``UsageError`` saying where the
    search looked; any other name is taken for a trial file, which the
    command then reads or says it cannot read, as for any trial.
    """
    found = []
    for name in names:
        if not os.path.isdir(name):
            found.append(Found(name))
            continue
        inside = _in_folder(name, recursive, pattern)
        if not inside:
            where = "in the folder {} or its subfolders" if recursive else "in the folder {}"
            raise UsageError(f"no file matching {pattern} {where.format(name)}" + (
                "" if recursive else " (--recursive searches its subfolders too)"))
        found += inside
    return found


def output_folder(trial, out):
    """The folder of ``trial``'s outputs: its own, or under ``out`` where its
    place is in the folder named (``out`` itself for a file named itself)."""
    if out is None:
        return os.path.dirname(os.path.abspath(trial.path))
    return os.path.abspath(os.path.join(os.path.expanduser(out), trial.session))


def check_distinct_outputs(trials, out):
    """Refuse trials whose outputs would land on one another's under ``out``
    (two folders named, each with a SESSION/Walk01.c3d)."""
    if out is None:
        return
    taken = {}
    for trial in trials:
        stem = os.path.splitext(os.path.basename(trial.path))[0]
        key = os.path.normcase(os.path.join(output_folder(trial, out), stem))
        if key in taken:
            raise UsageError(f"{taken[key]} and {trial.path} would write the same files under "
                             f"--out {out}; give their folders one at a time")
        taken[key] = trial.path
