"""CSV tables the host writes for labs to read into their own statistics."""

import csv
import io

from plotvane import write_atomically


def write_csv(path, rows):
    """Write ``rows`` (the header first) as CSV to ``path``, complete or not at
    all (an earlier file of that name stays as it was until then); ``path``."""
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(rows)
    data = text.getvalue().encode("utf-8")
    return write_atomically(path, lambda fh: fh.write(data))
