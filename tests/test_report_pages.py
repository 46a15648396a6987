"""The gait report drawn by several processes is the report drawn by one; the
shortcuts of its drawing (a side's cycles written in one go, lines of text
laid out once, one frame of panels filled for each muscle in turn) draw what
matplotlib draws; a worker that dies or fails is never a page lost."""

import io
import os
import shutil
import subprocess

import numpy as np
import pypdf
import pytest
from matplotlib.backends.backend_pdf import FigureCanvasPdf, PdfPages
from matplotlib.collections import LineCollection, PolyCollection
from matplotlib.figure import Figure
from matplotlib.text import Text
from test_gait_reference_pages import demo_result, with_reference

from plotvane import Measure, Page
from plotvane.gait import write_gait_report
from plotvane.layout import Line
from plotvane.pages import write_pages
from plotvane.pdfjoin import JoinError, join
from plotvane.strokes import Boxes, Lines

needs_poppler = pytest.mark.skipif(shutil.which("pdftoppm") is None,
                                   reason="pdftoppm (poppler) is not installed")


def rendered(pdf, folder, dpi=40):
    """Each page of ``pdf`` as grey levels."""
    os.makedirs(folder)
    subprocess.check_call(["pdftoppm", "-r", str(dpi), "-gray", pdf, os.path.join(folder, "p")])
    pages = []
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as fh:
            data = fh.read()
        width, height = (int(v) for v in data.split()[1:3])
        pages.append(np.frombuffer(data[-width * height:], np.uint8).reshape(height, width))
    return pages


def texts(pdf):
    return [page.extract_text() for page in pypdf.PdfReader(pdf).pages]


def varied_result(folder):
    """The demo with a lab reference, a right side left out on the second page
    and a doubtful first channel: every kind of muscle page, one after another."""
    result = demo_result(folder)
    with_reference(result)
    dropped = [ch for ch in result.channels if ch.side == "Right"][1]
    result.channels.remove(dropped)
    result.left_out = list(result.left_out) + [(dropped.name, "left out by the test")]
    result.verdicts = dict(result.verdicts, **{result.channels[0].name: (
        "doubtful", "mains hum at 12 % of the power, clipped at 3 % of the samples")})
    return result


@needs_poppler
def test_pages_drawn_by_three_processes_are_the_pages_drawn_by_one(tmp_path):
    result = varied_result(str(tmp_path))
    (tmp_path / "one").mkdir()
    (tmp_path / "three").mkdir()
    one = write_gait_report(result, str(tmp_path / "one"))
    three = write_gait_report(result, str(tmp_path / "three"), jobs=3)
    assert texts(one) == texts(three)
    assert any("RGAS left out (left out by the test)" in page for page in texts(one))
    first, second = rendered(one, str(tmp_path / "a")), rendered(three, str(tmp_path / "b"))
    assert len(first) == len(second) == len(texts(one))
    for number, (a, b) in enumerate(zip(first, second), 1):
        assert np.array_equal(a, b), f"page {number}"


def _plain_and_shortcut(kind):
    """[(artists, y limits of their axes or None for none)] drawn by matplotlib's
    own artist, then by the shortcut."""
    rng = np.random.default_rng(1)
    if kind == "cycles":
        curves = np.cumsum(rng.standard_normal((300, 101)), axis=1)
        xy = np.stack((np.broadcast_to(np.linspace(0, 100, 101), curves.shape), curves), -1)
        return [([cls(xy, colors="#b2182b", linewidths=0.4, alpha=0.3)], (-40, 40))
                for cls in (LineCollection, Lines)]
    if kind == "bars":
        on = rng.uniform(0, 60, 400)
        boxes = [[(a, k), (a + 30, k), (a + 30, k + 0.8), (a, k + 0.8)] for k, a in enumerate(on)]
        return [([cls(boxes, facecolors="#2166ac", alpha=0.5, linewidths=0)], (0, 400))
                for cls in (PolyCollection, Boxes)]
    return [([cls(2.0, 1.0 + k, r"Right: RGAS, 540 cycles - 1e−4 \$5 ± 2", ha=ha,
                  va="baseline", fontsize=9, color="#c0392b")
              for k, ha in enumerate(("left", "center", "right"))], None)
            for cls in (Text, Line)]


@needs_poppler
@pytest.mark.parametrize("kind", ["cycles", "bars", "text"])
def test_shortcuts_draw_what_matplotlib_draws(tmp_path, kind):
    pages = []
    for k, (artists, ylim) in enumerate(_plain_and_shortcut(kind)):
        fig = Figure(figsize=(6, 4))
        FigureCanvasPdf(fig)
        ax = fig.add_axes([0.1, 0.1, 0.8, 0.8], xlim=(0, 100), ylim=ylim or (0, 1))
        for artist in artists:
            if ylim is None:
                artist.set_transform(fig.dpi_scale_trans)
                fig.add_artist(artist)
            else:
                ax.add_collection(artist)
        fig.savefig(str(tmp_path / f"{k}.pdf"))
        pages += rendered(str(tmp_path / f"{k}.pdf"), str(tmp_path / str(k)), dpi=100)
    plain, shortcut = (page.astype(int) for page in pages)
    assert (plain < 128).sum() > 1000, "something drawn"
    # Coordinates to a thousandth of a point: anti-aliasing at most, nothing a reader sees.
    assert np.abs(plain - shortcut).mean() < 0.05
    assert (np.abs(plain - shortcut) > 32).mean() < 1e-4


def _page_of(text):
    def make():
        page = Page(Measure())
        page.text(1.0, 5.0, text, 12)
        return page
    return make


def test_a_worker_that_dies_has_its_pages_drawn_by_the_caller(tmp_path):
    caller = os.getpid()

    def dying(text):
        def make():
            if os.getpid() != caller:
                os._exit(9)  # as if killed halfway through its pages
            return _page_of(text)()
        return make

    out = io.BytesIO()
    write_pages(out, [dying(f"page {k}") for k in range(4)], {}, lambda *a: None, jobs=2)
    assert [t.strip() for t in texts(io.BytesIO(out.getvalue()))] == \
        [f"page {k}" for k in range(4)]


def test_a_failure_in_a_worker_is_raised_to_the_caller():
    def failing():
        raise ValueError("no such channel in the result")

    with pytest.raises(ValueError, match="no such channel"):
        write_pages(io.BytesIO(), [_page_of("one"), failing, _page_of("three")], {},
                    lambda *a: None, jobs=2)


def _document(*words):
    data = io.BytesIO()
    with PdfPages(data) as pdf:
        for word in words:
            pdf.savefig(_page_of(word)().fig)
    return data.getvalue()


def test_documents_joined_in_the_order_asked():
    joined = io.BytesIO()
    join([_document("a", "b"), _document("c")], [(1, 0), (0, 1), (0, 0)], joined)
    assert [t.strip() for t in texts(io.BytesIO(joined.getvalue()))] == ["c", "b", "a"]

    untouched = io.BytesIO()
    for broken in (b"%PDF-1.4\nnot a document", _document("a")[:-200]):
        with pytest.raises(JoinError):
            join([_document("a"), broken], [(0, 0)], untouched)
    assert untouched.getvalue() == b"", "nothing written before every part is read"
