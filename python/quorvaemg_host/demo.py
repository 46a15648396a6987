"""The bundled demo trial: ten seconds of level walking, twelve EMG channels;
and, made the same way, trials of generated control subjects and patients.

Everything is synthesised from fixed seeds, so every call gives the same
trial.  Per channel: band-limited noise whose amplitude follows the muscle's
activation pattern over the gait cycle, plus an electrode DC offset, 50 Hz
mains hum and a slow baseline drift; values are in volts.  Left and right
foot-strike and foot-off events are given in Nexus frames and match the
bursts: the left cycle starts at each left foot strike, the right side runs
half a cycle later, and the foot leaves the ground at about 60 % of the cycle.
A patient's trial has some muscles' bursts moved along the cycle; each control
subject has its bursts timed a little apart from the pattern, its own way.
"""

import errno
import numbers
import os
import shutil
import tempfile

import numpy as np

from plotvane import write_atomically
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
TIMING_STREAM = 7  # tags the generator of a subject's burst timing, apart from its noise
# A subject's bursts against the noise floor: log-normal, SD 30 % between subjects.
STRENGTH_SPREAD = 0.3
# Generated control subjects: trials each, and the SD of their burst timing
# as a fraction of the cycle.
CONTROL_TRIALS = 2
CONTROL_SPREAD = 0.02

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


def _gait(rng, t, n_frames):
    """Per side (by its initial) the cycle phase and the burst gain at each sample,
    and the events: the right side runs half a cycle after the left."""
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
    return sides, events


def _channel(rng, t, envelope):
    """One channel's samples: EMG noise of RMS ``envelope`` with the electrode's
    DC offset, mains hum and a slow baseline drift."""
    emg = envelope * _emg_noise(rng, len(t))
    offset = rng.choice([-1.0, 1.0]) * rng.uniform(0.5e-4, 2.5e-4)
    hum_amp = rng.uniform(2e-5, 4e-5)
    hum_phase = rng.uniform(0.0, 2.0 * np.pi)
    hum = hum_amp * (np.sin(2.0 * np.pi * 50.0 * t + hum_phase)
                     + 0.2 * np.sin(2.0 * np.pi * 150.0 * t + 3.0 * hum_phase))
    drift = (rng.uniform(2e-5, 6e-5) * np.sin(2.0 * np.pi * rng.uniform(0.05, 0.15) * t
                                              + rng.uniform(0.0, 2.0 * np.pi))
             + rng.uniform(1e-5, 3e-5) * np.sin(2.0 * np.pi * rng.uniform(0.2, 0.4) * t
                                                + rng.uniform(0.0, 2.0 * np.pi)))
    return emg + offset + hum + drift


def _checked_shifts(shifts):
    """``shifts`` as {muscle: float}, refusing what is not a muscle of the demo or
    not a fraction of the cycle from -0.5 to 0.5."""
    checked = {}
    for muscle, fraction in (shifts or {}).items():
        if muscle not in ACTIVATION:
            raise ValueError(f"no muscle {muscle!r} in the demo trial; its muscles are "
                             + " ".join(ACTIVATION))
        try:
            value = float(fraction)
        except (TypeError, ValueError):
            value = float("nan")
        if not -0.5 <= value <= 0.5:  # also refuses NaN
            raise ValueError(f"the shift of {muscle} must be a fraction of the gait cycle "
                             f"from -0.5 to 0.5 (0.15 = 15 % later), not {fraction!r}")
        checked[muscle] = value
    return checked


def _timing(shifts, spread, timing_seed):
    """How far each muscle's bursts move, as a fraction of the cycle (``shifts``
    plus, with a ``spread``, the subject's own normal deviation from the
    pattern), and how strong they are against the electrode's noise (a
    subject's own too, with a ``spread``: skin and fat differ)."""
    try:
        spread = float(spread)
    except (TypeError, ValueError):
        spread = float("nan")
    if not 0.0 <= spread <= 0.5:
        raise ValueError(f"the timing spread must be from 0 to 0.5 of the gait cycle, "
                         f"not {spread!r}")
    moves = dict.fromkeys(ACTIVATION, 0.0)
    moves.update(_checked_shifts(shifts))
    strengths = dict.fromkeys(ACTIVATION, 1.0)
    if spread > 0.0:
        # A stream of its own: the subject's timing must not follow the trial's noise.
        rng = np.random.RandomState([int(timing_seed), TIMING_STREAM])
        for muscle in ACTIVATION:
            moves[muscle] += spread * rng.randn()
        for muscle in ACTIVATION:
            strengths[muscle] = float(np.exp(STRENGTH_SPREAD * rng.randn()))
    # A cycle later is the same pattern; within half a cycle the windows stay in
    # the reach of _activation.
    return {muscle: (move + 0.5) % 1.0 - 0.5 if abs(move) > 0.5 else move
            for muscle, move in moves.items()}, strengths


def _moved(windows, by):
    return tuple((start + by, end + by, gain) for start, end, gain in windows)


