"""Gait-cycle EMG: synthetic trials with bursts at known phases of known cycles,
through the host's pipeline, the gait command and the Nexus-script call."""

import csv
import os
import re
import subprocess
import sys

import numpy as np
import pypdf
import pytest
from conftest import ezc3d, needs_c3d

import quorvaemg_gait
from quorvaemg_gait import gait, quality
from quorvaemg_host import cli
from quorvaemg_gait.muscles import from_name, read_mapping
from quorvaemg_host.nexus import NexusStandIn
from quorvaemg_gait.trial import Trial

FRAME_RATE = 100.0
# Bursts in % of each cycle of the channel's side; HAM runs through foot strike.
BURSTS = {"TA": ((10, 30), (62, 80)), "GAS": ((20, 50),), "HAM": ((85, 105),)}
FOOT_OFF = 0.6


def truth(muscle):
    periods = []
    for on, off in BURSTS[muscle]:
        periods += [(on, off)] if off <= 100 else [(on, 100.0), (0.0, off - 100.0)]
    return sorted(periods)


def synthetic(rate, cycles, drop_off=(), extra_off=(), sides=("Left", "Right"), first_frame=1,
              tail=0.3, seed=0, name="Walk01"):
    """A trial whose left cycles last ``cycles`` seconds (the right one half a cycle
    later); ``drop_off``/``extra_off``: (side, cycle index) without / with a second foot off."""
    rng = np.random.default_rng(seed)
    left = 0.5 + np.concatenate(([0.0], np.cumsum(cycles)))
    n = int(round((left[-1] + tail) * rate))
    t = np.arange(n) / rate
    events, samples, names = {}, [], []
    for side in ("Left", "Right"):
        strikes = left if side == "Left" else np.round((left[:-1] + np.diff(left) / 2) * 100) / 100
        edges = np.concatenate(([strikes[0] - 1.0], strikes, [strikes[-1] + 1.0]))
        k = np.searchsorted(edges, t, side="right") - 1
        phase = 100.0 * (t - edges[k]) / (edges[k + 1] - edges[k])
        for muscle, bursts in BURSTS.items():
            active = np.zeros(n, dtype=bool)
            for on, off in bursts:
                active |= ((phase >= on) & (phase < off)) | (phase < off - 100)
            names.append(side[0] + muscle)
            samples.append(rng.standard_normal(n) * np.where(active, 1e-3, 2e-5))
        if side not in sides:
            continue
        offs = [(a + FOOT_OFF * (b - a)) for a, b in zip(strikes[:-1], strikes[1:])]
        offs = [o for i, o in enumerate(offs) if (side, i) not in drop_off]
        offs += [strikes[i] + 0.1 for s, i in extra_off if s == side]
        for event, times in (("Foot Strike", strikes), ("Foot Off", offs)):
            events[(side, event)] = [int(round(x * FRAME_RATE)) + first_frame
                                     for x in sorted(times)]
    names.append("EMG9")
    samples.append(rng.standard_normal(n) * 1e-4)
    trial = Trial("", name, "S01", names, samples, rate, FRAME_RATE, events)
    trial.first_frame = first_frame
    return trial


CASES = [  # trials, expected (trial, side) -> (kept, left-out reasons)
    ([dict(rate=1000, cycles=[1.0, 1.2, 0.9, 1.1])],
     {(0, "Left"): (4, []), (0, "Right"): (3, [])}),
    ([dict(rate=2000, cycles=[0.8, 1.3, 1.0, 1.1], drop_off=[("Left", 1)],
           extra_off=[("Right", 0)])],
     {(0, "Left"): (3, ["no foot off"]), (0, "Right"): (2, ["several foot offs"])}),
    ([dict(rate=1000, cycles=[1.0, 1.1, 1.2], sides=("Left",))],
     {(0, "Left"): (3, []), (0, "Right"): (0, [])}),
    # a missed foot strike: one cycle twice as long as the side's others
    ([dict(rate=1000, cycles=[1.0, 1.05, 2.0, 0.95], sides=("Left",))],
     {(0, "Left"): (3, ["implausible: lasts 2.00 s, the side's cycles 1.02 s (median)"])}),
    ([dict(rate=2000, cycles=[1.1, 0.9, 1.2], first_frame=11, tail=-0.2),
      dict(rate=1000, cycles=[1.3, 1.0], seed=1, name="Walk02")],
     {(0, "Left"): (2, ["outside the channel"]), (0, "Right"): (2, []),
      (1, "Left"): (2, []), (1, "Right"): (1, [])}),
]


