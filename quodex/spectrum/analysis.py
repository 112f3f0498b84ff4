"""The analysis of one spectrum: resolution from the spectrum itself, peak search and fits, calibration
refinement, identification, sharpening and unfolding."""
from __future__ import annotations

import math
import time
from dataclasses import dataclass, replace

import numpy as np

from . import calibration as cal
from . import fit as ft
from . import search as sr
from . import unfold as uf
from .detector import ELECTRON_KEV, FWHM_C, KINDS, Resolution, kind_of
from .errors import SpectrumDataError
from .identify import identify, identify_nuclides, limits_at
from .library import shipped_library
from .model import Calibration, Spectrum
from .options import Options
from .results import Analysis, Flag, IdKind, Region

__all__ = ["analyse", "check_spectrum", "FitContext", "MIN_CHANNELS", "MAX_CHANNELS", "MAX_TOTAL_COUNTS",
           "ENERGY_RANGE_KEV"]

MIN_CHANNELS = 64
"""Channels a spectrum needs at least to be analysed."""
MAX_CHANNELS = 1 << 21
"""Channels a spectrum may have at most (2 097 152; instruments write up to 65 536)."""
MAX_TOTAL_COUNTS = 1e18
"""Counts a spectrum may hold at most: far beyond any measurement, far below where squares of counts
(variances, chi-square) overflow."""
ENERGY_RANGE_KEV = (1.0, 20000.0)
"""Where the top of a gamma-ray spectrum lies; a scale ending outside is most likely a wrong
calibration, and is warned of."""
PASS1_CANDIDATES = 30  # the most significant candidates fitted to learn the resolution
MAX_CANDIDATES = 400  # candidates fitted at most; the least significant beyond are reported as skipped
FIT_BUDGET_S = 15.0  # wall time for the peak fits, so that no input runs away
MAX_SPAN_FWHM = 6.0  # distance between the outer candidates of one multiplet fit, in FWHM
WIDE_FWHM = 1.6  # a peak this much wider than the resolution is no single line
ANNIHILATION_FWHM = 3.0  # widest 511 keV peak, in FWHM of the resolution
PRUNE_SIGMA = 2.0  # a multiplet's component below this significance is dropped and the rest refitted
REACH_FWHM = 2.0  # how far, in FWHM, a fitted centre may move from where the search saw it
PAIR_FWHM = 0.4  # the closest two peaks of a doublet, in FWHM: widths held near the resolution tell them apart
BINS_PER_FWHM = 3.0  # the fits' grid: sums of channels at least this many to the narrowest FWHM


