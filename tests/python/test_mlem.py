"""ML-EM unfolding and the Richardson-Lucy driver: behaviours, row validation, agreement with
plain-order and SciPy oracles, untouched inputs, released buffers and the released GIL."""
import re
import sys
import threading
import time
import traceback
import types
import weakref

import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import given, settings, strategies as st

from conftest import readonly, reversed_view, strided
from quodex.utils.numerics.kernels import deconvolution as mod
from quodex.utils.numerics.kernels.deconvolution import ML_EM_cy, build_gaussian_response, richardson_lucy_cy

MODULE = "quodex.utils.numerics.kernels.deconvolution"
FWHM_C = 2.3548200450309493
OOB = "Out of bounds on buffer access (axis 0)"
OOB_RE = re.escape(OOB)


def oracle(y, offsets, indices, values, sensitivity, iterations):
    """The iteration in its plain order with Python floats; NumPy indexing gives the wrap-around."""
    n = len(y)
    x = [1.0] * n
    for _ in range(max(iterations, 0)):
        est = [0.0] * n
        for j in range(n):
            for k in range(int(offsets[j]), int(offsets[j + 1])):
                b = int(indices[k])
                est[b] = est[b] + x[j] * float(values[k])
        ratio = [float(y[i]) / (est[i] + 1e-12) for i in range(n)]
        for j in range(n):
            total = 0.0
            for k in range(int(offsets[j]), int(offsets[j + 1])):
                total = total + float(values[k]) * ratio[int(indices[k])]
            if sensitivity is not None:
                s = float(sensitivity[j])
                total = total / (s if s > 1e-12 else 1e-12)
            x[j] = x[j] * total
    return np.array(x, dtype=np.float64)


def scipy_mlem(y, offsets, indices, values, sensitivity, iterations):
    """The same iteration with SciPy mat-vecs: the rows are the columns of the response."""
    n = len(y)
    rows = sp.csr_matrix((values, indices, offsets), shape=(n, n))
    response = rows.T
    divisor = np.fmax(sensitivity, 1e-12)
    x = np.ones(n)
    for _ in range(iterations):
        x = x * ((rows @ (y / (response @ x + 1e-12))) / divisor)
    return x


def identity(n):
    return np.arange(n + 1, dtype=np.int64), np.arange(n, dtype=np.int32), np.ones(n)


def hpge_axis(n):
    edges = np.linspace(0.0, 3000.0, n + 1)
    return 0.5 * (edges[:-1] + edges[1:])


def get_sigma(k, E):
    return ((k * np.sqrt(E)) * E) / FWHM_C


K_662 = 1.0 * FWHM_C / 662.0 ** 1.5  # sigma(662 keV) = 1 keV


def spectrum(n, seed=0):
    rng = np.random.default_rng(seed)
    return rng.poisson(50.0, n).astype(np.float64)


def assert_same(a, b):
    assert type(a) is type(b) and a.dtype == b.dtype and a.shape == b.shape
    np.testing.assert_array_equal(a, b)


def routine_names(exc_info):
    return [fs.name for fs in traceback.extract_tb(exc_info.value.__traceback__)]


# -- behaviours of the iteration -------------------------------------------------------------------

def test_identity_response_divides_by_one_plus_guard():
    y = np.array([0.0, 1.0, 2.5, 1e6])
    got = ML_EM_cy(y, *identity(4), np.ones(4), 1)
    assert_same(got, y / (1.0 + 1e-12))


@pytest.mark.parametrize("iterations", [1, 2, 7])
def test_empty_rows_give_zero_and_stay_zero(iterations):
    # Row 1 is empty (equal offsets), row 2 reversed (start above end): both count as empty.
    offsets = np.array([0, 2, 2, 1, 4], dtype=np.int64)
    indices = np.array([0, 1, 2, 3], dtype=np.int32)
    y = np.array([3.0, 4.0, 5.0, 6.0])
    got = ML_EM_cy(y, offsets, indices, np.ones(4), np.ones(4), iterations)
    assert got[1] == 0.0 and got[2] == 0.0
    assert_same(got, oracle(y, offsets, indices, np.ones(4), np.ones(4), iterations))


