"""Region lists and the resampling of a response matrix, against a small NumPy oracle that follows
the same operation order (so agreement is exact), plus the contract around bad input."""
import sys
import threading
import time
import traceback

import numpy as np
import pytest
from hypothesis import assume, given, settings, strategies as st

from conftest import readonly, reversed_view, strided
from tarvel_oracle import oracle, regions_oracle
from quodex.utils.numerics.kernels import tarvel
from quodex.utils.numerics.kernels.tarvel import calculate_regions, tarvel_cy

MODULE = "quodex.utils.numerics.kernels.tarvel"
NAN = float("nan")
INF = float("inf")


def assert_rows_equal(got, want):
    assert [a.dtype for a in got] == [np.dtype(np.int64), np.dtype(np.int32), np.dtype(np.float64)]
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, w)


def check_structure(offsets, indices, values, n_rows, n_channels):
    assert offsets[0] == 0 and len(offsets) == n_rows + 1
    assert np.all(np.diff(offsets) >= 0)
    assert offsets[-1] == len(indices) == len(values)
    for i in range(n_rows):
        row = indices[offsets[i]:offsets[i + 1]]
        assert np.all(np.diff(row) > 0)
    assert np.all((indices >= 0) & (indices < n_channels))
    assert not np.any(values <= 1e-12)  # NaN would fail too


def response(ref_indices, axis, seed=0):
    """Rows shaped like detector responses: a continuum up to a Compton edge and a photopeak."""
    rng = np.random.default_rng(seed)
    rows = []
    for E in ref_indices:
        edge = E - E / (1.0 + 2.0 * E / 511.0)
        row = np.where(axis < edge, 0.3 + 0.1 * rng.random(axis.size), 0.01)
        row += 5.0 * np.exp(-0.5 * ((axis - E) / (1.0 + 0.001 * E)) ** 2)
        rows.append(row)
    return np.array(rows)


REF_INDICES = np.array([100.0, 400.0, 800.0, 1500.0, 2500.0])
REF_AXIS = np.linspace(0.0, 3000.0, 121)
MATRIX = response(REF_INDICES, REF_AXIS)
REQ_AXIS = np.linspace(0.0, 3200.0, 97)  # reaches past the reference axis at the top


def call(**changes):
    args = dict(response_matrix=MATRIX, ref_indices=REF_INDICES, ref_E_axis=REF_AXIS,
                requested_indices=np.array([662.0]), requested_E_axis=REQ_AXIS)
    args.update(changes)
    return tarvel_cy(**args)


def error_of(fn):
    with pytest.raises(Exception) as info:
        fn()
    return info.value


# -- calculate_regions -----------------------------------------------------------------------------

@pytest.mark.parametrize("args, expected", [
    ((662.0, 3000.0, False), "[0, 184.34986376021797, 477.650136239782, 652.0, 672.0, 3000.0]"),
    ((100.0, 1000.0, False), "[0, 71.87060478199719, 28.129395218002813, 90.0, 110.0, 1000.0]"),
    ((255.5, 1000.0, False), "[0, 127.75, 127.75, 245.5, 265.5, 1000.0]"),
    ((1500.0, 3000.0, True),
     "[0, 218.3138706921105, 478.0, 989.0, 1281.6861293078896, 1490.0, 1510.0, 3000.0]"),
    ((1500.0, 1400.0, True),
     "[0, 218.3138706921105, 478.0, 989.0, 1281.6861293078896, 1400.0, 1490.0, 1510.0]"),
    ((800.0, 3000.0, True),
     "[-222.0, 0, 193.65229748934155, 289.0, 606.3477025106585, 790.0, 810.0, 3000.0]"),
    ((662.0, 3000.0, None), "[0, 184.34986376021797, 477.650136239782, 652.0, 672.0, 3000.0]"),
])
def test_region_examples(args, expected):
    got = calculate_regions(*args)
    assert type(got) is list and repr(got) == expected
    assert [type(v) for v in got].count(int) == 1
    assert all(type(v) is float for v in got if v is not got[got.index(0)])