@pytest.mark.parametrize("trials, expected", CASES)
def test_cycles_timing_tables_and_pages(tmp_path, trials, expected):
    result, (pdf, cycles_csv, activity_csv) = gait.report(  # its pages drawn by two processes
        [synthetic(**t) for t in trials], envelope="rms:20", out=str(tmp_path), jobs=2)
    for (k, side), (kept, reasons) in expected.items():
        assert len(result.prepared[k].cycles[side]) == kept
        assert [r for _, _, r in result.prepared[k].left_out[side]] == reasons
    assert ("EMG9", gait.UNKNOWN) in result.left_out
    worst = 0.0
    for channel in result.channels:
        for periods in channel.analysis["activity"]:
            assert len(periods) == len(truth(channel.muscle))
            worst = max([worst] + [abs(a - b) for p, q in zip(sorted(periods), truth(channel.muscle))
                                   for a, b in zip(p, q)])
    assert worst < 2.0

    with open(cycles_csv) as f:
        rows = list(csv.DictReader(f))
    assert list(rows[0]) == ["channel", "side", "muscle", "cycles", "percent", "mean", "sd",
                             "variance_ratio", "cycle_cosine", "consistent"]
    assert len(rows) == 101 * len(result.channels)
    with open(activity_csv) as f:
        rows = list(csv.DictReader(f))
    assert list(rows[0]) == ["channel", "side", "muscle", "trial", "cycle", "on", "off"]
    assert len(rows) == sum(len(p) for c in result.channels for p in c.analysis["activity"])
    assert {r["trial"] for r in rows} == {t.get("name", "Walk01") for t in trials}
    pages = pypdf.PdfReader(pdf).pages
    # TA and GAS are antagonists: in volts their page says why they have no index.
    assert result.cocontraction_note and len(pages) == 1 + len(result.pages()) + 1 + 1
    text = " ".join(" ".join(page.extract_text().split()) for page in pages[1:-2])
    for name, reason in result.left_out:  # named on its muscle page, not "no channel"
        assert reason == gait.UNKNOWN or f"{name} left out ({reason})" in text


@pytest.mark.parametrize("second", [dict(), dict(seed=5, cycles=[0.9, 1.2, 1.0])])
def test_a_trial_name_pooled_twice_is_refused(tmp_path, second):
    first = synthetic(1000, [1.0, 1.1])
    again = first if not second else synthetic(2000, **second)
    result = gait.report([first, again], channels="TA", out=str(tmp_path))[0]
    assert [label for label, _ in result.refused] == ["Walk01"]
    assert "named twice" in result.refused[0][1]
    assert [len(c.analysis["curves"]) for c in result.channels] == [2, 1]


@pytest.mark.parametrize("normalise, top", [("peak", 100.0), ("mvc:{}", None)])
def test_amplitude_normalisation(tmp_path, normalise, top):
    trial = synthetic(1000, [1.0, 1.1, 1.0])
    plain = gait.report([trial], envelope="as-is", out=str(tmp_path))[0]
    mvc = tmp_path / "mvc.csv"
    mvc.write_text("channel,value\n" + "".join(f"{n},0.002\n" for n in trial.channel_names))
    scaled = gait.report([trial], envelope="as-is", out=str(tmp_path),
                         normalise=normalise.format(mvc))[0]
    for a, b in zip(plain.channels, scaled.channels):
        expect = a.analysis["mean"] * (100.0 / a.analysis["mean"].max() if top else 5e4)
        assert np.allclose(b.analysis["mean"], expect, rtol=1e-9)


@pytest.mark.parametrize("name, found", [
    ("LTA", ("Left", "TA")), ("RGAS", ("Right", "GAS")), ("Left TA", ("Left", "TA")),
    ("R_VL", ("Right", "VL")), ("L-Rectus Femoris", ("Left", "RF")), ("RMG", ("Right", "GAS")),
    ("LBF", ("Left", "LH")), ("Glut Med Right", ("Right", "GMED")), ("Delsys.EMG1", None),
    ("RF", None), ("LG", None),
    # as labs without a mapping name them; an ambiguous name is never guessed
    ("RTIB", ("Right", "TA")), ("LVAS", ("Left", "VL")), ("R Vastus Med", ("Right", "VM")),
    ("LGASTRO", ("Left", "GAS")), ("LAT", None), ("RLAT", None), ("LTIBIALIS", None)])
