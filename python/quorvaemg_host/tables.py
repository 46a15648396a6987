"""CSV tables the host writes for labs to read into their own statistics."""

import contextlib
import csv
import errno
import io
import os

from plotvane import write_atomically

CLOSE_IT = "close it if another program has it open, or "


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
