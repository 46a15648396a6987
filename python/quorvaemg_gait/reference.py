"""A lab's own reference of EMG in normal walking, built from its control
subjects' trials, and the file it is kept in.

Per muscle and side, each control subject's mean curve over the cycle
counts once, however many cycles and trials the subject has: the reference
is the mean and SD of those curves at each point, with the periods of
activity of the group's mean curve (their on and off as mean and SD over
the subjects).  A reference only means something for analyses made as it
was made, so it keeps its settings, and an analysis with others is refused.
The file is plain JSON, its layout told by its "format" and "version".
Keep to Python 3.7.
"""

import datetime
import json
import math

import numpy as np
from plotvane import write_atomically

from quorvaemg_gait import _core, tables
from quorvaemg_gait.normal import join_periods
from quorvaemg_gait.settings import GaitError
from quorvaemg_gait.synergies import side_tvaf1

FORMAT = "quorvaemg-reference"
VERSION = 1
BUILD = "quorvaemg-host reference build"
# A reference of a whole lab is a few hundred kB: past this it is another file.
MAX_REFERENCE_BYTES = 16 << 20


class ReferenceError(GaitError):
    """A reference file that cannot be used, or one made with other settings."""


def settings_record(settings):
    """The settings of an analysis that a reference must share, as the file keeps them.

    The normalisation's kind, not its file: each subject has MVC values of
    their own.
    """
    envelope = settings.envelope if settings.envelope != "rms" else f"rms:{settings.window_ms:g}"
    return {"envelope": envelope, "normalise": settings.normalise,
            "threshold": settings.threshold, "merge": settings.merge, "points": 101}


def settings_text(record):
    """e.g. "envelope linear, normalisation peak, threshold 25 %, merge 3 %"."""
    return (f"envelope {record['envelope']}, normalisation {record['normalise']}, threshold "
            f"{record['threshold'] * 100:g} %, merge {record['merge']:g} %")


def _activity_level(curve, threshold):
    """The level above which a curve counts as active: ``threshold`` of its range."""
    low, high = float(np.min(curve)), float(np.max(curve))
    return low + threshold * (high - low)


def build_reference(subjects, settings):
    """The reference record of ``subjects``: (subject, GaitResult) pairs, each the
    pooled analysis of one control subject's trials under ``settings``."""
    curves = {}  # (side, muscle) -> [(subject, mean curve, periods, cycles)]
    listed = []
    for subject, result in subjects:
        seen = set()
        for channel in result.channels:
            key = (channel.side, channel.muscle)
            if key in seen:  # a second channel of one muscle: the subject counts once
                continue
            seen.add(key)
            curves.setdefault(key, []).append(
                (subject, channel.analysis["mean"], channel.mean_periods,
                 len(channel.analysis["curves"])))
        # tVAF1 of the walk-DMC's muscles, per side that has them all: the
        # index of a patient analysed against this reference is scaled by the
        # lab's own controls.
        listed.append({"subject": subject, "trials": [t.name for t in result.prepared],
                       "cycles": {side: int(sum(len(t.cycles[side]) for t in result.prepared))
                                  for side in ("Left", "Right")},
                       "tvaf1": side_tvaf1(result)})
    muscles = []
    for (side, muscle), found in curves.items():
        means = np.array([mean for _, mean, _, _ in found])
        mean, sd = _core.cycle_statistics(means)
        level = _activity_level(mean, settings.threshold)
        group = join_periods(_core.activation(mean, level, settings.merge))
        periods = _core.period_statistics(group, [periods for _, _, periods, _ in found])
        muscles.append({"side": side, "muscle": muscle,
                        "subjects": [name for name, _, _, _ in found],
                        "cycles": int(sum(count for _, _, _, count in found)),
                        "mean": _numbers(mean), "sd": None if sd is None else _numbers(sd),
                        "periods": [_period_record(p) for p in periods]})
    return {"format": FORMAT, "version": VERSION,
            "created": datetime.date.today().isoformat(),
            "settings": settings_record(settings), "subjects": listed, "muscles": muscles}


def _numbers(values):
    return [float(v) for v in values]


def _period_record(period):
    record = {key: (None if period[key] is None else float(period[key]))
              for key in ("on", "on_sd", "off", "off_sd")}
    record["subjects"] = int(period["subjects"])
    return record


def write_reference(path, record, todo):
    """Write ``record`` as the JSON file ``path``, whole or not at all; its path."""
    text = json.dumps(record, indent=1, allow_nan=False) + "\n"
    data = text.encode("utf-8")
    tables.check_writable([path], todo)
    with tables.output(path, tables.CLOSE_IT + todo):
        return write_atomically(path, lambda fh: fh.write(data))


