"""Curves and timing against a reference, through quorvaemg_gait, each against plain numpy."""

import numpy as np
import pytest

import quorvaemg_gait as gait

X = np.linspace(0, 100, 101)
RNG = np.random.default_rng(7)


def bump(centre, width=8.0):
    return np.exp(-((X - centre) / width) ** 2)


def outside_on_fine_grid(curve, mean, sd, band, merge):
    """Stretches outside the band, read off the curves interpolated on a fine grid."""
    fine = np.linspace(0, 100, 200001)
    c, m, s = (np.interp(fine, X, v) for v in (curve, mean, sd))
    found = []
    for kind, outside in (("above", c > m + band * s), ("below", c < m - band * s)):
        edges = np.flatnonzero(np.diff(np.r_[0, outside.astype(np.int8), 0]))
        for a, b in zip(edges[::2], edges[1::2]):
            if fine[b - 1] - fine[a] >= merge:
                found.append((fine[a], fine[b - 1], kind))
    return sorted(found)


def numpy_compare(curve, mean, sd, merge=3.0, band=2.0):
    constant = np.ptp(curve) == 0 or np.ptp(mean) == 0
    zero = not curve.any() or not mean.any()
    out = {"correlation": None if constant else np.corrcoef(curve, mean)[0, 1],
           "cosine": None if zero else curve @ mean / np.linalg.norm(curve) / np.linalg.norm(mean),
           "rms_sd": None, "outside": []}
    if sd is not None:
        s = np.where(sd > 0, sd, sd[sd > 0].min()) if (sd > 0).any() else sd
        if (sd > 0).any():
            out["rms_sd"] = np.sqrt(np.mean(((curve - mean) / s) ** 2))
        out["outside"] = outside_on_fine_grid(curve, mean, s, band, merge)
    return out


sd_with_zeros = np.where(X < 30, 0.0, 0.1)
COMPARE_CASES = {
    "random": (RNG.random(101), RNG.random(101), RNG.random(101) * 0.2, {}),
    "equal to the mean": (bump(40), bump(40), np.full(101, 0.1), {}),
    "bump 15 % late": (bump(55), bump(40), np.full(101, 0.05), {}),
    "1 % blip dropped": (bump(40) + 0.5 * (X == 70), bump(40), np.full(101, 0.1), {}),
    "1 % blip kept": (bump(40) + 0.5 * (X == 70), bump(40), np.full(101, 0.1), {"merge": 1}),
    "narrow band, merge 0": (bump(42), bump(40), np.full(101, 0.01), {"merge": 0, "band": 1}),
    "constant curve, no sd": (np.full(101, 3.0), bump(40), None, {}),
    "zero curve": (np.zeros(101), bump(40), np.full(101, 0.1), {}),
    "sd zero in stance": (bump(40) + 0.05, bump(40), sd_with_zeros, {}),
    "sd all zero": (bump(41), bump(40), np.zeros(101), {}),
    "huge values": (bump(45) * 1e300, bump(40) * 1e300, np.full(101, 1e298), {}),
}


@pytest.mark.parametrize("curve, mean, sd, kwargs", COMPARE_CASES.values(), ids=COMPARE_CASES)
def test_compare_curve_against_numpy(curve, mean, sd, kwargs):
    got = gait.compare_curve(curve, mean, sd, **kwargs)
    k = 1e-298 if curve.max() > 1e200 else 1.0  # numpy's sums would overflow; ratios do not change
    want = numpy_compare(curve * k, mean * k, None if sd is None else sd * k, **kwargs)
    for key in ("correlation", "cosine", "rms_sd"):
        assert (got[key] is None) == (want[key] is None), key
        if want[key] is not None:
            assert got[key] == pytest.approx(want[key], rel=1e-10, abs=1e-12), key
    assert [kind for *_, kind in got["outside"]] == [kind for *_, kind in want["outside"]]
    np.testing.assert_allclose([o[:2] for o in got["outside"]],
                               [o[:2] for o in want["outside"]], atol=2e-3)


def test_compare_curve_known_answers():
    same = gait.compare_curve(bump(40), bump(40), np.full(101, 0.1))
    assert same == {"correlation": 1.0, "cosine": 1.0, "rms_sd": 0.0, "outside": []}
    late = gait.compare_curve(bump(55), bump(40), np.full(101, 0.05))["outside"]
    assert [kind for *_, kind in late] == ["below", "above"]
    assert late[0][0] < 40 < late[0][1] < 47.5 < late[1][0] < 55 < late[1][1]


def numpy_consistency(x):
    n, t = x.shape
    ratio = ((x - x.mean(0)) ** 2).sum() / (t * (n - 1)) / (((x - x.mean()) ** 2).sum() / (t * n - 1))
    m = x.mean(0)
    return ratio, np.mean(x @ m / np.linalg.norm(x, axis=1) / np.linalg.norm(m))


