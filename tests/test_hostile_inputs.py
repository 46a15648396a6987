"""Hostile arguments: objects that lie about their length, or change another
argument of the same call while the module reads them.

The fuzz runs in a child interpreter, so a crash fails the test instead of
ending pytest.  QUORVAEMG_FUZZ_SEED and QUORVAEMG_FUZZ_ITERATIONS choose the
run (the sanitizer build runs many more calls than the ordinary suite).
"""

import json
import os

import pytest

from test_module import run_python

FUZZ = r"""
import json, os, random, warnings
warnings.simplefilter("ignore")
import numpy as np
import matplotlib.pyplot as pyplot
pyplot.show = lambda *a, **k: None
import quorvaemg
from fake_nexus import FakeNexus, Root, Var

class Boxes:
    showinfo = staticmethod(lambda *a, **k: "ok")

quorvaemg.messagebox = Boxes
rng = random.Random(int(os.environ.get("QUORVAEMG_FUZZ_SEED", "8")))
FOLDER = os.getcwd() + os.sep

def mutate(target):
    # Grows, shrinks or retypes a list or an array in place.
    if isinstance(target, np.ndarray):
        try:
            target.resize(rng.choice([0, 1, target.size // 2, 3 * target.size + 7]),
                          refcheck=False)
        except ValueError:
            pass
        return
    how, size = rng.randrange(4), list.__len__(target)   # the true length, not a lie
    if how == 0:
        target.extend([1.5] * rng.randint(1, 3000))
    elif how == 1:
        del target[rng.randint(0, size):]
    elif how == 2 and size:
        target[rng.randrange(size)] = rng.choice([None, "7", 10**400, [1.0], Var(1)])
    else:
        target[:] = [rng.random() for _ in range(rng.randint(0, 60))]

class Saboteur:
    # Every conversion or read of it changes `target` (a few times at most).
    def __init__(self, target, value):
        self.target, self.value, self.hits = target, value, 0
    def hit(self):
        self.hits += 1
        if self.hits <= 3:
            mutate(self.target)
        return self.value
    def __index__(self): return int(self.hit())
    __int__ = __index__
    def __float__(self): return float(self.hit())
    def __len__(self): return int(self.hit())
    def __getitem__(self, key):
        if not isinstance(key, int) or not 0 <= key < 4:
            raise IndexError(key)   # ends iteration through the old protocol
        return Var(self.hit())
    def __pow__(self, other): return float(self.hit()) ** other
    def get(self, *args): return self.hit()
    def __str__(self): return "%s - X" % self.hit()

def lying(n):
    claimed = rng.choice([0, 1, 2, n // 2, n + 1, 3 * n + 5])
    if rng.random() < 0.3:
        return type("LyingList", (list,), {"__len__": lambda self: claimed})(
            rng.random() for _ in range(n))
    kind = type("LyingArray", (np.ndarray,), {"__len__": lambda self: claimed})
    data = np.arange(2 * n, dtype=rng.choice(["f8", "f4", "i8", ">f8"]))
    return data.view(kind)[::rng.choice([1, 2])][:n]

def signal():
    n = rng.choice([0, 1, 5, 40, 200])
    return rng.choice([lambda: [rng.random() for _ in range(n)],
                       lambda: np.linspace(-1.0, 1.0, n),
                       lambda: lying(n)])()

def retyping(samples):
    # A list whose items change the list's other items while it is read.
    if isinstance(samples, list) and list.__len__(samples):
        for _ in range(rng.randint(1, 3)):
            samples[rng.randrange(list.__len__(samples))] = Saboteur(samples, rng.random())
    return samples

def either(value, targets):
    targets = [t for t in targets if isinstance(t, (list, np.ndarray))]
    return Saboteur(rng.choice(targets), value) if targets and rng.random() < 0.5 else value

def nexus(samples):
    vicon = FakeNexus([[0.0]] * 2, names=["LTA", "RTA"], folder=FOLDER)
    vicon.results["GetDeviceChannel"] = lambda *args: (samples, [], 1000.0)
    return vicon

def channel_call(name):
    samples = retyping(signal())
    a = [Var(rng.choice([0, 1])) for _ in range(2)]
    b = [Var("1 - LTA"), Var("2 - RTA")]
    targets = [samples, a, b]
    a = [either(v, targets) for v in a] if rng.random() < 0.8 else Saboteur(samples, 1)
    numch = either(2, targets)
    switches = [either(rng.choice([0, 1]), targets) for _ in range(5)]
    numbers = [either(v, targets) for v in ("20", "2", "200", "2", rng.choice(["5", "300"]))]
    common = [a, b, nexus(samples), 1, 1, numch] + switches + numbers
    return [Root()] + common + [rng.random() < 0.3] if name == "processsignal" else common

CALLS = {
    "rms": lambda: (lambda x: [x, either(rng.choice([1, 3, 50]), [x])])(retyping(signal())),
    "window_rms": lambda: (lambda x: [x, either(rng.choice([1, 4]), [x])])(retyping(signal())),
    "processsignal": lambda: channel_call("processsignal"),
    "displaysig": lambda: channel_call("displaysig"),
    "selectcheck": lambda: (lambda a: [either(1, [a]), either(3, [a]), a])(
        [Var(0) for _ in range(3)]),
    "saveparameters": lambda: (lambda a, b: [FOLDER, Root(), a, b, either(2, [a, b])]
                               + [either(1, [a, b]) for _ in range(10)])(
        [Var(1), Var(0)], [Var("1 - A"), Var("2 - B")]),
}
ALLOWED = (TypeError, ValueError, LookupError, ArithmeticError, AttributeError, OSError)
unexpected = []
iterations = int(os.environ.get("QUORVAEMG_FUZZ_ITERATIONS", "300"))
for _ in range(iterations):
    name = rng.choice(sorted(CALLS))
    args = CALLS[name]()
    try:
        getattr(quorvaemg, name)(*args)
    except ALLOWED:
        pass
    except BaseException as e:
        unexpected.append([name, type(e).__name__, str(e)[:200]])
    finally:
        pyplot.close("all")
print(json.dumps({"calls": iterations, "unexpected": unexpected}))
"""


