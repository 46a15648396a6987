#!/usr/bin/env python3
"""Regenerate docs/report_page.png: the cover and first figure page of a sample report.

Draws two plausible EMG channel figures the way the plug-in does (25 x 10 in
at 95 dpi, raw trace in blue, gait events as vertical lines), hands them to
``plotvane.repemg`` and rasterises pages 1 and 2 with ``pdftoppm`` (poppler).

    python3 scripts/make_report_sample.py [output.png]
"""

import os
import shutil
import subprocess
import sys
import tempfile

import matplotlib.image as mpimg
import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

DEVICE_RATE = 1000.0
FRAME_RATE = 100.0
FACTOR = DEVICE_RATE / FRAME_RATE


def emg_trace(strikes, offs, seed, seconds=6.0):
    """Band-limited noise whose envelope bursts around each stance phase."""
    rng = np.random.default_rng(seed)
    n = int(seconds * DEVICE_RATE)
    t = np.arange(n)
    envelope = np.full(n, 0.04)
    for fs in strikes:
        centre = fs * FACTOR + 60.0
        envelope += 0.9 * np.exp(-0.5 * ((t - centre) / 70.0) ** 2)
    for fo in offs:
        centre = fo * FACTOR - 40.0
        envelope += 0.35 * np.exp(-0.5 * ((t - centre) / 50.0) ** 2)
    noise = np.convolve(rng.standard_normal(n), np.ones(3) / 3.0, mode="same")
    return 1.5e-4 * envelope * noise


def save_channel_figure(filename, name, emg, strikes, offs, colour):
    fig = Figure(figsize=(25, 10), dpi=95)
    FigureCanvasAgg(fig)
    ax = fig.subplots(1, 1)
    ax.plot(np.arange(len(emg)), emg, color="b", linewidth=1)
    fs_line = fo_line = None
    for frame in strikes:
        fs_line = ax.axvline(frame * FACTOR, color=colour, linestyle="--")
    for frame in offs:
        fo_line = ax.axvline(frame * FACTOR, color=colour)
    ax.legend([fs_line, fo_line], ["Heel Strike", "Toe Off"])
    ax.grid()
    ax.set_ylabel("EMG [V]")
    ax.set_xlabel("Samples", fontsize=20)
    ax.set_title(name + " [V]", fontsize=28)
    fig.tight_layout()
    fig.savefig(filename)


def main(argv):
    sys.path.insert(0, os.path.join(REPO, "python"))  # the writer as checked out
    import plotvane

    out = argv[1] if len(argv) > 1 else os.path.join(REPO, "docs", "report_page.png")
    if shutil.which("pdftoppm") is None:
        sys.exit("pdftoppm (poppler-utils) is needed to rasterise the report")
    work = tempfile.mkdtemp(prefix="plotvane-sample-")
    try:
        folder = work + os.sep
        trial = "Walk01"
        left_fs, left_fo = [40, 150, 261, 372, 483], [102, 213, 324, 435, 546]
        right_fs, right_fo = [95, 206, 317, 428, 539], [46, 157, 268, 379, 490]
        images = []
        for name, fs, fo, colour, seed in (("LTA", left_fs, left_fo, "r", 1),
                                           ("RGAS", right_fs, right_fo, "g", 2)):
            filename = folder + trial + "_" + name + ".png"
            save_channel_figure(filename, name, emg_trace(fs, fo, seed), fs, fo, colour)
            images.append(filename)
        notes = ("Barefoot walking at self-selected speed, five strides per side.\n"
                 "Electrodes placed per SENIAM; skin prepared with abrasive gel.\n\n"
                 "Tibialis anterior shows prolonged activity into mid-stance on the left; "
                 "gastrocnemius onset on the right is early relative to heel strike. "
                 "Compare with the previous session before drawing conclusions.")
        report = plotvane.repemg(images, None, None, "Patient 042", trial, folder, notes,
                                 " Dr. Anna Rossi", " Gait & Motion Analysis Laboratory")
        prefix = os.path.join(work, "page")
        subprocess.check_call(["pdftoppm", "-png", "-r", "60", "-f", "1", "-l", "2",
                               report, prefix])
        pages = sorted(f for f in os.listdir(work) if f.startswith("page") and f.endswith(".png"))
        cover, figure = [mpimg.imread(os.path.join(work, f))[:, :, :3] for f in pages]
        gap = np.full((cover.shape[0], 24, 3), 0.75, dtype=cover.dtype)
        border = np.full((cover.shape[0], 2, 3), 0.45, dtype=cover.dtype)
        side_by_side = np.concatenate([border, cover, border, gap, border, figure, border],
                                      axis=1)
        edge = np.full((2, side_by_side.shape[1], 3), 0.45, dtype=cover.dtype)
        side_by_side = np.concatenate([edge, side_by_side, edge], axis=0)
        os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
        mpimg.imsave(out, side_by_side)
        print("wrote", out)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv)
