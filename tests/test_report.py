"""The report on a real Tk: the settings dialog, Create Report end to end, failures."""

import os
import tkinter

import plotvane
import pypdf
import pytest
import quorvaemg
from fake_nexus import FakeNexus, choices, selection
from matplotlib import pyplot
from PIL import Image
from quorvaemg_host.demo import SUBJECT, TRIAL_NAME, demo_trial
from quorvaemg_host.nexus import NexusStandIn
from tk_support import RecordingTk, alive, check_options, root, take_reported, tk_display  # noqa: F401  (fixtures)

DEVICE, OUTPUT = 7, 3
NAMES = ["LTA", "RTA", "LGAS"]
TITLE = "Myolex - Report Settings"


class Recorder:
    """Stands in for a module operation (or wraps it); keeps every call's arguments."""

    def __init__(self, through=None):
        self.calls = []
        self.through = through
        self.results = []

    def __call__(self, *args, **kwargs):
        assert not kwargs, "called with positional arguments"
        self.calls.append(args)
        if self.through is not None:
            self.results.append(self.through(*args))

    @property
    def args(self):
        assert len(self.calls) == 1, self.calls
        return self.calls[0]


@pytest.fixture(autouse=True)
def no_message_boxes(monkeypatch):
    class Boxes:
        @staticmethod
        def showinfo(*args, **kwargs):
            raise AssertionError("the report shows no message box")

    monkeypatch.setattr(quorvaemg, "messagebox", Boxes)


@pytest.fixture(autouse=True)
def no_figures_left():
    pyplot.close("all")
    yield
    assert pyplot.get_fignums() == [], "a report figure was left open"


@pytest.fixture
def opened(monkeypatch):
    """printreportwindow, recorded on its way through."""
    recorder = Recorder(quorvaemg.printreportwindow)
    monkeypatch.setattr(quorvaemg, "printreportwindow", recorder)
    return recorder


def grid(row, column, columnspan=1, rowspan=1, padx=0, pady=0, sticky=""):
    return {"row": row, "column": column, "columnspan": columnspan, "rowspan": rowspan,
            "padx": padx, "pady": pady, "sticky": sticky}


REPORT_CELL = grid(2, 4, columnspan=2, pady=1, padx=15)
REPORT_BUTTON = {"text": "Report", "width": 16, "bg": "#ffc34d"}

DIALOG = [
    (tkinter.Label, {"text": "Insert optional parameter before printing the report",
                     "font": "Calibri 13 italic"}, grid(0, 0, sticky="w", pady=15, padx=8)),
    (tkinter.Label, {"text": "Notes:", "font": "Calibri 11"},
     grid(6, 0, pady=5, padx=10, sticky="w")),
    (tkinter.Text, {"height": 5}, grid(7, 0, columnspan=3, rowspan=3, padx=10, pady=5)),
    (tkinter.Label, {"text": "Institution Header: ", "font": "Calibri 11"},
     grid(1, 0, sticky="w", padx=10, pady=5)),
    (tkinter.Entry, {"width": 60}, grid(2, 0, sticky="w", padx=10)),
    (tkinter.Label, {"text": "Analysis performed by [Name, Surname]: ", "font": "Calibri 11"},
     grid(3, 0, sticky="w", padx=10, pady=5)),
    (tkinter.Entry, {"width": 37}, grid(4, 0, sticky="w", padx=10)),
    (tkinter.Checkbutton, {"text": "Add Event Lines ", "font": "Calibri 11"},
     grid(4, 1, sticky="e", padx=10)),
    (tkinter.Button, {"text": "Create Report", "font": "Calibri 11", "width": 16,
                      "bg": "#4d94ff"}, grid(27, 1, columnspan=2, pady=70)),
]

BINDINGS = {"command", "variable", "textvariable"}


def check_widget(widget, cls, options, place):
    """Class, grid and every option: as listed, else the class's default."""
    where = f"{cls.__name__} {options.get('text')!r}"
    assert type(widget) is cls, where
    info = widget.grid_info()
    assert {k: info[k] for k in place} == place, where
    check_options(widget, options, cls(widget.master), BINDINGS, where)


def check_report_button(button, enabled):
    state = "normal" if enabled else "disabled"
    check_widget(button, tkinter.Button, dict(REPORT_BUTTON, state=state), REPORT_CELL)
    assert bool(button.cget("command")) is enabled


