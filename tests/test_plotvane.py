"""The report writer: the PDF it leaves beside the trial, and what it never leaves."""

import datetime
import os
import re
import shutil
import subprocess
import sys

import matplotlib
import numpy as np
import pypdf
import pytest
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

HERE = os.path.dirname(os.path.abspath(__file__))
import plotvane  # noqa: E402

A4_LANDSCAPE = (841.89, 595.28)  # points


def small_png(folder, name, rows=60, cols=150, grey=False):
    from PIL import Image
    rng = np.random.default_rng(len(name))
    shape = (rows, cols) if grey else (rows, cols, 3)
    filename = os.path.join(str(folder), name)
    Image.fromarray(rng.integers(0, 255, shape, dtype=np.uint8)).save(filename)
    return filename


def channel_png(folder, name):
    """A channel figure as the plug-in saves it: 25 x 10 in at 95 dpi."""
    fig = Figure(figsize=(25, 10), dpi=95)
    FigureCanvasAgg(fig)
    ax = fig.subplots()
    ax.plot(np.sin(np.linspace(0, 60, 5000)) * 1e-4, color="b", linewidth=1)
    ax.set_title(name + " [V]", fontsize=28)
    filename = os.path.join(str(folder), name + ".png")
    fig.savefig(filename)
    return filename


def write(folder, images=(), trial="Walk01", notes="", doc=" Dr. A. Rossi",
          head=" Gait Lab, St. Elsewhere", subject="Patient042"):
    return plotvane.repemg(list(images), object(), object(), subject, trial,
                           str(folder) + os.sep, notes, doc, head)


def page_texts(filename):
    return [page.extract_text() for page in pypdf.PdfReader(filename).pages]


def test_report_beside_the_trial(tmp_path):
    big = channel_png(tmp_path, "Walk01_LTA")
    small = small_png(tmp_path, "Walk01_RGAS.png")
    notes = "Barefoot walking, self-selected speed.\nElectrodes per SENIAM."

    report = write(tmp_path, [big, small], notes=notes)

    assert report == str(tmp_path) + os.sep + "Walk01_EMGReport.pdf"
    assert sorted(os.listdir(str(tmp_path))) == sorted(
        ["Walk01_LTA.png", "Walk01_RGAS.png", "Walk01_EMGReport.pdf"])
    reader = pypdf.PdfReader(report)
    assert len(reader.pages) == 3
    for page in reader.pages:
        assert (float(page.mediabox.width), float(page.mediabox.height)) == pytest.approx(
            A4_LANDSCAPE, abs=1.0)

    cover, first, second = page_texts(report)
    for expected in ("Gait Lab, St. Elsewhere", "EMG Report", "Patient042", "Walk01",
                     datetime.date.today().isoformat(), "Dr. A. Rossi",
                     "Barefoot walking, self-selected speed.", "Electrodes per SENIAM."):
        assert expected in cover
    # Each figure on its own page, in order; the figure's own title names
    # the channel, so no file name is printed beside it.
    assert [[size for size, _ in drawn_images(reader, page)] for page in reader.pages] == [
        [], [(2375, 950)], [(150, 60)]]
    assert ".png" not in first + second

    # The figure is embedded at its own resolution, so it prints sharp.
    assert reader.pages[1].images[0].image.size == (2375, 950)
    meta = reader.metadata
    assert "Walk01" in meta.title and meta.author == "Dr. A. Rossi"
    assert "Patient042" in meta.subject


def test_no_images_and_nothing_typed_gives_a_cover_only(tmp_path):
    report = write(tmp_path, [], notes="", doc=" ", head=" ")
    reader = pypdf.PdfReader(report)
    assert len(reader.pages) == 1
    assert "/Author" not in reader.metadata
    assert "Patient042" in reader.pages[0].extract_text()


def test_texts_are_printed_as_typed(tmp_path):
    notes = "Cost $5 and $10 per session; threshold 5% (p<0.05)."
    report = write(tmp_path, notes=notes, head=" Lab $A$ ")
    cover = page_texts(report)[0]
    assert notes in cover and "Lab $A$" in cover


