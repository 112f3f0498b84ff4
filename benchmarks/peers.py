"""What a competent NumPy/SciPy user would write instead of each kernel: vectorised NumPy, and
scipy.sparse matrices built once and iterated with mat-vecs."""
import numpy as np
import scipy.sparse as sp

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


def _regions_array(E_p, top, escape):
    return np.asarray(calculate_regions(E_p, top, escape), dtype=np.float64)


def _interp_on_axis(x, x_axis, y_axis):
    """Linear interpolation of y_axis at x, NaN at or below the first point, above the last, or NaN x."""
    m = np.searchsorted(x_axis, x, side="left")
    ok = (m > 0) & (m < len(x_axis)) & ~np.isnan(x)
    m = np.clip(m, 1, len(x_axis) - 1)
    x1, x2 = x_axis[m - 1], x_axis[m]
    y1, y2 = y_axis[m - 1], y_axis[m]
    out = ((y2 - y1) * (x - x1)) / (x2 - x1) + y1
    return np.where(ok, out, np.nan)


def tarvel(matrix, ref_E, ref_axis, req_E, req_axis):
    """Region-wise resampling of a response matrix with NumPy, row by requested energy."""
    offsets, indices, values = [0], [], []
    top = float(np.max(req_axis))
    normalised = {}
    for E in req_E:
        hi = int(np.searchsorted(ref_E, E, side="left"))
        lo = hi - 1
        for r in (lo, hi):
            if r not in normalised:
                normalised[r] = matrix[r] / np.sum(matrix[r])
        low_E, high_E = ref_E[lo], ref_E[hi]
        escape = low_E > 1022.0
        low_reg = _regions_array(low_E, top, escape)
        high_reg = _regions_array(high_E, top, escape)
        t = (E - low_E) / (high_E - low_E)
        mid_reg = t * (high_reg - low_reg) + low_reg
        # Regions without escape peaks are not sorted at low energies: searchsorted would be wrong.
        stop = ~(req_axis[:, None] > mid_reg[None, :])
        k = np.where(stop.any(axis=1), stop.argmax(axis=1), len(mid_reg))
        ok = (k > 0) & (k < len(mid_reg))
        k = np.clip(k, 1, len(mid_reg) - 1)
        f = (req_axis - mid_reg[k - 1]) / (mid_reg[k] - mid_reg[k - 1])
        e_high = f * (high_reg[k] - high_reg[k - 1]) + high_reg[k - 1]
        e_low = f * (low_reg[k] - low_reg[k - 1]) + low_reg[k - 1]
        y_high = _interp_on_axis(e_high, ref_axis, normalised[hi])
        y_low = _interp_on_axis(e_low, ref_axis, normalised[lo])
        row = ((y_high - y_low) * (E - low_E)) / (high_E - low_E) + y_low
        row = np.where(ok, row, np.nan)
        row = row / np.nansum(row)
        keep = np.flatnonzero(row > 1e-12)
        indices.append(keep)
        values.append(row[keep])
        offsets.append(offsets[-1] + len(keep))
    return (np.asarray(offsets, dtype=np.int64),
            np.concatenate(indices).astype(np.int32) if indices else np.empty(0, np.int32),
            np.concatenate(values) if values else np.empty(0))


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
