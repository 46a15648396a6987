"""Moved to ``quorvaemg_gait.muscles``: this name re-exports it for the callers not yet
changed to import it from there."""
from quorvaemg_gait.muscles import *  # noqa: F401,F403
