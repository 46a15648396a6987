"""The muscle pages of the gait-cycle EMG report: the left and the right side
of one muscle next to each other, each a panel of curves over the gait cycle
(every cycle thin, mean and SD band, mean foot off, with a lab reference its
band under the curves) over a panel of bars (each cycle's detected activity,
the mean's, the reference's periods and the normal activity in grey), and
between them a line of numbers against the reference and of the cycles
against each other.

The four panels of a page are made once per process (``Frame``) and emptied
for each muscle in turn: making axes and their ticks cost as much as
drawing them.  Never pyplot; keep to Python 3.7.
"""

import numpy as np
from matplotlib.scale import LinearScale
from matplotlib.ticker import NullFormatter

from plotvane.gait_tables import SIDE_COLOURS, WARNING, against_line, consistency_line
from plotvane.layout import (ACCENT, CONTENT_W, INK, MARGIN_TOP, MARGIN_X, MUTED, PAGE_H,
                             PAGE_W, TITLE_SIZE, Page, line_pitch, plain, shorten, title, wrap)
from plotvane.strokes import Boxes, Lines

NORMAL_GREY = "#a0a0a0"
BAND_GREY = "#dcdcdc"       # the lab reference's mean ± SD, under the patient's curves
REFERENCE_GREY = "#7a7a7a"  # its mean and its periods
TITLE_SIZES = (11, 10, 9, 8)
NUMBERS_Y = 2.81            # inches: the first line of numbers, above the bars
NOTE_SIZE = 7.5
NOTE_HEIGHT = 0.035  # of a curve panel's height, per line of NOTE_SIZE
PANEL_GAP = 0.7      # inches between the left and the right side


class Frame:
    """The page of the muscle pages, with its four panels: made on first use
    in a process, emptied for each muscle after."""

    def __init__(self, measure):
        self.measure = measure
        self._made = None

    def emptied(self):
        """(page, [(curves axes, bars axes, (left, width) in inches) of the
        left side, of the right]), with nothing of an earlier muscle on them."""
        if self._made is None:
            page = Page(self.measure)
            width = (CONTENT_W - PANEL_GAP) / 2.0
            panels = []
            for k in range(2):
                x0 = MARGIN_X + 0.45 + k * (width + PANEL_GAP)
                curve_ax = page.axes(x0, 3.0, width - 0.45, 3.75)
                bar_ax = page.axes(x0, 1.15, width - 0.45, 1.45)
                # Never labelled: placed by hand, no tick label is measured to place them.
                curve_ax.xaxis.set_label_coords(0.5, 0.0)
                bar_ax.yaxis.set_label_coords(0.0, 0.5)
                panels.append((curve_ax, bar_ax, (x0, width - 0.45)))
            self._made = page, panels
            return self._made
        page, panels = self._made
        for artist in page.fig.artists + page.fig.texts + page.fig.lines + page.fig.patches:
            artist.remove()
        for ax in (ax for curve_ax, bar_ax, _ in panels for ax in (curve_ax, bar_ax)):
            for artist in ax.lines + ax.collections + ax.texts + ax.patches:
                artist.remove()
            ax.set_xlabel("")
            ax.set_ylabel("")
            title(ax, "", loc="left")
            for axis in (ax.xaxis, ax.yaxis):
                LinearScale(axis).set_default_locators_and_formatters(axis)
        return self._made


def muscle_page(result, frame, muscle, left, right):
    """The page of one muscle's sides (a channel each, or None), on ``frame``."""
    page, panels = frame.emptied()
    measure = frame.measure
    top = PAGE_H - MARGIN_TOP - TITLE_SIZE / 72.0
    name = (left or right).full_name
    page.text(MARGIN_X, top, name[:1].upper() + name[1:] + f" ({muscle})", 18, weight="bold",
              color=ACCENT)
    channels = [c for c in (left, right) if c is not None]
    units = list(dict.fromkeys(c.unit for c in channels))
    amplitude = (f"amplitude in {units[0]}" if len(units) == 1 else
                 f"amplitude: left in {left.unit}, right in {right.unit}")
    page.text(PAGE_W - MARGIN_X, top, amplitude + _grey_legend(channels), 9, color=MUTED,
              ha="right")
    bands = [_reference_band(c) for c in channels]
    peak = max([float(np.max(c.analysis["curves"])) for c in channels]
               + [float(np.max(band[1])) for band in bands if band is not None])
    width = (CONTENT_W - PANEL_GAP) / 2.0
    notes = [_quality_lines(result, channel, width - 0.55, measure) for channel in (left, right)]
    # Both sides on one scale, with room above the curves for the foot-off
    # label and the lines of quality reasons.
    top = peak / (0.9 - NOTE_HEIGHT * max(len(n) for n in notes)) if peak > 0 else 1.0
    for k, (side, channel) in enumerate((("Left", left), ("Right", right))):
        _side_panel(page, result, (side, muscle), channel, panels[k], (top, notes[k]))
    return page


