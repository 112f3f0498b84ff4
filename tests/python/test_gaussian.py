"""The multi-Gaussian model and its Jacobian: edge behaviours, agreement with the scalar plain order and
with NumPy oracles on any layout, finite differences, a least-squares fit, results made through the
module's `np`, conversion errors and the 32-bit count limit."""
import math
import sys
import traceback

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy.optimize import least_squares

from conftest import layouts
from quodex.utils.numerics.kernels import gaussian as mod
from quodex.utils.numerics.kernels.gaussian import multi_gaussian_cy as model
from quodex.utils.numerics.kernels.gaussian import multi_gaussian_jacobian_cy as jacobian

OOB = "Out of bounds on buffer access (axis {})"
# The vectorised exp is within 3 ulp of the C library's scalar exp; a few equal roundings follow.
ULPS = 8


def peaks(params):
    k = len(params) // 3
    return [tuple(float(v) for v in params[3 * i:3 * i + 3]) for i in range(k)]


def plain_model(x, params):
    """The defining order with Python floats and math.exp, the C library's scalar exp."""
    y = [0.0] * len(x)
    for A, mu, var in peaks(params):
        for j, xj in enumerate(x):
            dx = float(xj) - mu
            y[j] = y[j] + A * math.exp(((-0.5 * dx) * dx) / var)
    return np.array(y)


def oracle_terms(x, params):
    k = len(params) // 3
    A, mu, var = (np.asarray(params[i:3 * k:3], dtype=np.float64) for i in range(3))
    dx = np.asarray(x, dtype=np.float64)[:, None] - mu
    with np.errstate(all="ignore"):
        e = np.exp(((-0.5 * dx) * dx) / var)
    return A, mu, var, dx, e


def oracle_model(x, params):
    A, _, _, _, e = oracle_terms(x, params)
    with np.errstate(all="ignore"):
        terms = A * e
    y = np.zeros(len(x))
    with np.errstate(all="ignore"):
        for k in range(terms.shape[1]):  # peaks in order, as the kernel adds them
            y = y + terms[:, k]
    return y, np.abs(terms).sum(axis=1)


def oracle_jacobian(x, params):
    A, _, var, dx, e = oracle_terms(x, params)
    J = np.zeros((len(x), len(params)))
    k = 3 * len(A)
    with np.errstate(all="ignore"):
        J[:, 0:k:3] = e
        J[:, 1:k:3] = ((A * e) * dx) / var
        J[:, 2:k:3] = (((A * e) * dx) * dx) / ((2.0 * var) * var)
    return J


def assert_close(got, want, scale, ulps=ULPS):
    """Equal where `want` is NaN, infinite or zero; elsewhere within `ulps` of `scale`."""
    got, want, scale = np.broadcast_arrays(np.asarray(got), np.asarray(want), np.asarray(scale))
    special = ~np.isfinite(want) | (want == 0)
    np.testing.assert_array_equal(got[special], want[special])
    tol = ulps * np.spacing(np.abs(scale[~special]))
    assert np.all(np.abs(got[~special] - want[~special]) <= tol), np.max(np.abs(got - want)[~special] / tol)


def spectrum_params(rng, count, span, max_sigma):
    return np.column_stack([rng.uniform(5.0, 500.0, count), rng.uniform(0.0, span, count),
                            rng.uniform(0.5, max_sigma, count) ** 2]).ravel()


# -- edge behaviours ---------------------------------------------------------------------------------

X = np.array([-2.0, 0.0, 1.0, 3.0])


@pytest.mark.parametrize("params", [[], [4.0], [4.0, 0.0]])
def test_model_without_a_complete_peak_is_zero(params):
    y = model(X, np.array(params))
    assert y.dtype == np.float64 and y.shape == (4,)
    np.testing.assert_array_equal(y, np.zeros(4))


@pytest.mark.parametrize("extra", [[9.0], [9.0, -3.0]])
def test_trailing_elements_are_ignored(extra):
    one = [2.0, 0.0, 1.5]
    np.testing.assert_array_equal(model(X, np.array(one + extra)), model(X, np.array(one)))
    J = jacobian(X, np.array(one + extra))
    assert J.shape == (4, 3 + len(extra))
    np.testing.assert_array_equal(J[:, :3], jacobian(X, np.array(one)))
    np.testing.assert_array_equal(J[:, 3:], 0.0)


