"""The second difference of a spectrum and its standard deviation: edge behaviours, agreement with a
NumPy slicing oracle on any layout, the results made through the module's `np`, conversion errors."""
import array
import sys
import traceback

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import export_released, layouts
from quodex.utils.numerics.kernels import mariscotti as mod
from quodex.utils.numerics.kernels.mariscotti import mariscotti_peak_search_cy as peak_search

OOB = "Out of bounds on buffer access (axis 0)"


def oracle(y):
    """Same additions in the same order, by slicing."""
    y = np.asarray(y, dtype=np.float64)
    S, F = np.zeros(len(y)), np.zeros(len(y))
    with np.errstate(all="ignore"):
        S[1:-1] = (y[:-2] - 2.0 * y[1:-1]) + y[2:]
        F[1:-1] = np.sqrt((y[:-2] + 4.0 * y[1:-1]) + y[2:])
    return S, F


def assert_same(got, want):
    assert isinstance(got, tuple) and len(got) == 2
    for g, w in zip(got, want):
        assert type(g) is np.ndarray and g.dtype == np.float64 and g.flags.writeable
        np.testing.assert_array_equal(g, w)


@pytest.mark.parametrize("y, S, F", [
    ([], [], []),
    ([5.0], [0.0], [0.0]),
    ([5.0, 7.0], [0.0, 0.0], [0.0, 0.0]),
    ([1.0, 4.0, 9.0], [0.0, 2.0, 0.0], [0.0, np.sqrt(26.0), 0.0]),
    ([2.5] * 6, [0.0] * 6, [0.0] + [np.sqrt(15.0)] * 4 + [0.0]),
    ([0, 0, 0, 9, 0, 0, 0], [0, 0, 9, -18, 9, 0, 0], [0, 0, 3, 6, 3, 0, 0]),
    ([1.0, -1.0, 1.0, 5.0], [0.0, 4.0, 2.0, 0.0], [0.0, np.nan, np.sqrt(8.0), 0.0]),
], ids=["empty", "one", "two", "three", "constant", "spike", "negative"])
def test_edge_behaviours(y, S, F):
    assert_same(peak_search(np.array(y, dtype=np.float64)), (np.array(S, float), np.array(F, float)))


@settings(max_examples=60, deadline=None)
@given(values=st.lists(st.floats(allow_nan=True, allow_infinity=True, width=64), max_size=40),
       layout=st.sampled_from(["contiguous", "strided", "reversed", "readonly"]))
def test_matches_slicing_on_any_layout_and_leaves_the_input_alone(values, layout):
    y = layouts(np.array(values, dtype=np.float64))[layout]
    before = y.copy()
    assert_same(peak_search(y), oracle(before))
    np.testing.assert_array_equal(y, before)


@pytest.mark.parametrize("make", [
    lambda v: array.array("d", v),
    lambda v: memoryview(array.array("d", v)),
    lambda v: memoryview(np.array(v))[::2],
    lambda v: np.array(v).view(type("Sub", (np.ndarray,), {})),
], ids=["array.array", "memoryview", "strided memoryview", "ndarray subclass"])
def test_any_double_exporter_is_accepted(make):
    values = [3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0, 6.0]
    y = make(values)
    assert_same(peak_search(y), oracle(np.asarray(y)))


def test_keyword_argument():
    y = np.array([1.0, 2.0, 4.0, 8.0])
    assert_same(peak_search(y_d2=y), peak_search(y))


