"""Report writer for the quorvaemg plug-in.

``repemg`` turns the figures that the plug-in saved for one trial, together
with the texts typed in the report dialog, into one PDF document in the
trial's folder: a cover page (institution header, subject, trial, date,
analyst, notes) followed by one page per figure, on A4 landscape.

The document is written to a temporary file beside its final name and moved
into place only once it is complete, so an earlier report of the same trial
is either kept untouched or replaced by a whole new one.

Its modules: ``layout``, the page building blocks (the page, its fonts,
text measured and wrapped), also importable from here; ``document``, the
pages of this report; ``gait``, the gait-cycle report.

Only matplotlib's object-oriented interface is used (``Figure`` with the PDF
canvas); pyplot is never imported, so the caller's
current figure and backend stay as they were.  Keep this module to what
Python 3.7 offers: a lab may install it into Nexus's own interpreter.
"""

import datetime
import errno
import os
import re

from plotvane.document import write_document
from plotvane.layout import (  # noqa: F401 - the page building blocks, for plotvane.gait too
    ACCENT, CONTENT_BOTTOM, CONTENT_W, FAMILY, FOOTER_SIZE, INK, LEADING, MARGIN_TOP, MARGIN_X,
    MUTED, PAGE_H, PAGE_W, RC, RULE, TITLE, TITLE_SIZE, Measure, Page, fit, line_pitch, plain,
    shorten, trim_blank_lines, wrap)

from .files import write_atomically

__all__ = ["repemg", "safe_file_part", "write_atomically"]

REPORT_SUFFIX = "_EMGReport.pdf"

# Characters that cannot stand in a file name on the lab's machines.
_UNSAFE_IN_NAME = re.compile(r'[/\\:*?"<>|\x00-\x1f]')


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

    return write_atomically(final, lambda fh: write_document(fh, info, images, metadata))


def safe_file_part(text):
    """``text`` with every character that a file name cannot hold as ``_``."""
    return _UNSAFE_IN_NAME.sub("_", text)


def _text(value):
    return "" if value is None else str(value)
