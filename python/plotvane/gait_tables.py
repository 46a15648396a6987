"""The text pages' pieces of the gait-cycle EMG report: lines flowing down
pages, table rows, the numbers that set a channel against the lab reference
and its cycles against each other, and the co-contraction page and tables.

What the gait analysis did not give (results of older code, or no reference
asked for) is drawn as nothing at all: each table and the co-contraction page
come only with numbers to show.  Never pyplot; keep to Python 3.7.
"""

from matplotlib.ticker import MultipleLocator

from plotvane import (ACCENT, CONTENT_BOTTOM, CONTENT_W, INK, MARGIN_TOP, MARGIN_X, MUTED,
                      PAGE_H, TITLE_SIZE, Page, line_pitch, shorten, wrap)
from plotvane.layout import title

SIDES = ("Left", "Right")
SIDE_COLOURS = {"Left": "#b2182b", "Right": "#2166ac"}
WARNING = "#c0392b"
BODY_SIZE = 10
HEAD_SIZE = 13
TABLE_SIZE = 8.5
COCONTRACTION_TITLE = "Co-contraction (Falconer and Winter)"
CCI_EXPLAINED = ("CCI = 2 x area under both curves' minimum / area under their sum x 100 %, "
                 "of each cycle's amplitude-normalised curves; mean ± SD over the cycles "
                 "(0 %: never active together, 100 %: the same curve).")
AGAINST_COLUMNS = (("Muscle", 1.35), ("Side", 0.45), ("Channel", 0.95), ("r", 0.5),
                   ("cos", 0.5), ("RMS (SD)", 0.75), ("Outside ± 2 SD", 2.0),
                   ("Onset shift", 1.95), ("Offset shift", 1.95))
CONSISTENCY_COLUMNS = (("Muscle", 1.35), ("Side", 0.45), ("Channel", 0.95), ("Cycles", 0.6),
                       ("VR", 0.6), ("Cosine", 0.7), ("Verdict", 2.5))
PAIR_COLUMNS = (("Muscles", 2.6), ("Channels", 1.6), ("Whole cycle, %", 1.35),
                ("Stance, %", 1.35), ("Swing, %", 1.35), ("Cycles", 0.6))
CHART_MIN = 1.3     # inches: a co-contraction chart lower than this would be cramped


class Flow:
    """Text lines flowing down pages, a new page when one is full."""

    def __init__(self, measure, heading):
        self.measure, self.heading = measure, heading
        self.pages = []
        self._new_page()

    def _new_page(self):
        page = Page(self.measure)
        self.pages.append(page)
        self.y = PAGE_H - MARGIN_TOP - TITLE_SIZE / 72.0
        title = self.heading if len(self.pages) == 1 else self.heading + " (continued)"
        page.text(MARGIN_X, self.y, title, TITLE_SIZE if len(self.pages) == 1 else HEAD_SIZE,
                  weight="bold", color=ACCENT)
        self.y -= 0.25

    def line(self, text, size=BODY_SIZE, weight="normal", color=INK, indent=0.0, gap=0.0):
        prop = self.measure.prop(size, weight)
        for part in wrap(text, CONTENT_W - indent, prop, self.measure):
            self.y -= line_pitch(size) + gap
            gap = 0.0
            if self.y < CONTENT_BOTTOM + 0.1:
                self._new_page()
                self.y -= line_pitch(size)
            self.pages[-1].text(MARGIN_X + indent, self.y, part, size, weight=weight,
                                color=color)

    def section(self, title, rows=0):
        """A heading, on a new page unless ``rows`` table rows fit under it."""
        if rows and self.y - 0.15 - line_pitch(HEAD_SIZE) - rows * line_pitch(TABLE_SIZE) \
                < CONTENT_BOTTOM + 0.1:
            self._new_page()
        self.line(title, HEAD_SIZE, "bold", ACCENT, gap=0.15)


def table_row(flow, columns, cells, weight="normal", color=INK):
    """One row of ``cells`` under ``columns`` ((header, width in inches)), each
    cell cut short to its column."""
    flow.line("", TABLE_SIZE)
    x = MARGIN_X
    prop = flow.measure.prop(TABLE_SIZE, weight)
    for (_, width), cell in zip(columns, cells):
        flow.pages[-1].text(x, flow.y, shorten(str(cell), width - 0.08, prop, flow.measure),
                            TABLE_SIZE, weight=weight, color=color)
        x += width


