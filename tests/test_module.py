import importlib
import json
import os
import shutil
import subprocess
import sys
import textwrap

import matplotlib.pyplot
import numpy
import plotvane
import pytest
import scipy
import scipy.signal
import time
import tkinter
import tkinter.messagebox

import quorvaemg
from conftest import emg_like
from fake_nexus import FakeNexus, Root, choices, selection
from tk_support import tk_display  # noqa: F401

TESTS = os.path.dirname(os.path.abspath(__file__))
STARTUP_IMPORTS = ["numpy", "matplotlib.pyplot", "time", "tkinter", "tkinter.messagebox",
                   "scipy", "scipy.signal", "plotvane"]
FUNCTIONS = ["test", "printinfo", "rms", "window_rms", "processsignal", "saveparameters",
             "displaysig", "on_closing", "printreportwindow", "createpdf", "selectcheck",
             "disabletxt", "disabledrop", "initializeroot", "initializewindow", "readconfig"]
PARAMETERS = {
    "test": [],
    "printinfo": ["vicon"],
    "rms": ["interval", "halfwindow"],
    "window_rms": ["a", "window_size"],
    "processsignal": ["root", "a", "b", "vicon", "deviceID", "outputID", "numch", "mnb", "lowb",
                      "highb", "rectb", "rmsb", "high", "highOrd", "low", "lowOrd", "www",
                      "history"],
    "displaysig": ["a", "b", "vicon", "deviceID", "outputID", "numch", "mnb", "lowb", "highb",
                   "rectb", "rmsb", "high", "highOrd", "low", "lowOrd", "www"],
}


def run_python(code, cwd, extra_path=(), timeout=300, env=None):
    base = dict(os.environ, MPLBACKEND="Agg")
    base.pop("DISPLAY", None)
    env = dict(base, **(env or {}))
    env["PYTHONPATH"] = os.pathsep.join(list(extra_path) + [TESTS] +
                                        [p for p in [os.environ.get("PYTHONPATH")] if p])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=str(cwd), env=env,
                          capture_output=True, text=True, timeout=timeout)


def last_json(result):
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


