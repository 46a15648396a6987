"""A lab's archive through the host: trials found by folder, worked on in
turn, in two worker processes (forked, and started afresh as on Windows)
and on a Dask cluster of two workers, with the same outputs and summary;
a worker killed in the middle of a trial; a damaged file among good ones;
Ctrl-C."""

import csv
import os
import shutil
import signal
import subprocess
import sys

import pytest

from conftest import needs_c3d
from quorvaemg_host import c3d, cli, jobs
from quorvaemg_host.demo import SEED, write_demo_c3d

pytestmark = needs_c3d

# SUBJECT/SESSION folders, and their trials with the seeds they are made from.
SESSIONS = {"S01/2024-03-01": (("Walk01", 1), ("Walk02", 2)), "S01/2024-05-02": (("Walk01", 3),),
            "S02/2024-03-01": (("Walk01", 4),)}
TRIALS = ["S01/2024-03-01/Walk01.c3d", "S01/2024-03-01/Walk02.C3D", "S01/2024-05-02/Walk01.c3d",
          "S02/2024-03-01/Walk01.c3d"]


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """The archive, written once: its trials, a note and an earlier run's output,
    neither of which is a trial."""
    root = tmp_path_factory.mktemp("lab") / "ARCHIVE"
    for session, trials in SESSIONS.items():
        for name, seed in trials:
            write_demo_c3d(str(root / session), seed=SEED + seed, subject=session[:3], name=name)
    first = root / "S01/2024-03-01"
    os.rename(str(first / "Walk02.c3d"), str(first / "Walk02.C3D"))  # any case is a trial
    shutil.copy(str(first / "Walk01.c3d"), str(first / "Walk01_processed.c3d"))
    (root / "notes.txt").write_text("not a trial")
    return root


@pytest.fixture
def archive(made, tmp_path):
    return shutil.copytree(str(made), str(tmp_path / "ARCHIVE"))


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as local:
        yield local.scheduler_address


def summary_rows(path, root=None):
    """The rows of a summary file, with ``root`` written RUN."""
    with open(path, newline="") as f:
        text = f.read()
    return list(csv.DictReader(text.replace(root, "RUN").splitlines() if root else
                               text.splitlines()))


def outputs(root):
    """{path in the archive: contents} of what a run wrote (a PDF's or a log's
    date aside: their names only)."""
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            key = os.path.relpath(path, root)
            if not name.endswith((".pdf", ".txt")):
                with open(path, "rb") as f:
                    found[key] = f.read()
            else:
                found[key] = None
    return found


RUNS = {"in turn": [], "forked": ["--jobs", "2"], "spawned": ["--jobs", "2"],
        "cluster": ["--scheduler"]}


# The gait reports of the tibialis anterior only (one muscle page each), and
# not in freshly started processes, whose start-up with matplotlib is slow.
@pytest.mark.parametrize("command, runs", [
    (["quality"], list(RUNS)), (["process", "LTA", "RGAS"], list(RUNS)),
    (["gait", "--channels", "TA"], ["in turn", "forked", "cluster"]),
])
def test_an_archive_gives_the_same_in_turn_in_processes_and_on_a_cluster(
        made, tmp_path, capsys, monkeypatch, cluster, command, runs):
    found, system_method = [], jobs.start_method()
    for run in runs:
        root = shutil.copytree(str(made), str(tmp_path / run / "ARCHIVE"))
        monkeypatch.setattr(jobs, "start_method",
                            lambda: "spawn" if run == "spawned" else system_method)
        summary = str(tmp_path / run / "summary.csv")
        argv = command + [root, "--recursive", "--summary", summary] + RUNS[run]
        code = cli.main(argv + ([cluster] if run == "cluster" else []))
        out = capsys.readouterr().out.replace(str(tmp_path / run), "RUN")
        found.append((code, out, summary_rows(summary, str(tmp_path / run)), outputs(root)))
    assert all(each == found[0] for each in found[1:])
    code, out, rows, _ = found[0]
    assert code == 0 and [row["trial"] for row in rows] == [
        os.path.join("RUN", "ARCHIVE", *trial.split("/")) for trial in TRIALS]
    assert {row["status"] for row in rows} == {"ok"} and rows[0]["good"]
    if command[0] == "gait":  # one report per session
        assert out.count("_EMGGait.pdf") == 3 and rows[0]["cycles_left"] == "8"
        assert rows[0]["written"] == rows[1]["written"] != rows[2]["written"]
    else:
        assert out.count(": 12 channels at 1000 Hz" if command[0] == "quality"
                         else ": 2 channels processed") == 4


@pytest.mark.skipif(jobs.start_method() != "fork",
                    reason="the killing is patched into forked workers")
