#!/usr/bin/env python3
"""Retake docs/window.png: the plug-in window on the demo trial, two channels ticked.

Opens the window as the host command's interactive mode does (Tk root,
``initializeroot``, ``initializewindow``), ticks two channel check boxes
through the real widgets, lets Tk draw, and saves a picture of the window.

Runs under the current ``DISPLAY``; when none is set it starts its own Xvfb
(Debian package ``xvfb``) and stops it afterwards.  The picture is taken with
ImageMagick's ``import`` when installed, else ``xwd`` piped into ImageMagick's
``convert``, else Pillow's ``ImageGrab`` (Pillow built with XCB, as the PyPI
wheels are).  The window asks for Calibri; where it is missing, Debian's
fonts-crosextra-carlito supplies Carlito, a font with the same metrics, so the
picture keeps the window's proportions.

    python3 scripts/screenshot_window.py [--tick NAME NAME] [output.png]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "python"))

DEFAULT_OUTPUT = os.path.join(REPO, "docs", "window.png")
DEFAULT_TICKS = ("LTA", "LGAS")
SCREEN = "1280x1024x24"


def start_xvfb():
    """Start Xvfb on a free display; returns the process and the display name."""
    if shutil.which("Xvfb") is None:
        sys.exit("DISPLAY is not set and Xvfb is not installed (apt-get install xvfb)")
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", SCREEN,
                             "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        number = f.readline().strip()  # written once the server accepts clients
    if not number:
        proc.terminate()
        sys.exit("Xvfb did not start")
    return proc, ":" + number


def is_imagemagick(command):
    try:
        out = subprocess.run([command, "-version"], check=False, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, timeout=10).stdout
    except (OSError, subprocess.TimeoutExpired):
        return False
    return b"ImageMagick" in out


def capture(root, output):
    """Save a picture of ``root``'s window; returns the tool used."""
    window = root.wm_frame()  # the top-level X window, title bar included if any
    if shutil.which("import") and is_imagemagick("import"):
        subprocess.run(["import", "-window", window, output], check=True)
        return "ImageMagick import"
    if shutil.which("xwd") and shutil.which("convert") and is_imagemagick("convert"):
        dump = subprocess.run(["xwd", "-silent", "-id", window], check=True,
                              stdout=subprocess.PIPE).stdout
        subprocess.run(["convert", "xwd:-", output], input=dump, check=True)
        return "xwd | convert"
    from PIL import ImageGrab

    x, y = root.winfo_rootx(), root.winfo_rooty()
    box = (x, y, x + root.winfo_width(), y + root.winfo_height())
    ImageGrab.grab(bbox=box, xdisplay=os.environ["DISPLAY"]).save(output)
    return "Pillow ImageGrab"


def take(output, ticks):
    import tkinter
    import tkinter.font

    import quorvaemg
    from quorvaemg_host.demo import demo_trial
    from quorvaemg_host.nexus import NexusStandIn

    with tempfile.TemporaryDirectory() as folder:
        trial = demo_trial(folder)
        vicon = NexusStandIn(trial)
        root = tkinter.Tk()
        try:
            root, names = quorvaemg.initializeroot(root, vicon, trial.device_id, trial.output_id)
            quorvaemg.initializewindow(root, tkinter, vicon, [trial.subject], trial.name,
                                       trial.device_name, trial.device_id, trial.output_id,
                                       names, history=True, pathconfig=trial.folder)
            boxes = {w.cget("text"): w for w in root.winfo_children()
                     if w.winfo_class() == "Checkbutton"}
            for name in ticks:
                if name not in names:
                    sys.exit(f"no channel {name!r}; the demo trial has {', '.join(names)}")
                boxes[name].invoke()
            root.geometry("+0+0")
            root.lift()
            deadline = time.time() + 10.0
            root.update()
            while not root.winfo_viewable():
                if time.time() > deadline:
                    sys.exit("the window did not appear on " + os.environ["DISPLAY"])
                time.sleep(0.05)
                root.update()
            settle = time.time() + 1.0
            while time.time() < settle:  # let every widget draw
                root.update()
                time.sleep(0.05)
            size = (root.winfo_width(), root.winfo_height())
            tool = capture(root, output)
            family = tkinter.font.Font(root=root, font="Calibri 12").actual("family")
        finally:
            root.destroy()
    return tool, size, family


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default=DEFAULT_OUTPUT)
    parser.add_argument("--tick", nargs=2, default=DEFAULT_TICKS, metavar="NAME",
                        help="the two channels to tick (default: %(default)s)")
    args = parser.parse_args(argv)

    output = os.path.abspath(args.output)
    os.makedirs(os.path.dirname(output), exist_ok=True)
    xvfb = None
    if not os.environ.get("DISPLAY"):
        xvfb, os.environ["DISPLAY"] = start_xvfb()
    try:
        tool, (width, height), family = take(output, args.tick)
    finally:
        if xvfb is not None:
            xvfb.terminate()
            xvfb.wait()
    print(f"{output}: {width}x{height} window, taken with {tool}; Calibri drawn as {family}")
    if family not in ("Calibri", "Carlito"):
        print("  (for Calibri's metrics install a metric-compatible font, e.g. Debian's "
              "fonts-crosextra-carlito)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
