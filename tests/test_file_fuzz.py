"""File-mutation fuzz of the host: damaged C3D trials and the text files labs hand in.

Targeted edits (``EDITS``) say what the host must make of a trial with one statement changed;
seeded bit flips, byte changes, truncations and appended bytes are held to what holds for every
file: no traceback, internal class name, MemoryError or hang, bounded memory, the input
unchanged, nothing written from a refused file, and a processed copy equal to the input outside
the analog sample words of the layout the host read, read back to that layout and readable by
ezc3d where the input is.  QUORVAEMG_FILE_FUZZ_SEED (default 8) and QUORVAEMG_FILE_FUZZ_CASES
(default 240 random cases) choose the run.
"""

import contextlib
import faulthandler
import io
import multiprocessing
import os
import random
import re
import shutil
import signal
import sys
import time
import tracemalloc
import warnings
from collections import Counter, namedtuple
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool

import numpy as np
import pytest
from conftest import ezc3d, needs_c3d

from quorvaemg_host import c3d_format as fmt
from quorvaemg_host.c3d_layout import Layout

try:
    import resource
except ImportError:  # not on Windows
    resource = None

TESTS = os.path.dirname(os.path.abspath(__file__))
SEED = int(os.environ.get("QUORVAEMG_FILE_FUZZ_SEED", "8"))
CASES = int(os.environ.get("QUORVAEMG_FILE_FUZZ_CASES", "240"))
SECONDS, ADDRESS_SPACE = 10, 3 << 30  # per command (a gait PDF takes about 1.5 s); the worker's
# The peak allocation allowed (traced, so that a size only declared is caught before a byte of
# it is touched): the command's own working set (gait draws a PDF with matplotlib) and a
# multiple of the file's size (for text, what a Python object per cell costs).
WORKING_SET = {"process": 32 << 20, "quality": 32 << 20, "gait": 128 << 20, "batch": 64 << 20}
PER_BYTE = {"c3d": 8, "text": 32}
REFUSED, WARNED, SAME, OTHER, ACCEPTED, EITHER = (
    "refused", "read as undamaged with a warning", "read as undamaged",
    "read as a different but consistent file", "accepted", "accepted or refused")

Base = namedtuple("Base", "name source events weight")  # weight: share of the random cases
BASES = (
    Base("pc_int.c3d", "c3d-samples/sample_02/pc_int.c3d", False, 4),
    Base("dec_int.c3d", "c3d-samples/sample_02/dec_int.c3d", False, 3),
    Base("dec_real.c3d", "c3d-samples/sample_02/dec_real.c3d", False, 3),
    Base("sgi_int.c3d", "c3d-samples/sample_02/sgi_int.c3d", False, 2),
    Base("sgi_real.c3d", "c3d-samples/sample_02/sgi_real.c3d", False, 2),
    Base("gait_trial.c3d", None, True, 4),  # written with ezc3d by write_bases
    Base("motionmonitor.c3d", "c3d-samples/motionmonitor.c3d", False, 1),
    Base("mega_emg_isokinetic.c3d", "c3d-samples/mega_emg_isokinetic.c3d", False, 1),
    Base("plugingait_walk.c3d", "c3d-samples/plugingait_walk.c3d", True, 1),
    Base("vicon_zerowire_gait.c3d", "c3d-samples/vicon_zerowire_gait.c3d", True, 1),
    Base("real_emg_2000hz.c3d", "real_emg_2000hz.c3d", False, 1),
)
BY_NAME = {b.name: b for b in BASES}
EDITED = ("pc_int.c3d", "dec_real.c3d", "sgi_real.c3d", "gait_trial.c3d")  # Intel, DEC, MIPS
GAIT_SHARE = 0.25  # of the random cases of trials with events, those that run the gait command