def test_zero_spectrum_gives_zero():
    offsets, indices, values = build_gaussian_response(hpge_axis(64), np.full(64, 50.0))
    assert_same(ML_EM_cy(np.zeros(64), offsets, indices, values, np.ones(64), 1), np.zeros(64))


def test_repeated_bin_counts_both_entries():
    # Two half-weight entries to the same bin behave like one full-weight entry.
    y = np.array([2.0, 3.0])
    split = ML_EM_cy(y, np.array([0, 2, 3], dtype=np.int64), np.array([0, 0, 1], dtype=np.int32),
                     np.array([0.5, 0.5, 1.0]), np.ones(2), 3)
    assert_same(split, ML_EM_cy(y, *identity(2), np.ones(2), 3))


def test_sensitivity_guard_divides_by_floor():
    s = np.array([0.0, -1.0, np.nan, 1e-12, -0.0, 1e-13, 2.0])
    y = np.arange(1.0, 8.0)
    got = ML_EM_cy(y, *identity(7), s, 1)
    assert_same(got, (y / (1.0 + 1e-12)) / np.array([1e-12] * 6 + [2.0]))


def test_sensitivity_none_equals_ones_silently(capfd, monkeypatch):
    hook_calls = []
    monkeypatch.setattr(sys, "unraisablehook", hook_calls.append)
    y = spectrum(40)
    rows = build_gaussian_response(hpge_axis(40), np.full(40, 150.0))
    assert_same(ML_EM_cy(y, *rows, None, 5), ML_EM_cy(y, *rows, np.ones(40), 5))
    assert hook_calls == [] and capfd.readouterr() == ("", "")


@pytest.mark.parametrize("options", [
    dict(reg_tikhonov=True),
    dict(reg_tikhonov_lambda=123.0),
    dict(reg_tikhonov=True, reg_tikhonov_lambda=-1.0, use_sensitivity=True),
    dict(reg_tikhonov=None, use_sensitivity=None),
])
def test_unused_options_have_no_effect(options):
    y = spectrum(30, 3)
    rows = build_gaussian_response(hpge_axis(30), np.full(30, 120.0))
    s = np.linspace(0.5, 1.5, 30)
    assert_same(ML_EM_cy(y, *rows, s, 4, **options), ML_EM_cy(y, *rows, s, 4))


@pytest.mark.parametrize("iterations", [0, -1, -2**31])
def test_no_iterations_returns_ones_and_reads_nothing(iterations):
    bad = np.array([5, 99], dtype=np.int64)  # would fail validation if it were read
    assert_same(ML_EM_cy(np.ones(3), bad, None, None, None, iterations), np.ones(3))


@pytest.mark.parametrize("offsets", [None, np.array([7, -3, 100], dtype=np.int64), np.empty(0, dtype=np.int64)])
def test_empty_spectrum_returns_empty(offsets):
    got = ML_EM_cy(np.empty(0), offsets, None, None, None)
    assert got.shape == (0,) and got.dtype == np.float64


def test_y_none_fails_on_the_working_arrays():
    with pytest.raises(ValueError, match=r"^Buffer has wrong number of dimensions \(expected 1, got 0\)$"):
        ML_EM_cy(None, *identity(2), np.ones(2))


def test_result_keeps_shape_and_subclass_of_y():
    class Spectrum(np.ndarray):
        pass

    y = np.array([1.0, 2.0, 3.0]).view(Spectrum)
    got = ML_EM_cy(y, *identity(3), np.ones(3), 2)
    assert type(got) is Spectrum and got.shape == (3,) and got.dtype == np.float64
    assert got is not y


# -- validation before the iterations ----------------------------------------------------------------

def rows3():
    """Three rows, each feeding two bins."""
    return (np.array([0, 2, 4, 6], dtype=np.int64), np.array([0, 1, 1, 2, 2, 0], dtype=np.int32),
            np.full(6, 0.5))


