"""EMG over the gait cycle and signal quality of raw EMG channels.

The numeric work is the private extension ``quorvaemg_gait._core`` (numpy
arrays in, numpy arrays out); this package holds what is built over it: the
linear envelope (scipy's filters), the calls of a Nexus pipeline script and,
in its modules, the whole analysis (``quorvaemg_gait.gait``) and the quality
assessment of trials (``quorvaemg_gait.quality``).
"""
from quorvaemg_gait._core import *  # noqa: F401,F403
from quorvaemg_gait.envelope import linear_envelope  # noqa: F401
from quorvaemg_gait.nexus import quality_table, read_trial, report  # noqa: F401
