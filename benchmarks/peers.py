"""What a competent NumPy/SciPy user would write instead of each kernel: vectorised NumPy, and
scipy.sparse matrices built once and iterated with mat-vecs."""
import os
import sys

import numpy as np
import scipy.sparse as sp

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "python"))
import tarvel_oracle  # noqa: E402

FWHM_C = 2.3548200450309493


def gaussian_rows(axis, sigma, nsigma=5.0):
    n = len(axis)
    half = sigma * nsigma
    low = np.searchsorted(axis, axis - half)
    high = np.searchsorted(axis, axis + half, side="right")
    counts = np.maximum(high - low, 0)
    offsets = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    rows = np.repeat(np.arange(n), counts)
    cols = np.arange(offsets[-1]) - np.repeat(offsets[:-1] - low, counts)
    x = (axis[cols] - axis[rows]) / sigma[rows]
    w = np.exp((x * -0.5) * x)
    filled = counts > 0
    norm = np.add.reduceat(w, offsets[:-1][filled]) if w.size else w
    values = w / np.repeat(norm, counts[filled])
    return offsets, cols.astype(np.int32), values


def check_rows(got, want, rtol=1e-13):
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])
    np.testing.assert_allclose(got[2], want[2], rtol=rtol, atol=1e-300)


class MlemScipy:
    """ML-EM with the response as CSR matrices built once; one iteration is two mat-vecs."""

    def __init__(self, offsets, indices, values, n):
        self.rows_by_source = sp.csr_matrix((values, indices, offsets), shape=(n, n))  # R transposed
        self.rows_by_measured = self.rows_by_source.T.tocsr()  # R

    def run(self, y, sensitivity, iterations):
        x = np.ones_like(y)
        divisor = np.maximum(sensitivity, 1e-12)
        for _ in range(iterations):
            estimate = self.rows_by_measured @ x
            ratio = y / (estimate + 1e-12)
            correction = self.rows_by_source @ ratio
            correction /= divisor
            x *= correction
        return x


def richardson_lucy(axis, y, k, sensitivity, iterations):
    sigma = ((k * np.sqrt(axis)) * axis) / FWHM_C
    offsets, indices, values = gaussian_rows(axis, sigma)
    return MlemScipy(offsets, indices, values, len(y)).run(y, sensitivity, iterations)


def calculate_regions(E_p, max_value, has_escape_peaks):
    backscatter = E_p / (1.0 + (E_p + E_p) / 511.0)
    regions = [0, backscatter, E_p - backscatter, E_p - 10.0, E_p + 10.0]
    if has_escape_peaks:
        regions += [E_p - 511.0, E_p - 1022.0, max_value]
        regions.sort()
        return regions
    return regions + [max_value]


# The resampling's peer is the tests' NumPy oracle, one module for both.
tarvel = tarvel_oracle.oracle


def mariscotti(y):
    S = np.zeros_like(y)
    F = np.zeros_like(y)
    S[1:-1] = (y[:-2] - 2.0 * y[1:-1]) + y[2:]
    F[1:-1] = np.sqrt((y[:-2] + 4.0 * y[1:-1]) + y[2:])
    return S, F


def _peaks(params):
    p = params[: 3 * (len(params) // 3)].reshape(-1, 3)
    return p[:, 0], p[:, 1], p[:, 2]


def multi_gaussian(x, params):
    A, mu, var = _peaks(params)
    dx = x[:, None] - mu[None, :]
    return (A * np.exp(((-0.5 * dx) * dx) / var)).sum(axis=1)


def multi_gaussian_jacobian(x, params):
    A, mu, var = _peaks(params)
    dx = x[:, None] - mu[None, :]
    e = np.exp(((-0.5 * dx) * dx) / var)
    J = np.zeros((len(x), len(params)))
    k = 3 * len(A)
    J[:, 0:k:3] = e
    Ae_dx = (A * e) * dx
    J[:, 1:k:3] = Ae_dx / var
    J[:, 2:k:3] = (Ae_dx * dx) / ((2.0 * var) * var)
    return J
