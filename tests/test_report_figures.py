"""Report figures: what createpdf draws for each ticked channel and where it saves it."""

import inspect
import os
import tkinter

import matplotlib
import numpy as np
import pytest
import quorvaemg
from fake_nexus import FakeNexus, choices, selection
from matplotlib import pyplot
from tk_support import root, tk_display  # noqa: F401  (fixtures)

DEVICE, OUTPUT = 7, 3
SUBJECT = "S01"
N = 1200

# Left: two strikes, one off.  Right: one strike, two offs.
EVENTS = {
    ("Left", "Foot Strike"): [150, 260],
    ("Left", "Foot Off"): [210],
    ("Right", "Foot Strike"): [205],
    ("Right", "Foot Off"): [95, 318],
}


def samples(k, n=N):
    return (1e-4 * np.sin(np.linspace(0, 40 + k, n)) + 1e-5 * k).tolist()


def make_trial(folder, names, rate=1000, frame_rate=100, events=EVENTS, trial="Walk01"):
    return FakeNexus([samples(k) for k in range(len(names))], names=names,
                     folder=str(folder) + os.sep, trial=trial, subjects=(SUBJECT,),
                     rate=rate, frame_rate=frame_rate, events=events)


class Drawn:
    """What one figure held when it was saved."""

    def __init__(self, fig, ax, path, legends):
        lines = ax.get_lines()
        self.path = path
        self.figures_alive = len(pyplot.get_fignums())
        self.size = tuple(fig.get_size_inches())
        self.dpi = fig.dpi
        self.window_title = fig.canvas.manager.given_title
        self.raw = lines[0]
        self.events = [(l.get_xdata()[0], l.get_color(), l.get_linestyle(), l.get_linewidth())
                       for l in lines[1:]]
        self.event_lines = lines[1:]
        self.legend_calls = list(legends)
        legend = ax.get_legend()
        self.legend = None if legend is None else [t.get_text() for t in legend.get_texts()]
        self.grid = [g.get_visible() for g in ax.get_xgridlines() + ax.get_ygridlines()]
        self.ylabel = (ax.get_ylabel(), ax.yaxis.label.get_fontsize())
        self.xlabel = (ax.get_xlabel(), ax.xaxis.label.get_fontsize())
        self.title = (ax.get_title(), ax.title.get_fontsize())


class RecordingPyplot:
    """pyplot as the module sees it: subplots() calls and each figure at savefig."""

    def __init__(self):
        self.subplots_calls = []
        self.drawn = []

    def __getattr__(self, name):
        return getattr(pyplot, name)

    def subplots(self, *args, **kwargs):
        bound = inspect.signature(pyplot.subplots).bind(*args, **kwargs)
        bound.apply_defaults()
        self.subplots_calls.append(bound.arguments)
        fig, ax = pyplot.subplots(*args, **kwargs)
        legends = []

        def legend(*largs, **lkwargs):
            legends.append((largs, lkwargs))
            return type(ax).legend(ax, *largs, **lkwargs)

        def savefig(path, *sargs, **skwargs):
            self.drawn.append(Drawn(fig, ax, path, legends))
            return type(fig).savefig(fig, path, *sargs, **skwargs)

        ax.legend = legend
        fig.savefig = savefig
        return fig, ax


@pytest.fixture
def plt(monkeypatch, window_titles):
    pyplot.close("all")
    recorder = RecordingPyplot()
    monkeypatch.setattr(quorvaemg, "plt", recorder)
    yield recorder
    pyplot.close("all")


@pytest.fixture
def repemg(monkeypatch):
    calls = []
    monkeypatch.setattr(quorvaemg, "repemg", lambda *args: calls.append(args))
    return calls


def create(root, vicon, ticks, events=0, notes="", doc=" ", head=" "):
    """Press Create Report as the dialog would; returns the dialog window."""
    dialog = tkinter.Toplevel(root)
    box = tkinter.Text(dialog, height=5)
    box.insert("1.0", notes)
    quorvaemg.createpdf(root, dialog, vicon, selection(*ticks), choices(vicon.names),
                        len(ticks), SUBJECT, DEVICE, OUTPUT, box, head, doc, events)
    return dialog


def image(vicon, stem):
    return vicon.folder + vicon.trial + "_" + stem + ".png"


