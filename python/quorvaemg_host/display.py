"""A display for Tk on machines that have none: a private Xvfb server.

The batch run makes a Tk root window, which needs an X display on Linux.  On
a server or a cluster node, where DISPLAY is unset, ``private_display`` starts
Xvfb (the X virtual frame buffer) on a free display number and sets DISPLAY
for the length of the run (worker processes the run starts inherit it).

The server lives as long as the process: Tk keeps its connection to a
display open until the process ends, and an X server that goes away under
an open connection makes Xlib end the process.  It is stopped at exit (and
with its parent, should that be killed), and a later run in the same
process uses it again.  The test suite uses the same code.
"""

import atexit
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import time

XVFB_ARGS = ("-screen", "0", "1280x1024x24", "-nolisten", "tcp")
DISPLAY_NUMBERS = range(120, 160)


def display_missing():
    """True where Tk needs an X display and DISPLAY names none (not Windows or macOS)."""
    x11 = not (sys.platform.startswith("win") or sys.platform == "darwin")
    return x11 and not os.environ.get("DISPLAY")


def can_open_display():
    import tkinter

    try:
        probe = tkinter.Tk()
    except tkinter.TclError:
        return False
    probe.destroy()
    return True


def _die_with_parent():
    """Run in the Xvfb child: end it when its parent dies, even if killed."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def _wait_for_socket(proc, number, timeout=10.0):
    socket = "/tmp/.X11-unix/X%d" % number
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        if os.path.exists(socket):
            return True
        time.sleep(0.05)
    return False


def start_xvfb(xvfb):
    """Start ``xvfb`` on the first free display number; (process, number) or None."""
    for number in DISPLAY_NUMBERS:
        if os.path.exists("/tmp/.X%d-lock" % number) or \
                os.path.exists("/tmp/.X11-unix/X%d" % number):
            continue
        proc = subprocess.Popen([xvfb, ":%d" % number] + list(XVFB_ARGS),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                preexec_fn=_die_with_parent)  # noqa: PLW1509
        if _wait_for_socket(proc, number):
            return proc, number
        # Lost a race for the number, or Xvfb could not start: try the next.
        stop(proc)
    return None


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class DisplayUnavailable(Exception):
    """No display is set and none could be started."""


_server = {}  # the process's private Xvfb: "proc" and "display"


def private_server():
    """The display name of this process's private Xvfb, started on first use."""
    proc = _server.get("proc")
    if proc is None or proc.poll() is not None:
        xvfb = shutil.which("Xvfb")
        if xvfb is None:
            raise DisplayUnavailable("no display is set (DISPLAY) and Xvfb is not installed")
        started = start_xvfb(xvfb)
        if started is None:
            raise DisplayUnavailable("no display is set (DISPLAY) and Xvfb did not start on "
                                     "any display number tried")
        proc, number = started
        _server.update(proc=proc, display=":%d" % number)
        atexit.register(stop, proc)
    return _server["display"]


class private_display:
    """Context: DISPLAY set to the private Xvfb while it lasts, when none is set.

    Does nothing where a display is set or none is needed.  ``started`` is
    the display name it set, else None.  Raises ``DisplayUnavailable`` when
    Xvfb is not installed or does not start.
    """

    def __init__(self):
        self.started = None

    def __enter__(self):
        if display_missing():
            self.started = os.environ["DISPLAY"] = private_server()
        return self

    def __exit__(self, *exc_info):
        if self.started is not None:
            os.environ.pop("DISPLAY", None)
        return False
