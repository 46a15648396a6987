"""The work of each trial of a run, on this machine's processes or on a Dask
cluster, with the results in trial order.

Each trial is independent (its own file, its own scripting object), so the
work on one trial is one task of a ``concurrent.futures`` executor:
``--jobs N`` runs N worker processes here (forked where the system forks,
started afresh elsewhere, as on Windows), ``--scheduler ADDRESS`` sends the
tasks to a Dask cluster (``Client.get_executor``); ``--jobs 1`` works here,
in turn.  Whichever runs them:

- what a task prints (the plug-in's own lines) is kept and printed here just
  before its result, so the run reads as with one process; a warning line
  that several workers print is printed once, as one process would;
- a worker lost in the middle of a trial (killed, out of memory) loses that
  trial, which is tried once more, alone, and reported failed (``lost``)
  when its worker is lost again: a trial is never dropped.  On a cluster
  the scheduler itself tries a lost worker's tasks again, as often as its
  ``distributed.scheduler.allowed-failures`` says (3 by default), before it
  reports a task lost; the host then reports the trial failed;
- Ctrl-C cancels the trials not started and stops the workers' own: each
  stops where it is and its file being written is removed on the way out
  (every file goes through ``plotvane.files.write_atomically``), so nothing
  half written is left.  A cluster's workers finish the trials they have
  started (Dask cannot stop a running task), each file whole.

The work and its trials are sent to the workers, so they are plain picklable
objects: module-level functions and classes.
"""

import collections
import concurrent.futures as cf
import contextlib
import functools
import importlib
import io
import multiprocessing
import os
import signal
import sys
import threading

from quorvaemg_host.errors import HostError

WARNING_PREFIX = "warning: "
ADVICE = "run it alone, or with fewer jobs or more memory"
# How a worker stopped by Ctrl-C ends: as a process ended by SIGINT does.
STOPPED = 130
INSTALL_CLUSTER = 'install it with: pip install "quorvaemg[cluster]"'

# Set in a pool worker while it works on a trial: a signal to stop then unwinds
# the trial (removing its file being written) instead of ending the process at once.
_in_task = False


def check_jobs(jobs):
    """A usable number of worker processes, or ValueError saying what to give instead."""
    if jobs < 1:
        raise ValueError(f"--jobs takes a number of processes of 1 or more, not {jobs}, "
                         "give --jobs 1 or more")
    return jobs


def start_method():
    """fork where the system offers it (workers start at once, with what this
    process has imported), else spawn (Windows; macOS, where fork is unsafe)."""
    methods = multiprocessing.get_all_start_methods()
    return "fork" if "fork" in methods and sys.platform != "darwin" else "spawn"


# -- what a task prints ---------------------------------------------------------------

class _TaskOutput(io.TextIOBase):
    """``sys.stdout`` of a process that runs tasks: what a thread working on a
    task writes is kept for that task (a Dask worker runs tasks in threads side
    by side), anything else goes to the stream it stands for."""

    def __init__(self, stream):
        self.stream, self.local = stream, threading.local()

    def _target(self):
        buffer = getattr(self.local, "buffer", None)
        return self.stream if buffer is None else buffer

    def write(self, text):
        return self._target().write(text)

    def flush(self):
        self._target().flush()

    @property
    def encoding(self):
        return getattr(self.stream, "encoding", "utf-8")

    def fileno(self):
        return self.stream.fileno()


_output_lock = threading.Lock()


def _task_output():
    with _output_lock:
        if not isinstance(sys.stdout, _TaskOutput):
            sys.stdout = _TaskOutput(sys.stdout)
        return sys.stdout


class _Stopped(BaseException):
    """Ctrl-C reached a worker: not an ``Exception``, so no per-trial handler keeps it."""


def _run_task(work, item):
    """(what ``work(item)`` printed, its result), in a worker."""
    global _in_task
    output = _task_output()
    output.local.buffer = buffer = io.StringIO()
    _in_task = True
    try:
        result = work(item)
    except _Stopped:
        # The trial's files were cleaned up on the way here; end without
        # taking another trial.
        os._exit(STOPPED)
    finally:
        _in_task = False
        output.local.buffer = None
    return buffer.getvalue(), result


