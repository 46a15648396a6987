"""C3D trial files: reading a recording as a trial, processing it, writing it back."""

import os
import shutil
import struct

import numpy as np
import pytest
import quorvaemg
from conftest import ezc3d, needs_c3d
from fake_nexus import Root, choices, selection
from quorvaemg_gait.channels import select_channels

# Test the package in this checkout, not whatever copy was last installed.
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytestmark = needs_c3d
if ezc3d is not None:
    from quorvaemg_host import c3d as trialfile
    from quorvaemg_host.c3d import (
        effective_cutoffs_warning,
        load_trial,
        save_trial,
    )

try:
    from quorvaemg_host.nexus import NexusStandIn
except ImportError:  # the scripting object is written alongside; the operations processing uses
    class NexusStandIn:
        def __init__(self, trial):
            self.trial = trial

        def GetTrialName(self):
            return (self.trial.folder, self.trial.name)

        def GetDeviceOutputDetails(self, deviceID, outputID):
            names = list(self.trial.channel_names)
            return ("EMG", "Devices", "V", True, names, list(range(1, len(names) + 1)))

        def GetDeviceChannel(self, deviceID, outputID, channel):
            samples = self.trial.samples[channel - 1].tolist()
            return (samples, [True] * len(samples), self.trial.device_rate)

        def SetDeviceChannel(self, deviceID, outputID, channel, samples):
            self.trial.samples[channel - 1] = np.array(samples, dtype=np.float64)

REAL = os.path.join(REPO, "tests", "data", "real_emg_2000hz.c3d")


# -- test files -----------------------------------------------------------------

