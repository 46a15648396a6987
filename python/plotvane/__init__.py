"""Report writer for the quorvaemg plug-in.

``repemg`` turns the figures that the plug-in saved for one trial, together
with the texts typed in the report dialog, into one PDF document in the
trial's folder: a cover page (institution header, subject, trial, date,
analyst, notes) followed by one page per figure, on A4 landscape.

The document is written to a temporary file beside its final name and moved
into place only once it is complete, so an earlier report of the same trial
is either kept untouched or replaced by a whole new one.

Only matplotlib's object-oriented interface is used (``Figure`` with the PDF
canvas); pyplot is never imported, so the caller's
current figure and backend stay as they were.  Keep this module to what
Python 3.7 offers: a lab may install it into Nexus's own interpreter.
"""

import datetime
import errno
import os
import re

import matplotlib
import matplotlib.artist
import matplotlib.cm
import matplotlib.colors
import matplotlib.image as mpimg
import numpy as np
from matplotlib.backends.backend_pdf import FigureCanvasPdf, PdfPages
from matplotlib.figure import Figure
from matplotlib.font_manager import FontProperties
from matplotlib.lines import Line2D
from matplotlib.textpath import TextToPath
from matplotlib.transforms import Affine2D

from .files import write_atomically

__all__ = ["repemg", "safe_file_part", "write_atomically"]

REPORT_SUFFIX = "_EMGReport.pdf"
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

# Characters that cannot stand in a file name on the lab's machines.
_UNSAFE_IN_NAME = re.compile(r'[/\\:*?"<>|\x00-\x1f]')
_CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f]")
_TOKEN = re.compile(r"\s*\S+")

# Our pages look the same whatever the caller did to rcParams.
_RC = {
    "savefig.bbox": "standard",
    "savefig.facecolor": "white",
    "savefig.edgecolor": "white",
    "savefig.transparent": False,
    "text.usetex": False,
    "pdf.fonttype": 3,
    "pdf.compression": 6,
}


def repemg(imglist, root, vicon, subject, trial, path, notes, doc, head):
    """Write the EMG report of one trial and return the document's path.

    ``imglist`` lists the figure images in the order they are to appear
    (possibly none).  ``root`` and ``vicon`` are the caller's window and
    scripting object; the report does not need them.  ``path`` is the trial
    folder and ``trial`` the trial name: the report is
    ``path + trial + "_EMGReport.pdf"``, with characters that cannot stand in
    a file name replaced by ``_``.  ``doc`` (analyst) and ``head``
    (institution header) count as not given when blank.

    Returns only once the complete document is in place; on any failure the
    exception propagates and no partial file is left behind.
    """
    subject = _text(subject)
    trial = _text(trial)
    notes = _text(notes)
    analyst = _text(doc).strip()
    header = _text(head).strip()
    images = [os.fspath(p) for p in imglist]

    # Fail before anything is written when a figure is missing.
    for image in images:
        if not os.path.isfile(image):
            raise FileNotFoundError(errno.ENOENT, "report image not found", image)

    base = safe_file_part(trial) + REPORT_SUFFIX
    final = os.path.join(_text(path), base)

    info = {
        "subject": subject,
        "trial": trial,
        "date": datetime.date.today().isoformat(),
        "analyst": analyst,
        "header": header,
        "notes": notes,
    }
    metadata = {
        "Title": f"{TITLE}: {trial}" if trial else TITLE,
        "Subject": f"Surface EMG, subject {subject}, trial {trial}",
        "Keywords": "EMG",
        "Creator": "plotvane",
    }
    if analyst:
        metadata["Author"] = analyst

    return write_atomically(final, lambda fh: _write_document(fh, info, images, metadata))


def safe_file_part(text):
    """``text`` with every character that a file name cannot hold as ``_``."""
    return _UNSAFE_IN_NAME.sub("_", text)


def _text(value):
    return "" if value is None else str(value)


# ---------------------------------------------------------------- layout ---

class _Measure:
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


def _wrap(text, width, prop, measure):
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


