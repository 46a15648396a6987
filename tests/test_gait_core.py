"""The numeric core of gait-cycle EMG, through quorvaemg_gait as the report code calls it."""

import concurrent.futures
import gc

import numpy as np
import pytest
import scipy.signal

import quorvaemg_gait as gait


@pytest.mark.parametrize("strikes, offs, length, kept, left_out", [
    ([10, 120, 230], [70, 180], 300, [(10, 120, 70), (120, 230, 180)], []),
    ([10, 230, 340], [70, 180, 290], 400, [(230, 340, 290)], ["several foot offs"]),
    ([10, 60, 120], [70], 300, [(60, 120, 70)], ["no foot off"]),
    ([10, 120], [50, 70], 300, [], ["several foot offs"]),
    ([10, 120], [], 300, [], ["no foot off"]),
    ([-5, 100, 210, 320], [50, 160, 270], 300, [(100, 210, 160)],
     ["outside the channel", "outside the channel"]),
    ([10, 120], [120], 300, [], ["no foot off"]),
    ([], [], 300, [], []),
], ids=["all kept", "missing strike", "extra strike", "two foot offs", "no foot off",
        "outside", "off on the strike", "no events"])
def test_cycles_kept_and_left_out(strikes, offs, length, kept, left_out):
    cycles, out = gait.find_cycles(strikes, offs, length)
    assert cycles.shape == (len(kept), 3)
    assert cycles.tolist() == [list(map(float, c)) for c in kept]
    assert [reason for *_, reason in out] == left_out


@pytest.mark.parametrize("rate", [1000.0, 2000.0])
def test_normalised_curves_match_numpy_interp(rate):
    rng = np.random.default_rng(int(rate))
    frames = 3 + np.cumsum(rng.uniform(60, 160, 8)).round()  # cycles of 0.6-1.6 s at 100 Hz
    strikes = gait.event_positions(frames, 3, rate, 100.0)
    assert np.array_equal(strikes, (frames - 3) * rate / 100.0)
    samples = rng.standard_normal(int(strikes[-1]) + 50).cumsum()
    samples[-10:] = np.nan  # no cycle reads them
    # Fractional positions too, as events of another frame rate give.
    cycles = np.column_stack([strikes[:-1] + 0.37, strikes[1:] - 0.21])
    curves = gait.normalise_cycles(samples, cycles, points=101)
    for curve, (p0, p1) in zip(curves, cycles):
        expected = np.interp(p0 + np.arange(101) * (p1 - p0) / 100, np.arange(len(samples)), samples)
        np.testing.assert_allclose(curve, expected, rtol=1e-12, atol=0)
    assert np.array_equal(gait.normalise_cycles(samples.tolist(), cycles.tolist()), curves)
    # A cycle on whole samples takes the samples themselves.
    assert np.array_equal(gait.normalise_cycles(samples, [[100, 200]], 101)[0], samples[100:201])


def test_statistics_and_sd_absent_with_one_cycle():
    curves = np.random.default_rng(1).standard_normal((7, 101))
    mean, sd = gait.cycle_statistics(curves)
    np.testing.assert_allclose(mean, curves.mean(axis=0), rtol=1e-13)
    np.testing.assert_allclose(sd, curves.std(axis=0, ddof=1), rtol=1e-13)
    mean, sd = gait.cycle_statistics(curves[:1])
    assert sd is None and np.array_equal(mean, curves[0])


def ramp_curve(periods, points=101):
    """Level 0.5 is crossed exactly at each on and off; periods may run past 100."""
    x = np.linspace(0, 100, points)
    curve = np.zeros(points)
    for on, off in periods:
        for shift in (-100, 0, 100):
            ramp = np.minimum(0.5 + (x + shift - on) / 2, 0.5 + (off - x - shift) / 2)
            curve = np.maximum(curve, np.clip(ramp, 0, 1))
    return curve