def emg(channels, n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / 1000.0
    return np.array([0.01 * (k + 1) + 2e-4 * rng.standard_normal(n) * (1 + np.sin(3 * t + k)) ** 4
                     + 3e-5 * np.sin(2 * np.pi * 50 * t) for k in range(channels)])


def write_c3d(path, analogs, labels, rate=1000.0, frame_rate=100.0, markers=3,
              subjects=(), events=(), first_frame=1):
    """A float C3D written with ezc3d; events are (context, label, Nexus frame, subject)."""
    c = ezc3d.c3d()
    frames = analogs.shape[1] * int(frame_rate) // int(rate)
    c["parameters"]["POINT"]["RATE"]["value"] = [frame_rate]
    c["parameters"]["POINT"]["LABELS"]["value"] = [f"M{k + 1}" for k in range(markers)]
    c["parameters"]["ANALOG"]["RATE"]["value"] = [rate]
    c["parameters"]["ANALOG"]["LABELS"]["value"] = list(labels)
    points = np.random.default_rng(1).uniform(-500, 500, (4, markers, frames))
    points[3] = 1
    c["data"]["points"] = points
    c["data"]["analogs"] = analogs[np.newaxis].astype(np.float64)
    if subjects:
        c.add_parameter("SUBJECTS", "NAMES", list(subjects))
    for context, label, frame, subject in events:
        seconds = trialfile.event_time(frame, frame_rate)
        c.add_event([seconds // 60, seconds % 60], context=context, label=label, subject=subject)
    c["header"]["points"]["first_frame"] = first_frame - 1
    c.write(str(path))
    return str(path)


def _float_bytes(values, dec):
    raw = (np.asarray(values, dtype="<f4") * (4 if dec else 1)).astype("<f4")
    raw = raw.view(np.uint8).reshape(-1, 4)
    return (raw[:, [2, 3, 0, 1]] if dec else raw).tobytes()


def _record(name, gid, value, dec):
    if isinstance(value, str):
        width, kind, dims = len(value), -1, [len(value)]
        data = value.encode()
    elif isinstance(value, list) and isinstance(value[0], str):
        width = max(len(v) for v in value)
        kind, dims, data = -1, [width, len(value)], "".join(v.ljust(width) for v in value).encode()
    elif isinstance(value, list) and isinstance(value[0], float):
        kind, dims, data = 4, [len(value)], _float_bytes(value, dec)
    elif isinstance(value, float):
        kind, dims, data = 4, [], _float_bytes([value], dec)
    else:
        values = value if isinstance(value, list) else [value]
        kind, dims = 2, ([len(values)] if isinstance(value, list) else [])
        data = struct.pack(f"<{len(values)}h", *values)
    body = struct.pack("<bB", kind, len(dims)) + bytes(dims) + data + b"\x00"
    return struct.pack("<bb", len(name), gid) + name.encode(), body


def raw_c3d(path, stored, labels, rate=1000.0, ratio=10, integer=False, dec=False,
            scale=1.0, offset=0, gen_scale=1.0, analog_format=None):
    """A C3D written byte by byte, for what ezc3d does not write: integer storage, DEC
    floats, short scale lists.  ``stored`` holds the analog words as the file keeps them;
    ``scale`` and ``offset`` are one value for every channel or a list."""
    count, n = stored.shape
    frames, markers = n // ratio, 2
    point_scale = 0.1 if integer else -0.1
    analog = {"USED": count, "LABELS": list(labels), "RATE": float(rate),
              "SCALE": [float(s) for s in scale] if isinstance(scale, list) else [float(scale)] * count,
              "OFFSET": list(offset) if isinstance(offset, list) else [int(offset)] * count,
              "GEN_SCALE": float(gen_scale), "UNITS": ["V"] * count}
    if analog_format:
        analog["FORMAT"] = analog_format
    groups = [("POINT", {"USED": markers, "SCALE": point_scale, "RATE": rate / ratio,
                         "FRAMES": frames, "DATA_START": 0, "LABELS": ["M1", "M2"]}),
              ("ANALOG", analog)]
    blocks = 1
    while True:
        records = []
        for gid, (group, params) in enumerate(groups, 1):
            records.append((struct.pack("<bb", len(group), -gid) + group.encode(), b"\x00"))
            params["DATA_START"] = 2 + blocks if group == "POINT" else None
            records += [_record(p, gid, v, dec) for p, v in params.items() if v is not None]
        section = b"".join(head + struct.pack("<h", 0 if i == len(records) - 1 else 2 + len(body))
                           + body for i, (head, body) in enumerate(records))
        if 4 + len(section) <= 512 * blocks:
            break
        blocks += 1
    header = bytearray(512)
    header[0:2] = bytes([2, 0x50])
    struct.pack_into("<5h", header, 2, markers, count * ratio, 1, frames, 0)
    header[12:16] = _float_bytes([point_scale], dec)
    struct.pack_into("<2h", header, 16, 2 + blocks, ratio)
    header[20:24] = _float_bytes([rate / ratio], dec)
    out = [bytes(header), (bytes([1, 0x50, blocks, 85 if dec else 84]) + section).ljust(512 * blocks, b"\0")]
    points = np.random.default_rng(2).uniform(-100, 100, (frames, markers * 4))
    for f in range(frames):
        words = stored[:, f * ratio:(f + 1) * ratio].T.ravel()
        if integer:
            out.append(np.rint(points[f] / 0.1).astype("<i2").tobytes() + words.astype("<i2").tobytes())
        else:
            out.append(_float_bytes(points[f], dec) + _float_bytes(words, dec))
    with open(str(path), "wb") as f:
        f.write(b"".join(out))
    return str(path)


def process_defaults(trial):
    """Process every channel with the window's defaults through the scripting object."""
    names = trial.channel_names
    quorvaemg.processsignal(Root(), selection(*[1] * len(names)), choices(names),
                            NexusStandIn(trial), trial.device_id, trial.output_id, len(names),
                            1, 1, 1, 1, 1, "20", "2", "200", "2", "100", 0)


def assert_unchanged_except(before, after, changed):
    """Both files read the same everywhere but in the analog channels at ``changed``."""
    a, b = ezc3d.c3d(before), ezc3d.c3d(after)
    raw_a, raw_b = contents(before), contents(after)
    start = 512 * (a.c3d_swig.header().dataStart() - 1)
    assert len(raw_a) == len(raw_b) and raw_a[:start] == raw_b[:start]
    pa, pb = a["parameters"], b["parameters"]
    assert list(pa.keys()) == list(pb.keys())
    for group in pa:
        assert list(pa[group].keys()) == list(pb[group].keys())
        for name, param in pa[group].items():
            if name != "__METADATA__":
                assert param["type"] == pb[group][name]["type"]
                assert np.array_equal(np.asarray(param["value"]), np.asarray(pb[group][name]["value"]))
    for part in ("points", "analogs", "events"):
        assert a["header"][part] == b["header"][part]
    assert np.array_equal(a["data"]["points"], b["data"]["points"], equal_nan=True)
    for part in ("residuals", "camera_masks"):
        assert np.array_equal(a["data"]["meta_points"][part], b["data"]["meta_points"][part])
    kept = [k for k in range(a["data"]["analogs"].shape[1]) if k not in changed]
    assert np.array_equal(a["data"]["analogs"][:, kept], b["data"]["analogs"][:, kept])


def contents(path):
    with open(path, "rb") as f:
        return f.read()


def listing(folder):
    return sorted(os.listdir(str(folder)))


# -- loading --------------------------------------------------------------------

@pytest.mark.parametrize("rate, count, subjects, first_frame", [
    (1000.0, 1, ("S01 ", "S02"), 1),
    (2000.0, 4, (), 50),
])
def test_load_gives_names_rates_subject_events_and_samples(tmp_path, rate, count, subjects,
                                                           first_frame):
    data = emg(count, int(rate))
    labels = ["LTA", "RTA", "LGAS", "RGAS"][:count]
    events = [("Left", "Foot Strike", 130, ""), ("Left", "Foot Strike", 62, "S01"),
              ("Right", "Foot Off", 6101, ""), ("Left", "Foot Off", 90, "S02"),
              ("General", "Foot Strike", 70, ""), ("Right", "Event", 80, "")]
    path = write_c3d(tmp_path / "Walk01.c3d", data, labels, rate=rate, subjects=subjects,
                     events=events if subjects else (), first_frame=first_frame)

    trial = load_trial(path)
    assert (trial.folder, trial.name) == (str(tmp_path) + os.sep, "Walk01")
    assert trial.subject == ("S01" if subjects else "Walk01")
    assert trial.channel_names == labels and trial.analog_indices == list(range(count))
    assert (trial.device_rate, trial.frame_rate) == (rate, 100.0)
    assert trial.source_path == path and trial.first_frame == first_frame
    for k in range(count):
        assert trial.samples[k].dtype == np.float64
        assert np.array_equal(trial.samples[k], data[k].astype(np.float32))
    if subjects:  # frames count from capture start; another subject's and other events left out
        assert trial.events == {("Left", "Foot Strike"): [62, 130], ("Right", "Foot Off"): [6101]}
    else:
        assert trial.events == {}


@pytest.mark.parametrize("pattern, kept", [
    (None, ["LTA", "RTA", "LGAS", "RGAS", "Force.Fz"]),
    ("TA", ["LTA", "RTA"]),
    ("L*", ["LTA", "LGAS"]),
    ("?GAS", ["LGAS", "RGAS"]),
    ("[R]*", ["RTA", "RGAS"]),
    ("gas", []),  # case-sensitive
    ("*TA*S", []),
])
def test_channel_pattern_keeps_matching_channels_in_file_order(pattern, kept):
    labels = ["LTA", "RTA", "LGAS", "RGAS", "Force.Fz"]
    assert [labels[k] for k in select_channels(labels, pattern)] == kept


def test_load_with_pattern_and_errors(tmp_path):
    data = emg(3, 500)
    path = write_c3d(tmp_path / "t.c3d", data, ["LTA", "Fz", "RTA"])
    trial = load_trial(path, channels="TA")
    assert trial.channel_names == ["LTA", "RTA"] and trial.analog_indices == [0, 2]
    assert np.array_equal(trial.samples[1], data[2].astype(np.float32))
    with pytest.raises(ValueError, match=r"no analog channel .* matches 'EMG'.*LTA, Fz, RTA"):
        load_trial(path, channels="EMG")
    (tmp_path / "notes.c3d").write_text("not a c3d file")
    with pytest.raises(ValueError, match="not a readable C3D file"):
        load_trial(str(tmp_path / "notes.c3d"))
    stored = np.array([[40000, 7] * 50], dtype=np.uint16).view(np.int16)  # as the file keeps them
    unsigned = raw_c3d(tmp_path / "u.c3d", stored, ["X"], integer=True, analog_format="UNSIGNED")
    assert load_trial(unsigned).samples[0][:2].tolist() == [40000.0, 7.0]


def test_load_real_recording():
    trial = load_trial(REAL, channels="EMG")
    assert trial.subject == "boite" and trial.name == "real_emg_2000hz"
    assert (trial.device_rate, trial.frame_rate, trial.first_frame) == (2000.0, 100.0, 1)
    assert trial.channel_names[:3] == ["Delt_ant.EMG1", "Infra.EMG10", "Subscap.EMG11"]
    assert all("EMG" in name for name in trial.channel_names)
    assert all(len(s) == 11600 for s in trial.samples) and trial.events == {}


# -- processing and writing back --------------------------------------------------

def _synthetic(tmp_path, rate):
    events = [("Left", "Foot Strike", 12, ""), ("Right", "Foot Off", 40, "")] if rate == 1000 else ()
    return write_c3d(tmp_path / "Walk.c3d", emg(4, 3 * int(rate)), ["LTA", "Fz", "RTA", "LGAS"],
                     rate=rate, subjects=("S01",), events=events), "TA"


@pytest.mark.parametrize("source", ["1000", "2000", "real"])
def test_processed_channels_match_numpy_and_nothing_else_changes(tmp_path, reference, source):
    path, pattern = (REAL, "EMG") if source == "real" else _synthetic(tmp_path, float(source))
    trial = load_trial(path, channels=pattern)
    raw = [s.copy() for s in trial.samples]
    process_defaults(trial)
    saved = save_trial(trial, out_path=str(tmp_path / "out.c3d"))

    assert saved == str(tmp_path / "out.c3d")
    back = ezc3d.c3d(saved)["data"]["analogs"][0]
    for k, index in enumerate(trial.analog_indices):  # float32 is the file's storage type
        assert np.array_equal(back[index].astype(np.float32), reference(raw[k]).astype(np.float32))
    assert_unchanged_except(path, saved, trial.analog_indices)
    assert load_trial(saved).events == load_trial(path).events


def test_default_name_and_unchanged_channels_kept_byte_for_byte(tmp_path):
    path, _ = _synthetic(tmp_path, 1000.0)
    trial = load_trial(path)
    assert save_trial(trial) == str(tmp_path / "Walk_processed.c3d")
    assert contents(path) == contents(str(tmp_path / "Walk_processed.c3d"))
    trial.samples[2] = trial.samples[2] * 2
    assert_unchanged_except(path, save_trial(trial), [2])


@pytest.mark.parametrize("in_place", [False, True])
def test_length_mismatch_refused_before_writing(tmp_path, in_place):
    path, _ = _synthetic(tmp_path, 1000.0)
    trial = load_trial(path)
    trial.samples[1] = trial.samples[1] * 0.5  # a changed channel that would be written
    trial.samples[3] = np.zeros(4000)
    before, files = contents(path), listing(tmp_path)
    with pytest.raises(ValueError) as caught:
        save_trial(trial, in_place=in_place)
    assert str(caught.value) == "channel LGAS: 4000 processed samples for 3000 in the file; nothing written"
    assert listing(tmp_path) == files and contents(path) == before


@pytest.mark.parametrize("given, halved", [((), ()), ((1,), (1,)), ((0, 2), (2,))])
def test_save_decodes_only_the_channels_given_new_samples(tmp_path, monkeypatch, given, halved):
    from quorvaemg_host.nexus import NexusStandIn as Nexus

    path, _ = _synthetic(tmp_path, 1000.0)
    trial = load_trial(path)
    vicon = Nexus(trial)
    for k in given:  # the same values again, or half of them
        samples = trial.samples[k] * (0.5 if k in halved else 1.0)
        vicon.SetDeviceChannel(trial.device_id, trial.output_id, k + 1, samples)
    decoded, decode = [], trial.layout.decode
    monkeypatch.setattr(trial.layout, "decode",
                        lambda stored, index: decoded.append(index) or decode(stored, index))
    saved = save_trial(trial)
    changed = [trial.analog_indices[k] for k in halved]
    assert set(decoded) <= set(changed)
    assert_unchanged_except(path, saved, changed)
    assert (contents(saved) == contents(path)) == (not halved)
    untouched = next(k for k in range(len(trial.samples)) if k not in given)
    with pytest.raises(ValueError, match="read-only"):  # never a change the save leaves out
        trial.samples[untouched][0] += 1.0


@pytest.mark.parametrize("in_place", [False, True])
def test_failed_write_leaves_original_and_no_temporary(tmp_path, monkeypatch, in_place):
    path, _ = _synthetic(tmp_path, 1000.0)
    trial = load_trial(path)
    process_defaults(trial)
    before, files = contents(path), listing(tmp_path)

    def half_then_fail(target, data):
        target.write(bytes(data[:len(data) // 2]))
        raise OSError("disk full")

    monkeypatch.setattr(trialfile, "_write_piece", half_then_fail)
    with pytest.raises(OSError, match="disk full"):
        save_trial(trial, in_place=in_place)
    assert listing(tmp_path) == files and contents(path) == before

    monkeypatch.undo()
    assert save_trial(trial, in_place=in_place) == (path if in_place else str(tmp_path / "Walk_processed.c3d"))
    assert len(listing(tmp_path)) == len(files) + (0 if in_place else 1)
    saved = path if in_place else str(tmp_path / "Walk_processed.c3d")
    assert np.array_equal(ezc3d.c3d(saved)["data"]["analogs"][0, 0], trial.samples[0].astype(np.float32))


def test_integer_file_keeps_its_storage_and_quantises_to_its_step(tmp_path):
    scale, gen, offset = 2.0 ** -10, 0.5, 3  # exact in the file's float32 parameters
    stored = np.random.default_rng(4).integers(-2000, 2000, (2, 300)).astype(np.int16)
    path = raw_c3d(tmp_path / "int.c3d", stored, ["LTA", "RTA"], integer=True,
                   scale=scale, offset=offset, gen_scale=gen)
    trial = load_trial(path)
    assert np.array_equal(trial.samples[0], (stored[0] - offset) * scale * gen)
    processed = np.abs(trial.samples[0] - trial.samples[0].mean()) + 0.1234
    trial.samples[0] = processed.copy()
    saved = save_trial(trial)

    assert_unchanged_except(path, saved, [0])
    back = ezc3d.c3d(saved)["data"]["analogs"][0, 0]
    steps = back / (scale * gen) + offset
    assert np.allclose(steps, np.rint(steps), rtol=0, atol=1e-6)  # still whole stored units
    assert np.max(np.abs(back - processed)) <= scale * gen / 2 + 1e-12

    trial.samples[0] = processed * 1000  # beyond 16 bits at this step
    os.remove(saved)
    files = listing(tmp_path)
    with pytest.raises(ValueError, match="channel LTA: .*16-bit"):
        save_trial(trial)
    assert listing(tmp_path) == files


def test_dec_float_file_round_trips_as_float32(tmp_path):
    values = emg(2, 400)
    path = raw_c3d(tmp_path / "dec.c3d", values, ["LTA", "RTA"], dec=True)
    trial = load_trial(path)
    assert np.array_equal(trial.samples[1], values[1].astype(np.float32))
    trial.samples[1] = np.sqrt(trial.samples[1]) - 0.3  # negative and positive values
    saved = save_trial(trial)
    assert_unchanged_except(path, saved, [1])
    back = ezc3d.c3d(saved)["data"]["analogs"][0, 1]
    assert np.array_equal(back.astype(np.float32), trial.samples[1].astype(np.float32))


# -- the file's own reading, damage, checks on writing and parallel runs -----------

def _stored_forms(tmp_path):
    """One file of each storage the reader decodes: (path, float32 values it holds)."""
    values = emg(3, 600)
    ints = np.random.default_rng(5).integers(-3000, 3000, (2, 600))
    return {"float": write_c3d(tmp_path / "f.c3d", values, ["A", "B", "C"], rate=2000.0),
            "dec": raw_c3d(tmp_path / "d.c3d", values, ["A", "B", "C"], dec=True),
            "int": raw_c3d(tmp_path / "i.c3d", ints, ["A", "B"], integer=True,
                           scale=2.0 ** -10, offset=-7, gen_scale=0.5),
            "real": REAL}


@pytest.mark.parametrize("form", ["float", "dec", "int", "real"])
def test_samples_read_as_ezc3d_reads_them(tmp_path, form):
    path = _stored_forms(tmp_path)[form]
    trial, model = load_trial(path), ezc3d.c3d(path)
    assert np.array_equal(np.array(trial.samples), model["data"]["analogs"][0])
    assert trial.device_rate == model["header"]["analogs"]["frame_rate"]


def _cut(source, folder, keep):
    """A copy of ``source`` holding its first ``keep`` bytes, or ``keep`` of its bytes."""
    data = contents(source)
    path = os.path.join(str(folder), "Cut_" + os.path.basename(source))
    with open(path, "wb") as f:
        f.write(keep(data) if callable(keep) else data[:keep])
    return path


def _first_parameter_points_back(data):
    record = 512 * (data[0] - 1) + 4
    at = record + 2 + abs(struct.unpack_from("<b", data, record)[0])  # its offset to the next
    return data[:at] + struct.pack("<h", -6) + data[at + 2:]


@pytest.mark.parametrize("source, keep, damage", [
    ("written", 1536 + 299 * 208 + 100, "it declares 300 frames, holds 299"),
    ("written", 5000, "it declares 300 frames, holds 16"),
    ("written", 700, "its parameter section is cut short"),
    ("written", 100, "its header is cut short"),
    ("written", _first_parameter_points_back,
     "its parameters cannot be read: a parameter points back to an earlier one"),
    ("real", 100_000, "it declares 580 frames, holds 22"),
])
def test_damaged_file_refused_and_nothing_written(tmp_path, capsys, source, keep, damage):
    from quorvaemg_host import cli

    original = REAL if source == "real" else _synthetic(tmp_path, 1000.0)[0]
    path = _cut(original, tmp_path, keep)
    files = listing(tmp_path)
    with pytest.raises(ValueError) as caught:
        load_trial(path)
    assert str(caught.value).startswith(f"{path}: damaged C3D file ({damage}), ")
    assert cli.main([path, "--process"]) == 1
    assert damage in capsys.readouterr().out and listing(tmp_path) == files


@pytest.mark.parametrize("mishap, error", [
    ("source changed", "changed after the trial was read"),
    ("write corrupted", "read back wrong"),
])
def test_mishaps_on_saving_leave_no_file(tmp_path, monkeypatch, mishap, error):
    path, _ = _synthetic(tmp_path, 1000.0)
    trial = load_trial(path)
    process_defaults(trial)
    pieces = []

    def corrupt_data_block(target, data):
        piece = bytearray(data)
        if pieces:  # after the header and parameters: the last word is LGAS's, processed
            piece[-1] ^= 0xFF
        pieces.append(piece)
        target.write(piece)

    if mishap == "source changed":
        os.utime(path, ns=(0, 0))
    else:
        monkeypatch.setattr(trialfile, "_write_piece", corrupt_data_block)
    files = listing(tmp_path)
    with pytest.raises((ValueError, RuntimeError), match=error):
        save_trial(trial)
    assert listing(tmp_path) == files


def test_jobs_give_the_output_and_files_of_one_job(tmp_path, capsys):
    from quorvaemg_host import cli

    first = _synthetic(tmp_path, 2000.0)[0]
    names = [first, _cut(first, tmp_path, 64000), shutil.copy(first, str(tmp_path / "W2.c3d")),
             write_c3d(tmp_path / "W3.c3d", emg(2, 1000), ["A", "B"])]
    runs = []
    for jobs in ("1", "2"):
        code = cli.main(names + ["--process", "--jobs", jobs])
        runs.append((code, capsys.readouterr().out,
                     {n: contents(str(tmp_path / n)) for n in listing(tmp_path) if "_processed" in n}))
        for name in runs[-1][2]:
            os.remove(str(tmp_path / name))
    assert runs[0] == runs[1] and runs[0][0] == 1 and len(runs[0][2]) == 3
    assert runs[0][1].count("warning: ") == 1 and "declares 300 frames, holds 169)" in runs[0][1]
    for bad in (["--jobs", "0"], ["--jobs", "2"]):  # no process, or the window
        assert cli.main([names[0]] + bad) == 2


# -- cutoff warning -------------------------------------------------------------

@pytest.mark.parametrize("rate, high, low, expected", [
    (1000, 20, 200, None),
    (2000, 20, 200, ["device rate is 2000 Hz", "assumes 1000 Hz", "twice",
                     "low-pass 200 Hz -> 400 Hz", "high-pass 20 Hz -> 40 Hz", "x 2000 / 1000"]),
    (500, 20, 200, ["half", "low-pass 200 Hz -> 100 Hz", "high-pass 20 Hz -> 10 Hz"]),
    (1500, "10", "300", ["1.5 times", "low-pass 300 Hz -> 450 Hz", "high-pass 10 Hz -> 15 Hz"]),
])
def test_effective_cutoffs_warning(rate, high, low, expected):
    line = effective_cutoffs_warning(rate, high, low)
    if expected is None:
        assert line is None
    else:
        assert line.startswith("warning: ") and "\n" not in line
        for part in expected:
            assert part in line


def test_effective_cutoffs_warning_for_a_trial():
    assert "-> 400 Hz" in effective_cutoffs_warning(load_trial(REAL, channels="EMG1"))