@pytest.mark.parametrize("curves, expected_ratio", [
    (RNG.random((12, 101)) + bump(40), None),
    (np.tile(bump(40), (6, 1)), 0.0),
    (np.full((3, 101), 0.1), 0.0),
    (np.tile(bump(40) * 1e250, (4, 1)) + RNG.random((4, 101)) * 1e249, None),
], ids=["random", "identical cycles", "all equal", "huge values"])
def test_consistency_against_numpy(curves, expected_ratio):
    ratio, cosine = gait.consistency(curves)
    if expected_ratio is not None:
        assert ratio == expected_ratio and cosine == pytest.approx(1.0)
    else:
        want = numpy_consistency(curves / 1e249 if curves.max() > 1e200 else curves)
        assert (ratio, cosine) == pytest.approx(want, rel=1e-10)


def test_consistency_of_white_noise_is_near_one():
    ratio, _ = gait.consistency(np.random.default_rng(3).standard_normal((40, 101)))
    assert 0.9 < ratio < 1.1


def numpy_cci(a, b, foot_off):
    x = np.linspace(0, 100, a.shape[1])

    def trapz(x, y):
        return np.sum(np.diff(x) * (y[1:] + y[:-1]) / 2)

    def index(x, ya, yb):
        total = trapz(x, ya + yb)
        return 2 * trapz(x, np.minimum(ya, yb)) / total * 100 if total > 0 else np.nan

    out = {"whole": [], "stance": [], "swing": []}
    for ca, cb, f in zip(np.clip(a, 0, None), np.clip(b, 0, None), foot_off):
        af, bf = np.interp(f, x, ca), np.interp(f, x, cb)
        st, sw = x < f, x > f
        out["whole"].append(index(x, ca, cb))
        out["stance"].append(index(np.r_[x[st], f], np.r_[ca[st], af], np.r_[cb[st], bf]))
        out["swing"].append(index(np.r_[f, x[sw]], np.r_[af, ca[sw]], np.r_[bf, cb[sw]]))
    return out


@pytest.mark.parametrize("a, b, foot_off", [
    (RNG.random((5, 101)), RNG.random((5, 101)), [61.37, 60.0, 58.5, 0.0, 100.0]),
    (RNG.standard_normal((3, 101)), RNG.standard_normal((3, 101)), [33.3, 62.71, 99.99]),
    (np.tile(np.where(X < 60, bump(20), 0.0), (2, 1)), np.zeros((2, 101)), [60.0, 64.2]),
    (RNG.random((2, 11)) * 1e300, RNG.random((2, 11)) * 1e300, [45.0, 50.0]),
], ids=["random", "negative undershoot", "no activity in swing", "huge values"])
def test_co_contraction_against_numpy(a, b, foot_off):
    got = gait.co_contraction(a, b, foot_off)
    scale = 1e-300 if a.max() > 1e200 else 1.0  # numpy's sums would overflow
    want = numpy_cci(a * scale, b * scale, foot_off)
    for phase in ("whole", "stance", "swing"):
        np.testing.assert_allclose(got[phase], want[phase], rtol=1e-10, atol=1e-12, err_msg=phase)


@pytest.mark.parametrize("group, subjects, expected", [
    # 98 % and 2 % average to 0 %, their spread taken about the group's onset
    ([(0, 20)], [[(98, 20)], [(2, 20)]], [(0.0, 2 * 2 ** 0.5, 20.0, 0.0, 2)]),
    # a subject's period through foot strike comes in two pieces
    ([(90, 10)], [[(0, 8), (40, 50), (98, 100)], [(2, 12)]],
     [(0.0, 8 ** 0.5, 10.0, 8 ** 0.5, 2)]),
    # the subject's period overlapping most; a subject with none is left out
    ([(30, 50)], [[(20, 33), (35, 60)], [(70, 80)]], [(35.0, None, 60.0, None, 1)]),
    ([(30, 50), (70, 80)], [], [(30.0, None, 50.0, None, 0), (70.0, None, 80.0, None, 0)]),
], ids=["98 and 2", "pieces joined", "best overlap", "no subjects"])
def test_period_statistics(group, subjects, expected):
    got = gait.period_statistics(group, subjects)
    keys = ("on", "on_sd", "off", "off_sd", "subjects")
    assert [tuple(g[k] for k in keys) for g in got] == [pytest.approx(e) for e in expected]


