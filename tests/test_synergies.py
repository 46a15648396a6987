"""Muscle synergies as a script or a lab uses them: the core's factorisation
of matrices made from known synergies (and against scikit-learn's), its
refusals, and each side's synergies and walk-DMC in the gait analysis, its
report and its table."""

import csv
import itertools
import json
import os

import numpy as np
import pytest

import quorvaemg_gait
from quorvaemg_gait import gait
from quorvaemg_gait import synergies as syn
from quorvaemg_host import cli, demo
from quorvaemg_host.nexus import NexusStandIn


def known_synergies(muscles, k, noise, seed=1, cycles=30):
    """(weights, matrix): k bursts at their own phase of each of 30 cycles of
    101 points, their strength varying from cycle to cycle, mixed by random
    non-negative weights, plus uniform noise."""
    rng = np.random.default_rng(seed)
    weights = rng.random((muscles, k)) ** 2
    phase = np.linspace(0.0, 1.0, 101)
    bursts = np.exp(-(((phase - (np.arange(k)[:, None] + 0.5) / k) / 0.07) ** 2))
    activations = np.hstack([bursts * rng.uniform(0.6, 1.4, (k, 1)) for _ in range(cycles)])
    matrix = weights @ activations
    return weights, matrix + noise * rng.random(matrix.shape) * matrix.max()


@pytest.mark.parametrize("muscles, k", [(5, 2), (8, 3), (16, 4)])
def test_known_synergies_are_found_again(muscles, k):
    weights, matrix = known_synergies(muscles, k, noise=0.0)
    found, activations, tvaf = quorvaemg_gait.nmf(matrix, k, seed=3)
    assert tvaf > 0.99 and found.shape == (muscles, k) and activations.shape == (k, 3030)
    assert np.allclose(np.linalg.norm(found, axis=0), 1.0) and (found >= 0).all()
    truth = weights / np.linalg.norm(weights, axis=0)
    cosine = truth.T @ found  # each true synergy against each found one
    assert max(min(cosine[t, p] for t, p in enumerate(order))
               for order in itertools.permutations(range(k))) > 0.95
    # The same seed gives the same factorisation.
    again = quorvaemg_gait.nmf(matrix, k, seed=3)
    assert np.array_equal(again[0], found) and again[2] == tvaf


@pytest.mark.filterwarnings("ignore:Maximum number of iterations")  # a start at its cap
def test_tvaf_as_scikit_learn_finds_it():
    decomposition = pytest.importorskip("sklearn.decomposition")
    _, matrix = known_synergies(8, 3, noise=0.05)
    for k in range(1, 6):
        best = min(decomposition.NMF(k, init="random", random_state=seed, max_iter=1000,
                                     tol=1e-6).fit(matrix).reconstruction_err_
                   for seed in range(5))
        sklearn_tvaf = 1.0 - best ** 2 / np.sum(matrix ** 2)
        assert quorvaemg_gait.nmf(matrix, k)[2] == pytest.approx(sklearn_tvaf, abs=0.005)


@pytest.mark.parametrize("matrix, k, says", [
    ([[1.0, 2.0], [3.0, -0.5]], 1, "matrix holds a negative value (-0.5 at [1, 1])"),
    ([[1.0, np.nan], [1.0, 2.0]], 1, "matrix holds a value that is not finite (nan)"),
    ([[1.0, 2.0, 3.0]], 1, "matrix has 1 muscle: synergies need at least 2"),
    (np.zeros((3, 0)), 1, "matrix is empty"),
    (np.zeros((2, 4)), 1, "matrix is all zeros"),
    (np.ones((3, 4)), 4, "k must be at most the number of muscles (3), not 4"),
])
def test_bad_matrices_are_refused(matrix, k, says):
    with pytest.raises(ValueError) as refused:
        quorvaemg_gait.nmf(matrix, k)
    assert says in str(refused.value)


class Shrinking(list):
    """A list of curves that empties itself while the core reads it."""

    def __len__(self):
        self.clear()
        return 0


@pytest.mark.parametrize("curves, options, error, says", [
    (np.ones((2, 3, 101)), {}, TypeError, "curves must be a list of cycles x points arrays"),
    ([np.ones((3, 101))], {}, ValueError, "curves hold 1 muscle: synergies need at least 2"),
    ([np.ones(101), np.ones(101)], {}, ValueError, "LTA must have 2 dimension(s)"),
    ([np.random.rand(3, 101), np.random.rand(2, 101)], {}, ValueError,
     "RTA has shape (2, 101) but LTA has shape (3, 101): every muscle needs the same cycles"),
    ([np.random.rand(3, 101), np.full((3, 101), 2.0)], {}, ValueError,
     "RTA does not vary over its cycles"),
    ([np.random.rand(3, 101), np.random.rand(3, 101)], {"max_k": 0}, ValueError,
     "max_k must be at least 1, not 0"),
    (Shrinking([np.random.rand(3, 101), np.random.rand(3, 101)]), {}, ValueError,
     "at least 2"),
])
def test_bad_side_curves_are_refused(curves, options, error, says):
    with pytest.raises(error) as refused:
        quorvaemg_gait.side_synergies(curves, names=["LTA", "RTA"], **options)
    assert says in str(refused.value)


def test_a_side_over_one_cycle_and_over_thirty():
    _, matrix = known_synergies(6, 3, noise=0.02)
    for cycles in (1, 30):
        curves = [row[:101 * cycles].reshape(cycles, 101) - 0.01 for row in matrix]
        found = quorvaemg_gait.side_synergies(curves, max_k=4)
        assert found["cycles"] == cycles and np.all(np.diff(found["tvaf"]) > 0)
        assert found["muscle_vaf"].shape == (4, 6) and len(found["weights"]) == 4
        assert (found["activation_sd"][2] is None) == (cycles == 1)
        # listed in the order their mean activation peaks in the cycle
        assert list(np.argmax(found["activation_mean"][2], axis=1)) == sorted(
            np.argmax(found["activation_mean"][2], axis=1))