class Main:
    """The main window with a trial open, and the report dialog over it."""

    def __init__(self, root, vicon, names, subject="S01", device=DEVICE, output=OUTPUT):
        self.root = root
        self.vicon = vicon
        quorvaemg.initializewindow(root, tkinter, vicon, [subject, "S02"], "Walk01",
                                   "Delsys EMG", device, output, names, False, "/configs/")
        children = root.winfo_children()
        self.report = next(w for w in children if isinstance(w, tkinter.Button)
                           and w.cget("text") == "Report")
        self.checks = {w.cget("text"): w for w in children
                       if isinstance(w, tkinter.Checkbutton) and w.grid_info()["row"] >= 9}

    def open(self, button=None):
        """Press Report; returns the button laid over it and the dialog."""
        before = len(self.root.winfo_children())
        (button or self.report).invoke()
        added = self.root.winfo_children()[before:]
        assert [type(w) for w in added] == [tkinter.Button, tkinter.Toplevel]
        return added

    def close(self, dialog):
        """Close the dialog as the window manager does; returns the restored button."""
        before = set(self.root.winfo_children())
        command = str(dialog.protocol("WM_DELETE_WINDOW"))
        assert command
        self.root.tk.call(command)
        (added,) = [w for w in self.root.winfo_children() if w not in before]
        return added

    def topmost_in_report_cell(self):
        self.root.update()
        x = self.report.winfo_rootx() + self.report.winfo_width() // 2
        y = self.report.winfo_rooty() + self.report.winfo_height() // 2
        return self.root.winfo_containing(x, y)


class Dialog:
    def __init__(self, window):
        self.window = window
        (self.title_label, _, self.notes, _, self.head, _, self.doc, self.events,
         self.create) = window.winfo_children()

    def event_switch(self):
        return int(self.window.getvar(str(self.events.cget("variable"))))

    def type(self, head=None, doc=None, notes=None):
        for entry, text in ((self.head, head), (self.doc, doc)):
            if text is not None:
                entry.delete(0, "end")
                entry.insert(0, text)
        if notes is not None:
            self.notes.insert("1.0", notes)


@pytest.fixture
def main(root, tmp_path):
    vicon = FakeNexus([[0.0] * 50] * 3, names=NAMES, folder=str(tmp_path) + os.sep)
    return Main(root, vicon, NAMES)


# -- the dialog -------------------------------------------------------------------


class TestOpening:
    def test_widgets_and_window(self, main, opened):
        cover, window = main.open()
        check_report_button(cover, enabled=False)
        assert main.topmost_in_report_cell() is cover
        assert window.master is main.root
        assert window.title() == TITLE
        assert window.resizable() == (0, 0)
        assert main.root.grab_current() is None  # not modal

        widgets = window.winfo_children()
        assert [type(w) for w in widgets] == [d[0] for d in DIALOG]
        for widget, (cls, options, place) in zip(widgets, DIALOG):
            check_widget(widget, cls, options, place)
        dialog = Dialog(window)
        assert dialog.create.cget("command")
        assert dialog.events.cget("command") == ""
        assert (dialog.head.get(), dialog.doc.get()) == (" ", " ")
        assert dialog.notes.get("1.0", "end-1c") == ""
        assert dialog.event_switch() == 0

    def test_report_button_opens_with_window_values(self, main, opened):
        main.open()
        args = opened.args
        assert len(args) == 8
        assert args[0:3] == (DEVICE, OUTPUT, main.root)
        a, b = args[3], args[4]
        assert [str(v) for v in a] == [str(main.checks[n].cget("variable")) for n in NAMES]
        assert [v.get() for v in b] == ["1 - LTA", "2 - RTA", "3 - LGAS"]
        assert args[5] == 3 and args[6] is main.vicon and args[7] == "S01"

    def test_create_report_at_once_passes_initial_values(self, main, opened, monkeypatch):
        createpdf = Recorder()
        monkeypatch.setattr(quorvaemg, "createpdf", createpdf)
        _, window = main.open()
        dialog = Dialog(window)
        dialog.create.invoke()

        args = createpdf.args
        opening = opened.args
        assert len(args) == 13
        assert args[0] is main.root and args[1] is window and args[2] is main.vicon
        assert args[3] is opening[3] and args[4] is opening[4]
        assert args[5:9] == (3, "S01", DEVICE, OUTPUT)
        assert args[9] is dialog.notes
        assert args[10:12] == (" ", " ")
        assert args[12] == 0 and isinstance(args[12], int)
        # The recorder destroys nothing: both windows are still there.
        assert alive(window) and alive(main.root)

    def test_values_are_read_when_pressed(self, main, opened, monkeypatch):
        createpdf = Recorder()
        monkeypatch.setattr(quorvaemg, "createpdf", createpdf)
        _, window = main.open()
        dialog = Dialog(window)
        dialog.type(head="  Gait Lab, Ward 3 ", doc="", notes="line 1\nline 2")
        dialog.events.invoke()
        main.checks["RTA"].invoke()
        dialog.create.invoke()

        args = createpdf.args
        assert args[10:13] == ("  Gait Lab, Ward 3 ", "", 1)
        assert [v.get() for v in args[3]] == [0, 1, 0]
        assert args[9].get("1.0", "end-1c") == "line 1\nline 2"

        dialog.type(head="Other", doc="Dr. B")
        dialog.events.invoke()
        dialog.create.invoke()
        assert createpdf.calls[1][10:13] == ("Other", "Dr. B", 0)

    def test_reads_header_then_analyst_then_switch(self, main, opened, monkeypatch):
        tk = RecordingTk()
        monkeypatch.setattr(quorvaemg, "tk", tk)
        monkeypatch.setattr(quorvaemg, "createpdf", Recorder())
        _, window = main.open()
        dialog = Dialog(window)
        (switch,) = tk.int_vars
        reads = []

        def spy(name, thing):
            real = thing.get
            thing.get = lambda *args: reads.append(name) or real(*args)

        spy("head", dialog.head)
        spy("doc", dialog.doc)
        spy("events", switch)
        dialog.create.invoke()
        assert reads == ["head", "doc", "events"]