def _table(flow, columns, rows):
    """A header and ``rows`` of (cells, colour)."""
    table_row(flow, columns, [name for name, _ in columns], "bold")
    for cells, color in rows:
        table_row(flow, columns, cells, color=color)


# -- the numbers of one channel ----------------------------------------------------

def _number(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def outside_text(outside):
    """Where the mean leaves the reference's ± 2 SD, e.g. "40-55 % above, 90-95 % below"."""
    return ", ".join(f"{start:.0f}-{end:.0f} % {where}" for start, end, where in outside)


def _shift(value, sd):
    if value is None:
        return None
    return f"{value:+.0f} %" + ("" if sd is None else f" ({abs(sd):.1f} SD)")


def shifts_text(shifts, key):
    """The onset or offset shifts (``key`` "onset"/"offset") of each reference
    period, "; " between periods and "-" for a period not matched."""
    texts = [None if shift is None else _shift(shift.get(key + "_shift"), shift.get(key + "_sd"))
             for shift in shifts or ()]
    return "; ".join(text or "-" for text in texts) or "-"


def against_line(against):
    """The panel's line of numbers of a channel against the lab reference."""
    parts = [f"{label} {value:.2f}" for label, value in
             (("r", against.get("correlation")), ("cos", against.get("cosine")))
             if value is not None]
    if against.get("rms_sd") is not None:
        parts.append(f"RMS {against['rms_sd']:.1f} SD")
    text = "vs reference: " + (", ".join(parts) or "no numbers")
    outside = against.get("outside") or []
    if outside:
        text += "; outside " + outside_text(outside)
    elif against.get("rms_sd") is not None:
        text += "; within ± 2 SD"
    return text


def consistency_line(consistency, limit):
    text = (f"cycles: VR {consistency['variance_ratio']:.2f}, "
            f"cos {_number(consistency['cosine'])}")
    if not consistency["consistent"]:
        text += " - " + _verdict(consistency, limit)
    return text


def _verdict(consistency, limit):
    if consistency["consistent"]:
        return "consistent"
    return "INCONSISTENT" + ("" if limit is None else f" (VR > {limit:g})")


def _mean_sd(pair):
    mean, sd = pair if pair is not None else (None, None)
    if mean is None:
        return "-"
    return f"{mean:.0f}" + ("" if sd is None else f" ± {sd:.0f}")


# -- the last pages' tables --------------------------------------------------------

def reference_tables(flow, result):
    """After the timing table: the channels against the lab reference, their
    cycles' consistency and the co-contraction, each when there is one."""
    channels = result.channels
    against = [(ch, getattr(ch, "against", None)) for ch in channels]
    source = getattr(result, "reference_source", None)
    if source is not None or any(a is not None for _, a in against):
        flow.section("Against the lab reference", rows=3)
        rows = [([ch.full_name, ch.side, ch.name, _number(a.get("correlation")),
                  _number(a.get("cosine")), _number(a.get("rms_sd"), 1),
                  outside_text(a.get("outside") or []) or "-",
                  shifts_text(a.get("shifts"), "onset"), shifts_text(a.get("shifts"), "offset")],
                 INK) for ch, a in against if a is not None]
        if rows:
            _table(flow, AGAINST_COLUMNS, rows)
            flow.line("Each channel's mean curve against the reference mean: r, their "
                      "correlation; cos, their cosine similarity; RMS, the root-mean-square "
                      "difference in reference SDs.  Shifts of the onset and offset of each "
                      "reference period in % of the cycle and in the reference's SD.",
                      size=8, color=MUTED, gap=0.1)
        for ch in channels:
            note = getattr(ch, "reference_note", None)
            if note:
                flow.line(f"{ch.name}: {note}", size=8, color=MUTED)
        if source is not None:
            flow.line(reference_text(source), size=8, color=MUTED, gap=0.1)
    consistent = [(ch, getattr(ch, "consistency", None)) for ch in channels]
    if any(c is not None for _, c in consistent):
        limit = getattr(result, "consistency_limit", None)
        flow.section("Consistency of the cycles", rows=3)
        _table(flow, CONSISTENCY_COLUMNS, [
            ([ch.full_name, ch.side, ch.name, len(ch.analysis["curves"]),
              _number(c["variance_ratio"]), _number(c["cosine"]), _verdict(c, limit)],
             INK if c["consistent"] else WARNING) for ch, c in consistent if c is not None])
        flow.line("VR: variance ratio of the cycles about their mean curve (0: all alike); "
                  "cosine: how alike the cycles' shapes are (1: the same shape).", size=8,
                  color=MUTED, gap=0.1)
    pairs = getattr(result, "cocontraction", None) or []
    if pairs:
        flow.section(COCONTRACTION_TITLE, rows=3)
        columns = (("Side", 0.6),) + PAIR_COLUMNS
        _table(flow, columns, [([pair["side"]] + _pair_cells(result, pair), INK) for pair in pairs])


def reference_text(source):
    subjects = source.get("subjects")
    text = "Lab reference: " + str(source.get("path"))
    if subjects is not None:
        text += f" ({subjects} subject{'' if subjects == 1 else 's'})"
    if source.get("settings"):
        text += "; " + str(source["settings"])
    return text


def _pair_cells(result, pair):
    # The muscles' full names as their channels' pages show them.
    names = {ch.name: ch.full_name for ch in result.channels}
    muscles = [names.get(pair["channel_" + k], pair["muscle_" + k]) for k in "ab"]
    phases = pair.get("phases") or {}
    return [" / ".join(muscles), f"{pair['channel_a']} / {pair['channel_b']}"] + [
        _mean_sd(phases.get(key)) for key in ("whole", "stance", "swing")] + [pair["cycles"]]


# -- the co-contraction page ---------------------------------------------------------

def cocontraction_pages(result, measure):
    """The co-contraction page(s): per side a table of the muscle pairs and a
    bar chart of their whole-cycle index; the note when there is none; no
    page when the analysis said nothing of it."""
    pairs = getattr(result, "cocontraction", None) or []
    note = getattr(result, "cocontraction_note", None)
    if not pairs and not note:
        return []
    flow = Flow(measure, COCONTRACTION_TITLE)
    if not pairs:
        flow.line(note, color=MUTED)
        return flow.pages
    flow.line(CCI_EXPLAINED, size=9, color=MUTED)
    by_side = {side: [p for p in pairs if p["side"] == side] for side in SIDES}
    for side in SIDES:
        if by_side[side]:
            flow.section(side, rows=3)
            _table(flow, PAIR_COLUMNS, [(_pair_cells(result, pair), INK) for pair in by_side[side]])
    room = flow.y - 0.55 - (CONTENT_BOTTOM + 0.45)  # the axes' title above, labels below
    if len(flow.pages) == 1 and room >= CHART_MIN:
        _chart(flow.pages[-1], by_side, flow.y - 0.55, min(room, 0.35 * len(pairs) + 0.6))
    return flow.pages


def _chart(page, by_side, top, height):
    gap = 0.7
    label_w = 1.6
    width = (CONTENT_W - gap) / 2.0 - label_w
    for k, side in enumerate(SIDES):
        x0 = MARGIN_X + label_w + k * (width + label_w + gap)
        ax = page.axes(x0, top - height, width, height)
        title(ax, f"{side}: whole cycle", fontsize=10, loc="left")
        ax.set_xlim(0, 100)
        ax.xaxis.set_major_locator(MultipleLocator(20))
        ax.set_xlabel("CCI, %", fontsize=9)
        pairs = by_side[side]
        if not pairs:
            ax.set_yticks([])
            ax.text(50, 0.5, "no pair", ha="center", va="center", fontsize=9, color=MUTED,
                    transform=ax.get_xaxis_transform())
            continue
        means, errors = [], []
        for pair in pairs:
            mean, sd = (pair.get("phases") or {}).get("whole") or (None, None)
            means.append(0.0 if mean is None else mean)
            errors.append(0.0 if sd is None else sd)
        rows = range(len(pairs))
        ax.barh(rows, means, xerr=errors, height=0.6, color=SIDE_COLOURS[side], alpha=0.7,
                error_kw={"elinewidth": 0.8, "capsize": 2, "ecolor": INK})
        ax.set_ylim(len(pairs) - 0.4, -0.6)
        ax.set_yticks(list(rows))
        ax.set_yticklabels([f"{p['muscle_a']} / {p['muscle_b']}" for p in pairs], fontsize=8)
