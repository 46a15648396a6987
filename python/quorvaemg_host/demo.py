"""The bundled demo trial: ten seconds of level walking, twelve EMG channels.

Everything is synthesised from a fixed seed, so every call gives the same
trial.  Per channel: band-limited noise whose amplitude follows the muscle's
activation pattern over the gait cycle, plus an electrode DC offset, 50 Hz
mains hum and a slow baseline drift; values are in volts.  Left and right
foot-strike and foot-off events are given in Nexus frames and match the
bursts: the left cycle starts at each left foot strike, the right side runs
half a cycle later, and the foot leaves the ground at about 60 % of the cycle.
"""

import errno
import os

import numpy as np

from quorvaemg_gait.trial import Trial

SUBJECT = "Demo01"
TRIAL_NAME = "Walk01"
DEVICE_NAME = "Delsys EMG"
OUTPUT_NAME = "EMG"
CHANNELS = ("LTA", "RTA", "LGAS", "RGAS", "LSOL", "RSOL",
            "LRF", "RRF", "LVL", "RVL", "LHAM", "RHAM")

DEVICE_RATE = 1000.0  # samples per second
FRAME_RATE = 100.0  # frames per second
DURATION = 10.0  # seconds
CYCLE = 1.1  # mean gait-cycle duration, seconds
FOOT_OFF = 0.6  # foot off, as a fraction of the cycle
FIRST_LEFT_STRIKE = 0.35  # seconds, nominal; cycle-to-cycle jitter shifts it slightly
SEED = 20190712

# Activation windows per muscle: (start, end, relative gain), as fractions of
# the cycle with foot strike at 0.  Windows may run past 0 or 1 into the
# neighbouring cycle.
ACTIVATION = {
    "TA": ((-0.06, 0.14, 1.0), (0.56, 0.80, 0.7)),   # loading response; toe clearance
    "GAS": ((0.12, 0.52, 1.0),),                     # mid and terminal stance
    "SOL": ((0.06, 0.52, 1.0),),
    "RF": ((-0.04, 0.14, 0.7), (0.50, 0.66, 1.0)),   # loading; pre-swing
    "VL": ((-0.08, 0.22, 1.0),),                     # loading response
    "HAM": ((0.80, 1.10, 1.0),),                     # terminal swing into strike
}

# RMS amplitude of each muscle's burst at full activation, volts.
PEAK_RMS = {"TA": 2.6e-4, "GAS": 3.0e-4, "SOL": 2.2e-4, "RF": 1.4e-4,
            "VL": 2.4e-4, "HAM": 1.8e-4}
RESTING_RMS = 4e-6  # electrode and amplifier noise between bursts


def _strike_times(rng):
    """Left foot strikes, covering the trial with two cycles to spare each side."""
    times = [FIRST_LEFT_STRIKE - 2.0 * CYCLE]
    while times[-1] < DURATION + 2.0 * CYCLE:
        times.append(times[-1] + CYCLE * (1.0 + 0.02 * rng.randn()))
    return np.array(times)


def _phase(t, strikes):
    """Cycle index and fraction of the cycle (0 at the strike) for each time."""
    idx = np.searchsorted(strikes, t, side="right") - 1
    start = strikes[idx]
    return idx, (t - start) / (strikes[idx + 1] - start)


def _activation(phase, windows):
    env = np.zeros_like(phase)
    for shift in (-1.0, 0.0, 1.0):
        p = phase + shift
        for start, end, gain in windows:
            x = (p - start) / (end - start)
            inside = (x >= 0.0) & (x <= 1.0)
            env = np.where(inside, np.maximum(env, gain * np.sin(np.pi * x) ** 2), env)
    return env


def _emg_noise(rng, n):
    """Unit-variance noise with a surface-EMG spectrum (most power 50-150 Hz)."""
    spectrum = np.fft.rfft(rng.randn(n))
    f = np.fft.rfftfreq(n, 1.0 / DEVICE_RATE)
    lo, hi = 40.0, 150.0
    shape = (f / lo) ** 2 / (1.0 + (f / lo) ** 2) / (1.0 + (f / hi) ** 2)
    noise = np.fft.irfft(spectrum * shape, n)
    return noise / noise.std()


def _events(strikes, offs, n_frames):
    def frames(times):
        out = np.rint(np.asarray(times) * FRAME_RATE).astype(int).tolist()
        return [f for f in out if 1 <= f < n_frames]
    return frames(strikes), frames(offs)