class TestClosing:
    def test_close_restores_report_and_reopens_fresh(self, main, opened, monkeypatch):
        createpdf = Recorder()
        monkeypatch.setattr(quorvaemg, "createpdf", createpdf)
        _, first = main.open()
        Dialog(first).type(head="Lab", doc="Dr. A", notes="typed")
        Dialog(first).events.invoke()

        restored = main.close(first)
        assert not alive(first)
        check_report_button(restored, enabled=True)
        assert main.topmost_in_report_cell() is restored
        assert createpdf.calls == []

        cover, second = main.open(restored)
        check_report_button(cover, enabled=False)
        assert main.topmost_in_report_cell() is cover
        assert second.title() == TITLE
        assert len(opened.calls) == 2
        assert all(x is y for x, y in zip(opened.calls[1], opened.calls[0]))

        dialog = Dialog(second)
        assert (dialog.head.get(), dialog.doc.get(), dialog.event_switch()) == (" ", " ", 0)
        assert dialog.notes.get("1.0", "end-1c") == ""
        dialog.create.invoke()
        args = createpdf.args
        assert args[0] is main.root and args[1] is second and args[2] is main.vicon
        assert all(x is y for x, y in zip(args[3:5], opened.calls[0][3:5]))
        assert args[5:9] == (3, "S01", DEVICE, OUTPUT)
        assert args[9] is dialog.notes and args[10:13] == (" ", " ", 0)

# -- Create Report end to end -------------------------------------------------------


@pytest.fixture
def writer(monkeypatch):
    """The real report writer, recorded on its way through."""
    recorder = Recorder(plotvane.repemg)
    monkeypatch.setattr(quorvaemg, "repemg", recorder)
    return recorder


def pages(pdf):
    return len(pypdf.PdfReader(pdf).pages)


class TestDemoTrial:
    @pytest.mark.parametrize("events", [0, 1], ids=["plain", "event-lines"])
    def test_create_report(self, root, tmp_path, writer, events):
        vicon = NexusStandIn(demo_trial(str(tmp_path)))
        _, names = quorvaemg.initializeroot(root, vicon, 1, 1)
        main = Main(root, vicon, names, subject=SUBJECT, device=1, output=1)
        main.checks["RTA"].invoke()
        main.checks["RHAM"].invoke()
        _, window = main.open()
        main.checks["LGAS"].invoke()  # ticked after opening: still reported
        dialog = Dialog(window)
        dialog.type(head="Gait Lab", doc="Dr. A. Rossi", notes="Barefoot.\nSelf-selected speed.")
        if events:
            dialog.events.invoke()
        del vicon.calls[:]

        dialog.create.invoke()

        assert take_reported(root) == []
        folder = vicon.trial.folder
        ticked = ["RTA", "LGAS", "RHAM"]
        images = [folder + TRIAL_NAME + "_" + n + ".png" for n in ticked]
        args = writer.args
        assert len(args) == 9
        assert args[0] == images
        assert args[1] is root and args[2] is vicon
        assert args[3:6] == (SUBJECT, TRIAL_NAME, folder)
        assert args[6:9] == ("Barefoot.\nSelf-selected speed.", "Dr. A. Rossi", "Gait Lab")
        for path in images:
            with Image.open(path) as picture:
                assert picture.size == (2375, 950)
        assert not alive(window) and not alive(root)

        expected = ["GetTrialName", "GetDeviceOutputDetails"]
        if events:
            expected += ["GetDeviceDetails", "GetFrameRate"] + ["GetEvents"] * 4
        assert vicon.calls == expected + ["GetDeviceChannel"] * 3

        (pdf,) = writer.results
        assert os.path.dirname(pdf) == os.path.dirname(folder)
        assert pages(pdf) == 1 + len(images)


