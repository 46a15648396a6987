"""In-memory stand-ins for what a Nexus pipeline script hands to quorvaemg.

FakeNexus plays the Nexus scripting object: the eight operations the module
uses, each recorded in ``calls`` as ``(name, args)`` in the order they were
made.  Any operation's result can be replaced through ``results``: a value is
returned as is (so a tuple of the wrong size can be served), an exception
instance is raised, and a callable is called with the operation's arguments.

Var stands in for a Tk IntVar/StringVar and Root for the Tk root window, so
the processing functions can be driven without a display.
"""

OPERATIONS = (
    "GetTrialName",
    "GetSubjectNames",
    "GetDeviceOutputDetails",
    "GetDeviceChannel",
    "SetDeviceChannel",
    "GetDeviceDetails",
    "GetFrameRate",
    "GetEvents",
)

_UNSET = object()


class FakeNexus:
    """One trial with one EMG device output of named channels."""

    def __init__(self, channels=(), names=None, folder="", trial="Walk01",
                 subjects=("S01",), rate=1000.0, frame_rate=100.0, events=None,
                 device_name="EMG Device"):
        self.channels = [list(samples) for samples in channels]
        if names is None:
            names = ["EMG%d" % (k + 1) for k in range(len(self.channels))]
        self.names = list(names)
        self.folder = folder
        self.trial = trial
        self.subjects = list(subjects)
        self.rate = rate
        self.frame_rate = frame_rate
        self.events = dict(events or {})
        self.device_name = device_name
        self.results = {}
        self.calls = []
        self.written = {}

    # -- recording ---------------------------------------------------------
    def names_called(self):
        return [name for name, _ in self.calls]

    def calls_to(self, name):
        return [args for called, args in self.calls if called == name]

    def _answer(self, name, args, default):
        self.calls.append((name, args))
        result = self.results.get(name, _UNSET)
        if result is _UNSET:
            return default()
        if isinstance(result, BaseException):
            raise result
        if callable(result):
            return result(*args)
        return result

    # -- the scripting operations ------------------------------------------
    def GetTrialName(self):
        return self._answer("GetTrialName", (), lambda: (self.folder, self.trial))

    def GetSubjectNames(self):
        return self._answer("GetSubjectNames", (), lambda: list(self.subjects))

    def GetDeviceOutputDetails(self, deviceID, outputID):
        return self._answer(
            "GetDeviceOutputDetails", (deviceID, outputID),
            lambda: ("EMG", "Devices", "V", True, list(self.names),
                     list(range(1, len(self.names) + 1))))

    def GetDeviceChannel(self, deviceID, outputID, channelID):
        def default():
            samples = list(self.channels[channelID - 1])
            return samples, [True] * len(samples), self.rate
        return self._answer("GetDeviceChannel", (deviceID, outputID, channelID), default)

    def SetDeviceChannel(self, deviceID, outputID, channelID, data):
        def default():
            self.written[channelID] = data
        return self._answer("SetDeviceChannel", (deviceID, outputID, channelID, data), default)

    def GetDeviceDetails(self, deviceID):
        return self._answer(
            "GetDeviceDetails", (deviceID,),
            lambda: (self.device_name, "Other", self.rate, [1], [], ""))

    def GetFrameRate(self):
        return self._answer("GetFrameRate", (), lambda: self.frame_rate)

    def GetEvents(self, subject, context, event):
        return self._answer(
            "GetEvents", (subject, context, event),
            lambda: (list(self.events.get((context, event), [])), []))


class Var:
    """Tk variable stand-in; ``reads`` counts the get() calls."""

    def __init__(self, value=None):
        self.value = value
        self.reads = 0

    def get(self):
        self.reads += 1
        return self.value

    def set(self, value):
        self.value = value


class Root:
    """Tk root window stand-in; ``destroyed`` counts destroy() calls."""

    def __init__(self):
        self.destroyed = 0

    def destroy(self):
        self.destroyed += 1


def selection(*ticks):
    """Selection variables, e.g. selection(1, 0, 1)."""
    return [Var(t) for t in ticks]


def choices(names):
    """The default output choices: each channel sent to itself."""
    return [Var("%d - %s" % (k + 1, name)) for k, name in enumerate(names)]