@pytest.mark.parametrize("periods, expected", [
    ([(20.3, 41.7)], [(20.3, 41.7)]),
    ([(88.4, 104.2)], [(0, 4.2), (88.4, 100)]),
    ([(20, 40), (42, 60)], [(20, 60)]),                 # a 2 % gap is filled
    ([(20, 40), (44.5, 60)], [(20, 40), (44.5, 60)]),   # a 4.5 % gap is not
    ([(20, 40), (70, 72)], [(20, 40)]),                 # a 2 % spike is dropped
    ([(1.5, 99)], [(0, 100)]),                          # a 2.5 % gap across 100 %
    ([(98.5, 100.6), (30, 50)], [(30, 50)]),            # a spike across 100 %
    ([(-10, 110)], [(0, 100)]),
    ([], []),
], ids=["one", "across 100", "gap", "long gap", "spike", "gap across 100",
        "spike across 100", "always", "never"])
def test_activation_on_known_bursts(periods, expected):
    found = gait.activation(ramp_curve(periods), 0.5)
    assert len(found) == len(expected)
    np.testing.assert_allclose(np.reshape(found, (-1, 2)), np.reshape(expected, (-1, 2)),
                               atol=1e-9)
    assert gait.activation(np.vstack([ramp_curve(periods)] * 2), 0.5) == [found, found]


def synthetic_trial(rate, durations, bursts, foot_off=60.0):
    """An envelope whose bursts (centre %, half width %) sit at fixed phases of every cycle.

    A cos**2 bump exceeds a quarter of its peak within 2/3 of its half width."""
    strikes = np.concatenate([[0.3], 0.3 + np.cumsum(durations)]) * rate
    n = int(strikes[-1] + 0.5 * rate)
    index = np.arange(n)
    cycle = np.clip(np.searchsorted(strikes, index, side="right") - 1, 0, len(durations) - 1)
    phase = 100 * (index - strikes[cycle]) / (strikes[cycle + 1] - strikes[cycle])
    envelope = np.zeros(n)
    for centre, half in bursts:
        d = (phase - centre + 50) % 100 - 50
        envelope += np.where(abs(d) < half, np.cos(np.pi * d / (2 * half)) ** 2, 0)
    offs = strikes[:-1] + np.diff(strikes) * foot_off / 100
    return envelope * 1e-4, strikes, offs


@pytest.mark.parametrize("rate", [1000.0, 2000.0])
@pytest.mark.parametrize("bursts, truth", [
    ([(30.4, 12.3)], [(22.2, 38.6)]),
    ([(96.1, 9.6)], [(0, 2.5), (89.7, 100)]),
    ([(10.45, 6), (65.3, 15.15)], [(6.45, 14.45), (55.2, 75.4)]),
])
def test_channel_timing_within_two_percent(rate, bursts, truth):
    pieces = []
    for durations in ([1.0, 1.1, 1.2], [0.9, 1.3]):
        envelope, strikes, offs = synthetic_trial(rate, durations, bursts)
        cycles, left_out = gait.find_cycles(strikes, offs, len(envelope))
        assert not left_out
        pieces.append((envelope, cycles))
    plain = gait.analyse_channel(pieces)
    assert plain["curves"].shape == (5, 101) and plain["trial"].tolist() == [0, 0, 0, 1, 1]
    np.testing.assert_allclose(plain["foot_off"], 60.0, atol=1e-9)
    assert plain["foot_off_sd"] == pytest.approx(0, abs=1e-9)
    peak = plain["mean"].max()
    for scale, factor in [("none", 1), ("peak", 100 / peak), (5e-5, 100 / 5e-5)]:
        result = gait.analyse_channel(pieces, scale=scale)
        np.testing.assert_allclose(result["curves"], plain["curves"] * factor, rtol=1e-12)
        for periods in result["activity"] + [result["mean_activity"]]:
            np.testing.assert_allclose(periods, truth, atol=0.1)


def test_channels_analysed_in_threads_agree():
    envelope, strikes, offs = synthetic_trial(2000.0, [1.0, 1.1] * 20, [(40, 10)])
    pieces = [(envelope, gait.find_cycles(strikes, offs, len(envelope))[0])] * 3
    expected = gait.analyse_channel(pieces)
    gc.collect()  # Tk objects of earlier tests must not be collected in a worker thread
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        for result in pool.map(lambda _: gait.analyse_channel(pieces), range(16)):
            assert np.array_equal(result["curves"], expected["curves"])
            assert result["activity"] == expected["activity"]


