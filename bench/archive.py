"""A lab's archive through the host: 200 one-minute trials, in turn, in two
worker processes and on a Dask cluster of two workers.

``quorvaemg-host quality ARCHIVE --recursive`` and ``process ARCHIVE
--recursive`` (8 EMG channels at 1 kHz and 10 markers per trial, in
SUBJECT/SESSION folders), each run as a subprocess with ``--jobs 1``,
``--jobs 2`` and ``--scheduler`` of a ``distributed.LocalCluster`` of two
single-threaded worker processes started here (with the host imported
before, as the workers of a cluster that runs for days), in interleaved
rounds, best of N.  Each round also measures the command's start-up (its
imports, ``--help``) and what two processes of pure computation reach on
the machine at that time (other work shares its two cores).

Printed per command: the time per trial with one job (start-up aside),
each way's speed-up over ``--jobs 1``, of the whole command and of its work
(start-up aside), against the two cores' limit of 2x and the machine's
measured one; the cluster's overhead (its time less that of ``--jobs 2``,
the same two workers as processes here); and the peak memory of each
worker process (``--jobs 1``: the command's own process).

Targets, per command: the work's speed-up with ``--jobs 2`` at least 80 %
of what two processes of pure computation reach.  The cluster's figures are
printed, not judged: what it adds per trial (its scheduler's round trips and
the results' transfer) is fixed, so it pays where a trial's work is large
against it, and a cluster is for more workers than one machine's cores.
Each gets a line ending in "met" or "NOT met"; the exit status is 0 either
way (machines differ).  Linux only (peak memory from ``/proc``); needs the
cluster extra.

Run: python3 bench/archive.py [--quick] [--rounds N]   (--quick: 20 trials, 1 round)
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from targets import judge
from trial_files import host, machine_speedup, write_trial

TRIALS = 200
CHANNELS = 8
RATE = 1000.0
SHARE_TARGET = 0.8  # of the speed-up two processes of pure computation reach
COMMANDS = ("quality", "process")


def make_archive(folder, trials):
    """``trials`` one-minute trials in SUBJECT/SESSION folders, 5 per session."""
    for k in range(trials):
        session = os.path.join(folder, f"S{k // 20 + 1:02d}", f"Session{k // 5 % 4 + 1}")
        os.makedirs(session, exist_ok=True)
        write_trial(os.path.join(session, f"Walk{k % 5 + 1:02d}.c3d"), 60, seed=k,
                    channels=CHANNELS, rate=RATE)


def peak_bytes(pid):
    """The peak resident memory (VmHWM) of process ``pid`` so far, or 0 once it is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


class Watch:
    """The peak memory of the processes ``pids()`` names while a run lasts."""

    def __init__(self, pids):
        self.pids, self.peaks, self.done = pids, {}, threading.Event()
        self.thread = threading.Thread(target=self._watch, daemon=True)

    def _watch(self):
        while not self.done.wait(0.05):
            for pid in self.pids():
                self.peaks[pid] = max(self.peaks.get(pid, 0), peak_bytes(pid))

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc_info):
        self.done.set()
        self.thread.join()


def children(pid):
    import psutil

    try:
        return [child.pid for child in psutil.Process(pid).children(recursive=True)]
    except psutil.Error:
        return []


def timed_run(command, workers=None):
    """(seconds, {worker pid: peak bytes}) of one run of the host."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    with Watch(workers or (lambda: children(child.pid))) as watch:
        _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    if status != 0:
        raise SystemExit(f"{' '.join(command)} failed:\n{child.stderr.read().decode()}")
    child.stderr.close()
    # The two largest: the pool's workers, not the small helper processes beside them.
    peaks = sorted(watch.peaks.values(), reverse=True)[:2]
    return seconds, peaks or [usage.ru_maxrss * 1024]


def warm_up():
    """A lab's cluster runs for days: its workers have the host imported already."""
    import quorvaemg  # noqa: F401
    import quorvaemg_host.cli  # noqa: F401


def mib(size):
    return f"{size / 2 ** 20:.0f} MiB"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20 trials and 1 round")
    parser.add_argument("--rounds", type=int, default=None)
    args = parser.parse_args()
    trials = 20 if args.quick else TRIALS
    rounds = args.rounds or (1 if args.quick else 3)
    from distributed import Client, LocalCluster

    folder = tempfile.mkdtemp(prefix="quorvaemg-archive-")
    try:
        archive = os.path.join(folder, "ARCHIVE")
        make_archive(archive, trials)
        print(f"{trials} one-minute trials ({CHANNELS} channels at {RATE:g} Hz) in "
              f"{trials // 5} sessions; best of {rounds} interleaved rounds on "
              f"{os.cpu_count()} cores")
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            workers = list(client.run(os.getpid).values())
            client.run(warm_up)
            ways = {"--jobs 1": ["--jobs", "1"], "--jobs 2": ["--jobs", "2"],
                    "cluster": ["--scheduler", cluster.scheduler_address]}
            start_up, ceiling, best = float("inf"), 0.0, {}
            for _ in range(rounds):
                ceiling = max(ceiling, machine_speedup())
                start_up = min(start_up, timed_run(host("--help"))[0])
                for command in COMMANDS:
                    for way, options in ways.items():
                        seconds, peaks = timed_run(
                            host(command, archive, "--recursive", *options),
                            (lambda: workers) if way == "cluster" else None)
                        if command == "process":  # the next run processes them again
                            for path in _processed(archive):
                                os.remove(path)
                        old_seconds, old_peaks = best.get((command, way), (float("inf"), []))
                        best[(command, way)] = (min(old_seconds, seconds),
                                                [max(pair) for pair in zip(peaks, old_peaks)]
                                                if old_peaks else peaks)
        print(f"start-up of the command (its imports): {start_up:.2f} s; two processes of "
              f"pure computation reach {ceiling:.2f}x on this machine now (two cores: 2x)")
        met = []
        for command in COMMANDS:
            one = best[(command, "--jobs 1")][0]
            work = one - start_up
            print(f"{command}: {trials} trials with --jobs 1 in {one:.1f} s, "
                  f"{work / trials * 1000:.0f} ms per trial (start-up aside)")
            for way in ways:
                seconds, peaks = best[(command, way)]
                speedup = (one - start_up) / (seconds - start_up)
                print(f"  {way:8s}: {seconds:6.1f} s, speed-up {one / seconds:.2f}x, of the "
                      f"work {speedup:.2f}x ({speedup / 2 * 100:.0f} % of the two cores' 2x, "
                      f"{speedup / ceiling * 100:.0f} % of the machine's {ceiling:.2f}x); "
                      f"peak memory per worker {', '.join(mib(p) for p in peaks)}"
                      + (" (over all runs)" if way == "cluster" else ""))
                if way == "--jobs 2":
                    met.append((f"{command} {way}: work {speedup:.2f}x faster than --jobs 1",
                                speedup >= SHARE_TARGET * ceiling))
            overhead = best[(command, "cluster")][0] - best[(command, "--jobs 2")][0]
            print(f"  the cluster's overhead over --jobs 2: {overhead:.2f} s, "
                  f"{overhead / trials * 1000:.1f} ms per trial")
        for figure, reached in met:
            judge(figure, f"target >= {SHARE_TARGET:g} x the machine's {ceiling:.2f}x", reached)
    finally:
        shutil.rmtree(folder)


def _processed(archive):
    for folder, _, names in os.walk(archive):
        for name in names:
            if name.endswith(("_processed.c3d", "_RIVurorHistory.txt")):
                yield os.path.join(folder, name)


if __name__ == "__main__":
    sys.exit(main())