def demo_trial(folder, seed=SEED, subject=SUBJECT, name=TRIAL_NAME, shifts=None, spread=0.0,
               timing_seed=None):
    """Build a trial of the demo; ``folder`` is where Nexus would have the trial files.

    The defaults give the demo trial itself.  ``seed`` draws the noise, the
    burst gains and the cycle-to-cycle jitter (so the events too).
    ``shifts`` {muscle: fraction of the cycle}, e.g. {"TA": 0.15}, moves that
    muscle's bursts on both sides (later when positive), as in a patient.
    ``spread`` > 0 moves every muscle's bursts by a normal amount of SD
    ``spread`` of the cycle, drawn from ``timing_seed`` (default: ``seed``):
    the trials of one subject share one ``timing_seed``, each with its own
    ``seed``.  Bad shifts or spread are a ValueError.
    """
    moves, strengths = _timing(shifts, spread, seed if timing_seed is None else timing_seed)
    rng = np.random.RandomState(seed)
    n = int(DURATION * DEVICE_RATE + 0.5)
    n_frames = int(DURATION * FRAME_RATE + 0.5)
    t = np.arange(n) / DEVICE_RATE

    sides, events = _gait(rng, t, n_frames)
    samples = []
    for channel in CHANNELS:
        phase, gain = sides[channel[0]]
        muscle = channel[1:]
        windows = _moved(ACTIVATION[muscle], moves[muscle])
        envelope = RESTING_RMS + PEAK_RMS[muscle] * strengths[muscle] * gain * _activation(
            phase, windows)
        samples.append(_channel(rng, t, envelope))

    return Trial(folder=os.path.join(os.path.abspath(folder), ""), name=name,
                 subject=subject, channel_names=list(CHANNELS), samples=samples,
                 device_rate=DEVICE_RATE, frame_rate=FRAME_RATE, events=events,
                 device_name=DEVICE_NAME, output_name=OUTPUT_NAME)


def control_name(subject, trial):
    """(subject, trial name) of trial ``trial`` of control subject ``subject``, from 1."""
    return f"Control{subject:02d}", f"Control{subject:02d}_Walk{trial:02d}"


def _controls(subjects, trials, spread, folder):
    for what, count in (("control subjects", subjects), ("trials per subject", trials)):
        if isinstance(count, bool) or not isinstance(count, numbers.Integral) \
                or not 1 <= count <= 99:
            raise ValueError(f"the number of {what} must be a whole number from 1 to 99, "
                             f"not {count!r}")
    for number in range(1, int(subjects) + 1):
        subject_seed = SEED + 100 * number  # its trials' seeds follow, below the next subject's
        for take in range(1, int(trials) + 1):
            subject, name = control_name(number, take)
            yield demo_trial(folder, seed=subject_seed + take, subject=subject, name=name,
                             spread=spread, timing_seed=subject_seed)


def control_trials(subjects, trials=CONTROL_TRIALS, spread=CONTROL_SPREAD, folder=os.curdir):
    """The trials of ``subjects`` generated control subjects, ``trials`` each, as
    ``write_controls`` writes them, in memory: subject by subject, trial by trial.

    Each subject's bursts are timed its own way (SD ``spread`` of the cycle,
    the same in all its trials); each trial has its own noise, gains and
    cycle jitter.
    """
    return list(_controls(subjects, trials, spread, folder))


def _write_c3d(trial, folder):
    """Write ``trial`` as the C3D file ``folder``/NAME.c3d; return its path.

    Its EMG channels are the file's analog channels (float32 volts, described
    as channels of the trial's EMG device), with the subject and the
    foot-strike and foot-off events, so the file commands read it back as the
    trial.  The file has no markers.
    """
    import ezc3d

    from quorvaemg_host.c3d import event_time

    c3d = ezc3d.c3d()
    analog = c3d["parameters"]["ANALOG"]
    c3d["parameters"]["POINT"]["RATE"]["value"] = [trial.frame_rate]
    analog["RATE"]["value"] = [trial.device_rate]
    analog["LABELS"]["value"] = list(trial.channel_names)
    analog["DESCRIPTIONS"]["value"] = [f"{trial.device_name}::{name}"
                                       for name in trial.channel_names]
    analog["UNITS"]["value"] = list(trial.units)
    frames = len(trial.samples[0]) * int(trial.frame_rate) // int(trial.device_rate)
    c3d["data"]["points"] = np.zeros((4, 0, frames))
    c3d["data"]["analogs"] = np.array(trial.samples)[np.newaxis]
    c3d.add_parameter("SUBJECTS", "NAMES", [trial.subject])
    for (side, event), event_frames in sorted(trial.events.items()):
        for frame in event_frames:
            seconds = event_time(frame, trial.frame_rate)
            c3d.add_event([seconds // 60, seconds % 60], context=side, label=event,
                          subject=trial.subject)
    path = os.path.join(os.path.abspath(folder), trial.name + ".c3d")
    # ezc3d writes only to a path of its own choosing (it adds ".c3d" to any
    # other name), so the file is made in a scratch folder and then copied
    # whole into place: an interrupted run leaves no half-written trial.
    with tempfile.TemporaryDirectory() as scratch:
        made = os.path.join(scratch, trial.name + ".c3d")
        c3d.write(made)
        if not os.path.isfile(made):  # ezc3d gives no sign of a write that failed
            raise OSError(errno.EIO, f"cannot write {path}")
        with open(made, "rb") as source:
            write_atomically(path, lambda fh: shutil.copyfileobj(source, fh))
    return path


def write_demo_c3d(folder, shifts=None, **options):
    """Write the demo trial as the C3D file ``folder``/Walk01.c3d (subject
    Demo01); return its path.  ``shifts`` and the other keywords are
    ``demo_trial``'s: with shifts it is a patient's trial."""
    import ezc3d  # noqa: F401 - refused before anything is made

    os.makedirs(folder, exist_ok=True)
    return _write_c3d(demo_trial(folder, shifts=shifts, **options), folder)


def write_controls(folder, subjects, trials=CONTROL_TRIALS, spread=CONTROL_SPREAD):
    """Write the trials of ``control_trials`` as ``folder``/ControlNN_WalkMM.c3d,
    subject ControlNN; return their paths."""
    import ezc3d  # noqa: F401 - refused before anything is made

    os.makedirs(folder, exist_ok=True)
    # One trial in memory at a time: 99 subjects' would be some 200 MB.
    return [_write_c3d(trial, folder) for trial in _controls(subjects, trials, spread, folder)]
