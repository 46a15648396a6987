"""The gait-cycle EMG report: ``<trial>_EMGGait.pdf``.

A first page with the subject, the trials, the cycles used and left out per
side, the settings, signal-quality verdicts when given and the channels left
out; one page per muscle with the left and the right side next to each other
(every cycle thin, mean and SD band, mean foot off, detected activity as bars
under the curve beside the normal activity in grey, and with a lab reference
its band under the curves, its periods among the bars and a line of numbers
against it and of the cycles against each other); the co-contraction of
muscle pairs when the analysis gives it; then the timing table and the
tables of ``plotvane.gait_tables``.
The analysis comes as a ``GaitResult`` of ``quorvaemg_gait.gait``, holding all
that the pages show (names, periods, the normal table's sources): this
module only lays it out, the muscle pages through ``plotvane.gait_muscles``.

Same page, fonts and atomic write as the EMG report; never pyplot.
"""

import datetime
import functools
import os

import matplotlib

from plotvane import INK, MUTED, RC, Measure, safe_file_part, write_atomically
from plotvane.gait_muscles import Frame, muscle_page
from plotvane.gait_tables import (WARNING, Flow, cocontraction_pages, reference_tables,
                                  table_row)
from plotvane.pages import write_pages
from plotvane.synergies import dmc_table, synergy_pages

GAIT_SUFFIX = "_EMGGait.pdf"
TITLE = "Gait-cycle EMG"
# A muscle page holds a hundred thousand points or more: zlib's level 3 packs
# them in a third of the time that matplotlib's 6 takes, into a file some
# 15 % larger.
GAIT_RC = dict(RC, **{"pdf.compression": 3})
TABLE_COLUMNS = (("Muscle", 1.35), ("Side", 0.45), ("Channel", 0.95), ("Active (mean), %", 1.7),
                 ("Normal, %", 1.0), ("Agreement", 0.85), ("Premature", 1.0),
                 ("Prolonged", 1.0), ("Absent", 0.95), ("Additional", 1.0))


def write_gait_report(result, folder, jobs=1):
    """Write the report of ``result`` into ``folder``; its path.  ``jobs`` > 1:
    its pages drawn by that many processes where the system allows
    (``plotvane.pages``); the document is the same."""
    final = os.path.join(folder, safe_file_part(result.name) + GAIT_SUFFIX)
    metadata = {"Title": f"{TITLE}: {result.name}", "Creator": "plotvane",
                "Subject": f"EMG over the gait cycle, subject {result.subject}",
                "Keywords": "EMG; gait"}
    return write_atomically(final, lambda fh: _write(fh, result, metadata, jobs))


def _write(fh, result, metadata, jobs):
    measure = Measure()
    info = {"subject": result.subject, "trial": result.name,
            "date": datetime.date.today().isoformat()}
    with matplotlib.rc_context(GAIT_RC):
        pages = _summary_pages(result, measure)
        # A muscle page is made where it is drawn: in a worker when there are
        # workers, each filling a frame of its own.
        frame = Frame(measure)
        for muscle, left, right in result.pages():
            pages.append(functools.partial(muscle_page, result, frame, muscle, left, right))
        pages.extend(cocontraction_pages(result, measure))
        pages.extend(synergy_pages(result, measure))
        pages.extend(_timing_pages(result, measure))
        write_pages(fh, pages, metadata,
                    lambda page, number, count: page.footer(info, number, count, TITLE), jobs)


# -- text pages ---------------------------------------------------------------------

def _periods_text(periods):
    """Periods of the cycle (on, off) in whole per cent, e.g. "61-77, 97-13"."""
    return ", ".join(f"{on:.0f}-{off:.0f}" for on, off in periods) or "none"


def _summary_pages(result, measure):
    flow = Flow(measure, TITLE)
    trials = ", ".join(t.name for t in result.prepared)
    for label, value in (("Subject", result.subject), ("Trials", trials),
                         ("Date", datetime.date.today().isoformat())):
        flow.line(f"{label}: {value}", 12)
    flow.section("Gait cycles")
    for side in ("Left", "Right"):
        used = sum(len(t.cycles[side]) for t in result.prepared)
        out = sum(len(t.left_out[side]) for t in result.prepared)
        flow.line(f"{side}: {used} cycle{'' if used == 1 else 's'} used, {out} left out",
                  weight="bold")
        for trial in result.prepared:
            reasons = [f"{start:.2f}-{end:.2f} s {reason}"
                       for start, end, reason in trial.left_out[side]]
            if side in trial.notes:
                reasons.append(trial.notes[side])
            flow.line(f"{trial.name}: {len(trial.cycles[side])} used"
                      + (f"; left out: {'; '.join(reasons)}" if reasons else ""), indent=0.25)
    sources = {}
    for trial in result.prepared:
        sources.setdefault(trial.event_source or "the trial's events", []).append(trial.name)
    flow.line("Gait events from " + "; ".join(f"{source} ({', '.join(names)})"
                                              for source, names in sources.items()))
    for line in (line for trial in result.prepared for line in trial.warnings):
        flow.line(line, size=9, color=WARNING, indent=0.25)  # what reading a file had to say
    flow.section("Settings")
    for label, value in result.settings.describe():
        flow.line(f"{label}: {value}")
    if result.verdicts:
        flow.section("Signal quality")
        for channel, (verdict, reasons) in result.verdicts.items():
            flow.line(f"{channel}: {verdict}" + (f" ({reasons})" if reasons else ""),
                      color=INK if verdict == "good" else WARNING)
    if result.left_out:
        flow.section("Channels left out")
        for line in result.left_out_lines():
            flow.line(line)
        if any(reason == result.unknown for _, reason in result.left_out):
            flow.line("(name the side and muscle of a channel in a channel,side,muscle file "
                      "given with --muscles)", color=MUTED)
    if result.refused:
        flow.section("Trials not used")
        for label, reason in result.refused:
            flow.line(f"{label}: {reason}", color=WARNING)
    return flow.pages


def _timing_pages(result, measure):
    flow = Flow(measure, "Activity timing against normal walking")
    flow.line("On and off in whole % of the gait cycle (0 = foot strike), from each channel's "
              "mean curve; periods that run through foot strike are shown as on-off with "
              f"off < on.  Deviations shorter than {result.settings.merge:g} % of the cycle "
              "(the merge length) are not listed.", size=9, color=MUTED)
    header = [name for name, _ in TABLE_COLUMNS]
    rows = []
    for ch in result.channels:
        cells = [ch.full_name, ch.side, ch.name, _periods_text(ch.mean_periods),
                 _periods_text(ch.normal) if ch.normal else "no pattern"]
        if ch.comparison:
            cells.append(f"{ch.comparison['agreement']:.0f} %")
            cells += [_periods_text(ch.deviation_periods[key]) for key in result.deviations]
        rows.append(cells)
    table_row(flow, TABLE_COLUMNS, header, "bold")
    for cells in rows:
        table_row(flow, TABLE_COLUMNS, cells)
    flow.line("Normal periods as summarised from: " + " ".join(result.normal_sources), size=8,
              color=MUTED, gap=0.2)
    reference_tables(flow, result)
    dmc_table(flow, result)
    return flow.pages