def with_bin(indices, position, b):
    indices = indices.copy()
    indices[position] = b
    return indices


INVALID = {
    "offsets_one_short": lambda o, i, v, s: (o[:3], i, v, s),
    "offsets_none": lambda o, i, v, s: (None, i, v, s),
    "position_past_indices": lambda o, i, v, s: (o, i[:5], v, s),
    "position_past_values": lambda o, i, v, s: (o, i, v[:5], s),
    "negative_position_beyond": lambda o, i, v, s: (np.array([-7, 2, 4, 6], dtype=np.int64), i, v, s),
    "bin_is_n": lambda o, i, v, s: (o, with_bin(i, 5, 3), v, s),
    "bin_below_minus_n": lambda o, i, v, s: (o, with_bin(i, 0, -4), v, s),
    "indices_none": lambda o, i, v, s: (o, None, v, s),
    "values_none": lambda o, i, v, s: (o, i, None, s),
    "sensitivity_short": lambda o, i, v, s: (o, i, v, s[:2]),
    "sensitivity_empty": lambda o, i, v, s: (o, i, v, s[:0]),
}


@pytest.mark.parametrize("case", INVALID)
def test_invalid_rows_raise_before_any_iteration(case, capfd, monkeypatch):
    hook_calls = []
    monkeypatch.setattr(sys, "unraisablehook", hook_calls.append)
    with pytest.raises(IndexError) as info:
        ML_EM_cy(np.ones(3), *INVALID[case](*rows3(), np.ones(3)), 5)
    assert str(info.value) == OOB
    assert routine_names(info)[-2:] == [f"{MODULE}.ML_EM_cy"] * 2
    assert hook_calls == [] and capfd.readouterr() == ("", "")


@pytest.mark.parametrize("offsets, indices, n_values", [
    # empty and reversed rows are empty whatever their bounds; unused entries are never read
    ([100, 100, -50, -50], [-999], 1),
    ([1, 2, 2, 3], [99, 0, 2, -99, 77], 4),
    # negative positions count from the end, separately for indices and values
    ([-3, -2, -1, 0], [2, 1, 0], 3),
    ([-2, -1, 0, 1], [0, 9, 1, 2], 3),
    # a row running across position 0
    ([-1, 1, 1, 1], [1, 2], 2),
    # negative bins count back from n
    ([0, 1, 2, 3], [-1, -2, -3], 3),
])
def test_valid_unusual_rows_match_the_plain_order(offsets, indices, n_values):
    offsets = np.array(offsets, dtype=np.int64)
    indices = np.array(indices, dtype=np.int32)
    values = np.linspace(0.3, 0.9, n_values)
    y = np.array([2.0, 5.0, 7.0])
    for s in (None, np.array([0.5, 1.0, 2.0])):
        assert_same(ML_EM_cy(y, offsets, indices, values, s, 3), oracle(y, offsets, indices, values, s, 3))


# -- agreement with oracles, untouched inputs -----------------------------------------------------------

LAYOUTS = [lambda a: a.copy(), strided, reversed_view, readonly]


@st.composite
def problems(draw):
    n = draw(st.integers(1, 9))
    weight = st.floats(0.0, 10.0, allow_subnormal=False)
    rows = draw(st.lists(st.lists(st.tuples(st.integers(-n, n - 1), weight), max_size=5), min_size=n, max_size=n))
    gap = draw(st.integers(0, 3))
    indices = [0] * gap + [b for row in rows for b, _ in row]
    values = [0.25] * gap + [w for row in rows for _, w in row]
    offsets = [gap]
    for row in rows:
        offsets.append(offsets[-1] + len(row))
    offsets += draw(st.lists(st.integers(-10, 10), max_size=2))  # never read
    if draw(st.booleans()):  # address the entries from the end of the arrays
        offsets = [o - len(values) for o in offsets]
    y = draw(st.lists(st.floats(0.0, 1e4, allow_subnormal=False), min_size=n, max_size=n))
    s = draw(st.one_of(st.none(), st.lists(
        st.one_of(st.floats(-1.0, 3.0), st.just(np.nan), st.just(0.0)), min_size=n, max_size=n + 2)))
    return (np.array(y), np.array(offsets, dtype=np.int64), np.array(indices, dtype=np.int32), np.array(values),
            None if s is None else np.array(s))


