import numpy as np
import pytest

from quorvaemg import rms, window_rms


def numpy_window_rms(x, w):
    return np.sqrt(np.convolve(np.power(x, 2), np.ones(w) / float(w), "same"))


def loop_rms(interval, halfwindow):
    """The per-sample loop: each window summed afresh from 0, first to last."""
    n = len(interval)
    out = np.zeros(n)
    for i in range(n):
        small = i - halfwindow if i - halfwindow > 0 else 0
        big = i + halfwindow if i + halfwindow < n else n
        window_samples = interval[small:big]
        total = 0
        for s in window_samples:
            total = total + s ** 2
        out[i] = np.sqrt(total / len(window_samples))
    return out


def wide_range(n, seed):
    """Samples spanning six decades, so the order of additions shows in the result."""
    rng = np.random.default_rng(seed)
    return rng.standard_normal(n) * 10.0 ** rng.uniform(-3, 3, n)


def assert_same(result, expected):
    assert isinstance(result, np.ndarray)
    assert result.dtype == np.float64
    assert result.shape == expected.shape
    assert np.array_equal(result, expected, equal_nan=True)


class TestWindowRms:
    @pytest.mark.parametrize("n", [1, 2, 7, 100, 1001])
    @pytest.mark.parametrize("w", [1, 2, 5, 100])
    def test_matches_numpy_for_arrays_and_lists(self, n, w):
        x = wide_range(n, seed=n * 7 + w)
        assert_same(window_rms(x, w), numpy_window_rms(x, w))
        assert_same(window_rms(x.tolist(), w), numpy_window_rms(x.tolist(), w))

    @pytest.mark.parametrize("x", [
        np.arange(-20, 40, dtype=np.float32) / 3,
        list(range(-10, 30)),
        np.arange(50, dtype=np.int64) - 25,
    ], ids=["float32", "int-list", "int64"])
    def test_matches_numpy_for_other_sample_types(self, x):
        assert_same(window_rms(x, 6), numpy_window_rms(x, 6))

    def test_window_of_one_is_absolute_value(self):
        x = np.array([-3.0, 0.5, -0.25, 2.0])
        assert_same(window_rms(x, 1), np.abs(x))

    def test_even_window_leans_to_earlier_side(self):
        expected = np.sqrt([2 / 4, 3 / 4, 1, 1, 1, 3 / 4])
        assert_same(window_rms([1.0] * 6, 4), expected)

    def test_odd_window_is_centred(self):
        expected = np.sqrt([3 / 5, 4 / 5, 1, 1, 1, 4 / 5, 3 / 5])
        assert np.allclose(window_rms([1.0] * 7, 5), expected, rtol=0, atol=1e-15)

    def test_window_longer_than_signal_gives_window_length(self):
        x = [1.0, 2.0, 3.0]
        result = window_rms(x, 8)
        assert len(result) == 8
        assert_same(result, numpy_window_rms(x, 8))

    @pytest.mark.parametrize("x, w, error", [
        ([1.0, 2.0], 0, ValueError),
        ([1.0, 2.0], -3, ValueError),
        ([], 3, ValueError),
        ([1.0, 2.0], 2.5, TypeError),
        ([1.0, 2.0], "3", TypeError),
    ])
    def test_rejected_input(self, x, w, error):
        with pytest.raises(error):
            window_rms(x, w)

    def test_input_left_alone(self):
        x = wide_range(50, seed=3)
        kept = x.copy()
        as_list = x.tolist()
        result = window_rms(x, 4)
        window_rms(as_list, 4)
        assert np.array_equal(x, kept) and as_list == kept.tolist()
        assert result is not x and not np.shares_memory(result, x)