def _float_or_special():
    return st.one_of(st.floats(-5000, 5000), st.sampled_from([NAN, INF, -INF, 0.0, -0.0, 1022.0, -255.5]))


@settings(max_examples=300, deadline=None)
@given(E_p=_float_or_special(), max_value=_float_or_special(), escape=st.booleans())
def test_regions_match_python_list_and_sort(E_p, max_value, escape):
    got = calculate_regions(E_p, max_value, escape)
    want = regions_oracle(E_p, max_value, escape)
    assert repr(got) == repr(want)
    assert [type(v) for v in got] == [type(v) for v in want]


def test_regions_are_a_new_list_each_call():
    first = calculate_regions(662.0, 3000.0, True)
    first.append("x")
    first[0] = None
    assert calculate_regions(662.0, 3000.0, True) == regions_oracle(662.0, 3000.0, True)


@pytest.mark.parametrize("flag, got", [(1, "int"), (1.0, "float")])
def test_region_flag_must_be_bool(flag, got):
    err = error_of(lambda: calculate_regions(662.0, 3000.0, flag))
    assert type(err) is TypeError
    assert str(err) == f"Argument 'has_escape_peaks' has incorrect type (expected bool, got {got})"


def test_regions_keyword_binding():
    assert calculate_regions(has_escape_peaks=False, max_value=10.0, E_p=662.0)[-1] == 10.0
    assert calculate_regions.__defaults__ is None
    assert calculate_regions.__code__.co_varnames[:3] == ("E_p", "max_value", "has_escape_peaks")
    assert tarvel_cy.__code__.co_varnames[:5] == (
        "response_matrix", "ref_indices", "ref_E_axis", "requested_indices", "requested_E_axis")
    assert [k for k in vars(tarvel) if not k.startswith("__")] == ["np", "calculate_regions", "tarvel_cy"]


# -- tarvel_cy against the oracle ------------------------------------------------------------------

def _sorted_floats(draw, n, lo, hi, allow_dups=True):
    values = sorted(draw(st.lists(st.floats(lo, hi), min_size=n, max_size=n)))
    return np.array(values)


@st.composite
def problems(draw):
    R = draw(st.integers(2, 5))
    ref_indices = _sorted_floats(draw, R, 0.0, 3000.0)
    if draw(st.booleans()):
        ref_indices = np.unique(ref_indices)
        assume(len(ref_indices) >= 2)
        R = len(ref_indices)
    L = draw(st.integers(0, 30))
    ref_axis = _sorted_floats(draw, L, -10.0, 3100.0)
    if L and draw(st.integers(0, 5)) == 0:  # the plain scan where the axis is not ascending
        ref_axis[draw(st.integers(0, L - 1))] = draw(st.sampled_from([NAN, 0.0, 5000.0]))
    S = L + draw(st.integers(0, 3))
    rows = R + draw(st.integers(0, 2))
    scale = np.exp(np.array(draw(st.lists(st.floats(-30, 30), min_size=rows * S, max_size=rows * S))))
    matrix = (scale * np.array(draw(st.lists(st.floats(-0.2, 1.0), min_size=rows * S, max_size=rows * S)))
              ).reshape(rows, S)
    if matrix.size and draw(st.integers(0, 6)) == 0:
        matrix.flat[draw(st.integers(0, matrix.size - 1))] = NAN
    N = draw(st.integers(1, 4))
    lo, hi = ref_indices[0], ref_indices[-1]
    assume(lo < hi)
    requested = []
    for _ in range(N):
        if draw(st.booleans()):
            E = ref_indices[draw(st.integers(1, R - 1))]
            assume(E > lo)
        else:
            E = draw(st.floats(lo, hi, exclude_min=True))
        requested.append(E)
    K = draw(st.integers(1, 30))
    req_axis = _sorted_floats(draw, K, -5.0, 3200.0)
    if draw(st.integers(0, 5)) == 0:
        req_axis[draw(st.integers(0, K - 1))] = NAN
    layout = draw(st.sampled_from(["contiguous", "strided", "reversed"]))
    return matrix, ref_indices, ref_axis, np.array(requested), req_axis, layout