def _fit(text, width, sizes, max_lines, measure, weight="normal"):
    """The first size at which ``text`` wraps into ``max_lines``.

    When none does, the smallest size is used and the text is cut short
    with an ellipsis.  Returns (size, lines).
    """
    for size in sizes:
        prop = measure.prop(size, weight)
        lines = _wrap(text, width, prop, measure)
        if len(lines) <= max_lines:
            return size, lines
    lines = lines[:max_lines]
    lines[-1] = _shorten(lines[-1] + " ...", width, prop, measure)
    return size, lines


def _shorten(line, width, prop, measure):
    if measure.width(line, prop) <= width:
        return line
    keep = _fitting_prefix(line, width - measure.width("...", prop), prop, measure)
    return line[:keep].rstrip() + "..."


def _plain(text):
    # matplotlib reads text between dollar signs as mathematics.
    return text.replace("$", r"\$")


def _trim_blank_lines(lines):
    while lines and not lines[0].strip():
        lines.pop(0)
    while lines and not lines[-1].strip():
        lines.pop()
    return lines


def _line_pitch(size):
    return size * LEADING / 72.0


def _plan_notes(notes, first_height, measure):
    """Split the notes into pages.

    Returns (size, chunks): chunks[0] goes on the cover below the heading,
    any further chunk on a continuation page of its own.
    """
    for size in NOTES_SIZES:
        lines = _trim_blank_lines(_wrap(notes, CONTENT_W, measure.prop(size), measure))
        if len(lines) <= _lines_in(first_height, size):
            return size, [lines]
    size = NOTES_CONTINUED_SIZE
    lines = _trim_blank_lines(_wrap(notes, CONTENT_W, measure.prop(size), measure))
    chunks = []
    room = _lines_in(first_height, size)
    while lines:
        chunks.append(lines[:room])
        lines = lines[room:]
        room = _lines_in(_continued_notes_top() - CONTENT_BOTTOM, size)
    return size, chunks


def _lines_in(height, size):
    return max(1, int((height + 1e-9) / _line_pitch(size)))


def _continued_notes_top():
    return PAGE_H - MARGIN_TOP - _line_pitch(NOTES_HEAD_SIZE) - 0.15


# ----------------------------------------------------------------- pages ---

class _Page:
    """One A4 landscape page; positions are in inches from the bottom left."""

    def __init__(self, measure):
        self.measure = measure
        self.fig = Figure(figsize=(PAGE_W, PAGE_H), facecolor="white")
        FigureCanvasPdf(self.fig)

    def text(self, x, y, s, size, weight="normal", style="normal", color=INK,
             ha="left"):
        self.fig.text(x, y, _plain(s), transform=self.fig.dpi_scale_trans,
                      fontproperties=self.measure.prop(size, weight, style),
                      color=color, ha=ha, va="baseline")

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
        left = _shorten(_CONTROL.sub(" ", left).replace("\n", " "), room,
                        self.measure.prop(FOOTER_SIZE), self.measure)
        self.text(MARGIN_X, FOOTER_Y, left, FOOTER_SIZE, color=MUTED)
        self.text(PAGE_W - MARGIN_X, FOOTER_Y, right, FOOTER_SIZE, color=MUTED,
                  ha="right")


def _write_document(fh, info, images, metadata):
    measure = _Measure()
    with matplotlib.rc_context(_RC):
        cover = _Page(measure)
        notes_top = _draw_cover(cover, info)
        size, chunks = _plan_notes(info["notes"], notes_top - CONTENT_BOTTOM, measure)
        count = len(chunks) + len(images)
        number = 1
        with PdfPages(fh, metadata=metadata) as pdf:
            _draw_lines(cover, chunks[0], notes_top, size, empty="None")
            cover.footer(info, number, count)
            pdf.savefig(cover.fig)
            for chunk in chunks[1:]:
                number += 1
                page = _Page(measure)
                top = PAGE_H - MARGIN_TOP - _line_pitch(NOTES_HEAD_SIZE)
                page.text(MARGIN_X, top, "Notes (continued)", NOTES_HEAD_SIZE,
                          weight="bold", color=ACCENT)
                _draw_lines(page, chunk, _continued_notes_top(), size)
                page.footer(info, number, count)
                pdf.savefig(page.fig)
            for image in images:
                number += 1
                page = _Page(measure)
                _draw_figure_page(page, image)
                page.footer(info, number, count)
                pdf.savefig(page.fig)


