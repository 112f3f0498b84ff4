"""Gaussian response rows: edge behaviours and agreement with a plain NumPy construction."""
import math
import os
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import strided, reversed_view
from quodex.utils.numerics.kernels.deconvolution import build_gaussian_response

FWHM_C = 2.3548200450309493


def oracle(axis, sigma, nsigma=5.0):
    """The rows built bin by bin with NumPy's searchsorted and libm's exp, summed in order."""
    axis = np.asarray(axis, dtype=np.float64)
    offsets, indices, values = [0], [], []
    for i in range(len(axis)):
        E, s = axis[i], np.float64(sigma[i])
        half = s * nsigma
        low = int(np.searchsorted(axis, E - half))
        high = int(np.searchsorted(axis, E + half, side="right"))
        if low < high:
            weights = []
            for j in range(low, high):
                x = (axis[j] - E) / s
                weights.append(math.exp((x * -0.5) * x))
            norm = 0.0
            for w in weights:
                norm = norm + w
            indices.extend(range(low, high))
            values.extend(w / norm for w in weights)
        offsets.append(len(values))
    return (np.asarray(offsets, dtype=np.int64), np.asarray(indices, dtype=np.int32),
            np.asarray(values, dtype=np.float64))


def ulps(a, b):
    """Distance in units in the last place; NaN against NaN counts as equal."""
    ia = np.asarray(a, dtype=np.float64).view(np.int64)
    ib = np.asarray(b, dtype=np.float64).view(np.int64)
    ia = np.where(ia < 0, np.iinfo(np.int64).min - ia, ia)
    ib = np.where(ib < 0, np.iinfo(np.int64).min - ib, ib)
    d = np.abs(ia - ib)
    both_nan = np.isnan(a) & np.isnan(b)
    return np.where(both_nan, 0, np.where(np.isnan(a) | np.isnan(b), np.iinfo(np.int64).max, d))


def assert_rows_equal(got, want, max_ulp=8):
    """Same windows exactly; weights within a few ulp (the exp runs in vector form)."""
    assert [a.dtype for a in got] == [np.dtype(np.int64), np.dtype(np.int32), np.dtype(np.float64)]
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])
    assert got[2].shape == want[2].shape
    if got[2].size:
        assert ulps(got[2], want[2]).max() <= max_ulp


def hpge_axis(n=8192):
    edges = np.linspace(0.0, 3000.0, n + 1)
    return 0.5 * (edges[:-1] + edges[1:])


def get_sigma(k, E):
    return ((k * np.sqrt(E)) * E) / FWHM_C


@pytest.mark.parametrize("axis", [np.empty(0), None])
@pytest.mark.parametrize("sigma", [np.empty(0), np.ones(3), None])
def test_empty_axis(axis, sigma):
    offsets, indices, values = build_gaussian_response(axis, sigma)
    assert offsets.tolist() == [0] and offsets.dtype == np.int64
    assert indices.shape == (0,) and indices.dtype == np.int32
    assert values.shape == (0,) and values.dtype == np.float64


def test_uniform_axis_rows_sum_to_one_and_are_symmetric():
    axis = np.arange(40.0)
    offsets, indices, values = build_gaussian_response(axis, np.full(40, 1.5), 4.0)
    sums = np.add.reduceat(values, offsets[:-1])
    np.testing.assert_allclose(sums, 1.0, rtol=0, atol=1e-14)
    counts = np.diff(offsets)
    assert counts[0] == 7 and counts[20] == 13 and counts[-1] == 7  # ends truncated by the axis
    row = values[offsets[20]:offsets[21]]
    np.testing.assert_array_equal(row, row[::-1])
    assert indices[offsets[20]:offsets[21]].tolist() == list(range(14, 27))


def test_hpge_axis_matches_the_oracle():
    axis = hpge_axis(1024)
    k = 1.0 / (662.0 ** 1.5 / FWHM_C)
    sigma = get_sigma(k, axis)
    assert_rows_equal(build_gaussian_response(axis, sigma), oracle(axis, sigma))


@pytest.mark.parametrize("nsigma", [0.0, 1.0, 2.5, -2.0, np.inf])
def test_nsigma_values_match_the_oracle(nsigma):
    axis = np.array([0.0, 0.5, 0.5, 1.0, 2.0, 4.0, 4.0, 7.0])
    sigma = np.array([0.3, 0.5, 1.0, 0.0, np.nan, -0.5, 2.0, 1.0])
    with np.errstate(invalid="ignore", divide="ignore"):
        want = oracle(axis, sigma, nsigma)
    assert_rows_equal(build_gaussian_response(axis, sigma, nsigma), want)


