"""Hostile array structure: sparse rows with extreme offsets and bins, axes of NaN or out of order,
and lengths beyond the 32-bit counts, which are refused before anything is allocated."""
import numpy as np
import pytest

from quodex.utils.numerics.kernels import deconvolution, gaussian, mariscotti, tarvel

I64 = np.iinfo(np.int64)
I32 = np.iinfo(np.int32)
OOB = r"^Out of bounds on buffer access \(axis 0\)$"


def huge(n, value=1.0, dtype=np.float64, writeable=False):
    """A length-n array that needs no memory: every element is the same one."""
    return np.lib.stride_tricks.as_strided(np.full(1, value, dtype=dtype), shape=(n,), strides=(0,),
                                           writeable=writeable)


@pytest.mark.parametrize("offsets", [
    [0, I64.max], [I64.min, 0], [I64.min, I64.max], [0, 1, I64.max, I64.max], [-(2**62), 2**62],
    [I64.max - 1, I64.max], [0, -I64.max],
])
def test_extreme_offsets_raise_before_iterating(offsets):
    n = len(offsets) - 1
    y = np.ones(n)
    offsets = np.array(offsets, dtype=np.int64)
    indices = np.zeros(4, dtype=np.int32)
    values = np.ones(4)
    try:
        x = deconvolution.ML_EM_cy(y, offsets, indices, values, np.ones(n), 3)
    except IndexError as e:
        assert str(e) == "Out of bounds on buffer access (axis 0)"
    else:
        # Only rows whose start is not below their end are read; those are empty.
        starts, ends = offsets[:-1], offsets[1:]
        assert np.all(starts >= ends)
        assert np.all(x == 0.0)


@pytest.mark.parametrize("bin_", [I32.max, I32.min, 3, -4])
def test_measured_bins_outside_the_spectrum_raise(bin_):
    y = np.ones(3)
    with pytest.raises(IndexError, match=OOB):
        deconvolution.ML_EM_cy(y, np.array([0, 1, 1, 1]), np.array([bin_], dtype=np.int32), np.ones(1), np.ones(3))


@pytest.mark.parametrize("bin_", [-3, -1, 2])
def test_negative_bins_count_back_from_the_end(bin_):
    y = np.array([1.0, 2.0, 4.0])
    x = deconvolution.ML_EM_cy(y, np.array([0, 1, 1, 1]), np.array([bin_], dtype=np.int32), np.ones(1),
                               np.ones(3), 1)
    assert x[0] == y[bin_ % 3] / (1.0 + 1e-12) and x[1] == x[2] == 0.0


@pytest.mark.parametrize("axis", [
    np.full(16, np.nan), np.array([np.nan, 1.0, 2.0, np.nan]), np.random.default_rng(1).normal(size=40),
    np.array([5.0, 4.0, 3.0, 2.0, 1.0]), np.array([0.0, np.inf, -np.inf, 1.0]),
])
def test_nan_and_unsorted_axes_give_well_formed_rows(axis):
    with np.errstate(all="ignore"):
        offsets, indices, values = deconvolution.build_gaussian_response(axis, np.ones(len(axis)))
        x = deconvolution.richardson_lucy_cy(axis, np.ones(len(axis)), 0.1, np.ones(len(axis)), 3)
    assert offsets[0] == 0 and np.all(np.diff(offsets) >= 0) and offsets[-1] == len(indices) == len(values)
    assert np.all((indices >= 0) & (indices < len(axis)))
    assert x.shape == axis.shape


def test_resampling_with_nan_and_unsorted_axes_stays_in_range():
    ref_E = np.array([100.0, 800.0, 1500.0, 3000.0])
    ref_axis = np.random.default_rng(2).uniform(0.0, 3000.0, 64)  # out of order
    ref_axis[5] = np.nan
    matrix = np.abs(np.random.default_rng(3).normal(size=(4, 64)))
    req_axis = np.linspace(10.0, 2990.0, 50)
    req_axis[[3, 20]] = np.nan
    with np.errstate(all="ignore"):
        offsets, indices, values = tarvel.tarvel_cy(matrix, ref_E, ref_axis, np.array([500.0, 2000.0]), req_axis)
    assert offsets.tolist()[0] == 0 and np.all(np.diff(offsets) >= 0) and offsets[-1] == len(indices)
    assert np.all((indices >= 0) & (indices < 50)) and np.all(values > 1e-12)


@pytest.mark.parametrize("call", [
    lambda n: gaussian.multi_gaussian_cy(huge(n), np.array([1.0, 0.0, 1.0])),
    lambda n: gaussian.multi_gaussian_jacobian_cy(huge(n), np.array([1.0, 0.0, 1.0])),
    lambda n: gaussian.multi_gaussian_cy(np.ones(4), huge(n)),
    lambda n: gaussian.multi_gaussian_jacobian_cy(np.ones(4), huge(n)),
    lambda n: deconvolution.build_gaussian_response(huge(n + 1, writeable=True), huge(n + 1, writeable=True)),
    lambda n: tarvel.tarvel_cy(np.ones((2, 4)), np.array([1.0, 3.0]), np.linspace(0.0, 4.0, 4), np.array([2.0]),
                               huge(n + 1, 2.0, writeable=True)),
], ids=["model x", "jacobian x", "model params", "jacobian params", "builder axis", "resampling axis"])
def test_lengths_beyond_32_bit_counts_are_refused(call):
    with pytest.raises(ValueError):
        call(2**31)


def test_huge_second_difference_fails_cleanly():
    # 64-bit lengths are supported; the results cannot be allocated here, and that is reported.
    with pytest.raises(MemoryError):
        mariscotti.mariscotti_peak_search_cy(huge(2**50))
