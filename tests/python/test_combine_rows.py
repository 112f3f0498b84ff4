"""Response rows outside the iterations: combine_rows (two sets of rows added with a weight per row, as
SciPy's sparse arithmetic adds them, and the modelled response built with it), row_sums and fold_rows
(NumPy's bincount sums, bit for bit)."""
import numpy as np
import pytest
import scipy.sparse as sp

from quodex.utils.numerics.kernels.deconvolution import combine_rows, fold_rows, row_sums


def scipy_sum(a, scale_a, b, scale_b, n):
    """diags(scale_a) @ A + diags(scale_b) @ B, canonical, as the unfolding built it before."""
    ma = sp.csr_matrix(a[::-1], shape=(len(scale_a), n))
    mb = sp.csr_matrix(b[::-1], shape=(len(scale_b), n))
    m = sp.csr_matrix(sp.diags(scale_a) @ ma + sp.diags(scale_b) @ mb)
    m.sum_duplicates()
    m.sort_indices()
    return m.indptr.astype(np.int64), m.indices.astype(np.int32), m.data.astype(np.float64)


def random_rows(rng, rows, n, density, odd=False):
    offsets, indices, values = [0], [], []
    for _ in range(rows):
        cols = np.flatnonzero(rng.random(n) < density).astype(np.int32)
        v = rng.random(len(cols))
        if odd and len(v):
            v[rng.random(len(v)) < 0.2] = 0.0
            v[rng.random(len(v)) < 0.05] = -1e-300
        indices.extend(cols)
        values.extend(v)
        offsets.append(len(indices))
    return np.array(offsets, np.int64), np.array(indices, np.int32), np.array(values, np.float64)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("odd", [False, True])
def test_equals_scipys_sum_bit_for_bit(seed, odd):
    rng = np.random.default_rng(seed)
    rows, n = 40, 57
    a = random_rows(rng, rows, n, 0.3, odd)
    b = random_rows(rng, rows, n, 0.5, odd)
    scale_a, scale_b = rng.random(rows), rng.random(rows)
    if odd:
        scale_a[::7] = 0.0
        scale_b[::5] = 0.0
        # products that cancel: a column whose two terms sum to exactly zero is left out
        b[2][:] = np.where(rng.random(len(b[2])) < 0.1, -b[2], b[2])
    got = combine_rows(*a, scale_a, *b, scale_b)
    want = scipy_sum(a, scale_a, b, scale_b, n)
    for g, w in zip(got, want):
        assert g.dtype == w.dtype and g.tobytes() == w.tobytes()


def test_cancelling_entries_are_left_out():
    one = (np.array([0, 2], np.int64), np.array([1, 3], np.int32), np.array([1.0, 2.0]))
    other = (np.array([0, 2], np.int64), np.array([1, 4], np.int32), np.array([-1.0, 5.0]))
    offsets, indices, values = combine_rows(*one, np.array([2.0]), *other, np.array([2.0]))
    assert offsets.tolist() == [0, 2] and indices.tolist() == [3, 4] and values.tolist() == [4.0, 10.0]


@pytest.mark.parametrize("bad, error, match", [
    ("descending", ValueError, "ascend"),
    ("repeated", ValueError, "ascend"),
    ("negative column", IndexError, "Out of bounds"),
    ("offsets past the entries", IndexError, "Out of bounds"),
    ("short offsets", IndexError, "Out of bounds"),
])
def test_bad_rows_are_refused(bad, error, match):
    offsets, indices, values = np.array([0, 3, 5], np.int64), np.array([0, 2, 4, 1, 3], np.int32), np.ones(5)
    if bad == "descending":
        indices[:3] = [4, 2, 0]
    elif bad == "repeated":
        indices[3:] = [1, 1]
    elif bad == "negative column":
        indices[4] = -1
    elif bad == "offsets past the entries":
        offsets[2] = 6
    else:
        offsets = offsets[:2]
    good = (np.array([0, 1, 2], np.int64), np.array([0, 0], np.int32), np.ones(2))
    with pytest.raises(error, match=match):
        combine_rows(offsets, indices, values, np.ones(2), *good, np.ones(2))