def _layout(a, layout, writable=True):
    if layout == "strided":
        return strided(a)
    if layout == "reversed":
        return reversed_view(a)
    return a.copy()


@settings(max_examples=400, deadline=None)
@given(problems())
def test_agrees_with_numpy_oracle(problem):
    matrix, ref_indices, ref_axis, requested, req_axis, layout = problem
    args = [_layout(a, layout) for a in (matrix, ref_indices, ref_axis, requested, req_axis)]
    if layout == "strided":
        args[0] = matrix.T.copy().T if matrix.size else matrix  # column-major rows
    copies = [a.copy() for a in args]
    got = tarvel_cy(*args)
    want = oracle(matrix, ref_indices, ref_axis, requested, req_axis)
    assert_rows_equal(got, want)
    check_structure(*got, len(requested), len(req_axis))
    for a, c in zip(args, copies):
        np.testing.assert_array_equal(a, c)


def test_read_only_matrix_and_requested_energies_are_accepted():
    want = call()
    assert_rows_equal(call(response_matrix=readonly(MATRIX), requested_indices=readonly([662.0])), want)


@pytest.mark.parametrize("bufsize", [16, None])
@pytest.mark.parametrize("n_channels", [10, 40, 300])
def test_sums_beyond_numpys_buffer_agree(bufsize, n_channels):
    """Short sums are taken in NumPy's order here, long ones by NumPy; both must equal NumPy's."""
    rng = np.random.default_rng(n_channels)
    axis = np.linspace(0.0, 3000.0, n_channels)
    matrix = response(REF_INDICES, axis) * np.exp(rng.uniform(-20, 20, (len(REF_INDICES), n_channels)))
    requested = np.array([300.0, 1200.0, 2500.0])
    old = np.setbufsize(bufsize) if bufsize else None
    try:
        got = tarvel_cy(matrix, REF_INDICES, axis, requested, axis[::-1].copy()[::-1])
        want = oracle(matrix, REF_INDICES, axis, requested, axis)
    finally:
        if old is not None:
            np.setbufsize(old)
    assert_rows_equal(got, want)


def test_long_rows_at_default_buffer_size():
    n = np.getbufsize() + 9
    axis = np.linspace(0.0, 3000.0, n)
    rng = np.random.default_rng(3)
    matrix = response(REF_INDICES[2:4], axis) * np.exp(rng.uniform(-20, 20, (2, n)))
    requested = np.array([1000.0, 1500.0])
    got = tarvel_cy(matrix, REF_INDICES[2:4], axis, requested, strided(axis))
    assert_rows_equal(got, oracle(matrix, REF_INDICES[2:4], axis, requested, axis))


def test_call_made_from_inside_a_call_keeps_both_results(rebind_np):
    """Row sums beyond NumPy's buffer size go through the module's np; one that calls tarvel_cy
    again while the outer call is collecting its rows must not disturb either result."""
    axis = np.linspace(0.0, 3000.0, 40)
    matrix = response(REF_INDICES, axis)
    requested = np.array([300.0, 1200.0, 2500.0])
    inner_args = (matrix, REF_INDICES, axis.copy(), np.array([700.0, 2000.0]), axis.copy())
    inner_results = []

    class CallingBack:
        inside = False

        def __getattr__(self, name):
            return getattr(np, name)

        def nansum(self, a):
            if not self.inside:  # one level deep
                self.inside = True
                inner_results.append(tarvel_cy(*inner_args))
                self.inside = False
            return np.nansum(a)

    old = np.setbufsize(16)
    try:
        want_outer = oracle(matrix, REF_INDICES, axis, requested, axis)
        want_inner = oracle(*inner_args)
        rebind_np(tarvel, CallingBack())
        got = tarvel_cy(matrix, REF_INDICES, axis.copy(), requested, axis.copy())
    finally:
        np.setbufsize(old)
    assert len(inner_results) == len(requested)  # one per outer row
    assert_rows_equal(got, want_outer)
    for inner in inner_results:
        assert_rows_equal(inner, want_inner)