@pytest.mark.parametrize("n", [0, 1, 2, 3, 7])
def test_empty_axis(n):
    assert model(np.array([]), np.ones(n)).shape == (0,)
    J = jacobian(np.array([]), np.ones(n))
    assert J.shape == (0, n) and J.dtype == np.float64


@pytest.mark.parametrize("n", [0, 1, 2])
def test_jacobian_without_a_peak_is_zero(n):
    J = jacobian(X, np.ones(n))
    assert J.shape == (4, n)
    np.testing.assert_array_equal(J, 0.0)


def test_centre_values():
    p = np.array([2.5, 1.0, 4.0])
    assert model(X, p)[2] == 2.5
    np.testing.assert_array_equal(jacobian(X, p)[2], [1.0, 0.0, 0.0])


def test_jacobian_symmetry_about_the_centre():
    x = np.array([-3.0, 7.0, 0.5, 3.5, 2.0])
    J = jacobian(x, np.array([3.0, 2.0, 2.0, -1.0, 4.0, 0.7]))
    for left, right in ((0, 1), (2, 3)):
        np.testing.assert_array_equal(J[left, [0, 2]], J[right, [0, 2]])
        assert J[left, 1] == -J[right, 1]


def test_zero_variance():
    p = np.array([3.0, 0.0, 0.0])
    y = model(X, p)
    assert np.isnan(y[1]) and np.all(y[[0, 2, 3]] == 0.0)
    J = jacobian(X, p)
    assert np.isnan(J[1, 0]) and np.all(J[[0, 2, 3], 0] == 0.0)
    assert np.all(np.isnan(J[:, 1:]))


def test_negative_variance_and_nan_propagate_without_errors():
    y = model(np.array([0.0, 10.0, 100.0]), np.array([1.0, 0.0, -1.0]))
    assert y[0] == 1.0 and y[1] > 1e21 and y[2] == np.inf
    y = model(np.array([0.0, np.nan, 2.0]), np.array([1.0, 0.0, 1.0, np.nan, 5.0, 1.0]))
    assert np.all(np.isnan(y))
    y = model(np.array([0.0, np.nan, 2.0]), np.array([1.0, 0.0, 1.0]))
    assert np.isnan(y[1]) and not np.isnan(y[0]) and not np.isnan(y[2])


# -- agreement with the scalar path and with NumPy ---------------------------------------------------

@pytest.mark.parametrize("sorted_axis", [True, False])
def test_model_within_a_few_ulp_of_the_scalar_plain_order(sorted_axis):
    # Narrow and wide peaks of both signs over 1500 points (whole blocks far from some peaks).
    rng = np.random.default_rng(5)
    x = np.linspace(0.0, 3000.0, 1500)
    if not sorted_axis:
        rng.shuffle(x)
    params = np.concatenate([spectrum_params(rng, 5, 3000.0, 5.0), spectrum_params(rng, 1, 3000.0, 60.0)])
    params[0::6] *= -1.0
    got = model(x, params)
    want = plain_model(x, params)
    _, scale = oracle_model(x, params)
    assert_close(got, want, scale)
    # Far from every peak the sum is an exact 0.0 whose sign follows the plain order.
    far = want == 0.0
    assert far.any()
    np.testing.assert_array_equal(np.signbit(got[far]), np.signbit(want[far]))


@settings(max_examples=80, deadline=None)
@given(x=st.lists(st.floats(-1e3, 1e3), max_size=40),
       params=st.lists(st.floats(-1e3, 1e3), max_size=13),
       layout_x=st.sampled_from(["contiguous", "strided", "reversed", "readonly"]),
       layout_p=st.sampled_from(["contiguous", "strided", "reversed", "readonly"]))
def test_matches_numpy_on_any_layout_and_leaves_inputs_alone(x, params, layout_x, layout_p):
    xa = layouts(np.array(x, dtype=np.float64))[layout_x]
    pa = layouts(np.array(params, dtype=np.float64))[layout_p]
    x0, p0 = xa.copy(), pa.copy()
    want_y, scale = oracle_model(x0, p0)
    assert_close(model(xa, pa), want_y, scale)
    want_J = oracle_jacobian(x0, p0)
    assert_close(jacobian(xa, pa), want_J, want_J)
    np.testing.assert_array_equal(xa, x0)
    np.testing.assert_array_equal(pa, p0)


