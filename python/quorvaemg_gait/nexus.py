"""The gait calls of a Nexus pipeline script: ``read_trial``, ``report`` and
``quality_table``.

Every operation of the scripting object is called positionally, and its
result unpacked to the number of values Nexus documents, so that a result of
another size fails with Python's unpacking error; only the values used are
kept.  ``read_trial`` copies the open trial into a plain record, so a script
can keep the records of several trials of a session (Nexus holds one trial
open at a time) and hand them to ``report``, which pools them with the open
trial through the same analysis that ``quorvaemg-host gait`` runs on C3D
files.  Keep to Python 3.7.
"""

import operator

import numpy as np

from quorvaemg_gait import _core
from quorvaemg_gait.channels import select_channels
from quorvaemg_gait.envelope import frozen_items

SIDES = ("Left", "Right")
EVENTS = ("Foot Strike", "Foot Off")


def _channel_names(vicon, deviceID, outputID):
    _, _, _, _, names, _ = vicon.GetDeviceOutputDetails(deviceID, outputID)
    return list(names)


def _channel_samples(vicon, deviceID, outputID, number):
    samples, _, _ = vicon.GetDeviceChannel(deviceID, outputID, number)
    return samples


def _device_rate(vicon, deviceID):
    _, _, rate, _, _, _ = vicon.GetDeviceDetails(deviceID)
    return rate


def read_trial(vicon, deviceID, outputID):
    """The trial open in Nexus as a plain record (dict): folder, name, subject, frame_rate,
    device_rate, first_frame (1), channels, samples (float64 arrays) and events
    {(side, 'Foot Strike' | 'Foot Off'): frames}.  Keep it to pool the trial with
    others in report()."""
    folder, name = vicon.GetTrialName()
    subjects = list(vicon.GetSubjectNames())
    if not subjects:
        raise ValueError("the trial has no subject: events belong to a subject, "
                         "so a trial without one has no gait cycles")
    subject = subjects[0]
    names = _channel_names(vicon, deviceID, outputID)
    samples = [np.array(frozen_items(_channel_samples(vicon, deviceID, outputID, k + 1)),
                        "float64") for k in range(len(names))]
    events = {}
    for side in SIDES:
        for event in EVENTS:
            frames, _ = vicon.GetEvents(subject, side, event)
            events[(side, event)] = list(frames)
    return {"folder": folder, "name": name, "subject": subject,
            "frame_rate": vicon.GetFrameRate(), "device_rate": _device_rate(vicon, deviceID),
            "first_frame": 1,  # Nexus numbers the trial's frames from 1
            "channels": names, "samples": samples, "events": events}


def report(vicon, deviceID, outputID, *, trials=(), channels=None, muscles=None,
           normalise="none", envelope="linear", out=None, reference=None, pairs=None,
           synergies=None):
    """Gait-cycle EMG of the open trial pooled with `trials` (records from read_trial
    of other trials of the subject): writes <trial>_EMGGait.pdf, <trial>_EMGCycles.csv
    and <trial>_EMGActivity.csv into `out` (default: the trial's folder), prints
    what it wrote and returns the paths.  channels: a label pattern; muscles: a
    channel,side,muscle CSV file; normalise: none, peak or mvc:FILE; envelope:
    linear, rms:MS or as-is; reference: a lab reference file (quorvaemg-host reference
    build) to compare with, also writing <trial>_EMGCompare.csv; pairs: a muscle,muscle
    CSV file of the antagonists whose co-contraction is told; synergies: K, each side's
    muscle synergies for k = 1 ... K and its walk-DMC, also writing
    <trial>_EMGSynergies.csv."""
    every = [read_trial(vicon, deviceID, outputID)]
    every.extend(iter(trials))
    from quorvaemg_gait import gait  # the report writer's imports, only when one is made

    return gait.report(every, channels=channels, muscles=muscles, normalise=normalise,
                       envelope=envelope, out=out, reference=reference, pairs=pairs,
                       synergies=synergies)[1]


def _wanted(channels):
    """``channels`` of quality_table as the channel rule takes them: a list of
    names and 1-based numbers (numpy integers too), never one text."""
    if isinstance(channels, str):
        raise TypeError("channels must be a list of channel names or numbers, not a string")
    if channels is None:
        return None
    return [item if isinstance(item, str) or not hasattr(type(item), "__index__")
            or isinstance(item, bool) else operator.index(item) for item in channels]


def quality_table(vicon, deviceID, outputID, channels=None, **thresholds):
    """From a Nexus pipeline script: check the raw channels of the device output (all, or
    the names or 1-based numbers in `channels`), print the quality table on the console
    and return its rows (dicts of measures with 'channel', 'verdict' and 'reasons').
    Keyword arguments change thresholds as in check_channel."""
    every = _channel_names(vicon, deviceID, outputID)
    if not all(isinstance(name, str) for name in every):
        raise TypeError("the device output's channel names are not all text")
    rate = _device_rate(vicon, deviceID)
    _core._check_each([], rate, [], "the device rate", **thresholds)  # before any channel
    chosen = select_channels(every, _wanted(channels), "this output")
    names = [every[k] for k in chosen]
    samples = [_channel_samples(vicon, deviceID, outputID, k + 1) for k in chosen]
    results = _core._check_each(samples, rate, [f"channel '{name}'" for name in names],
                                "the device rate", **thresholds)
    for measures in results:
        if not isinstance(measures, dict):
            raise ValueError(measures)
    rows = [dict(channel=name, **measures) for name, measures in zip(names, results)]
    _, trial = vicon.GetTrialName()
    # print, so that the lines reach the console Nexus (or a host that rebinds
    # sys.stdout) shows, and nothing fails where sys.stdout is None (pythonw).
    print(_core.quality_text(str(trial), rate, names, results), end="")
    return rows
