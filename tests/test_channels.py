"""The one rule by which every command and Nexus call picks channels."""
import pytest

from quorvaemg_gait.channels import ChannelError, select_channels

LABELS = ["LTA", "RTA", "LGAS", "Voltage.1"]


@pytest.mark.parametrize("wanted, positions", [
    (None, [0, 1, 2, 3]),
    ([], [0, 1, 2, 3]),
    ("TA", [0, 1]),                      # a part of the label
    ("L*", [0, 2]),                      # a glob, whole label
    ("gas", []),                         # patterns are case-sensitive
    (["lgas", "LTA", "lta"], [2, 0]),    # names, ignoring case, each once, as asked
    (["Voltage.1", 2], [3, 1]),          # a 1-based number as Nexus counts
    (["R*", "LTA"], [1, 0]),
])
def test_selection(wanted, positions):
    assert select_channels(LABELS, wanted) == positions


@pytest.mark.parametrize("wanted, error, says", [
    (["LTA", "LBIC", "X*"], ChannelError, "no channel named 'LBIC', 'X*' in trial W"),
    ([5], ChannelError, "channel number 5 is out of range 1..4"),
    ([0], ChannelError, "channel number 0 is out of range 1..4"),
    ([1.0], TypeError, "not float"),
])
def test_unknown_channels_are_named(wanted, error, says):
    with pytest.raises(error, match=None) as raised:
        select_channels(LABELS, wanted, owner="trial W")
    assert says in str(raised.value)