def test_jacobian_matches_finite_differences_of_the_model():
    x = np.linspace(0.0, 100.0, 400)
    params = np.array([50.0, 30.0, 16.0, 20.0, 42.0, 9.0, 80.0, 70.0, 40.0])
    J = jacobian(x, params)
    for p in range(len(params)):
        h = 1e-6 * max(abs(params[p]), 1.0)
        up, down = params.copy(), params.copy()
        up[p] += h
        down[p] -= h
        numeric = (model(x, up) - model(x, down)) / (2 * h)
        np.testing.assert_allclose(J[:, p], numeric, rtol=1e-5, atol=1e-7 * np.max(np.abs(J[:, p])))


def test_least_squares_fit_recovers_three_peaks():
    rng = np.random.default_rng(2024)
    x = np.arange(0.0, 300.0)
    truth = np.array([120.0, 80.0, 16.0, 60.0, 97.0, 25.0, 200.0, 210.0, 36.0])
    counts = rng.poisson(model(x, truth) + 5.0).astype(np.float64) - 5.0
    start = truth * np.array([0.7, 1.0, 1.5, 1.3, 1.0, 0.6, 0.8, 1.0, 1.4]) + np.array([0, 3, 0, 0, -3, 0, 0, 4, 0])

    def residuals(p):
        return model(x, p) - counts

    fit = least_squares(residuals, start, jac=lambda p: jacobian(x, p), method="lm")
    assert fit.success
    # Parameter errors from the curvature at the optimum, with Poisson-sized noise.
    cov = np.linalg.inv(fit.jac.T @ fit.jac) * np.mean(fit.fun ** 2)
    err = np.sqrt(np.diag(cov))
    assert np.all(np.abs(fit.x - truth) < 5 * err), (fit.x - truth) / err
    numeric = least_squares(residuals, start, method="lm")
    np.testing.assert_allclose(fit.x, numeric.x, rtol=1e-5)
    assert fit.njev < numeric.nfev


# -- results made through np -------------------------------------------------------------------------

class Recorder:
    """Stands in for the module's `np`: records zeros calls; `make` builds each result."""

    def __init__(self, make=None):
        self.calls = []
        self.make = make or (lambda shape, dtype: np.zeros(shape) if dtype is None else np.zeros(shape, dtype))

    def zeros(self, shape, dtype=None, **kwargs):
        self.calls.append((shape, dtype, kwargs))
        return self.make(shape, dtype)

    def __getattr__(self, name):
        return getattr(np, name)


@pytest.fixture
def rebind(rebind_np):
    return lambda recorder: rebind_np(mod, recorder)


def test_results_come_from_np_zeros(rebind):
    rec = rebind(Recorder())
    x, p = np.arange(5.0), np.array([1.0, 2.0, 1.0, 9.0])
    model(x, p)
    jacobian(x, p)
    assert rec.calls == [(5, np.float64, {}), ((5, 4), None, {})]