@pytest.mark.parametrize("periods, reference, expected", [
    ([(95, 5)], [(0.0, 2.0, 10.0, None)], [(-5.0, -2.5, -5.0, None)]),
    ([(3, 40)], [{"on": 98.0, "on_sd": 0.0, "off": 30.0, "off_sd": 4.0, "subjects": 9}],
     [(5.0, None, 10.0, 2.5)]),
    ([(0, 5), (97, 100), (40, 50)], [(99.0, 1.0, 4.0, 1.0), (60.0, 1.0, 70.0, 1.0)],
     [(-2.0, -2.0, 1.0, 1.0), (-20.0, -20.0, -20.0, -20.0)]),
    # Both bursts 18 % late, past their width: paired in order round the cycle.
    ([(16, 31), (80, 95)], [(98.0, 2.0, 13.0, 2.0), (62.0, 2.0, 77.0, 2.0)],
     [(18.0, 9.0, 18.0, 9.0), (18.0, 9.0, 18.0, 9.0)]),
    # One burst too far from any: the other still takes the nearest within 15 %.
    ([(55, 65)], [(98.0, 2.0, 13.0, 2.0), (62.0, 2.0, 77.0, 2.0)], [None, (-7.0, -3.5, -12.0, -6.0)]),
], ids=["through foot strike", "dict, wrapped", "pieces joined, paired in order", "shifted past width",
        "nearest within 15 %"])
def test_timing_shifts(periods, reference, expected):
    keys = ("onset_shift", "onset_sd", "offset_shift", "offset_sd")
    got = [g if g is None else tuple(g[k] for k in keys) for g in
           gait.timing_shifts(periods, reference)]
    assert got == [e if e is None else pytest.approx(e) for e in expected]


c5 = np.ones(5)


class Spoiler:
    """A number whose conversion writes NaN into an array converted before it."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target[...] = np.nan
        return 1.0


def spoilt(target, count):
    return [Spoiler(target)] + [1.0] * (count - 1)


@pytest.mark.parametrize("call, error, fragment", [
    (lambda: gait.compare_curve(np.ones(5), np.ones(6)), ValueError, "curve has 5 points but mean has 6"),
    (lambda: gait.compare_curve(c5, c5, np.ones(4)), ValueError, "sd has 4 points but curve has 5"),
    (lambda: gait.compare_curve(c5, c5, -c5), ValueError, "sd must not be negative"),
    (lambda: gait.compare_curve([1, np.nan], [1, 2]), ValueError, "curve holds a value that is not finite"),
    (lambda: gait.compare_curve([1], [1]), ValueError, "at least 2 points"),
    (lambda: gait.compare_curve("ab", c5), TypeError, "curve must be an array"),
    (lambda: gait.compare_curve(c5, c5, merge=150), ValueError, "merge must lie between 0 and 100"),
    (lambda: gait.compare_curve(c5, c5, band=-1), ValueError, "band must not be negative"),
    (lambda a=np.ones(5): gait.compare_curve(a, spoilt(a, 5)), ValueError,
     "curve holds a value that is not finite"),
    (lambda a=np.ones((2, 5)): gait.co_contraction(a, np.ones((2, 5)), spoilt(a, 2)), ValueError,
     "a holds a value that is not finite"),
    (lambda: gait.consistency(np.ones((1, 5))), ValueError, "at least 2 cycles"),
    (lambda: gait.consistency(c5), ValueError, "curves must have 2 dimension"),
    (lambda: gait.co_contraction(np.ones((2, 5)), np.ones((2, 4)), [50, 50]), ValueError,
     "a has shape (2, 5) but b has shape (2, 4)"),
    (lambda: gait.co_contraction(np.ones((2, 5)), np.ones((2, 5)), [50]), ValueError,
     "foot_off has 1 values but a and b have 2 cycles"),
    (lambda: gait.co_contraction(np.ones((1, 5)), np.ones((1, 5)), [120]), ValueError,
     "foot_off[0] = 120 lies outside"),
    (lambda: gait.period_statistics([(10, 120)], []), ValueError, "group_periods[0] lies outside"),
    (lambda: gait.period_statistics([(10, 20)], 5), TypeError, "subject_periods must be a list"),
    (lambda: gait.period_statistics([], [[(1, 2, 3)]]), ValueError,
     "subject_periods[0] must have 2 columns"),
    (lambda: gait.timing_shifts([], [(1, 2)]), ValueError, "reference_periods[0] must be (on, on_sd"),
    (lambda: gait.timing_shifts([], [{"on": 5}]), ValueError, 'reference_periods[0] has no "off"'),
    (lambda: gait.timing_shifts([], [(10, -1, 20, None)]), ValueError, "on_sd must not be negative"),
    (lambda: gait.timing_shifts([], ["x"]), TypeError, "reference_periods[0] must be a dict"),
])
def test_bad_arguments_are_refused(call, error, fragment):
    with pytest.raises(error) as raised:
        call()
    assert fragment in str(raised.value)
