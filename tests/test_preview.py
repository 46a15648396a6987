import matplotlib.pyplot as pyplot
import numpy as np
import pytest

import quorvaemg
from conftest import emg_like
from fake_nexus import FakeNexus, Var, choices, selection

DEVICE, OUTPUT = 7, 2
WINDOW_DEFAULTS = dict(mnb=1, lowb=1, highb=1, rectb=1, rmsb=1,
                       high="20", highOrd="2", low="200", lowOrd="2", www="100")


def preview(vicon, a, b=None, numch=None, **settings):
    b = choices(vicon.names) if b is None else b
    numch = len(a) if numch is None else numch
    quorvaemg.displaysig(a, b, vicon, DEVICE, OUTPUT, numch,
                         **dict(WINDOW_DEFAULTS, **settings))


class RecordingPlot:
    """Stands in for pyplot: records every call, in order, in ``calls``."""

    def __init__(self, with_manager=True):
        self.calls = []
        self.with_manager = with_manager

    def figure(self, *args, **kwargs):
        self.calls.append(("figure", args, kwargs))
        return RecordingFigure(self)

    def plot(self, *args, **kwargs):
        self.calls.append(("plot", args, kwargs))

    def __getattr__(self, name):
        if name in ("tight_layout", "show", "close"):
            return lambda *args, **kwargs: self.calls.append((name, args, kwargs))
        raise AttributeError(name)


class RecordingFigure:
    def __init__(self, plot):
        record = plot.calls.append

        class Manager:
            def set_window_title(self, title):
                record(("manager title", (title,), {}))

        class Canvas:
            manager = Manager() if plot.with_manager else None

            def set_window_title(self, title):
                record(("canvas title", (title,), {}))

        self.canvas = Canvas()


@pytest.fixture
def plot(monkeypatch):
    recorder = RecordingPlot()
    monkeypatch.setattr(quorvaemg, "plt", recorder)
    return recorder


@pytest.fixture
def real_plot(monkeypatch, window_titles):
    """pyplot on the Agg backend; show() records the figure it would display,
    noting its window title while the window still exists."""
    pyplot.close("all")
    shown = []

    def show(*args, **kwargs):
        figure = pyplot.gcf()
        figure.shown_title = figure.canvas.manager.given_title
        shown.append(figure)

    monkeypatch.setattr(pyplot, "show", show)
    yield shown
    pyplot.close("all")


class TestRecordedPlotting:
    def test_first_ticked_channel_only(self, trial, plot, reference, capsys):
        preview(trial, selection(0, 1, 0, 1))

        assert trial.calls == [("GetDeviceOutputDetails", (DEVICE, OUTPUT)),
                               ("GetDeviceChannel", (DEVICE, OUTPUT, 2))]
        names = [name for name, _, _ in plot.calls]
        assert names == ["figure", "manager title", "plot", "plot",
                         "tight_layout", "show", "close"]
        assert plot.calls[0][1:] == ((), {})
        assert plot.calls[1][1] == ("Channel RTA - PREVIEW",)
        (_, raw, raw_kw), (_, done, done_kw) = plot.calls[2:4]
        assert len(raw) == 1 and np.array_equal(raw[0], trial.channels[1])
        assert raw_kw == {"color": "b", "linewidth": 1}
        assert len(done) == 1 and np.array_equal(done[0], reference(trial.channels[1]))
        assert done_kw == {"color": "r", "linewidth": 2}
        assert all(args == () and kw == {} for _, args, kw in plot.calls[4:])
        assert capsys.readouterr().out == "Preview: RTA\n"

    def test_title_through_canvas_without_manager(self, trial, monkeypatch):
        recorder = RecordingPlot(with_manager=False)
        monkeypatch.setattr(quorvaemg, "plt", recorder)
        preview(trial, selection(1, 0, 0, 0))
        assert ("canvas title", ("Channel LTA - PREVIEW",), {}) in recorder.calls

    def test_nothing_ticked_still_shows_and_closes(self, trial, plot, capsys):
        preview(trial, selection(0, 0, 0, 0))
        assert [name for name, _, _ in plot.calls] == ["tight_layout", "show", "close"]
        assert trial.names_called() == ["GetDeviceOutputDetails"]
        assert capsys.readouterr().out == ""

    def test_output_choices_are_not_used(self, trial, plot, reference):
        preview(trial, selection(1, 0, 0, 0), b=object())
        first = plot.calls[3][1][0]
        plot.calls.clear()
        preview(trial, selection(1, 0, 0, 0), b=[Var("4 - RGAS")] * 4)
        assert np.array_equal(plot.calls[3][1][0], first)
        assert "SetDeviceChannel" not in trial.names_called()

    @pytest.mark.parametrize("field", ["high", "lowOrd", "www"])
    def test_unconvertible_setting_fails_before_any_figure(self, trial, plot, field):
        with pytest.raises(ValueError):
            preview(trial, selection(1, 0, 0, 0), rmsb=0, lowb=0, highb=0, **{field: "2.5"})
        assert plot.calls == [] and trial.calls_to("GetDeviceChannel") == []


