"""EMG over the gait cycle and signal quality of raw EMG channels.

The numeric work is the private extension ``quorvaemg_gait._core`` (numpy
arrays in, numpy arrays out); this package holds what is built over it.
"""
from quorvaemg_gait._core import *  # noqa: F401,F403