def _stop(signum, frame):
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, signal.SIG_IGN)  # one stop: cleaning up is not cut short
    if _in_task:
        raise _Stopped()
    os._exit(STOPPED)


def _start_worker(preload):
    for module in preload:
        importlib.import_module(module)
    signal.signal(signal.SIGTERM, _stop)
    # Ctrl-C in a terminal reaches every process of the run; on POSIX the
    # parent answers it by stopping each worker once, with SIGTERM.
    signal.signal(signal.SIGINT, signal.SIG_IGN if os.name == "posix" else _stop)


# -- where the tasks run ---------------------------------------------------------------

class _Processes:
    """``jobs`` worker processes on this machine, started again after one is lost.

    A pool whose worker died is broken: every trial in it is lost, so a
    lost trial is tried again alone (``isolates``), and when that worker
    dies too the trial is the one to blame.
    """

    isolates = True
    retries = 1
    lost = ("its worker process was lost twice while working on it (killed, or out of "
            "memory?), " + ADVICE)

    def __init__(self, jobs, preload):
        from concurrent.futures.process import BrokenProcessPool

        self.lost_errors = (BrokenProcessPool,)
        self.jobs, self.preload = jobs, tuple(preload)
        # Trials handed out ahead, so that a worker finds its next one waiting
        # instead of idling while its result comes back here.
        self.width = 2 * jobs
        self.context = multiprocessing.get_context(start_method())
        if self.context.get_start_method() == "fork":
            for module in self.preload:  # once, here, rather than in each worker
                importlib.import_module(module)
        self.others = {child.pid for child in multiprocessing.active_children()}
        self.futures = set()
        self.executor = self._start()

    def _start(self):
        return cf.ProcessPoolExecutor(self.jobs, mp_context=self.context,
                                      initializer=_start_worker, initargs=(self.preload,))

    def submit(self, task, item):
        return _tracked(self.futures, self.executor.submit(task, item))

    def renew(self):
        self.executor.shutdown(wait=True)
        self.executor = self._start()

    def close(self):
        self.executor.shutdown(wait=True)

    @staticmethod
    def explain(exc):
        return exc

    def stop(self):
        """Cancel the trials not started and stop the workers; wait until they end."""
        for future in list(self.futures):
            future.cancel()
        if os.name == "posix":  # elsewhere the console's Ctrl-C reached them already
            for child in multiprocessing.active_children():
                if child.pid not in self.others:
                    with contextlib.suppress(OSError):
                        os.kill(child.pid, signal.SIGTERM)
        self.executor.shutdown(wait=True)


def _tracked(futures, future):
    """``future``, kept in ``futures`` until it is done: those a stop cancels."""
    futures.add(future)
    future.add_done_callback(futures.discard)
    return future


class _Cluster:
    """The workers of the Dask cluster whose scheduler is at ``address``.

    The scheduler itself moves a lost worker's tasks to other workers, and
    tells a task lost (``KilledWorker``) when the workers running it died as
    often as it allows: it was tried again already.  A task's future is let
    go as soon as its result is here, so that a worker lost later holds no
    result the scheduler would compute again.
    """

    isolates = False
    retries = 0
    width = float("inf")  # the scheduler shares the tasks among its workers
    lost = ("the cluster's workers were lost while working on it as often as its scheduler "
            "allows (killed, or out of memory?), " + ADVICE)

    def __init__(self, address):
        distributed = _distributed()
        try:
            from distributed import KilledWorker
        except ImportError:  # releases before 2022
            from distributed.scheduler import KilledWorker
        self.lost_errors = (KilledWorker,)
        try:
            self.client = distributed.Client(address, timeout="20s")
        except (OSError, TimeoutError, ValueError) as exc:
            raise HostError(f"cannot reach the Dask scheduler at {address} "
                            f"({' '.join(str(exc).split()) or type(exc).__name__})",
                            "check the address (e.g. tcp://HOST:8786) and that the scheduler "
                            "is running") from None
        # Not pure: a trial tried again is a new task, not the lost one's result.
        self.executor = self.client.get_executor(pure=False)
        self.futures = set()

    def submit(self, task, item):
        return _tracked(self.futures, self.executor.submit(task, item))

    def close(self):
        self.client.close()

    @staticmethod
    def explain(exc):
        """A worker that cannot import the host has it not installed."""
        if isinstance(exc, ImportError):
            return HostError(f"a worker of the cluster cannot run the host ({exc})",
                             "install quorvaemg, the same release, on every worker")
        return exc

    def stop(self):
        for future in list(self.futures):
            future.cancel()
        self.client.close()