def test_side_and_muscle_from_the_name(name, found):
    assert from_name(name) == found


def test_mapping_file_wins_and_bad_rows_are_named(tmp_path, capsys):
    good = tmp_path / "muscles.csv"
    good.write_text("channel,side,muscle\nLTA,R,soleus\nEMG9,Left,Gluteus Maximus\nRT A,R,TA\n")
    result = gait.report([synthetic(1000, [1.0, 1.1])], muscles=str(good), out=str(tmp_path))[0]
    found = {c.name: (c.side, c.muscle) for c in result.channels}
    assert found["LTA"] == ("Right", "SOL") and found["EMG9"] == ("Left", "GMAX")
    assert "no channel analysed is named RT A (misspelt" in capsys.readouterr().out
    bad = tmp_path / "bad.csv"
    bad.write_text("LTA,Left,TA\nRTA,up,TA\n")
    with pytest.raises(ValueError, match=r"bad.csv line 2: side \"up\""):
        read_mapping(str(bad))


@pytest.mark.parametrize("read, data, expected", [  # a str: the error it raises
    (read_mapping, b"\xef\xbb\xbfLTA,R,soleus\n", {"LTA": ("Right", "SOL")}),  # CSV UTF-8
    (read_mapping, b"\xef\xbb\xbfchannel,side,muscle\nLTA,R,soleus\n", {"LTA": ("Right", "SOL")}),
    (read_mapping, b"LTA;R;soleus\r\n", {"LTA": ("Right", "SOL")}),  # decimal-comma Excel
    (gait.read_mvc, b"\xef\xbb\xbfchannel,value\nLTA,0.002\n", {"LTA": 0.002}),
    (gait.read_mvc, b"channel;value\r\nR Tibi\xe1lis;0,002\r\n", {"R Tibi\xe1lis": 0.002}),
    (gait.read_mvc, b"LTA,0.002\nRTA,0\n", "line 2: expected channel,value with a positive"),
    (gait.read_mvc, b"LTA,-1e-3\n", "line 1: expected channel,value with a positive"),
    (gait.read_mvc, b"LTA,1e-3 V\n", "line 1: expected channel,value with a positive"),
    (read_mapping, b"\x50\x00\x00\xf4", "is not a text file"),  # a C3D file given by mistake
    (read_mapping, b"", "muscles file .*table.csv holds no channel,side,muscle line, give"),
    (read_mapping, b"# comments only\n\n", "holds no channel,side,muscle line"),
    (gait.read_mvc, b"channel,value\n", "MVC file .*table.csv holds only its header"),
    (read_mapping, "LTA,L,TA\n".encode("utf-16"), "is UTF-16 text, save it as CSV UTF-8 or CSV"),
    (gait.read_mvc, b"LTA,0.1\nRTA," + b"9" * 200000 + b"\n",
     "MVC file .*table.csv line 2: a cell longer than 131072 characters, correct it or give "
     "another file with --normalise mvc:FILE"),
    (gait.read_mvc, b"LTA,nan\n", "line 1: expected channel,value with a positive"),
    (gait.read_mvc, b"LTA," + b"7" * 100000 + b"x\n", 'found "LTA,7{33}\\.\\.\\."'),
    (read_mapping, b"LTA,Left,TA\n" + b"A" * 10 ** 5 + b",X,TA\n", 'line 2: side "X" is not L'),
    (gait.read_mvc, b"LTA,1e-308\n", {"LTA": 1e-308}),  # tiny but a value: see the curves
])
def test_files_as_excel_saves_them(tmp_path, read, data, expected):
    path = tmp_path / "table.csv"
    path.write_bytes(data)
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected) as refused:
            read(str(path))
        assert len(str(refused.value)) < 300 + len(str(path))
    else:
        assert read(str(path)) == expected


def test_normal_table_names_its_muscles_and_sources():
    table = gait.normal_activity()
    assert {"TA", "GAS", "SOL", "RF", "VL", "VM", "MH", "LH", "GMED", "GMAX", "ADD"} <= set(table)
    assert all(sources == ["Perry2010"] for _, sources in table.values())
    assert "Gait Analysis: Normal and Pathological Function" in gait.normal_sources()[0]