def _draw_cover(page, info):
    """Header, title and the trial's details; returns the top of the notes."""
    m = page.measure
    y = PAGE_H - MARGIN_TOP
    if info["header"]:
        size, lines = _fit(info["header"], CONTENT_W, HEADER_SIZES, 2, m, "bold")
        for line in lines:
            y -= _line_pitch(size) * 0.9
            page.text(MARGIN_X, y, line, size, weight="bold")
        y -= 0.14
        page.rule(y, color=INK, lw=1.2)
    y -= 0.2 + TITLE_SIZE / 72.0
    page.text(MARGIN_X, y, TITLE, TITLE_SIZE, weight="bold", color=ACCENT)
    y -= 0.2

    value_x = MARGIN_X + FIELD_LABEL_W
    value_w = CONTENT_W - FIELD_LABEL_W
    rows = (("Subject", info["subject"]), ("Trial", info["trial"]),
            ("Date", info["date"]), ("Analyst", info["analyst"]))
    for label, value in rows:
        y -= _line_pitch(FIELD_SIZES[0])
        page.text(MARGIN_X, y, label + ":", FIELD_SIZES[0], weight="bold", color=MUTED)
        if not value.strip():
            page.text(value_x, y, "not given", FIELD_SIZES[0], style="italic", color=MUTED)
            continue
        size, lines = _fit(value, value_w, FIELD_SIZES, 2, m)
        for i, line in enumerate(lines):
            if i:
                y -= _line_pitch(size)
            page.text(value_x, y, line, size)

    y -= 0.3 + _line_pitch(NOTES_HEAD_SIZE) * 0.8
    page.text(MARGIN_X, y, "Notes", NOTES_HEAD_SIZE, weight="bold", color=ACCENT)
    y -= 0.1
    page.rule(y, lw=0.5)
    return y - 0.08


def _draw_lines(page, lines, top, size, empty=None):
    if not lines and empty:
        page.text(MARGIN_X, top - _line_pitch(size), empty, size, style="italic",
                  color=MUTED)
        return
    y = top
    for line in lines:
        y -= _line_pitch(size)
        page.text(MARGIN_X, y, line, size)


def _rgba_bytes(pixels):
    """The image as RGBA bytes, converted as matplotlib converts what it shows."""
    if pixels.ndim == 2:
        top = np.iinfo(pixels.dtype).max if pixels.dtype.kind in "ui" else 1.0
        mappable = matplotlib.cm.ScalarMappable(matplotlib.colors.Normalize(0, top), "gray")
        return mappable.to_rgba(pixels, bytes=True)
    return matplotlib.cm.ScalarMappable().to_rgba(pixels, bytes=True)


class _PlacedImage(matplotlib.artist.Artist):
    """An image drawn pixel for pixel into a box given in inches.

    ``imshow`` would do, but older matplotlib widens an unresampled image to
    whole points, stretching the figure out of its box and its aspect ratio.
    """

    def __init__(self, rgba, box):
        super().__init__()
        self.rgba, self.box = rgba, box

    def draw(self, renderer):
        # Display units are the figure's dots, whatever the renderer's own dpi.
        x, y, w, h = (v * self.figure.dpi for v in self.box)
        gc = renderer.new_gc()
        # The image's first row at the top of the box.
        renderer.draw_image(gc, x, y, self.rgba, Affine2D().scale(w, -h).translate(0, h))
        gc.restore()


def _draw_figure_page(page, image):
    """One figure as large as the content area allows, its aspect ratio kept,
    centred in it.

    No caption: the plug-in's figure carries its channel's name as its title,
    and a file name tells the reader nothing the title does not.
    """
    pixels = mpimg.imread(image)
    rows, cols = pixels.shape[:2]
    box_h = PAGE_H - MARGIN_TOP - CONTENT_BOTTOM
    scale = min(CONTENT_W / cols, box_h / rows)
    w, h = cols * scale, rows * scale
    x0 = MARGIN_X + (CONTENT_W - w) / 2.0
    y0 = CONTENT_BOTTOM + (box_h - h) / 2.0

    page.fig.add_artist(_PlacedImage(_rgba_bytes(pixels), (x0, y0, w, h)))
