"""Which of a trial's channels a user asked for.

One rule for every command and every call from a Nexus script:

- nothing (None, or an empty list): every channel;
- one text: a pattern, a glob matched against the whole label when it has
  ``*``, ``?`` or ``[``, else a part of the label (both case-sensitive), as
  ``--channels`` takes it;
- a list: each item a channel's name (exactly, else ignoring case), a glob,
  or a 1-based channel number as Nexus counts channels.
"""
from fnmatch import fnmatchcase

GLOB_CHARS = "*?["


class ChannelError(ValueError):
    """Channels asked for that the trial does not have; ``unknown`` lists them."""

    def __init__(self, message, unknown=()):
        super().__init__(message)
        self.unknown = list(unknown)


def is_glob(text):
    return any(c in text for c in GLOB_CHARS)


def matching(labels, pattern):
    """0-based positions of the labels a ``--channels`` pattern keeps, in label order."""
    if is_glob(pattern):
        return [k for k, label in enumerate(labels) if fnmatchcase(label, pattern)]
    return [k for k, label in enumerate(labels) if pattern in label]


def _positions_of(labels, folded, item):
    if isinstance(item, int) and not isinstance(item, bool):
        if not 1 <= item <= len(labels):
            raise ChannelError(f"channel number {item} is out of range 1..{len(labels)}")
        return [item - 1]
    if not isinstance(item, str):
        raise TypeError("a channel must be named by its label or its 1-based number, not "
                        + type(item).__name__)
    if item in labels:
        return [labels.index(item)]
    if item.lower() in folded:
        return [folded.index(item.lower())]
    return matching(labels, item) if is_glob(item) else []


def select_channels(labels, wanted=None, owner="the trial"):
    """0-based positions of the channels ``wanted`` names (see the module notes).

    A list keeps the order it asks in, each channel once.  A name or glob
    that matches nothing raises ChannelError naming it and ``owner``.
    """
    labels = list(labels)
    if wanted is None:
        return list(range(len(labels)))
    if isinstance(wanted, str):
        return matching(labels, wanted)
    wanted = list(wanted)
    if not wanted:
        return list(range(len(labels)))
    folded = [label.lower() for label in labels]
    chosen, unknown = [], []
    for item in wanted:
        found = _positions_of(labels, folded, item)
        if not found:
            unknown.append(item)
        chosen.extend(k for k in found if k not in chosen)
    if unknown:
        raise ChannelError("no channel named {} in {} (it has: {})".format(
            ", ".join(repr(n) for n in unknown), owner, ", ".join(labels)), unknown)
    return chosen
