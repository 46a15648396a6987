"""The plug-in's EMG report: a cover page (institution header, subject,
trial, date, analyst, notes, continued on pages of their own when long)
followed by one page per figure.  Keep to Python 3.7.
"""

import matplotlib
import matplotlib.artist
import matplotlib.cm
import matplotlib.colors
import matplotlib.image as mpimg
import numpy as np
from matplotlib.backends.backend_pdf import PdfPages
from matplotlib.transforms import Affine2D

from plotvane.layout import (ACCENT, CONTENT_BOTTOM, CONTENT_W, FIELD_LABEL_W, FIELD_SIZES,
                             HEADER_SIZES, INK, MARGIN_TOP, MARGIN_X, MUTED, NOTES_CONTINUED_SIZE,
                             NOTES_HEAD_SIZE, NOTES_SIZES, PAGE_H, RC, TITLE, TITLE_SIZE,
                             Measure, Page, fit, line_pitch, trim_blank_lines, wrap)


def _plan_notes(notes, first_height, measure):
    """Split the notes into pages.

    Returns (size, chunks): chunks[0] goes on the cover below the heading,
    any further chunk on a continuation page of its own.
    """
    for size in NOTES_SIZES:
        lines = trim_blank_lines(wrap(notes, CONTENT_W, measure.prop(size), measure))
        if len(lines) <= _lines_in(first_height, size):
            return size, [lines]
    size = NOTES_CONTINUED_SIZE
    lines = trim_blank_lines(wrap(notes, CONTENT_W, measure.prop(size), measure))
    chunks = []
    room = _lines_in(first_height, size)
    while lines:
        chunks.append(lines[:room])
        lines = lines[room:]
        room = _lines_in(_continued_notes_top() - CONTENT_BOTTOM, size)
    return size, chunks


def _lines_in(height, size):
    return max(1, int((height + 1e-9) / line_pitch(size)))


def _continued_notes_top():
    return PAGE_H - MARGIN_TOP - line_pitch(NOTES_HEAD_SIZE) - 0.15


def write_document(fh, info, images, metadata):
    measure = Measure()
    with matplotlib.rc_context(RC):
        cover = Page(measure)
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
                page = Page(measure)
                top = PAGE_H - MARGIN_TOP - line_pitch(NOTES_HEAD_SIZE)
                page.text(MARGIN_X, top, "Notes (continued)", NOTES_HEAD_SIZE,
                          weight="bold", color=ACCENT)
                _draw_lines(page, chunk, _continued_notes_top(), size)
                page.footer(info, number, count)
                pdf.savefig(page.fig)
            for image in images:
                number += 1
                page = Page(measure)
                _draw_figure_page(page, image)
                page.footer(info, number, count)
                pdf.savefig(page.fig)


def _draw_cover(page, info):
    """Header, title and the trial's details; returns the top of the notes."""
    m = page.measure
    y = PAGE_H - MARGIN_TOP
    if info["header"]:
        size, lines = fit(info["header"], CONTENT_W, HEADER_SIZES, 2, m, "bold")
        for line in lines:
            y -= line_pitch(size) * 0.9
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
        y -= line_pitch(FIELD_SIZES[0])
        page.text(MARGIN_X, y, label + ":", FIELD_SIZES[0], weight="bold", color=MUTED)
        if not value.strip():
            page.text(value_x, y, "not given", FIELD_SIZES[0], style="italic", color=MUTED)
            continue
        size, lines = fit(value, value_w, FIELD_SIZES, 2, m)
        for i, line in enumerate(lines):
            if i:
                y -= line_pitch(size)
            page.text(value_x, y, line, size)

    y -= 0.3 + line_pitch(NOTES_HEAD_SIZE) * 0.8
    page.text(MARGIN_X, y, "Notes", NOTES_HEAD_SIZE, weight="bold", color=ACCENT)
    y -= 0.1
    page.rule(y, lw=0.5)
    return y - 0.08


def _draw_lines(page, lines, top, size, empty=None):
    if not lines and empty:
        page.text(MARGIN_X, top - line_pitch(size), empty, size, style="italic",
                  color=MUTED)
        return
    y = top
    for line in lines:
        y -= line_pitch(size)
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