class TestStartup:
    def test_namespace_holds_the_imports(self):
        own = set(FUNCTIONS)
        report_names = set(plotvane.__all__)
        for name in numpy.__all__:
            if name not in own and name not in report_names:
                assert getattr(quorvaemg, name) is getattr(numpy, name), name
        assert quorvaemg.plt is matplotlib.pyplot
        assert quorvaemg.time is time
        assert quorvaemg.tk is tkinter
        assert quorvaemg.messagebox is tkinter.messagebox
        assert quorvaemg.sp is scipy and quorvaemg.sp.signal is scipy.signal
        assert quorvaemg.signal is scipy.signal
        assert quorvaemg.repemg is plotvane.repemg

    def test_namespace_holds_nothing_else(self):
        allowed = (set(numpy.__all__) | set(plotvane.__all__) | set(FUNCTIONS) |
                   {"plt", "time", "tk", "messagebox", "sp", "signal"})
        extra = {n for n in vars(quorvaemg) if not n.startswith("__")} - allowed
        assert extra == set()

    def test_report_writer_names_win_over_numpy(self, tmp_path):
        shim = tmp_path / "shim"
        shim.mkdir()
        (shim / "plotvane.py").write_text(
            "__all__ = ['repemg', 'mean']\n"
            "def repemg(*args): pass\n"
            "def mean(*args): return 'report mean'\n")
        code = """
            import json, quorvaemg, plotvane, numpy
            print(json.dumps([quorvaemg.mean is plotvane.mean, quorvaemg.repemg is plotvane.repemg,
                              quorvaemg.ones is numpy.ones]))
        """
        assert last_json(run_python(code, tmp_path, [str(shim)])) == [True, True, True]

    def test_loading_has_no_side_effects(self, tmp_path):
        code = """
            import json, os, sys
            import numpy, matplotlib.pyplot, time, tkinter, tkinter.messagebox
            import scipy, scipy.signal, plotvane
            windows = []
            for cls in (tkinter.Tk, tkinter.Toplevel):
                def init(self, *a, _orig=cls.__init__, **k):
                    windows.append(type(self).__name__)
                    _orig(self, *a, **k)
                cls.__init__ = init
            opened = []
            def record(file):
                if isinstance(file, (str, bytes, os.PathLike)):
                    path = os.fsdecode(file)
                    if not path.endswith((".py", ".pyc", ".so", ".pyd")) and not os.path.isdir(path):
                        opened.append(path)
            if hasattr(sys, "addaudithook"):
                sys.addaudithook(lambda event, args: event == "open" and record(args[0]))
            else:  # Python 3.7 has no audit hooks: watch Python's own openers
                import builtins, io
                for owner, name in ((builtins, "open"), (io, "open"), (os, "open")):
                    def opener(file, *a, _orig=getattr(owner, name), **k):
                        record(file)
                        return _orig(file, *a, **k)
                    setattr(owner, name, opener)
            import quorvaemg
            print(json.dumps({"opened": opened, "windows": windows,
                              "default_root": tkinter._default_root is None,
                              "figures": matplotlib.pyplot.get_fignums(),
                              "cwd": os.listdir(".")}))
        """
        assert last_json(run_python(code, tmp_path)) == {
            "opened": [], "windows": [], "default_root": True, "figures": [], "cwd": []}

    @pytest.mark.parametrize("missing", STARTUP_IMPORTS)
    def test_missing_dependency_fails_with_its_own_error(self, tmp_path, missing):
        # Everything is loaded first; then the missing import and every later one
        # are made unavailable, so the error also shows the order of the imports.
        position = STARTUP_IMPORTS.index(missing)
        code = """
            import json, sys
            for name in %r:
                __import__(name)
            for name in %r:
                sys.modules[name] = None
            try:
                import quorvaemg
            except BaseException as e:
                cause = e.__cause__
                print(json.dumps([type(e).__name__, getattr(e, "name", None), str(e),
                                  repr(cause), "quorvaemg" in sys.modules]))
        """ % (STARTUP_IMPORTS, STARTUP_IMPORTS[position:])
        kind, name, message, cause, loaded = last_json(run_python(code, tmp_path))
        assert (kind, name, loaded) == ("ModuleNotFoundError", missing, False), (message, cause)

    def test_failing_dependency_error_reaches_host_unchanged(self, tmp_path):
        shim = tmp_path / "shim"
        shim.mkdir()
        (shim / "plotvane.py").write_text("raise ImportError('report writer needs its fonts')\n")
        code = """
            import json
            try:
                import quorvaemg
            except BaseException as e:
                print(json.dumps([type(e).__name__, str(e)]))
        """
        assert last_json(run_python(code, tmp_path, [str(shim)])) == [
            "ImportError", "report writer needs its fonts"]


def valid_arguments(tmp_path):
    """A working keyword call of each function."""
    vicon = FakeNexus([emg_like(300, seed=k) for k in range(2)], folder=str(tmp_path) + os.sep)
    settings = dict(mnb=1, lowb=1, highb=1, rectb=1, rmsb=1, high="20", highOrd="2",
                    low="200", lowOrd="2", www="10")
    common = dict(a=selection(1, 0), b=choices(vicon.names), vicon=vicon, deviceID=1,
                  outputID=1, numch=2, **settings)
    return vicon, {
        "test": {},
        "printinfo": {"vicon": vicon},
        "rms": {"interval": [1.0, 2.0, 3.0], "halfwindow": 1},
        "window_rms": {"a": [1.0, 2.0, 3.0], "window_size": 2},
        "processsignal": dict(common, root=Root(), history=True),
        "displaysig": common,
    }


@pytest.fixture
def quiet_plot(monkeypatch):
    monkeypatch.setattr(matplotlib.pyplot, "show", lambda *a, **k: None)