# -- failures -------------------------------------------------------------------------


def create(root, vicon, ticks, events=0, notes="", doc=" ", head=" "):
    dialog = tkinter.Toplevel(root)
    box = tkinter.Text(dialog, height=5)
    box.insert("1.0", notes)
    quorvaemg.createpdf(root, dialog, vicon, selection(*ticks), choices(vicon.names),
                        len(ticks), "S01", DEVICE, OUTPUT, box, head, doc, events)
    return dialog


def trial(folder, names=NAMES):
    return FakeNexus([[0.001 * k] * 300 for k in range(len(names))], names=names,
                     folder=str(folder) + os.sep,
                     events={("Left", "Foot Strike"): [5], ("Left", "Foot Off"): [12]})


class TestFailures:
    def test_writer_failure_leaves_images_and_usable_dialog(self, main, monkeypatch):
        def broken(*args):
            raise RuntimeError("printer on fire")

        monkeypatch.setattr(quorvaemg, "repemg", broken)
        main.checks["LTA"].invoke()
        main.checks["LGAS"].invoke()
        _, window = main.open()
        dialog = Dialog(window)
        dialog.type(head="Lab")
        dialog.events.invoke()
        dialog.create.invoke()

        (error,) = take_reported(main.root)
        assert isinstance(error, RuntimeError) and "printer on fire" in str(error)
        folder = main.vicon.folder
        assert sorted(os.listdir(folder)) == ["Walk01_LGAS.png", "Walk01_LTA.png"]
        assert alive(window) and alive(main.root)
        assert dialog.head.get() == "Lab" and dialog.event_switch() == 1

        writer = Recorder()
        monkeypatch.setattr(quorvaemg, "repemg", writer)
        dialog.create.invoke()
        assert writer.args[0] == [folder + "Walk01_LTA.png", folder + "Walk01_LGAS.png"]
        assert writer.args[8] == "Lab"
        assert not alive(window) and not alive(main.root)

    def test_missing_folder_fails_at_saving(self, root, tmp_path, monkeypatch):
        writer = Recorder()
        monkeypatch.setattr(quorvaemg, "repemg", writer)
        vicon = trial(tmp_path / "gone")
        with pytest.raises(OSError):
            create(root, vicon, (1, 1, 0), events=1)
        assert writer.calls == []
        assert [name for name, _ in vicon.calls].count("GetDeviceChannel") == 1
        assert alive(root) and len(root.winfo_children()) == 1
        assert pyplot.get_fignums() == []

    def test_no_channel_ticked_still_calls_writer(self, root, tmp_path, monkeypatch):
        writer = Recorder()
        monkeypatch.setattr(quorvaemg, "repemg", writer)
        vicon = trial(tmp_path)
        dialog = create(root, vicon, (0, 0, 0), doc=42, head=None)
        assert writer.args[0] == []
        assert writer.args[6:9] == ("", "42", "None")
        assert "GetDeviceChannel" not in vicon.names_called()
        assert os.listdir(str(tmp_path)) == []
        assert not alive(dialog) and not alive(root)

    @pytest.mark.parametrize("operation, result", [
        ("GetTrialName", ("/data/", "Walk01", "extra")),
        ("GetDeviceOutputDetails", ("EMG", "Devices", "V", True, NAMES)),
        ("GetDeviceDetails", ("EMG", "Other", 1000.0, [1], [])),
        ("GetEvents", ([5],)),
        ("GetDeviceChannel", ([0.0] * 300, [True] * 300)),
    ])
    def test_wrong_size_nexus_result(self, root, tmp_path, monkeypatch, operation, result):
        writer = Recorder()
        monkeypatch.setattr(quorvaemg, "repemg", writer)
        vicon = trial(tmp_path)
        vicon.results[operation] = result
        with pytest.raises(ValueError):
            create(root, vicon, (1, 0, 0), events=1)
        assert writer.calls == []
        assert alive(root) and len(root.winfo_children()) == 1