# LTA as tibialis anterior (normal 56-12) runs on past 12 %; LHAM's burst through
# foot strike (85-5) as rectus femoris (normal 56-66) is additional, and 56-66 absent.
AS_NORMAL = {"LTA": ("Left", "TA"), "LHAM": ("Left", "RF")}
FOUND = {"LTA": {"prolonged": [(12, 31)]},
         "LHAM": {"absent": [(56, 66)], "additional": [(0, 5.5), (84.5, 100)]}}


@pytest.mark.parametrize("merge, listed", [
    (3.0, {"LTA": ["prolonged"], "LHAM": ["absent", "additional"]}),
    (12.0, {"LTA": ["prolonged"], "LHAM": ["additional"]}),  # absent 10 % < 12 %
    # the additional 21 % stays, though neither of its pieces either side of
    # foot strike (15.5 % and 5.5 %) is as long on its own
    (16.0, {"LTA": ["prolonged"], "LHAM": ["additional"]}),
])
def test_deviations_shorter_than_the_merge_length_are_not_listed(tmp_path, merge, listed):
    trial = synthetic(1000, [1.0, 1.1, 0.9, 1.2])
    settings = gait.Settings("L*", AS_NORMAL, envelope="rms:20", merge=merge)
    result, paths = gait.run([("Walk01", lambda: trial)], settings, out=str(tmp_path),
                             say=lambda line: None)
    compared = {c.name: c.comparison for c in result.channels if c.name in AS_NORMAL}
    assert {name: pytest.approx(c["agreement"], abs=0.01) for name, c in compared.items()} == {
        "LTA": 47.15, "LHAM": 68.99}  # as computed, whatever is listed
    for name, comparison in compared.items():
        for kind in gait.DEVIATIONS:
            expected = FOUND[name].get(kind, []) if kind in listed[name] else []
            assert len(comparison[kind]) == len(expected), (name, kind)
            for found, truth in zip(comparison[kind], expected):
                assert found == pytest.approx(truth, abs=1.5), (name, kind)
    timing = " ".join(pypdf.PdfReader(paths[0]).pages[-1].extract_text().split())
    assert "Perry J, Burnfield JM" in timing and "Perry2010" not in timing
    assert not re.search(r"\d\.\d+-|-\d+\.\d", timing), "periods in whole per cent"


@needs_c3d
@pytest.mark.parametrize("extra, code, says", [
    ([], 0, ["[1/2] Walk01.c3d: Left 3 cycles", "[2/2] Still.c3d: not used: Still has no foot "
                                                 "strikes", "left out, side/muscle not known: EMG9",
             "Walk01_EMGGait.pdf", "Walk01_EMGActivity.csv"]),
    (["--envelope", "rms"], 2, ["envelope \"rms\" is not one of linear | rms:MS | as-is"]),
    (["--normalise", "mvc:{mvc}"], 1, ["has no value for channel LGAS, add a line LGAS,VALUE"]),
    (["--muscles", "{mvc}"], 1, ["mvc.csv line 1: expected channel,side,muscle"]),
    (["--jobs", "2"], 0, ["Walk01_EMGGait.pdf"]),
    (["--jobs", "0"], 2, ["--jobs takes a number of processes of 1 or more"]),
])
def test_gait_command(tmp_path, capsys, extra, code, says):
    from test_host_c3d import write_c3d

    trial = synthetic(2000, [1.0, 1.2, 0.9], first_frame=21)
    events = [(side, event, frame, "S01") for (side, event), frames in trial.events.items()
              for frame in frames]
    paths = [write_c3d(tmp_path / "Walk01.c3d", np.array(trial.samples), trial.channel_names,
                       rate=2000.0, subjects=["S01"], events=events, first_frame=21),
             write_c3d(tmp_path / "Still.c3d", np.array(trial.samples), trial.channel_names,
                       rate=2000.0, subjects=["S01"])]
    (tmp_path / "mvc.csv").write_text("LTA,1.0\n")
    extra = [e.format(mvc=tmp_path / "mvc.csv") for e in extra]
    assert cli.main(["gait"] + paths + extra + ["--out", str(tmp_path / "out")]) == code
    out = capsys.readouterr()
    assert "Traceback" not in out.out + out.err
    for text in says:
        assert text in out.out + out.err


