"""A real Tk for the window tests, on a virtual X display when none is set.

``tk_display`` (session): makes sure DISPLAY names a display Tk can open.
When DISPLAY is unset and ``Xvfb`` is on PATH it starts a private Xvfb
(``quorvaemg_host.display``) and stops it when the session ends; when no display can
be had, every test that needs one is skipped.

``root`` (per test): one ``tkinter.Tk()``, never in a main loop.  Exceptions
that Tk callbacks raise are collected instead of printed; a test that expects
one takes it with ``take_reported(root)``, and any left over fails the test
at teardown.  The root is destroyed at teardown if still alive.

``tk_factory`` (per test): puts a recording wrapper over tkinter in the
module's ``tk`` name, so a test can count the roots and variables that a
call creates; roots still alive at teardown are destroyed.

Import the fixtures by name into a test module::

    from tk_support import root, tk_display  # noqa: F401
"""

import os
import time
import tkinter

import pytest
import quorvaemg
from quorvaemg_host.display import DisplayUnavailable, can_open_display, private_display


@pytest.fixture(scope="session")
def tk_display():
    """The DISPLAY the Tk tests run on; skips them when there is none."""
    if os.environ.get("DISPLAY"):
        if not can_open_display():
            pytest.skip("DISPLAY is set but Tk cannot open it")
        yield os.environ["DISPLAY"]
        return
    try:
        display = private_display().__enter__()
    except DisplayUnavailable as exc:
        pytest.skip(str(exc))
    try:
        deadline = time.monotonic() + 10.0
        while not can_open_display():
            if time.monotonic() > deadline:
                pytest.skip("Tk cannot open the Xvfb display %s" % display.started)
            time.sleep(0.1)
        yield os.environ.get("DISPLAY")
    finally:
        display.__exit__(None, None, None)


def alive(window):
    """True while the Tk window (or its application) has not been destroyed."""
    try:
        return bool(window.winfo_exists())
    except tkinter.TclError:
        return False


def _install_collector(window):
    window.reported = []

    def collect(exc_type, exc_value, traceback):
        window.reported.append(exc_value)

    window.report_callback_exception = collect


def take_reported(window):
    """The exceptions Tk callbacks reported so far, which the test thereby expects."""
    reported = list(window.reported)
    window.reported.clear()
    return reported


def _check_and_destroy(window):
    if alive(window):
        try:
            window.update_idletasks()
        except tkinter.TclError:
            pass
    leftover = list(window.reported)
    if alive(window):
        window.destroy()
    if tkinter._default_root is window:
        tkinter._default_root = None
    if leftover:
        pytest.fail(f"exception reported from a Tk callback: {leftover!r}")


@pytest.fixture
def root(tk_display):
    """A fresh Tk root; unexpected callback exceptions fail the test."""
    window = tkinter.Tk()
    _install_collector(window)
    yield window
    _check_and_destroy(window)


class RecordingTk:
    """tkinter as the module sees it, with its roots and variables counted."""

    def __init__(self):
        self.roots = []
        self.int_vars = []
        self.string_vars = []

    def __getattr__(self, name):
        return getattr(tkinter, name)

    def Tk(self, *args, **kwargs):
        window = tkinter.Tk(*args, **kwargs)
        _install_collector(window)
        self.roots.append(window)
        return window

    def IntVar(self, *args, **kwargs):
        var = tkinter.IntVar(*args, **kwargs)
        self.int_vars.append(var)
        return var

    def StringVar(self, *args, **kwargs):
        var = tkinter.StringVar(*args, **kwargs)
        self.string_vars.append(var)
        return var


@pytest.fixture
def tk_factory(tk_display, monkeypatch):
    """Records what the module creates through its ``tk`` name."""
    recorder = RecordingTk()
    monkeypatch.setattr(quorvaemg, "tk", recorder)
    yield recorder
    failures = []
    for window in recorder.roots:
        try:
            _check_and_destroy(window)
        except pytest.fail.Exception as exc:
            failures.append(str(exc))
    if failures:
        pytest.fail("; ".join(failures))


def check_options(widget, options, default, skip, where):
    """Every option of ``widget`` is as listed in ``options``, else as on
    ``default``, a fresh widget of the same class (destroyed here)."""
    try:
        for key in widget.keys():  # noqa: SIM118 - Tk widgets are not iterable
            if key in skip or key in ("bd", "bg", "fg"):
                continue
            alias = {"background": "bg", "foreground": "fg"}.get(key, key)
            want = options.get(alias, options.get(key, default.cget(key)))
            assert str(widget.cget(key)) == str(want), "%s option %s" % (where, key)
    finally:
        default.destroy()