class TestOnScreenFigure:
    def test_figure_content(self, trial, real_plot, reference):
        preview(trial, selection(0, 0, 1, 0))
        assert len(real_plot) == 1
        figure = real_plot[0]
        assert figure.shown_title == "Channel LGAS - PREVIEW"
        (axes,) = figure.axes
        blue, red = axes.get_lines()
        assert (blue.get_color(), blue.get_linewidth()) == ("b", 1)
        assert (red.get_color(), red.get_linewidth()) == ("r", 2)
        assert np.array_equal(blue.get_ydata(), trial.channels[2])
        assert np.array_equal(red.get_ydata(), reference(trial.channels[2]))
        assert np.array_equal(red.get_xdata(), np.arange(len(trial.channels[2])))
        assert pyplot.get_fignums() == []

    def test_every_switch_off_draws_raw_twice(self, trial, real_plot):
        preview(trial, selection(1, 0, 0, 0), mnb=0, lowb=0, highb=0, rectb=0, rmsb=0)
        blue, red = real_plot[0].axes[0].get_lines()
        assert np.array_equal(red.get_ydata(), blue.get_ydata())

    def test_window_longer_than_channel(self, real_plot):
        nexus = FakeNexus([emg_like(80)])
        preview(nexus, selection(1), www=130)
        blue, red = real_plot[0].axes[0].get_lines()
        assert (len(blue.get_ydata()), len(red.get_ydata())) == (80, 130)

    def test_two_previews_two_figures(self, trial, real_plot):
        preview(trial, selection(1, 0, 0, 0))
        preview(trial, selection(0, 1, 0, 0))
        assert len(real_plot) == 2 and real_plot[0] is not real_plot[1]
        assert [len(f.axes[0].get_lines()) for f in real_plot] == [2, 2]
        assert pyplot.get_fignums() == []

    @pytest.mark.parametrize("channels, settings", [
        ([emg_like(300)], dict(low=600)),
        ([emg_like(300)], dict(high=0)),
        ([emg_like(8)], {}),
        ([emg_like(300)], dict(www=0)),
    ], ids=["low-cutoff", "high-cutoff", "too-short", "window-0"])
    def test_chain_failure_leaves_no_figure(self, real_plot, channels, settings):
        nexus = FakeNexus(channels)
        with pytest.raises(ValueError):
            preview(nexus, selection(1), **settings)
        assert real_plot == []
        assert pyplot.get_fignums() == []

    @pytest.mark.parametrize("failing", ["tight_layout", "show"])
    def test_failing_display_leaves_no_figure(self, trial, real_plot, monkeypatch, failing):
        def fail(*args, **kwargs):
            raise RuntimeError(failing)
        monkeypatch.setattr(pyplot, failing, fail)
        with pytest.raises(RuntimeError, match=failing):
            preview(trial, selection(1, 0, 0, 0))
        assert pyplot.get_fignums() == []

    def test_nexus_result_of_wrong_size(self, trial, real_plot):
        trial.results["GetDeviceChannel"] = ([0.0] * 20, [True] * 20)
        with pytest.raises(ValueError, match="values to unpack"):
            preview(trial, selection(1, 0, 0, 0))
        assert pyplot.get_fignums() == []