GAIT_FUZZ = r"""
import json, os, random, warnings
warnings.simplefilter("ignore")
import numpy as np
import quorvaemg_gait as gait
from fake_nexus import FakeNexus

rng = random.Random(int(os.environ.get("QUORVAEMG_FUZZ_SEED", "8")))
NUMBERS = [0, 1, -1, 2, 3, 101, 0.5, 1e-300, 1e300, float("nan"), float("inf"), True,
           np.True_, np.int64(7), 10**30, "peak", "none", None, [1.0], np.array(2.0)]

MADE = []  # arrays handed to earlier arguments of the call

class Shrinking:
    # A sample that empties or grows the list holding it, or an array made
    # for another argument, when read.
    def __init__(self, target): self.target = target
    def __float__(self):
        target = rng.choice(MADE[-4:] + [self.target])
        if isinstance(target, np.ndarray):
            target.resize(rng.choice([0, 3, 3 * target.size + 7]), refcheck=False)
        elif rng.random() < 0.5:
            target.clear()
        else:
            target.extend([0.25] * rng.randint(1, 500))
        return 0.5

def samples():
    n = rng.choice([0, 1, 2, 3, 16, 40, 333, 2048, 5000])
    kind = rng.randrange(8)
    x = np.random.default_rng(rng.randrange(1000)).standard_normal(n)
    MADE.append(x)
    if kind == 0:
        return x * rng.choice([1e-300, 1e300, 1.0, 0.0])
    if kind == 1:
        return x.astype(rng.choice(["i1", "?", "O", "c16", "f4", ">f8"]))
    if kind == 2:
        return np.repeat(x, 2)[::2]
    if kind == 3 and n:
        x[rng.randrange(n)] = rng.choice([np.nan, np.inf])
        return x
    if kind == 4:
        items = x.tolist()
        if items:
            items[rng.randrange(len(items))] = Shrinking(items)
        return items
    if kind == 5:
        return np.sign(x)  # two or three values only
    return rng.choice([x, x.reshape(1, -1), np.float64(1.5), x[:2]])

def table(columns, n):
    rows = rng.randint(0, 12)
    a, b = sorted(rng.uniform(-5, n + 5) for _ in range(2))
    t = np.array([[a, b, rng.uniform(a, b)][:columns] + [1.0] * (columns - 3)
                  for _ in range(rows)]).reshape(rows, columns)
    MADE.append(t)
    return rng.choice([t, t.tolist(), t.T, t[:, :2], t.astype(np.float32), np.empty((0, 3)),
                       [[np.nan, 1, 2]], t.ravel()])

def periods():
    out = [sorted(rng.uniform(-1, 101) for _ in range(2)) for _ in range(rng.randint(0, 5))]
    return [p[::rng.choice([1, -1])] for p in out] + rng.choice([[], [(1, 2, 3)], [(0, 100)]])

def number():
    return rng.choice(NUMBERS + [rng.uniform(-2, 102)] * 5)

def n_of(x):
    return len(x) if hasattr(x, "__len__") else 1

def curves():
    return rng.choice([np.random.default_rng(rng.randrange(99)).random((rng.randint(0, 4), 101)),
                       samples(), [[0.0, 1.0], [1.0]], np.zeros(rng.randint(0, 3))])

class Row(dict):
    pass  # freed to the allocator, not to the free list of plain dicts

class Rows:
    # A sequence that makes each row afresh, as a generator of rows would.
    def __init__(self, row, n): self.row, self.n = row, n
    def __len__(self): return self.n
    def __getitem__(self, i):
        if not 0 <= i < self.n:
            raise IndexError(i)
        return Row((k, v if rng.random() < 0.9 else rng.choice([None, -1, "x"]))
                   for k, v in self.row.items())

def nexus():
    vicon = FakeNexus([[0.0]] * 2, names=["LTA", "RTA"])
    vicon.results["GetDeviceChannel"] = lambda *args: (samples(), [], 1000.0)
    vicon.results["GetDeviceDetails"] = ("EMG", "Other", number(), [1], [], "")
    return vicon

def good_row():
    return gait.check_channel(np.random.default_rng(1).standard_normal(3000), 1000.0)

def check_periods(found):
    for on, off in found:
        assert 0.0 <= on < off <= 100.0, found
    assert found == sorted(found), found

CALLS = {
    "event_positions": lambda: [samples(), number(), number(), number()],
    "find_cycles": lambda: [samples(), samples(), rng.choice([0, 1, 50, 10**30, 2.5, -3])],
    "normalise_cycles": lambda: (lambda x: [x, table(rng.choice([2, 3]), n_of(x)),
                                            rng.choice([101, 2, 1, 0, 3.5, 100000])])(samples()),
    "cycle_statistics": lambda: [curves()],
    "activation": lambda: [curves(), number(), number()],
    "compare_with_normal": lambda: [periods(), periods()],
    "analyse_channel": lambda: [[(lambda x: rng.choice([(x, table(3, n_of(x))), [x], x]))(samples())
                                 for _ in range(rng.randint(0, 3))],
                                number(), number(), number(), rng.choice([101, 2, 1000])],
    "linear_envelope": lambda: [samples(), number(), rng.choice([(20, 450), (0, 1), [5], number()]),
                                number(), rng.choice([1, 4, 0, 21, 10**30])],
    "rms_envelope": lambda: [samples(), number(), number()],
    "check_channel": lambda: [samples(), number()],
    "check_channels": lambda: [[samples() for _ in range(rng.randint(0, 3))], number()],
    "quality_text": lambda: ["T", number(), ["A", "B"], Rows(good_row(), rng.choice([1, 2, 3]))],
    "quality_table": lambda: [nexus(), 1, 1, rng.choice([None, ["LTA"], [2], [0], "LTA"])],
}
THRESHOLDS = ["flat_steps", "clip_run", "mains_harmonics", "low_hz", "snr_window_ms", "segment_s",
              "mains_line_db", "low_doubtful"]
ALLOWED = (TypeError, ValueError, LookupError, ArithmeticError)
unexpected = []
iterations = int(os.environ.get("QUORVAEMG_FUZZ_ITERATIONS", "300"))
for _ in range(iterations):
    name = rng.choice(sorted(CALLS))
    args = CALLS[name]()
    kwargs = {}
    if name.startswith(("check", "quality_table")) and rng.random() < 0.5:
        kwargs = {rng.choice(THRESHOLDS): number()}
    try:
        result = getattr(gait, name)(*args, **kwargs)
        if name == "activation":
            for found in (result if result and isinstance(result[0], list) else [result]):
                check_periods(found)
        elif name == "analyse_channel":
            for found in result["activity"] + [result["mean_activity"]]:
                check_periods(found)
        elif name == "compare_with_normal":
            assert 0 <= result["agreement"] <= 100, result
    except ALLOWED:
        pass
    except BaseException as e:
        unexpected.append([name, type(e).__name__, str(e)[:200]])
print(json.dumps({"calls": iterations, "unexpected": unexpected}))
"""


@pytest.mark.parametrize("fuzz", [FUZZ, GAIT_FUZZ], ids=["plug-in", "gait"])
def test_hostile_arguments_never_crash(tmp_path, fuzz):
    result = run_python(fuzz, tmp_path, timeout=900)
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout.strip().splitlines()[-1])
    assert report["calls"] == int(os.environ.get("QUORVAEMG_FUZZ_ITERATIONS", "300"))
    assert report["unexpected"] == []
    assert "SystemError" not in result.stderr