def write_bases(folder):
    """{name: path}; the written trial has a gait cycle every 110 frames per side, and 40
    markers so that a frame more or less never passes for a block of padding."""
    from test_host_c3d import emg, write_c3d

    os.makedirs(folder)
    written = write_c3d(os.path.join(folder, "gait_trial.c3d"), emg(2, 6000), ["LTA", "RTA"],
                        markers=40, subjects=("S01",), events=[
                            (side, event, first + 110 * k + 66 * (event == "Foot Off"), "S01")
                            for side, first in (("Left", 20), ("Right", 75)) for k in range(5)
                            for event in ("Foot Strike", "Foot Off")])
    return {b.name: os.path.join(TESTS, "data", b.source) if b.source else written for b in BASES}


Change = namedtuple("Change", "what apply")


class FileMap:
    """Where an undamaged C3D file keeps what the edits change (``values``: the parameters, as
    their records chain, and the header's words counted from 1 as the format counts them) and
    the data block the host reads.  The methods make changes; None where one does not apply."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = data = f.read()
        layout = Layout(path)
        self.numbers, self.section = layout.numbers, fmt.BLOCK * (data[0] - 1)
        self.frame_bytes = layout.frame_words * layout.word
        self.data_block = (layout.start, layout.start + layout.frames * self.frame_bytes)
        self.values = {"header word %d" % (k + 1): ("u", [1], 2 * k) for k in range(256)}
        self.values.update({"header frame rate": (4, [1], 20), "parameter blocks declared": (
            "b", [1], self.section + 2)})
        self.records, groups, at, signed = [], {}, self.section + 4, np.frombuffer(data, np.int8)
        while data[at]:
            length, owner = int(signed[at]), int(signed[at + 1])
            body, name = at + 2 + abs(length), data[at + 2:at + 2 + abs(length)].decode("latin-1")
            if owner < 0:
                groups[-owner], end = name, body + 3 + data[body + 2]
            else:
                kind, dims = int(signed[body + 2]), list(data[body + 4:body + 4 + data[body + 3]])
                end = body + 4 + len(dims) + abs(kind) * int(np.prod(dims))
                self.records.append((at, end, "%s:%s" % (groups.get(owner), name)))
                self.values[self.records[-1][2]] = (kind, dims, body + 4 + len(dims))
                end += 1 + data[end]
            following = self.numbers.integer(data, body)
            self.values["last record's link"] = (2, [1], body)  # its offset to the next
            if following == 0:
                break
            if body + following != end and self.numbers.swapped(data, body) == end - body:
                following = end - body  # sgi_*.c3d give a few offsets in Intel order
            at = body + following

    def put(self, what, at, raw):
        return raw and Change(what, lambda data: data[:at] + raw + data[at + len(raw):])

    def cut(self, size):
        return Change("cut to %d of %d bytes" % (size, len(self.data)), lambda data: data[:size])

    def appended(self, extra, what):
        return Change("%d bytes of %s appended" % (len(extra), what), lambda data: data + extra)

    def number(self, key, index=0):
        kind, _, at = self.values[key]
        if kind in (4, "b"):
            return self.numbers.float(self.data, at + 4 * index) if kind == 4 else self.data[at]
        dtype = self.numbers.uint16 if kind == "u" else self.numbers.int16
        return int(np.frombuffer(self.data, dtype, 1, at + 2 * index)[0])

    def set(self, key, value, index=0):
        kind, dims, at = self.values.get(key, (0, [], 0))
        raw, width = None, {4: 4, 2: 2, "u": 2, "b": 1}.get(kind, 0)
        if kind == 4 and index < np.prod(dims):
            with contextlib.suppress(ValueError):  # a DEC (VAX) float has no NaN or infinity
                raw = self.numbers.float_words(np.float32([value])).tobytes()
        elif width and index < np.prod(dims) and float(value).is_integer():
            dtype = {2: self.numbers.int16, "u": self.numbers.uint16, "b": np.uint8}[kind]
            inside = np.iinfo(dtype).min <= value <= np.iinfo(dtype).max
            raw = np.array([value], dtype).tobytes() if inside else None
        where = key + ("[%d]" % index if index else "")
        return raw and self.put("%s %s -> %s" % (where, self.number(key, index), value),
                                at + width * index, raw)

    def scaled(self, key, factor=1, step=0):
        return self.set(key, self.number(key) * factor + step) if key in self.values else None


Edit = namedtuple("Edit", "expect make")
NAN, LABELS = float("nan"), "ANALOG:LABELS"
EDITS = (  # what each edit must make of the files EDITED it applies to
    Edit(WARNED, lambda m: [m.scaled("header word 10", step=1)]),  # samples per frame
    Edit(WARNED, lambda m: [m.scaled("header word 2", step=1)]),  # points
    Edit(WARNED, lambda m: [m.scaled("header word 3", step=m.number("header word 10"))]),
    Edit(WARNED, lambda m: [m.scaled("header word 5", step=-1)]),  # last frame
    Edit(WARNED, lambda m: [m.scaled("header word 9", step=1)]),  # data start
    Edit(WARNED, lambda m: [m.set("header frame rate", NAN)]),
    Edit(WARNED, lambda m: [m.set("header frame rate", 0.0)]),
    Edit(WARNED, lambda m: [m.scaled("header frame rate", 2)]),
    Edit(WARNED, lambda m: [m.scaled("POINT:FRAMES", step=1000)]),
    Edit(WARNED, lambda m: [m.scaled("POINT:USED", step=1)]),
    Edit(WARNED, lambda m: [m.scaled("ANALOG:USED", step=1)]),
    Edit(WARNED, lambda m: [m.scaled("POINT:SCALE", -1)]),  # float storage or integer
    Edit(WARNED, lambda m: [m.scaled("POINT:RATE", 2)]),
    Edit(WARNED, lambda m: [m.scaled("ANALOG:RATE", 2)]),
    Edit(WARNED, lambda m: [m.set("parameter blocks declared", 0)]),
    Edit(WARNED, lambda m: [m.set("parameter blocks declared", 1)]),
    Edit(WARNED, lambda m: [m.set("parameter blocks declared", 255)]),
    Edit(WARNED, lambda m: [m.set("EVENT:TIMES", NAN, 1)]),  # the seconds of the first event
    Edit(WARNED, lambda m: [m.scaled("EVENT:USED", step=1)]),
    Edit(SAME, lambda m: [m.set("header word 4", 0)]),  # a first frame of 0 counts as 1
    Edit(SAME, lambda m: [m.set("POINT:FRAMES", 0)]),  # not given
    Edit(SAME, lambda m: [m.appended(bytes(m.frame_bytes), "zeros")]),
    Edit(OTHER, lambda m: [m.scaled("ANALOG:OFFSET", step=1)]),
    Edit(OTHER, lambda m: [m.put("%s[0] blank" % LABELS, m.values[LABELS][2],
                                 b" " * m.values[LABELS][1][0])]),
    Edit(REFUSED, lambda m: [m.scaled("header word 5", step=1000),
                             m.scaled("POINT:FRAMES", step=1000)]),
    Edit(REFUSED, lambda m: [m.set("header word 9", m.data[0]),  # the parameters' first block
                             m.set("POINT:DATA_START", m.data[0])]),
    Edit(REFUSED, lambda m: [m.set("header word 9", 1), m.set("POINT:DATA_START", 1)]),
    Edit(REFUSED, lambda m: [m.scaled("header word 5", step=-1),  # none fills the file exactly
                             m.scaled("POINT:FRAMES", step=1000)]),
    Edit(REFUSED, lambda m: [m.set("last record's link", m.data_block[0] + 2  # into the data
                                   - m.values["last record's link"][2])]),
    Edit(REFUSED, lambda m: [m.set("header word 4", 1), m.set("header word 5", 65535),
                             m.set("POINT:FRAMES", -1)]),
    Edit(REFUSED, lambda m: [m.set("header word 2", 32767), m.set("POINT:USED", 32767)]),
    Edit(REFUSED, lambda m: [m.set("POINT:RATE", NAN)]),
    Edit(REFUSED, lambda m: [m.set("POINT:RATE", 0.0)]),
    Edit(REFUSED, lambda m: [m.set("ANALOG:RATE", -1.0)]),
    Edit(REFUSED, lambda m: [m.set("ANALOG:SCALE", NAN)]),
    Edit(REFUSED, lambda m: [m.set("ANALOG:OFFSET", NAN)]),  # where stored as floats
    Edit(REFUSED, lambda m: [m.set("ANALOG:GEN_SCALE", NAN)]),
    Edit(REFUSED, lambda m: [m.cut(m.data_block[1] - 1)]),
)


def random_change(rng, m):
    """A bit flip, byte change, truncation or appended bytes, as the seed draws it."""
    size, (start, end), roll = len(m.data), m.data_block, rng.random()
    if roll < 0.12:
        return m.cut(rng.choice([fmt.BLOCK * rng.randrange(size // fmt.BLOCK + 1),
                                 rng.randrange(1, size), end - 1, end + 1]))
    if roll < 0.22:
        count = rng.choice([1, 3, 511, 512, m.frame_bytes, 100000])
        fill = rng.choice([b"\0", b"\xff", bytes([rng.randrange(256)])])
        return m.appended(fill * count, "0x%02x" % fill[0])
    read = [r for r in m.records if r[2].startswith(("POINT", "ANALOG", "EVENT"))]
    at = rng.choice([  # mostly the header's words and event block, and the records read
        rng.randrange(24), rng.randrange(298, 468), rng.randrange(fmt.BLOCK),
        rng.randrange(m.section, m.records[-1][1]), rng.randrange(start, end)]
        + [rng.randrange(*rng.choice(read)[:2])] * 3)
    place = "header word %d" % (at // 2 + 1) if at < fmt.BLOCK else "data block" if at >= start \
        else next((r[2] for r in m.records if r[0] <= at < r[1]), "between records")
    new = m.data[at] ^ (1 << rng.randrange(8)) if rng.random() < 0.6 else \
        rng.choice([0, 0xFF, 0x7F, 0x80, rng.randrange(256)])
    return m.put("byte %d (%s) 0x%02x -> 0x%02x" % (at, place, m.data[at], new), at, bytes([new]))


def lines(rows, *changes):
    rows = list(rows)
    for index, value in zip(changes[::2], changes[1::2]):
        rows[index] = value
    return "".join(row + "\n" for row in rows).encode("utf-8")


Text = namedtuple("Text", "file what expect content")
CONFIG = ["2", "1", "1 - LTA", "1", "2 - RTA", "1", "1", "1", "1", "1", "20", "200", "100", "2",
          "2"]  # channels, then switches, high-pass and low-pass cutoffs, RMS window, orders
MUSCLES, MVC = ["channel,side,muscle", "LTA,L,TA", "RTA,R,TA"], ["channel,value", "LTA,0.0005"]
BOM, HUGE = b"\xef\xbb\xbf", "Z" * 1000000
NOISE, MANY = bytes(random.Random(SEED).getrandbits(8) for _ in range(3000)), 10 ** 5
TEXTS = (  # bulk and hostile content (test_host_cli has the settings refused); made when run
    Text("config", "as Save Configuration writes it", ACCEPTED, lambda: lines(CONFIG)),
    Text("config", "a billion channels", REFUSED, lambda: lines(CONFIG, 0, "1000000000")),
    Text("config", "binary data", REFUSED, lambda: NOISE),
    Text("config", "a first line of 100 MB", REFUSED, lambda: b"9" * (100 << 20) + lines(CONFIG)),
    Text("config", "a byte-order mark", REFUSED, lambda: BOM + lines(CONFIG)),
    Text("muscles", "from Excel, with a byte-order mark", ACCEPTED, lambda: BOM + lines(MUSCLES)),
    Text("muscles", "binary data", REFUSED, lambda: NOISE),
    Text("muscles", "a side of 1 MB", REFUSED, lambda: lines(MUSCLES, 2, "RTA," + HUGE + ",TA")),
    Text("muscles", "a channel name of 1 MB", EITHER, lambda: lines(MUSCLES + [HUGE + ",L,TA"])),
    Text("muscles", "100,000 rows", EITHER, lambda: lines(MUSCLES + ["LTA,L,TA"] * MANY)),
    Text("mvc", "as a lab writes it", ACCEPTED, lambda: lines(MVC + ["RTA,0.0005"])),
    Text("mvc", "a value NaN", REFUSED, lambda: lines(MVC, 1, "LTA,nan")),
    Text("mvc", "a value of 1 MB", REFUSED, lambda: lines(MVC, 1, "LTA," + HUGE)),
    Text("mvc", "100,000 rows", EITHER, lambda: lines(MVC + ["C%d,1" % k for k in range(MANY)])),
)
C3D_RUNS = [("process", ["{trial}", "--process"]), ("quality", ["quality", "{trial}", "--csv",
            "{trial}.csv"]), ("gait", ["gait", "{trial}"])]  # gait for the cases that say so
TEXT_RUNS = {"config": ("batch", "RIVuror_config.txt", ["--batch", "{folder}", "{trial}"]),
             "muscles": ("gait", "muscles.csv", ["gait", "{trial}", "--muscles", "{text}"]),
             "mvc": ("gait", "mvc.csv", ["gait", "{trial}", "--normalise", "mvc:{text}"])}
Case = namedtuple("Case", "id part base what expect changes gait")


def plan(paths):
    """Every case of a run, in order: the same in the test and in its worker."""
    maps = {b.name: FileMap(paths[b.name]) for b in BASES}
    cases = [Case(0, "undamaged", b.name, "undamaged", SAME, [], b.events) for b in BASES]
    cases += [Case(0, "targeted", name, "; ".join(c.what for c in changes), edit.expect, changes,
                   BY_NAME[name].events and "EVENT" in changes[0].what)
              for edit in EDITS for name in EDITED for changes in [edit.make(maps[name])]
              if all(changes)]
    for number in range(CASES):
        rng = random.Random("%d:%d" % (SEED, number))
        base = rng.choices(BASES, [b.weight for b in BASES])[0]
        change = random_change(rng, maps[base.name])
        cases.append(Case(0, "random", base.name, "seed %d #%d, %s" % (SEED, number, change.what),
                          None, [change], base.events and rng.random() < GAIT_SHARE))
    xvfb = shutil.which("Xvfb") is not None  # the batch run's Tk root needs a display
    cases += [Case(0, "text", "gait_trial.c3d", "%s file: %s" % (t.file, t.what), t.expect, t, 0)
              for t in TEXTS if xvfb or t.file != "config"]
    return [case._replace(id=k) for k, case in enumerate(cases)]


# -- the worker: running and judging the cases ---------------------------------------------

Run = namedtuple("Run", "command status out err peak escaped outputs caught")
CLASS_NAMES = re.compile(r"\b(?:[A-Z]\w*)?(?:Error|Exception|Warning)\b|\bstruct\.error\b"
                         r"|<class '|\b_[A-Z][A-Za-z]+\b")
ALLOCATION = re.compile(r"MemoryError|Unable to allocate|bad_alloc|Cannot allocate memory")
SUCCESS = re.compile(r"\bwritten(?: to|:)|\b[1-9]\d* processed\b")
ERROR, LONGEST_LINE = "quorvaemg-host: error: ", 2000


def run_faults(run, size, kind):
    """(property, detail) of what a command did wrong, whatever its input."""
    rows = (run.out + "\n" + run.err).splitlines()
    text = "\n".join(row[:LONGEST_LINE] for row in rows)  # a 100 MB line searched in a moment
    errors = [row for row in run.err.splitlines() if row.startswith(ERROR)]
    other = [row for row in run.err.splitlines() if row.strip() and row[:8] != "warning:"
             and not row.startswith(ERROR)]
    allocation = ALLOCATION.findall(text + "\n" + (run.escaped or ""))
    longest = max(map(len, rows), default=0)
    repeated = re.search(r"(\S)\1{40,}", text)  # such as 41 of a million Zs, or of 0 digits
    return [(prop, detail) for prop, broken, detail in [
        ("traceback in the output", re.search(r"Traceback \(most|^\s*File \".*\", line \d", text,
                                              re.M), ""),
        ("internal class name in the output", CLASS_NAMES.search(text),
         ", ".join(sorted(set(CLASS_NAMES.findall(text)))[:3])),
        ("stderr holds more than one error line, or other text", len(errors) > 1 or other,
         (other + errors + [""])[0][:100]),
        ("MemoryError", allocation, ", ".join(allocation[:1])),
        ("exception escaped main()", run.escaped and not allocation, run.escaped),
        ("refused without an error line", run.status == 1 and not errors
         and "failed: " not in run.out, ""),
        ("memory beyond the working set and %d x the file's size" % PER_BYTE[kind],
         run.peak > WORKING_SET[run.command] + PER_BYTE[kind] * size,
         "%.0f MB for a file of %.1f MB" % (run.peak / 1e6, size / 1e6)),
        ("message quotes more than a short excerpt", longest > LONGEST_LINE or repeated,
         "a line of %d characters%s" % (longest, ", %r x %d" % (repeated.group(1), len(
             repeated.group(0))) if repeated else "")),
        ("temporary file left behind", [n for n in run.outputs if n[0] == "."], "")] if broken]


def ezc3d_reads(path):
    """Whether ezc3d reads a file; in a forked process, as a damaged one may crash it."""
    pid = os.fork()
    if pid == 0:
        signal.alarm(SECONDS)
        with contextlib.suppress(BaseException):
            ezc3d.c3d(path)
            os._exit(0)
        os._exit(1)
    return os.waitpid(pid, 0)[1] == 0


def copy_faults(data, source, copy):
    """What is wrong with a processed copy of the file ``source`` (bytes ``data``)."""
    layout, shape = Layout(source), "frames points analogs ratio is_float start".split()
    with open(copy, "rb") as f:
        written, frame = np.frombuffer(f.read(), np.uint8), layout.frame_words * layout.word
    differ = written != np.frombuffer(data, np.uint8) if len(written) == len(data) else written
    if len(written) == len(data):  # where the host read analog samples, the copy may differ
        frames = layout.start + frame * np.arange(layout.frames)[:, None]
        differ[(frames + np.arange(layout.first_analog_word * layout.word, frame)).ravel()] = False
    faults = [("copy differs from the input outside the analog sample words", "%d of %d bytes, "
               "the first at %d" % (differ.sum(), len(data), differ.argmax()))] * bool(differ.any())
    try:
        back = Layout(copy)
        if [getattr(back, k) for k in shape] != [getattr(layout, k) for k in shape]:
            faults.append(("copy read back to another layout", str(vars(back))[:120]))
    except ValueError as exc:
        faults.append(("copy not read back by the host", str(exc)[-120:]))
    return faults + [("copy not readable by ezc3d, which reads the input", "")] * (
        ezc3d_reads(source) and not ezc3d_reads(copy))


class Worker:
    """Runs and judges the cases, in a process limited as ``start_worker`` limits it."""

    def __init__(self, paths, work):
        self.paths, self.folder, self.undamaged = paths, os.path.join(work, "case"), {}
        self.crash_log, self.cases = open(os.path.join(work, "crash.log"), "a"), plan(paths)

    @contextlib.contextmanager
    def limited(self):
        """A hang ends the worker, its stack in the crash log (Python may not be running)."""
        faulthandler.dump_traceback_later(SECONDS, exit=True, file=self.crash_log)
        try:
            yield
        finally:
            faulthandler.cancel_dump_traceback_later()

    def run(self, command, argv):
        """One command, its allocation traced from its start."""
        from quorvaemg_host import cli

        before, out, err, escaped = set(os.listdir(self.folder)), io.StringIO(), io.StringIO(), None
        tracemalloc.reset_peak()
        floor = tracemalloc.get_traced_memory()[0]
        try:
            with self.limited(), contextlib.redirect_stdout(out), contextlib.redirect_stderr(err), \
                    warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                status = cli.main(argv)
        except BaseException as exc:  # noqa: BLE001 - what escapes main is the finding
            status, escaped = None, "%s: %s" % (type(exc).__name__, str(exc)[:200])
        return Run(command, status, out.getvalue(), err.getvalue(),
                   tracemalloc.get_traced_memory()[1] - floor, escaped,
                   sorted(n for n in set(os.listdir(self.folder)) - before
                          if not n.endswith("History.txt")),
                   sorted({str(w.message) for w in caught}))

    def execute(self, case):
        """(runs, defects, reading or None, why not) of a case's commands on its file."""
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        trial, text = os.path.join(self.folder, case.base), case.part == "text"
        with open(self.paths[case.base], "rb") as f:
            data = f.read()
        if text:  # a text file beside the undamaged trial
            shutil.copyfile(self.paths[case.base], trial)
            command, name, argv = TEXT_RUNS[case.changes.file]
            commands, path, data = [(command, argv)], os.path.join(self.folder, name), \
                case.changes.content()
        else:
            commands, path = C3D_RUNS[:3 if case.gait else 2], trial
            for change in case.changes:
                data = change.apply(data)
        with open(path, "wb") as f:
            f.write(data)
        runs = [self.run(command, [a.format(folder=self.folder, trial=trial, text=path)
                                   for a in argv]) for command, argv in commands]
        with open(path, "rb") as f:
            defects = [] if f.read() == data else [("the commands", "input file modified", "")]
        defects += [(run, p, d) for run in runs
                    for p, d in run_faults(run, len(data), "text" if text else "c3d")]
        if text:
            return runs, defects, None, None
        try:
            from quorvaemg_host.c3d import load_trial

            with self.limited():
                read = load_trial(path)
            reading = (read.channel_names, (read.device_rate, read.frame_rate), read.samples)
            why = None
        except Exception as exc:  # noqa: BLE001 - a refusal is an outcome
            reading, why = None, " ".join(str(exc).split())[-160:] or type(exc).__name__
        for name in (n for n in runs[0].outputs if n.endswith("_processed.c3d")):
            defects += [(runs[0], p, d) for p, d in copy_faults(data, path,
                                                                os.path.join(self.folder, name))]
        return runs, defects, reading, why

    def judge(self, case):
        """The class of a case as the host read it, what it did wrong, numpy's warnings."""
        base = BY_NAME[case.base]
        if case.base not in self.undamaged:  # with the commands its damaged cases run
            self.undamaged[case.base] = self.execute(case._replace(part="undamaged", changes=[],
                                                                   gait=base.events))
        theirs, wanted = {run.command: run for run in self.undamaged[case.base][0]}, \
            self.undamaged[case.base][2]
        runs, defects, reading, why = self.undamaged[case.base] if case.part == "undamaged" \
            else self.execute(case)

        def warnings_of(run):
            return {row for row in (run.out + "\n" + run.err).splitlines() if row[:8] == "warning:"}
        warned = [run for run in runs
                  if warnings_of(run) - warnings_of(theirs.get(run.command, run))]
        differ = wanted and reading and ("%s at %s Hz, not %s at %s Hz" % (
            reading[0][:3], reading[1], wanted[0][:3], wanted[1]) if reading[:2] != wanted[:2]
            else next(("samples of %s differ" % name for name, mine, other in zip(
                reading[0], reading[2], wanted[2]) if not np.array_equal(mine, other, True)), ""))
        if case.part == "text":
            found = REFUSED if runs[0].status in (1, 2) else ACCEPTED
        else:
            found = REFUSED if reading is None else OTHER if differ or not wanted \
                else WARNED if warned else SAME
        defects = defects + [(run, "written from a file that must be refused", run.outputs)
                             for run in runs if REFUSED in (found, case.expect)
                             and (run.outputs or SUCCESS.search(run.out))]
        if case.expect not in (found, None, EITHER) and (case.expect, found) != (SAME, WARNED):
            defects.append((runs[-1], "%s, not %s" % (found, case.expect), why or differ or ""))
        elif case.expect in (WARNED, SAME):
            for run in runs:
                if run.status != theirs[run.command].status:
                    defects.append((run, "exit status not the undamaged file's",
                                    "%s, undamaged %s" % (run.status, theirs[run.command].status)))
                elif case.expect == WARNED and run.status == 0 and run not in warned:
                    defects.append((run, "read without a warning line", ""))
        return found, [(getattr(run, "command", run), prop, str(detail)[:200], [
            row[:160] for row in (run.err + run.out).splitlines() if row.strip()][:1]
            if isinstance(run, Run) else []) for run, prop, detail in defects], sorted(
                {w for run in runs for w in run.caught})