def _reference(channel):
    return None if channel is None else getattr(channel, "reference", None)


def _grey_legend(channels):
    """What the greys of the page stand for: the normal activity's bars, and
    the lab reference's band when the analysis had one."""
    subjects = sorted({_reference(c)["subjects"] for c in channels if _reference(c)})
    if not subjects:
        return "; grey: normal activity"
    normal = "; grey: normal activity" if any(c.normal_parts for c in channels) else ""
    many = "" if subjects == [1] else "s"
    return normal + f"; grey band: lab reference ({'/'.join(map(str, subjects))} subject{many})"


def _reference_band(channel):
    """(low, high) of the reference's mean ± SD (the mean alone without an SD),
    or None."""
    reference = _reference(channel)
    if not reference:
        return None
    mean = np.asarray(reference["mean"], dtype=float)
    sd = reference.get("sd")
    sd = np.zeros_like(mean) if sd is None else np.asarray(sd, dtype=float)
    return mean - sd, mean + sd


def _reference_parts(channel):
    """The reference periods as intervals inside 0-100 %, one through foot
    strike in two pieces; None without a reference."""
    reference = _reference(channel)
    if not reference:
        return None
    parts = []
    for period in reference.get("periods") or ():
        on, off = period["on"], period["off"]
        parts += [(on, 100.0), (0.0, off)] if on > off else [(on, off)]
    return parts


def _quality_lines(result, channel, width, measure):
    """The reasons for a channel's doubtful or unusable verdict as lines of
    at most ``width`` inches (three at most); none for a good channel."""
    verdict = None if channel is None else result.verdicts.get(channel.name)
    if verdict is None or verdict[0] == "good":
        return []
    prop = measure.prop(NOTE_SIZE)
    lines = wrap(verdict[1], width, prop, measure)
    if len(lines) > 3:
        lines = lines[:2] + [shorten(" ".join(lines[2:]), width, prop, measure)]
    return lines


def _side_panel(page, result, side_muscle, channel, panel, room):
    curve_ax, bar_ax, (x0, width) = panel
    top, notes = room
    side = side_muscle[0]
    colour = SIDE_COLOURS[side]
    for ax in (curve_ax, bar_ax):
        ax.set_xlim(0, 100)
    if channel is None:  # a channel recorded but not analysed must not read as none recorded
        missing = "; ".join(f"{name} left out ({reason})"
                            for name, reason in result.left_out_of(*side_muscle))
        title(curve_ax, f"{side}: {missing or 'no channel'}", fontsize=10, color=MUTED,
              loc="left", pad=14)
        for ax in (curve_ax, bar_ax):
            ax.set_yticks([])
        return
    a = channel.analysis
    x = np.linspace(0.0, 100.0, len(a["mean"]))
    curves = np.asarray(a["curves"])
    band = _reference_band(channel)
    bottom = float(np.min(curves))
    if band is not None:  # under the patient's curves, on their scale
        reference_x = np.linspace(0.0, 100.0, len(band[0]))
        curve_ax.fill_between(reference_x, band[0], band[1], color=BAND_GREY, linewidth=0,
                              zorder=0.5)
        curve_ax.plot(reference_x, channel.reference["mean"], color=REFERENCE_GREY,
                      linewidth=0.8, zorder=0.6)
        bottom = min(bottom, float(np.min(band[0])))
    # Limits are set below: no measuring of every cycle for them (autolim).
    curve_ax.add_collection(Lines(np.stack((np.broadcast_to(x, curves.shape), curves), axis=-1),
                                  colors=colour, linewidths=0.4, alpha=0.3), autolim=False)
    if a["sd"] is not None:
        curve_ax.fill_between(x, a["mean"] - a["sd"], a["mean"] + a["sd"], color=colour,
                              alpha=0.2, linewidth=0)
    curve_ax.plot(x, a["mean"], color=colour, linewidth=2.0)
    curve_ax.axhline(a["threshold"], color=MUTED, linewidth=0.7, linestyle=":")
    curve_ax.set_ylim(min(0.0, bottom), top)
    curve_ax.xaxis.set_major_formatter(NullFormatter())  # no labels, and no ticks made for them
    curve_ax.set_ylabel(channel.unit, fontsize=9)
    curve_ax.ticklabel_format(axis="y", style="sci", scilimits=(-2, 4))  # volts: 1e-4 once
    foot_off = a["foot_off_mean"]
    for ax in (curve_ax, bar_ax):
        ax.axvline(foot_off, color=INK, linewidth=1.0, linestyle="--")
    spread = "" if a["foot_off_sd"] is None else f" ± {a['foot_off_sd']:.1f}"
    curve_ax.text(foot_off + 1, 0.97 - NOTE_HEIGHT * len(notes),
                  f"foot off {foot_off:.0f}{spread} %", fontsize=8,
                  transform=curve_ax.get_xaxis_transform(), va="top", color=INK)
    trials = len(set(int(t) for t in a["trial"]))
    heading = (f"{side}: {channel.name}, {len(curves)} cycle{'' if len(curves) == 1 else 's'}"
               f" of {trials} trial{'' if trials == 1 else 's'}")
    verdict = result.verdicts.get(channel.name)
    doubtful = verdict is not None and verdict[0] != "good"
    if doubtful:
        heading += f" - quality: {verdict[0].upper()}"
        curve_ax.text(0.01, 0.98, plain("\n".join(notes)), fontsize=NOTE_SIZE, color=WARNING,
                      transform=curve_ax.transAxes, va="top", linespacing=1.1)
    consistency = getattr(channel, "consistency", None)
    inconsistent = consistency is not None and not consistency["consistent"]
    if inconsistent:
        heading += " - cycles INCONSISTENT"
    size, heading = _fitted(page.measure, heading, width + 0.3)
    title(curve_ax, heading, fontsize=size, loc="left",
          color=WARNING if doubtful or inconsistent else INK,
          pad=14)  # room for the axis multiplier (1e-4)
    _numbers_lines(page, channel, (x0, width), getattr(result, "consistency_limit", None))
    _activity_bars(bar_ax, channel, colour)


