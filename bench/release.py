"""A released version of the project beside the working one, for benchmarks
that time both in the same run, and the comparison of the PDFs they write.

``installed(ref, folder)`` checks the commit ``ref`` out of this repository
(``git archive``) and installs its packages, built, into ``folder/site``;
a command runs it with ``env_for(site)`` (its packages first on the path,
the dependencies those of the running interpreter).  A folder that already
holds that commit's build is used as it is.

``pages_compared(old, new)`` renders both PDFs with poppler's ``pdftoppm``
and ``pdftotext``: each page's text and the difference of its pixels.
"""

import glob
import os
import subprocess
import sys
import tempfile

import numpy as np

REPOSITORY = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def commit_of(ref):
    return subprocess.run(["git", "-C", REPOSITORY, "rev-parse", "--verify", ref + "^{commit}"],
                          check=True, capture_output=True, text=True).stdout.strip()


def installed(ref, folder):
    """The folder of ``ref``'s packages, built and installed into ``folder``."""
    commit = commit_of(ref)
    site, mark = os.path.join(folder, "site"), os.path.join(folder, "commit")
    if os.path.isfile(mark) and open(mark).read().strip() == commit:
        return site
    source = os.path.join(folder, "source")
    os.makedirs(source, exist_ok=True)
    archive = subprocess.run(["git", "-C", REPOSITORY, "archive", commit],
                             check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", source], input=archive, check=True)
    print(f"building the release {commit[:12]} into {folder} (a minute or two)", flush=True)
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-deps",
                    "--target", site, source], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    with open(mark, "w") as fh:
        fh.write(commit + "\n")
    return site


def env_for(site):
    """The environment of a command that runs the packages in ``site``."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (site, env.get("PYTHONPATH")) if p)
    return env


def _rendered(pdf, folder, dpi):
    subprocess.run(["pdftoppm", "-r", str(dpi), "-gray", pdf, os.path.join(folder, "page")],
                   check=True)
    return sorted(glob.glob(os.path.join(folder, "page*")))


def _text(pdf):
    text = subprocess.run(["pdftotext", "-layout", pdf, "-"], check=True, capture_output=True,
                          text=True).stdout
    return text.split("\f")[:-1]


def _pixels(path):
    """A PGM page as an array (pdftoppm -gray writes binary PGM)."""
    with open(path, "rb") as fh:
        data = fh.read()
    fields, k = [], 0
    while len(fields) < 4:  # magic, width, height, maximum
        while data[k:k + 1].isspace():
            k += 1
        end = k
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[k:end])
        k = end
    width, height = int(fields[1]), int(fields[2])
    return np.frombuffer(data, np.uint8, width * height, k + 1).reshape(height, width)


def pages_compared(old, new, dpi=100):
    """(pages of each, pages whose text differs, largest mean pixel difference
    of a page in grey levels, share of pixels that differ by more than 32)."""
    with tempfile.TemporaryDirectory() as a, tempfile.TemporaryDirectory() as b:
        pages = [_rendered(old, a, dpi), _rendered(new, b, dpi)]
        texts = [_text(old), _text(new)]
        means, far, count = [0.0], 0, 0
        for x, y in zip(*pages):
            one, other = _pixels(x).astype(int), _pixels(y).astype(int)
            if one.shape != other.shape:
                means.append(255.0)
                continue
            difference = np.abs(one - other)
            means.append(float(difference.mean()))
            far += int((difference > 32).sum())
            count += difference.size
    differ = sum(1 for s, t in zip(*texts) if s != t) + abs(len(texts[0]) - len(texts[1]))
    return (len(pages[0]), len(pages[1])), differ, max(means), far / max(count, 1)
