"""File-mutation fuzz of the host: damaged C3D trials and the text files labs hand in.

Real trial files (``tests/data`` and trials written with ezc3d) are damaged in
seeded ways: bit flips and byte changes in the header, the parameter section
and the data block; targeted edits of header fields, parameter counts, rates,
dimensions, record offsets, labels and events; truncation and appended bytes.
Each damaged file goes through ``quorvaemg-host FILE --process``,
``quorvaemg-host quality FILE --csv ...`` and, for some cases of the trials
with gait events, ``quorvaemg-host gait FILE``.  The batch configuration, the
muscles file and the MVC file are damaged in a fixed list of ways and given
to ``--batch``, ``gait --muscles`` and ``gait --normalise mvc:``.

All commands run in-process (``cli.main``) in one child process with a limited
address space and a time limit per command; a child that dies (a crash, or a
hang in native code such as a modal message box) is restarted after the case
it died in, which counts as a defect.  The child reports each case's outcome
to the test as data.

What a careful reader must make of a damaged C3D file (``expectation``, from
``c3d_layout.Declared``): the header and the parameters each declare the data
block's start, points, analog words per frame (ANALOG:USED x samples per
frame), frames and storage; every combination of what they declare is a
layout.  A file whose parameter records cannot be followed, whose rates are
not finite and positive, whose data block would start inside its parameter
section or that holds none of its declared data blocks must be refused, and
so must one whose header and parameters disagree when no layout fits the
file's size exactly (at most a block of padding after its data block):
nothing may be written from it.  When they disagree and exactly one layout fits, the
disagreement is resolvable: the file must be read to the channels and samples
of the undamaged file, with a ``warning:`` line.  An undamaged file must be
read as ezc3d reads it.  Every command, on every file: no traceback, no
internal class name, no MemoryError, no hang, allocations bounded by a few
times the file's size, the input never modified, and a processed copy
readable by ezc3d and byte for byte the input outside the processed sample
words.

QUORVAEMG_FILE_FUZZ_SEED (default 8) and QUORVAEMG_FILE_FUZZ_CASES (default
240 seeded cases, beside the fixed ones) choose the run;
QUORVAEMG_FILE_FUZZ_ONLY=ID[,ID...] runs only the cases of those ids (as the
failure report names them).
"""

import contextlib
import faulthandler
import io
import json
import math
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tracemalloc
import warnings
from collections import namedtuple

import numpy as np
import pytest

from c3d_layout import (
    BLOCK,
    EVENT_LABELS,
    EVENT_SLOTS,
    EVENT_TIMES,
    HEADER_FIELDS,
    C3DMap,
    Declared,
    Layout,
    Unreadable,
    analog_mask,
    frame_bytes,
)
from conftest import ezc3d, needs_c3d

try:
    import resource
except ImportError:  # not on Windows
    resource = None

TESTS = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(TESTS, "data")
SEED = int(os.environ.get("QUORVAEMG_FILE_FUZZ_SEED", "8"))
CASES = int(os.environ.get("QUORVAEMG_FILE_FUZZ_CASES", "240"))
ONLY = {i for i in os.environ.get("QUORVAEMG_FILE_FUZZ_ONLY", "").replace(",", " ").split()}

COMMAND_SECONDS = 10  # a command's time limit; the longest (a gait PDF) takes about 1.5 s
ADDRESS_SPACE = 3 << 30  # the child's, bytes
# Allowed peak allocation: bytes + factor x the file's size.  For C3D files it is
# traced (tracemalloc), so that a declared size is caught before a byte of it is
# touched; for the text files it is the resident set's high-water mark, since
# tracing every small allocation of a million rows makes them ten times slower and
# the time limit is a property too.  Text files may cost what a Python object per
# cell costs (linear), never what a count in them asks for.
C3D_MEMORY = (32 << 20, 8)
TEXT_MEMORY = (64 << 20, 32)

needs_linux = pytest.mark.skipif(resource is None or not sys.platform.startswith("linux"),
                                 reason="the fuzz's child is limited and measured as Linux allows "
                                        "(setrlimit, alarm, /proc)")


# -- the files damaged --------------------------------------------------------------

Base = namedtuple("Base", "name source weight gait_share gait_args")
WRITTEN, DEMO = "written with ezc3d", "the demo trial"
SAMPLES = "c3d-samples/"
BASES = (  # gait_share: share of the base's cases that run the gait command (a PDF costs)
    Base("pc_int.c3d", SAMPLES + "sample_02/pc_int.c3d", 5, 0, []),
    Base("pc_real.c3d", SAMPLES + "sample_02/pc_real.c3d", 4, 0, []),
    Base("dec_int.c3d", SAMPLES + "sample_02/dec_int.c3d", 4, 0, []),
    Base("dec_real.c3d", SAMPLES + "sample_02/dec_real.c3d", 3, 0, []),
    # One record offset of each sample_02 MIPS file is stored little-endian: no reader can
    # follow its records, so it is only read undamaged (and must be refused).
    Base("sgi_int.c3d", SAMPLES + "sample_02/sgi_int.c3d", 0, 0, []),
    Base("Eb015si.c3d", SAMPLES + "sample_01/Eb015si.c3d", 1, 0, []),
    Base("Eb015sr.c3d", SAMPLES + "sample_01/Eb015sr.c3d", 1, 0, []),
    Base("Eb015pi.c3d", SAMPLES + "sample_01/Eb015pi.c3d", 1, 0, []),
    Base("Eb015vr.c3d", SAMPLES + "sample_01/Eb015vr.c3d", 1, 0, []),
    Base("gait_trial.c3d", WRITTEN, 4, 0.25, []),
    Base("Walk01.c3d", DEMO, 1, 0.25, ["--channels", "?TA"]),
    Base("motionmonitor.c3d", SAMPLES + "motionmonitor.c3d", 1, 0, []),
    Base("mega_emg_isokinetic.c3d", SAMPLES + "mega_emg_isokinetic.c3d", 1, 0, []),
    Base("plugingait_walk.c3d", SAMPLES + "plugingait_walk.c3d", 1, 1, []),
    Base("vicon_zerowire_gait.c3d", SAMPLES + "vicon_zerowire_gait.c3d", 1, 1, []),
    Base("real_emg_2000hz.c3d", "real_emg_2000hz.c3d", 0.5, 0, []),
)
CUT_AT_EVERY_BLOCK = ("pc_int.c3d", "dec_real.c3d")
# Two channels at 1000 Hz, 600 frames at 100 Hz; a cycle every 110 frames per side.
GAIT_EVENTS = [(side, event, first + 110 * k + (66 if event == "Foot Off" else 0), "S01")
               for side, first in (("Left", 20), ("Right", 75))
               for event in ("Foot Strike", "Foot Off") for k in range(5)]