class TestFigure:
    def test_one_figure_per_ticked_channel(self, root, tmp_path, plt, repemg):
        names = ["EMG1", "EMG2", "EMG3"]
        vicon = make_trial(tmp_path, names)
        create(root, vicon, (1, 0, 1))

        assert len(plt.subplots_calls) == 2
        for call in plt.subplots_calls:
            assert (call["nrows"], call["ncols"]) == (1, 1)
            assert tuple(call["fig_kw"]["figsize"]) == (25, 10)
            assert call["fig_kw"]["dpi"] == 95
        for drawn, k in zip(plt.drawn, (0, 2)):
            assert drawn.size == (25, 10) and drawn.dpi == 95
            assert drawn.window_title == "Myolex - EMG signals"
            np.testing.assert_array_equal(drawn.raw.get_xdata(), np.arange(N))
            np.testing.assert_array_equal(drawn.raw.get_ydata(), vicon.channels[k])
            assert drawn.raw.get_color() == "b" and drawn.raw.get_linewidth() == 1
            assert drawn.raw.get_linestyle() == "-"
            assert drawn.events == [] and drawn.legend is None
            assert drawn.grid and all(drawn.grid)
            default_label = matplotlib.font_manager.FontProperties(
                size=matplotlib.rcParams["axes.labelsize"]).get_size_in_points()
            assert drawn.ylabel == ("EMG [V]", default_label)
            assert drawn.xlabel == ("Samples", 20)
            assert drawn.title == (names[k] + " [V]", 28)
        assert [d.path for d in plt.drawn] == [image(vicon, "EMG1"), image(vicon, "EMG3")]
        assert repemg[0][0] == [str(tmp_path) + os.sep + "Walk01_EMG1.png",
                                str(tmp_path) + os.sep + "Walk01_EMG3.png"]
        assert all(os.path.isfile(p) for p in repemg[0][0])

def event_lines(frames, factor, colour, style):
    width = matplotlib.rcParams["lines.linewidth"]
    return [(pytest.approx(f * factor), colour, style, width) for f in frames]


def side(strikes, offs, factor, colour):
    return (event_lines(strikes, factor, colour, "--")
            + event_lines(offs, factor, colour, "-"))


class TestEventLines:
    def test_side_follows_first_letter(self, root, tmp_path, plt, repemg):
        names = ["LTA", "lGAS", "rGAS", "EMG1", "RTA"]
        vicon = make_trial(tmp_path, names)
        create(root, vicon, (1, 1, 1, 1, 1), events=1)

        left = side([150, 260], [210], 10, "r")
        right = side([205], [95, 318], 10, "g")
        assert [d.events for d in plt.drawn] == [left, left, right, [], right]
        assert plt.drawn[0].events[0][0] == 1500
        legends = [d.legend for d in plt.drawn]
        both = ["Heel Strike", "Toe Off"]
        assert legends == [both, both, both, None, both]

        # The legend's handles are the last strike and the last off drawn.
        lta = plt.drawn[0]
        (handles, labels), _ = lta.legend_calls[0]
        assert list(labels) == both
        assert handles[0] is lta.event_lines[1] and handles[1] is lta.event_lines[2]
        assert all(len(d.legend_calls) <= 1 for d in plt.drawn)
        assert [d.figures_alive for d in plt.drawn] == [1] * 5
        assert pyplot.get_fignums() == []

    def test_factor_is_a_true_division(self, root, tmp_path, plt, repemg):
        vicon = make_trial(tmp_path, ["LTA"], rate=1000, frame_rate=120)
        create(root, vicon, (1,), events=1)
        assert plt.drawn[0].events == side([150, 260], [210], 1000 / 120, "r")

    @pytest.mark.parametrize("present, legend", [
        ({"Foot Strike"}, ["Heel Strike"]),
        ({"Foot Off"}, ["Toe Off"]),
        (set(), None),
    ], ids=["strikes-only", "offs-only", "none"])
    def test_legend_names_only_drawn_lines(self, root, tmp_path, plt, repemg, present, legend):
        events = {key: frames for key, frames in EVENTS.items()
                  if key[0] == "Right" or key[1] in present}
        vicon = make_trial(tmp_path, ["LTA", "RTA"], events=events)
        create(root, vicon, (1, 1), events=1)

        lta, rta = plt.drawn
        assert lta.legend == legend
        expected = side([150, 260] if "Foot Strike" in present else [],
                        [210] if "Foot Off" in present else [], 10, "r")
        assert lta.events == expected
        assert rta.legend == ["Heel Strike", "Toe Off"]