class TestRms:
    @pytest.mark.parametrize("n", [1, 2, 3, 10, 257, 1000])
    @pytest.mark.parametrize("h", [1, 2, 3, 7, 50])
    def test_matches_loop_bit_for_bit(self, n, h):
        x = wide_range(n, seed=n * 13 + h)
        assert_same(rms(x, h), loop_rms(x, h))
        as_list = x.tolist()
        assert_same(rms(as_list, h), loop_rms(as_list, h))

    @pytest.mark.parametrize("x", [
        list(range(-40, 60, 3)),
        tuple(float(v) / 7 for v in range(30)),
        np.arange(-30, 45, dtype=np.int64) * 1000003,
        (np.arange(60, dtype=np.float32) - 20.5) / 3,
        wide_range(80, seed=5)[::3],
        wide_range(40, seed=6).astype(">f8"),
        [1, 2.5, np.float64(-3.25), 4],
    ], ids=["int-list", "tuple", "int64", "float32", "strided", "big-endian", "mixed"])
    def test_other_sample_types_follow_the_loop(self, x):
        for h in (1, 4, 9):
            assert_same(rms(x, h), loop_rms(x, h))

    def test_numpy_integer_half_window(self):
        x = wide_range(30, seed=8)
        assert_same(rms(x, np.int64(4)), loop_rms(x, 4))

    def test_half_window_one(self):
        x = np.array([-3.0, 4.0, 1.0, -2.0])
        expected = [3.0] + [np.sqrt((x[i - 1] ** 2 + x[i] ** 2) / 2) for i in range(1, 4)]
        assert_same(rms(x, 1), np.array(expected))

    @pytest.mark.parametrize("h", [5, 6, 1000])
    def test_half_window_covering_signal_gives_overall_rms(self, h):
        x = [3.0, -1.0, 2.0, 0.5, -4.0]
        whole = np.sqrt(sum(s ** 2 for s in x) / 5)
        assert_same(rms(x, h), np.full(5, whole))

    def test_no_end_attenuation(self):
        assert_same(rms([-2.5] * 9, 3), np.full(9, 2.5))

    @pytest.mark.parametrize("x", [[], np.array([])])
    def test_empty_signal(self, x):
        assert_same(rms(x, 3), np.zeros(0))

    @pytest.mark.parametrize("h, error", [
        (0, ZeroDivisionError),
        (-1, ZeroDivisionError),
        (-4, ZeroDivisionError),
        (1.5, TypeError),
        ("2", TypeError),
    ])
    def test_rejected_half_window(self, h, error):
        for x in ([1.0, 2.0, 3.0, 4.0, 5.0], np.arange(5.0)):
            with pytest.raises(error):
                rms(x, h)

    def test_input_left_alone(self):
        x = wide_range(200, seed=4)
        kept = x.copy()
        as_list = x.tolist()
        result = rms(x, 10)
        rms(as_list, 10)
        assert np.array_equal(x, kept) and as_list == kept.tolist()
        assert result is not x and not np.shares_memory(result, x)


def lying_array():
    class Lying(np.ndarray):
        __len__ = lambda self: 2
    return np.arange(1000.0).view(Lying), 3


def list_resized_by_half_window(extra):
    samples = [0.5] * 100

    class Resizes:
        def __index__(self):
            if extra > 0:
                samples.extend([1.0] * extra)
            else:
                del samples[extra:]
            return 5
    return samples, Resizes()


class TestRmsInputChangedDuringTheCall:
    """The loop's reading: n is taken first, every window is sliced afresh."""

    @pytest.mark.parametrize("build, expected", [
        (lying_array, lambda x: loop_rms(x, 3)),
        (lambda: list_resized_by_half_window(1000), lambda x: loop_rms(x[:100], 5)),
        (lambda: list_resized_by_half_window(-90), ZeroDivisionError),
    ], ids=["array-lying-about-length", "list-grown", "list-shrunk"])
    def test_reads_what_the_loop_would(self, build, expected):
        x, h = build()
        if isinstance(expected, type):
            with pytest.raises(expected):
                rms(x, h)
        else:
            result = rms(x, h)
            assert_same(result, expected(x))
