"""Moved to ``quorvaemg_gait.tables``: this name re-exports it for the callers not yet
changed to import it from there."""
from quorvaemg_gait.tables import *  # noqa: F401,F403
