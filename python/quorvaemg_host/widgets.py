"""Window-less stand-ins for the Tk objects the module's entry points take.

The Process button hands ``processsignal`` the window's root and its channel
variables; when the host runs without a display these play those parts.
"""


class Var:
    """Holds one value behind ``get``/``set``, like a Tk IntVar or StringVar."""

    def __init__(self, value):
        self._value = value

    def get(self):
        return self._value

    def set(self, value):
        self._value = value


class HeadlessRoot:
    """A root window that only records that it was destroyed."""

    def __init__(self):
        self.destroyed = False

    def destroy(self):
        self.destroyed = True


def channel_vars(channel_names, ticked):
    """The window's ``a`` and ``b`` lists: tick flags and "k - NAME" choices.

    ``ticked`` holds the 1-based numbers of the ticked channels; every
    channel's destination is itself, as the window sets it up.
    """
    a = [Var(1 if k + 1 in ticked else 0) for k in range(len(channel_names))]
    b = [Var(f"{k + 1} - {name}") for k, name in enumerate(channel_names)]
    return a, b
