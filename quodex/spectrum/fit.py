"""Fits of Gaussian peaks (with a low-energy tail and a step where the counts call for them) on a
straight background, and the detector's resolution law fitted to the peaks' widths."""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from scipy.optimize import least_squares
from scipy.special import erfc, erfcx
from scipy.stats import chi2 as chi2_dist

from quodex.utils.numerics.kernels.gaussian import fit_peaks_cy, multi_gaussian_cy, multi_gaussian_jacobian_cy

from .detector import FWHM_C, Resolution
from .results import Flag, Peak

__all__ = ["fit_region", "peaks_of", "fit_resolution", "Fit", "RegionModel", "MAX_MULTIPLET", "MODEL_SYSTEMATIC",
           "TAIL_MIN_AREA"]

MAX_MULTIPLET = 6  # peaks fitted as one problem; longer chains are split
"""Peaks fitted as one problem at most; longer chains are split."""
MODEL_SYSTEMATIC = 0.02  # relative shape error allowed before a fit counts as poor: judged against the counts
"""Relative error of the peak shape allowed before a fit counts as poor."""
TAIL_MIN_AREA = 2000.0  # counts below which a tail cannot be told from noise
"""Net counts below which a tail cannot be told from noise and is not tried."""
COMPILED_SOLVER = True
"""Fits run SciPy's trust-region-reflective steps compiled, in one call (tail and step with analytic
derivatives); False gives SciPy's own solver (the same steps, with NumPy's arithmetic and the
Jacobian below)."""


# --- The peak model --------------------------------------------------------------------------------

class RegionModel:
    """The model of one region: k peaks on a straight background, called with the parameter vector.

    With `shape` each peak also has a low-energy tail and a step, their fraction, slope and height
    shared by the region's peaks. The parameter vector is (A, mu, variance) per peak (height in counts,
    keV, keV^2), the background's level at the region's centre and its slope per keV, then (tail
    fraction, tail slope in sigmas, step height relative to A) when `shape`.

    Parameters
    ----------
    x : numpy.ndarray
        Channel energies, keV, ascending.
    k : int
        Number of peaks.
    shape : bool
        Add the tail and step.

    Attributes
    ----------
    x, k, shape
        As given.
    centre : float
        Middle of the region, keV: the background's level is taken there.
    dx : numpy.ndarray
        x - centre.
    """

    def __init__(self, x, k, shape):
        self.x = x
        self.k = k
        self.shape = shape
        self.centre = 0.5 * (x[0] + x[-1])
        self.dx = x - self.centre

    def parts(self, p, i):
        """(tail, step) of peak i per unit height and unit fraction, counts per channel: the extra
        counts are a (t tail + h step) / 2, linear in a, t and h."""
        beta_rel = p[3 * self.k + 3]
        _, mu, var = p[3 * i:3 * i + 3]
        sigma = math.sqrt(var)
        beta = beta_rel * sigma
        d = self.x - mu
        v = d / (math.sqrt(2.0) * sigma) + sigma / (math.sqrt(2.0) * beta)
        # exp(d/beta + sigma^2/2beta^2) erfc(v), written to neither overflow nor underflow to 0*inf
        tail = np.where(v > 0, np.exp(-0.5 * d * d / var) * erfcx(np.maximum(v, 0.0)),
                        np.exp(np.minimum(d / beta + 0.5 / (beta_rel * beta_rel), 700.0)) * erfc(v))
        return tail, erfc(d / (math.sqrt(2.0) * sigma))

    def extra(self, p, i):
        """Tail and step of peak i (counts per channel) for the parameters p."""
        t, h = p[3 * self.k + 2], p[3 * self.k + 4]
        tail, step = self.parts(p, i)
        return p[3 * i] * (0.5 * t * tail + 0.5 * h * step)

    def extras(self, p):
        """Tails and steps of all peaks (counts per channel; 0 without shape) for the parameters p."""
        if not self.shape:
            return 0.0
        out = np.zeros_like(self.x)
        for i in range(self.k):
            out += self.extra(p, i)
        return out

    def __call__(self, p):
        """Counts per channel at x for the parameters p."""
        k3 = 3 * self.k
        return multi_gaussian_cy(self.x, p[:k3]) + p[k3] + p[k3 + 1] * self.dx + self.extras(p)

    def jacobian(self, p):
        """Derivatives of the model by the parameters, len(x) x len(p): the Gaussians' analytic, the
        tails' and steps' by forward differences."""
        k3 = 3 * self.k
        jac = np.empty((len(self.x), len(p)))
        jac[:, :k3] = multi_gaussian_jacobian_cy(self.x, p[:k3])
        jac[:, k3] = 1.0
        jac[:, k3 + 1] = self.dx
        if self.shape:  # linear in height, tail fraction and step: exact; the rest by forward differences
            def step(j):
                q = p.copy()
                h = 1e-7 * max(abs(p[j]), 1e-3)
                q[j] += h
                return q, h
            t, hs = p[k3 + 2], p[k3 + 4]
            jac[:, k3 + 2] = 0.0
            jac[:, k3 + 4] = 0.0
            base_all = np.zeros_like(self.x)
            for i in range(self.k):
                tail, stp = self.parts(p, i)
                a = p[3 * i]
                base = a * (0.5 * t * tail + 0.5 * hs * stp)
                base_all += base
                jac[:, 3 * i] += 0.5 * t * tail + 0.5 * hs * stp
                jac[:, k3 + 2] += 0.5 * a * tail
                jac[:, k3 + 4] += 0.5 * a * stp
                for j in (3 * i + 1, 3 * i + 2):
                    q, h = step(j)
                    jac[:, j] += (self.extra(q, i) - base) / h
            q, h = step(k3 + 3)
            jac[:, k3 + 3] = (self.extras(q) - base_all) / h
        return jac

    def peak_area(self, p, i, width):
        """Net area (counts, tail included) of peak i, for channels `width` keV wide."""
        a, _, var = p[3 * i:3 * i + 3]
        tail = p[3 * self.k + 2] * p[3 * self.k + 3] * math.sqrt(var) if self.shape else 0.0
        return a * (math.sqrt(2.0 * math.pi * var) + tail) / width


