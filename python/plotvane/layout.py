"""The page building blocks of plotvane's reports: A4 landscape pages in
inches, their fonts, colours and sizes, text measured, wrapped and fitted as
the PDF backend lays it out, and the page itself with its footer.  Only
matplotlib's object-oriented interface; keep to Python 3.7.
"""

import re

import matplotlib
import matplotlib.colors
from matplotlib.backends.backend_pdf import FigureCanvasPdf
from matplotlib.figure import Figure
from matplotlib.font_manager import FontProperties
from matplotlib.lines import Line2D
from matplotlib.text import Text
from matplotlib.textpath import TextToPath

TITLE = "EMG Report"

# A4 landscape, in inches.
PAGE_W = 297.0 / 25.4
PAGE_H = 210.0 / 25.4
MARGIN_X = 0.6
MARGIN_TOP = 0.55
CONTENT_W = PAGE_W - 2 * MARGIN_X
CONTENT_BOTTOM = 0.8          # nothing but the footer goes below this line
FOOTER_RULE_Y = 0.55
FOOTER_Y = 0.35

FAMILY = "DejaVu Sans"        # ships with matplotlib, so present everywhere
INK = "#1a1a1a"
MUTED = "#5a5a5a"
ACCENT = "#1f3b73"
RULE = "#9a9a9a"

HEADER_SIZES = (20, 17, 14)   # points; the header may take two lines
TITLE_SIZE = 24
FIELD_SIZES = (12, 10)
FIELD_LABEL_W = 1.1
NOTES_HEAD_SIZE = 13
NOTES_SIZES = (11, 10, 9)     # tried in turn to keep the notes on the cover
NOTES_CONTINUED_SIZE = 10     # when they do not fit even at the smallest
FOOTER_SIZE = 8
LEADING = 1.4                 # line pitch as a multiple of the font size

_CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f]")
_TOKEN = re.compile(r"\s*\S+")

# Our pages look the same whatever the caller did to rcParams.
RC = {
    "savefig.bbox": "standard",
    "savefig.facecolor": "white",
    "savefig.edgecolor": "white",
    "savefig.transparent": False,
    "text.usetex": False,
    "pdf.fonttype": 3,
    "pdf.compression": 6,
}


class Measure:
    """Text widths in inches, from the unhinted glyph advances that the PDF
    backend lays text out with.

    Advances are looked up once per character and summed; kerning is left
    out, which the slack in ``width`` covers.
    """

    _REFERENCE = 100.0  # points; advances scale linearly with the size

    def __init__(self):
        self._layout = TextToPath()
        self._props = {}
        self._advances = {}

    def prop(self, size, weight="normal", style="normal"):
        key = (size, weight, style)
        if key not in self._props:
            self._props[key] = FontProperties(family=FAMILY, size=size,
                                              weight=weight, style=style)
        return self._props[key]

    def width(self, text, prop):
        if not text:
            return 0.0
        key = (prop.get_weight(), prop.get_style())
        table = self._advances.setdefault(key, {})
        total = 0.0
        for char in text:
            advance = table.get(char)
            if advance is None:
                advance = table[char] = self._advance(char, prop)
            total += advance
        return total * prop.get_size_in_points() / self._REFERENCE * 1.01 / 72.0

    def _advance(self, char, prop):
        reference = prop.copy()
        reference.set_size(self._REFERENCE)
        w, _, _ = self._layout.get_text_width_height_descent(char, reference, False)
        return w


def wrap(text, width, prop, measure):
    """Lines of ``text`` broken at blanks to at most ``width`` inches.

    Line breaks in the text are kept; a word wider than a line is split.
    """
    lines = []
    for line in _CONTROL.sub(" ", text.expandtabs(4)).splitlines() or [""]:
        lines.extend(_wrap_line(line, width, prop, measure))
    return lines


def _wrap_line(line, width, prop, measure):
    out = []
    current, used = "", 0.0
    for token in _TOKEN.findall(line):
        extra = measure.width(token, prop)
        if used + extra <= width:
            current, used = current + token, used + extra
            continue
        if current:
            out.append(current)
            token = token.lstrip()
        while len(token) > 1 and measure.width(token, prop) > width:
            cut = _fitting_prefix(token, width, prop, measure)
            out.append(token[:cut])
            token = token[cut:]
        current, used = token, measure.width(token, prop)
    out.append(current)
    return out


def _fitting_prefix(text, width, prop, measure):
    """Length of the longest prefix of ``text`` that fits (at least 1)."""
    lo, hi = 1, len(text)
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if measure.width(text[:mid], prop) <= width:
            lo = mid
        else:
            hi = mid - 1
    return lo


def fit(text, width, sizes, max_lines, measure, weight="normal"):
    """The first size at which ``text`` wraps into ``max_lines``.

    When none does, the smallest size is used and the text is cut short
    with an ellipsis.  Returns (size, lines).
    """
    for size in sizes:
        prop = measure.prop(size, weight)
        lines = wrap(text, width, prop, measure)
        if len(lines) <= max_lines:
            return size, lines
    lines = lines[:max_lines]
    lines[-1] = shorten(lines[-1] + " ...", width, prop, measure)
    return size, lines


