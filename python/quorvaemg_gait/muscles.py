"""Which side and which muscle a channel records.

From the channel's name: a side prefix (``L``/``R`` or ``Left``/``Right``,
with or without a separator) before a muscle's abbreviation or name, e.g.
``LTA``, ``RGAS``, ``Left TA``, ``R_VL``, ``L-Rectus Femoris``; a side
after the muscle, separated (``TA_L``, ``Rectus Femoris Right``), is read
too.  A mapping file ``channel,side,muscle`` given by the user always wins.
A channel that maps to nothing is left out and listed, never guessed.
"""

import re

from quorvaemg_gait import tables

SIDE_NAMES = {"L": "Left", "LEFT": "Left", "R": "Right", "RIGHT": "Right"}

# Muscle key -> (full name, names and abbreviations that denote it).  Names
# are compared in capitals without blanks or separators.
MUSCLES = {
    "TA": ("tibialis anterior", ("TA", "TIB", "TIBANT", "TIBIALISANTERIOR", "ANTERIORTIBIALIS")),
    "GAS": ("gastrocnemius", ("GAS", "GAST", "GASTRO", "GASTROC", "GASTROCNEMIUS", "MG", "LG",
                              "MGAS", "LGAS", "GASMED", "GASLAT", "GASTMED", "GASTLAT",
                              "GASTROCNEMIUSMEDIALIS", "GASTROCNEMIUSLATERALIS",
                              "MEDIALGASTROCNEMIUS", "LATERALGASTROCNEMIUS")),
    "SOL": ("soleus", ("SOL", "SOLEUS")),
    "RF": ("rectus femoris", ("RF", "RECFEM", "RECTFEM", "RECTUSFEMORIS")),
    # The vasti recorded with one electrode are recorded over the lateralis,
    # unless the name says medialis.
    "VL": ("vastus lateralis", ("VL", "VAS", "VASTI", "VASTUS", "VASLAT", "VASTLAT",
                                "VASTUSLATERALIS")),
    "VM": ("vastus medialis", ("VM", "VMO", "VASMED", "VASTMED", "VASTUSMED", "VASTUSMEDIALIS")),
    "HAM": ("hamstrings", ("HAM", "HAMS", "HAMSTRING", "HAMSTRINGS")),
    "MH": ("medial hamstrings", ("MH", "MHAM", "MEDHAM", "ST", "SM", "SEMITENDINOSUS",
                                 "SEMIMEMBRANOSUS", "MEDIALHAMSTRING", "MEDIALHAMSTRINGS")),
    "LH": ("lateral hamstrings", ("LH", "LHAM", "LATHAM", "BF", "BFLH", "BICFEM",
                                  "BICEPSFEMORIS", "LATERALHAMSTRING", "LATERALHAMSTRINGS")),
    "GMED": ("gluteus medius", ("GMED", "GLUTMED", "GLUTEUSMEDIUS")),
    "GMAX": ("gluteus maximus", ("GMAX", "GLUTMAX", "GLUTEUSMAXIMUS")),
    "ADD": ("adductors", ("ADD", "ADDS", "ADDL", "ADDM", "ADDUCTOR", "ADDUCTORS",
                          "ADDUCTORLONGUS", "ADDUCTORMAGNUS", "ADDLONG", "ADDMAG")),
}
_BY_NAME = {alias: key for key, (_, aliases) in MUSCLES.items() for alias in aliases}
_SEPARATORS = re.compile(r"[\s_\-.:/]+")
_MAPPING_HEADER = ("channel", "side", "muscle")


def _squeeze(text):
    return _SEPARATORS.sub("", text).upper()


def muscle_key(text):
    """The muscle key of an abbreviation or name, or None."""
    return _BY_NAME.get(_squeeze(text))


def full_name(muscle):
    """A muscle's full name; a muscle outside the table keeps the name it was given."""
    return MUSCLES[muscle][0] if muscle in MUSCLES else muscle


def from_name(channel):
    """(side, muscle key) read from a channel name, or None."""
    text = channel.strip()
    squeezed = _squeeze(text)
    for prefix in ("LEFT", "RIGHT", "L", "R"):  # the long forms first: "LEFTTA" is not L + EFTTA
        if squeezed.startswith(prefix) and squeezed[len(prefix):] in _BY_NAME:
            return SIDE_NAMES[prefix], _BY_NAME[squeezed[len(prefix):]]
    words = [w for w in _SEPARATORS.split(text) if w]
    if len(words) > 1 and words[-1].upper() in SIDE_NAMES:
        muscle = muscle_key("".join(words[:-1]))
        if muscle is not None:
            return SIDE_NAMES[words[-1].upper()], muscle
    return None


class MappingError(tables.TableError):
    """A mapping file that cannot be read as ``channel,side,muscle`` rows."""


MUSCLES_FILE = tables.TableFile("muscles file", "--muscles FILE (muscles= in a Nexus script)",
                                "channel,side,muscle")


def read_mapping(path):
    """{channel: (side, muscle)} of a mapping file ``channel,side,muscle``.

    The header row is optional; blank lines and lines starting with ``#`` are
    skipped, and files as Excel saves them are read (``tables.TableFile``).
    A muscle outside the table is kept under the name given (it then has no
    normal pattern to compare with).  A bad row is a ``MappingError`` naming
    the file and the line; a file that cannot be read or holds no row is
    refused too.
    """
    mapping = {}
    for row, (number, cells) in enumerate(MUSCLES_FILE.rows(path)):
        if row == 0 and tuple(c.lower() for c in cells) == _MAPPING_HEADER:
            continue
        if len(cells) != 3 or not cells[0] or not cells[2]:
            raise _mapping_error(path, number, "expected channel,side,muscle, found "
                                               f"\"{tables.excerpt(','.join(cells))}\"")
        side = SIDE_NAMES.get(cells[1].upper())
        if side is None:
            raise _mapping_error(path, number, f"side \"{tables.excerpt(cells[1])}\" is not "
                                               "L, R, Left or Right")
        mapping[cells[0]] = (side, muscle_key(cells[2]) or cells[2])
    if not mapping:
        raise _mapping_error(path, None, "holds only its header, no channel,side,muscle line")
    return mapping


def _mapping_error(path, number, what):
    return MappingError(str(MUSCLES_FILE.error(path, what, number)))


def assign(channels, mapping=None):
    """(assigned, unknown): {channel: (side, muscle)} for the channels whose side and
    muscle are known (the mapping first, then the name), and the others in order."""
    mapping = mapping or {}
    assigned, unknown = {}, []
    for channel in channels:
        found = mapping.get(channel) or from_name(channel)
        if found is None:
            unknown.append(channel)
        else:
            assigned[channel] = found
    return assigned, unknown