@dataclass(frozen=True)
class FitContext:
    """What the search and the fits of one spectrum share.

    Made with `FitContext.of`, then given the resolution with `at`.

    Attributes
    ----------
    energy, counts, width : numpy.ndarray
        keV, counts and keV width of every channel.
    threshold : float
        Significance of the search and of reported peaks.
    lines : tuple of float
        Known lines, keV: tried as peaks where the counts allow.
    resolution : Resolution or None
        The detector's resolution, once learned.
    fwhm_ch : numpy.ndarray or None
        Its FWHM in channels (at least 1), channel by channel.
    group : int
        Channels of the spectrum summed into each channel of this context (`grouped`).
    channel_energy : numpy.ndarray or None
        keV of every channel of the spectrum itself, when `group` > 1: fitted regions are reported on
        those channels.
    excess : float
        Relative variance of one channel's width beyond Poisson counting (see
        `quodex.spectrum.search.channel_structure`).
    """
    energy: np.ndarray
    counts: np.ndarray
    width: np.ndarray
    threshold: float
    lines: tuple = ()
    resolution: Resolution | None = None
    fwhm_ch: np.ndarray | None = None
    group: int = 1
    channel_energy: np.ndarray | None = None
    excess: float = 0.0

    @classmethod
    def of(cls, energy, counts, threshold, lines=()):
        """The context of a spectrum, without a resolution yet.

        Parameters
        ----------
        energy : numpy.ndarray
            keV of every channel, ascending.
        counts : numpy.ndarray
            float64 counts per channel.
        threshold : float
            Significance, standard deviations.
        lines : sequence of float
            Known lines, keV.

        Returns
        -------
        FitContext
            Channel widths from the gradient of `energy`.
        """
        return cls(energy, counts, np.gradient(energy), threshold, tuple(lines))

    def at(self, resolution):
        """The context with a (new) resolution.

        Parameters
        ----------
        resolution : Resolution

        Returns
        -------
        FitContext
            With `resolution` and its `fwhm_ch` set.
        """
        return replace(self, resolution=resolution, fwhm_ch=np.maximum(resolution.fwhm(self.energy) / self.width, 1.0))

    def fwhm(self, energy):
        """The resolution's FWHM (keV, a float) at `energy` keV."""
        return float(self.resolution.fwhm(energy))

    def grouped(self, factor):
        """The context on sums of `factor` consecutive channels (a last incomplete sum dropped), its
        energies their channels' mean; sums of counts are counts, so the fits' statistics hold.

        Parameters
        ----------
        factor : int
            Channels per sum, at least 1.

        Returns
        -------
        FitContext
            This one when `factor` is 1; else with the resolution carried over.
        """
        if factor <= 1:
            return self
        energy = sr.rebin(self.energy, factor) / factor
        ctx = replace(self, energy=energy, counts=sr.rebin(self.counts, factor), width=np.gradient(energy),
                      group=factor, channel_energy=self.energy, excess=self.excess / factor, fwhm_ch=None)
        return ctx.at(self.resolution) if self.resolution is not None else ctx

    def to_channels(self, start, stop):
        """Channels [start, stop) of the spectrum itself for [start, stop) of this context."""
        if self.group == 1:
            return start, stop
        return start * self.group, min(stop * self.group, len(self.channel_energy))


class _Clock:
    """Seconds per stage of one analysis, summed over the stage's calls."""

    def __init__(self):
        self.times = {}

    def __call__(self, name, fn, *args):
        t0 = time.perf_counter()
        try:
            return fn(*args)
        finally:
            self.times[name] = self.times.get(name, 0.0) + time.perf_counter() - t0


def energy_at(energy, channel):
    """Energy at a fractional channel, interpolated between its neighbours."""
    i = min(max(int(channel), 0), len(energy) - 2)
    return float(energy[i] + (channel - i) * (energy[i + 1] - energy[i]))


def region_of(ctx, channels, low=4.0, high=3.0):
    """Channels [start, stop) around `channels`: `low` FWHM below (room for a tail), `high` above."""
    lo = min(c - max(6, int(low * ctx.fwhm_ch[int(c)])) for c in channels)
    hi = max(c + max(6, int(high * ctx.fwhm_ch[int(c)])) for c in channels)
    return max(int(lo), 0), min(int(hi) + 1, len(ctx.energy))