@pytest.mark.parametrize("arg, exc, message", [
    (np.arange(5), ValueError, "Buffer dtype mismatch, expected 'double' but got 'long'"),
    (np.ones(5, np.float32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (np.ones((2, 3)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (None, ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)"),
    ([1.0, 2.0, 3.0], TypeError, "a bytes-like object is required, not 'list'"),
])
def test_rejected_inputs(arg, exc, message):
    with pytest.raises(exc) as info:
        peak_search(arg)
    assert str(info.value) == message
    names = [frame.f_code.co_name for frame, _ in traceback.walk_tb(info.value.__traceback__)]
    assert names[-1] == "quodex.utils.numerics.kernels.mariscotti.mariscotti_peak_search_cy"


class Recorder:
    """Stands in for the module's `np`, recording zeros_like calls (without keeping the prototype, which
    would hold its buffer export); `make` builds each result."""

    def __init__(self, make=None):
        self.calls = []
        self.make = make or (lambda proto, dtype: np.zeros_like(proto, dtype=dtype))

    def zeros_like(self, proto, dtype=None):
        self.calls.append((type(proto), dtype, proto.obj if isinstance(proto, memoryview) else proto))
        return self.make(proto, dtype)

    def __getattr__(self, name):
        return getattr(np, name)


@pytest.fixture
def rebind(rebind_np):
    return lambda recorder: rebind_np(mod, recorder)


def test_results_come_from_zeros_like_of_a_view_of_the_input(rebind):
    y = np.array([1.0, 5.0, 2.0, 7.0])
    rec = rebind(Recorder())
    S, F = peak_search(y)
    assert len(rec.calls) == 2
    for kind, dtype, exporter in rec.calls:
        assert kind is memoryview and exporter is y
        assert dtype is np.float64
    rec.calls.clear()
    with pytest.raises(ValueError):
        peak_search(None)
    assert rec.calls == [(type(None), np.float64, None)]  # S fails before F is made


@pytest.mark.parametrize("make, exc, message", [
    (lambda p, d: np.zeros(3), IndexError, OOB),
    (lambda p, d: [0.0] * 6, TypeError, "Cannot convert list to numpy.ndarray"),
    (lambda p, d: np.zeros((6, 1)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda p, d: np.zeros(6, np.float32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (lambda p, d: np.zeros(6, np.int64), ValueError, "Buffer dtype mismatch, expected 'double' but got 'long'"),
])
def test_unusable_results_from_a_rebound_np(rebind, make, exc, message):
    y = array.array("d", [1.0, 5.0, 2.0, 7.0, 3.0, 3.0])
    rebind(Recorder(make))
    with pytest.raises(exc) as info:
        peak_search(y)
    assert str(info.value) == message
    assert export_released(y)


@pytest.mark.parametrize("length", [5, 6, 9])
def test_results_long_enough_for_every_written_channel_are_used(rebind, length):
    # The last channel is never written, so n - 1 elements suffice; a longer result is filled in front.
    y = np.array([1.0, 5.0, 2.0, 7.0, 3.0, 3.0])
    rebind(Recorder(lambda p, d: np.full(length, -1.0)))
    S, F = peak_search(y)
    want_S, want_F = oracle(y)
    np.testing.assert_array_equal(S[1:5], want_S[1:5])
    np.testing.assert_array_equal(F[1:5], want_F[1:5])
    assert S[0] == -1.0 and np.all(S[5:] == -1.0)


def test_results_over_the_input_itself_follow_the_channel_order(rebind):
    # A pathological np handing back the input: every channel reads the values earlier ones wrote.
    start = [1.0, 3.0, 8.0, 2.0, 7.0]
    y = np.array(start)
    rebind(Recorder(lambda p, d: y))
    peak_search(y)
    want = list(start)
    for i in range(1, 4):
        want[i] = (want[i - 1] - 2.0 * want[i]) + want[i + 1]  # S[i], then F[i] reads it back
        with np.errstate(invalid="ignore"):
            want[i] = float(np.sqrt((want[i - 1] + 4.0 * want[i]) + want[i + 1]))
    np.testing.assert_array_equal(y, want)


def test_buffer_released_and_references_kept():
    y = array.array("d", [4.0, 1.0, 0.0, 2.0])
    before = sys.getrefcount(y)
    for _ in range(3):
        peak_search(y)
        with pytest.raises(ValueError):
            peak_search(np.ones((2, 2)))
    assert sys.getrefcount(y) == before
    assert export_released(y)
