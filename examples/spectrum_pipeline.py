"""End-to-end analysis of an HPGe gamma-ray spectrum with the quodex kernels.

1. Peak search: the second difference S of the spectrum and its Poisson standard deviation F
   (mariscotti_peak_search_cy), tested as -S > threshold * F on the spectrum and on copies with
   2, 4, ... channels summed, so that wide peaks are found as well as narrow ones.
2. Peak fits: every candidate region is fitted with scipy.optimize.least_squares, the model being
   Gaussians (multi_gaussian_cy, analytic Jacobian multi_gaussian_jacobian_cy) on a straight
   background; implausible fits are rejected. The detector resolution is then fitted to the peaks.
3. Sharpening: Richardson-Lucy deconvolution (richardson_lucy_cy) with the fitted resolution,
   and refits of the sharpened peaks.
4. Unfolding: a tabulated detector response is resampled onto the spectrum's energies (tarvel_cy)
   and the spectrum is unfolded through it (ML_EM_cy): Compton continua and escape peaks move back
   into the photopeaks that caused them.

Without --spectrum the input is a seeded synthetic measurement of a mixed source (lines at 59.54,
661.66, 1173.23, 1332.49, 1460.82 and 2614.51 keV, 8192 channels over 0..3000 keV).
"""
import argparse
import importlib.util
import math
import os
import sys
import time
from dataclasses import dataclass, field

import numpy as np
from scipy.optimize import least_squares

from quodex.utils.numerics.kernels.deconvolution import ML_EM_cy, richardson_lucy_cy
from quodex.utils.numerics.kernels.gaussian import multi_gaussian_cy, multi_gaussian_jacobian_cy
from quodex.utils.numerics.kernels.mariscotti import mariscotti_peak_search_cy
from quodex.utils.numerics.kernels.tarvel import tarvel_cy

import synthetic

FWHM_C = 2.3548200450309493  # FWHM / sigma of a Gaussian
ELECTRON_KEV = 511.0
MIN_CHANNELS = 64
UNFOLD_CHANNELS = 2048  # the unfolding grid: at most this many channels (response rows stay small)
REFERENCE_ENERGIES = 40  # rows of the tabulated response
REFERENCE_LOW_KEV = 50.0


class SpectrumFileError(ValueError):
    """A spectrum file that cannot be read or does not hold a usable spectrum."""


@dataclass(frozen=True)
class Resolution:
    """Detector resolution FWHM(E) = sqrt(a^2 + b E), keV: electronic noise and carrier statistics."""
    a: float
    b: float

    def fwhm(self, energy):
        return np.sqrt(self.a * self.a + self.b * np.maximum(np.asarray(energy, dtype=np.float64), 0.0))

    def __str__(self):
        return f"FWHM(E) = sqrt({self.a:.3f}^2 + {self.b:.5f} E) keV"


# A typical coaxial HPGe data sheet (0.92 keV at 122 keV, 1.94 keV at 1332 keV): the first guess of
# the peak widths, replaced by the resolution fitted to the peaks of the spectrum itself.
NOMINAL_RESOLUTION = Resolution(0.75, 0.0024)


@dataclass
class Candidate:
    channel: int
    significance: float  # -S / F at the channel width where it was found
    scale: int  # channels summed


@dataclass
class Peak:
    energy: float
    energy_err: float
    fwhm: float
    fwhm_err: float
    area: float  # net counts
    area_err: float
    chi2: float  # reduced chi-square of the region fit
    region: tuple  # channel range [start, stop)
    params: np.ndarray = field(repr=False)  # (A, mu, variance) of this peak
    background: np.ndarray = field(repr=False)  # (level at centre, slope, centre) of the region

    @property
    def significance(self):
        return self.area / self.area_err if self.area_err > 0 else math.inf


@dataclass
class Region:
    start: int
    stop: int
    peaks: list  # of Peak, those accepted
    curve: np.ndarray  # fitted model over the region


@dataclass
class Result:
    energy: np.ndarray
    counts: np.ndarray
    known: tuple
    candidates: list
    peaks: list
    regions: list
    rejected: dict  # reason -> number of candidates
    resolution: Resolution
    resolution_fitted: bool  # False: too few peaks, the nominal resolution was used
    sharpened: np.ndarray
    sharpened_peaks: list  # Peak or None, parallel to peaks
    grid: np.ndarray  # energies of the unfolding grid
    grid_counts: np.ndarray
    unfolded: np.ndarray
    rows: tuple
    table: list  # of Line
    times: dict


