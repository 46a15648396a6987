"""The muscle-synergy pages of the gait-cycle EMG report and the walk-DMC
table among its last tables.

One page per side: the variance that k = 1 ... K synergies account for
(tVAF) with the number that reaches 90 % marked, the walk-DMC with the
group it was scaled against (or why there is none), and each synergy of
that number as its weights (bars, one per muscle) over its activation
through the cycle (mean and SD band over the cycles).  Drawn from the plain
data the gait analysis hands over (each side's ``synergies`` entry: tvaf,
weights, activation_mean and _sd per k, muscles, enough, shown, dmc); each
set of bars and each band is one collection.  Never pyplot; keep to
Python 3.7.
"""

import numpy as np
from matplotlib.collections import PolyCollection

from plotvane import (ACCENT, CONTENT_W, INK, MARGIN_TOP, MARGIN_X, MUTED, PAGE_H, PAGE_W,
                      TITLE_SIZE, Page, line_pitch, wrap)
from plotvane.gait_tables import SIDE_COLOURS, WARNING, table_row
from plotvane.layout import title

ENOUGH_PERCENT = 90.0
DMC_TITLE = "Dynamic motor control (walk-DMC)"
DMC_EXPLAINED = ("walk-DMC = 100 + 10 x (group's mean tVAF1 - tVAF1) / group's SD: 100 is the "
                 "typically developing group's mean; every 10 below it, one SD more of the "
                 "variance in one synergy, that is less independent control of the muscles.")
DMC_COLUMNS = (("Side", 0.6), ("Muscles of the index", 3.0), ("tVAF1", 0.7), ("walk-DMC", 0.9),
               ("Synergies for 90 %", 1.45), ("Scaled against", 3.8))
TEXT_SIZE = 9
SYNERGY_ROW = (0.95, 2.45, 2.75, 3.85)  # inches: activations from-to, weights from-to


def synergy_pages(result, measure):
    """A page per side that has synergies; none when they were not asked for."""
    return [_side_page(found, measure) for found in getattr(result, "synergies", None) or []]


def _side_page(found, measure):
    page = Page(measure)
    top = PAGE_H - MARGIN_TOP - TITLE_SIZE / 72.0
    page.text(MARGIN_X, top, f"Muscle synergies: {found.side.lower()} side", 18, weight="bold",
              color=ACCENT)
    cycles = f"{found.cycles} cycle{'' if found.cycles == 1 else 's'}"
    page.text(PAGE_W - MARGIN_X, top, f"{cycles} of {len(found.muscles)} muscles, each scaled "
                                      "to unit variance", 9, color=MUTED, ha="right")
    colour = SIDE_COLOURS.get(found.side, ACCENT)
    _tvaf_chart(page.axes(MARGIN_X + 0.55, 4.95, 3.6, 1.95), found, colour)
    _dmc_text(page, found, (MARGIN_X + 4.75, top - 0.55, CONTENT_W - 4.75))
    _synergy_columns(page, found, colour)
    return page


def _tvaf_chart(ax, found, colour):
    k = np.arange(1, len(found.tvaf) + 1)
    tvaf = 100.0 * np.asarray(found.tvaf, dtype=float)
    ax.axhline(ENOUGH_PERCENT, color=MUTED, linewidth=0.8, linestyle="--")
    ax.plot(k, tvaf, color=colour, linewidth=1.5, marker="o", markersize=4)
    if found.enough is not None:
        at = found.enough
        ax.plot([at], [tvaf[at - 1]], marker="o", markersize=10, markerfacecolor="none",
                markeredgecolor=INK, markeredgewidth=1.2)
        label = f"{at} synerg{'y' if at == 1 else 'ies'}: {tvaf[at - 1]:.1f} %"
    else:
        label = f"no k up to {len(k)} reaches {ENOUGH_PERCENT:g} %"
    title(ax, "Variance accounted for, tVAF(k); " + label, fontsize=9, loc="left")
    ax.set_xlim(0.5, len(k) + 0.5)
    ax.set_xticks(k)
    ax.set_ylim(min(50.0, float(np.min(tvaf)) - 5.0), 101.0)
    ax.set_xlabel("synergies, k", fontsize=8)
    ax.set_ylabel("tVAF, %", fontsize=8)


def dmc_value_text(dmc):
    """The index as the tables show it, or "-"."""
    return "-" if dmc.get("value") is None else f"{dmc['value']:.1f}"


def group_text(group):
    """e.g. "the lab reference lab.json: tVAF1 0.812 ± 0.031 (12 subjects)"."""
    n = group.get("n")
    count = "" if n is None else f" ({n} subject{'' if n == 1 else 's'})"
    return (f"{group.get('source', 'the group')}: tVAF1 {group['mean']:.3f} ± "
            f"{group['sd']:.3f}{count}")