@pytest.mark.filterwarnings("ignore:invalid value encountered in cast")  # NaN padding of strided ints
@settings(max_examples=150, deadline=None)
@given(problems(), st.lists(st.sampled_from(range(len(LAYOUTS))), min_size=5, max_size=5), st.integers(-1, 4))
def test_matches_plain_order_on_any_layout_and_leaves_inputs_alone(problem, layout, iterations):
    args = [None if a is None else LAYOUTS[k](a) for a, k in zip(problem, layout)]
    before = [None if a is None else a.copy() for a in args]
    got = ML_EM_cy(*args, iterations)
    assert_same(got, oracle(*problem, iterations))
    for a, b in zip(args, before):
        if a is not None:
            assert a.tobytes() == b.tobytes()


@pytest.mark.parametrize("n, width", [(300, 40.0), (2048, None)])
def test_gaussian_rows_match_scipy(n, width):
    axis = hpge_axis(n)
    sigma = np.full(n, width) if width else get_sigma(K_662, axis)
    offsets, indices, values = build_gaussian_response(axis, sigma)
    y = spectrum(n, 5)
    s = np.random.default_rng(6).uniform(0.2, 1.5, n)
    np.testing.assert_allclose(ML_EM_cy(y, offsets, indices, values, s, 25),
                               scipy_mlem(y, offsets, indices, values, s, 25), rtol=1e-12, atol=0)


def test_every_path_gives_the_same_bits():
    # Contiguous runs of bins, strided weights, strided bins, rows addressed from the end of the
    # arrays and bins counted back from n: each takes another way through the iteration.
    n = 700
    axis = hpge_axis(n)
    offsets, indices, values = build_gaussian_response(axis, get_sigma(K_662 * 8, axis))
    y = spectrum(n, 8)
    s = np.linspace(0.7, 1.3, n)
    want = ML_EM_cy(y, offsets, indices, values, s, 12)
    variants = [
        (offsets, indices, strided(values)),
        (offsets, reversed_view(indices), readonly(values)),
        (offsets - len(values), indices, values),
        (offsets, indices - np.int32(n), values),
    ]
    for args in variants:
        assert_same(ML_EM_cy(y, *args, s, 12), want)


# -- Richardson-Lucy ----------------------------------------------------------------------------------

@pytest.mark.parametrize("k, n, iterations", [(K_662, 512, 10), (0.05, 200, 3), (K_662, 1, 2), (K_662, 64, 0)])
@pytest.mark.parametrize("sensitivity", ["ones", "varied", "none"])
def test_richardson_lucy_is_ml_em_on_gaussian_rows(k, n, iterations, sensitivity):
    x = hpge_axis(n)
    y = spectrum(n, 11)
    s = {"ones": np.ones(n), "varied": np.linspace(0.5, 2.0, n), "none": None}[sensitivity]
    rows = build_gaussian_response(x, get_sigma(k, x))
    want = ML_EM_cy(y, *rows, s, iterations)
    assert_same(richardson_lucy_cy(x, y, k, s, iterations), want)
    x_view = strided(x)
    assert_same(richardson_lucy_cy(x_view, readonly(y), k, None if s is None else reversed_view(s),
                                   iterations=iterations, reg_tikhonov=True, use_sensitivity=True), want)
    assert_same(x_view, x)  # taken as the builder's writable axis, but never written


@pytest.mark.parametrize("k, energies, expected", [
    (0.0, [10.0, 20.0, 30.0], np.nan),       # zero widths give NaN weights
    (np.nan, [10.0, 20.0, 30.0], 0.0),       # NaN widths give empty rows
])
def test_richardson_lucy_degenerate_widths(k, energies, expected):
    got = richardson_lucy_cy(np.array(energies), np.ones(3), k, np.ones(3), 2)
    assert_same(got, np.full(3, expected))


