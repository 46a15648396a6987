"""Running the trials of a run in worker processes, with the results in trial order.

Each trial is independent (its own file, its own scripting object), so N
processes take N trials at a time.  What a worker prints while it works on a
trial (the plug-in's own lines) is collected and printed by the parent just
before that trial's result, so the run's output reads in trial order, as
with one process.  Workers are forked: the work is a closure over the run's
openers and settings, which a forked worker inherits as it is.
"""

import contextlib
import importlib
import io
import multiprocessing
import sys

WARNING_PREFIX = "warning: "

_work = None  # the work of the run in progress, inherited by the forked workers


def _call(number):
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        result = _work(number)
    return output.getvalue(), result


def check_jobs(jobs):
    """A usable number of worker processes, or ValueError saying what to give instead."""
    if jobs < 1:
        raise ValueError(f"--jobs takes a number of processes of 1 or more, not {jobs}, "
                         "give --jobs 1 or more")
    if jobs > 1 and "fork" not in multiprocessing.get_all_start_methods():
        raise ValueError("parallel runs need processes started by fork, which this system "
                         "does not offer, give --jobs 1")
    return jobs


def in_order(work, items, jobs=1, preload=()):
    """Yield ``work(item)`` for each of ``items`` in order, ``jobs`` at a time.

    With one job the work runs here; with more it runs in that many forked
    worker processes and an exception it raises is raised here when its
    item's turn comes.  A warning line (one starting with WARNING_PREFIX)
    that several workers print is printed once, as one process would.
    ``preload`` names modules every item needs: imported here once, before
    the workers fork, rather than by each worker (seconds each for numpy,
    scipy and matplotlib).
    """
    items = list(items)
    if jobs <= 1 or len(items) <= 1:
        for item in items:
            yield work(item)
        return
    for module in preload:
        importlib.import_module(module)
    global _work
    _work = lambda number: work(items[number])  # noqa: E731 - only the number is sent
    shown = set()
    try:
        with multiprocessing.get_context("fork").Pool(min(jobs, len(items))) as pool:
            for output, result in pool.imap(_call, range(len(items))):
                for line in output.splitlines(keepends=True):
                    if line.startswith(WARNING_PREFIX):
                        if line in shown:
                            continue
                        shown.add(line)
                    sys.stdout.write(line)
                yield result
    finally:
        _work = None