@pytest.mark.parametrize("func, make, exc, message", [
    (model, lambda s, d: np.zeros(4), IndexError, OOB.format(0)),
    (model, lambda s, d: [0.0] * 5, TypeError, "Cannot convert list to numpy.ndarray"),
    (model, lambda s, d: np.zeros(5, np.float32), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (jacobian, lambda s, d: np.zeros((4, 4)), IndexError, OOB.format(0)),
    (jacobian, lambda s, d: np.zeros((5, 2)), IndexError, OOB.format(1)),
    (jacobian, lambda s, d: np.zeros(20), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (jacobian, lambda s, d: None, IndexError, OOB.format(0)),
])
def test_unusable_results_from_a_rebound_np(rebind, func, make, exc, message):
    rebind(Recorder(make))
    with pytest.raises(exc) as info:
        func(np.arange(5.0), np.array([1.0, 2.0, 1.0, 9.0]))
    assert str(info.value) == message


def test_results_with_room_to_spare_and_foreign_layouts_are_filled(rebind):
    x, p = np.linspace(0.0, 10.0, 7), np.array([1.0, 4.0, 2.0, 3.0, 8.0, 0.5, 1.0])
    want_y, want_J = model(x, p), jacobian(x, p)
    rebind(Recorder(lambda s, d: np.zeros(9) if d is not None else np.zeros((9, 8), order="F")))
    y, J = model(x, p), jacobian(x, p)
    np.testing.assert_array_equal(y[:7], want_y)
    np.testing.assert_array_equal(y[7:], 0.0)
    np.testing.assert_array_equal(J[:7, :7], want_J)


def test_result_over_the_inputs_memory_follows_the_plain_order(rebind):
    # A pathological np handing back the axis itself: later peaks see the sums of earlier ones.
    start = [0.0, 0.5, 1.0, 2.0]
    p = np.array([1.0, 0.0, 1.0, 2.0, 1.0, 0.5])
    x = np.array(start)
    rebind(Recorder(lambda s, d: x))
    model(x, p)
    np.testing.assert_array_equal(x, plain_model_in_place(list(start), p))


def plain_model_in_place(x, params):
    for A, mu, var in peaks(params):
        for j in range(len(x)):
            dx = x[j] - mu
            x[j] = x[j] + A * math.exp(((-0.5 * dx) * dx) / var)
    return x


# -- conversions and limits --------------------------------------------------------------------------

@pytest.mark.parametrize("func", [model, jacobian])
@pytest.mark.parametrize("x, params, exc, message", [
    (None, np.ones(3), TypeError, "Argument 'x' has incorrect type (expected numpy.ndarray, got NoneType)"),
    (np.ones(3), None, TypeError, "Argument 'params' has incorrect type (expected numpy.ndarray, got NoneType)"),
    ([1.0], np.ones(3), TypeError, "Argument 'x' has incorrect type (expected numpy.ndarray, got list)"),
    (np.arange(3), np.ones(3), ValueError, "Buffer dtype mismatch, expected 'double' but got 'long'"),
    (np.ones(3), np.ones(3, np.float32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (np.ones(3), np.ones(3, np.int32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'int'"),
    (np.ones((3, 1)), np.ones(3), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
])
def test_rejected_arguments(func, x, params, exc, message):
    with pytest.raises(exc) as info:
        func(x, params)
    assert str(info.value) == message


def zero_stride(n):
    return np.lib.stride_tricks.as_strided(np.zeros(1), shape=(n,), strides=(0,))


@pytest.mark.parametrize("func", [model, jacobian])
@pytest.mark.parametrize("which", ["x", "params"])
def test_lengths_beyond_32_bit_counts_are_refused_before_allocating(rebind, func, which):
    rec = rebind(Recorder())
    args = {"x": np.ones(4), "params": np.ones(3)}
    args[which] = zero_stride(2 ** 31)
    with pytest.raises(ValueError) as info:
        func(**args)
    assert str(info.value) == f"{which} has 2147483648 elements; at most 2147483647 are supported"
    assert rec.calls == []


def test_zero_stride_axis_within_the_limit():
    x = np.lib.stride_tricks.as_strided(np.array([2.0]), shape=(1000,), strides=(0,))
    y = model(x, np.array([3.0, 2.0, 1.0]))
    np.testing.assert_array_equal(y, np.full(1000, 3.0))


def test_keywords_and_references():
    x, p = np.linspace(0, 5, 6), np.array([1.0, 2.0, 3.0])
    before = [sys.getrefcount(o) for o in (x, p)]
    for _ in range(3):
        np.testing.assert_array_equal(model(params=p, x=x), model(x, p))
        np.testing.assert_array_equal(jacobian(params=p, x=x), jacobian(x, p))
        with pytest.raises(TypeError):
            model(x, None)
    assert [sys.getrefcount(o) for o in (x, p)] == before


@pytest.mark.parametrize("fn", [model, jacobian], ids=["model", "jacobian"])
def test_none_is_refused_after_every_argument_is_converted(fn):
    x, params = np.linspace(0.0, 10.0, 5), np.array([1.0, 5.0, 2.0])
    for args, name in (((None, params), "x"), ((x, None), "params"), ((None, None), "x")):
        with pytest.raises(TypeError) as info:
            fn(*args)
        assert str(info.value) == (f"Argument '{name}' has incorrect type (expected numpy.ndarray, "
                                   "got NoneType)")
        entries = [t.name for t in traceback.extract_tb(info.tb)[1:]]
        assert entries == [f"{mod.__name__}.{fn.__name__}"]
    # A conversion failure of the other argument is reported first.
    with pytest.raises(ValueError, match="Buffer dtype mismatch"):
        fn(None, params.astype(np.float32))