@dataclass
class Line:
    known: float  # NaN for a peak that matches no known line
    peak: Peak  # None for a known line that was not found
    sharpened: Peak
    note: str


# --- Input -----------------------------------------------------------------------------------------

def read_spectrum(path):
    """(energy, counts) from a text file of two columns, energy (keV, ascending) and counts, separated
    by white space or a comma; '#' starts a comment. Raises SpectrumFileError with a one-line message."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except UnicodeDecodeError:
        raise SpectrumFileError(f"cannot read {path}: not a UTF-8 text file") from None
    except OSError as e:
        raise SpectrumFileError(f"cannot read {path}: {e.strerror or e}") from None
    energy, counts, previous = [], [], None
    for number, line in enumerate(text.splitlines(), 1):
        fields = line.split("#", 1)[0].replace(",", " ").split()
        if not fields:
            continue
        where = f"{path}, line {number}"
        if len(fields) != 2:
            raise SpectrumFileError(f"{where}: expected 2 columns (energy, counts), found {len(fields)}")
        try:
            e, c = float(fields[0]), float(fields[1])
        except ValueError:
            raise SpectrumFileError(f"{where}: not a number: {line.strip()!r}") from None
        if not (math.isfinite(e) and math.isfinite(c)):
            raise SpectrumFileError(f"{where}: energy and counts must be finite: {line.strip()!r}")
        if c < 0:
            raise SpectrumFileError(f"{where}: negative counts {fields[1]}")
        if energy and not e > energy[-1]:
            raise SpectrumFileError(f"{where}: energies must ascend, {fields[0]} follows {previous}")
        previous = fields[0]
        energy.append(e)
        counts.append(c)
    if len(energy) < MIN_CHANNELS:
        raise SpectrumFileError(f"{path}: a spectrum needs at least {MIN_CHANNELS} channels, found {len(energy)}")
    if not any(counts):
        raise SpectrumFileError(f"{path}: all counts are zero")
    if energy[-1] <= REFERENCE_LOW_KEV:
        raise SpectrumFileError(f"{path}: energies end at {energy[-1]!r} keV, below {REFERENCE_LOW_KEV} keV")
    return np.array(energy), np.array(counts)


def rebin(values, factor):
    """Sums of `factor` consecutive channels; a last incomplete group is dropped. Sums of Poisson
    counts are Poisson counts, so the standard deviation of the second difference stays exact."""
    n = len(values) // factor * factor
    return values[:n].reshape(-1, factor).sum(axis=1)


# --- Peak search -----------------------------------------------------------------------------------

def search_scales(energy, resolution):
    """1, 2, 4, ... up to the channel count that holds about one standard deviation of the widest peak:
    the three-point second difference is most sensitive to peaks of about that width."""
    width = np.gradient(energy)
    sigma_channels = float(np.max(resolution.fwhm(energy) / FWHM_C / width))
    scales = [1]
    while scales[-1] * 2 <= max(sigma_channels, 1.0) * 1.5 and scales[-1] * 2 * 8 <= len(energy):
        scales.append(scales[-1] * 2)
    return scales


def find_candidates(energy, counts, threshold=5.0, resolution=NOMINAL_RESOLUTION):
    """Channels where -S > threshold * F at one of the channel widths, merged when closer than a
    peak width; each carries the highest significance seen."""
    found = []
    for scale in search_scales(energy, resolution):
        y = rebin(counts, scale)
        s, f = mariscotti_peak_search_cy(y)
        z = np.zeros_like(s)
        np.divide(-s, f, out=z, where=f > 0)
        minimum = np.zeros(len(y), dtype=bool)
        minimum[1:-1] = (s[1:-1] <= s[:-2]) & (s[1:-1] < s[2:])
        for i in np.flatnonzero(minimum & (z > threshold)):
            lo, hi = max(0, (i - 1) * scale), min(len(counts), (i + 2) * scale)
            found.append(Candidate(lo + int(np.argmax(counts[lo:hi])), float(z[i]), scale))
    found.sort(key=lambda c: c.channel)
    merged = []
    for c in found:
        if merged:
            last = merged[-1]
            if energy[c.channel] - energy[last.channel] < resolution.fwhm(energy[c.channel]):
                if c.significance > last.significance:
                    merged[-1] = c
                continue
        merged.append(c)
    return merged


# --- Peak fits -------------------------------------------------------------------------------------

def peak_model(x, p, centre):
    """Gaussians p[:-2] (A, mu, variance) on the straight background p[-2] + p[-1] (x - centre)."""
    return multi_gaussian_cy(x, p[:-2]) + p[-2] + p[-1] * (x - centre)


def weighted_problem(x, y, sigma, centre):
    """Residuals (y - model) / sigma of the peak model and their analytic Jacobian."""
    def residuals(p):
        return (y - peak_model(x, p, centre)) / sigma

    def jacobian(p):
        jac = np.empty((len(x), len(p)))
        jac[:, :-2] = multi_gaussian_jacobian_cy(x, p[:-2])
        jac[:, -2] = 1.0
        jac[:, -1] = x - centre
        return jac / -sigma[:, None]

    return residuals, jacobian


def fit_region(x, y, mus, resolution, width_range=(0.5, 2.0)):
    """Least-squares fit of len(mus) Gaussians and a straight background to counts y at energies x.
    Each width may lie within width_range times the resolution's. Weights are Poisson: first from the
    data, then from the model of the first fit. Returns the solution, its covariance, the reduced
    chi-square, the bounds and the centre of the background line."""
    x = np.ascontiguousarray(x, dtype=np.float64)
    centre = 0.5 * (x[0] + x[-1])
    k = len(mus)
    nominal = resolution.fwhm(np.asarray(mus)) / FWHM_C
    lo, hi = np.full(3 * k + 2, -np.inf), np.full(3 * k + 2, np.inf)
    lo[0:3 * k:3] = 0.0
    lo[1:3 * k:3], hi[1:3 * k:3] = x[0], x[-1]
    lo[2:3 * k:3], hi[2:3 * k:3] = (width_range[0] * nominal) ** 2, (width_range[1] * nominal) ** 2
    # start: the background through the ends of the region, each peak as high as the data above it
    edge = max(2, len(x) // 10)
    left, right = y[:edge].mean(), y[-edge:].mean()
    slope = (right - left) / (x[-edge:].mean() - x[:edge].mean())
    level = left + slope * (centre - x[:edge].mean())
    start = np.empty(3 * k + 2)
    for i, mu in enumerate(mus):
        j = int(np.clip(np.searchsorted(x, mu), 0, len(x) - 1))
        start[3 * i:3 * i + 3] = max(y[j] - level - slope * (mu - centre), 1.0), mu, nominal[i] ** 2
    start[-2:] = level, slope
    start = np.clip(start, np.nextafter(lo, np.inf), np.nextafter(hi, -np.inf))

    def solve(p0, sigma):
        residuals, jacobian = weighted_problem(x, y, sigma, centre)
        return least_squares(residuals, p0, jac=jacobian, bounds=(lo, hi), x_scale="jac", method="trf")

    first = solve(start, np.sqrt(np.maximum(y, 1.0)))
    fit = solve(first.x, np.sqrt(np.maximum(peak_model(x, first.x, centre), 1.0)))
    dof = max(len(x) - len(fit.x), 1)
    chi2 = 2.0 * fit.cost / dof
    cov = np.linalg.pinv(fit.jac.T @ fit.jac) * max(chi2, 1.0)
    return fit.x, cov, chi2, (lo, hi), centre


def peaks_from_fit(x, p, cov, chi2, bounds, centre, region):
    """Peak records of a region fit with their uncertainties, and the reason each one is implausible
    (None for a plausible one)."""
    width = float(np.mean(np.diff(x))) if len(x) > 1 else 1.0
    lo, hi = bounds

    def pinned(j):  # a parameter held by its bound is not determined by the data
        return np.isclose(p[j], lo[j], rtol=1e-3, atol=0) or np.isclose(p[j], hi[j], rtol=1e-3, atol=0)

    out = []
    for i in range(0, len(p) - 2, 3):
        a, mu, var = p[i:i + 3]
        c = cov[i:i + 3, i:i + 3]
        # area = A sqrt(2 pi var) / channel width
        grad = np.array([math.sqrt(2 * math.pi * var), 0.0, a * math.sqrt(math.pi / (2 * var))]) / width
        area, area_err = a * math.sqrt(2 * math.pi * var) / width, math.sqrt(max(grad @ c @ grad, 0.0))
        fwhm = FWHM_C * math.sqrt(var)
        fwhm_err = FWHM_C * math.sqrt(max(c[2, 2], 0.0)) / (2 * math.sqrt(var))
        peak = Peak(mu, math.sqrt(max(c[1, 1], 0.0)), fwhm, fwhm_err, area, area_err, chi2, region,
                    p[i:i + 3].copy(), np.array([p[-2], p[-1], centre]))
        if pinned(i + 2):
            reason = "width at its limit"
        elif pinned(i + 1):
            reason = "centroid at the edge of its region"
        elif not area > 0:
            reason = "no net area"
        else:
            reason = None
        out.append((peak, reason))
    return out


def region_bounds(energy, channels, resolution, half_widths=4.0):
    """Channel range covering `channels` and half_widths FWHM on either side (at least 6 channels)."""
    def reach(c):
        below, above = max(c - 1, 0), min(c + 1, len(energy) - 1)
        width = (energy[above] - energy[below]) / (above - below)
        return max(6, int(half_widths * float(resolution.fwhm(energy[c])) / width))

    lo = min(c - reach(c) for c in channels)
    hi = max(c + reach(c) for c in channels)
    return max(lo, 0), min(hi + 1, len(energy))


def group_candidates(energy, candidates, resolution):
    """Candidates whose fit regions overlap form one multiplet."""
    groups = []
    for c in candidates:
        if groups:
            lo, hi = region_bounds(energy, [groups[-1][-1].channel], resolution)
            lo2, hi2 = region_bounds(energy, [c.channel], resolution)
            if lo2 < hi:
                groups[-1].append(c)
                continue
        groups.append([c])
    return groups


def fit_peaks(energy, counts, candidates, resolution=NOMINAL_RESOLUTION, min_significance=5.0,
              max_chi2=10.0):
    """Fits every candidate region; returns the accepted peaks, the fitted regions and the number of
    rejected candidates by reason. A multiplet is refitted without its rejected members."""
    peaks, regions, rejected = [], [], {}

    def reject(reason, count=1):
        rejected[reason] = rejected.get(reason, 0) + count

    for group in group_candidates(energy, candidates, resolution):
        mus = [float(energy[c.channel]) for c in group]
        while mus:
            start, stop = region_bounds(energy, [int(np.searchsorted(energy, m)) for m in mus], resolution)
            x, y = energy[start:stop], counts[start:stop]
            if stop - start < 3 * len(mus) + 4:
                reject("region too short", len(mus))
                break
            try:
                p, cov, chi2, bounds, centre = fit_region(x, y, mus, resolution)
            except (ValueError, np.linalg.LinAlgError):
                reject("fit failed", len(mus))
                break
            judged = peaks_from_fit(x, p, cov, chi2, bounds, centre, (start, stop))
            keep = []
            for peak, reason in judged:
                if reason is None and peak.significance < min_significance:
                    reason = "net area not significant"
                if reason is None and chi2 > max_chi2:
                    reason = "poor fit"
                if reason is None:
                    keep.append(peak)
                else:
                    reject(reason)
            if len(keep) == len(judged):
                peaks.extend(keep)
                regions.append(Region(start, stop, keep, peak_model(x, p, centre)))
                break
            mus = [pk.energy for pk in keep]
    peaks.sort(key=lambda pk: pk.energy)
    return peaks, regions, rejected


def fit_resolution(peaks):
    """FWHM^2 = a^2 + b E fitted to the peaks' widths, weighted by their uncertainties; None when the
    peaks do not determine a physical resolution."""
    good = [pk for pk in peaks if pk.fwhm_err > 0 and math.isfinite(pk.fwhm_err)]
    if len(good) < 2:
        return None
    e = np.array([pk.energy for pk in good])
    w2 = np.array([pk.fwhm for pk in good]) ** 2
    err = np.array([2 * pk.fwhm * pk.fwhm_err for pk in good])
    design = np.column_stack([np.ones_like(e), e]) / err[:, None]
    (a2, b), *_ = np.linalg.lstsq(design, w2 / err, rcond=None)
    if not (a2 > 0 and b > 0):
        return None
    return Resolution(math.sqrt(a2), float(b))


# --- Sharpening ------------------------------------------------------------------------------------

def resolution_axis(energy, resolution):
    """An axis u(E) and a coefficient k on which the kernels' resolution model sigma(u) = k u^1.5 / FWHM_C
    equals the detector's resolution mapped from E to u.

    With G(E) = integral of dE / sigma_E(E) and u = (1 - c G / 2)^-2 one has du/dE = c u^1.5 / sigma_E, so
    a Gaussian of width sigma_E about E becomes one of width c u^1.5 about u. Choosing c = 1 / G(E_max)
    keeps u within [1, 4]; k = c FWHM_C."""
    sigma = resolution.fwhm(energy) / FWHM_C
    g = np.concatenate(([0.0], np.cumsum(0.5 * (1.0 / sigma[1:] + 1.0 / sigma[:-1]) * np.diff(energy))))
    c = 1.0 / g[-1]
    return (1.0 - 0.5 * c * g) ** -2, c * FWHM_C


def sharpen(energy, counts, resolution, iterations):
    u, k = resolution_axis(energy, resolution)
    return richardson_lucy_cy(u, counts, k, np.ones_like(counts), iterations)


def refit_sharpened(energy, sharpened, peaks, resolution):
    """The peaks fitted again in the sharpened spectrum, one region each, the width free down to a
    twentieth of the detector's. None where the fit is implausible."""
    out = []
    for pk in peaks:
        start, stop = pk.region
        x, y = energy[start:stop], sharpened[start:stop]
        try:
            p, cov, chi2, bounds, centre = fit_region(x, y, [pk.energy], resolution, width_range=(0.05, 2.0))
        except (ValueError, np.linalg.LinAlgError):
            out.append(None)
            continue
        (fit, reason), = peaks_from_fit(x, p, cov, chi2, bounds, centre, pk.region)
        out.append(fit if reason is None else None)
    return out