def demo_trial(folder):
    """Build the demo trial; ``folder`` is where Nexus would have the trial files."""
    rng = np.random.RandomState(SEED)
    n = int(DURATION * DEVICE_RATE + 0.5)
    n_frames = int(DURATION * FRAME_RATE + 0.5)
    t = np.arange(n) / DEVICE_RATE

    left = _strike_times(rng)
    right = left[:-1] + 0.5 * np.diff(left)
    sides = {}
    events = {}
    for side, strikes in (("Left", left), ("Right", right)):
        offs = strikes[:-1] + (FOOT_OFF + 0.01 * rng.randn(len(strikes) - 1)) * np.diff(strikes)
        idx, phase = _phase(t, strikes)
        gains = np.clip(1.0 + 0.12 * rng.randn(len(strikes)), 0.7, 1.3)
        sides[side[0]] = (phase, gains[idx])
        fs, fo = _events(strikes, offs, n_frames)
        events[(side, "Foot Strike")] = fs
        events[(side, "Foot Off")] = fo

    samples = []
    for name in CHANNELS:
        phase, gain = sides[name[0]]
        muscle = name[1:]
        envelope = RESTING_RMS + PEAK_RMS[muscle] * gain * _activation(phase, ACTIVATION[muscle])
        emg = envelope * _emg_noise(rng, n)
        offset = rng.choice([-1.0, 1.0]) * rng.uniform(0.5e-4, 2.5e-4)
        hum_amp = rng.uniform(2e-5, 4e-5)
        hum_phase = rng.uniform(0.0, 2.0 * np.pi)
        hum = hum_amp * (np.sin(2.0 * np.pi * 50.0 * t + hum_phase)
                         + 0.2 * np.sin(2.0 * np.pi * 150.0 * t + 3.0 * hum_phase))
        drift = (rng.uniform(2e-5, 6e-5) * np.sin(2.0 * np.pi * rng.uniform(0.05, 0.15) * t
                                                  + rng.uniform(0.0, 2.0 * np.pi))
                 + rng.uniform(1e-5, 3e-5) * np.sin(2.0 * np.pi * rng.uniform(0.2, 0.4) * t
                                                    + rng.uniform(0.0, 2.0 * np.pi)))
        samples.append(emg + offset + hum + drift)

    return Trial(folder=os.path.join(os.path.abspath(folder), ""), name=TRIAL_NAME,
                 subject=SUBJECT, channel_names=list(CHANNELS), samples=samples,
                 device_rate=DEVICE_RATE, frame_rate=FRAME_RATE, events=events,
                 device_name=DEVICE_NAME, output_name=OUTPUT_NAME)


def write_demo_c3d(folder):
    """Write the demo trial as the C3D file ``folder``/Walk01.c3d; return its path.

    The twelve EMG channels are the file's analog channels (float32 volts,
    described as channels of the demo's EMG device), with the subject and
    the foot-strike and foot-off events, so the file commands read it back
    as the demo trial.  The file has no markers.
    """
    import ezc3d

    from quorvaemg_host.c3d import event_time

    os.makedirs(folder, exist_ok=True)
    trial = demo_trial(folder)
    c3d = ezc3d.c3d()
    analog = c3d["parameters"]["ANALOG"]
    c3d["parameters"]["POINT"]["RATE"]["value"] = [FRAME_RATE]
    analog["RATE"]["value"] = [DEVICE_RATE]
    analog["LABELS"]["value"] = list(CHANNELS)
    analog["DESCRIPTIONS"]["value"] = [f"{DEVICE_NAME}::{name}" for name in CHANNELS]
    analog["UNITS"]["value"] = [trial.unit] * len(CHANNELS)
    frames = len(trial.samples[0]) * int(FRAME_RATE) // int(DEVICE_RATE)
    c3d["data"]["points"] = np.zeros((4, 0, frames))
    c3d["data"]["analogs"] = np.array(trial.samples)[np.newaxis]
    c3d.add_parameter("SUBJECTS", "NAMES", [SUBJECT])
    for (side, event), event_frames in sorted(trial.events.items()):
        for frame in event_frames:
            seconds = event_time(frame, FRAME_RATE)
            c3d.add_event([seconds // 60, seconds % 60], context=side, label=event,
                          subject=SUBJECT)
    path = os.path.join(os.path.abspath(folder), TRIAL_NAME + ".c3d")
    c3d.write(path)
    if not os.path.isfile(path):  # ezc3d gives no sign of a write that failed
        raise OSError(errno.EIO, f"cannot write {path}")
    return path