@needs_c3d
def test_trials_whose_files_name_no_subject_are_pooled(tmp_path, capsys):
    from test_host_c3d import write_c3d

    paths = []
    for k, name in enumerate(("Walk01", "Walk02")):
        trial = synthetic(1000, [1.0, 1.1], seed=k, name=name)
        events = [(side, event, frame, "") for (side, event), frames in trial.events.items()
                  for frame in frames]
        paths.append(write_c3d(tmp_path / f"{name}.c3d", np.array(trial.samples),
                               trial.channel_names, events=events))
    assert cli.main(["gait"] + paths + ["--channels", "TA", "--out", str(tmp_path)]) == 0
    assert "2 channels of 2 trials analysed" in capsys.readouterr().out


def test_gait_demo_and_the_nexus_call(tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("HOME", str(tmp_path))
    assert cli.main(["gait", "--demo"]) == 0
    folder = tmp_path / "quorvaemg-demo"
    assert sorted(os.listdir(folder)) == ["Walk01_EMGActivity.csv", "Walk01_EMGCycles.csv",
                                          "Walk01_EMGGait.pdf"]
    assert len(pypdf.PdfReader(str(folder / "Walk01_EMGGait.pdf")).pages) == 9

    first, second = synthetic(1000, [1.0, 1.1]), synthetic(1000, [1.2, 0.9], name="Walk02")
    first.folder = str(tmp_path) + os.sep
    record = quorvaemg_gait.read_trial(NexusStandIn(second), 1, 1)
    paths = quorvaemg_gait.report(NexusStandIn(first), 1, 1, trials=[record],
                                  channels="TA", envelope="rms:20")
    assert paths[0] == str(tmp_path / "Walk01_EMGGait.pdf")
    with open(paths[2]) as f:
        rows = list(csv.DictReader(f))
    assert {(r["channel"], r["trial"]) for r in rows} == {
        (c, t) for c in ("LTA", "RTA") for t in ("Walk01", "Walk02")}
    assert "written:" in capsys.readouterr().out


def test_first_page_and_doubtful_channels(tmp_path):
    trial = synthetic(2000, [0.8, 1.3, 1.0, 1.1], drop_off=[("Left", 1)], extra_off=[("Right", 0)])
    trial.samples[trial.channel_names.index("RHAM")][5] = np.nan
    trial.units[trial.channel_names.index("LTA")] = "mV"  # each page shows its channels' own
    long = "; ".join(f"Walk0{k}: 84.2 % of the power below 20 Hz" for k in range(1, 9))
    result, paths = gait.report([trial], envelope="as-is", out=str(tmp_path),
                                verdicts={"LTA": ("doubtful", "mains 50 Hz; " + long),
                                          "RTA": ("good", "")})
    pages = [page.extract_text() for page in pypdf.PdfReader(paths[0]).pages]
    for text in ("Left: 3 cycles used, 1 left out", "no foot off", "several foot offs",
                 "LTA: doubtful (mains 50 Hz;", "side/muscle not known: EMG9",
                 "Walk01: samples are not all finite numbers: RHAM",
                 "Gait events from the trial's events (Walk01)"):
        assert text in " ".join(pages[0].split())
    marked = [k for k, page in enumerate(pages) if "quality: DOUBTFUL" in page]
    assert marked == [1] and "Left: LTA" in pages[1]
    assert "amplitude: left in mV, right in V" in pages[1] and "amplitude in V" in pages[2]
    # the reasons wrap inside their panel, three lines at most, ending "..." when cut
    assert "Walk01: 84.2" in pages[1] and "Walk08" not in pages[1] and "..." in pages[1]


class Broken(NexusStandIn):
    def __init__(self, trial, **answers):
        super().__init__(trial)
        for name, answer in answers.items():
            setattr(self, name, lambda *args, answer=answer: answer)


@pytest.mark.parametrize("answers, options, error, message", [
    ({"GetSubjectNames": []}, {}, ValueError, "the trial has no subject"),
    ({"GetTrialName": ("folder",)}, {}, ValueError, "not enough values to unpack"),
    ({"GetEvents": ([], [])}, {}, ValueError, "no trial could be used"),
    ({}, {"trials": 5}, TypeError, "iterable"),
    ({}, {"trials": ["Walk02"], "envelope": "box"}, ValueError, "envelope \"box\""),
    ({}, {"normalise": "mvc:missing.csv"}, OSError, "missing.csv"),
])
def test_nexus_call_refuses_with_python_errors(tmp_path, answers, options, error, message):
    trial = synthetic(1000, [1.0, 1.1])
    trial.folder = str(tmp_path) + os.sep
    with pytest.raises(error, match=message):
        quorvaemg_gait.report(Broken(trial, **answers), 1, 1, **options)
    assert os.listdir(tmp_path) == []


def test_quality_of_the_raw_channels_is_judged_over_the_pooled_trials(tmp_path):
    dead, alive = synthetic(1000, [1.0, 1.1]), synthetic(1000, [1.1, 1.0], name="Walk02", seed=3)
    dead.samples[dead.channel_names.index("LGAS")][:] = 0.0
    result, paths = gait.report([dead, alive], channels="GAS", out=str(tmp_path))
    assert result.verdicts == {"LGAS": ("unusable", "Walk01: all zero"), "RGAS": ("good", "")}
    pages = [" ".join(page.extract_text().split()) for page in pypdf.PdfReader(paths[0]).pages]
    assert "LGAS: unusable (Walk01: all zero)" in pages[0] and "quality: UNUSABLE" in pages[1]


def test_a_repeated_channel_label_is_left_out_and_said(tmp_path, capsys):
    plain = synthetic(1000, [1.0, 1.1])
    again = synthetic(1000, [1.0, 1.1])
    again.channel_names[-1] = "LTA"  # EMG9, channel 7, labelled as channel 1
    result, paths = gait.report([again], channels="TA", out=str(tmp_path))
    reason = "Walk01: channel 7 has the label of channel 1, which is used"
    assert ("LTA", reason) in result.left_out
    assert f"left out, {reason}: LTA" in capsys.readouterr().out
    first_page = " ".join(pypdf.PdfReader(paths[0]).pages[0].extract_text().split())
    assert f"{reason}: LTA" in first_page
    used = {c.name: c.analysis["mean"] for c in result.channels}
    expected = {c.name: c.analysis["mean"] for c in gait.report(
        [plain], channels="TA", out=str(tmp_path / "plain"))[0].channels}
    assert list(used) == list(expected) and all(np.array_equal(used[n], expected[n]) for n in used)
    rows = quality.assess(again)
    assert [q.name for q in rows].count("LTA") == 2  # the quality table keeps both


def test_reference_values_that_make_curves_not_finite_are_refused(tmp_path):
    trial = synthetic(1000, [1.0, 1.1])
    mvc = tmp_path / "mvc.csv"
    mvc.write_text("".join(f"{n},1e-308\n" for n in trial.channel_names))
    with pytest.raises(ValueError, match=r"the MVC value of channel LTA, 1e-308, is so small"):
        gait.report([trial], envelope="rms:20", normalise=f"mvc:{mvc}", out=str(tmp_path / "o"))
    assert not os.path.exists(str(tmp_path / "o"))


def test_a_long_muscles_file_is_read_and_its_unmatched_names_summed_up(tmp_path, capsys):
    path = tmp_path / "muscles.csv"
    for rows in (5 * 10 ** 4, 10 ** 6):  # a million is no table of channels
        path.write_text("channel,side,muscle\nLTA,L,TA\n"
                        + "".join(f"Other{k},R,GAS\n" for k in range(rows)))
        if rows > 10 ** 5:
            with pytest.raises(ValueError, match="holds 1000002 lines, far more than a table"):
                gait.report([synthetic(1000, [1.0, 1.1])], muscles=str(path), out=str(tmp_path))
            continue
        gait.report([synthetic(1000, [1.0, 1.1])], channels="LTA", muscles=str(path),
                    out=str(tmp_path))
        line, = [x for x in capsys.readouterr().out.splitlines() if x.startswith("muscles file")]
        assert line.endswith(f"Other9 and {rows - 10} more (misspelt, or outside --channels?)")


def test_the_gait_package_and_its_report_writer_need_no_host():
    code = ("import sys, quorvaemg_gait, quorvaemg_gait.gait, plotvane.gait\n"
            "print(sorted(m for m in sys.modules if m.startswith('quorvaemg_host')))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "[]"


def test_normal_table_is_read_once_for_its_periods_and_sources(tmp_path):
    path = tmp_path / "normal.csv"
    path.write_text("# Sources:\n#   Key1: First A. Book.\n#         Continued.\n"
                    "#   Key2: Second B.\n#\nmuscle,on,off,source\nTA,56,12,Key1\n"
                    "TA,20,30,Key2\n")
    table = gait.read_normal(str(path))
    assert table.periods == {"TA": ([(56.0, 12.0), (20.0, 30.0)], ["Key1", "Key2"])}
    assert table.sources == ["First A. Book. Continued.", "Second B."]