# --- Unfolding -------------------------------------------------------------------------------------

def unfolding_grid(energy, counts, channels=UNFOLD_CHANNELS):
    """The spectrum with groups of channels summed, so that at most `channels` remain."""
    factor = max(1, -(-len(energy) // channels))
    n = len(energy) // factor * factor
    return energy[:n].reshape(-1, factor).mean(axis=1), rebin(counts, factor)


def response_rows(grid, resolution, references=REFERENCE_ENERGIES):
    """Sparse response rows on the unfolding grid: a response tabulated at `references` energies
    (REFERENCE_LOW_KEV up to the top of the grid) resampled to every grid energy; grid energies outside
    the tabulated range get empty rows."""
    top = float(synthetic.bin_edges(grid)[-1])
    if not top > REFERENCE_LOW_KEV:
        return np.zeros(len(grid) + 1, dtype=np.int64), np.zeros(0, dtype=np.int32), np.zeros(0)
    ref_energies = np.geomspace(REFERENCE_LOW_KEV, top, references)
    matrix = synthetic.hpge_response_matrix(ref_energies, grid, fwhm=resolution.fwhm)
    inside = (grid > ref_energies[0]) & (grid <= ref_energies[-1])
    first, count = int(np.argmax(inside)), int(inside.sum())
    offsets, indices, values = tarvel_cy(matrix, ref_energies, grid.copy(), grid[inside].copy(), grid.copy())
    offsets = np.concatenate((np.zeros(first, dtype=np.int64), offsets,
                              np.full(len(grid) - first - count, offsets[-1], dtype=np.int64)))
    return offsets, indices, values


def row_sums(offsets, values):
    rows = np.repeat(np.arange(len(offsets) - 1), np.diff(offsets))
    return np.bincount(rows, weights=values, minlength=len(offsets) - 1)


def unfold(grid_counts, rows, iterations):
    offsets, indices, values = rows
    return ML_EM_cy(grid_counts, offsets, indices, values, row_sums(offsets, values), iterations)


def photopeak_fraction(grid, spectrum, lines, resolution, half_widths=2.0):
    """Share of all counts within half_widths FWHM (at least one grid channel) of the lines."""
    step = float(np.mean(np.diff(grid)))
    inside = np.zeros(len(grid), dtype=bool)
    for e in lines:
        inside |= np.abs(grid - e) <= max(half_widths * float(resolution.fwhm(e)), step)
    return float(spectrum[inside].sum() / spectrum.sum())


# --- Identification --------------------------------------------------------------------------------

def identify(peaks, sharpened_peaks, known, resolution):
    """Each known line with the nearest peak within one FWHM, then the remaining peaks, named as escape
    peaks of a known line where they fit one."""
    lines, used = [], set()
    for e in known:
        best = None
        for i, pk in enumerate(peaks):
            if i not in used and abs(pk.energy - e) <= resolution.fwhm(e):
                if best is None or abs(pk.energy - e) < abs(peaks[best].energy - e):
                    best = i
        if best is None:
            lines.append(Line(e, None, None, "not found"))
        else:
            used.add(best)
            lines.append(Line(e, peaks[best], sharpened_peaks[best], ""))
    for i, pk in enumerate(peaks):
        if i in used:
            continue
        note = "unidentified"
        for e in known:
            for shift, name in ((ELECTRON_KEV, "single"), (2 * ELECTRON_KEV, "double")):
                if abs(pk.energy - (e - shift)) <= resolution.fwhm(pk.energy):
                    note = f"{name} escape of {e:g}"
        lines.append(Line(math.nan, pk, sharpened_peaks[i], note))
    return lines


def spurious(lines):
    """Peaks that are neither a known line nor an escape peak of one."""
    return [ln for ln in lines if ln.note == "unidentified"]


# --- The whole job ---------------------------------------------------------------------------------

def run_pipeline(energy, counts, known=synthetic.MIXED_SOURCE_KEV, threshold=5.0, rl_iterations=100,
                 em_iterations=200, clock=time.perf_counter):
    times = {}

    def timed(name, fn, *args, **kwargs):
        t0 = clock()
        out = fn(*args, **kwargs)
        times[name] = times.get(name, 0.0) + clock() - t0
        return out

    energy = np.ascontiguousarray(energy, dtype=np.float64)
    counts = np.ascontiguousarray(counts, dtype=np.float64)
    candidates = timed("peak search", find_candidates, energy, counts, threshold)
    peaks, regions, rejected = timed("peak fits", fit_peaks, energy, counts, candidates,
                                     min_significance=threshold)
    resolution = timed("peak fits", fit_resolution, peaks)
    resolution_fitted = resolution is not None
    resolution = resolution or NOMINAL_RESOLUTION
    sharpened = timed("sharpening", sharpen, energy, counts, resolution, rl_iterations)
    sharpened_peaks = timed("sharpened fits", refit_sharpened, energy, sharpened, peaks, resolution)
    grid, grid_counts = unfolding_grid(energy, counts)
    rows = timed("response resampling", response_rows, grid, resolution)
    unfolded = timed("unfolding", unfold, grid_counts, rows, em_iterations)
    table = identify(peaks, sharpened_peaks, known, resolution)
    return Result(energy, counts, tuple(known), candidates, peaks, regions, rejected, resolution,
                  resolution_fitted, sharpened, sharpened_peaks, grid, grid_counts, unfolded, rows, table, times)


def format_report(r, source):
    out = [f"Spectrum: {source}; {len(r.energy)} channels, {r.energy[0]:.2f}..{r.energy[-1]:.2f} keV, "
           f"{r.counts.sum():.4g} counts", ""]
    rejected = ", ".join(f"{n} {why}" for why, n in sorted(r.rejected.items())) or "none"
    out.append(f"Peak search: {len(r.candidates)} candidates; {len(r.peaks)} peaks fitted; rejected: {rejected}")
    out.append("")
    out.append(f"{'known':>9} {'found':>9} {'+-':>6} {'diff':>7} {'FWHM':>6} {'sharp':>6} "
               f"{'net area':>9} {'+-':>6} {'signif':>7}  note")
    out.append(f"{'keV':>9} {'keV':>9} {'keV':>6} {'keV':>7} {'keV':>6} {'keV':>6} {'counts':>9} "
               f"{'counts':>6} {'sigma':>7}")
    for ln in r.table:
        known = f"{ln.known:9.2f}" if math.isfinite(ln.known) else f"{'':9}"
        if ln.peak is None:
            out.append(f"{known} {'-':>9} {'':6} {'':7} {'':6} {'':6} {'':9} {'':6} {'':7}  {ln.note}")
            continue
        pk = ln.peak
        diff = f"{pk.energy - ln.known:+7.3f}" if math.isfinite(ln.known) else f"{'':7}"
        sharp = f"{ln.sharpened.fwhm:6.2f}" if ln.sharpened is not None else f"{'-':>6}"
        out.append(f"{known} {pk.energy:9.3f} {pk.energy_err:6.3f} {diff} {pk.fwhm:6.2f} {sharp} "
                   f"{pk.area:9.0f} {pk.area_err:6.0f} {pk.significance:7.1f}  {ln.note}")
    found = [ln for ln in r.table if math.isfinite(ln.known) and ln.peak is not None]
    worst = max((abs(ln.peak.energy - ln.known) for ln in found), default=math.nan)
    escapes = sum("escape" in ln.note for ln in r.table)
    out.append("")
    deviation = f", largest centroid deviation {worst:.3f} keV" if found else ""
    out.append(f"{len(found)} of {len(r.known)} known lines found{deviation}; {escapes} escape peaks; "
               f"{len(spurious(r.table))} unidentified peaks")
    at = min(1332.49, float(r.energy[-1]))
    how = "fitted to the peaks" if r.resolution_fitted else "nominal (too few peaks to fit it)"
    out.append(f"Resolution {how}: {r.resolution}, {float(r.resolution.fwhm(at)):.2f} keV at {at:g} keV")
    pairs = [(ln.peak.fwhm, ln.sharpened.fwhm) for ln in found if ln.sharpened is not None]
    if pairs:
        gain = np.array([a / b for a, b in pairs])
        spread = f"{gain.min():.2f}..{gain.max():.2f} (median {np.median(gain):.2f})" if len(gain) > 1 \
            else f"{gain[0]:.2f}"
        out.append(f"Sharpening: FWHM narrower by a factor {spread} at the known lines")
    lines = [ln.known for ln in found]
    if lines:
        before = photopeak_fraction(r.grid, r.grid_counts, lines, r.resolution)
        after = photopeak_fraction(r.grid, r.unfolded, lines, r.resolution)
        out.append(f"Unfolding ({len(r.grid)} channels, {r.rows[0][-1]} response entries): counts within "
                   f"2 FWHM of the known lines {100 * before:.1f} % of the spectrum before, "
                   f"{100 * after:.1f} % after")
    out.append("")
    out.append("Time per stage: " + ", ".join(f"{name} {1e3 * t:.0f} ms" for name, t in r.times.items())
               + f"; total {1e3 * sum(r.times.values()):.0f} ms")
    return "\n".join(out)


# --- Figure ----------------------------------------------------------------------------------------

def zoom_lines(table, count=4):
    """The known lines to show enlarged: the lowest, the highest and the most significant between."""
    found = [ln for ln in table if math.isfinite(ln.known) and ln.peak is not None]
    if len(found) <= count:
        return found
    middle = sorted(found[1:-1], key=lambda ln: -ln.peak.significance)[:count - 2]
    return sorted([found[0], found[-1], *middle], key=lambda ln: ln.known)


def plot(r, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(13, 12), layout="constrained")
    zooms = zoom_lines(r.table)
    grid = fig.add_gridspec(4, max(len(zooms), 1), height_ratios=[1, 1, 1, 1.25])
    floor = 0.3 / float(np.mean(np.diff(r.energy)))  # below one count per channel
    colours = {"known": "tab:green", "escape": "tab:purple", "unidentified": "tab:red"}

    def kind(ln):
        return "known" if math.isfinite(ln.known) else ("escape" if "escape" in ln.note else "unidentified")

    panels = []
    for row, (title, e, y, colour) in enumerate((
            ("measured, with the peak fits", r.energy, r.counts, "0.35"),
            ("sharpened: Richardson-Lucy with the fitted resolution", r.energy, r.sharpened, "tab:blue"),
            (f"unfolded through the resampled detector response (ML-EM, {len(r.grid)} channels)", r.grid,
             r.unfolded, "tab:orange"))):
        ax = fig.add_subplot(grid[row, :], sharex=panels[0] if panels else None)
        panels.append(ax)
        ax.step(e, np.maximum(y / np.gradient(e), floor), where="mid", color=colour, lw=0.6)
        ax.set_yscale("log")
        ax.set_ylim(floor, None)
        ax.set_ylabel("counts / keV")
        ax.set_title(title, fontsize=10, loc="left")
        for ln in r.table:
            if ln.peak is not None:
                ax.axvline(ln.peak.energy, color=colours[kind(ln)], lw=0.6, ls=":", zorder=0)
    ax = panels[0]
    for region in r.regions:
        e = r.energy[region.start:region.stop]
        ax.plot(e, np.maximum(region.curve / np.gradient(e), floor), color="tab:red", lw=1.0)
    top = ax.get_ylim()[1]
    for ln in r.table:
        if ln.peak is None:
            continue
        label = f"{ln.peak.energy:.2f}" + {"known": "", "escape": " SE" if "single" in ln.note else " DE",
                                            "unidentified": " ?"}[kind(ln)]
        ax.text(ln.peak.energy, top, label, rotation=90, va="top", ha="right", fontsize=8,
                color=colours[kind(ln)])
    panels[-1].set_xlim(r.energy[0], r.energy[-1])
    panels[-1].set_xlabel("energy (keV)")
    for ax in panels[:-1]:
        ax.tick_params(labelbottom=False)
    panels[-1].set_ylim(panels[0].get_ylim())
    fig.suptitle("Found peaks: green known lines, purple escape peaks, red unidentified", fontsize=11)

    for col, ln in enumerate(zooms):
        zoom = fig.add_subplot(grid[3, col])
        pk = ln.peak
        start, stop = pk.region
        x = r.energy[start:stop]
        fine = np.linspace(x[0], x[-1], 400)
        zoom.plot(x, r.counts[start:stop], ".", color="0.35", ms=3, label="measured")
        zoom.plot(fine, peak_model(fine, np.concatenate((pk.params, pk.background[:2])), pk.background[2]),
                  color="tab:red", lw=1, label=f"fit: FWHM {pk.fwhm:.2f} keV")
        zoom.step(x, r.sharpened[start:stop], where="mid", color="tab:blue", lw=0.8, label="sharpened")
        if ln.sharpened is not None:
            sp = ln.sharpened
            zoom.plot(fine, peak_model(fine, np.concatenate((sp.params, sp.background[:2])), sp.background[2]),
                      color="tab:blue", lw=1, ls="--", label=f"fit: FWHM {sp.fwhm:.2f} keV")
        zoom.set_title(f"{ln.known:g} keV line\nfound at {pk.energy:.3f} \u00b1 {pk.energy_err:.3f} keV", fontsize=9)
        zoom.set_xlim(pk.energy - 3.5 * pk.fwhm, pk.energy + 3.5 * pk.fwhm)
        zoom.set_ylim(0, 1.45 * max(float(np.max(r.sharpened[start:stop])), float(np.max(r.counts[start:stop]))))
        zoom.set_xlabel("energy (keV)")
        if col == 0:
            zoom.set_ylabel("counts per channel")
        zoom.ticklabel_format(axis="y", style="plain")
        zoom.legend(fontsize=7, loc="upper left", frameon=False)
    fig.savefig(path, dpi=100)
    plt.close(fig)


# --- Command line ----------------------------------------------------------------------------------

def positive_int(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be at least 0: {text}")
    return value


def positive_float(text):
    value = float(text)
    if not value > 0 or not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text}")
    return value


def energy_list(text):
    try:
        values = tuple(float(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected energies in keV separated by commas: {text!r}") from None
    if not all(math.isfinite(v) and v > 0 for v in values):
        raise argparse.ArgumentTypeError(f"energies must be positive numbers: {text!r}")
    return values


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="spectrum_pipeline.py", description=__doc__.split("\n\n")[0],
        epilog="Without --spectrum a synthetic mixed-source spectrum made from --seed is analysed.")
    parser.add_argument("--seed", type=int, default=1, help="seed of the synthetic spectrum (default 1)")
    parser.add_argument("--spectrum", metavar="FILE",
                        help="analyse a measured spectrum: a text file of two columns, energy (keV, "
                             "ascending) and counts; '#' starts a comment")
    parser.add_argument("--plot", metavar="FILE.png", help="draw the spectra, peaks and fits into FILE.png")
    parser.add_argument("--lines", type=energy_list, default=synthetic.MIXED_SOURCE_KEV, metavar="E1,E2,...",
                        help="known line energies in keV (default: the mixed source)")
    parser.add_argument("--threshold", type=positive_float, default=5.0,
                        help="significance of a peak in standard deviations, for -S/F and for the net "
                             "area (default 5)")
    parser.add_argument("--rl-iterations", type=positive_int, default=100,
                        help="Richardson-Lucy iterations of the sharpening (default 100)")
    parser.add_argument("--em-iterations", type=positive_int, default=200,
                        help="ML-EM iterations of the unfolding (default 200)")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    prog = "spectrum_pipeline.py"
    if args.plot and importlib.util.find_spec("matplotlib") is None:
        print(f"{prog}: error: --plot needs matplotlib (pip install matplotlib)", file=sys.stderr)
        return 2
    if args.plot and not os.path.isdir(os.path.dirname(os.path.abspath(args.plot))):
        print(f"{prog}: error: cannot write {args.plot}: no such directory", file=sys.stderr)
        return 2
    t0 = time.perf_counter()
    if args.spectrum:
        try:
            energy, counts = read_spectrum(args.spectrum)
        except SpectrumFileError as e:
            print(f"{prog}: error: {e}", file=sys.stderr)
            return 2
        source = args.spectrum
    else:
        energy, counts = synthetic.hpge_mixed_source(seed=args.seed)
        source = f"synthetic mixed source, seed {args.seed}"
    loaded = time.perf_counter() - t0
    result = run_pipeline(energy, counts, args.lines, args.threshold, args.rl_iterations, args.em_iterations)
    result.times = {"spectrum": loaded, **result.times}
    if args.plot:
        t0 = time.perf_counter()
        try:
            plot(result, args.plot)
        except OSError as e:
            print(format_report(result, source))
            print(f"{prog}: error: cannot write {args.plot}: {e.strerror or e}", file=sys.stderr)
            return 2
        result.times["figure"] = time.perf_counter() - t0
    print(format_report(result, source))
    if args.plot:
        print(f"Figure written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