# -- behaviours ------------------------------------------------------------------------------------

@pytest.mark.parametrize("low_E, escape", [(1022.0, False), (1022.5, True)])
def test_escape_peak_flag_follows_low_energy_only(low_E, escape):
    ref_indices = np.array([low_E, 2900.0])
    matrix = response(ref_indices, REF_AXIS)
    requested = np.array([1400.0, 2000.0])
    got = tarvel_cy(matrix, ref_indices, REF_AXIS, requested, REQ_AXIS)
    assert_rows_equal(got, oracle(matrix, ref_indices, REF_AXIS, requested, REQ_AXIS, escape=escape))
    other = oracle(matrix, ref_indices, REF_AXIS, requested, REQ_AXIS, escape=not escape)
    assert not np.array_equal(got[2], other[2]) or not np.array_equal(got[1], other[1])


@pytest.mark.parametrize("k", [1, 2, 3, 4])
def test_requested_energy_equal_to_a_reference_energy(k):
    E = REF_INDICES[k]
    got = tarvel_cy(MATRIX, REF_INDICES, REF_AXIS, np.array([E]), REF_AXIS)
    # the pair is (k - 1, k): rows outside it do not matter
    other = MATRIX.copy()
    other[[i for i in range(len(REF_INDICES)) if i not in (k - 1, k)]] = 7.0
    assert_rows_equal(tarvel_cy(other, REF_INDICES, REF_AXIS, np.array([E]), REF_AXIS), got)
    # weight 1 on row k: the row itself, normalised, wherever both mapped energies are interior
    offsets, indices, values = got
    want = MATRIX[k] / MATRIX[k].sum()
    want /= want[indices].sum()
    np.testing.assert_allclose(values[5:-5], want[indices][5:-5], rtol=1e-9)


def test_rows_that_vanish_leave_no_entries():
    matrix = MATRIX.copy()
    matrix[1] = -1.0  # normalised: +1/S everywhere, but the neighbour row pulls the sum negative
    matrix[2] = np.nan
    got = tarvel_cy(matrix, REF_INDICES, REF_AXIS, np.array([200.0, 600.0, 900.0, 2000.0]), REQ_AXIS)
    assert_rows_equal(got, oracle(matrix, REF_INDICES, REF_AXIS, np.array([200.0, 600.0, 900.0, 2000.0]),
                                  REQ_AXIS))
    offsets = got[0]
    assert offsets[2] == offsets[1] and offsets[3] == offsets[2]  # the NaN row spoils both of its pairs
    assert offsets[4] > offsets[3]


def test_channels_the_reference_axis_misses_are_left_out():
    req_axis = np.linspace(-100.0, 3500.0, 200)
    offsets, indices, values = tarvel_cy(MATRIX, REF_INDICES, REF_AXIS, np.array([900.0]), req_axis)
    covered = req_axis[indices]
    assert covered.min() > 0.0 and covered.max() <= 3000.0
    inner = np.flatnonzero((req_axis > 0.0) & (req_axis < 2000.0))
    assert set(inner) <= set(indices.tolist())


def test_nan_in_requested_axis_makes_its_channel_and_the_top_bound_nan():
    req_axis = REQ_AXIS.copy()
    req_axis[40] = np.nan
    got = call(requested_E_axis=req_axis)
    assert 40 not in got[1]
    assert_rows_equal(got, oracle(MATRIX, REF_INDICES, REF_AXIS, np.array([662.0]), req_axis))