def start_worker(paths, work):
    """The worker's limits; no display (the batch run starts a private Xvfb, as on a
    server); tracing; and the commands run once unmeasured, for their imports."""
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    limit = ADDRESS_SPACE if hard == resource.RLIM_INFINITY else min(ADDRESS_SPACE, hard)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    os.environ.pop("DISPLAY", None)
    global WORKER
    WORKER = Worker(paths, work)
    faulthandler.enable(WORKER.crash_log)
    tracemalloc.start()
    WORKER.execute(Case(-1, "warm-up", "gait_trial.c3d", "", SAME, [], True))


def worker_case(number):
    return WORKER.judge(WORKER.cases[number])


# -- the test ---------------------------------------------------------------------------

def run_cases(cases, paths, work):
    """{id: (class, defects, numpy warnings)}, the cases run one by one in a worker process
    that is started afresh after one it died in."""
    outcomes, pool = {}, None
    for case in cases:
        pool = pool or ProcessPoolExecutor(1, multiprocessing.get_context("spawn"), start_worker,
                                           (paths, work))
        try:
            outcomes[case.id] = pool.submit(worker_case, case.id).result()
        except BrokenProcessPool:
            assert outcomes, "the worker did not start: its traceback is in the captured stderr"
            with open(os.path.join(work, "crash.log"), errors="replace") as f:
                stack = f.read().rsplit("most recent call first", 1)[-1].splitlines()[1:4]
            outcomes[case.id], pool = ("died", [("the worker", "worker died (a crash, or a hang "
                                                 "of %d s)" % SECONDS, "", stack)], []), None
    if pool is not None:
        pool.shutdown()
    return outcomes