def _distributed():
    """Dask's distributed package, or the HostError saying how to install it."""
    try:
        import distributed
    except ImportError:
        raise HostError("--scheduler needs Dask's distributed package, which is not "
                        "installed", INSTALL_CLUSTER) from None
    return distributed


def check_scheduler(address):
    """Refuse ``--scheduler`` where Dask's distributed package is missing, before the run."""
    if address is not None:
        _distributed()


# -- the run --------------------------------------------------------------------------

def _show(output, shown):
    for line in output.splitlines(keepends=True):
        if line.startswith(WARNING_PREFIX):
            if line in shown:
                continue
            shown.add(line)
        sys.stdout.write(line)


def _ordered(runner, work, items, lost):
    task = functools.partial(_run_task, work)
    waiting = collections.deque(range(len(items)))
    again = collections.deque()  # lost once: tried once more
    running, done, losses, shown = {}, {}, collections.Counter(), set()

    def submit(index):
        running[runner.submit(task, items[index])] = index

    def settle(futures):
        lost_now = []
        for future in futures:
            index = running.pop(future)
            try:
                done[index] = future.result() + (None,)
            except runner.lost_errors:
                lost_now.append(index)
            except Exception as exc:  # noqa: BLE001 - raised when its trial's turn comes
                done[index] = (None, None, runner.explain(exc))
        for index in sorted(lost_now):
            losses[index] += 1
            if losses[index] > runner.retries:
                done[index] = ("", lost(items[index], runner.lost), None)
            else:
                again.append(index)
        return lost_now

    for number in range(len(items)):
        while number not in done:
            if again and runner.isolates:
                if not running:
                    submit(again.popleft())
            else:
                while again:
                    submit(again.popleft())
                while waiting and len(running) < runner.width:
                    submit(waiting.popleft())
            finished, _ = cf.wait(list(running), return_when=cf.FIRST_COMPLETED)
            if settle(finished) and runner.isolates:
                settle(cf.wait(list(running))[0])  # a broken pool fails all of them
                runner.renew()
        output, result, error = done.pop(number)
        if error is not None:
            raise error
        _show(output, shown)
        yield result


@contextlib.contextmanager
def in_order(work, items, jobs=1, scheduler=None, preload=(), lost=None):
    """Context giving ``work(item)`` for each of ``items``, in order.

    With one job and no scheduler the work runs here, in turn; else in
    ``jobs`` worker processes (``preload``: modules every trial needs,
    imported once before the workers fork, or by each started afresh), or on
    the Dask cluster at ``scheduler``.  An exception the work raises is
    raised when its item's turn comes; a trial whose worker was lost twice
    gives ``lost(item, reason)``.  Leaving the context early (Ctrl-C, an
    exception) stops the work still running.
    """
    items = list(items)
    if scheduler is None and (jobs <= 1 or len(items) <= 1):
        yield (work(item) for item in items)
        return
    runner = _Cluster(scheduler) if scheduler is not None else _Processes(
        min(jobs, len(items)), preload)
    try:
        yield _ordered(runner, work, items, lost)
    except BaseException:
        runner.stop()
        raise
    runner.close()