def test_output_rows_are_independent_and_in_request_order():
    energies = [2000.0, 662.0, 662.0, 150.0]
    offsets, indices, values = tarvel_cy(MATRIX, REF_INDICES, REF_AXIS, np.array(energies), REQ_AXIS)
    for i, E in enumerate(energies):
        o, ind, val = tarvel_cy(MATRIX, REF_INDICES, REF_AXIS, np.array([E]), REQ_AXIS)
        np.testing.assert_array_equal(indices[offsets[i]:offsets[i + 1]], ind)
        np.testing.assert_array_equal(values[offsets[i]:offsets[i + 1]], val)


@pytest.mark.parametrize("others", [
    dict(),
    dict(response_matrix=np.empty((0, 0)), ref_indices=np.empty(0), ref_E_axis=np.empty(7),
         requested_E_axis=np.empty(0)),
    dict(ref_indices=readonly(REF_INDICES), ref_E_axis=readonly(REF_AXIS), requested_E_axis=readonly(REQ_AXIS)),
])
def test_no_requested_energies(others):
    got = call(requested_indices=np.empty(0), **others)
    assert_rows_equal(got, (np.array([0]), np.empty(0), np.empty(0)))


# -- errors ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("ref_indices, E, position, detail", [
    (REF_INDICES, 100.0, 1, "ref_indices[0] = 100.0 and ref_indices[-1] = 2500.0"),
    (REF_INDICES, 50.0, 1, "ref_indices[0] = 100.0"),
    (REF_INDICES, 2500.5, 1, "ref_indices[-1] = 2500.0"),
    (REF_INDICES, NAN, 1, "must hold"),
    (np.array([100.0, NAN, 2500.0]), 3000.0, 1, "ref_indices[-1] = 2500.0"),
    (np.array([100.0]), 100.0, 1, "ref_indices has 1 element, at least 2 are needed"),
    (np.empty(0), 100.0, 1, "ref_indices has 0 elements, at least 2 are needed"),
])
def test_energy_without_bracketing_pair(ref_indices, E, position, detail):
    requested = np.array([2000.0, E, 300.0])
    if len(ref_indices) < 2:
        position = 0
    err = error_of(lambda: call(ref_indices=ref_indices, requested_indices=requested))
    assert type(err) is ValueError
    assert str(err).startswith(f"requested_indices[{position}] = {float(requested[position])!r} has no bracketing pair")
    assert detail in str(err)


@pytest.mark.parametrize("name", ["response_matrix", "ref_indices", "ref_E_axis", "requested_indices",
                                  "requested_E_axis"])
def test_none_is_refused_naming_the_argument(name):
    err = error_of(lambda: call(**{name: None}))
    assert type(err) is TypeError
    assert str(err) == f"Argument '{name}' has incorrect type (expected numpy.ndarray, got NoneType)"


def test_matrix_with_fewer_columns_than_the_reference_axis():
    err = error_of(lambda: call(response_matrix=MATRIX[:, :-1]))
    assert type(err) is ValueError
    assert str(err) == "response_matrix has 120 columns, fewer than the 121 elements of ref_E_axis"


def test_missing_rows_fail_only_when_needed():
    short = MATRIX[:3]  # rows for 100, 400 and 800 keV only
    assert_rows_equal(call(response_matrix=short, requested_indices=np.array([500.0, 800.0])),
                      call(requested_indices=np.array([500.0, 800.0])))
    err = error_of(lambda: call(response_matrix=short, requested_indices=np.array([500.0, 900.0])))
    assert type(err) is IndexError
    assert str(err) == "index 3 is out of bounds for axis 0 with size 3"


@pytest.mark.parametrize("name", ["ref_indices", "ref_E_axis", "requested_E_axis"])
def test_read_only_arrays_that_must_be_writable(name):
    value = {"ref_indices": REF_INDICES, "ref_E_axis": REF_AXIS, "requested_E_axis": REQ_AXIS}[name]
    err = error_of(lambda: call(**{name: readonly(value)}))
    assert type(err) is ValueError and "read-only" in str(err)