def solve_weighted(model, y, sigma, p0, lo, hi, max_nfev=200):
    """The bounded least-squares fit of `model` to the counts y with the weights 1/sigma, from p0:
    (parameters, Jacobian of the weighted residuals there)."""
    if COMPILED_SOLVER:
        p, jac, _, _ = fit_peaks_cy(model.x, y, sigma, p0, lo, hi, max_nfev, model.shape)
        return p, jac
    r = least_squares(lambda p: (y - model(p)) / sigma, p0, jac=lambda p: model.jacobian(p) / -sigma[:, None],
                      bounds=(lo, hi), x_scale="jac", method="trf", max_nfev=max_nfev)
    return r.x, r.jac


@dataclass(frozen=True)
class Fit:
    """The result of `fit_region`.

    Attributes
    ----------
    model : RegionModel
        The region's model; ``model(p)`` is the fitted curve.
    p : numpy.ndarray
        The fitted parameters (see `RegionModel`).
    cov : numpy.ndarray
        Their covariance, scaled by the reduced chi-square where it exceeds 1.
    chi2 : float
        Reduced chi-square with Poisson weights.
    chi2_sys : float
        Reduced chi-square allowing a `MODEL_SYSTEMATIC` error of the peak shape.
    dof : int
        Degrees of freedom.
    lo, hi : numpy.ndarray
        The parameters' bounds.
    poor : bool
        The model does not describe the counts (a property: `chi2_sys` beyond the 1e-4 tail of its
        chi-square distribution).
    """
    model: RegionModel
    p: np.ndarray
    cov: np.ndarray
    chi2: float  # reduced, Poisson weights
    chi2_sys: float  # reduced, with the allowed systematic shape error
    dof: int
    lo: np.ndarray
    hi: np.ndarray
    z2: np.ndarray | None = None  # squared Poisson-normalised residual of every channel

    def local_chi2(self, mu, sigma):
        """Mean squared normalised residual within 1.5 sigma of `mu` (at least 3 channels): how well
        one peak is described, whatever a misfit elsewhere in its region."""
        if self.z2 is None:
            return self.chi2
        d = np.abs(self.model.x - mu)
        near = d <= max(1.5 * sigma, float(np.sort(d)[min(2, len(d) - 1)]))
        return float(np.mean(self.z2[near]))

    @property
    def poor(self):
        """Whether the model fails to describe the counts, allowing for the shape error."""
        return chi2_dist.sf(self.chi2_sys * self.dof, self.dof) < 1e-4


def half_width_sigma(x, net, j, sigma_range):
    """Sigma from the width at half height of the counts above the background around channel j, as a
    start: the middle of a wide allowed range can lead the solver into a wrong local minimum."""
    half = 0.5 * net[j]
    lo = j
    while lo > 0 and net[lo - 1] > half:
        lo -= 1
    hi = j
    while hi < len(net) - 1 and net[hi + 1] > half:
        hi += 1
    width = float(x[min(hi + 1, len(x) - 1)] - x[max(lo - 1, 0)]) - 0.5 * float(x[min(hi + 1, len(x) - 1)] - x[hi]) \
        - 0.5 * float(x[lo] - x[max(lo - 1, 0)])
    if not half > 0 or not width > 0:
        return math.sqrt(sigma_range[0] * sigma_range[1])
    return float(np.clip(width / FWHM_C, sigma_range[0], sigma_range[1]))


