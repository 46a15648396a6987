"""Muscle activity in normal walking (``normal_activity.csv`` in this package)
and the periods of the cycle the comparison with it works in.  Keep to
Python 3.7.
"""

import os
import re

from quorvaemg_gait import tables

NORMAL_TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "normal_activity.csv")
NORMAL_FILE = tables.TableFile("table of normal activity", "its path (normal_activity.csv)",
                               "muscle,on,off,source")
DEVIATIONS = ("premature", "prolonged", "absent", "additional")
_SOURCE_KEY = re.compile(r"^\w+: ")


def split_period(on, off):
    """A period of the cycle as intervals inside 0-100 %; one through foot strike is two."""
    return [(on, off)] if on <= off else [(on, 100.0), (0.0, off)]


def intervals(periods):
    """Periods of the cycle as intervals inside 0-100 % (``split_period`` of each)."""
    return [part for on, off in periods for part in split_period(on, off)]


def join_periods(intervals):
    """Sorted intervals inside 0-100 % as periods of the cycle, ``split_period``
    undone: one ending at 100 % and one starting at 0 % are a single period
    through foot strike, given as (on, off) with off < on, last."""
    periods = sorted(intervals)
    if len(periods) > 1 and periods[0][0] <= 0.0 and periods[-1][1] >= 100.0:
        through = (periods[-1][0], periods[0][1])
        periods = periods[1:-1] + [through]
    return periods


def period_length(on, off):
    """The length of a period of the cycle in %, one through foot strike included."""
    return off - on if on <= off else off + 100.0 - on


def without_short_deviations(comparison, merge):
    """``comparison`` (of ``compare_with_normal``) without the premature, prolonged,
    absent and additional periods shorter than ``merge`` % of the cycle.

    Activity is timed with stretches under ``merge`` merged into their
    surroundings, so a shorter deviation says nothing the analysis can tell
    apart from no deviation.  A period through foot strike counts with its
    whole length.  The agreement is kept as computed.
    """
    kept = dict(comparison)
    for key in DEVIATIONS:
        kept[key] = sorted(intervals(period for period in join_periods(comparison[key])
                                     if period_length(*period) >= merge))
    return kept


class NormalTable:
    """The table read once: ``periods`` {muscle: (periods as (on, off) in % of the
    cycle, as listed, source names)} and ``sources``, the full references of the
    table's sources (see ``normal_sources``)."""

    def __init__(self, periods, sources):
        self.periods, self.sources = periods, sources


def read_normal(path=NORMAL_TABLE):
    """The ``NormalTable`` of the file at ``path``, its text read and parsed once."""
    text = NORMAL_FILE.text(path)
    table = {}
    for number, cells in NORMAL_FILE.rows_of(path, text):
        if cells[0] == "muscle":
            continue
        periods, sources = table.setdefault(cells[0], ([], []))
        periods.append((float(cells[1]), float(cells[2])))
        if cells[3] not in sources:
            sources.append(cells[3])
    return NormalTable(table, _header_sources(text.splitlines(True)))


def _header_sources(lines):
    """The references listed under "Sources:" in the comment header, as a reader
    cites them: without the key (``Perry2010: ``) that the rows name them by."""
    entries, inside = [], False
    for line in lines:
        text = " ".join(line.lstrip("#").split())
        if not line.startswith("#") or (inside and not text):
            break
        key = _SOURCE_KEY.match(text)
        if inside and key:
            entries.append(text[key.end():])
        elif inside and entries:
            entries[-1] += " " + text
        inside = inside or text == "Sources:"
    return entries


def normal_activity(path=NORMAL_TABLE):
    """{muscle: (periods as (on, off) in % of the cycle, as listed, source names)}."""
    return read_normal(path).periods


def normal_sources(path=NORMAL_TABLE):
    """The full references of the table's sources, from its comment header, as a
    reader cites them: without the key (``Perry2010: ``) that the rows name them by."""
    return read_normal(path).sources