def test_degenerate_widths():
    axis = np.arange(5.0)
    offsets, indices, values = build_gaussian_response(axis, np.array([1.0, 0.0, np.nan, -1.0, 1.0]))
    counts = np.diff(offsets).tolist()
    assert counts[1] == 1 and indices[offsets[1]] == 1 and np.isnan(values[offsets[1]])  # zero width: 0/0
    assert counts[2] == 0  # NaN width: both limits sort after every number
    assert counts[3] == 0  # negative width: xmin > xmax


def test_identity_when_nsigma_is_zero():
    offsets, indices, values = build_gaussian_response(np.arange(6.0), np.full(6, 3.0), 0)
    assert offsets.tolist() == list(range(7))
    assert indices.tolist() == list(range(6))
    assert values.tolist() == [1.0] * 6


def test_limits_are_inclusive_on_both_sides():
    offsets, indices, _ = build_gaussian_response(np.array([0.0, 1.0, 2.0]), np.full(3, 0.5), 2.0)
    assert np.diff(offsets).tolist() == [2, 3, 2]


def test_longer_sigma_is_ignored_and_shorter_raises():
    axis = np.arange(4.0)
    assert_rows_equal(build_gaussian_response(axis, np.ones(9)), build_gaussian_response(axis, np.ones(4)))
    with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
        build_gaussian_response(axis, np.ones(3))


def test_inputs_are_not_modified():
    axis, sigma = hpge_axis(64), np.linspace(1.0, 5.0, 64)
    a0, s0 = axis.copy(), sigma.copy()
    build_gaussian_response(axis, sigma)
    np.testing.assert_array_equal(axis, a0)
    np.testing.assert_array_equal(sigma, s0)


@settings(max_examples=60, deadline=None)
@given(
    steps=st.lists(st.floats(0.0, 3.0), min_size=0, max_size=40),
    widths=st.lists(st.floats(0.01, 4.0), min_size=40, max_size=40),
    nsigma=st.floats(0.0, 6.0),
    layout=st.sampled_from(["contiguous", "strided", "reversed"]),
)
def test_property_against_the_oracle(steps, widths, nsigma, layout):
    axis = np.cumsum(np.asarray(steps, dtype=np.float64)) - 10.0
    sigma = np.asarray(widths[: len(axis)], dtype=np.float64)
    with np.errstate(all="ignore"):
        want = oracle(axis, sigma, nsigma)
    make = {"contiguous": np.copy, "strided": strided, "reversed": reversed_view}[layout]
    assert_rows_equal(build_gaussian_response(make(axis), make(sigma), nsigma), want)


def test_unsorted_axis_gives_well_formed_rows():
    # Order is never checked; the windows are whatever the bisection finds, but always in range.
    rng = np.random.default_rng(3)
    axis = rng.normal(size=30)
    offsets, indices, values = build_gaussian_response(axis, rng.uniform(0.1, 1.0, size=30))
    assert offsets[0] == 0 and np.all(np.diff(offsets) >= 0) and offsets[-1] == len(indices) == len(values)
    assert np.all((indices >= 0) & (indices < 30))
    for lo, hi in zip(offsets[:-1], offsets[1:]):
        assert np.all(np.diff(indices[lo:hi]) == 1)


def test_axis_longer_than_int32_columns_is_refused_before_allocating():
    n = 2**31 + 1
    axis = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(n,), strides=(0,), writeable=True)
    with pytest.raises(ValueError, match="at most 2147483648"):
        build_gaussian_response(axis, axis)


def test_no_reference_or_memory_growth_over_many_calls():
    import resource

    axis, sigma, short = np.arange(16.0), np.ones(16), np.ones(3)
    refs = [sys.getrefcount(o) for o in (axis, sigma, short)]

    def run(n):
        for _ in range(n):
            build_gaussian_response(axis, sigma)
            try:
                build_gaussian_response(axis, short)
            except IndexError:
                pass
            try:
                build_gaussian_response(axis)
            except TypeError:
                pass

    run(20_000)
    rss0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    run(100_000)
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss0
    assert [sys.getrefcount(o) for o in (axis, sigma, short)] == refs
    if not os.environ.get("QUODEX_SANITIZED"):  # the sanitizer's quarantine holds freed memory
        assert grown_kib < 2048