def learn_resolution(ctx, found):
    """Resolution from the spectrum alone: the strongest of the candidates found on every summed width
    fitted one by one with their widths free, FWHM(E) fitted to the clean ones; None if none is."""
    energy, counts, width = ctx.energy, ctx.counts, ctx.width
    cands = sr.merge(found, lambda c: 1.5 * c.scale, pair=min)
    cands = sorted(cands, key=lambda c: -c.significance)[:PASS1_CANDIDATES]
    points = []
    for c in cands:
        ch = int(round(c.channel))
        # fitted on sums of channels matched to the width that found it: a few bins per FWHM whether
        # the peak spans 3 channels or 3000
        g = max(1, c.scale // 24)
        half = max(8 * g, int(1.5 * c.scale))
        start, stop = max(ch - half, 0), min(ch + half + 1, len(energy))
        x, y = energy[start:stop], counts[start:stop]
        if g > 1:
            x, y = sr.rebin(x, g) / g, sr.rebin(y, g)
        if len(x) < 10:
            continue
        w = float(width[ch])
        # a strong peak stands out on many summed widths, not only near four sigma: no lower bound
        # from the width that found it
        sig = (0.4 * w * g, max(2.0, c.scale / 1.5) * w)
        try:
            fit = ft.fit_region(x, y, [float(energy[ch])], [sig])
        except (ValueError, np.linalg.LinAlgError):
            continue
        (p,) = ft.peaks_of(fit, x, (start, stop))
        if p.significance >= max(ctx.threshold, 8.0) and not {Flag.WIDTH_AT_LIMIT, Flag.CENTROID_AT_EDGE} & set(p.flags):
            # weight by the counts, not by how well one Gaussian fits them (doublets, tails)
            raw = p.significance * math.sqrt(max(fit.chi2, 1.0))
            points.append((p.energy, p.fwhm, min(raw, 100.0) ** 2))
    # one point per peak: the same peak found from two candidates would count twice
    points.sort(key=lambda q: -q[2])
    points = [q for i, q in enumerate(points) if all(abs(q[0] - r[0]) > 0.5 * max(q[1], r[1]) for r in points[:i])]
    return ft.fit_resolution(points)


def search_range(ctx):
    """For a candidate's channel, the summed widths that see its peak: box sums of about four sigma see
    a Gaussian best; two to six sigma keep most of its significance."""
    sig_ch = ctx.fwhm_ch / FWHM_C
    return lambda c: (2.0 * sig_ch[int(c)], max(6.0 * sig_ch[int(c)], 2.0))


def group(cands, fwhm_ch):
    """Candidates closer than 4 FWHM, whose peaks and tails overlap, in chains of at most
    MAX_MULTIPLET spanning at most MAX_SPAN_FWHM (split at the widest gaps): a straight background
    holds over a few peak widths, not over a whole scintillator spectrum."""
    groups = []
    for c in cands:
        if groups and c.channel - groups[-1][-1].channel < 4.0 * max(fwhm_ch[int(c.channel)],
                                                                    fwhm_ch[int(groups[-1][-1].channel)]):
            groups[-1].append(c)
        else:
            groups.append([c])
    out = []
    while groups:
        g = groups.pop()
        span = (g[-1].channel - g[0].channel) / max(fwhm_ch[int(c.channel)] for c in g)
        if len(g) <= ft.MAX_MULTIPLET and span <= MAX_SPAN_FWHM:
            out.append(g)
            continue
        gaps = [g[i + 1].channel - g[i].channel for i in range(len(g) - 1)]
        cut = 1 + max(range(len(gaps)), key=lambda i: (gaps[i], -abs(i - len(g) / 2)))
        groups += [g[:cut], g[cut:]]
    return sorted(out, key=lambda g: g[0].channel)


def limits(groups, n):
    """For each group the channels its region may span: up to the midpoint to the neighbouring groups,
    so that a region does not take in a neighbour's peak that its fit does not model."""
    out = []
    for i, g in enumerate(groups):
        lo = 0 if i == 0 else int(0.5 * (groups[i - 1][-1].channel + g[0].channel))
        hi = n if i == len(groups) - 1 else int(0.5 * (g[-1].channel + groups[i + 1][0].channel)) + 1
        out.append((lo, hi))
    return out


def residual_peak(x, y, curve, fwhm_ch, threshold):
    """Position of the most significant excess of the counts over a fitted curve, summed over a FWHM,
    or None below threshold."""
    n = max(1, int(round(fwhm_ch)))
    if len(y) < 3 * n:
        return None
    kernel = np.ones(n)
    excess = np.convolve(y - curve, kernel, "same")
    noise = np.sqrt(np.maximum(np.convolve(curve, kernel, "same"), 1.0))
    z = excess / noise
    z[:n] = z[-n:] = 0.0
    i = int(np.argmax(z))
    return float(x[i]) if z[i] > threshold else None


def significant(peaks, threshold):
    return sum(p.significance >= threshold for p in peaks)


def widened(peaks, resolution):
    """The peak most clearly wider than the resolution (an unresolved doublet, to be tried as two), or
    None. 511 keV is left alone: annihilation in flight widens it."""
    def excess(p):
        # two equal lines half a FWHM apart make one 1.1 times wider: a significant excess is asked,
        # not a large one; far wider is a Compton edge or a group, not a pair
        nominal = float(resolution.fwhm(p.energy))
        return (p.fwhm - nominal) / max(p.fwhm_unc, 1e-9) if 1.07 * nominal < p.fwhm < WIDE_FWHM * nominal else 0.0
    wide = [p for p in peaks if excess(p) > 5.0 and abs(p.energy - 511.0) > 0.5 * p.fwhm]
    return max(wide, key=excess) if wide else None


def fit_group(ctx, group_channels, bounds=None):
    """Fits one group of candidates (their channels) over one region, within `bounds` (channels) where
    given: Gaussians first; a tail and a step where the counts call for them; then more peaks where the
    residuals show one, where a peak is wider than the resolution, or where a known line lies
    unmatched, each kept only if it adds a significant peak and lowers chi-square by threshold^2.
    Returns (peaks, region), ([], None) when the region is too short or no fit converges."""
    energy, counts, resolution, threshold = ctx.energy, ctx.counts, ctx.resolution, ctx.threshold
    fwhm_ch = ctx.fwhm_ch
    mus = [energy_at(energy, c) for c in group_channels]
    chans = [int(round(c)) for c in group_channels]
    start, stop = region_of(ctx, chans)
    if bounds is not None:  # at least 1.5 FWHM either side of the outer peaks
        start = max(start, min(bounds[0], int(min(chans) - 1.5 * fwhm_ch[min(chans)])), 0)
        stop = min(stop, max(bounds[1], int(max(chans) + 1.5 * fwhm_ch[max(chans)]) + 1))
    need = 3 * len(mus) + 8
    if stop - start < need:  # few channels per peak: take what the fit needs, past the bounds if need be
        grow = need - (stop - start)
        start = max(start - (grow + 1) // 2, 0)
        stop = min(start + need, len(energy))
        start = max(stop - need, 0)
    x, y = energy[start:stop], counts[start:stop]
    if stop - start < 3 * len(mus) + 5:
        return [], None

    def attempt(mus, spread=(0.6, 2.5)):
        """(fit, peaks) for peaks started at mus with widths within spread times the resolution's, or
        None when the fit fails."""
        mus = [float(np.clip(m, x[0], x[-1])) for m in mus]
        nominal = [ctx.fwhm(m) / FWHM_C for m in mus]
        below = np.clip(np.searchsorted(energy, mus, side="right") - 1, 0, len(energy) - 1)  # channel of each
        # annihilation in flight widens 511 keV beyond the resolution: its own width, so that it does not
        # take its neighbours' counts or push them away
        wider = [max(spread[1], ANNIHILATION_FWHM) if abs(m - ELECTRON_KEV) < 0.5 * ctx.fwhm(m) else spread[1]
                 for m in mus]
        ranges = [(max(spread[0] * sg, 0.3 * float(ctx.width[b])), w * sg) for sg, b, w in zip(nominal, below, wider)]
        # a peak stays near where it was seen: one that wanders off to a steep background or into a
        # neighbour is no peak of its own (it ends at the bound, flagged, and gives way)
        reach = [REACH_FWHM * ctx.fwhm(m) for m in mus]
        try:
            fit = ft.fit_region(x, y, mus, ranges, reach=reach)
            peaks = ft.peaks_of(fit, x, (start, stop))
            if fit.poor and sum(p.area for p in peaks) > ft.TAIL_MIN_AREA:
                shaped = ft.fit_region(x, y, mus, ranges, shape=True, reach=reach)
                tailed = ft.peaks_of(shaped, x, (start, stop))
                # the tail must earn its parameters and leave the areas determined
                if (fit.chi2 - shaped.chi2) * fit.dof > 25.0 and all(
                        t.area_unc < 3.0 * p.area_unc + 0.05 * abs(p.area) for t, p in zip(tailed, peaks)):
                    fit, peaks = shaped, tailed
        except (ValueError, np.linalg.LinAlgError):
            return None
        return fit, peaks

    def merged(peaks, apart=0.7):
        """The first two peaks closer than `apart` FWHM, or None."""
        return next(((i, j) for i in range(len(peaks)) for j in range(i + 1, len(peaks))
                     if abs(peaks[i].energy - peaks[j].energy) < apart * ctx.fwhm(peaks[i].energy)), None)

    for _ in range(ft.MAX_MULTIPLET):  # candidates that converge on one peak: keep the stronger
        best = attempt(mus)
        if best is None:
            return [], None
        pair = merged(best[1])
        if pair is None:
            break
        weaker = min(pair, key=lambda i: best[1][i].area)
        mus = [p.energy for n, p in enumerate(best[1]) if n != weaker]
    else:
        return [], None
    while len(best[1]) > 1:  # a component with no significance of its own only blurs its neighbours' areas
        weakest = min(range(len(best[1])), key=lambda i: best[1][i].significance)
        if best[1][weakest].significance >= PRUNE_SIGMA:
            break
        pruned = attempt([p.energy for n, p in enumerate(best[1]) if n != weakest])
        if pruned is None:
            break
        best = pruned
    for _ in range(3):
        fit, peaks = best
        if len(peaks) >= ft.MAX_MULTIPLET:
            break
        proposals = []
        extra = residual_peak(x, y, fit.model(fit.p), fwhm_ch[chans[0]], threshold)
        if extra is not None and min(abs(extra - p.energy) for p in peaks) >= 0.7 * ctx.fwhm(extra):
            proposals.append([p.energy for p in peaks] + [extra])
        split = widened(peaks, resolution)
        if split is not None:
            proposals.append([p.energy for p in peaks if p is not split]
                             + [split.energy - 0.3 * split.fwhm, split.energy + 0.3 * split.fwhm])
        for line in ctx.lines:
            if x[0] < line < x[-1] and min(abs(line - p.energy) for p in peaks) > 0.5 * ctx.fwhm(line):
                proposals.append([p.energy for p in peaks] + [line])
        accepted = []
        for proposal in proposals:
            # peaks closer than the resolution are told apart only with widths held near it
            tried = attempt(sorted(proposal), (0.85, 1.25))
            gain = fit.chi2 * fit.dof - tried[0].chi2 * tried[0].dof if tried is not None else 0.0
            if (tried is not None and merged(tried[1], PAIR_FWHM) is None and gain >= threshold * threshold
                    and significant(tried[1], threshold) > significant(peaks, threshold)):
                accepted.append((gain, len(accepted), tried))
        if not accepted:
            break
        best = max(accepted)[2]
    fit, peaks = best
    if ctx.group == 1:
        return peaks, Region(start, stop, fit.model(fit.p))
    # reported on the spectrum's own channels: heights and background per channel, not per sum
    lo, hi = ctx.to_channels(start, stop)
    g, k = ctx.group, fit.model.k
    per_channel = fit.p.copy()
    per_channel[0:3 * k:3] /= g
    per_channel[3 * k:3 * k + 2] /= g
    curve = ft.RegionModel(ctx.channel_energy[lo:hi], k, fit.model.shape)(per_channel)
    peaks = [replace(p, region=(lo, hi), params=np.concatenate(([p.params[0] / g], p.params[1:])),
                     background=(p.background[0] / g, p.background[1] / g, p.background[2])) for p in peaks]
    return peaks, Region(lo, hi, curve)


def grid_factor(ctx):
    """Channels summed for the fits: BINS_PER_FWHM sums to the FWHM where the spectrum's peaks are
    narrowest (its low end, leaving out the lowest 1 %), so that a peak 3 channels wide is fitted
    channel by channel and one 3000 channels wide on a few hundred sums."""
    return max(1, int(float(np.quantile(ctx.fwhm_ch, 0.01)) / BINS_PER_FWHM))


def candidates(ctx, found):
    """(one candidate per peak, by channel; warnings): at most MAX_CANDIDATES, the most significant."""
    cands = sr.merge(found, lambda c: ctx.fwhm_ch[int(c.channel)])
    if len(cands) <= MAX_CANDIDATES:
        return cands, []
    warning = f"{len(cands)} candidates; only the {MAX_CANDIDATES} most significant were fitted"
    return sorted(sorted(cands, key=lambda c: -c.significance)[:MAX_CANDIDATES], key=lambda c: c.channel), [warning]


def fit_peaks(ctx, cands):
    """(peaks to report, fitted regions, warnings) from the candidates, group by group, within
    FIT_BUDGET_S seconds."""
    found, regions, warnings = [], [], []
    t0 = time.perf_counter()
    groups = group(cands, ctx.fwhm_ch)
    for n, (g, bounds) in enumerate(zip(groups, limits(groups, len(ctx.energy)))):
        if time.perf_counter() - t0 > FIT_BUDGET_S:
            warnings.append(f"peak fits stopped after {FIT_BUDGET_S:g} s: {len(groups) - n} candidate regions not fitted")
            break
        peaks, region = fit_group(ctx, [c.channel for c in g], bounds)
        if region is not None:
            regions.append(region)
        else:
            at = ", ".join(f"{energy_at(ctx.energy, c.channel):.1f}" for c in g)
            warnings.append(f"no fit for the candidates at {at} keV (region too short or fit failed)")
        found.extend(peaks)
    return judge(found, ctx.resolution, ctx.threshold), regions, warnings


def judge(peaks, resolution, threshold):
    """The peaks to report: significant net area, one per position (a centroid pushed to its region's
    edge by a stronger neighbour is that neighbour)."""
    keep = []
    for p in sorted(peaks, key=lambda p: -p.significance):
        if not (p.area > 0 and p.significance >= threshold):
            continue
        if any(abs(p.energy - q.energy) < PAIR_FWHM * float(resolution.fwhm(p.energy)) for q in keep):
            continue
        if p.has(Flag.CENTROID_AT_EDGE) and any(abs(p.energy - q.energy) < 3 * float(resolution.fwhm(p.energy))
                                                for q in keep):
            continue
        keep.append(p)
    return sorted(keep, key=lambda p: p.energy)


def refine_resolution(peaks, resolution):
    """The resolution refitted to the clean, significant single peaks, or None when fewer than two."""
    points = [(p.energy, p.fwhm, min(p.significance, 100.0) ** 2) for p in peaks
              if not {Flag.WIDTH_AT_LIMIT, Flag.POOR_FIT, Flag.MULTIPLET} & set(p.flags) and p.significance >= 8.0]
    return ft.fit_resolution(points) if len(points) >= 2 else None


def measured_at(peaks):
    """keV where the resolution was seen: the median energy of the significant peaks, weighted by
    their significance (662 keV without any)."""
    strong = sorted((p.energy, min(p.significance, 100.0)) for p in peaks if p.significance >= 8.0)
    if not strong:
        return 662.0
    half, acc = 0.5 * sum(w for _, w in strong), 0.0
    for e, w in strong:
        acc += w
        if acc >= half:
            return e
    return strong[-1][0]


def flag_wide(peaks, resolution):
    """The peaks, those much wider than the resolution flagged "wide" (a Compton edge, a backscatter
    bump or an unresolved group); annihilation in flight widens 511 keV, which stays unflagged."""
    def wide(p):
        annihilation = p.identification is not None and p.identification.kind is IdKind.ANNIHILATION
        return p.fwhm > WIDE_FWHM * float(resolution.fwhm(p.energy)) and not annihilation
    return [replace(p, flags=p.flags + (Flag.WIDE,)) if wide(p) else p for p in peaks]


def spectrum_axis(spectrum, options):
    """(energy of every channel, calibration used) for the analysis; SpectrumDataError or OptionsError
    when the spectrum cannot be analysed."""
    override = Calibration(options.calibration, "--calibration") if options.calibration else None
    energy, calibration = cal.energy_axis(spectrum, override)
    if spectrum.channels < MIN_CHANNELS:
        raise SpectrumDataError(f"a spectrum needs at least {MIN_CHANNELS} channels, found {spectrum.channels}")
    if len(energy) != spectrum.channels:
        raise SpectrumDataError(f"{len(energy)} energies for {spectrum.channels} channels")
    if not energy[-1] > 0:
        raise SpectrumDataError(f"energies end at {energy[-1]:g} keV")
    return np.ascontiguousarray(energy, dtype=np.float64), calibration


def check_spectrum(spectrum: Spectrum):
    """Validates a spectrum's arrays as the readers validate files.

    Parameters
    ----------
    spectrum : Spectrum

    Returns
    -------
    counts : numpy.ndarray
        float64, contiguous.

    Raises
    ------
    SpectrumDataError
        Counts that are not a 1-D array of finite, non-negative numbers, more than `MAX_CHANNELS`
        channels or more than `MAX_TOTAL_COUNTS` counts; energies that are not finite and strictly
        increasing, one per channel.
    """
    try:
        counts = np.ascontiguousarray(spectrum.counts, dtype=np.float64)
    except (TypeError, ValueError):
        raise SpectrumDataError("counts must be numbers") from None
    if counts.ndim != 1:
        raise SpectrumDataError(f"counts must be 1-D (one number per channel), got shape {counts.shape}")
    if len(counts) > MAX_CHANNELS:
        raise SpectrumDataError(f"{len(counts)} channels: at most {MAX_CHANNELS} can be analysed")
    bad = np.flatnonzero(~np.isfinite(counts))
    if len(bad):
        raise SpectrumDataError(f"counts must be finite: {counts[bad[0]]} in channel {bad[0]}")
    bad = np.flatnonzero(counts < 0)
    if len(bad):
        raise SpectrumDataError(f"counts must not be negative: {counts[bad[0]]:g} in channel {bad[0]}")
    total = float(np.sum(counts))
    if not total <= MAX_TOTAL_COUNTS:
        raise SpectrumDataError(f"{total:.3g} counts in all: more than {MAX_TOTAL_COUNTS:g} cannot be measured counts")
    if spectrum.energies is not None:
        try:
            e = np.asarray(spectrum.energies, dtype=np.float64)
        except (TypeError, ValueError):
            raise SpectrumDataError("energies must be numbers") from None
        if e.shape != counts.shape:
            raise SpectrumDataError(f"{e.size} energies for {len(counts)} channels")
        if not np.all(np.isfinite(e)):
            raise SpectrumDataError("energies must be finite")
        step = np.flatnonzero(~(np.diff(e) > 0))
        if len(step):
            raise SpectrumDataError(f"energies must increase strictly: {e[step[0]]:g} then {e[step[0] + 1]:g} keV "
                                    f"at channel {step[0] + 1}")
    return counts


def scale_warnings(energy, peaks):
    """Warnings of an energy scale that is most likely wrong: its top outside `ENERGY_RANGE_KEV`, peaks at
    negative energies."""
    out = []
    lo, hi = ENERGY_RANGE_KEV
    if not lo <= energy[-1] <= hi:
        out.append(f"the energy scale ends at {energy[-1]:.6g} keV, outside {lo:g} keV..{hi / 1000:g} MeV: check the "
                   f"calibration")
    below = [p.energy for p in peaks if p.energy < 0]
    if below:
        out.append(f"{len(below)} peak{'s' if len(below) > 1 else ''} at negative energy (lowest {min(below):.1f} keV): "
                   f"check the calibration's offset")
    return out


def analyse(spectrum: Spectrum, options: Options | None = None) -> Analysis:
    """Analyses one spectrum.

    Learns the detector's resolution from the spectrum, finds and fits the peaks, refines the
    calibration (with `options.recalibrate`), names the peaks, sharpens the spectrum and unfolds it
    through the detector response.

    Parameters
    ----------
    spectrum : Spectrum
        As read by `read_spectrum`, or made from arrays: ``Spectrum(counts, energies=energies)``.
    options : Options, optional
        The analysis's choices; the defaults of `Options` when None.

    Returns
    -------
    Analysis
        Peaks, resolution, calibration, unfolding, warnings and times of the stages.

    Raises
    ------
    SpectrumDataError
        The spectrum has too few or too many channels, counts that are not finite and non-negative, or no
        usable energy scale (energies not strictly increasing).
    OptionsError
        An option does not fit this spectrum (a calibration that does not ascend over its channels).
    ResponseFileError
        The response file named in the options cannot be used.
    TypeError
        `spectrum` is not a Spectrum, or `options` neither an Options nor None.
    """
    options = Options() if options is None else options
    if not isinstance(spectrum, Spectrum):
        raise TypeError(f"analyse() takes a Spectrum, got {type(spectrum).__name__}")
    if not isinstance(options, Options):
        raise TypeError(f"options must be an Options, got {type(options).__name__}")
    counts = check_spectrum(spectrum)
    energy, base = spectrum_axis(spectrum, options)
    options = options.with_response_loaded()
    clock = _Clock()
    warnings = list(spectrum.notes)
    # the ADC's gain pattern corrected where the spectrum shows one, so that its comb is not taken
    # for narrow peaks; what is left of the channels' jitter widens the search's noise
    corrected, structure = clock("peak search", sr.channel_structure, counts)
    if str(structure):
        warnings.append(f"channel structure: {structure}")
    ctx = replace(FitContext.of(energy, corrected, options.threshold, options.lines), excess=structure.excess)
    resolution = clock("peak fits", learn_resolution, ctx, clock("peak search", sr.search, corrected,
                                                                 options.threshold, sr.SCALES, structure.excess))
    if resolution is None:
        if options.detector is None:
            warnings.append("no peak clean enough to learn the resolution from; assuming a NaI(Tl) detector "
                            "(name the detector with --detector)")
        resolution = KINDS[options.detector or "nai"].nominal
    ctx = ctx.at(resolution)
    ctx = ctx.grouped(grid_factor(ctx))
    cands, notes = candidates(ctx, clock("peak search", sr.search, ctx.counts, options.threshold, search_range(ctx),
                                         ctx.excess))
    peaks, regions, fit_notes = clock("peak fits", fit_peaks, ctx, cands)
    warnings += notes + fit_notes
    resolution = refine_resolution(peaks, resolution) or resolution
    kind = options.detector or kind_of(resolution, measured_at(peaks)).name
    calibration, recal = base, None
    if options.recalibrate:
        if not options.lines:
            warnings.append("--recalibrate needs --lines; calibration kept")
        else:
            recal = cal.recalibrate(energy, base, peaks, options.lines, resolution)
            if recal.calibration is None:
                warnings.append(f"calibration: {recal.note}")
            else:
                energy, peaks = cal.apply(recal, energy, base, peaks)
                calibration = recal.calibration
                worst = max(abs(r) for r in recal.residuals)
                tol = max(0.5 * float(resolution.fwhm(energy[-1])), 0.1)
                if len(recal.matched) > 2 and worst > tol:
                    warnings.append(f"calibration: a matched line is {worst:.2f} keV off the refined scale")
    peaks, missing = identify(peaks, options.lines, resolution, kind)
    peaks = flag_wide(peaks, resolution)
    library = options.library or shipped_library()
    peaks, nuclides, unexplained, (offset, gain) = clock("identification", identify_nuclides, energy, counts,
                                                         peaks, resolution, kind, library, spectrum.live_time)
    if abs(gain - 1.0) > 0.005:
        warnings.append(f"the energy scale looks {100 * (gain - 1):+.1f} % off: nuclides named on the scale "
                        f"{offset:+.2f} keV + {gain:.4f} E (--recalibrate with --lines of the named lines corrects it)")
    limits = limits_at(energy, counts, resolution, options.at, spectrum.live_time)
    if missing:
        warnings.append("known lines not found: " + ", ".join(f"{e:g} keV" for e in missing))
    warnings += scale_warnings(energy, peaks)
    poor = [p for p in peaks if p.has(Flag.POOR_FIT)]
    if poor:
        warnings.append("poor fits (reported, flagged): " + ", ".join(f"{p.energy:.1f} keV" for p in poor))
    # the ADC's pattern is no part of the spectrum the detector saw
    sharpened = clock("sharpening", uf.sharpen, energy, corrected, resolution, options.rl_iterations)
    unfolding = None
    if options.response is not None or float(energy[-1]) > uf.REFERENCE_LOW_KEV * 1.5:
        grid, _ = uf.grid_of(energy, corrected)
        response = options.response or clock("response", uf.model_response, grid, resolution, KINDS[kind],
                                             float(energy[-1]))
        unfolding = clock("unfolding", uf.unfold, energy, corrected, response, options.em_iterations)
        if unfolding.chi2 > 2.0:
            warnings.append(f"unfolding: the result folded back through the response fits the spectrum poorly "
                            f"(chi2/channel {unfolding.chi2:.2f} after {options.em_iterations} iterations): the "
                            f"response does not describe this detector well, or more iterations are needed")
        if options.response is None:
            warnings.append("unfolding used a modelled response (no --response given): treat it as indicative")
    return Analysis(spectrum, energy, counts, calibration, resolution, kind, tuple(peaks), tuple(regions),
                    tuple(missing), recal, sharpened, unfolding, tuple(warnings), clock.times, len(cands),
                    nuclides, unexplained, limits, dict(library.source))
