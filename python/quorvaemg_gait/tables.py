"""CSV tables the host writes for labs to read into their own statistics, and
the small text files labs hand it."""

import codecs
import contextlib
import csv
import errno
import io
import os

from plotvane import write_atomically

CLOSE_IT = "close it if another program has it open, or "
# Excel saves "CSV UTF-8" with a byte-order mark and plain "CSV" in the
# Windows code page; both come to the host from labs' spreadsheets.
_ENCODINGS = ("utf-8-sig", "cp1252", "latin-1")
# A table of channels, even of a million rows, is a few tens of MB: past
# this it is some other file, and reading it whole would cost gigabytes.
MAX_TABLE_BYTES = 64 << 20
# One line per channel, or per muscle: past this many it is no such table, and
# its rows would cost hundreds of MB as Python objects.
MAX_TABLE_LINES = 100_000
EXCERPT = 40  # characters a message quotes of what it refuses
_WIDE_TEXTS = ((codecs.BOM_UTF32_LE, "UTF-32"), (codecs.BOM_UTF32_BE, "UTF-32"),
               (codecs.BOM_UTF16_LE, "UTF-16"), (codecs.BOM_UTF16_BE, "UTF-16"))


def excerpt(text, limit=EXCERPT):
    """``text`` on one line, cut to about ``limit`` characters: what a message may
    quote of a line or a cell it refuses (which may be megabytes long)."""
    cut = " ".join(text[:limit + 1].split())
    cut = "".join(c if c.isprintable() else repr(c)[1:-1] for c in cut)
    return cut if len(cut) <= limit and len(text) <= limit + 1 else cut[:limit - 3] + "..."


def size_text(size):
    return f"{size / (1 << 20):.0f} MB" if size >= 1 << 20 else f"{size} bytes"


def not_plain_text(data):
    """What ``data`` is when it is not plain 8-bit text ("UTF-16 text", "binary
    data (it holds NUL bytes)"), else None."""
    for mark, name in _WIDE_TEXTS:
        if data.startswith(mark):
            return f"{name} text"
    if b"\x00" in data:
        head = data[:64]
        if len(head) >= 4 and (head[1::2].count(0) == len(head[1::2])
                               or head[0::2].count(0) == len(head[0::2])):
            return "UTF-16 text"  # saved as "Unicode text" without a byte-order mark
        return "binary data (it holds NUL bytes)"
    return None


def read_small_file(path, limit, refuse):
    """The bytes of a file a lab gives, refused by ``refuse("is 95 MB")`` (which
    raises) when it is larger than ``limit`` bytes, before it is read whole."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        data = f.read(limit + 1) if size <= limit else b""
    if size > limit or len(data) > limit:
        refuse(f"is {size_text(max(size, len(data)))}")
    return data


class TableError(ValueError):
    """A CSV file a lab gave that cannot be read: which file, which line, what to do."""


class TableFile:
    """A CSV file a lab hands the host, as its messages name it: its ``role``
    ("muscles file"), the ``option`` that names it and the ``layout`` of its
    rows ("channel,side,muscle")."""

    def __init__(self, role, option, layout):
        self.role, self.option, self.layout = role, option, layout

    def todo(self):
        return f"correct it or give another file with {self.option}"

    def error(self, path, what, number=None, todo=None):
        """A ``TableError``: "the ROLE PATH line N: WHAT, TODO" ("the ROLE PATH WHAT,
        TODO" without a line)."""
        where = f"the {self.role} {path}" + ("" if number is None else f" line {number}:")
        return TableError(f"{where} {what}, {todo or self.todo()}")

    def rows(self, path):
        """(line number, stripped cells) of the file, without blank lines and lines
        starting with ``#``; a file that holds no row is refused.

        Cells are separated by ``;`` when the first such line has one: Excel
        writes that where the decimal mark is a comma.
        """
        return self.rows_of(path, self.text(path))

    def _refuser(self, path):
        def refuse(what, todo=f"give the CSV file of {self.layout} lines, saved as text, "
                              f"with {self.option}"):
            raise self.error(path, what, todo=todo)
        return refuse

    def text(self, path):
        """The file's text, refused when it is too large or no plain text."""
        refuse = self._refuser(path)
        try:
            data = read_small_file(path, MAX_TABLE_BYTES, lambda what: refuse(
                what + ", far larger than a table of channels"))
        except OSError as exc:
            raise OSError(exc.errno, f"cannot read the {self.role} {path} ({exc.strerror or exc}), "
                                     f"give the path of an existing CSV file of {self.layout} "
                                     f"lines with {self.option}") from None
        kind = not_plain_text(data)
        if kind is not None:  # e.g. the C3D file named in place of the CSV file beside it
            if kind.startswith("binary"):
                refuse(f"is not a text file: it is {kind}")
            refuse(f"is {kind}", f"save it as CSV UTF-8 or CSV and give that with {self.option}")
        for encoding in _ENCODINGS:
            try:
                text = data.decode(encoding)
                break
            except UnicodeDecodeError:
                continue
        return text

    def rows_of(self, path, text):
        """``rows`` of the text ``text`` read from ``path``."""
        refuse = self._refuser(path)
        lines = text.count("\n")
        if lines > MAX_TABLE_LINES:
            refuse(f"holds {lines} lines, far more than a table of channels "
                   f"(at most {MAX_TABLE_LINES})")
        rows = list(self._parse(path, text))
        if not rows:
            refuse(f"holds no {self.layout} line")
        return rows

    def _parse(self, path, text):
        first = next((line for line in io.StringIO(text, newline=None)
                      if line.strip() and not line.lstrip().startswith("#")), "")
        separator = ";" if ";" in first else ","
        reader = csv.reader(io.StringIO(text, newline=""), delimiter=separator)
        try:
            for row in reader:
                cells = [c.strip() for c in row]
                if any(cells) and not cells[0].startswith("#"):
                    yield reader.line_num, cells
        except csv.Error as exc:
            what = ("a cell longer than %d characters" % csv.field_size_limit()
                    if "field limit" in str(exc) else "not a row of cells")
            raise self.error(path, what, reader.line_num) from None


@contextlib.contextmanager
def output(path, todo):
    """Turn an OSError met while writing ``path`` into one that names ``path``
    itself (not the temporary file beside it) and says what to do."""
    try:
        yield
    except OSError as exc:
        raise OSError(exc.errno, f"cannot write {path} ({exc.strerror or exc}), {todo}") from None


def check_writable(paths, todo):
    """Refuse, before any of them is written, a path that is a folder or a file
    that cannot be replaced: read-only, or held open by another program (a PDF
    viewer or a spreadsheet on Windows), so that no set of outputs is left
    half new, half old."""
    for path in paths:
        with output(path, CLOSE_IT + todo):
            if os.path.isdir(path):
                raise IsADirectoryError(errno.EISDIR, "a folder has that name")
            if os.path.exists(path):
                with open(path, "r+b"):
                    pass


def write_csv(path, rows, todo):
    """Write ``rows`` (the header first) as CSV to ``path``, complete or not at
    all (an earlier file of that name stays as it was until then); ``path``.
    ``todo`` says where else to write it when it cannot be written."""
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(rows)
    data = text.getvalue().encode("utf-8")
    check_writable([path], todo)
    with output(path, CLOSE_IT + todo):
        return write_atomically(path, lambda fh: fh.write(data))