def fit_region(x, y, mus, sigma_range, shape=False, reach=None):
    """Least-squares fit of peaks on a straight background to the counts of one region.

    Poisson weights: from the data, then from the mean of data and the model of the first solution.

    Parameters
    ----------
    x : numpy.ndarray
        Channel energies, keV, ascending.
    y : numpy.ndarray
        Counts per channel.
    mus : sequence of float
        Starting centres of the peaks, keV; each stays within x.
    sigma_range : sequence of (float, float)
        For each peak the bounds (lo, hi) of its standard deviation, keV.
    shape : bool
        Add a low-energy tail and a step to every peak.
    reach : sequence of float, optional
        For each peak how far (keV) its centre may move from its start; anywhere within x when None.

    Returns
    -------
    Fit

    Raises
    ------
    ValueError, numpy.linalg.LinAlgError
        The problem cannot be solved (callers count such a region as not fitted).
    """
    x, y = np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)
    k = len(mus)
    model = RegionModel(x, k, shape)
    n = 3 * k + 2 + (3 if shape else 0)
    lo, hi = np.full(n, -np.inf), np.full(n, np.inf)
    lo[0:3 * k:3] = 0.0
    lo[1:3 * k:3], hi[1:3 * k:3] = x[0], x[-1]
    if reach is not None:
        for i, (mu, r) in enumerate(zip(mus, reach)):
            lo[3 * i + 1], hi[3 * i + 1] = max(x[0], mu - r), min(x[-1], mu + r)
    for i, (slo, shi) in enumerate(sigma_range):
        lo[3 * i + 2], hi[3 * i + 2] = slo * slo, shi * shi
    if shape:
        lo[-3:], hi[-3:] = (0.0, 0.5, 0.0), (2.0, 8.0, 0.05)
    edge = max(2, len(x) // 10)
    left, right = float(y[:edge].mean()), float(y[-edge:].mean())
    slope = (right - left) / (float(x[-edge:].mean() - x[:edge].mean()) or 1.0)
    level = left + slope * (model.centre - float(x[:edge].mean()))
    start = np.empty(n)
    net = y - (level + slope * model.dx)
    for i, mu in enumerate(mus):
        j = int(np.clip(np.searchsorted(x, mu), 0, len(x) - 1))
        sig = half_width_sigma(x, net, j, sigma_range[i])
        start[3 * i:3 * i + 3] = max(net[j], 1.0), mu, sig * sig
    start[3 * k:3 * k + 2] = level, slope
    if shape:
        start[-3:] = 0.2, 2.0, 0.002
    start = np.clip(start, np.nextafter(lo, np.inf), np.nextafter(hi, -np.inf))

    first, _ = solve_weighted(model, y, np.sqrt(np.maximum(y, 1.0)), start, lo, hi)
    # variances from the mean of model and data: the model's alone are tiny wherever it misses counts (an
    # unmodelled shoulder), which would drag a peak over to them; the data's alone bias areas low
    p, jac = solve_weighted(model, y, np.sqrt(np.maximum(0.5 * (model(first) + y), 1.0)), first, lo, hi)
    mu_model = np.maximum(0.5 * (model(p) + y), 1.0)
    dof = max(len(x) - n, 1)
    resid = y - model(p)
    chi2 = float(np.sum(resid * resid / mu_model)) / dof
    peak_part = mu_model - (p[3 * k] + p[3 * k + 1] * model.dx)
    chi2_sys = float(np.sum(resid * resid / (mu_model + (MODEL_SYSTEMATIC * peak_part) ** 2))) / dof
    cov = np.linalg.pinv(jac.T @ jac) * max(chi2, 1.0)
    return Fit(model, p, cov, chi2, chi2_sys, dof, lo, hi, resid * resid / mu_model)


def peaks_of(fit, x, region):
    """The peaks of a fit, with uncertainties and flags.

    Parameters
    ----------
    fit : Fit
    x : numpy.ndarray
        The channel energies (keV) it was fitted on.
    region : tuple of int
        The channels (start, stop) of `x`, stored on each peak.

    Returns
    -------
    list of Peak
        In the fit's order; flagged tail, multiplet, poor fit, and width or centroid held by a bound.
        Not identified.
    """
    width = float(np.mean(np.diff(x))) if len(x) > 1 else 1.0
    p, cov, k = fit.p, fit.cov, fit.model.k
    out = []
    for i in range(k):
        a, mu, var = p[3 * i:3 * i + 3]
        idx = [3 * i, 3 * i + 2] + ([3 * k + 2, 3 * k + 3] if fit.model.shape else [])
        grad = np.zeros(len(p))
        area = fit.model.peak_area(p, i, width)
        for j in idx:  # numeric gradient of the area; cheap and exact enough for an uncertainty
            q = p.copy()
            h = 1e-6 * max(abs(p[j]), 1e-9)
            q[j] += h
            grad[j] = (fit.model.peak_area(q, i, width) - area) / h
        # the uncertainties scaled by how well the counts near this peak are described, not by a
        # misfit elsewhere in the region (a steep edge, a neighbour's tail)
        local = math.sqrt(max(fit.local_chi2(mu, math.sqrt(var)), 1.0) / max(fit.chi2, 1.0))
        area_unc = local * math.sqrt(max(float(grad @ cov @ grad), 0.0))
        fwhm = FWHM_C * math.sqrt(var)
        fwhm_unc = local * FWHM_C * math.sqrt(max(cov[3 * i + 2, 3 * i + 2], 0.0)) / (2 * math.sqrt(var))
        extra = tuple(p[3 * k + 2:]) if fit.model.shape else (0.0, 0.0, 0.0)
        flags = [Flag.TAIL] * fit.model.shape + [Flag.MULTIPLET] * (k > 1) + [Flag.POOR_FIT] * bool(fit.poor)

        def pinned(j):
            return np.isclose(p[j], fit.lo[j], rtol=1e-3, atol=0) or np.isclose(p[j], fit.hi[j], rtol=1e-3, atol=0)
        if pinned(3 * i + 2):
            flags.append(Flag.WIDTH_AT_LIMIT)
        if pinned(3 * i + 1):
            flags.append(Flag.CENTROID_AT_EDGE)
        out.append(Peak(float(mu), local * math.sqrt(max(cov[3 * i + 1, 3 * i + 1], 0.0)), fwhm, fwhm_unc, area, area_unc,
                        region, np.array([a, mu, var, *extra]), (p[3 * k], p[3 * k + 1], fit.model.centre), fit.chi2,
                        tuple(flags)))
    return out


# --- Resolution ------------------------------------------------------------------------------------

def _fit_law(pts):
    """FWHM^2 = a^2 + b E through (energy, fwhm, weight) points, a^2 and b not negative, refitted without
    the worst point while one lies more than 25 % off; of two disagreeing points the better determined
    one stays. Returns (resolution or None, the points kept)."""
    from scipy.optimize import nnls
    pts = list(pts)
    while pts:
        e = np.array([p[0] for p in pts])
        f = np.array([p[1] for p in pts])
        w = np.sqrt(np.array([p[2] for p in pts])) / (f * f)
        if len(pts) == 1 or e.max() < 1.5 * e.min():
            # one energy: the statistics term alone scales it, FWHM ~ sqrt(E)
            res = Resolution(0.0, float(np.sum(w * w * f * f * e) / np.sum(w * w * e * e)))
        else:
            (a2, b), _ = nnls(np.column_stack([np.ones_like(e), e]) * w[:, None], f * f * w)
            res = Resolution(math.sqrt(a2), float(b))
        if res.b <= 0 and res.a <= 0:
            return None, []
        off = np.abs(np.log(f / res.fwhm(e)))
        if off.max() <= math.log(1.25) or len(pts) == 1:
            return res, pts
        del pts[int(np.argmin([p[2] for p in pts])) if len(pts) == 2 else int(np.argmax(off))]
    return None, []


def fit_resolution(points):
    """The detector's FWHM(E) fitted to the widths of fitted peaks.

    Backscatter bumps, Compton edges and unresolved groups are wider than the detector's peaks, and
    nothing makes a peak narrower: the law is first fitted to the points at most twice as wide, in
    FWHM / sqrt(E), as the narrowest strong one, then to every point it agrees with within 25 %.

    Parameters
    ----------
    points : iterable of (float, float, float)
        (energy keV, FWHM keV, weight) per peak; the weight is about the squared significance.

    Returns
    -------
    Resolution or None
        With a^2 and b not negative, `source` "fitted"; None without a usable point.
    """
    pts = [p for p in points if p[0] > 0 and p[1] > 0 and math.isfinite(p[1]) and p[2] > 0]
    if not pts:
        return None
    q = {p: p[1] / math.sqrt(p[0]) for p in pts}
    strong = [p for p in pts if p[2] >= 15.0 ** 2] or pts
    q_min = min(q[p] for p in strong)
    res, kept = _fit_law([p for p in pts if q[p] <= 2.0 * q_min])
    if res is None:
        return None
    agree = [p for p in pts if abs(math.log(p[1] / float(res.fwhm(p[0])))) <= math.log(1.25)]
    if len(agree) > len(kept):
        res = _fit_law(agree)[0] or res
    return res
