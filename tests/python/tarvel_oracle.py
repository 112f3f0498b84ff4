"""The resampling of a response matrix written with NumPy arrays, in the kernel's operation order (so
agreement is exact): the oracle of the tests and the peer of the benchmarks."""
import numpy as np


def regions_oracle(E_p, max_value, escape):
    E_p = np.float64(E_p)  # IEEE division: no ZeroDivisionError at -255.5
    with np.errstate(all="ignore"):
        backscatter = E_p / ((E_p + E_p) / 511.0 + 1.0)
        bounds = [backscatter, E_p - backscatter, E_p - 10.0, E_p + 10.0]
        if escape:
            bounds += [E_p - 511.0, E_p - 1022.0]
    bounds = [0] + [float(b) for b in bounds] + [float(max_value)]
    if escape:
        bounds.sort()
    return bounds


def first_not_greater(x, arr):
    """The index search for every element of x: first i with not (x > arr[i]), else -1."""
    x = np.asarray(x, dtype=np.float64)
    arr = np.asarray(arr, dtype=np.float64)
    if arr.size == 0:
        return np.full(x.shape, -1)
    if x.size * arr.size > 1_000_000 and np.all(arr[:-1] <= arr[1:]):
        idx = np.searchsorted(arr, x, side="left")  # the same on an ascending array without NaN
        idx[idx == arr.size] = -1
        idx[np.isnan(x)] = 0
        return idx
    stop = ~(x[..., None] > arr)
    return np.where(stop.any(axis=-1), stop.argmax(axis=-1), -1)


def on_axis(x, xa, ya):
    m = first_not_greater(x, xa)
    ok = m > 0
    if len(xa) < 2:
        return np.full(np.shape(x), np.nan)
    m = np.where(ok, m, 1)
    value = ((ya[m] - ya[m - 1]) * (x - xa[m - 1])) / (xa[m] - xa[m - 1]) + ya[m - 1]
    return np.where(ok, value, np.nan)


def oracle(matrix, ref_indices, ref_E_axis, requested_indices, requested_E_axis, escape=None):
    """The resampling written with NumPy arrays; `escape` forces the escape-peak flag."""
    offsets, indices, values = [0], [], []
    x = np.asarray(requested_E_axis, dtype=np.float64)
    with np.errstate(all="ignore"):
        normalised = {}
        for E in requested_indices:
            k = int(first_not_greater(E, ref_indices))
            low_E, high_E = ref_indices[k - 1], ref_indices[k]
            for r in (k - 1, k):
                if r not in normalised:
                    normalised[r] = matrix[r] / np.sum(matrix[r])
            high, low = normalised[k], normalised[k - 1]
            M = float(np.max(requested_E_axis))
            esc = low_E > 1022.0 if escape is None else escape
            lr = np.asarray(regions_oracle(low_E, M, esc), dtype=np.float64)
            hr = np.asarray(regions_oracle(high_E, M, esc), dtype=np.float64)
            t = (E - low_E) / (high_E - low_E)
            Ei = t * (hr - lr) + lr
            kk = first_not_greater(x, Ei)
            ok = kk > 0
            kk = np.where(ok, kk, 1)
            f = (x - Ei[kk - 1]) / (Ei[kk] - Ei[kk - 1])
            e1 = f * (hr[kk] - hr[kk - 1]) + hr[kk - 1]
            e2 = f * (lr[kk] - lr[kk - 1]) + lr[kk - 1]
            y1 = on_axis(e1, ref_E_axis, high)
            y2 = on_axis(e2, ref_E_axis, low)
            row = np.where(ok, ((y1 - y2) * (E - low_E)) / (high_E - low_E) + y2, np.nan)
            row /= np.nansum(row)
            keep = np.flatnonzero(row > 1e-12)
            indices.extend(keep.tolist())
            values.extend(row[keep].tolist())
            offsets.append(len(values))
    return (np.asarray(offsets, dtype=np.int64), np.asarray(indices, dtype=np.int32),
            np.asarray(values, dtype=np.float64))
