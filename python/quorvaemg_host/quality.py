"""Moved to ``quorvaemg_gait.quality``: this name re-exports it for the callers not yet
changed to import it from there."""
from quorvaemg_gait.quality import *  # noqa: F401,F403
