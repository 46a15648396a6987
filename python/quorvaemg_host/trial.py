"""Moved to ``quorvaemg_gait.trial``: this name re-exports it for the callers not yet
changed to import it from there."""
from quorvaemg_gait.trial import *  # noqa: F401,F403