def _fitted(measure, heading, width):
    """A side's heading at the largest size that keeps it within ``width``
    inches, cut short at the smallest."""
    for size in TITLE_SIZES:
        if measure.width(heading, measure.prop(size)) <= width:
            return size, heading
    return size, shorten(heading, width, measure.prop(size), measure)


def _numbers_lines(page, channel, box, limit):
    """In the gap between the curves and the bars: the channel against the lab
    reference (or why there is none) and its cycles against each other."""
    x0, width = box
    lines = []
    against, note = getattr(channel, "against", None), getattr(channel, "reference_note", None)
    if against is not None:
        lines.append((against_line(against), INK))
    elif note:
        lines.append((note, MUTED))
    consistency = getattr(channel, "consistency", None)
    if consistency is not None:
        lines.append((consistency_line(consistency, limit),
                      INK if consistency["consistent"] else WARNING))
    prop = page.measure.prop(NOTE_SIZE)
    for k, (text, color) in enumerate(lines):
        page.text(x0, NUMBERS_Y - k * line_pitch(NOTE_SIZE) * 0.95,
                  shorten(text, width, prop, page.measure), NOTE_SIZE, color=color)


def _activity_bars(ax, channel, colour):
    """One thin row per cycle, the mean curve's activity and the normal pattern."""
    a = channel.analysis
    count = len(a["activity"])
    # One collection for all cycles: an artist per cycle made long trials slow to draw.
    ax.add_collection(Boxes(_cycle_boxes(a["activity"]), facecolors=colour, alpha=0.5,
                            linewidths=0), autolim=False)
    thick = max(2.0, count * 0.18)
    y = count + 0.6
    rows = [(y, a["mean_activity"], colour, "mean")]
    reference, parts = _reference_parts(channel), channel.normal_parts
    if reference is not None:
        y += thick + 0.5
        rows.append((y, reference, REFERENCE_GREY, "reference"))
    if reference is None or parts:  # the textbook's row stays beside the lab's
        y += thick + 0.5
        rows.append((y, parts, NORMAL_GREY, "normal" if parts else "no normal"))
    for y, periods, face, _ in rows:
        ax.broken_barh([(on, off - on) for on, off in periods], (y, thick), facecolors=face)
    ax.set_ylim(y + thick + 0.3, -0.3)
    ax.set_yticks([count / 2.0] + [y + thick / 2.0 for y, _, _, _ in rows])
    ax.set_yticklabels(["cycles"] + [label for _, _, _, label in rows], fontsize=8)
    ax.set_xlabel("% of the gait cycle", fontsize=9)


def _cycle_boxes(activity):
    """The corners of a box per period of each cycle's activity, k-th cycle
    from k to k + 0.8: an array of boxes x 4 x 2."""
    rows = [(k, on, off) for k, periods in enumerate(activity) for on, off in periods]
    k, on, off = np.array(rows, dtype=float).reshape(-1, 3).T
    return np.stack([np.column_stack(corner) for corner in
                     ((on, k), (off, k), (off, k + 0.8), (on, k + 0.8))], axis=1)