class TestCallInterface:
    @pytest.mark.parametrize("name", sorted(PARAMETERS))
    def test_every_parameter_by_keyword(self, name, tmp_path, quiet_plot, capsys):
        vicon, calls = valid_arguments(tmp_path)
        kwargs = calls[name]
        assert sorted(kwargs) == sorted(PARAMETERS[name])
        shuffled = dict(reversed(list(kwargs.items())))
        getattr(quorvaemg, name)(**shuffled)
        positional = [kwargs[p] for p in PARAMETERS[name]]
        getattr(quorvaemg, name)(*positional)

    @pytest.mark.parametrize("name", sorted(PARAMETERS))
    def test_wrong_arguments_fail_before_anything_happens(self, name, tmp_path, capsys):
        vicon, calls = valid_arguments(tmp_path)
        kwargs = calls[name]
        function = getattr(quorvaemg, name)
        positional = [kwargs[p] for p in PARAMETERS[name]]
        wrong = [((*positional, 0), {}), ((*positional, 0, 0), {}),
                 ((), dict(kwargs, extra=1)), ((*positional,), {"extra": 1})]
        if positional:
            wrong.append((tuple(positional[:-1]), {}))
            wrong.append(((), {}))
            for dropped in PARAMETERS[name]:
                wrong.append(((), {k: v for k, v in kwargs.items() if k != dropped}))
            wrong.append(((positional[0],), kwargs))
        for args, kw in wrong:
            with pytest.raises(TypeError):
                function(*args, **kw)
        assert vicon.calls == [] and capsys.readouterr().out == ""
        assert os.listdir(tmp_path) == []
        if name == "processsignal":
            assert kwargs["root"].destroyed == 0

    def test_only_rms_has_a_doc_text(self):
        assert quorvaemg.rms.__doc__ == " performs the moving-window smoothing of a signal using RMS "
        for name in PARAMETERS:
            if name != "rms":
                assert getattr(quorvaemg, name).__doc__ in (None, ""), name


class TestDiagnostics:
    def test_test_prints_its_line(self, capsys):
        assert quorvaemg.test() is None
        assert capsys.readouterr().out == "Test Quorva library - Myolex\n"

    @pytest.mark.parametrize("name, last_operation", [
        ("test", None), ("printinfo", "GetSubjectNames"),
        ("processsignal", "SetDeviceChannel"), ("displaysig", "GetDeviceChannel"),
    ])
    def test_work_done_without_stdout(self, name, last_operation, tmp_path, quiet_plot,
                                      monkeypatch):
        # pythonw and some embedding hosts run with no stdout; print ignores it.
        vicon, calls = valid_arguments(tmp_path)
        monkeypatch.setattr(sys, "stdout", None)
        getattr(quorvaemg, name)(**calls[name])
        assert (vicon.names_called() or [None])[-1] == last_operation

    @pytest.mark.parametrize("trial_name, subjects, line", [
        ("Walk01", ["S01", "S02"], "Trial:Walk01 of S01"),
        ("", ["S01"], "Trial: of S01"),
    ])
    def test_printinfo(self, capsys, trial_name, subjects, line):
        vicon = FakeNexus(trial=trial_name, subjects=subjects, folder="C:\\Data\\")
        assert quorvaemg.printinfo(vicon) is None
        assert capsys.readouterr().out == line + "\n"
        assert vicon.names_called() == ["GetTrialName", "GetSubjectNames"]

    @pytest.mark.parametrize("trial_result, subjects, error", [
        (("C:\\Data\\", "Walk01"), [], IndexError),
        (("Walk01",), ["S01"], ValueError),
        (("C:\\Data\\", "Walk01", "extra"), ["S01"], ValueError),
        (("C:\\Data\\", 7), ["S01"], TypeError),
        (("C:\\Data\\", "Walk01"), [None], TypeError),
        (None, ["S01"], TypeError),
    ])
    def test_printinfo_failures_print_nothing(self, capsys, trial_result, subjects, error):
        vicon = FakeNexus(subjects=subjects)
        vicon.results["GetTrialName"] = trial_result
        with pytest.raises(error):
            quorvaemg.printinfo(vicon)
        assert capsys.readouterr().out == ""
        if error is ValueError:
            assert vicon.names_called() == ["GetTrialName"]


@pytest.mark.parametrize("module, entry", [("quorvaemg", "PyInit_quorvaemg"),
                                           ("quorvaemg_gait._core", "PyInit__core")])
def test_library_exports_only_its_entry_point(module, entry):
    if not sys.platform.startswith("linux"):
        pytest.skip("ELF dynamic symbol table")
    library = importlib.import_module(module).__file__
    if shutil.which("nm"):
        out = subprocess.run(["nm", "-D", "--defined-only", library], capture_output=True,
                             text=True, check=True).stdout
        names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    else:
        elffile = pytest.importorskip("elftools.elf.elffile")
        with open(library, "rb") as f:
            table = elffile.ELFFile(f).get_section_by_name(".dynsym")
            names = {s.name for s in table.iter_symbols()
                     if s.name and s["st_shndx"] != "SHN_UNDEF"}
    assert names == {entry}