def write_bases(folder):
    """{name: path} of the files damaged; the written ones go to ``folder``."""
    from quorvaemg_host.demo import write_demo_c3d
    from test_host_c3d import emg, write_c3d

    os.makedirs(folder)
    paths = {}
    for base in BASES:
        if base.source == WRITTEN:
            paths[base.name] = write_c3d(os.path.join(folder, base.name), emg(2, 6000),
                                         ["LTA", "RTA"], subjects=("S01",), events=GAIT_EVENTS)
        elif base.source == DEMO:
            paths[base.name] = write_demo_c3d(folder)
        else:
            paths[base.name] = os.path.join(DATA, base.source)
    return paths


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def damaged(data, spec):
    """The bytes of ``data`` with the edits, cut and appended bytes of a case."""
    out = bytearray(data)
    for at, raw in spec["edits"]:
        raw = bytes.fromhex(raw)
        out[at:at + len(raw)] = raw
    if spec.get("size") is not None:
        del out[spec["size"]:]
    return bytes(out) + bytes.fromhex(spec.get("append", ""))


# -- what a careful reader makes of a file ------------------------------------------

MUST_REFUSE = ("unreadable", "bad rate", "no layout", "cut short", "no exact fit")


def expectation(data, base_layouts=()):
    """The class of a file (see the module notes) and the layouts it may be read with."""
    def verdict(kind, why, layouts=(), same=False):
        return {"class": kind, "why": why, "layouts": [list(layout) for layout in layouts],
                "same": same}

    try:
        c3d = C3DMap(data)
    except Unreadable as exc:
        return verdict("unreadable", str(exc))
    declared = Declared(c3d)
    bad = declared.bad_rates()
    if bad:
        return verdict("bad rate", ", ".join("%s %r" % pair for pair in bad))
    if not declared.layouts:
        return verdict("no layout", "no whole counts with a data block after the parameter "
                                    "section (ending at byte %d): %s"
                       % (c3d.section_end, declared.describe("data start")))
    holding = declared.holding()
    if not holding:
        return verdict("cut short", "the file holds no declared data block")
    disputes = "; ".join("%s: %s" % (q, declared.describe(q)) for q in declared.disputes)
    if not declared.disputes:
        return verdict("fits", "", holding)
    exact = declared.exact()
    if not exact:
        return verdict("no exact fit", disputes)
    if len(exact) > 1:
        return verdict("ambiguous", disputes, exact)
    return verdict("resolvable", disputes, exact, same=tuple(exact[0]) in base_layouts)


# -- damage -------------------------------------------------------------------------

class Original:
    """A file to damage: its bytes, map, declared layout and data block."""

    def __init__(self, base, path):
        self.base, self.path = base, path
        self.data = read_bytes(path)
        self.expect = expectation(self.data)
        self.layouts = {tuple(layout) for layout in self.expect["layouts"]}
        if self.layouts:  # a file to damage (the others have weight 0)
            self.map = C3DMap(self.data)
            layout = Layout(*self.expect["layouts"][0])
            start = BLOCK * (layout.start - 1)
            self.data_block = (start, start + layout.frames * frame_bytes(layout))

    def parameter(self, rng, names):
        found = [self.map.get(*name) for name in names]
        found = [p for p in found if p is not None]
        return rng.choice(found) if found else None