def analysed(trials, **options):
    settings = gait.Settings(**options)
    return gait.analyse([gait.prepare(t, settings) for t in trials], settings)


def test_gait_demo_writes_synergy_pages_and_table(tmp_path, monkeypatch, capsys):
    pypdf = pytest.importorskip("pypdf")
    monkeypatch.setenv("HOME", str(tmp_path))
    assert cli.main(["gait", "--demo", "--out", str(tmp_path), "--synergies", "4"]) == 0
    assert "Walk01_EMGSynergies.csv" in capsys.readouterr().out
    with open(tmp_path / "Walk01_EMGSynergies.csv", newline="") as fh:
        rows = list(csv.DictReader(fh))
    assert list(rows[0]) == ["side", "k", "tvaf", "synergy", "muscle", "weight"]
    for side in ("Left", "Right"):  # six muscles: k rows of weights each for k = 1 ... 4
        mine = [r for r in rows if r["side"] == side]
        assert len(mine) == 6 * (1 + 2 + 3 + 4) and all(float(r["weight"]) >= 0 for r in mine)
        tvaf = {int(r["k"]): float(r["tvaf"]) for r in mine}
        assert 0 < tvaf[1] < tvaf[2] < tvaf[3] < tvaf[4] <= 1
    pages = [p.extract_text() for p in pypdf.PdfReader(str(tmp_path / "Walk01_EMGGait.pdf")).pages]
    assert all(any(f"Muscle synergies: {side} side" in p for p in pages)
               for side in ("left", "right"))
    assert "Dynamic motor control (walk-DMC)" in pages[-1] and "no walk-DMC" in pages[-1]


def test_index_against_the_published_group_and_a_lab_reference(tmp_path, monkeypatch, capsys):
    # The release holds no published group: the index asks for the lab's controls.
    assert syn.published_group() is None
    published = tmp_path / "group.json"
    published.write_text(json.dumps({"group": {"mean": 0.75, "sd": 0.05, "n": 40,
                                               "source": "a paper, table 2"}}))
    monkeypatch.setattr(syn, "DMC_FILE", str(published))
    left, right = analysed([demo.demo_trial(str(tmp_path))], synergies=2).synergies
    assert left.dmc["group"]["source"] == "a paper, table 2"
    assert left.dmc["value"] == pytest.approx(100 + 10 * (0.75 - left.dmc["tvaf1"]) / 0.05)
    assert left.dmc["channels"] == ["LRF", "LHAM", "LVL", "LTA", "LGAS"]

    record, _ = gait.build_reference([(t.name, lambda t=t: t) for t in
                                      demo.control_trials(3, trials=1)], gait.Settings(),
                                     say=lambda line: None)
    assert all(set(s["tvaf1"]) == {"Left", "Right"} for s in record["subjects"])
    # Controls of tVAF1 0.7, 0.8 and 0.9 on the left: mean 0.8, SD 0.1; one
    # control with a right side is no group, and the published one stands in.
    for subject, value in zip(record["subjects"], (0.7, 0.8, 0.9)):
        subject["tvaf1"]["Left"] = value
    for subject in record["subjects"][:2]:
        del subject["tvaf1"]["Right"]
    path = tmp_path / "reference.json"
    path.write_text(json.dumps(record))
    left, right = analysed([demo.demo_trial(str(tmp_path))], synergies=2,
                           reference=str(path)).synergies
    assert left.dmc["group"]["n"] == 3 and str(path) in left.dmc["group"]["source"]
    assert cli.main(["reference", "show", str(path)]) == 0
    assert "walk-DMC group, left: tVAF1 0.800 ± 0.100 (3 subjects)" in capsys.readouterr().out
    assert left.dmc["value"] == pytest.approx(100 + 10 * (0.8 - left.dmc["tvaf1"]) / 0.1)
    assert right.dmc["group"]["source"] == "a paper, table 2"
    published.write_text(json.dumps({"group": {"mean": 0.75, "sd": 0}}))
    with pytest.raises(gait.GaitError, match="needs a mean and an SD"):
        analysed([demo.demo_trial(str(tmp_path))], synergies=1)


@pytest.mark.parametrize("channels, side_notes", [
    (["LTA", "LGAS", "LSOL", "LVL", "LHAM", "RTA", "RGAS", "RSOL", "RRF", "RVL", "RHAM"],
     {"Left": "no walk-DMC, the side has no rectus femoris (RF)"}),
    (["LTA", "RTA", "RGAS"], {"Left": None, "Right": "no walk-DMC, the side has no rectus "
                              "femoris (RF), medial hamstrings (MH) or vastus lateralis (VL)"}),
])
def test_side_without_an_index_muscle(tmp_path, channels, side_notes):
    result = analysed([demo.demo_trial(str(tmp_path))], channels=channels, synergies=3)
    by_side = {s.side: s for s in result.synergies}
    for side, note in side_notes.items():
        if note is None:  # one muscle: no synergies at all, and the report says why
            assert side not in by_side
            assert any(n.startswith(side + ": no synergies, 1 muscle") for n in
                       result.synergy_notes)
        else:
            assert by_side[side].dmc == {"note": note}


def test_synergies_from_a_nexus_script(tmp_path):
    trial = demo.demo_trial(str(tmp_path))
    paths = quorvaemg_gait.report(NexusStandIn(trial), 1, 1, synergies=2, out=str(tmp_path))
    assert paths[-1] == str(tmp_path / "Walk01_EMGSynergies.csv")