def test_richardson_lucy_negative_energy_empties_its_bin():
    x = np.array([-5.0, 100.0, 200.0, 300.0])
    got = richardson_lucy_cy(x, np.full(4, 10.0), 0.01, np.ones(4), 3)
    assert got[0] == 0.0 and np.all(np.isfinite(got))


@pytest.mark.parametrize("x_len, routine", [(4, "richardson_lucy_cy"), (6, "build_gaussian_response")])
def test_richardson_lucy_axis_length_mismatch(x_len, routine):
    with pytest.raises(IndexError) as info:
        richardson_lucy_cy(hpge_axis(x_len), np.ones(5), K_662, np.ones(5))
    assert str(info.value) == OOB
    # outermost first: the visible function, its internal form, then the routine that failed
    want = [f"{MODULE}.richardson_lucy_cy"] * 2 + ([] if routine == "richardson_lucy_cy" else [f"{MODULE}.{routine}"])
    assert [name for name in routine_names(info) if name.startswith(MODULE)] == want


@pytest.mark.parametrize("x, y, exc, message", [
    (None, np.ones(3), IndexError, OOB_RE),
    (np.ones(3), None, ValueError, r"Buffer has wrong number of dimensions \(expected 1, got 0\)"),
    ([1.0, 2.0], np.ones(2), TypeError, r"Argument 'x' has incorrect type \(expected numpy.ndarray, got list\)"),
    (readonly(hpge_axis(3)), np.ones(3), ValueError, "read-only"),
])
def test_richardson_lucy_bad_arguments(x, y, exc, message):
    with pytest.raises(exc, match=message):
        richardson_lucy_cy(x, y, K_662, np.ones(3))


def test_richardson_lucy_invalid_sensitivity_reports_the_iteration():
    with pytest.raises(IndexError) as info:
        richardson_lucy_cy(hpge_axis(8), np.ones(8), K_662, np.ones(7))
    assert routine_names(info)[-3:] == [f"{MODULE}.richardson_lucy_cy"] * 2 + [f"{MODULE}.ML_EM_cy"]


def test_richardson_lucy_empty():
    assert richardson_lucy_cy(np.empty(0), np.empty(0), K_662, None).shape == (0,)
    assert richardson_lucy_cy(None, np.empty(0), K_662, None).shape == (0,)


# -- binding ------------------------------------------------------------------------------------------

def test_signatures():
    assert ML_EM_cy.__defaults__ == (30, False, 0.001, False)
    assert richardson_lucy_cy.__defaults__ == (30, False, 0.001, False)
    assert ML_EM_cy.__code__.co_varnames == ("y", "offsets", "indices", "values", "sensitivity", "iterations",
                                             "reg_tikhonov", "reg_tikhonov_lambda", "use_sensitivity")
    assert richardson_lucy_cy.__code__.co_varnames == ("x", "y", "k", "sensitivity", "iterations", "reg_tikhonov",
                                                       "reg_tikhonov_lambda", "use_sensitivity")
    assert [name for name in vars(mod) if name in ("ML_EM_cy", "build_gaussian_response", "richardson_lucy_cy")] == [
        "ML_EM_cy", "build_gaussian_response", "richardson_lucy_cy"]