FUZZ = r"""
import json, os, random, sys, traceback, warnings
warnings.simplefilter("ignore")
import numpy as np
import matplotlib.pyplot as pyplot
pyplot.show = lambda *a, **k: None
import quorvaemg
from conftest import emg_like
from fake_nexus import FakeNexus, Root, Var, choices, selection

class Boxes:
    @staticmethod
    def showinfo(*args, **kwargs):
        return "ok"

quorvaemg.messagebox = Boxes

class Boom(Exception):
    pass

class Hostile:
    def get(self): raise Boom("get")
    def destroy(self): raise Boom("destroy")
    def __index__(self): raise Boom("index")
    def __int__(self): raise Boom("int")
    def __float__(self): raise Boom("float")
    def __len__(self): raise Boom("len")
    def __iter__(self): raise Boom("iter")
    def __getitem__(self, key): raise Boom("getitem")
    def __bool__(self): raise Boom("bool")
    def __str__(self): raise Boom("str")
    def __add__(self, other): raise Boom("add")
    __radd__ = __add__
    def __getattr__(self, name): raise Boom(name)
    def __repr__(self): return "Hostile()"

class Lying(list):
    def __len__(self): return 1000

class Shrinking:
    def __init__(self, items): self.items = items
    def get(self):
        self.items.clear()
        return 1

recursive = []
recursive.append(recursive)
shrinking_list = []
shrinking_list.extend([Shrinking(shrinking_list), Var(1)])

def odd_vicon(**results):
    v = FakeNexus([emg_like(64, seed=1), emg_like(64, seed=2)], folder=os.getcwd() + os.sep)
    v.results.update(results)
    return v

ODD = [None, 0, 1, -1, 2, 10**30, -10**30, 1.5, float("nan"), float("inf"), True,
       np.int64(3), np.float64(2.5), 1 + 2j, "", "x", "  3 ", "20", b"12", bytearray(b"1"),
       [], [1], [None], (), {}, set(), object(), Hostile(), Boom(), np.array([]),
       np.zeros((2, 2)), np.array([1.0, 2.0, 3.0]), np.array(["a"]), np.array([1 + 2j]),
       np.arange(5), np.zeros(5, dtype=">f8")[::2], Lying([1.0, 2.0]), recursive, range(5),
       slice(1), len, type, [Var(None)], [Var("1")] * 2, [Var(float("inf"))] * 2,
       [Var(float("nan"))] * 2, [Var([1, 2])] * 2, [Hostile()] * 2, shrinking_list,
       [Var(1), Var(1)], [Var("1 - A"), Var("")], [Var(5), Var(b"2 ")],
       odd_vicon(GetDeviceOutputDetails=("o", "t", "u", 1, None, None)),
       odd_vicon(GetDeviceOutputDetails=("o", "t", "u", 1, [1, 2], [1, 2])),
       odd_vicon(GetDeviceChannel=("abc", [], 1.0)),
       odd_vicon(GetDeviceChannel=([], [], 1.0)),
       odd_vicon(GetDeviceChannel=([[1.0, 2.0]] * 40, [], 1.0)),
       odd_vicon(GetDeviceChannel=([float("nan")] * 40, [], 1.0)),
       odd_vicon(GetDeviceChannel=(None, None, None)),
       odd_vicon(GetDeviceChannel=Boom("nexus")),
       odd_vicon(GetTrialName=(None, Hostile())),
       odd_vicon(GetTrialName=("/no/such/folder/", "t")),
       odd_vicon(GetSubjectNames=Hostile()),
       odd_vicon(SetDeviceChannel=Boom("set"))]

vicon = odd_vicon()
settings = [1, 1, 1, 1, 1, "20", "2", "200", "2", "5"]
BASE = {
    "test": [],
    "printinfo": [vicon],
    "rms": [[1.0, 2.0, 3.0, 4.0], 2],
    "window_rms": [[1.0, 2.0, 3.0, 4.0], 2],
    "processsignal": [Root(), selection(1, 1), choices(vicon.names), vicon, 1, 1, 2]
                     + settings + [True],
    "displaysig": [selection(1, 1), choices(vicon.names), vicon, 1, 1, 2] + settings,
}
ALLOWED = (TypeError, ValueError, LookupError, ArithmeticError, AttributeError,
           RecursionError, OSError, Boom)
unexpected = []
calls = 0

def attempt(name, args):
    global calls
    calls += 1
    try:
        getattr(quorvaemg, name)(*args)
    except ALLOWED:
        pass
    except BaseException as e:
        unexpected.append([name, repr(args)[:200], type(e).__name__, str(e)[:200]])
    finally:
        pyplot.close("all")

if os.environ.get("FUZZ_TK"):
    # The window, dialog, configuration and report functions, on a real Tk.
    # Each call gets a fresh Toplevel as its "root", so whatever one call
    # builds or destroys cannot leak into the next; the batch run's own root
    # is a Toplevel too.
    import tkinter
    main = tkinter.Tk()
    main.report_callback_exception = lambda *exc: None
    folder = os.getcwd() + os.sep

    class TkShim:
        Tk = staticmethod(lambda: tkinter.Toplevel(main))
        def __getattr__(self, name):
            return getattr(tkinter, name)

    quorvaemg.tk = TkShim()

    def window(**extra):
        root = tkinter.Toplevel(main)
        quorvaemg.initializewindow(root, tkinter, vicon, ["S1"], "Walk01", "EMG", 1, 1,
                                   list(vicon.names), False, folder)
        return root

    with open(folder + "RIVuror_config.txt", "w") as f:
        f.write("2\n1\n1 - A\n0\n2 - B\n1\n1\n1\n1\n1\n20\n200\n5\n2\n2\n")
    int_vars = lambda: [tkinter.IntVar(main, 1), tkinter.IntVar(main, 0)]
    entry = lambda: tkinter.Entry(main)
    BASE.update({
        "saveparameters": lambda: [folder, Root(), selection(1, 0), choices(vicon.names), 2]
                                  + settings,
        "on_closing": lambda: [tkinter.Toplevel(main), tkinter.Toplevel(main)],
        "printreportwindow": lambda: [1, 1, window(), int_vars(), choices(vicon.names), 2,
                                      vicon, "S1"],
        "createpdf": lambda: [Root(), Root(), vicon, selection(1, 0), choices(vicon.names), 2,
                              "S1", 1, 1, tkinter.Text(main), " ", " ", 1],
        "selectcheck": lambda: [tkinter.IntVar(main, 1), 2, int_vars()],
        "disabletxt": lambda: [entry(), entry(), tkinter.IntVar(main, 0)],
        "disabledrop": lambda: [entry(), tkinter.IntVar(main, 1)],
        "initializeroot": lambda: [tkinter.Toplevel(main), vicon, 1, 1],
        "initializewindow": lambda: [tkinter.Toplevel(main), tkinter, vicon, ["S1"], "Walk01",
                                     "EMG", 1, 1, ["A", "B"], False, folder],
        "readconfig": lambda: [vicon, folder, 1, 1, False],
    })
    for name in list(BASE):
        if name not in ("saveparameters", "on_closing", "printreportwindow", "createpdf",
                        "selectcheck", "disabletxt", "disabledrop", "initializeroot",
                        "initializewindow", "readconfig"):
            del BASE[name]
    quorvaemg.repemg = lambda *args: None

def fresh(name):
    base = BASE[name]
    return list(base() if callable(base) else base)

def drain():
    if os.environ.get("FUZZ_TK"):
        for child in main.winfo_children():
            child.destroy()
        main.update()

for name in sorted(BASE):
    attempt(name, fresh(name))
    drain()
    for position in range(len(fresh(name))):
        for odd in ODD:
            args = fresh(name)
            args[position] = odd
            attempt(name, args)
            drain()
    for odd in ODD[:20]:
        attempt(name, fresh(name) + [odd])
        drain()

rng = random.Random(20240305)
for _ in range(600):
    name = rng.choice(sorted(BASE))
    args = fresh(name)
    for position in rng.sample(range(len(args)), min(len(args), rng.randint(1, 4))):
        args[position] = rng.choice(ODD)
    attempt(name, args)
    drain()

print(json.dumps({"calls": calls, "unexpected": unexpected}))
"""


def test_any_object_for_any_parameter_never_crashes(tmp_path):
    check_fuzz(run_python(FUZZ, tmp_path, timeout=600))


def test_any_object_for_any_window_parameter_never_crashes(tmp_path, tk_display):
    check_fuzz(run_python(FUZZ, tmp_path, timeout=600,
                          env={"DISPLAY": os.environ["DISPLAY"], "FUZZ_TK": "1"}))


def check_fuzz(result):
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout.strip().splitlines()[-1])
    assert report["calls"] > 2000
    assert report["unexpected"] == []
    assert "Exception ignored" not in result.stderr
    assert "SystemError" not in result.stderr
