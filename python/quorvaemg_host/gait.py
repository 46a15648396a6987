"""Moved to ``quorvaemg_gait.gait``: this name re-exports it for the callers not yet
changed to import it from there."""
from quorvaemg_gait.gait import *  # noqa: F401,F403