class Reference:
    """A reference read from its file: its settings and its muscles by (side, muscle)."""

    def __init__(self, path, record):
        self.path, self.record = path, record
        self.settings = record["settings"]
        self.subjects = record["subjects"]
        self.muscles = {(m["side"], m["muscle"]): m for m in record["muscles"]}

    def check(self, settings):
        """Refuse an analysis whose settings are not the reference's, both named."""
        wanted = settings_record(settings)
        if all(wanted[key] == self.settings[key] for key in wanted):
            return
        options = []
        if wanted["envelope"] != self.settings["envelope"]:
            options.append(f"--envelope {self.settings['envelope']}")
        if wanted["normalise"] != self.settings["normalise"]:
            options.append(f"--normalise {self.settings['normalise']}"
                           + (":FILE" if self.settings["normalise"] == "mvc" else ""))
        raise ReferenceError(
            f"the reference {self.path} was built with {settings_text(self.settings)}; this "
            f"analysis asks for {settings_text(wanted)}",
            (f"analyse with {' '.join(options)}, or " if options else "")
            + "build a reference with the settings of this analysis")

    def entry(self, side, muscle):
        """The reference of ``side`` and ``muscle`` as arrays, or None."""
        found = self.muscles.get((side, muscle))
        if found is None:
            return None
        return {"mean": np.array(found["mean"]),
                "sd": None if found["sd"] is None else np.array(found["sd"]),
                "subjects": len(found["subjects"]), "cycles": found["cycles"],
                "periods": found["periods"]}

    def dmc_group(self, side):
        """{"mean", "sd", "n", "source"} of the controls' tVAF1 of ``side``, or None
        with fewer than two (an older reference holds none)."""
        values = [s["tvaf1"][side] for s in self.subjects if isinstance(s, dict)
                  and isinstance(s.get("tvaf1"), dict) and _is_number(s["tvaf1"].get(side))]
        sd = float(np.std(values, ddof=1)) if len(values) >= 2 else 0.0
        if not sd > 0:
            return None
        return {"mean": float(np.mean(values)), "sd": sd, "n": len(values),
                "source": f"the lab reference {self.path}"}

    def source(self):
        """What the report says of the reference."""
        return {"path": self.path, "subjects": len(self.subjects),
                "settings": settings_text(self.settings)}


def _refuse(path, what):
    raise ReferenceError(f"the reference file {path} {what}",
                         f"give a file written by {BUILD}")


def read_reference(path):
    """The ``Reference`` in the JSON file ``path``, its layout checked."""
    def refuse(what):
        _refuse(path, what)

    try:
        data = tables.read_small_file(path, MAX_REFERENCE_BYTES, lambda what: refuse(
            what + ", far larger than a reference"))
    except OSError as exc:
        raise OSError(exc.errno, f"cannot read the reference file {path} "
                                 f"({exc.strerror or exc}), give the path of a file written "
                                 f"by {BUILD}") from None
    try:
        record = json.loads(data.decode("utf-8"), parse_constant=lambda name: refuse(
            f"holds {name}, which is no number"))
    except (UnicodeDecodeError, ValueError) as exc:
        if isinstance(exc, ReferenceError):
            raise
        refuse("is not a JSON file")
    if not isinstance(record, dict) or record.get("format") != FORMAT:
        refuse("is not a reference of EMG over the gait cycle")
    version = record.get("version")
    if not isinstance(version, int) or version < 1:
        refuse(f"has no valid version ({version!r})")
    if version > VERSION:
        raise ReferenceError(f"the reference file {path} has version {version}, made by a "
                             f"newer release (this one reads version {VERSION})",
                             "upgrade quorvaemg, or build the reference again with this one")
    _check_layout(record, refuse)
    return Reference(path, record)


def _check_layout(record, refuse):
    settings = record.get("settings")
    if not isinstance(settings, dict) or not (
            isinstance(settings.get("envelope"), str) and isinstance(settings.get("normalise"), str)
            and _is_number(settings.get("threshold")) and _is_number(settings.get("merge"))):
        refuse("has no settings (envelope, normalise, threshold, merge)")
    settings.setdefault("points", 101)
    if not isinstance(record.get("subjects"), list):
        refuse("lists no subjects")
    muscles = record.get("muscles")
    if not isinstance(muscles, list):
        refuse("holds no muscles")
    for k, muscle in enumerate(muscles, 1):
        what = f"muscle {k}"
        if not isinstance(muscle, dict) or muscle.get("side") not in ("Left", "Right") or \
                not isinstance(muscle.get("muscle"), str):
            refuse(f"has no side (Left or Right) or no muscle in {what}")
        if not _curve(muscle.get("mean")) or not (muscle.get("sd") is None
                                                   or _curve(muscle["sd"], 0.0)):
            refuse(f"has no curve of 101 finite numbers as the mean or SD of {what} "
                   f"({muscle['side']} {muscle['muscle']})")
        if not isinstance(muscle.get("subjects"), list) or not isinstance(muscle.get("periods"),
                                                                          list):
            refuse(f"lists no subjects or periods for {what}")
        for period in muscle["periods"]:
            if not isinstance(period, dict) or not all(
                    _is_number(period.get(key)) or (key.endswith("_sd") and period.get(key) is None)
                    for key in ("on", "on_sd", "off", "off_sd")):
                refuse(f"has a period without its on, off and SDs in {what}")


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _curve(values, least=None):
    return (isinstance(values, list) and len(values) == 101 and all(map(_is_number, values))
            and (least is None or min(values) >= least))
