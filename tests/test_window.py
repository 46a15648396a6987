"""The plug-in window on a real Tk: start-up, widget tree, and its actions."""

import os
import tkinter

import numpy as np
import pytest
import quorvaemg
from fake_nexus import FakeNexus
from quorvaemg_host.demo import DEVICE_NAME, SUBJECT, TRIAL_NAME, demo_trial
from quorvaemg_host.nexus import NexusStandIn
from tk_support import RecordingTk, alive, check_options, root, take_reported, tk_display  # noqa: F401  (fixtures)

DEVICE, OUTPUT = 7, 3
HISTORY = object()  # handed through untouched
PATHCONFIG = "/configs/lab" + os.sep
TITLE = "Quorva EMG Plugin for Nexus 2"


class Recorder:
    """Stands in for a module operation; keeps every call's arguments."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        assert not kwargs, "operations are called with positional arguments"
        self.calls.append(args)

    @property
    def args(self):
        assert len(self.calls) == 1, self.calls
        return self.calls[0]


@pytest.fixture
def ops(monkeypatch):
    """The four operations of the buttons, replaced by recorders."""
    recorders = {}
    for name in ("processsignal", "displaysig", "saveparameters", "printreportwindow"):
        recorders[name] = Recorder()
        monkeypatch.setattr(quorvaemg, name, recorders[name], raising=False)
    return recorders


def build(root, names, name="Walk01", vicon=None, tk=tkinter, history=HISTORY,
          pathconfig=PATHCONFIG):
    vicon = vicon if vicon is not None else FakeNexus(names=names)
    return quorvaemg.initializewindow(root, tk, vicon, ["S01", "S02"], name, "Delsys EMG",
                                      DEVICE, OUTPUT, names, history, pathconfig)


class Window:
    """Finds the widgets of a built window by what they show."""

    def __init__(self, root):
        self.root = root
        self.widgets = root.winfo_children()

    def _find(self, cls, text):
        found = [w for w in self.widgets if isinstance(w, cls) and w.cget("text") == text]
        assert len(found) == 1, (cls, text, found)
        return found[0]

    def button(self, text):
        return self._find(tkinter.Button, text)

    def check(self, text):
        return self._find(tkinter.Checkbutton, text)

    def value_of(self, check_text):
        return int_value(self.root, str(self.check(check_text).cget("variable")))

    def entries(self):
        """entryLow, entryLowOrd, entryHigh, entryHighOrd, entryRMS, in building order."""
        found = [w for w in self.widgets if isinstance(w, tkinter.Entry)]
        assert len(found) == 5
        return found

    def channel_checks(self):
        return [w for w in self.widgets if isinstance(w, tkinter.Checkbutton)
                and w.grid_info()["row"] >= 9]

    def option_menus(self):
        return [w for w in self.widgets if isinstance(w, tkinter.OptionMenu)]


def int_value(root, name):
    """A Tk variable's value read by name (a second Variable object of the
    same name would unset it when collected)."""
    return int(root.getvar(name))


def set_text(widget, text):
    state = str(widget.cget("state"))
    widget.configure(state="normal")
    widget.delete(0, "end")
    widget.insert(0, text)
    widget.configure(state=state)


def menu_labels(option_menu):
    menu = option_menu.nametowidget(option_menu.cget("menu"))
    return [menu.entrycget(i, "label") for i in range(menu.index("end") + 1)]


# -- initializeroot -----------------------------------------------------------


class TestInitializeroot:
    @pytest.mark.parametrize("names", [
        ["EMG1", "EMG2"],
        ["L TA", "L TA", " R GAS "],   # duplicates and blanks kept
        [],
    ])
    def test_dresses_root_and_returns_names_as_given(self, root, names):
        vicon = FakeNexus(names=names)
        result = quorvaemg.initializeroot(root, vicon, DEVICE, OUTPUT)
        assert isinstance(result, tuple) and len(result) == 2
        assert result[0] is root
        assert result[1] == names
        assert root.title() == TITLE
        assert root.resizable() == (0, 0)
        assert vicon.calls == [("GetDeviceOutputDetails", (DEVICE, OUTPUT))]
        assert root.winfo_children() == []

    def test_second_call_queries_again(self, root):
        vicon = FakeNexus(names=["A"])
        quorvaemg.initializeroot(root, vicon, DEVICE, OUTPUT)
        vicon.names = ["A", "B"]
        assert quorvaemg.initializeroot(root, vicon, DEVICE, OUTPUT)[1] == ["A", "B"]
        assert root.title() == TITLE

    @pytest.mark.parametrize("size", [5, 7])
    def test_wrong_size_result_fails_after_dressing(self, root, size):
        vicon = FakeNexus(names=["A"])
        vicon.results["GetDeviceOutputDetails"] = tuple(range(size))
        with pytest.raises(ValueError):
            quorvaemg.initializeroot(root, vicon, DEVICE, OUTPUT)
        assert root.title() == TITLE
        assert root.resizable() == (0, 0)

    def test_nexus_error_propagates(self, root):
        vicon = FakeNexus(names=["A"])
        vicon.results["GetDeviceOutputDetails"] = LookupError("no such output")
        with pytest.raises(LookupError, match="no such output"):
            quorvaemg.initializeroot(root, vicon, DEVICE, OUTPUT)


# -- the widget tree ------------------------------------------------------------


def grid(row, column, columnspan=1, rowspan=1, padx=0, pady=0, sticky=""):
    return {"row": row, "column": column, "columnspan": columnspan, "rowspan": rowspan,
                "padx": padx, "pady": pady, "sticky": sticky}


def header(name):
    """(class, text, options, grid) of the header, in building order."""
    if name:
        return [
            (tkinter.Label, "Subject: S01", {"font": "Calibri 12 bold"},
             grid(0, 0, sticky="w", padx=15)),
            (tkinter.Label, name, {"font": "Calibri 12 bold", "fg": "#3f8d55"},
             grid(0, 1, sticky="w")),
            (tkinter.Label, "Selected device: Delsys EMG", {"font": "Calibri 10 italic"},
             grid(1, 0, pady=10, padx=15, sticky="w")),
            (tkinter.Button, "Process",
             {"font": "Calibri 10 bold", "width": 14, "bg": "#84c897", "command": True},
             grid(1, 4, columnspan=2)),
            (tkinter.Button, "Report", {"width": 16, "bg": "#ffc34d", "command": True},
             grid(2, 4, columnspan=2, pady=1, padx=15)),
            (tkinter.Button, "Save Configuration",
             {"width": 16, "bg": "#4d94ff", "command": True},
             grid(1, 2, columnspan=2, pady=1, sticky="e")),
            (tkinter.Button, "Preview", {"width": 16, "bg": "#4d94ff", "command": True},
             grid(2, 2, columnspan=2, pady=1, sticky="e")),
        ]
    return [
        (tkinter.Label, "Subject: S01", {"font": "Calibri 12 bold"},
         grid(0, 0, sticky="w", padx=15)),
        (tkinter.Label, "NO TRIAL SELECTED", {"font": "Calibri 10 bold", "fg": "red"},
         grid(0, 1)),
        (tkinter.Label, "Selected device: Delsys EMG", {"font": "Calibri 10 italic"},
         grid(1, 0, pady=10, padx=15, sticky="w")),
        (tkinter.Button, "Process", {"width": 16, "bg": "#84c897", "state": "disabled"},
         grid(1, 4, columnspan=2)),
        (tkinter.Button, "Report", {"width": 16, "bg": "#ffc34d", "state": "disabled"},
         grid(2, 4, columnspan=2, pady=1, padx=15)),
        (tkinter.Button, "Save Configuration",
         {"width": 16, "bg": "#4d94ff", "state": "disabled"},
         grid(1, 2, columnspan=2, pady=1)),
        (tkinter.Button, "Preview", {"width": 16, "bg": "#4d94ff", "state": "disabled"},
         grid(2, 2, columnspan=2, pady=1)),
    ]


SWITCH = {"font": "Calibri 12", "variable": 1}
SWITCH_WITH_ACTION = {"font": "Calibri 12", "variable": 1, "command": True}

SETTINGS = [
    (tkinter.Checkbutton, "Remove Mean ", SWITCH, grid(3, 0, sticky="w", padx=10)),
    (tkinter.Checkbutton, "Low-Pass Filter ", SWITCH_WITH_ACTION,
     grid(4, 0, sticky="w", padx=10)),
    (tkinter.Label, "Low cutoff frequency [Hz]: ", {}, grid(4, 1, sticky="w")),
    (tkinter.Entry, "200", {"width": 7}, grid(4, 2, sticky="w")),
    (tkinter.Label, "Filter Order: ", {}, grid(4, 3, sticky="e", padx=5)),
    (tkinter.Entry, "2", {"width": 3}, grid(4, 5, sticky="w", padx=5)),
    (tkinter.Checkbutton, "High-Pass Filter ", SWITCH_WITH_ACTION,
     grid(5, 0, sticky="w", padx=10)),
    (tkinter.Label, "High cutoff frequency [Hz]: ", {}, grid(5, 1, sticky="w")),
    (tkinter.Entry, "20", {"width": 7}, grid(5, 2, sticky="w")),
    (tkinter.Label, "Filter Order: ", {}, grid(5, 3, sticky="e", padx=5)),
    (tkinter.Entry, "2", {"width": 3}, grid(5, 5, sticky="w", padx=5)),
    (tkinter.Checkbutton, "Rectify ", SWITCH, grid(6, 0, sticky="w", padx=10)),
    (tkinter.Checkbutton, "Root Mean Square Error (RMSE) ", SWITCH_WITH_ACTION,
     grid(7, 0, sticky="w", padx=10)),
    (tkinter.Label, "Window size [samples]: ", {}, grid(7, 1, sticky="w")),
    (tkinter.Entry, "100", {"width": 7}, grid(7, 2, sticky="w")),
    (tkinter.Label, "  ", {}, grid(8, 0)),
    (tkinter.Label, "Select EMG channel: ", {"font": "Calibri 10 bold"},
     grid(8, 0, sticky="w", pady=20, padx=15)),
    (tkinter.Label, "Output channel", {}, grid(8, 2, sticky="w")),
]


def channel_rows(names):
    rows = []
    for k, channel in enumerate(names):
        rows.append((tkinter.Checkbutton, channel, {"variable": 0}, grid(9 + k, 1, sticky="w")))
        rows.append((tkinter.OptionMenu, "%d - %s" % (k + 1, channel), {}, grid(9 + k, 2)))
    return rows


ALL_BOX = (tkinter.Checkbutton, "All", {"variable": 0, "command": True}, grid(8, 1, sticky="w"))

# Options checked against the table or, when the table lists none, against a
# freshly made widget of the same class.  Bindings (command, variables) and
# the option menu's own menu are checked apart.
NOT_DEFAULTED = {"text", "command", "variable", "textvariable", "menu"}


def fresh(cls, root):
    if cls is tkinter.OptionMenu:
        return cls(root, tkinter.StringVar(root), "x")
    return cls(root)


def check_widget(root, widget, expected, position):
    cls, text, options, place = expected
    where = "widget %d (%s %r)" % (position, cls.__name__, text)
    assert type(widget) is cls, where
    if cls is tkinter.Entry:
        assert widget.get() == text, where
    else:
        assert widget.cget("text") == text, where
    info = widget.grid_info()
    assert {k: info[k] for k in place} == place, where

    check_options(widget, options, fresh(cls, root), NOT_DEFAULTED, where)

    if cls in (tkinter.Button, tkinter.Checkbutton):
        if "command" in options:
            assert widget.cget("command"), where + " has no command"
        else:
            assert widget.cget("command") == "", where + " has a command"
    if cls is tkinter.Checkbutton:
        assert int_value(root, str(widget.cget("variable"))) == options["variable"], where
    if cls is tkinter.OptionMenu:
        assert str(root.getvar(str(widget.cget("textvariable")))) == text, where


def check_tree(root, expected):
    widgets = root.winfo_children()
    assert [(type(w).__name__, w.get() if isinstance(w, tkinter.Entry) else w.cget("text"))
            for w in widgets] == [(e[0].__name__, e[1]) for e in expected]
    for position, (widget, want) in enumerate(zip(widgets, expected)):
        check_widget(root, widget, want, position)


class TestWidgetTree:
    @pytest.mark.parametrize("name", ["Walk01", ""], ids=["trial", "no-trial"])
    def test_both_forms(self, root, name):
        names = ["EMG1", "EMG2"]
        result = build(root, names, name=name)
        assert result[0] is root and result[1] is tkinter
        check_tree(root, header(name) + SETTINGS + channel_rows(names) + [ALL_BOX])

    def test_entries_start_enabled(self, root):
        build(root, ["EMG1"])
        assert [str(e.cget("state")) for e in Window(root).entries()] == ["normal"] * 5

    @pytest.mark.parametrize("names", [["A"], ["A", "B", "C"], ["EMG", "EMG"]])
    def test_channel_rows(self, root, names):
        build(root, names)
        check_tree(root, header("Walk01") + SETTINGS + channel_rows(names) + [ALL_BOX])
        window = Window(root)
        texts = ["%d - %s" % (k + 1, n) for k, n in enumerate(names)]
        for menu in window.option_menus():
            assert menu_labels(menu) == texts
        # Every row has its own variables.
        checks = window.channel_checks()
        assert len({str(c.cget("variable")) for c in checks}) == len(names)
        assert len({str(m.cget("textvariable")) for m in window.option_menus()}) == len(names)

    def test_no_channels(self, root):
        build(root, [])
        check_tree(root, header("Walk01") + SETTINGS + [ALL_BOX])

    @pytest.mark.parametrize("names, int_vars, string_vars", [
        ([], 5 + 1 + 1, 1),
        (["A"], 5 + 1 + 1, 1),
        (["A", "B", "C"], 5 + 3 + 1, 3),
    ])
    def test_variables_come_from_the_given_toolkit(self, root, names, int_vars, string_vars):
        tk = RecordingTk()
        assert build(root, names, tk=tk)[1] is tk
        assert (len(tk.int_vars), len(tk.string_vars)) == (int_vars, string_vars)
        assert tk.roots == []

    def test_trial_name_tk_cannot_read_is_refused_not_fatal(self, root):
        # Tk's list conversion has no guard of its own: a self-containing
        # list overflows the stack and a failing str() of an element is not
        # caught.  The window refuses the first and lets the second fail.
        class BadText:
            def __str__(self):
                raise KeyError("no text")

        looped = []
        looped.append(looped)
        with pytest.raises(RecursionError):
            build(root, ["EMG1"], name=looped)
        with pytest.raises(KeyError):
            build(root, ["EMG1"], name=[BadText(), BadText()])
        build(root, ["EMG1"], name=["Walk", 1, 2.5])
        labels = [w for w in root.winfo_children() if w.winfo_class() == "Label"]
        assert any(w.tk.eval("%s cget -text" % w) == "Walk 1 2.5" for w in labels)

    def test_many_channels_extend_downwards(self, root):
        names = ["C%02d" % k for k in range(1, 41)]
        build(root, names)
        rows = [m.grid_info()["row"] for m in Window(root).option_menus()]
        assert rows == list(range(9, 49))


# -- the actions ----------------------------------------------------------------

NAMES = ["LTA", "RTA", "LGAS"]


@pytest.fixture
def window(root):
    vicon = FakeNexus(names=NAMES)
    build(root, NAMES, vicon=vicon)
    w = Window(root)
    w.vicon = vicon
    return w


def settings_of(window):
    """Switch values and entry texts, high-pass before low-pass, as actions pass them."""
    low, low_ord, high, high_ord, rms = window.entries()
    switches = [window.value_of(t) for t in
                ("Remove Mean ", "Low-Pass Filter ", "High-Pass Filter ", "Rectify ",
                 "Root Mean Square Error (RMSE) ")]
    return tuple(switches) + (high.get(), high_ord.get(), low.get(), low_ord.get(), rms.get())


def channel_var_names(window):
    return [str(c.cget("variable")) for c in window.channel_checks()]


def check_lists(window, a, b):
    assert isinstance(a, list) and isinstance(b, list)
    assert [str(v) for v in a] == channel_var_names(window)
    assert [str(v) for v in b] == [str(m.cget("textvariable")) for m in window.option_menus()]


class TestButtonActions:
    def test_process_passes_eighteen_arguments(self, window, ops):
        window.button("Process").invoke()
        args = ops["processsignal"].args
        assert len(args) == 18
        check_lists(window, args[1], args[2])
        assert args[0] is window.root
        assert args[3] is window.vicon
        assert args[4:7] == (DEVICE, OUTPUT, 3)
        assert args[7:17] == (1, 1, 1, 1, 1, "20", "2", "200", "2", "100")
        assert args[17] is HISTORY
        assert [type(v) for v in args[6:12]] == [int] * 6
        for name in ("displaysig", "saveparameters", "printreportwindow"):
            assert ops[name].calls == []

    def test_preview_passes_sixteen_arguments(self, window, ops):
        window.button("Preview").invoke()
        args = ops["displaysig"].args
        assert len(args) == 16
        check_lists(window, args[0], args[1])
        assert args[2] is window.vicon
        assert args[3:6] == (DEVICE, OUTPUT, 3)
        assert args[6:16] == (1, 1, 1, 1, 1, "20", "2", "200", "2", "100")

    def test_save_passes_fifteen_arguments(self, window, ops):
        window.button("Save Configuration").invoke()
        args = ops["saveparameters"].args
        assert len(args) == 15
        assert args[0] is PATHCONFIG
        assert args[1] is window.root
        check_lists(window, args[2], args[3])
        assert args[4] == 3
        assert args[5:15] == (1, 1, 1, 1, 1, "20", "2", "200", "2", "100")

    def test_report_passes_eight_arguments(self, window, ops):
        window.button("Report").invoke()
        args = ops["printreportwindow"].args
        assert len(args) == 8
        assert args[0:3] == (DEVICE, OUTPUT, window.root)
        check_lists(window, args[3], args[4])
        assert args[5] == 3
        assert args[6] is window.vicon
        assert args[7] == "S01"

    def test_every_action_hands_over_the_same_lists(self, window, ops):
        for text in ("Process", "Preview", "Save Configuration", "Report", "Process"):
            window.button(text).invoke()
        first, second = ops["processsignal"].calls
        a, b = first[1], first[2]
        assert second[1] is a and second[2] is b
        assert ops["displaysig"].args[0] is a and ops["displaysig"].args[1] is b
        assert ops["saveparameters"].args[2] is a and ops["saveparameters"].args[3] is b
        assert ops["printreportwindow"].args[3] is a and ops["printreportwindow"].args[4] is b

    def test_values_are_read_at_click_time(self, window, ops):
        low, low_ord, high, high_ord, rms = window.entries()
        window.button("Process").invoke()

        # Distinct texts show the order; blanks, decimals and "" pass unchanged.
        for widget, text in ((low, "201"), (low_ord, " 3"), (high, "20.5"),
                             (high_ord, ""), (rms, "abc")):
            set_text(widget, text)
        window.check("Remove Mean ").invoke()
        window.check("Rectify ").invoke()
        window.check("Low-Pass Filter ").invoke()   # disables its entries
        window.channel_checks()[1].invoke()
        window.option_menus()[2].nametowidget(window.option_menus()[2].cget("menu")).invoke(0)

        for text in ("Process", "Preview", "Save Configuration"):
            window.button(text).invoke()
        expected = (0, 0, 1, 0, 1, "20.5", "", "201", " 3", "abc")
        assert settings_of(window) == expected
        later = ops["processsignal"].calls[1]
        assert later[7:17] == expected
        assert ops["displaysig"].args[6:16] == expected
        assert ops["saveparameters"].args[5:15] == expected
        assert [v.get() for v in later[1]] == [0, 1, 0]
        assert [v.get() for v in later[2]] == ["1 - LTA", "2 - RTA", "1 - LTA"]

    def test_all_ticked_through_the_window_reach_process(self, window, ops):
        window.check("All").invoke()
        window.button("Process").invoke()
        assert [v.get() for v in ops["processsignal"].args[1]] == [1, 1, 1]


class TestCheckBoxActions:
    ENTRY_OF = {  # switch text -> indices into Window.entries()
        "Low-Pass Filter ": (0, 1),
        "High-Pass Filter ": (2, 3),
        "Root Mean Square Error (RMSE) ": (4,),
    }

    @pytest.mark.parametrize("text", list(ENTRY_OF))
    def test_switch_disables_and_enables_its_entries(self, window, text):
        entries = window.entries()
        texts = [e.get() for e in entries]
        mine = self.ENTRY_OF[text]

        window.check(text).invoke()
        assert window.value_of(text) == 0
        states = [str(e.cget("state")) for e in entries]
        assert states == ["disabled" if k in mine else "normal" for k in range(5)]
        assert [e.get() for e in entries] == texts

        window.check(text).invoke()
        assert window.value_of(text) == 1
        assert [str(e.cget("state")) for e in entries] == ["normal"] * 5
        assert [e.get() for e in entries] == texts

    @pytest.mark.parametrize("text", ["Remove Mean ", "Rectify "])
    def test_plain_switches_touch_no_entry(self, window, text):
        window.check(text).invoke()
        assert window.value_of(text) == 0
        assert [str(e.cget("state")) for e in window.entries()] == ["normal"] * 5

    def test_switch_actions_call_disabletxt(self, window, monkeypatch):
        calls = []
        monkeypatch.setattr(quorvaemg, "disabletxt", lambda *args: calls.append(args))
        low, low_ord, high, high_ord, rms = window.entries()
        for text in self.ENTRY_OF:
            window.check(text).invoke()
        assert [(c[0], c[1], str(c[2])) for c in calls] == [
            (low, low_ord, str(window.check("Low-Pass Filter ").cget("variable"))),
            (high, high_ord, str(window.check("High-Pass Filter ").cget("variable"))),
            (rms, rms, str(window.check("Root Mean Square Error (RMSE) ").cget("variable"))),
        ]
        # The action sees the switch already changed.
        assert [c[2].get() for c in calls] == [0, 0, 0]

    def test_all_ticks_and_unticks_every_channel(self, window):
        channels = window.channel_checks()
        names = channel_var_names(window)
        value = lambda: [int_value(window.root, n) for n in names]

        window.check("All").invoke()
        assert value() == [1, 1, 1]
        assert window.value_of("All") == 1

        channels[1].invoke()
        assert value() == [1, 0, 1]
        assert window.value_of("All") == 1

        window.check("All").invoke()
        assert value() == [0, 0, 0]
        assert window.value_of("All") == 0

    def test_all_calls_selectcheck_with_window_values(self, window, ops, monkeypatch):
        calls = []
        monkeypatch.setattr(quorvaemg, "selectcheck", lambda *args: calls.append(args))
        window.check("All").invoke()
        window.button("Process").invoke()
        (var, numch, a), = calls
        assert str(var) == str(window.check("All").cget("variable"))
        assert numch == 3 and type(numch) is int
        assert a is ops["processsignal"].args[1]


class TestNoTrialForm:
    @pytest.fixture
    def closed(self, root):
        build(root, NAMES, name="")
        return Window(root)

    def test_disabled_buttons_never_run(self, closed, ops):
        for text in ("Process", "Preview", "Save Configuration", "Report"):
            closed.button(text).invoke()
        assert all(r.calls == [] for r in ops.values())

    def test_check_boxes_still_work(self, closed):
        closed.check("Low-Pass Filter ").invoke()
        assert [str(e.cget("state")) for e in closed.entries()[:2]] == ["disabled"] * 2
        closed.check("All").invoke()
        assert [int_value(closed.root, n) for n in channel_var_names(closed)] == [1, 1, 1]


class TestEmptyChannelList:
    def test_actions_see_one_variable_each(self, root, ops):
        build(root, [])
        Window(root).button("Process").invoke()
        args = ops["processsignal"].args
        a, b, numch = args[1], args[2], args[6]
        assert len(a) == len(b) == 1 and numch == 1
        assert a[0].get() == 0 and b[0].get() == ""

    def test_all_box_sets_the_lone_variable(self, root, ops):
        build(root, [])
        Window(root).check("All").invoke()
        Window(root).button("Process").invoke()
        assert ops["processsignal"].args[1][0].get() == 1


class TestFailingActions:
    def test_error_is_reported_and_window_stays_usable(self, root, trial, showinfo):
        names = trial.names
        build(root, names, vicon=trial, history=False)
        window = Window(root)
        window.channel_checks()[0].invoke()
        high = window.entries()[2]
        set_text(high, "abc")

        window.button("Process").invoke()
        reported = take_reported(root)
        assert len(reported) == 1 and isinstance(reported[0], ValueError)
        assert alive(root)
        assert trial.written == {}
        assert high.get() == "abc"
        assert window.value_of(names[0]) == 1

        set_text(high, "20")
        window.button("Process").invoke()
        assert take_reported(root) == []
        assert sorted(trial.written) == [1]
        assert not alive(root)

    def test_process_without_selection_keeps_window(self, root, trial, showinfo):
        build(root, trial.names, vicon=trial, history=False)
        window = Window(root)
        window.button("Process").invoke()
        assert showinfo == [("Quorva EMG plugin", "No EMG channel selected")]
        assert alive(root)
        window.channel_checks()[2].invoke()
        window.button("Process").invoke()
        assert sorted(trial.written) == [3]
        assert not alive(root)


class TestDemoTrial:
    def test_process_writes_ticked_channels_and_closes(self, root, tmp_path, reference):
        vicon = NexusStandIn(demo_trial(str(tmp_path)))
        raw = [s.copy() for s in vicon.trial.samples]
        _, names = quorvaemg.initializeroot(root, vicon, 1, 1)
        quorvaemg.initializewindow(root, tkinter, vicon, [SUBJECT], TRIAL_NAME, DEVICE_NAME,
                                   1, 1, names, True, str(tmp_path) + os.sep)
        window = Window(root)
        assert root.title() == TITLE

        # RTA to itself; LSOL into the RSOL channel through its drop-down.
        window.check("RTA").invoke()
        window.check("LSOL").invoke()
        lsol_menu = window.option_menus()[4]
        lsol_menu.nametowidget(lsol_menu.cget("menu")).invoke(5)
        assert lsol_menu.cget("text") == "6 - RSOL"

        window.button("Process").invoke()

        assert not alive(root)
        assert vicon.written == {2, 6}
        samples = vicon.trial.samples
        np.testing.assert_allclose(samples[1], reference(raw[1]), rtol=1e-9, atol=1e-15)
        np.testing.assert_allclose(samples[5], reference(raw[4]), rtol=1e-9, atol=1e-15)
        for k in set(range(12)) - {1, 5}:
            np.testing.assert_array_equal(samples[k], raw[k])
        history = vicon.trial.folder + vicon.trial.name + "_RIVurorHistory.txt"
        assert os.path.exists(history)