@pytest.mark.parametrize("active, normal, expected", [
    ([(40, 60)], [(45, 70)], dict(agreement=85, premature=[(40, 45)], absent=[])),
    ([(10, 30)], [(0, 20)], dict(agreement=80, prolonged=[(20, 30)])),
    ([(0, 10), (90, 100)], [(85, 5), (50, 60)],
     dict(agreement=80, prolonged=[(5, 10)], absent=[(50, 60)])),
    ([(30, 40)], [(0, 10), (80, 100)], dict(agreement=60, additional=[(30, 40)],
                                             premature=[], prolonged=[])),
    ([], [(10, 20)], dict(agreement=90, absent=[(10, 20)])),
    ([(15, 45)], [(10, 20), (40, 50)], dict(agreement=70, prolonged=[(20, 40)])),
    ([(2, 10)], [(85, 12)], dict(agreement=81, absent=[], premature=[])),
    ([], [(100, 0), (100, 7)], dict(agreement=93, absent=[(0, 7)])),
])
def test_compare_with_normal(active, normal, expected):
    result = gait.compare_with_normal(active, normal)
    for key, value in expected.items():
        if isinstance(value, list):  # pytest.approx compares flat sequences only
            assert len(result[key]) == len(value)
            for found, period in zip(result[key], value):
                assert tuple(found) == pytest.approx(period)
        else:
            assert result[key] == pytest.approx(value)


@pytest.mark.parametrize("rate", [1000.0, 2000.0])
def test_envelopes_peak_at_the_burst(rate):
    t = np.arange(int(4 * rate)) / rate
    rng = np.random.default_rng(int(rate))
    raw = 0.01 + rng.standard_normal(t.size) * (0.05 + np.exp(-((t - 2.5) / 0.15) ** 2))
    for envelope in (gait.linear_envelope(raw, rate), gait.rms_envelope(raw, rate, 100)):
        assert envelope.shape == raw.shape
        assert abs(t[np.argmax(envelope)] - 2.5) < 0.1
        assert envelope[t < 1.5].max() < 0.25 * envelope.max()


