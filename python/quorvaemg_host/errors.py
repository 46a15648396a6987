"""The failures the host expects, and how any failure is told to a lab."""

from quorvaemg_host.nexus import NexusError


class HostError(Exception):
    """An expected failure: what went wrong and, when known, what to do about it."""

    def __init__(self, what, todo=None):
        super().__init__(what if todo is None else f"{what}, {todo}")


class UsageError(HostError):
    """A command line that names something that is not there."""


class NoDisplay(HostError):
    """Tk could not open a window: there is no display to open it on."""


def describe(exc):
    """What went wrong, as a lab reads it: the message, without internal class names.

    Only an unforeseen kind of failure keeps its Python type name, which is
    then the most useful thing to report.
    """
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror + (f": {exc.filename}" if exc.filename else "")
    else:
        text = " ".join(str(exc).split())
    if "invalid literal for int()" in text:
        text += " (cutoffs, orders and the RMS window take whole numbers)"
    if isinstance(exc, (HostError, NexusError, OSError, ValueError, RuntimeError)) and text:
        return text
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__
