"""A lab reference from generated control subjects, and patients scored
against it: in memory through the gait package, and as a lab runs it through
the host's reference and gait commands."""

import csv
import json
import os

import numpy as np
import pytest
from conftest import needs_c3d

from quorvaemg_gait import gait
from quorvaemg_gait import reference as lab
from quorvaemg_host import cli, demo

SUBJECTS = 10


def sources(trials):
    return [(t.name, lambda t=t: t) for t in trials]


@pytest.fixture(scope="module")
def controls():
    return demo.control_trials(SUBJECTS, trials=2)


@pytest.fixture(scope="module")
def built(controls):
    settings = gait.Settings(normalise="peak")
    record, refused = gait.build_reference(sources(controls), settings, say=lambda line: None)
    return settings, record, refused


def test_reference_of_controls(built, controls):
    settings, record, refused = built
    assert not refused and record["version"] == lab.VERSION
    assert len(record["subjects"]) == SUBJECTS
    assert record["settings"] == {"envelope": "linear", "normalise": "peak", "threshold": 0.25,
                                  "merge": 3.0, "points": 101}
    ta = next(m for m in record["muscles"] if (m["side"], m["muscle"]) == ("Left", "TA"))
    assert len(ta["subjects"]) == SUBJECTS and len(ta["mean"]) == 101
    # Each subject once: the mean is the mean of the subjects' mean curves.
    per_subject = []
    for k in range(SUBJECTS):
        mine = [t for t in controls if t.subject == record["subjects"][k]["subject"]]
        result = gait.analyse([gait.prepare(t, settings) for t in mine], settings)
        per_subject.append(next(c for c in result.channels if c.name == "LTA").analysis["mean"])
    assert np.allclose(ta["mean"], np.mean(per_subject, axis=0))
    assert np.allclose(ta["sd"], np.std(per_subject, axis=0, ddof=1))
    # TA is active at loading response and again in swing.
    assert len(ta["periods"]) == 2 and all(p["subjects"] == SUBJECTS for p in ta["periods"])


def analyse_against(path, trials, normalise="peak"):
    settings = gait.Settings(normalise=normalise, reference=path)
    result = gait.analyse([gait.prepare(t, settings) for t in trials], settings)
    return {(c.side, c.muscle): c for c in result.channels}, result


@pytest.mark.parametrize("shifts, shifted", [(None, set()), ({"TA": 0.15}, {"TA"})],
                         ids=["a-control", "TA-late"])
def test_patient_against_the_reference(tmp_path, built, controls, shifts, shifted):
    settings, record, _ = built
    path = lab.write_reference(str(tmp_path / "lab.json"), record, "")
    # The demo subject, made as the controls are, with or without TA late.
    patient = [demo.demo_trial(str(tmp_path), shifts=shifts)]
    channels, result = analyse_against(path, patient)
    assert result.reference_source["subjects"] == SUBJECTS
    for (side, muscle), channel in channels.items():
        a = channel.against
        if muscle in shifted:
            assert a["outside"] and a["correlation"] < 0.8
            onsets = [s["onset_shift"] for s in a["shifts"] if s is not None]
            assert any(abs(shift - 15) < 4 for shift in onsets), onsets
        else:
            assert a["correlation"] > 0.9 and a["rms_sd"] < 2 and a["outside"] == [], \
                (side, muscle, a)
        assert channel.consistency["consistent"]


def test_reference_settings_and_files_refused(tmp_path, built):
    _, record, _ = built
    path = lab.write_reference(str(tmp_path / "lab.json"), record, "")
    with pytest.raises(lab.ReferenceError, match="built with envelope linear, normalisation "
                       "peak.*asks for envelope rms:100, normalisation peak.*--envelope linear"):
        gait.Settings(normalise="peak", envelope="rms:100", reference=path)
    bad = {"not-json": "{", "other": json.dumps({"format": "x"}),
           "newer": json.dumps(dict(record, version=lab.VERSION + 1)),
           "short": json.dumps(dict(record, muscles=[dict(record["muscles"][0], mean=[1.0])]))}
    messages = {"not-json": "is not a JSON file", "other": "is not a reference",
                "newer": "made by a newer release", "short": "no curve of 101 finite numbers"}
    for name, text in bad.items():
        (tmp_path / name).write_text(text)
        with pytest.raises(lab.ReferenceError, match=messages[name]):
            lab.read_reference(str(tmp_path / name))


@needs_c3d
def test_reference_and_gait_commands(tmp_path, capsys):
    controls = demo.write_controls(str(tmp_path / "controls"), 4)
    ref = str(tmp_path / "lab.json")
    assert cli.main(["reference", "build", *controls, "--out", ref, "--normalise", "peak"]) == 0
    assert cli.main(["reference", "show", ref]) == 0
    shown = capsys.readouterr().out
    assert "4 subjects" in shown and "Left  TA" in shown
    patient = demo.write_demo_c3d(str(tmp_path / "patient"), shifts={"TA": 0.15})
    assert cli.main(["gait", patient, "--reference", ref, "--normalise", "peak"]) == 0
    base = os.path.splitext(patient)[0]
    with open(base + "_EMGCompare.csv") as f:
        rows = list(csv.DictReader(f))
    assert list(rows[0])[:9] == ["channel", "side", "muscle", "correlation", "cosine", "rms_sd",
                                 "outside", "onset_shift", "offset_shift"]
    flagged = {r["muscle"] for r in rows if r["outside"]}
    assert "TA" in flagged and all(":above" in p or ":below" in p
                                   for r in rows for p in r["outside"].split(";") if p)
    with open(base + "_EMGCoContraction.csv") as f:
        pairs = list(csv.DictReader(f))
    assert {(p["muscle_a"], p["muscle_b"], p["phase"]) for p in pairs} >= {
        ("TA", "GAS", "stance"), ("RF", "HAM", "swing")}
    with open(base + "_EMGCycles.csv") as f:
        assert {r["consistent"] for r in csv.DictReader(f)} == {"yes"}
    # Without normalisation the reference (made with peak) is refused, both named.
    assert cli.main(["gait", patient, "--reference", ref]) == 1
    assert "normalisation peak" in capsys.readouterr().err


@pytest.mark.parametrize("argv, status, message", [
    (["reference", "build", "Walk01.c3d"], 2, "reference build needs --out REFERENCE.json"),
    (["reference", "show", "a.json", "b.json"], 2, "reference show takes one reference file"),
    (["reference", "show", "a.json", "--out", "x"], 2, "--out applies to reference build"),
    (["reference", "build", "Walk01.c3d", "--out", "Walk02.c3d"], 2, "would replace a trial"),
    (["reference", "build", "Walk01.c3d", "--out", "/proc/lab.json"], 1,
     "the folder of the reference file /proc cannot be written"),
    (["reference", "show", "missing.json"], 1, "cannot read the reference file missing.json"),
    (["gait", "--demo", "--normalise", "peak", "--pairs", "pairs.csv"], 1,
     "the pairs file pairs.csv line 1: pairs tibialis anterior with itself"),
])
def test_commands_refuse(tmp_path, monkeypatch, capsys, argv, status, message):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("HOME", str(tmp_path))
    (tmp_path / "pairs.csv").write_text("tibialis anterior,TA\n")
    assert cli.main(argv) == status
    assert message in capsys.readouterr().err
