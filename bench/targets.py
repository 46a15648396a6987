"""The verdict line every benchmark prints for each of its targets.

Each target gets one line that ends in "met" or "NOT met", so a reader (or a
grep) sees at once which ones this machine reached.  A target not met is
reported, never raised: machines differ, and a benchmark exits 0 either way.
"""


def judge(figure, target, met):
    """Print "FIGURE (TARGET): met" or "... NOT met"; return ``met``."""
    print(f"{figure} ({target}): {'met' if met else 'NOT met'}")
    return met