def report(cases, outcomes, seconds, examples=4):
    """A line of each part's cases by class, then the defects by property with a few cases
    each, then the numpy warnings seen."""
    parts, by_property = {}, {}
    for case in cases:
        found, defects, caught = outcomes[case.id]
        parts.setdefault(case.part, Counter()).update(
            [found] + ["with defects"] * bool(defects) + ["with numpy warnings"] * bool(caught))
        for defect in {d[1]: d for d in defects}.values():
            by_property.setdefault(defect[1], []).append((case, defect))
    rows = ["file fuzz, seed %d, %d cases in %.0f s | %s" % (SEED, len(cases), seconds, " | ".join(
        "%s: %s" % (part, ", ".join("%s %d" % item for item in counts.items()))
        for part, counts in parts.items()))]
    for prop, found in sorted(by_property.items(), key=lambda item: -len(item[1])):
        rows.append("%s: %d" % (prop, len(found)))
        for case, (command, _, detail, output) in found[:examples]:
            rows += ["  #%d %s: %s | %s | %s" % (case.id, case.base, case.what, command, detail)]
            rows += ["      > " + row.strip() for row in output]
    caught = {}
    for case in cases:
        for warning in outcomes[case.id][2]:
            caught.setdefault(warning, []).append(case)
    return "\n".join(rows + ["numpy warning in %d cases (first #%d %s: %s): %s" % (
        len(found), found[0].id, found[0].base, found[0].what, w[:80])
        for w, found in caught.items()])


@needs_c3d
@pytest.mark.skipif(resource is None or not sys.platform.startswith("linux"),
                    reason="the fuzz's worker is limited and measured as Linux allows")
@pytest.mark.timeout(600 + 3 * CASES)
def test_damaged_files_are_refused_or_read_as_the_rules_say(tmp_path):
    started, paths = time.monotonic(), write_bases(str(tmp_path / "bases"))
    cases = plan(paths)
    outcomes = run_cases(cases, paths, str(tmp_path))
    text = report(cases, outcomes, time.monotonic() - started)
    if any(outcomes[case.id][1] for case in cases):
        pytest.fail(text, pytrace=False)
    print(text)
