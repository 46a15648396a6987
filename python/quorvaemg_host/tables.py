"""CSV tables the host writes for labs to read into their own statistics."""

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


def read_rows(path):
    """(line number, stripped cells) of a small CSV file a lab wrote, without
    blank lines and lines starting with ``#``.

    Cells are separated by ``;`` when the first such line has one: Excel
    writes that where the decimal mark is a comma.
    """
    with open(path, "rb") as f:
        data = f.read()
    for encoding in _ENCODINGS:
        try:
            text = data.decode(encoding)
            break
        except UnicodeDecodeError:
            continue
    if "\x00" in text:  # e.g. the C3D file named in place of the CSV file beside it
        raise ValueError(f"{path} is not a text file (it holds NUL bytes), "
                         "give the CSV file saved as text")
    lines = [line for line in text.splitlines() if line.strip()
             and not line.lstrip().startswith("#")]
    separator = ";" if lines and ";" in lines[0] else ","
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=separator)
    for number, row in enumerate(reader, 1):
        cells = [c.strip() for c in row]
        if any(cells) and not cells[0].startswith("#"):
            yield number, cells


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