def test_scales_of_different_lengths_are_refused():
    rows = (np.array([0, 1, 2], np.int64), np.array([0, 0], np.int32), np.ones(2))
    with pytest.raises(ValueError, match="scale_a has 2 elements and scale_b 1"):
        combine_rows(*rows, np.ones(2), *rows, np.ones(1))


def test_modelled_response_rows_equal_the_sparse_sum():
    from quodex.spectrum import synthetic, unfold as uf
    from quodex.spectrum.detector import FWHM_C, KINDS
    from quodex.utils.numerics.kernels.deconvolution import build_gaussian_response

    energy = synthetic.bin_centres(4096)
    grid, _ = uf.grid_of(energy, np.ones_like(energy))
    resolution = KINDS["hpge"].nominal
    model = uf.model_response(grid, resolution, KINDS["hpge"], float(energy[-1]))
    w = np.gradient(grid)
    sigma = np.sqrt(np.maximum((model.fwhm(grid) / FWHM_C) ** 2 - w * w / 12.0, (0.3 * w) ** 2))
    peak = build_gaussian_response(grid.copy(), sigma)
    rest = uf.response_rows(grid, model.rest)
    ref = model.rest.ref_energies
    share = np.interp(np.log(np.maximum(grid, ref[0])), np.log(ref), model.rest.matrix.sum(axis=1))
    share[(grid <= ref[0]) | (grid > ref[-1])] = 0.0
    want = scipy_sum(peak, 1.0 / (1.0 + share), rest, share / (1.0 + share), len(grid))
    got = uf.response_rows(grid, model)
    assert len(got[1]) > 100 * len(grid)
    for g, w_ in zip(got, want):
        assert g.tobytes() == w_.tobytes()


@pytest.mark.parametrize("seed", range(4))
def test_row_sums_and_fold_equal_bincount_bit_for_bit(seed):
    rng = np.random.default_rng(seed)
    n = 83
    offsets, indices, values = random_rows(rng, n, n, 0.4, odd=True)
    values[::11] *= 1e12  # sums whose order shows in the bits
    x = rng.random(n) * 100
    row = np.repeat(np.arange(n), np.diff(offsets))
    want_sums = np.bincount(row, weights=values, minlength=n)
    want_fold = np.bincount(indices, weights=values * np.repeat(x, np.diff(offsets)), minlength=n)
    assert row_sums(offsets, values, n).tobytes() == want_sums.tobytes()
    assert fold_rows(x, offsets, indices, values).tobytes() == want_fold.tobytes()
    # a strided x reads the same values
    wide = np.zeros(2 * n)
    wide[::2] = x
    assert fold_rows(wide[::2], offsets, indices, values).tobytes() == want_fold.tobytes()


@pytest.mark.parametrize("bad", ["bin n", "negative bin", "offsets past the entries", "short offsets"])
def test_fold_and_sums_refuse_rows_outside_the_arrays(bad):
    offsets, indices, values = np.array([0, 2, 3, 3], np.int64), np.array([0, 2, 1], np.int32), np.ones(3)
    x = np.ones(3)
    if bad == "bin n":
        indices[1] = 3
    elif bad == "negative bin":
        indices[2] = -1
    elif bad == "offsets past the entries":
        offsets[2:] = 4
    else:
        offsets = offsets[:3]
    with pytest.raises(IndexError, match="Out of bounds"):
        fold_rows(x, offsets, indices, values)
    if bad in ("offsets past the entries", "short offsets"):
        with pytest.raises(IndexError, match="Out of bounds"):
            row_sums(offsets, values, 3)


def test_row_sums_refuses_a_negative_count():
    with pytest.raises(ValueError, match="n must be at least 0"):
        row_sums(np.zeros(1, np.int64), np.zeros(0), -1)
