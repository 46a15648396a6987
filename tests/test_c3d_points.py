"""Markers and force plates of C3D files, read as ezc3d reads them; big-endian files
as their Intel twins."""

import numpy as np
import pytest
from conftest import ezc3d, needs_c3d
from test_c3d_conformance import SAMPLES, name, twin
from test_host_c3d import emg, write_c3d

from quorvaemg_host.c3d_plates import force_plates
from quorvaemg_host.c3d_points import load_points


@needs_c3d
@pytest.mark.parametrize("path", SAMPLES, ids=name)
def test_points_read_as_ezc3d_reads_them(path):
    points = load_points(path)
    model = ezc3d.c3d(twin(path))
    point = model["parameters"]["POINT"]
    xyz = model["data"]["points"][:3]
    residuals = model["data"]["meta_points"]["residuals"][0]
    assert points.labels == [str(s).rstrip() for s in point["LABELS"]["value"]][:xyz.shape[1]]
    assert points.unit == (list(point["UNITS"]["value"]) or [""])[0].strip()
    assert points.rate == point["RATE"]["value"][0]
    assert len(points.labels) == xyz.shape[1]
    for k, label in enumerate(points.labels):
        np.testing.assert_array_equal(points.xyz[label], xyz[:, k].T)  # NaN where ezc3d's are
        np.testing.assert_array_equal(points.residuals[label], residuals[k])
        gap = (residuals[k] < 0) | np.all(xyz[:, k] == 0, axis=0) | np.isnan(xyz[:, k]).any(axis=0)
        np.testing.assert_array_equal(points.valid[label], ~gap)


@needs_c3d
@pytest.mark.parametrize("path", SAMPLES, ids=name)
def test_force_plates_as_ezc3d_gives_them(path):
    found = force_plates(path)
    model = ezc3d.c3d(twin(path))
    group = model["parameters"].get("FORCE_PLATFORM", {})
    used = int(group["USED"]["value"][0]) if "USED" in group else 0
    assert [p.number for p in found.plates] == list(range(1, used + 1)) and not found.notes
    analogs = model["data"]["analogs"][0]
    for plate in found.plates:
        k = plate.number - 1
        channels = group["CHANNEL"]["value"][:, k]
        assert plate.type == group["TYPE"]["value"][k]
        assert plate.channels == list(channels)
        np.testing.assert_array_equal(plate.corners, group["CORNERS"]["value"][:, :, k].T)
        np.testing.assert_array_equal(plate.origin, group["ORIGIN"]["value"][:, k])
        vertical = analogs[channels[4:8] - 1].sum(axis=0) if plate.type == 3 \
            else analogs[channels[2] - 1]
        np.testing.assert_array_equal(plate.fz, -vertical if plate.flipped else vertical)
        assert np.mean(np.sort(plate.fz)[-10:]) > 0  # contact is positive


@needs_c3d
def test_zero_gaps_unknown_plate_types_and_bad_channels(tmp_path):
    path = write_c3d(tmp_path / "t.c3d", emg(8, 1000), [f"A{k}" for k in range(8)])
    model = ezc3d.c3d(path)
    model["data"]["points"][:3, 1, 5:9] = 0  # a system marking a gap with zeros
    model["data"]["points"][:3, 2, 0] = np.nan
    group = "FORCE_PLATFORM"
    model.add_parameter(group, "USED", [4])
    model.add_parameter(group, "TYPE", [5, 3, 2])
    channels = np.array([[1, 2, 3, 4, 5, 6, 7, 8], [1, 2, 3, 4, 5, 6, 7, 8],
                         [1, 2, 30, 4, 5, 6, 0, 0]]).T
    model.add_parameter(group, "CHANNEL", channels.tolist())
    model.add_parameter(group, "CORNERS", np.zeros((3, 4, 3)).tolist())
    model.add_parameter(group, "ORIGIN", np.zeros((3, 3)).tolist())
    model.write(str(tmp_path / "g.c3d"))
    points = load_points(tmp_path / "g.c3d")
    assert list(np.flatnonzero(~points.valid["M2"])) == [5, 6, 7, 8]
    assert not points.valid["M3"][0] and np.isnan(points.xyz["M3"][0]).all()
    found = force_plates(tmp_path / "g.c3d")
    assert [p.number for p in found.plates] == [2]
    assert found.notes[:2] == ["FORCE_PLATFORM:USED is 4, its TYPE names 3: 3 read",
                               "force plate 1: type 5 skipped (types 1 to 4 are read)"]
    assert found.notes[2].startswith("force plate 3: its vertical force channels [30]")
    assert force_plates(path).plates == [] and force_plates(path).notes == []
