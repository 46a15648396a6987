"""Hostile arguments: objects that lie about their length, or change another
argument of the same call while the module reads them.

The fuzz runs in a child interpreter, so a crash fails the test instead of
ending pytest.  QUORVAEMG_FUZZ_SEED and QUORVAEMG_FUZZ_ITERATIONS choose the
run (the sanitizer build runs many more calls than the ordinary suite).
"""

import json
import os

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


def test_hostile_arguments_never_crash(tmp_path):
    result = run_python(FUZZ, tmp_path, timeout=900)
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout.strip().splitlines()[-1])
    assert report["calls"] == int(os.environ.get("QUORVAEMG_FUZZ_ITERATIONS", "300"))
    assert report["unexpected"] == []
    assert "SystemError" not in result.stderr