def shorten(line, width, prop, measure):
    if measure.width(line, prop) <= width:
        return line
    keep = _fitting_prefix(line, width - measure.width("...", prop), prop, measure)
    return line[:keep].rstrip() + "..."


def plain(text):
    # matplotlib reads text between dollar signs as mathematics.
    return text.replace("$", r"\$")


def trim_blank_lines(lines):
    while lines and not lines[0].strip():
        lines.pop(0)
    while lines and not lines[-1].strip():
        lines.pop()
    return lines


def title(ax, text, **kwargs):
    """``ax.set_title`` at the top of the axes, where matplotlib would place it
    above axes without ticks on top; placed by hand, it spares the measuring
    of every tick label that finding that place takes at each drawing."""
    ax.set_title(text, y=1.0, **kwargs)


def line_pitch(size):
    return size * LEADING / 72.0


class Line(Text):
    """A line of text placed by the start (or end, or middle) of its baseline.

    ``Text`` measures a line, and the font's height and depth, to place it
    for any alignment, and the PDF renderer then lays it out again to write
    it; a line placed by its baseline needs no measuring to start at its
    point, and only its width to end there.  Anything else (several lines,
    mathematics, rotation, a box) is drawn as ``Text`` draws it.
    """

    def draw(self, renderer):
        text, mathematics = self._preprocess_math(self.get_text())
        ha = self.get_horizontalalignment()
        if (not self.get_visible() or not text or mathematics or "\n" in text
                or self.get_verticalalignment() != "baseline" or self.get_rotation()
                or self.get_usetex() or self.get_path_effects() or self._bbox_patch
                or renderer.flipy() or ha not in _SHARE_BEFORE):
            return super().draw(renderer)
        x, y = self.get_transform().transform((self._x, self._y))
        if ha != "left":
            width = renderer.get_text_width_height_descent(text, self._fontproperties, False)[0]
            x -= width * _SHARE_BEFORE[ha]
        renderer.open_group("text", self.get_gid())
        gc = renderer.new_gc()
        gc.set_foreground(matplotlib.colors.to_rgba(self.get_color()), isRGBA=True)
        gc.set_alpha(self.get_alpha())
        gc.set_url(self.get_url())
        gc.set_antialiased(getattr(self, "_antialiased", True))
        gc.set_snap(self.get_snap())
        self._set_gc_clip(gc)
        renderer.draw_text(gc, x, y, text, self._fontproperties, 0, ismath=False, mtext=self)
        gc.restore()
        renderer.close_group("text")
        self.stale = False


# The share of a line's width before its point, by horizontal alignment.
_SHARE_BEFORE = {"left": 0.0, "center": 0.5, "right": 1.0}


class Page:
    """One A4 landscape page; positions are in inches from the bottom left."""

    def __init__(self, measure):
        self.measure = measure
        self.fig = Figure(figsize=(PAGE_W, PAGE_H), facecolor="white")
        FigureCanvasPdf(self.fig)

    def text(self, x, y, s, size, weight="normal", style="normal", color=INK,
             ha="left"):
        self.fig.add_artist(Line(x, y, plain(s), transform=self.fig.dpi_scale_trans,
                                 fontproperties=self.measure.prop(size, weight, style),
                                 color=color, ha=ha, va="baseline"))

    def axes(self, x, y, w, h):
        """Axes in the box (x, y, w, h) in inches, their tick labels at 8 points.

        The size is set as the ticks are made: changing it afterwards
        (``tick_params``) makes every tick of the axes again.  The axis
        multiplier (1e-4) keeps the size it has beside such labels.
        """
        with matplotlib.rc_context({"xtick.labelsize": 8, "ytick.labelsize": 8}):
            ax = self.fig.add_axes([x / PAGE_W, y / PAGE_H, w / PAGE_W, h / PAGE_H])
        for name in "xy":
            getattr(ax, name + "axis").offsetText.set_fontsize(
                matplotlib.rcParams[name + "tick.labelsize"])
        return ax

    def rule(self, y, color=RULE, lw=0.8):
        self.fig.add_artist(Line2D([MARGIN_X, PAGE_W - MARGIN_X], [y, y],
                                   transform=self.fig.dpi_scale_trans,
                                   color=color, linewidth=lw))

    def footer(self, info, number, count, title=TITLE):
        self.rule(FOOTER_RULE_Y, lw=0.5)
        right = f"Page {number} of {count}"
        room = CONTENT_W - self.measure.width(right, self.measure.prop(FOOTER_SIZE)) - 0.4
        left = "{}  |  Subject: {}  |  Trial: {}  |  {}".format(
            title, info["subject"], info["trial"], info["date"])
        left = shorten(_CONTROL.sub(" ", left).replace("\n", " "), room,
                       self.measure.prop(FOOTER_SIZE), self.measure)
        self.text(MARGIN_X, FOOTER_Y, left, FOOTER_SIZE, color=MUTED)
        self.text(PAGE_W - MARGIN_X, FOOTER_Y, right, FOOTER_SIZE, color=MUTED,
                  ha="right")

