"""In-memory stand-in for the Nexus 2 scripting object (``vicon``).

It holds one ``Trial`` and answers the operations the plug-in calls, with the
result shapes Nexus gives, plus the few queries a pipeline script uses to find
the EMG device.  Bad identifiers raise ``NexusError`` as Nexus raises on them.
"""

import numbers

import numpy as np

from quorvaemg_gait.trial import EVENTS, SIDES

DEVICE_TYPE = "Other"
OUTPUT_TYPE = "Devices"


class NexusError(RuntimeError):
    """A request the scripting object cannot serve (unknown ID, name, channel...)."""


def _is_int(value):
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


class NexusStandIn:
    """The scripting object over one open trial.

    ``written`` collects the channel numbers that ``SetDeviceChannel`` replaced;
    ``calls`` lists the names of the operations called, in order.
    """

    def __init__(self, trial):
        self.trial = trial
        self.written = set()
        self.calls = []

    # -- checks ------------------------------------------------------------

    def _check_device(self, deviceID):
        if not _is_int(deviceID) or deviceID != self.trial.device_id:
            raise NexusError(f"Unknown device ID: {deviceID!r}")

    def _check_output(self, deviceID, outputID):
        self._check_device(deviceID)
        if not _is_int(outputID) or outputID != self.trial.output_id:
            raise NexusError(f"Unknown output ID {outputID!r} for device {deviceID!r}")

    def _check_channel(self, deviceID, outputID, channel):
        self._check_output(deviceID, outputID)
        count = len(self.trial.channel_names)
        if not _is_int(channel) or not 1 <= channel <= count:
            raise NexusError(f"Channel {channel!r} out of range 1..{count}")
        return int(channel) - 1

    def _check_subject(self, subject):
        if subject != self.trial.subject:
            raise NexusError(f"Unknown subject: {subject!r}")

    # -- the operations the plug-in uses ----------------------------------

    def GetTrialName(self):
        self.calls.append("GetTrialName")
        return (self.trial.folder, self.trial.name)

    def GetSubjectNames(self):
        self.calls.append("GetSubjectNames")
        return [self.trial.subject]

    def GetDeviceOutputDetails(self, deviceID, outputID):
        self.calls.append("GetDeviceOutputDetails")
        self._check_output(deviceID, outputID)
        names = list(self.trial.channel_names)
        return (self.trial.output_name, OUTPUT_TYPE, self.trial.unit, True,
                names, list(range(1, len(names) + 1)))

    def GetDeviceChannel(self, deviceID, outputID, channel):
        self.calls.append("GetDeviceChannel")
        k = self._check_channel(deviceID, outputID, channel)
        samples = self.trial.samples[k].tolist()
        return (samples, [True] * len(samples), self.trial.device_rate)

    def SetDeviceChannel(self, deviceID, outputID, channel, samples):
        self.calls.append("SetDeviceChannel")
        k = self._check_channel(deviceID, outputID, channel)
        try:
            values = np.array(samples, dtype=np.float64)
        except (TypeError, ValueError) as exc:
            raise NexusError(f"Samples for channel {k + 1} are not numbers: {exc}") from exc
        if values.ndim != 1:
            raise NexusError(f"Samples for channel {k + 1} must be one-dimensional")
        self.trial.samples[k] = values
        self.written.add(k + 1)

    def GetDeviceDetails(self, deviceID):
        self.calls.append("GetDeviceDetails")
        self._check_device(deviceID)
        return (self.trial.device_name, DEVICE_TYPE, self.trial.device_rate,
                [self.trial.output_id], None, None)

    def GetFrameRate(self):
        self.calls.append("GetFrameRate")
        return self.trial.frame_rate

    def GetEvents(self, subject, side, event):
        self.calls.append("GetEvents")
        self._check_subject(subject)
        if side not in SIDES and side != "General":
            raise NexusError(f"Unknown event context: {side!r}")
        if not isinstance(event, str):
            raise NexusError(f"Event type must be a string: {event!r}")
        frames = self.trial.event_frames(side, event)
        return (frames, [0.0] * len(frames))

    # -- queries a pipeline script uses to find the device -----------------

    def GetDeviceIDs(self):
        return [self.trial.device_id]

    def GetDeviceNames(self):
        return [self.trial.device_name]

    def GetDeviceIDFromName(self, name):
        if name != self.trial.device_name:
            raise NexusError(f"No device named {name!r}")
        return self.trial.device_id

    def GetDeviceOutputIDFromName(self, deviceID, name):
        self._check_device(deviceID)
        if name != self.trial.output_name:
            raise NexusError(f"No output named {name!r} on device {deviceID!r}")
        return self.trial.output_id

    def GetFrameCount(self):
        """Trial length in frames, from the EMG device's sample count."""
        if not self.trial.samples:
            return 0
        per_frame = self.trial.device_rate / self.trial.frame_rate
        return int(len(self.trial.samples[0]) // per_frame)


__all__ = ["EVENTS", "SIDES", "NexusError", "NexusStandIn"]
