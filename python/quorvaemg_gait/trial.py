"""One trial as the stand-in scripting object holds it."""

import csv
import io
import locale

import numpy as np
from plotvane import write_atomically

SIDES = ("Left", "Right")
EVENTS = ("Foot Strike", "Foot Off")


class Trial:
    """A trial open in the stand-in host: one EMG device with one output.

    ``folder`` ends with a path separator, as Nexus gives it.  ``samples``
    holds one float64 array per channel, in channel order; float64 arrays
    given are held as they are, not copied, so a long recording is in memory
    once.  ``units`` gives each channel's unit (default: ``unit`` for every
    channel); ``unit`` is the output's, as Nexus reports one.  ``events`` maps
    (side, event), e.g. ("Left", "Foot Strike"), to Nexus frame numbers.
    """

    def __init__(self, folder, name, subject, channel_names, samples, device_rate,
                 frame_rate, events=None, device_name="EMG", device_id=1, output_id=1,
                 output_name="EMG", unit="V", units=None):
        if len(channel_names) != len(samples):
            raise ValueError(f"{len(channel_names)} channel names for {len(samples)} channels")
        self.folder = folder
        self.name = name
        self.subject = subject
        self.channel_names = list(channel_names)
        self.samples = [np.asarray(s, dtype=np.float64) for s in samples]
        self.device_rate = float(device_rate)
        self.frame_rate = float(frame_rate)
        self.events = {key: list(frames) for key, frames in (events or {}).items()}
        self.device_name = device_name
        self.device_id = device_id
        self.output_id = output_id
        self.output_name = output_name
        self.unit = unit
        self.units = list(units) if units is not None else [unit] * len(self.channel_names)
        if len(self.units) != len(self.channel_names):
            raise ValueError(f"{len(self.units)} units for {len(self.channel_names)} channels")

    def event_frames(self, side, event):
        return list(self.events.get((side, event), []))

    def write_csv(self, path):
        """Write the channels as columns under a header row of channel names.

        Values are written in full precision, so reading them back gives the
        same float64 numbers.  A channel shorter than the others leaves its
        remaining cells empty.
        """
        columns = [s.tolist() for s in self.samples]
        rows = max([len(c) for c in columns] + [0])

        def write(fh):  # whole or not at all, as every file the host writes
            text = io.TextIOWrapper(fh, encoding=locale.getpreferredencoding(False),
                                    newline="")
            writer = csv.writer(text)
            writer.writerow(self.channel_names)
            for i in range(rows):
                writer.writerow([repr(c[i]) if i < len(c) else "" for c in columns])
            text.flush()
            text.detach()  # the file stays open for write_atomically to sync
        write_atomically(path, write)