def header_place(at):
    for name, (start, kind) in HEADER_FIELDS.items():
        if start <= at < start + {"u8": 1, "u16": 2, "float": 4}[kind]:
            return name
    for name, first, width in (("event time", EVENT_TIMES, 4), ("event label", EVENT_LABELS, 4)):
        if first <= at < first + width * EVENT_SLOTS:
            return "%s %d" % (name, (at - first) // width + 1)
    return "unused"


def parameter_place(c3d, at):
    for record in c3d.records:
        if record.record <= at < record.end:
            owner = [p for p in c3d.parameters.values() if p.record == record.record]
            name = "%s:%s" % (owner[0].group, owner[0].name) if owner else record.name
            if at < record.offset_at:
                return name + " name"
            if at < record.offset_at + 2:
                return name + " offset to the next record"
            if owner and at < owner[0].data:
                return name + " type or dimensions"
            if owner and at < owner[0].data + owner[0].size:
                return name + " value"
            return name + " description"
    return "between records"


def flip(rng, data, at, place):
    bit = rng.randrange(8)
    new = data[at] ^ (1 << bit)
    return "byte %d (%s): bit %d flipped, 0x%02x -> 0x%02x" % (at, place, bit, data[at], new), \
        [(at, bytes([new]))]


def set_byte(rng, data, at, place):
    new = rng.choice([0, 0xFF, 0x7F, 0x80, rng.randrange(256)])
    return "byte %d (%s): 0x%02x -> 0x%02x" % (at, place, data[at], new), [(at, bytes([new]))]


def header_offset(rng):
    region = rng.random()
    if region < 0.6:
        return rng.randrange(0, 24)
    if region < 0.8:
        return rng.randrange(298, EVENT_LABELS + 4 * EVENT_SLOTS)
    return rng.randrange(0, BLOCK)


def parameter_offset(rng, original):
    c3d = original.map
    if rng.random() < 0.5:
        return rng.randrange(c3d.section, max(r.end for r in c3d.records))
    chosen = rng.choice([p for p in c3d.parameters.values()
                         if p.group in ("POINT", "ANALOG", "TRIAL", "EVENT")])
    return rng.randrange(chosen.record, chosen.data + chosen.size)


def byte_damage(region):
    def damage(rng, original):
        data = original.data
        if region == "header":
            at = header_offset(rng)
            place = header_place(at)
        elif region == "parameters":
            at = parameter_offset(rng, original)
            place = parameter_place(original.map, at)
        else:
            at = rng.randrange(*original.data_block)
            place = "data block"
        how = flip if rng.random() < 0.6 else set_byte
        what, edits = how(rng, data, at, place)
        return "%s in the %s" % ("bit flip" if how is flip else "byte change", region), \
            region + " " + what, edits
    return damage


NAN, INF = float("nan"), float("inf")
RATES = [NAN, INF, -INF, -1000.0, 0.0]
HEADER_EDITS = {
    "points": lambda v, ratio: [v + 1, v - 1, 0, 65535, 2 * v],
    "analog words per frame": lambda v, ratio: [v + 1, v - 1, 0, 65535, v + ratio, v - ratio,
                                                2 * v],
    "first frame": lambda v, ratio: [0, v + 1, 65535],
    "last frame": lambda v, ratio: [v - 1, v + 1, 0, 65535],
    "scale": lambda v, ratio: [-v, -v, 0.0, NAN],
    "data start": lambda v, ratio: [v - 1, v + 1, 0, 1, 65535],
    "analog samples per frame": lambda v, ratio: [v - 1, v + 1, 0, 1, 65535],
    "frame rate": lambda v, ratio: RATES,
    "parameter block": lambda v, ratio: [0, 1, v + 1, 255],
    "event count": lambda v, ratio: [255, EVENT_SLOTS + 1, 0],
}


def header_field(rng, original):
    c3d = original.map
    name = rng.choice(sorted(HEADER_EDITS))
    old = c3d.header(name)
    new = rng.choice(HEADER_EDITS[name](old, c3d.header("analog samples per frame")))
    at, raw = c3d.header_bytes(name, new)
    return "header " + name, "header %s %r -> %r" % (name, old, new), [(at, raw)]


PARAMETER_EDITS = {  # (group, name): values, from the old value
    ("POINT", "USED"): lambda v: [-1, 0, 32767, v + 1, v - 1, 2 * v],
    ("ANALOG", "USED"): lambda v: [-1, 0, 32767, v + 1, v - 1, 2 * v],
    ("POINT", "FRAMES"): lambda v: [v - 1, v + 1, 0, -1, 32767],
    ("POINT", "DATA_START"): lambda v: [v - 1, v + 1, 0, 1, 32767],
    ("POINT", "SCALE"): lambda v: [-v],
    ("POINT", "RATE"): lambda v: RATES,
    ("ANALOG", "RATE"): lambda v: RATES,
    ("ANALOG", "SCALE"): lambda v: [NAN, 0.0, INF],
    ("ANALOG", "OFFSET"): lambda v: [-32768, 32767],
    ("ANALOG", "GEN_SCALE"): lambda v: [NAN, 0.0],
    ("EVENT", "TIMES"): lambda v: [NAN, INF, -INF, -1.0, 1e30],
    ("EVENT", "USED"): lambda v: [-1, 0, 32767, v + 1],
}


def parameter_value(rng, original, names=sorted(PARAMETER_EDITS)):
    parameter = original.parameter(rng, names)
    if parameter is None or parameter.kind == -1 or not parameter.values:
        return None
    index = rng.randrange(len(parameter.values))
    old = parameter.values[index]
    choices = [v for v in PARAMETER_EDITS[(parameter.group, parameter.name)](old)
               if parameter.kind == 4 or (math.isfinite(v) and v == int(v))]
    if not choices:
        return None
    new = rng.choice(choices)
    at, raw = original.map.value_bytes(parameter.group, parameter.name, index, new)
    name = "%s:%s" % (parameter.group, parameter.name)
    return name, "%s[%d] %r -> %r" % (name, index, old, new), [(at, raw)]


def event(rng, original):
    """A gait event's time or the event count (trials with events only)."""
    return parameter_value(rng, original, [("EVENT", "TIMES"), ("EVENT", "USED")])


DIMENSIONED = [("ANALOG", "LABELS"), ("ANALOG", "SCALE"), ("ANALOG", "OFFSET"),
               ("ANALOG", "UNITS"), ("ANALOG", "USED"), ("ANALOG", "RATE"), ("POINT", "USED"),
               ("POINT", "LABELS"), ("EVENT", "TIMES"), ("EVENT", "CONTEXTS"),
               ("EVENT", "LABELS")]


def dimension(rng, original):
    parameter = original.parameter(rng, DIMENSIONED)
    if parameter is None:
        return None
    name = "%s:%s" % (parameter.group, parameter.name)
    if not parameter.dims or rng.random() < 0.15:
        at, new = parameter.offset_at + 3, rng.choice([0, 1, 3, 7])
        return name + " dimensions", "%s: %d dimensions -> %d" % (
            name, len(parameter.dims), new), [(at, bytes([new]))]
    k = rng.randrange(len(parameter.dims))
    old = parameter.dims[k]
    new = rng.choice([0, 1, 255, max(old - 1, 0), min(old + 1, 255), old // 2])
    return name + " dimensions", "%s: dimension %d %d -> %d" % (name, k + 1, old, new), \
        [(parameter.offset_at + 4 + k, bytes([new]))]


def declared_blocks(rng, original):
    c3d = original.map
    old = c3d.declared_blocks
    into_data = c3d.header("data start") - c3d.parameter_block + 1
    new = rng.choice([0, 1, 255, min(into_data, 255), min(old + 1, 255)])
    return "declared parameter blocks", "parameter blocks declared %d -> %d" % (old, new), \
        [(c3d.section + 2, bytes([new]))]


def record_offset(rng, original):
    c3d = original.map
    wanted = [p.record for p in c3d.parameters.values() if p.group in ("POINT", "ANALOG")]
    records = [r for r in c3d.records if r.record in wanted] if rng.random() < 0.5 else []
    record = rng.choice(records or c3d.records)
    old = record.offset
    new = rng.choice([0, -2, 1, -old, old - 1, old + 1, old + BLOCK, 32767])
    return "record offset", "offset of record %s %d -> %d" % (record.name, old, new), \
        [(record.offset_at, c3d.numbers.int16(new))]


def label(rng, original):
    parameter = original.map.get("ANALOG", "LABELS")
    if parameter is None or parameter.kind != -1 or len(parameter.dims) != 2 \
            or not parameter.values:
        return None
    width, index = parameter.dims[0], rng.randrange(len(parameter.values))
    old = parameter.values[index]
    how = rng.choice(["padded with NULs", "all NULs", "all blanks", "no padding",
                      "same as another"])
    new = {"padded with NULs": old.rstrip().ljust(width, "\0"), "all NULs": "\0" * width,
           "all blanks": " " * width, "no padding": (old.strip() + "X" * width)[:width],
           "same as another": rng.choice(parameter.values)}[how]
    return "ANALOG:LABELS", "ANALOG:LABELS[%d] %r: %s" % (index, old.strip(), how), \
        [(parameter.data + index * width, new.encode("latin-1"))]


def header_event(rng, original):
    c3d = original.map
    k = rng.randrange(EVENT_SLOTS)
    if rng.random() < 0.5:
        value = rng.choice([NAN, INF, -1.0])
        return "header events", "header event time %d -> %r" % (k + 1, value), \
            [(EVENT_TIMES + 4 * k, c3d.numbers.float(value))]
    return "header events", "header event label %d -> 0xff bytes" % (k + 1), \
        [(EVENT_LABELS + 4 * k, b"\xff" * 4)]


def cut(rng, original):
    size = len(original.data)
    if rng.random() < 0.7:
        keep = BLOCK * rng.randrange((size - 1) // BLOCK + 1)
    else:
        keep = rng.choice([1, size - 1, rng.randrange(1, size)])
    return "truncation", "cut to %d of %d bytes" % (keep, size), [], keep


def appended(rng, original):
    count = rng.choice([1, 3, 511, 512, 4096, 100000])
    fill = rng.choice(["zero", "0xff", "random"])
    extra = {"zero": bytes(count), "0xff": b"\xff" * count,
             "random": bytes(rng.getrandbits(8) for _ in range(count))}[fill]
    return "appended bytes", "%d %s bytes appended" % (count, fill), [], None, extra


DAMAGE = (  # (weight, how)
    (12, byte_damage("header")), (12, byte_damage("parameters")), (4, byte_damage("data")),
    (16, header_field), (16, parameter_value), (6, dimension), (3, declared_blocks),
    (6, record_offset), (5, label), (2, header_event), (6, cut), (4, appended), (12, event),
)


def weighted(rng, items, weight):
    total = sum(weight(item) for item in items)
    point = rng.uniform(0, total)
    for item in items:
        point -= weight(item)
        if point <= 0 and weight(item):
            return item
    return items[-1]


def c3d_commands(base, gait):
    commands = [("process", ["{file}", "--process"]),
                ("quality", ["quality", "{file}", "--csv", os.path.join("{folder}", "quality.csv")])]
    if gait:
        commands.append(("gait", ["gait", "{file}"] + base.gait_args))
    return commands


def c3d_case(original, group, what, edits=(), size=None, append=b"", gait=False,
             undamaged=False):
    spec = {"kind": "c3d", "base": original.base.name, "group": group, "what": what,
            "edits": [[at, raw.hex()] for at, raw in edits], "size": size,
            "append": append.hex(), "commands": c3d_commands(original.base, gait),
            "undamaged": undamaged}
    spec["expect"] = expectation(damaged(original.data, spec), original.layouts)
    # A disagreement the undamaged file has already (motionmonitor.c3d) is its case's.
    spec["expect"]["inherited"] = spec["expect"]["why"] == original.expect["why"]
    return spec


def plan(paths, seed, count):
    """Every case of a run: undamaged files, truncations at every block, the text
    files, then ``count`` seeded damages (a case's damage depends only on the seed
    and its number)."""
    originals = [Original(base, paths[base.name]) for base in BASES]
    cases = [c3d_case(o, "undamaged", "undamaged", gait=o.base.gait_share > 0, undamaged=True)
             for o in originals]
    for original in originals:
        if original.base.name in CUT_AT_EVERY_BLOCK:
            size = len(original.data)
            for keep in list(range(0, size, BLOCK)) + [1, BLOCK - 1, BLOCK + 1, size - 1]:
                cases.append(c3d_case(original, "truncation", "cut to %d of %d bytes"
                                      % (keep, size), size=keep))
    # The batch run opens a Tk root: in the child, which has no DISPLAY, on a private Xvfb.
    batch = shutil.which("Xvfb") is not None
    cases += [text_case(number) for number, case in enumerate(TEXT_CASES)
              if batch or case.file != "config"]
    for number in range(count):
        rng = random.Random("%d:%d" % (seed, number))
        original = weighted(rng, originals, lambda o: o.base.weight)
        made = None
        while made is None:
            made = weighted(rng, DAMAGE, lambda d: d[0])[1](rng, original)
        group, what, edits = made[:3]
        size, extra = (list(made[3:]) + [None, b""])[:2]
        gait = original.base.gait_share and (group.startswith("EVENT")
                                             or rng.random() < original.base.gait_share)
        spec = c3d_case(original, group, what, edits, size, extra or b"", gait)
        spec["label"] = "seed %d, damage %d" % (seed, number)
        cases.append(spec)
    for number, spec in enumerate(cases):
        spec["id"] = number
        spec.setdefault("label", "fixed case")
    return cases


# -- the text files -----------------------------------------------------------------

TextCase = namedtuple("TextCase", "file what expect content marker")
ACCEPT, REFUSE, EITHER = "accepted", "refused", "accepted or refused"
CONFIG = ["2", "1", "1 - LTA", "1", "2 - RTA", "1", "1", "1", "1", "1", "20", "200", "100", "2",
          "2"]  # channels, then switches, high-pass and low-pass cutoffs, RMS window, orders
MUSCLES = ["channel,side,muscle", "LTA,L,TA", "RTA,R,TA"]
MVC = ["channel,value", "LTA,0.0005", "RTA,0.0005"]
BOM = b"\xef\xbb\xbf"
HUGE = "Z" * 1000000  # a cell no message may quote whole


def lines(rows):
    return "".join(row + "\n" for row in rows).encode("utf-8")


def changed(rows, *pairs):
    rows = list(rows)
    for index, value in zip(pairs[::2], pairs[1::2]):
        rows[index] = value
    return rows


def binary(name):
    rng = random.Random(name)
    return bytes(rng.getrandbits(8) for _ in range(3000))


TEXT_CASES = (
    TextCase("config", "as Save Configuration writes it", ACCEPT, lambda: lines(CONFIG), None),
    TextCase("config", "ends before its last setting", REFUSE, lambda: lines(CONFIG[:-1]), None),
    TextCase("config", "the channel count only", REFUSE, lambda: lines(CONFIG[:1]), None),
    TextCase("config", "empty", REFUSE, lambda: b"", None),
    TextCase("config", "two lines after the settings", EITHER,
             lambda: lines(CONFIG + ["0", "junk"]), None),
    TextCase("config", "a billion channels", REFUSE,
             lambda: lines(changed(CONFIG, 0, "1000000000")), None),
    TextCase("config", "2**64 channels", REFUSE,
             lambda: lines(changed(CONFIG, 0, str(2 ** 64))), None),
    TextCase("config", "-3 channels", REFUSE, lambda: lines(changed(CONFIG, 0, "-3")), None),
    TextCase("config", "an RMS window of 2,000,000,000 samples", REFUSE,
             lambda: lines(changed(CONFIG, 12, "2000000000")), None),
    TextCase("config", "a high-pass filter of order 100000", EITHER,
             lambda: lines(changed(CONFIG, 13, "100000")), None),
    TextCase("config", "a low-pass cutoff of 10**30 Hz", REFUSE,
             lambda: lines(changed(CONFIG, 11, str(10 ** 30))), None),
    TextCase("config", "a high-pass cutoff of 0 Hz", REFUSE,
             lambda: lines(changed(CONFIG, 10, "0")), None),
    TextCase("config", "no channel ticked", ACCEPT,
             lambda: lines(changed(CONFIG, 1, "0", 3, "0")), None),
    TextCase("config", "binary data", REFUSE, lambda: binary("config"), None),
    TextCase("config", "a first line of 100 MB", REFUSE,
             lambda: b"9" * (100 << 20) + b"\n" + lines(CONFIG[1:]), "9" * 41),
    TextCase("config", "a byte-order mark", EITHER, lambda: BOM + lines(CONFIG), None),
    TextCase("config", "UTF-16", EITHER, lambda: lines(CONFIG).decode().encode("utf-16"), None),
    TextCase("muscles", "as a lab writes it", ACCEPT, lambda: lines(MUSCLES), None),
    TextCase("muscles", "empty", EITHER, lambda: b"", None),
    TextCase("muscles", "binary data", REFUSE, lambda: binary("muscles"), None),
    TextCase("muscles", "a side of a million characters", REFUSE,
             lambda: lines(MUSCLES[:1] + ["LTA," + HUGE + ",TA"]), "Z" * 41),
    TextCase("muscles", "a channel name of a million characters", EITHER,
             lambda: lines(MUSCLES + [HUGE + ",L,TA"]), "Z" * 41),
    TextCase("muscles", "a million rows", EITHER, lambda: lines(MUSCLES + ["LTA,L,TA"] * 10 ** 6),
             None),
    TextCase("muscles", "a byte-order mark", ACCEPT, lambda: BOM + lines(MUSCLES), None),
    TextCase("muscles", "UTF-16", EITHER, lambda: lines(MUSCLES).decode().encode("utf-16"), None),
    TextCase("mvc", "as a lab writes it", ACCEPT, lambda: lines(MVC), None),
    TextCase("mvc", "empty", REFUSE, lambda: b"", None),
    TextCase("mvc", "binary data", REFUSE, lambda: binary("mvc"), None),
    TextCase("mvc", "a value NaN", REFUSE, lambda: lines(changed(MVC, 1, "LTA,nan")), None),
    TextCase("mvc", "a value 0", REFUSE, lambda: lines(changed(MVC, 1, "LTA,0")), None),
    TextCase("mvc", "a negative value", REFUSE, lambda: lines(changed(MVC, 1, "LTA,-0.0005")),
             None),
    TextCase("mvc", "a tiny value", EITHER, lambda: lines(changed(MVC, 1, "LTA,1e-300")), None),
    TextCase("mvc", "a value of a million characters", REFUSE,
             lambda: lines(changed(MVC, 1, "LTA," + HUGE)), "Z" * 41),
    TextCase("mvc", "a million rows", EITHER,
             lambda: lines(MVC + ["C%d,1" % k for k in range(10 ** 6)]), None),
    TextCase("mvc", "UTF-16", EITHER, lambda: lines(MVC).decode().encode("utf-16"), None),
)
TEXT_TRIAL = "gait_trial.c3d"
TEXT_COMMANDS = {
    "config": ["--batch", "{folder}", "{trial}"],
    "muscles": ["gait", "{trial}", "--muscles", "{text}"],
    "mvc": ["gait", "{trial}", "--normalise", "mvc:{text}"],
}
TEXT_NAMES = {"config": "RIVuror_config.txt", "muscles": "muscles.csv", "mvc": "mvc.csv"}


def text_case(number):
    case = TEXT_CASES[number]
    return {"kind": "text", "number": number, "base": TEXT_TRIAL, "group": case.file + " file",
            "what": "%s file: %s" % (case.file, case.what), "expect": {"class": case.expect}}


# -- the child: running the commands --------------------------------------------------

class CommandTimeout(BaseException):
    """A command ran past its time limit (not an Exception: nothing may catch it)."""


def _on_alarm(signum, frame):
    raise CommandTimeout()


class Traced:
    """Peak allocation of Python and numpy, as tracemalloc follows it."""

    @staticmethod
    def start():
        if not tracemalloc.is_tracing():
            tracemalloc.start()
        tracemalloc.reset_peak()
        return tracemalloc.get_traced_memory()[0]

    @staticmethod
    def peak():
        return tracemalloc.get_traced_memory()[1]


class Resident:
    """Peak resident set of the process (Linux: its high-water mark, reset first; where
    it cannot be reset, what the command adds to it)."""

    @staticmethod
    def start():
        tracemalloc.stop()
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
        except OSError:
            return Resident.peak()
        return Resident._status("VmRSS:")

    @staticmethod
    def peak():
        return Resident._status("VmHWM:")

    @staticmethod
    def _status(key):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))


Observation = namedtuple("Observation", "key status out err seconds peak timed_out escaped "
                                        "outputs leftovers")


class Child:
    """Runs the cases of a plan, one after another, and writes each outcome as a JSON line."""

    def __init__(self, plan_path, results_path):
        with open(plan_path) as f:
            plan = json.load(f)
        self.cases, self.paths = plan["cases"], plan["paths"]
        self.undamaged = plan["undamaged"]
        self.work = plan["work"]
        self.results = open(results_path, "a")
        self.crash_log = open(os.path.join(self.work, "crash.log"), "a")
        self.references = {}
        self.folder = os.path.join(self.work, "case")

    def emit(self, record):
        self.results.write(json.dumps(record) + "\n")
        self.results.flush()

    def phase(self, spec, what):
        self.emit({"id": spec["id"], "phase": what})

    def fresh_folder(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        return self.folder

    # -- limits ----------------------------------------------------------------------

    @contextlib.contextmanager
    def limited(self):
        """A time limit for what runs inside: an alarm raising ``CommandTimeout``, and
        behind it a hard stop of the process for a hang where Python cannot run
        (native code, a modal Tk box)."""
        faulthandler.dump_traceback_later(COMMAND_SECONDS + 5, exit=True, file=self.crash_log)
        signal.alarm(COMMAND_SECONDS)
        try:
            yield
        finally:
            signal.alarm(0)
            faulthandler.cancel_dump_traceback_later()

    def run(self, key, argv, folder, memory):
        from quorvaemg_host import cli

        before = set(os.listdir(folder))
        out, err = io.StringIO(), io.StringIO()
        status, escaped, timed_out = None, None, False
        sys.stdout.flush()
        sys.stderr.flush()
        with tempfile.TemporaryFile(mode="w+b") as native:
            saved = [os.dup(1), os.dup(2)]
            os.dup2(native.fileno(), 1)
            os.dup2(native.fileno(), 2)
            floor = memory.start()
            started = time.monotonic()
            try:
                with self.limited(), contextlib.redirect_stdout(out), \
                        contextlib.redirect_stderr(err), warnings.catch_warnings():
                    status = cli.main(argv)
            except CommandTimeout:
                timed_out = True
            except BaseException as exc:  # noqa: BLE001 - what escapes main is the finding
                escaped = "%s: %s" % (type(exc).__name__, str(exc)[:200])
            finally:
                seconds = time.monotonic() - started
                peak = memory.peak() - floor
                for fd, copy in zip((1, 2), saved):
                    os.dup2(copy, fd)
                    os.close(copy)
            native.seek(0)
            native_text = native.read().decode("utf-8", "replace")
        tidy_tk()
        made = sorted(set(os.listdir(folder)) - before)
        outputs = [n for n in made if not n.startswith(".") and not n.endswith("History.txt")]
        return Observation(key, status, out.getvalue(), err.getvalue() + native_text, seconds,
                           peak, timed_out, escaped, outputs, [n for n in made if n.startswith(".")])

    # -- the cases ---------------------------------------------------------------------

    def reading(self, path):
        """(channel names, samples) of ``load_trial``, or (None, why it refused)."""
        from quorvaemg_host import c3d

        try:
            with self.limited():
                trial = c3d.load_trial(path)
        except CommandTimeout:
            return None, "no result within %d s" % COMMAND_SECONDS
        except Exception as exc:  # noqa: BLE001 - a refusal is an outcome
            return None, "refused with %s: %s" % (type(exc).__name__,
                                                  " ".join(str(exc).split())[:200])
        return (trial.channel_names, trial.samples), None

    def reference(self, name):
        """What the undamaged file of ``name`` gives (its run is done once per child)."""
        if name not in self.references:
            self.references[name] = self.execute(self.undamaged[name])
        return self.references[name]

    def execute(self, spec):
        folder = self.fresh_folder()
        if spec["kind"] == "text":
            return self.execute_text(spec, folder)
        data = damaged(read_bytes(self.paths[spec["base"]]), spec)
        path = os.path.join(folder, spec["base"])
        with open(path, "wb") as f:
            f.write(data)
        observations = []
        for key, argv in spec["commands"]:
            self.phase(spec, "quorvaemg-host " + " ".join(argv))
            argv = [a.replace("{file}", path).replace("{folder}", folder) for a in argv]
            observations.append(self.run(key, argv, folder, Traced))
        unchanged = read_bytes(path) == data
        self.phase(spec, "load_trial")
        found = self.reading(path)
        copies = {}
        for name in observations[0].outputs:
            if name.endswith("_processed.c3d"):
                self.phase(spec, EZC3D_PHASE)
                copies[name] = check_copy(data, os.path.join(folder, name),
                                          spec["expect"]["layouts"])
        model = None
        if spec.get("undamaged"):
            self.phase(spec, "ezc3d reading the undamaged file")
            model = ezc3d_reading(path)
        return Execution(observations, unchanged, found, copies, model, len(data))

    def execute_text(self, spec, folder):
        case = TEXT_CASES[spec["number"]]
        content = case.content()
        trial = os.path.join(folder, TEXT_TRIAL)
        shutil.copyfile(self.paths[TEXT_TRIAL], trial)
        text = os.path.join(folder, TEXT_NAMES[case.file])
        with open(text, "wb") as f:
            f.write(content)
        argv = [a.replace("{folder}", folder).replace("{trial}", trial).replace("{text}", text)
                for a in TEXT_COMMANDS[case.file]]
        self.phase(spec, "quorvaemg-host " + " ".join(TEXT_COMMANDS[case.file]))
        observation = self.run(case.file, argv, folder, Resident)
        unchanged = read_bytes(text) == content
        return Execution([observation], unchanged, None, {}, None, len(content))

    def case(self, spec):
        started = time.monotonic()
        reference = self.reference(spec["base"]) if spec["kind"] == "c3d" else None
        execution = reference if spec.get("undamaged") else self.execute(spec)
        found, defects = judge(spec, execution, reference)
        outcome = {"class": found, "defects": defects, "seconds": time.monotonic() - started}
        self.emit({"id": spec["id"], "outcome": outcome})

    def warm_up(self):
        """Run each command once unmeasured: the first run of each imports modules whose
        allocations would count against the first case."""
        folder = self.fresh_folder()
        path = os.path.join(folder, TEXT_TRIAL)
        shutil.copyfile(self.paths[TEXT_TRIAL], path)
        for key, argv in c3d_commands(BASES[[b.name for b in BASES].index(TEXT_TRIAL)], True):
            self.run(key, [a.replace("{file}", path).replace("{folder}", folder) for a in argv],
                     folder, Traced)


Execution = namedtuple("Execution", "observations unchanged reading copies model size")


def tidy_tk():
    """Close what a command interrupted by its time limit may have left open."""
    tkinter = sys.modules.get("tkinter")
    root = getattr(tkinter, "_default_root", None) if tkinter else None
    if root is not None:
        try:
            root.destroy()
        except Exception:  # noqa: BLE001 - already gone
            pass
    pyplot = sys.modules.get("matplotlib.pyplot")
    if pyplot is not None:
        pyplot.close("all")


def check_copy(source, path, layouts):
    """What is wrong with a processed copy of ``source``: (property, detail) pairs."""
    found = []
    try:
        ezc3d.c3d(path)
    except Exception as exc:  # noqa: BLE001
        found.append((COPY_EZC3D, " ".join(str(exc).split())[:160]))
    copy = read_bytes(path)
    if len(copy) != len(source):
        return found + [(COPY_BYTES, "%d bytes, the input %d" % (len(copy), len(source)))]
    differ = np.frombuffer(copy, np.uint8) != np.frombuffer(source, np.uint8)
    outside = [np.flatnonzero(differ & ~analog_mask(Layout(*layout), len(copy)))
               for layout in layouts]
    if layouts and all(o.size for o in outside):
        first = min(outside, key=len)
        found.append((COPY_BYTES, "%d bytes, the first at %d" % (first.size, first[0])))
    return found


def ezc3d_reading(path):
    """(labels, analog samples) as ezc3d reads the file, or None when it cannot."""
    try:
        model = ezc3d.c3d(path)
    except Exception:  # noqa: BLE001 - e.g. MIPS files, which ezc3d does not read
        return None
    analogs = model["data"]["analogs"][0]
    labels = [str(s).strip() for s in model["parameters"]["ANALOG"]["LABELS"]["value"]]
    return labels[:len(analogs)], analogs


def child_main(plan_path, results_path, start):
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit = ADDRESS_SPACE if hard == resource.RLIM_INFINITY else min(ADDRESS_SPACE, hard)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    signal.signal(signal.SIGALRM, _on_alarm)
    child = Child(plan_path, results_path)
    child.warm_up()
    for spec in child.cases[start:]:
        child.phase(spec, "started")
        child.case(spec)


# -- judging an outcome ---------------------------------------------------------------

TRACEBACK = "traceback in the output"
CLASS_NAME = "internal class name in the output"
STDERR = "stderr holds more than one error line, or other text"
STATUS = "exit status other than 0, 1 or 2"
MEMORY_ERROR = "MemoryError"
HANG = "no result within the time limit"
MEMORY = "peak allocation above a few times the file's size"
ESCAPED = "exception escaped main()"
QUOTED = "message quotes more than a short excerpt"
LEFTOVER = "temporary file left behind"
MODIFIED = "input file modified"
WROTE = "output written from a file that must be refused"
SUCCESS = "success printed for a file that must be refused"
NOT_AS_UNDAMAGED = "resolvable disagreement not read as the undamaged file"
NO_WARNING = "resolvable disagreement read without a warning"
OTHER_STATUS = "resolvable disagreement: exit status differs from the undamaged file's"
NOT_AS_EZC3D = "undamaged file not read as ezc3d reads it"
COPY_EZC3D = "processed copy not readable by ezc3d"
COPY_BYTES = "processed copy differs outside the processed sample words"
DIED = "child process died (a crash, or a hang where Python cannot run)"
TEXT_EXPECTED = "text file not %s"
SILENT = "refused without an error line"
EZC3D_PHASE = "ezc3d reading the processed copy"

CLASS_NAMES = re.compile(r"\b(?:[A-Z]\w*)?(?:Error|Exception|Warning)\b|\bstruct\.error\b"
                         r"|<class '|\b_[A-Z][A-Za-z]+\b")
ALLOCATION = re.compile(r"MemoryError|Unable to allocate|bad_alloc|Cannot allocate memory")
SUCCESS_LINE = re.compile(r"\bwritten(?: to|:)|\b[1-9]\d* processed\b")
ERROR_LINE = "quorvaemg-host: error: "
LONGEST_LINE = 2000

REFUSED, WARNED, READ, DEFECT = ("refused cleanly", "read with a warning to the undamaged result",
                                 "read as a different but consistent file", "defect")


def excerpt(observation, count=3):
    """The lines of a command's output that say most: errors and failures, then progress
    lines and unusual warnings, then the rest; last the warnings every run prints."""
    rows = [line[:160] for line in (observation.err + "\n" + observation.out).splitlines()
            if line.strip()]
    rank = [re.compile(r"error:|failed:|Traceback|Error|Exception"),
            re.compile(r"^\[\d+/\d+\]|^warning: (?!device rate is|.* looks unusable)|Warning"),
            re.compile(r"^(?!warning:)")]
    return sorted(rows, key=lambda line: next((k for k, r in enumerate(rank) if r.search(line)),
                                              len(rank)))[:count]


def searchable(text):
    """``text`` with each line longer than LONGEST_LINE (a fault of its own) cut to its
    ends, so that a message quoting 100 MB is searched in a moment."""
    return "\n".join(line if len(line) <= LONGEST_LINE else line[:LONGEST_LINE] + " ... "
                     + line[-LONGEST_LINE:] for line in text.splitlines())


def command_faults(observation, spec, size, marker):
    """(property, detail) of every property a command broke whatever the file."""
    whole = observation.out + "\n" + observation.err
    longest = max([len(line) for line in whole.splitlines()] + [0])
    quoted = marker is not None and marker in whole
    text = searchable(whole) if longest > LONGEST_LINE else whole
    faults = []
    if "Traceback (most recent call last)" in text or re.search(r'^\s*File ".*", line \d+', text,
                                                                re.M):
        faults.append((TRACEBACK, ""))
    names = sorted(set(CLASS_NAMES.findall(text)))
    if names:
        faults.append((CLASS_NAME, ", ".join(names[:4])))
    errors = [line for line in observation.err.splitlines() if line.startswith(ERROR_LINE)]
    others = [line for line in observation.err.splitlines()
              if line.strip() and not line.startswith((ERROR_LINE, "warning:"))]
    if len(errors) > 1 or others:
        faults.append((STDERR, (others or errors)[0][:120]))
    if observation.timed_out:
        faults.append((HANG, "%d s" % COMMAND_SECONDS))
    elif observation.escaped:
        faults.append((MEMORY_ERROR if "MemoryError" in observation.escaped else ESCAPED,
                       observation.escaped))
    elif observation.status not in (0, 1, 2):
        faults.append((STATUS, repr(observation.status)))
    if ALLOCATION.search(text):
        faults.append((MEMORY_ERROR, ALLOCATION.search(text).group(0)))
    base, factor = TEXT_MEMORY if spec["kind"] == "text" else C3D_MEMORY
    if observation.peak > base + factor * size:
        faults.append((MEMORY, "%.0f MB for a file of %.1f MB"
                       % (observation.peak / 1e6, size / 1e6)))
    if longest > LONGEST_LINE or quoted:
        faults.append((QUOTED, "a line of %d characters" % longest))
    if observation.leftovers:
        faults.append((LEFTOVER, ", ".join(observation.leftovers)))
    return faults


def same_reading(found, wanted):
    """None when two readings give the same channels and samples, else how they differ."""
    names, samples = found
    if len(names) != len(wanted[0]):
        return "%d channels, not %d" % (len(names), len(wanted[0]))
    for mine, theirs in zip(names, wanted[0]):
        if mine != theirs:
            return "channel %r, not %r" % (mine, theirs)
    for name, mine, theirs in zip(names, samples, wanted[1]):
        if not np.array_equal(np.asarray(mine), np.asarray(theirs), equal_nan=True):
            return "samples of channel %s differ" % name
    return None


def judge(spec, execution, reference):
    """(class, defects) of a case; a defect is a dict of command, property, detail, output."""
    defects = []

    def defect(observation, prop, detail=""):
        """A defect of a command's ``observation``, or of the call it names (a string)."""
        command = observation if isinstance(observation, str) else observation.key
        defects.append({"command": command, "property": prop, "detail": detail,
                        "output": [] if isinstance(observation, str) else excerpt(observation)})

    marker = TEXT_CASES[spec["number"]].marker if spec["kind"] == "text" else None
    for observation in execution.observations:
        for prop, detail in command_faults(observation, spec, execution.size, marker):
            defect(observation, prop, detail)
    if not execution.unchanged:
        defect("the commands", MODIFIED)
    expect = spec["expect"]["class"]
    if expect in MUST_REFUSE or expect == REFUSE:
        for observation in execution.observations:
            if observation.outputs:
                defect(observation, WROTE, "%s (%s)" % (", ".join(observation.outputs),
                                                        spec["expect"].get("why", "")))
            elif SUCCESS_LINE.search(observation.out):
                defect(observation, SUCCESS, SUCCESS_LINE.search(observation.out).group(0))
    for faults in execution.copies.values():
        for prop, detail in faults:
            defect(execution.observations[0], prop, detail)
    if spec["kind"] == "text":
        return judge_text(spec, execution.observations[0], defects, defect)

    found, why = execution.reading
    if spec.get("undamaged") and execution.model is not None:
        differs = why or same_reading(found, execution.model)
        if differs:
            defect("load_trial", NOT_AS_EZC3D, differs)
    # Held to the undamaged file's reading where the host reads that one; a disagreement
    # the undamaged file has already is its own case's.
    resolved = (expect == "resolvable" and spec["expect"]["same"] and not spec.get("undamaged")
                and reference.reading[0] is not None)
    warned = resolved and not spec["expect"]["inherited"]
    if resolved:
        differs = why or same_reading(found, reference.reading[0])
        if differs:
            defect("load_trial", NOT_AS_UNDAMAGED, differs)
        elif warned:
            undamaged = {observation.key: observation for observation in reference.observations}
            for mine in execution.observations:
                theirs = undamaged[mine.key]
                if mine.status != theirs.status:
                    defect(mine, OTHER_STATUS, "exit %s, undamaged %s" % (mine.status,
                                                                            theirs.status))
                elif mine.status == 0 and not set(warning_lines(mine)) - set(warning_lines(theirs)):
                    defect(mine, NO_WARNING, spec["expect"]["why"])
    if defects:
        return DEFECT, defects
    if found is None:
        return REFUSED, defects
    return (WARNED if warned else READ), defects


def judge_text(spec, observation, defects, defect):
    """(class, defects) of a text file's case: refused or accepted as its case says."""
    expect = spec["expect"]["class"]
    refused = observation.status in (1, 2)
    if (expect == REFUSE and not refused) or (expect == ACCEPT and observation.status != 0):
        defect(observation, TEXT_EXPECTED % expect, "exit %s" % observation.status)
    if refused and not (any(line.startswith(ERROR_LINE) for line in observation.err.splitlines())
                        or "failed: " in observation.out):
        defect(observation, SILENT)
    if defects:
        return DEFECT, defects
    return (REFUSED if refused else READ), defects


def warning_lines(observation):
    return [line for line in (observation.out + "\n" + observation.err).splitlines()
            if line.startswith("warning:")]


# -- the test -------------------------------------------------------------------------

def run_child(plan_path, results_path, start, work):
    env = dict(os.environ, MPLBACKEND="Agg", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    env.pop("DISPLAY", None)  # the batch run starts its private Xvfb, as on a server
    env["PYTHONPATH"] = os.pathsep.join([TESTS] + [p for p in [env.get("PYTHONPATH")] if p])
    code = "import test_file_fuzz as f; f.child_main(%r, %r, %d)" % (plan_path, results_path,
                                                                      start)
    with open(os.path.join(work, "child.log"), "ab") as log:
        return subprocess.run([sys.executable, "-c", code], cwd=work, env=env, stdout=log,
                              stderr=log, timeout=3600).returncode


def run_cases(cases, plan_cases, paths, work):
    """{id: outcome} of every one of ``cases`` (from the whole plan ``plan_cases``), the
    child restarted after a case it died in."""
    plan_path, results_path = os.path.join(work, "plan.json"), os.path.join(work, "results.jsonl")
    with open(plan_path, "w") as f:
        json.dump({"cases": cases, "paths": paths, "work": work,
                   "undamaged": {spec["base"]: spec for spec in plan_cases if spec.get("undamaged")}},
                  f)
    outcomes, start = {}, 0
    while start < len(cases):
        status = run_child(plan_path, results_path, start, work)
        phases = {}
        with open(results_path) as f:
            for record in map(json_line, f):
                if record is None:  # cut short by the child's death
                    continue
                if "outcome" in record:
                    outcomes[record["id"]] = record["outcome"]
                else:
                    phases[record["id"]] = record["phase"]
        missing = [k for k, spec in enumerate(cases) if spec["id"] not in outcomes]
        if not missing:
            break
        start = missing[0]
        died = cases[start]
        assert died["id"] in phases, "the fuzz child died before its first case: see child.log"
        phase = phases[died["id"]]
        outcomes[died["id"]] = {"class": DEFECT, "seconds": None, "defects": [{
            "command": phase, "property": COPY_EZC3D if phase == EZC3D_PHASE else DIED,
            "detail": "the child's exit status %s" % status,
            "output": innermost_frames(os.path.join(work, "crash.log"))}]}
        start += 1
    return outcomes


def innermost_frames(crash_log, count=3):
    """The innermost frames of the last stack dump in the child's crash log."""
    with open(crash_log, errors="replace") as f:
        dump = f.read().rsplit("most recent call first", 1)[-1]
    return [line.strip() for line in dump.splitlines()[1:] if line.strip()][:count]


def json_line(text):
    try:
        return json.loads(text)
    except ValueError:
        return None


PARTS = (  # how each part of a run names the classes of its cases
    ("undamaged C3D", {READ: "read as ezc3d reads them", REFUSED: "refused, as by ezc3d"}),
    ("damaged C3D", {}),
    ("text files", {READ: "accepted"}),
)


def part_of(spec):
    return 0 if spec.get("undamaged") else 2 if spec["kind"] == "text" else 1


def summary(cases, outcomes, seconds):
    """One line: the number of cases of each class, per part of the run."""
    counts = [{} for _ in PARTS]
    for spec in cases:
        found = outcomes[spec["id"]]["class"]
        counts[part_of(spec)][found] = counts[part_of(spec)].get(found, 0) + 1
    parts = ["%s: %s" % (name, ", ".join("%s %d" % (names.get(c, c), counts[k][c])
                                          for c in (REFUSED, WARNED, READ, DEFECT)
                                          if c in counts[k]))
             for k, (name, names) in enumerate(PARTS) if counts[k]]
    return "file fuzz, seed %d, %d cases in %.0f s | %s" % (SEED, len(cases), seconds,
                                                            " | ".join(parts))


def defect_report(cases, outcomes, examples=4):
    """The defects by property: the kinds of damage that broke it, and a few examples,
    of different kinds first."""
    by_property = {}
    for spec in cases:
        for found in outcomes[spec["id"]]["defects"]:  # a case counts once per property
            same = by_property.setdefault(found["property"], [])
            if not same or same[-1][0] is not spec:
                same.append((spec, found))
    rows = []
    for prop, found in sorted(by_property.items(), key=lambda item: -len(item[1])):
        kinds = {}
        for spec, _ in found:
            kinds[spec["group"]] = kinds.get(spec["group"], 0) + 1
        rows.append("%s: %d (%s)" % (prop, len(found), ", ".join(
            "%s %d" % kind for kind in sorted(kinds.items(), key=lambda kind: -kind[1]))))
        firsts, later, seen = [], [], set()
        for item in found:
            (later if item[0]["group"] in seen else firsts).append(item)
            seen.add(item[0]["group"])
        for spec, one in (firsts + later)[:examples]:
            rows.append("    id %d (%s) %s: %s | %s | %s" % (
                spec["id"], spec["label"], spec["base"], spec["what"], one["command"],
                one["detail"]))
            rows += ["        > " + line for line in one["output"][:2]]
    return "\n".join(rows)


@needs_c3d
@needs_linux
@pytest.mark.timeout(900 + 3 * CASES)
def test_damaged_files_are_refused_or_read_as_undamaged(tmp_path):
    started = time.monotonic()
    paths = write_bases(str(tmp_path / "bases"))
    everything = plan(paths, SEED, CASES)
    cases = [spec for spec in everything if not ONLY or str(spec["id"]) in ONLY]
    outcomes = run_cases(cases, everything, paths, str(tmp_path))
    line = summary(cases, outcomes, time.monotonic() - started)
    print(line)
    if any(outcomes[spec["id"]]["defects"] for spec in cases):
        pytest.fail(line + "\n" + defect_report(cases, outcomes), pytrace=False)