I32 = np.zeros(1, dtype=np.int32)
I64 = np.array([0, 1], dtype=np.int64)
F64 = np.ones(1)


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((F64, I64, I32, F64), {}, TypeError, r"ML_EM_cy\(\) takes at least 5 positional arguments \(4 given\)"),
    ((F64, I64, I32, F64, F64, 1, False, 0.1, False, 0), {}, TypeError,
     r"ML_EM_cy\(\) takes at most 9 positional arguments \(10 given\)"),
    ((F64, I64, I64, F64, F64), {}, ValueError,
     r"Buffer dtype mismatch, expected 'int32_t' but got 'long'"),
    ((F64, I64, I32, F64, F64), {"reg_tikhonov": 1}, TypeError,
     r"Argument 'reg_tikhonov' has incorrect type \(expected bool, got int\)"),
    ((F64, I64, I32, F64, [1.0]), {}, TypeError,
     r"Argument 'sensitivity' has incorrect type \(expected numpy.ndarray, got list\)"),
    ((F64, I64, I32, F64, F64), {"iterations": 2**31}, OverflowError, "value too large to convert to int"),
    # conversion order: scalars first, then the array type tests, then flags, then buffers
    (([1.0], I64, I32, F64, F64), {"reg_tikhonov_lambda": "x"}, TypeError, "must be real number"),
    ((F64, I64, I32.astype(np.int64), F64, [1.0]), {}, TypeError, "Argument 'sensitivity'"),
    ((F64, I64, I32.astype(np.int64), F64, F64), {"use_sensitivity": 0}, TypeError, "Argument 'use_sensitivity'"),
])
def test_ml_em_binding_errors(args, kwargs, exc, message):
    with pytest.raises(exc, match=message):
        ML_EM_cy(*args, **kwargs)


def test_working_arrays_come_from_np_and_are_released(monkeypatch):
    made = []

    def recorded(func):
        def call(*args, **kwargs):
            a = func(*args, **kwargs)
            made.append(weakref.ref(a))
            return a
        return call

    fake = types.SimpleNamespace(**{name: getattr(np, name) for name in dir(np) if not name.startswith("__")})
    fake.ones_like = recorded(np.ones_like)
    fake.empty_like = recorded(np.empty_like)
    monkeypatch.setattr(mod, "np", fake)
    y = np.ones(3)
    x = ML_EM_cy(y, *identity(3), np.ones(3), 2)
    assert len(made) == 4 and made[0]() is x and all(r() is None for r in made[1:])
    made.clear()
    with pytest.raises(IndexError):
        ML_EM_cy(y, *identity(3), np.ones(2), 2)
    assert len(made) == 4 and all(r() is None for r in made)


@pytest.mark.parametrize("ones_like, exc, message", [
    (lambda y: list(y), TypeError, "^Cannot convert list to numpy.ndarray$"),
    (lambda y: np.ones(len(y) - 1), IndexError, OOB_RE),
    (lambda y: np.ones(len(y), dtype=np.float32), ValueError, "expected 'float64_t' but got 'float'"),
])
def test_unusable_working_array_is_refused(monkeypatch, ones_like, exc, message):
    monkeypatch.setattr(mod, "np", types.SimpleNamespace(ones_like=ones_like, empty_like=np.empty_like))
    with pytest.raises(exc, match=message):
        ML_EM_cy(np.ones(3), *identity(3), np.ones(3), 1)


@pytest.mark.parametrize("sensitivity_len", [4, 3])
def test_references_unchanged_after_success_and_failure(sensitivity_len):
    y, x = np.arange(4.0), hpge_axis(4)
    offsets, indices, values = identity(4)
    sensitivity = np.ones(sensitivity_len)
    watched = (y, x, offsets, indices, values, sensitivity)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(3):
        try:
            ML_EM_cy(y, offsets, indices, values, sensitivity, 2)
        except IndexError:
            pass
        try:
            richardson_lucy_cy(x, y, K_662, sensitivity, 2)
        except IndexError:
            pass
    assert [sys.getrefcount(o) for o in watched] == before


# -- the GIL --------------------------------------------------------------------------------------------