@pytest.mark.parametrize("kills, line, code", [
    (1, "[3/4] S01/2024-05-02/Walk01.c3d: 12 channels processed", 0),
    (2, "[3/4] S01/2024-05-02/Walk01.c3d: failed: its worker process was lost twice", 1),
])
def test_a_trial_whose_worker_is_killed_is_tried_once_more_then_reported_failed(
        archive, tmp_path, monkeypatch, capsys, kills, line, code):
    killed = tmp_path / "kills"  # the count of kills, which the workers share
    killed.write_text("")
    load = c3d.load_trial

    def killed_on_reading(path, channels=None):  # as the kernel's out-of-memory killer would
        if "2024-05-02" in path and len(killed.read_text()) < kills:
            with open(str(killed), "a") as f:
                f.write("x")
            os.kill(os.getpid(), signal.SIGKILL)
        return load(path, channels)

    monkeypatch.setattr(c3d, "load_trial", killed_on_reading)
    summary = str(tmp_path / "summary.csv")
    assert cli.main(["process", archive, "--recursive", "--jobs", "2", "--summary",
                     summary]) == code
    progress = [x for x in capsys.readouterr().out.splitlines() if x.startswith("[")]
    assert len(progress) == 4 and progress[2].startswith(line)
    assert sum(": 12 channels processed" in x for x in progress) == 4 - code
    assert [row["status"] for row in summary_rows(summary)] == ["ok"] * 2 + [
        "failed" if code else "ok", "ok"]


@pytest.mark.parametrize("command, says", [
    (["quality", "--jobs", "2"], "Walk03.c3d: "),
    (["process"], "[3/5] S01/2024-03-01/Walk03.c3d: failed: "),
    (["gait", "--channels", "TA"], "[3/3] Walk03.c3d: not used: "),
])
def test_a_damaged_trial_among_good_ones_fails_alone(archive, tmp_path, capsys, command, says):
    good = os.path.join(archive, "S01", "2024-03-01", "Walk01.c3d")
    with open(good, "rb") as f:
        cut = f.read(3000)  # cut short, as a copy that broke off
    with open(os.path.join(archive, "S01", "2024-03-01", "Walk03.c3d"), "wb") as f:
        f.write(cut)
    summary = str(tmp_path / "summary.csv")
    code = cli.main(command + [archive, "--recursive", "--summary", summary])
    captured = capsys.readouterr()
    assert code == (0 if command[0] == "gait" else 1)
    assert says in captured.out + captured.err
    rows = summary_rows(summary)
    assert [row["status"] for row in rows] == ["ok", "ok", "failed", "ok", "ok"]
    assert "Walk03.c3d" in rows[2]["reason"] and not rows[2]["written"]


@pytest.mark.skipif(os.name != "posix", reason="Ctrl-C is sent as SIGINT to the run's group")
def test_ctrl_c_ends_the_run_and_leaves_no_file_half_written(archive):
    for k in range(4):  # trials enough to be interrupted
        shutil.copy(os.path.join(archive, *TRIALS[0].split("/")),
                    os.path.join(archive, f"Extra{k}.c3d"))
    run = subprocess.Popen([sys.executable, "-m", "quorvaemg_host.cli", "process", archive,
                            "--recursive", "--jobs", "2"], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, universal_newlines=True,
                           start_new_session=True)
    for line in run.stdout:
        if line.startswith("[1/"):
            break
    os.killpg(run.pid, signal.SIGINT)  # as a terminal sends Ctrl-C
    _, err = run.communicate(timeout=120)
    assert run.returncode == 130 and "interrupted" in err
    written = []
    for folder, _, names in os.walk(archive):
        assert not [n for n in names if n.startswith(".")]  # no temporary file left
        written += [os.path.join(folder, n) for n in names if n.endswith("_processed.c3d")]
    assert 1 <= len(written) - 1 < 8  # the earlier run's copy, and not all of this run's
    for path in written:
        assert len(c3d.load_trial(path).channel_names) == 12  # each whole


@pytest.mark.parametrize("argv, code, says", [
    (["quality", "{a}"], 2, "no file matching *.c3d in the folder {a} (--recursive searches"),
    (["quality", "{a}", "--recursive", "--glob", "*.mat"], 2,
     "no file matching *.mat in the folder {a} or its subfolders"),
    (["process", "{a}/S01", "{a}/S02", "--recursive", "--out", "{t}/out"], 2,
     "S02{s}2024-03-01{s}Walk01.c3d would write the same files under --out"),
    (["process", "{a}", "--recursive", "--in-place", "--out", "{t}/out"], 2,
     "--in-place replaces each trial, --out writes elsewhere"),
    (["quality", "{a}", "--recursive", "--jobs", "2", "--scheduler", "tcp://127.0.0.1:1"], 2,
     "not both"),
    (["quality", "--summary", "{t}/s.csv"], 2, "--summary applies to runs over trial files"),
    (["quality", "{a}", "--recursive", "--summary", "{t}/missing/s.csv"], 1,
     "the folder of the summary file {t}/missing/s.csv does not exist"),
    (["quality", "{a}", "--recursive", "--scheduler", "tcp://127.0.0.1:1"], 1,
     'needs Dask\'s distributed package, which is not installed, install it with: pip '
     'install "quorvaemg[cluster]"'),
])
def test_what_a_run_over_folders_refuses_before_it_starts(archive, tmp_path, monkeypatch,
                                                          capsys, argv, code, says):
    monkeypatch.setitem(sys.modules, "distributed", None)  # as where it is not installed
    monkeypatch.setenv("HOME", str(tmp_path))
    names = {"a": archive, "t": str(tmp_path), "s": os.sep}
    assert cli.main([arg.format(**names) for arg in argv]) == code
    err = capsys.readouterr().err
    assert says.format(**names) in err and len(err.splitlines()) == 1
    assert not os.path.exists(str(tmp_path / "out"))