class TestNexusCalls:
    @pytest.mark.parametrize("events", [0, 1])
    def test_order_and_arguments(self, root, tmp_path, repemg, events):
        vicon = make_trial(tmp_path, ["LTA", "RTA", "LGAS", "RGAS"])
        create(root, vicon, (1, 0, 0, 1), events=events)
        expected = [("GetTrialName", ()), ("GetDeviceOutputDetails", (DEVICE, OUTPUT))]
        if events:
            expected += [("GetDeviceDetails", (DEVICE,)), ("GetFrameRate", ()),
                         ("GetEvents", (SUBJECT, "Left", "Foot Strike")),
                         ("GetEvents", (SUBJECT, "Right", "Foot Strike")),
                         ("GetEvents", (SUBJECT, "Left", "Foot Off")),
                         ("GetEvents", (SUBJECT, "Right", "Foot Off"))]
        expected += [("GetDeviceChannel", (DEVICE, OUTPUT, 1)),
                     ("GetDeviceChannel", (DEVICE, OUTPUT, 4))]
        assert vicon.calls == expected


class TestImageNames:
    @pytest.mark.filterwarnings("ignore:Glyph")
    def test_unsafe_characters_become_underscores(self, root, tmp_path, plt, repemg):
        name = 'L/a\\b:c*d?e"f<g>h|i\x00j\tk\x7f'
        vicon = make_trial(tmp_path, [name])
        create(root, vicon, (1,))
        assert repemg[0][0] == [image(vicon, "L_a_b_c_d_e_f_g_h_i_j_k_")]
        assert os.listdir(str(tmp_path)) == ["Walk01_L_a_b_c_d_e_f_g_h_i_j_k_.png"]
        assert plt.drawn[0].title == (name + " [V]", 28)

    def test_nothing_escapes_the_trial_folder(self, root, tmp_path, plt, repemg):
        folder = tmp_path / "S1" / "session"
        folder.mkdir(parents=True)
        vicon = make_trial(folder, ["../../evil", "..", "/abs/LTA"])
        create(root, vicon, (1, 1, 1))
        images = repemg[0][0]
        assert images == [image(vicon, ".._.._evil"), image(vicon, ".."),
                          image(vicon, "_abs_LTA")]
        assert all(os.path.dirname(p) == str(folder) for p in images)
        assert sorted(os.listdir(str(folder))) == sorted(os.path.basename(p) for p in images)
        assert os.listdir(str(tmp_path)) == ["S1"]
        assert os.listdir(str(tmp_path / "S1")) == ["session"]

    def test_repeated_name_gets_its_channel_number(self, root, tmp_path, plt, repemg):
        vicon = make_trial(tmp_path, ["LTA", "RTA", "LTA", "LTA"])
        create(root, vicon, (1, 1, 1, 1))
        assert repemg[0][0] == [image(vicon, "LTA"), image(vicon, "RTA"),
                                image(vicon, "LTA_3"), image(vicon, "LTA_4")]
        assert all(os.path.isfile(p) for p in repemg[0][0])
        assert [d.title[0] for d in plt.drawn] == ["LTA [V]", "RTA [V]", "LTA [V]", "LTA [V]"]

    def test_repeat_of_an_unticked_name_keeps_the_plain_name(self, root, tmp_path, plt, repemg):
        vicon = make_trial(tmp_path, ["LTA", "LTA"])
        create(root, vicon, (0, 1))
        assert repemg[0][0] == [image(vicon, "LTA")]

    def test_names_equal_once_made_safe_do_not_collide(self, root, tmp_path, plt, repemg):
        vicon = make_trial(tmp_path, ["L/TA", "L:TA", "L_TA"])
        create(root, vicon, (1, 1, 1))
        images = repemg[0][0]
        assert images[0] == image(vicon, "L_TA")
        assert len(set(images)) == 3
        assert sorted(os.listdir(str(tmp_path))) == sorted(os.path.basename(p) for p in images)