@pytest.mark.parametrize("rate, upper", [(2000.0, 450.0), (1000.0, 450.0), (600.0, 285.0)])
def test_linear_envelope_filters_at_the_real_rate(rate, upper):
    raw = np.random.default_rng(3).standard_normal(3000) + 0.2
    band = scipy.signal.butter(4, (20.0, upper), btype="bandpass", fs=rate, output="sos")
    low = scipy.signal.butter(4, 6.0, btype="lowpass", fs=rate, output="sos")
    expected = scipy.signal.sosfiltfilt(low, np.abs(scipy.signal.sosfiltfilt(band, raw - raw.mean())))
    np.testing.assert_allclose(gait.linear_envelope(raw, rate), expected, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("rate, window_ms, before, after", [
    (1000.0, 5, 2, 2), (2000.0, 2, 2, 1), (1000.0, 0.2, 0, 0)])
def test_rms_envelope_window_in_samples_of_the_rate(rate, window_ms, before, after):
    raw = np.random.default_rng(4).standard_normal(40) + 3.0
    x = raw - raw.mean()
    expected = [np.sqrt(np.mean(x[max(0, i - before):i + after + 1] ** 2)) for i in range(len(x))]
    np.testing.assert_allclose(gait.rms_envelope(raw, rate, window_ms), expected, rtol=1e-12)


@pytest.mark.parametrize("factor", [1e300, 1e-300])
def test_envelopes_in_any_unit(factor):
    raw = np.random.default_rng(5).standard_normal(3000) + 0.5
    for envelope in (gait.linear_envelope, lambda x, rate: gait.rms_envelope(x, rate, 50)):
        np.testing.assert_allclose(envelope(raw * factor, 1000.0) / factor,
                                   envelope(raw, 1000.0), rtol=1e-9)


x10 = np.arange(10.0)
C = [[0, 9, 4]]
LYING_PAIR = type("LyingPair", (list,), {"__len__": lambda self: 2})([x10])


class Emptying:
    """A sample that empties another piece's array when read."""

    def __init__(self, other):
        self.other = other

    def __float__(self):
        self.other.resize(0, refcheck=False)
        return 0.5


def emptied_piece():
    first = np.arange(10.0)
    return gait.analyse_channel([(first, C), ([Emptying(first)] + [0.5] * 9, C)])


@pytest.mark.parametrize("call, error, message", [
    (lambda: gait.event_positions([1, 2], 1, 0, 100), ValueError, "device_rate"),
    (lambda: gait.event_positions([1, np.nan], 1, 2000, 100), ValueError, "frames"),
    (lambda: gait.event_positions("abc", 1, 2000, 100), TypeError, "frames"),
    (lambda: gait.event_positions([1], None, 2000, 100), TypeError, "first_frame"),
    (lambda: gait.event_positions([1e308], -1e308, 2000, 100), ValueError, "beyond"),
    (lambda: gait.find_cycles([3, 2], [], 10), ValueError, "foot strikes are out of order"),
    (lambda: gait.find_cycles([1, 2], [2, 2], 10), ValueError, "foot offs are out of order"),
    (lambda: gait.find_cycles([1, 2], [1.5], 10.5), TypeError, "length"),
    (lambda: gait.find_cycles([[1, 2]], [1.5], 10), ValueError, "strikes"),
    (lambda: gait.normalise_cycles([], C), ValueError, "samples is empty"),
    (lambda: gait.normalise_cycles(np.ones((2, 5)), C), ValueError, "samples"),
    (lambda: gait.normalise_cycles(x10, [[0, 20]]), ValueError, "outside the samples"),
    (lambda: gait.normalise_cycles(x10, [[5, 2]]), ValueError, "does not end after"),
    (lambda: gait.normalise_cycles(x10, [5, 2]), ValueError, "cycles"),
    (lambda: gait.normalise_cycles(x10 / 0, [[0, 9]]), ValueError, r"within cycles\[0\]"),
    (lambda: gait.analyse_channel([(x10, C), (x10 / 0, C)]), ValueError,
     r"pieces\[1\] samples hold values that are not finite"),
    (lambda: gait.normalise_cycles(x10, C, points=1), ValueError, "points"),
    (lambda: gait.normalise_cycles(x10, C, points=50.5), TypeError, "points"),
    (lambda: gait.analyse_channel([(x10, C)], points=10**9), ValueError, "points must be at most"),
    (lambda: gait.cycle_statistics(x10), ValueError, "curves"),
    (lambda: gait.cycle_statistics(np.empty((0, 101))), ValueError, "curves is empty"),
    (lambda: gait.activation(x10, np.nan), ValueError, "level"),
    (lambda: gait.activation(x10, 0.5, merge=-1), ValueError, "merge"),
    (lambda: gait.activation(x10, 0.5, merge=150), ValueError, "merge must lie between 0 and 100"),
    (lambda: gait.find_cycles([1, 2], [1.5], 10**30), ValueError, "length is too large"),
    (lambda: gait.activation([[1, 2], [3]], 0.5), TypeError, "curve_or_curves"),
    (lambda: gait.activation([1.0], 0.5), ValueError, "2 points"),
    (lambda: gait.compare_with_normal([(10, 120)], []), ValueError, r"active\[0\]"),
    (lambda: gait.compare_with_normal([], [(1, 2, 3)]), ValueError, "normal"),
    (lambda: gait.analyse_channel([]), ValueError, "no cycles"),
    (lambda: gait.analyse_channel(5), TypeError, "pieces"),
    (lambda: gait.analyse_channel([(x10,)]), TypeError, r"pieces\[0\]"),
    (lambda: gait.analyse_channel([(x10, [[0, 5, 7]])]), ValueError, "foot off"),
    (lambda: gait.analyse_channel([(x10, [[0, 5]])]), ValueError, "columns"),
    (lambda: gait.analyse_channel([(x10, C)], scale="max"), ValueError, "scale"),
    (lambda: gait.analyse_channel([(x10, C)], scale=-1), ValueError, "scale"),
    (lambda: gait.analyse_channel([(x10, C)], scale=np.True_), TypeError, "scale"),
    (lambda: gait.analyse_channel([(x10, C)], scale=1e-308), ValueError, "beyond the range"),
    (lambda: gait.analyse_channel([LYING_PAIR]), TypeError, r"pieces\[0\] must be a pair"),
    (emptied_piece, ValueError, r"pieces\[0\] samples is empty"),
    (lambda: gait.analyse_channel([(-x10, C)], scale="peak"), ValueError, "peak"),
    (lambda: gait.analyse_channel([(x10, C)], threshold=1.5), ValueError, "threshold"),
    (lambda: gait.linear_envelope(np.ones(500), 40.0), ValueError, "rate: at 40 Hz"),
    (lambda: gait.linear_envelope(np.ones(500), 0), ValueError, "rate"),
    (lambda: gait.linear_envelope(np.ones(500), 1000, lowpass=600), ValueError, "lowpass"),
    (lambda: gait.linear_envelope(np.ones(500), 1000, band=(20,)), ValueError, "band"),
    (lambda: gait.linear_envelope(np.ones(10), 1000), ValueError, "samples are too few"),
    (lambda: gait.linear_envelope(np.ones(500), 1000, order=0), ValueError, "order"),
    (lambda: gait.linear_envelope(np.ones(500), 1000, order=200), ValueError, "at most 20"),
    (lambda: gait.linear_envelope(x10.repeat(50), 1000, lowpass=1e-10), ValueError,
     "band or lowpass"),
    (lambda: gait.rms_envelope(x10, 1000, 0), ValueError, "window_ms"),
    (lambda: gait.rms_envelope(None, 1000, 10), TypeError, "samples"),
    (lambda: gait.rms_envelope(x10, 1000, 1e300), ValueError, "window_ms"),
])
def test_bad_input_is_refused(call, error, message):
    with np.errstate(divide="ignore", invalid="ignore"), pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("given, error, message", [
    (dict(samples="0.1 0.2"), TypeError, "samples must be an array of numbers, not str"),
    (dict(samples=np.zeros((2, 600))), ValueError,
     r"samples must have 1 dimension\(s\), not shape \(2, 600\)"),
    (dict(samples=[0.0] * 600 + [float("-inf")]), ValueError,
     r"samples holds a value that is not finite \(-inf\)"),
    (dict(rate="1000"), TypeError, "rate must be a number, not str"),
    (dict(rate=float("nan")), ValueError, "rate must be finite, not nan"),
    (dict(rate=-2.0), ValueError, "rate must be above 0, not -2"),
    (dict(order=True), TypeError, "order must be an integer, not bool"),
    (dict(order=4.0), TypeError, "order must be an integer, not float"),
    (dict(order=10**30), ValueError, "order is too large"),
    (dict(band=(450, 20)), ValueError, r"band must be \(low, high\) in Hz with 0 < low < high"),
    (dict(rate=40.0), ValueError, r"rate: at 40 Hz the band-pass's lower edge \(20 Hz\) is not "
                                  r"below its upper edge \(19 Hz, kept below the Nyquist"),
    (dict(lowpass=600), ValueError,
     r"lowpass: 600 Hz is not below the Nyquist frequency \(500 Hz\)"),
])
def test_linear_envelope_names_the_argument_at_fault(given, error, message):
    arguments = dict(samples=np.ones(600), rate=1000.0)
    arguments.update(given)
    with pytest.raises(error, match=message):
        gait.linear_envelope(**arguments)


def test_linear_envelope_of_a_list_is_that_of_its_array():
    raw = np.random.default_rng(6).standard_normal(2000) * 3e-4 + 1e-3
    np.testing.assert_array_equal(gait.linear_envelope(list(raw), 2000.0),
                                  gait.linear_envelope(raw, 2000.0))