def test_other_thread_runs_during_a_long_call():
    # With a huge switch interval the main thread never loses the GIL involuntarily, so every count
    # the worker makes between the two readings happened while the call had released it.
    n = 4096
    x = hpge_axis(n)
    rows = build_gaussian_response(x, get_sigma(K_662, x))
    y = spectrum(n, 9)
    count = [0]
    stop = threading.Event()

    def worker():
        while not stop.is_set():
            count[0] += 1
            time.sleep(1e-4)  # hands the GIL back to the main thread whenever it waits for it

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    thread = threading.Thread(target=worker)
    try:
        thread.start()
        before = count[0]
        ML_EM_cy(y, *rows, np.ones(n), 400)
        during = count[0] - before
    finally:
        stop.set()
        sys.setswitchinterval(old)
        thread.join()
    assert during > 0


def test_rows_rewritten_while_calls_run_never_crash():
    # A writer thread rewrites the rows with huge, negative and non-finite values while calls run
    # (their iterations release the GIL). Each call either rejects the rows it validated or returns
    # n numbers; what it computes from a rewrite is undefined, where it reads is not.
    n = 2048
    axis = hpge_axis(n)
    offsets, indices, values = build_gaussian_response(axis, get_sigma(K_662 * 4, axis))
    good = (offsets.copy(), indices.copy(), values.copy())
    y = spectrum(n, 21)
    stop = threading.Event()
    rng = np.random.default_rng(5)
    huge = np.iinfo(np.int64).max

    def writer():
        while not stop.is_set():
            k = int(rng.integers(0, 6))
            where = rng.integers(0, len(values), 64)
            if k == 0:
                offsets[rng.integers(0, n + 1, 8)] = rng.choice([huge, -huge, -1, len(values) * 4], 8)
            elif k == 1:
                indices[where] = rng.choice([2**31 - 1, -2**31, -1, n, -n - 1], 64)
            elif k == 2:
                values[where] = rng.choice([np.nan, np.inf, -np.inf, 1e308, -0.0], 64)
            else:
                for a, g in zip((offsets, indices, values), good):
                    a[...] = g
            time.sleep(0)

    thread = threading.Thread(target=writer)
    thread.start()
    results = {"ok": 0, "rejected": 0}
    try:
        deadline = time.monotonic() + 3.0
        while time.monotonic() < deadline:
            for iterations in (1, 20):
                try:
                    x = ML_EM_cy(y, offsets, indices, values, np.ones(n), iterations)
                except IndexError as exc:
                    assert str(exc) == OOB
                    results["rejected"] += 1
                else:
                    assert x.shape == (n,) and x.dtype == np.float64
                    results["ok"] += 1
    finally:
        stop.set()
        thread.join()
    assert results["ok"] > 0


def gapped_gaussian_rows(n, every, seed=0):
    """Gaussian rows of the HPGe axis with one bin cut out of the middle of every `every`-th row."""
    axis = hpge_axis(n)
    offsets, indices, values = build_gaussian_response(axis.copy(), get_sigma(30 * K_662, axis))
    keep = np.ones(len(indices), bool)
    for j in range(0, n, every):
        s, e = offsets[j], offsets[j + 1]
        if e - s > 4:
            keep[(s + e) // 2] = False
    counts = np.array([keep[offsets[j]:offsets[j + 1]].sum() for j in range(n)])
    gapped = np.concatenate(([0], np.cumsum(counts))).astype(np.int64)
    return gapped, indices[keep].copy(), values[keep].copy()


@pytest.mark.parametrize("every", [1, 37])
@pytest.mark.parametrize("poison", [None, np.inf, np.nan])
def test_rows_with_gaps_give_the_plain_order(every, poison):
    n = 64
    offsets, indices, values = gapped_gaussian_rows(n, every)
    assert any(np.any(np.diff(indices[offsets[j]:offsets[j + 1]]) > 1) for j in range(n))
    y = spectrum(n, seed=every)
    if poison is not None:
        y[::13] = poison
    sens = np.bincount(np.repeat(np.arange(n), np.diff(offsets)), weights=values, minlength=n)
    for iterations in (1, 9, 25):
        got = ML_EM_cy(y, offsets, indices, values, sens, iterations)
        want = oracle(y, offsets, indices, values, sens, iterations)
        np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
        finite = ~np.isnan(want)
        assert got[finite].tobytes() == want[finite].tobytes()