def test_empty_requested_axis_fails_in_the_row_interpolation():
    err = error_of(lambda: call(requested_E_axis=np.empty(0)))
    assert type(err) is ValueError
    assert "zero-size array to reduction operation maximum" in str(err)
    names = [fs.name for fs in traceback.extract_tb(err.__traceback__) if fs.name.startswith(MODULE)]
    assert names == [f"{MODULE}.tarvel_cy", f"{MODULE}.tarvel_cy", f"{MODULE}.interpolate_response_row"]


@pytest.mark.parametrize("changes, message", [
    (dict(response_matrix=MATRIX[0]), "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (dict(ref_E_axis=REF_AXIS.astype(np.float32)), "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
    (dict(requested_indices=[662.0]),
     "Argument 'requested_indices' has incorrect type (expected numpy.ndarray, got list)"),
])
def test_argument_conversion_errors(changes, message):
    assert str(error_of(lambda: call(**changes))) == message


def test_no_reference_leaks():
    args = (MATRIX.copy(), REF_INDICES.copy(), REF_AXIS.copy(), np.array([662.0, 1800.0]), REQ_AXIS.copy())
    bad_energy, empty_axis = np.array([1e9]), np.empty(0)
    before = [sys.getrefcount(a) for a in args + (bad_energy, empty_axis)]
    for _ in range(50):
        tarvel_cy(*args)
        for bad in ((*args[:3], bad_energy, args[4]), (*args[:4], empty_axis)):
            try:
                tarvel_cy(*bad)
            except ValueError:
                pass
            else:
                pytest.fail("no error")
    del bad
    assert [sys.getrefcount(a) for a in args + (bad_energy, empty_axis)] == before


# -- the run-wise path on larger rows --------------------------------------------------------------

def _axis(kind, n, lo, hi, rng):
    a = np.linspace(lo, hi, n)
    if kind == "clustered":
        a = lo + (hi - lo) * np.linspace(0.0, 1.0, n) ** 3
    elif kind == "duplicates":
        a = np.repeat(a[::3], 3)[:n]
    elif kind == "infinite ends":
        a[0], a[-1] = -INF, INF
    elif kind == "random":
        a = np.sort(rng.uniform(lo, hi, n))
    return a


@pytest.mark.parametrize("ref_kind", ["uniform", "clustered", "duplicates", "infinite ends", "random"])
@pytest.mark.parametrize("req_kind", ["uniform", "duplicates", "random", "descending"])
def test_large_rows_agree_with_numpy_oracle(ref_kind, req_kind):
    rng = np.random.default_rng(len(ref_kind) * 31 + len(req_kind))
    ref_indices = np.array([60.0, 300.0, 700.0, 1100.0, 1800.0, 2600.0])
    ref_axis = _axis(ref_kind, 1500, -5.0, 3000.0, rng)
    req_axis = _axis(req_kind if req_kind != "descending" else "uniform", 700, 0.0, 3300.0, rng)
    if req_kind == "descending":
        req_axis = req_axis[::-1].copy()  # the per-channel reference path
    finite = np.where(np.isfinite(ref_axis), ref_axis, 1500.0)
    matrix = response(ref_indices, finite, seed=1) * np.exp(rng.uniform(-5, 5, (len(ref_indices), len(ref_axis))))
    matrix[2, ::97] = NAN  # NaN channels spoil only the rows that use row 2
    matrix[4] = NAN
    requested = np.concatenate([rng.uniform(60.0, 2600.0, 12), ref_indices[1:]])
    got = tarvel_cy(matrix, ref_indices, ref_axis, requested, req_axis)
    assert_rows_equal(got, oracle(matrix, ref_indices, ref_axis, requested, req_axis))


# -- result arrays ---------------------------------------------------------------------------------

@pytest.mark.parametrize("n_channels", [5000, 900_000])  # filled in place; past the in-place bound
def test_results_own_their_memory_and_match_row_by_row_calls(n_channels):
    ref_indices = np.array([60.0, 700.0, 1800.0, 2600.0])
    axis = np.linspace(0.0, 3000.0, n_channels)
    matrix = response(ref_indices, np.linspace(0.0, 3000.0, 400))
    requested = np.array([500.0, 2500.0, 90.0, 1500.0, 700.0])
    got = tarvel_cy(matrix, ref_indices, np.linspace(0.0, 3000.0, 400), requested, axis)
    for a in got:
        assert a.flags.owndata and a.flags.c_contiguous and a.base is None
    assert len(got[1]) == len(got[2]) == got[0][-1] > 0
    rows = [tarvel_cy(matrix, ref_indices, np.linspace(0.0, 3000.0, 400), requested[i:i + 1], axis)
            for i in range(len(requested))]
    want_offsets = np.concatenate([[0], np.cumsum([r[0][1] for r in rows])])
    assert_rows_equal(got, (want_offsets, np.concatenate([r[1] for r in rows]),
                            np.concatenate([r[2] for r in rows])))


def test_arrays_that_np_shares_are_never_written(rebind_np):
    """Result arrays are filled in place only when the call holds the sole reference."""
    given = []

    class Sharing:
        def __getattr__(self, name):
            return getattr(np, name)

        def empty(self, n, dtype):
            a = np.full(n, 7, dtype=dtype)
            given.append(a)
            return a

    want = call(requested_indices=np.array([300.0, 662.0, 2000.0]))
    rebind_np(tarvel, Sharing())
    got = call(requested_indices=np.array([300.0, 662.0, 2000.0]))
    assert_rows_equal(got, want)
    returned = {id(a) for a in got}
    untouched = [a for a in given if id(a) not in returned]
    assert untouched and all(np.all(a == 7) for a in untouched)


# -- racing callers --------------------------------------------------------------------------------

def test_inputs_rewritten_by_another_thread_never_crash():
    """The loops without the GIL read only memory the call owns: threads that rewrite every input,
    to huge, negative, NaN and infinite values, may spoil results or raise, but never crash."""
    rng = np.random.default_rng(13)
    ref_indices = np.linspace(50.0, 3000.0, 12)
    ref_axis = np.linspace(0.0, 3000.0, 3000)
    matrix = response(ref_indices, ref_axis)
    requested = np.sort(rng.uniform(60.0, 3000.0, 60))
    req_axis = np.linspace(0.0, 3000.0, 2500)
    arrays = [matrix, ref_indices, ref_axis, requested, req_axis]
    originals = [a.copy() for a in arrays]
    poison = [2.0**62, -2.0**62, 1e308, -1e308, NAN, INF, -INF, -1.0, 0.0]
    stop = threading.Event()
    errors = []

    def rewrite():
        r = np.random.default_rng(7)
        while not stop.is_set():
            # the energies only now and then: a poisoned one ends a call before its rows
            chosen = arrays if r.random() < 0.1 else [matrix, ref_axis, req_axis]
            for a in chosen:
                flat = a.reshape(-1)
                flat[r.integers(0, flat.size, 64)] = r.choice(poison, 64)
                if r.random() < 0.2:
                    flat[:] = flat[::-1].copy() if r.random() < 0.5 else r.choice(poison)
            time.sleep(0)
            for a, o in zip(arrays, originals):
                if r.random() < 0.2 or a is ref_indices or a is requested:
                    a[...] = o

    def call_repeatedly():
        for _ in range(30):
            try:
                tarvel_cy(*arrays)
            except (ValueError, IndexError) as e:  # a rewritten energy may lose its bracketing pair
                errors.append(type(e))

    writers = [threading.Thread(target=rewrite) for _ in range(2)]
    callers = [threading.Thread(target=call_repeatedly) for _ in range(2)]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for t in writers + callers:
            t.start()
        for t in callers:
            t.join()
    finally:
        stop.set()
        for t in writers:
            t.join()
        sys.setswitchinterval(old)
    # untouched inputs still give the oracle's result after the race
    for a, o in zip(arrays, originals):
        a[...] = o
    assert_rows_equal(tarvel_cy(*arrays), oracle(*originals))
