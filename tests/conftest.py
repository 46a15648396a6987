import os
import sys

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np
import pytest
import scipy.signal
from matplotlib.backend_bases import FigureManagerBase

import quorvaemg
from fake_nexus import FakeNexus

# ezc3d, the C3D library, has no release for Python before 3.10; on those the
# C3D tests skip, and nowhere else.
if sys.version_info < (3, 10):
    ezc3d = None
else:
    import ezc3d
needs_c3d = pytest.mark.skipif(ezc3d is None, reason="C3D files need ezc3d: Python 3.10 or newer")


def emg_like(n, seed=0, offset=0.05):
    """Surface-EMG-like samples in volts: noise bursts, DC offset, mains hum, drift."""
    rng = np.random.default_rng(seed)
    t = np.arange(n) / 1000.0
    envelope = 0.1 + np.clip(np.sin(2 * np.pi * 1.1 * t + rng.uniform(0, 6)), 0, None) ** 4
    burst = rng.standard_normal(n) * 2e-4 * envelope
    hum = 3e-5 * np.sin(2 * np.pi * 50 * t)
    drift = 2e-5 * np.sin(2 * np.pi * 0.3 * t)
    return (offset + burst + hum + drift).tolist()


@pytest.fixture
def trial(tmp_path):
    """A four-channel trial in a temporary folder (given with its trailing separator)."""
    channels = [emg_like(1500, seed=k, offset=0.01 * k) for k in range(4)]
    return FakeNexus(channels, names=["LTA", "RTA", "LGAS", "RGAS"],
                     folder=str(tmp_path) + os.sep, trial="Walk01")


@pytest.fixture
def showinfo(monkeypatch):
    """Records the information boxes the module shows, as (title, message)."""
    shown = []

    class Boxes:
        @staticmethod
        def showinfo(title=None, message=None, **options):
            shown.append((title, message))
            return "ok"

    monkeypatch.setattr(quorvaemg, "messagebox", Boxes)
    return shown


def direct_chain(emg, mnb=1, lowb=1, highb=1, rectb=1, rmsb=1,
                 high=20, highOrd=2, low=200, lowOrd=2, www=100):
    """The processing chain written out with numpy/scipy, for comparison."""
    out = np.array(emg, dtype=np.float64)
    if mnb:
        out = np.array(emg) - np.mean(emg)
    if lowb:
        b, a = scipy.signal.butter(int(lowOrd), int(low) * 2 * 0.001, btype="lowpass")
        out = scipy.signal.filtfilt(b, a, out)
    if highb:
        b, a = scipy.signal.butter(int(highOrd), int(high) * 2 * 0.001, btype="highpass")
        out = scipy.signal.filtfilt(b, a, out)
    if rectb or rmsb:
        out = np.abs(out)
    if rmsb:
        w = int(www)
        out = np.sqrt(np.convolve(np.power(out, 2), np.ones(w) / float(w), "same"))
    return out


@pytest.fixture
def reference():
    return direct_chain


@pytest.fixture
def window_titles(monkeypatch):
    """Keeps the title each figure window is given on its manager, as
    `manager.given_title`: before matplotlib 3.6 the Agg backend's manager
    forgets it and always answers 'image'."""
    original = FigureManagerBase.set_window_title

    def set_window_title(self, title):
        self.given_title = title
        original(self, title)

    monkeypatch.setattr(FigureManagerBase, "set_window_title", set_window_title)
