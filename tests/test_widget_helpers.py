"""disabletxt, selectcheck and disabledrop on real Tk widgets."""

import tkinter

import pytest
import quorvaemg
from tk_support import root, tk_display  # noqa: F401  (fixtures)


def entry(master, text):
    widget = tkinter.Entry(master)
    widget.insert(0, text)
    return widget


def switch(master, value):
    var = tkinter.IntVar(master)
    var.set(value)
    return var


class TestDisabletxt:
    @pytest.mark.parametrize("value, state", [(0, "disabled"), (1, "normal"),
                                              (2, "normal"), (-1, "normal")])
    def test_state_follows_switch_and_texts_stay(self, root, value, state):
        low, order = entry(root, "200"), entry(root, "2")
        # Start from the opposite state, so the call has to change it.
        opposite = "normal" if state == "disabled" else "disabled"
        low.configure(state=opposite)
        order.configure(state=opposite)

        quorvaemg.disabletxt(low, order, switch(root, value))

        assert (str(low.cget("state")), str(order.cget("state"))) == (state, state)
        assert (low.get(), order.get()) == ("200", "2")

    def test_off_then_on_again(self, root):
        low, order = entry(root, "200"), entry(root, "2")
        var = switch(root, 0)
        quorvaemg.disabletxt(low, order, var)
        var.set(1)
        quorvaemg.disabletxt(low, order, var)
        assert str(low.cget("state")) == str(order.cget("state")) == "normal"
        assert (low.get(), order.get()) == ("200", "2")

    def test_same_widget_twice(self, root):
        rms = entry(root, "100")
        var = switch(root, 0)
        quorvaemg.disabletxt(rms, rms, var)
        assert str(rms.cget("state")) == "disabled"
        var.set(1)
        quorvaemg.disabletxt(rms, rms, var)
        assert str(rms.cget("state")) == "normal"
        assert rms.get() == "100"

    def test_destroyed_second_widget_fails_after_first_changed(self, root):
        first, second = entry(root, "20"), entry(root, "2")
        second.destroy()
        with pytest.raises(tkinter.TclError):
            quorvaemg.disabletxt(first, second, switch(root, 0))
        assert str(first.cget("state")) == "disabled"


class TestSelectcheck:
    @pytest.fixture
    def channels(self, root):
        return [switch(root, v) for v in (1, 0, 1)]

    def test_on_ticks_every_channel_and_leaves_all_box(self, root, channels):
        var = switch(root, 1)
        quorvaemg.selectcheck(var, 3, channels)
        assert [v.get() for v in channels] == [1, 1, 1]
        assert var.get() == 1

    def test_off_unticks_every_channel(self, root, channels):
        var = switch(root, 0)
        quorvaemg.selectcheck(var, 3, channels)
        assert [v.get() for v in channels] == [0, 0, 0]
        assert var.get() == 0

    def test_non_zero_switch_counts_as_on(self, root, channels):
        quorvaemg.selectcheck(switch(root, -3), 3, channels)
        assert [v.get() for v in channels] == [1, 1, 1]

    def test_only_the_first_numch_channels(self, root, channels):
        quorvaemg.selectcheck(switch(root, 0), 2, channels)
        assert [v.get() for v in channels] == [0, 0, 1]

    @pytest.mark.parametrize("value", [0, 1])
    def test_numch_zero_changes_nothing(self, root, channels, value):
        quorvaemg.selectcheck(switch(root, value), 0, channels)
        assert [v.get() for v in channels] == [1, 0, 1]

    def test_numch_past_the_list_is_an_index_error(self, root, channels):
        with pytest.raises(IndexError):
            quorvaemg.selectcheck(switch(root, 0), 4, channels)
        # The channels before the missing one were already set.
        assert [v.get() for v in channels] == [0, 0, 0]


class TestDisabledrop:
    @pytest.fixture
    def menu(self, root):
        choice = tkinter.StringVar(root)
        choice.set("2 - EMG2")
        widget = tkinter.OptionMenu(root, choice, "1 - EMG1", "2 - EMG2")
        widget.grid(row=0, column=0)
        return widget, choice

    def test_off_disables_and_keeps_the_choice(self, root, menu):
        widget, choice = menu
        quorvaemg.disabledrop(widget, switch(root, 0))
        assert str(widget.cget("state")) == "disabled"
        assert choice.get() == "2 - EMG2"
        assert widget.cget("text") == "2 - EMG2"

    def test_on_enables_again(self, root, menu):
        widget, choice = menu
        widget.configure(state="disabled")
        quorvaemg.disabledrop(widget, switch(root, 5))
        assert str(widget.cget("state")) == "normal"
        assert choice.get() == "2 - EMG2"

    def test_any_widget_with_a_state(self, root):
        button = tkinter.Button(root, text="Go")
        quorvaemg.disabledrop(button, switch(root, 0))
        assert str(button.cget("state")) == "disabled"