def drawn_images(reader, page):
    """[((columns, rows), (left, bottom, width, height) in points)] of the images
    drawn on ``page``, from what its content stream does before drawing each.

    The pages of one document share their resources, so a page's images are
    those its content draws, not those its resources list.
    """
    from pypdf.generic import ContentStream

    objects = page["/Resources"]["/XObject"]
    ctm, saved, drawn = np.eye(3), [], []
    for operands, operator in ContentStream(page.get_contents(), reader).operations:
        if operator == b"q":
            saved.append(ctm)
        elif operator == b"Q":
            ctm = saved.pop()
        elif operator == b"cm":
            a, b, c, d, e, f = (float(v) for v in operands)
            ctm = np.array([[a, b, 0.0], [c, d, 0.0], [e, f, 1.0]]) @ ctm
        elif operator == b"Do":
            image = objects[operands[0]].get_object()
            corners = np.array([[0.0, 0.0, 1.0], [1.0, 1.0, 1.0]]) @ ctm
            (x0, y0), (x1, y1) = corners.min(axis=0)[:2], corners.max(axis=0)[:2]
            drawn.append(((image["/Width"], image["/Height"]), (x0, y0, x1 - x0, y1 - y0)))
    return drawn


# The content area, in points: inside the side margins, between the top margin
# and the footer.
CONTENT = (0.6 * 72, 0.8 * 72, A4_LANDSCAPE[0] - 1.2 * 72, A4_LANDSCAPE[1] - 1.35 * 72)


@pytest.mark.parametrize("make, fills", [
    (lambda folder: channel_png(folder, "Walk01_LTA"), "width"),  # the plug-in's 2375 x 950
    (lambda folder: small_png(folder, "Walk01_RGAS.png", rows=400, cols=300), "height"),
], ids=["plug-in figure", "taller than the page"])
def test_figure_fills_the_content_area_centred(tmp_path, make, fills):
    image = make(tmp_path)
    reader = pypdf.PdfReader(write(tmp_path, [image]))
    ((cols, rows), (x, y, w, h)), = drawn_images(reader, reader.pages[1])
    left, bottom, width, height = CONTENT
    assert w / h == pytest.approx(cols / rows, rel=1e-3)
    assert (w if fills == "width" else h) == pytest.approx(width if fills == "width" else height,
                                                         abs=0.5)
    assert w <= width + 0.5 and h <= height + 0.5
    assert x - left == pytest.approx(left + width - x - w, abs=0.5)
    assert y - bottom == pytest.approx(bottom + height - y - h, abs=0.5)
    assert os.path.basename(image) not in reader.pages[1].extract_text()


def test_grey_image_stays_grey(tmp_path):
    report = write(tmp_path, [small_png(tmp_path, "grey.png", grey=True)])
    pixels = np.asarray(pypdf.PdfReader(report).pages[1].images[0].image.convert("RGB"))
    assert (pixels[..., 0] == pixels[..., 1]).all() and (pixels[..., 1] == pixels[..., 2]).all()


def test_figure_is_drawn_upright(tmp_path):
    if shutil.which("pdftoppm") is None:
        pytest.skip("pdftoppm (poppler) is not installed")
    from PIL import Image
    halves = np.zeros((100, 250, 3), np.uint8)
    halves[:50, :125] = (255, 0, 0)      # top left red, the rest blue
    halves[:50, 125:] = halves[50:] = (0, 0, 255)
    Image.fromarray(halves).save(str(tmp_path / "Walk01_LTA.png"))
    report = write(tmp_path, [str(tmp_path / "Walk01_LTA.png")])
    subprocess.check_call(["pdftoppm", "-f", "2", "-l", "2", "-r", "30", "-png", report,
                           str(tmp_path / "page")])
    page, = tmp_path.glob("page*.png")
    shown = np.asarray(Image.open(str(page)).convert("RGB")).astype(int)
    red = np.argwhere((shown[..., 0] > 200) & (shown[..., 2] < 60))
    blue = np.argwhere((shown[..., 2] > 200) & (shown[..., 0] < 60))
    assert red.mean(axis=0)[0] < blue.mean(axis=0)[0], "red is the top half"
    assert red.mean(axis=0)[1] < blue[:, 1].max() / 2 + blue[:, 1].min() / 2, "red is the left"


@pytest.mark.parametrize("trial, stored", [
    ('W/a\\l:k*?"<>|01', "W_a_l_k______01_EMGReport.pdf"),
    ("../Walk02", ".._Walk02_EMGReport.pdf"),
])
def test_trial_name_cannot_leave_the_folder(tmp_path, trial, stored):
    folder = tmp_path / "trial"
    folder.mkdir()
    report = write(folder, trial=trial)
    assert report == str(folder) + os.sep + stored
    assert os.listdir(str(folder)) == [stored]
    assert os.listdir(str(tmp_path)) == ["trial"]
    assert trial in page_texts(report)[0]