def _dmc_text(page, found, box):
    x, y, width = box
    dmc = found.dmc
    lines = []
    if dmc.get("value") is not None:
        page.text(x, y, f"walk-DMC {dmc['value']:.1f}", 20, weight="bold", color=INK)
        y -= 0.15
        lines += [(f"tVAF1 {dmc['tvaf1']:.3f} of " + ", ".join(dmc["channels"]), INK),
                  ("scaled against " + group_text(dmc["group"]), INK),
                  (DMC_EXPLAINED, MUTED)]
    else:
        page.text(x, y, "walk-DMC: none", 14, weight="bold", color=MUTED)
        y -= 0.1
        lines.append((dmc.get("note", ""), WARNING))
    if found.enough is not None:
        vaf = [f"{m} {100 * v:.0f} %" for m, v in zip(found.muscles,
                                                      found.muscle_vaf[found.enough - 1])]
        lines.append((f"Each muscle's VAF with {found.enough} synerg"
                      f"{'y' if found.enough == 1 else 'ies'}: " + ", ".join(vaf), INK))
    prop = page.measure.prop(TEXT_SIZE)
    for text, colour in lines:
        y -= 0.08
        for part in wrap(text, width, prop, page.measure):
            y -= line_pitch(TEXT_SIZE)
            page.text(x, y, part, TEXT_SIZE, color=colour)


def _synergy_columns(page, found, colour):
    """Each synergy of the number shown: its weights over its activation."""
    count = found.shown
    weights = np.asarray(found.weights[count - 1], dtype=float)
    mean = np.asarray(found.activation_mean[count - 1], dtype=float)
    sd = found.activation_sd[count - 1]
    gap = 0.45
    width = (CONTENT_W - 0.45 - gap * (count - 1)) / count
    low, high, bar_low, bar_high = SYNERGY_ROW
    peak = float(np.max(mean + (0.0 if sd is None else np.asarray(sd)))) or 1.0
    page.text(MARGIN_X, bar_high + 0.5, f"The {count} synerg{'y' if count == 1 else 'ies'}: "
              "weights (each synergy's of length 1) and activation over the cycle, mean ± SD "
              "over the cycles", 10, weight="bold", color=INK)
    for s in range(count):
        x0 = MARGIN_X + 0.45 + s * (width + gap)
        _weight_bars(page.axes(x0, bar_low, width, bar_high - bar_low), found.muscles,
                     weights[:, s], colour, f"Synergy {s + 1}")
        ax = page.axes(x0, low, width, high - low)
        x = np.linspace(0.0, 100.0, mean.shape[1])
        if sd is not None:
            band = np.asarray(sd[s], dtype=float)
            ax.fill_between(x, np.maximum(mean[s] - band, 0.0), mean[s] + band, color=colour,
                            alpha=0.25, linewidth=0)
        ax.plot(x, mean[s], color=colour, linewidth=1.6)
        ax.set_xlim(0, 100)
        ax.set_ylim(0, peak * 1.05)
        ax.tick_params(labelsize=7)
        ax.set_xlabel("% of the gait cycle", fontsize=8)
        if s:
            ax.set_yticklabels([])


def _weight_bars(ax, muscles, weights, colour, heading):
    # One collection for all the bars.
    ax.add_collection(PolyCollection(
        [[(k - 0.35, 0.0), (k + 0.35, 0.0), (k + 0.35, w), (k - 0.35, w)]
         for k, w in enumerate(weights)], facecolors=colour, alpha=0.8, linewidths=0))
    ax.set_xlim(-0.6, len(muscles) - 0.4)
    ax.set_ylim(0, 1.05)
    ax.set_xticks(range(len(muscles)))
    ax.set_xticklabels(muscles, fontsize=7, rotation=90 if len(muscles) > 8 else 0)
    ax.set_yticks([0, 0.5, 1])
    ax.tick_params(labelsize=7)
    title(ax, heading, fontsize=9, loc="left")


def dmc_table(flow, result):
    """In the last tables: each side's walk-DMC and what it was scaled against,
    and the sides without synergies with the reason."""
    found = getattr(result, "synergies", None) or []
    notes = getattr(result, "synergy_notes", None) or []
    if not found and not notes:
        return
    flow.section(DMC_TITLE, rows=3)
    table_row(flow, DMC_COLUMNS, [name for name, _ in DMC_COLUMNS], "bold")
    for side in found:
        dmc = side.dmc
        enough = "-" if side.enough is None else (
            f"{side.enough} ({100 * side.tvaf[side.enough - 1]:.1f} %)")
        if dmc.get("value") is not None:
            cells = [", ".join(dmc["channels"]), f"{dmc['tvaf1']:.3f}", dmc_value_text(dmc),
                     enough, group_text(dmc["group"])]
            colour = INK
        else:
            cells = ["-", "-", "-", enough, dmc.get("note", "")]
            colour = MUTED
        table_row(flow, DMC_COLUMNS, [side.side] + cells, color=colour)
    for note in notes:
        flow.line(note, size=8, color=MUTED)
    flow.line(DMC_EXPLAINED, size=8, color=MUTED, gap=0.1)
    # The table cuts the reasons short: in full here, once for both sides
    # when they share it.
    reasons = {}
    for side in found:
        if side.dmc.get("note"):
            reasons.setdefault(side.dmc["note"], []).append(side.side)
    for note, sides in reasons.items():
        flow.line(" and ".join(sides) + ": " + note, size=8, color=MUTED)