def test_long_texts_stay_on_the_page(tmp_path):
    if shutil.which("pdftotext") is None:
        pytest.skip("pdftotext (poppler) is not installed")
    lines = ["note-%03d " % i + "gastrocnemius activity " * (i % 9) for i in range(150)]
    notes = "\n".join(lines) + "\n" + "X" * 500
    image = small_png(tmp_path, "Walk01_LTA.png")
    report = write(tmp_path, [image], notes=notes, subject="S" * 400,
                   head="Department of Movement Sciences " * 10)

    texts = page_texts(report)
    assert len(texts) > 2, "notes this long continue on further pages"
    reader = pypdf.PdfReader(report)
    assert [len(drawn_images(reader, page)) for page in reader.pages][-2:] == [0, 1], \
        "figures follow all the notes"
    joined = "".join(texts)
    positions = [joined.index("note-%03d" % i) for i in range(150)]
    assert positions == sorted(positions), "no note line lost or reordered"
    assert joined.count("X") >= 500

    html = subprocess.check_output(["pdftotext", "-bbox", report, "-"]).decode("utf-8")
    boxes = re.findall(r'xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" yMax="([\d.]+)"', html)
    assert boxes
    for x0, y0, x1, y1 in ((float(v) for v in box) for box in boxes):
        assert 20 <= x0 and x1 <= A4_LANDSCAPE[0] - 20
        assert 20 <= y0 and y1 <= A4_LANDSCAPE[1] - 20


def test_leaves_the_callers_pyplot_and_settings_alone(tmp_path):
    import matplotlib.pyplot as plt
    backend = matplotlib.get_backend()
    fig = plt.figure()
    try:
        numbers = plt.get_fignums()
        with matplotlib.rc_context({"savefig.bbox": "tight", "font.size": 30}):
            report = write(tmp_path, [small_png(tmp_path, "a.png")])
            assert matplotlib.rcParams["savefig.bbox"] == "tight"
            assert matplotlib.rcParams["font.size"] == 30
        assert plt.gcf() is fig and plt.get_fignums() == numbers
        assert matplotlib.get_backend() == backend
        box = pypdf.PdfReader(report).pages[0].mediabox
        assert (float(box.width), float(box.height)) == pytest.approx(A4_LANDSCAPE, abs=1.0)
    finally:
        plt.close(fig)


@pytest.mark.skipif(not hasattr(os, "umask") or sys.platform == "win32", reason="POSIX modes")
def test_report_gets_ordinary_file_permissions(tmp_path):
    old = os.umask(0o022)
    try:
        report = write(tmp_path)
    finally:
        os.umask(old)
    assert os.stat(report).st_mode & 0o777 == 0o644


class TestFailures:
    """A failed run raises and leaves the folder as it found it."""

    @pytest.fixture
    def trial(self, tmp_path):
        good = small_png(tmp_path, "Walk01_LTA.png")
        self.earlier = write(tmp_path, [good])
        with open(self.earlier, "rb") as fh:
            self.earlier_bytes = fh.read()
        self.before = sorted(os.listdir(str(tmp_path)))
        return tmp_path, good

    def assert_untouched(self, folder):
        assert sorted(os.listdir(str(folder))) == self.before
        with open(self.earlier, "rb") as fh:
            assert fh.read() == self.earlier_bytes

    def test_missing_image(self, trial):
        folder, good = trial
        with pytest.raises(FileNotFoundError):
            write(folder, [good, str(folder / "Walk01_RGAS.png")], notes="new")
        self.assert_untouched(folder)

    def test_image_that_cannot_be_read(self, trial):
        folder, good = trial
        broken = folder / "broken.png"
        broken.write_bytes(b"not an image at all")
        self.before = sorted(self.before + ["broken.png"])
        with pytest.raises(Exception):
            write(folder, [good, str(broken)], notes="new")
        self.assert_untouched(folder)

    def test_report_name_taken_by_a_folder(self, trial):
        folder, good = trial
        os.remove(self.earlier)
        os.mkdir(self.earlier)
        with pytest.raises(OSError):
            write(folder, [good])
        assert sorted(os.listdir(str(folder))) == self.before
        assert os.path.isdir(self.earlier)

    def test_folder_that_does_not_exist(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            write(tmp_path / "missing")
        assert os.listdir(str(tmp_path)) == []

    @pytest.mark.skipif(sys.platform == "win32" or os.geteuid() == 0,
                        reason="needs POSIX permissions that apply to this user")
    def test_folder_that_cannot_be_written(self, trial):
        folder, good = trial
        os.chmod(str(folder), 0o500)
        try:
            with pytest.raises(PermissionError):
                write(folder, [good], notes="new")
        finally:
            os.chmod(str(folder), 0o700)
        self.assert_untouched(folder)
