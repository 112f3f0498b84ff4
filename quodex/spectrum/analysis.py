"""The analysis of one spectrum: resolution from the spectrum itself, peak search and fits, calibration
refinement, identification, sharpening and unfolding."""
from __future__ import annotations

import math
import time
from dataclasses import dataclass, field

import numpy as np

from . import calibration as cal
from . import peaks as pk
from . import unfold as uf
from .identify import identify
from .model import Calibration

MIN_CHANNELS = 64
PASS1_CANDIDATES = 30  # the most significant candidates fitted to learn the resolution
MAX_CANDIDATES = 400  # candidates fitted at most; the least significant beyond are reported as skipped
FIT_BUDGET_S = 15.0  # wall time for the peak fits, so that no input runs away
MAX_SPAN_FWHM = 6.0  # distance between the outer candidates of one multiplet fit, in FWHM


@dataclass
class Options:
    threshold: float = 5.0
    lines: tuple = ()
    detector: str | None = None  # a hint: hpge, cdte, labr, nai, csi, bgo
    recalibrate: bool = False
    response: uf.Response | None = None
    rl_iterations: int = 100
    em_iterations: int = 200


@dataclass
class Region:
    start: int
    stop: int
    curve: np.ndarray  # fitted model over the channels [start, stop)


@dataclass
class Analysis:
    energy: np.ndarray
    counts: np.ndarray
    calibration: Calibration | None
    resolution: pk.Resolution
    kind: str
    peaks: list
    regions: list
    missing: list  # known lines not found
    recalibration: cal.Recalibration | None
    sharpened: np.ndarray | None
    unfolding: uf.Unfolding | None
    warnings: list = field(default_factory=list)
    times: dict = field(default_factory=dict)
    candidates: int = 0


class Clock:
    def __init__(self):
        self.times = {}

    def __call__(self, name, fn, *args, **kwargs):
        t0 = time.perf_counter()
        try:
            return fn(*args, **kwargs)
        finally:
            self.times[name] = self.times.get(name, 0.0) + time.perf_counter() - t0


def channel_width(energy):
    return np.gradient(energy)


def energy_at(energy, channel):
    """Energy at a fractional channel, interpolated between its neighbours."""
    i = min(max(int(channel), 0), len(energy) - 2)
    return float(energy[i] + (channel - i) * (energy[i + 1] - energy[i]))


def region_of(energy, channels, fwhm_ch, low=4.0, high=3.0):
    """Channels [start, stop) around `channels`: `low` FWHM below (room for a tail), `high` above."""
    lo = min(c - max(6, int(low * fwhm_ch[int(c)])) for c in channels)
    hi = max(c + max(6, int(high * fwhm_ch[int(c)])) for c in channels)
    return max(int(lo), 0), min(int(hi) + 1, len(energy))


def learn_resolution(energy, counts, threshold, clock):
    """Resolution from the spectrum alone: candidates on every summed width, the strongest fitted one by
    one with their widths free, FWHM(E) fitted to the clean ones."""
    found = clock("peak search", pk.search, counts, threshold, pk.SCALES)
    cands = pk.merge(found, lambda c: 1.5 * c.scale, pair=min)
    cands = sorted(cands, key=lambda c: -c.significance)[:PASS1_CANDIDATES]
    width = channel_width(energy)
    points = []
    for c in cands:
        ch = int(round(c.channel))
        half = max(8, int(1.5 * c.scale))
        start, stop = max(ch - half, 0), min(ch + half + 1, len(energy))
        if stop - start < 10:
            continue
        w = float(width[ch])
        # a strong peak stands out on many summed widths, not only near four sigma: no lower bound
        # from the width that found it
        sig = (0.4 * w, max(2.0, c.scale / 1.5) * w)
        try:
            fit = clock("peak fits", pk.fit_region, energy[start:stop], counts[start:stop], [float(energy[ch])], [sig])
        except (ValueError, np.linalg.LinAlgError):
            continue
        (p,) = pk.peaks_of(fit, energy[start:stop], (start, stop))
        if p.significance >= max(threshold, 8.0) and not {"width at limit", "centroid at edge"} & set(p.flags):
            # weight by the counts, not by how well one Gaussian fits them (doublets, tails)
            raw = p.significance * math.sqrt(max(fit.chi2, 1.0))
            points.append((p.energy, p.fwhm, min(raw, 100.0) ** 2))
    # one point per peak: the same peak found from two candidates would count twice
    points.sort(key=lambda q: -q[2])
    points = [q for i, q in enumerate(points) if all(abs(q[0] - r[0]) > 0.5 * max(q[1], r[1]) for r in points[:i])]
    return pk.fit_resolution(points)


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
        if len(g) <= pk.MAX_MULTIPLET and span <= MAX_SPAN_FWHM:
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
        nominal = float(resolution.fwhm(p.energy))
        return (p.fwhm - nominal) / max(p.fwhm_unc, 1e-9) if p.fwhm > 1.2 * nominal else 0.0
    wide = [p for p in peaks if excess(p) > 3.0 and abs(p.energy - 511.0) > 0.5 * p.fwhm]
    return max(wide, key=excess) if wide else None


def fit_group(energy, counts, width, group_channels, resolution, threshold, fwhm_ch, bounds=None, lines=()):
    """Fits one group of candidates over one region: Gaussians first; a tail and a step where the counts
    call for them; then more peaks where the residuals show one, where a peak is wider than the
    resolution, or where a known line lies unmatched, each kept only if it adds a significant peak and
    lowers chi-square by threshold^2. Returns (peaks, region)."""
    mus = [energy_at(energy, c) for c in group_channels]
    chans = [int(round(c)) for c in group_channels]
    start, stop = region_of(energy, chans, fwhm_ch)
    if bounds is not None:  # at least 1.5 FWHM either side of the outer peaks
        start = max(start, min(bounds[0], int(min(chans) - 1.5 * fwhm_ch[min(chans)])), 0)
        stop = min(stop, max(bounds[1], int(max(chans) + 1.5 * fwhm_ch[max(chans)]) + 1))
    x, y = energy[start:stop], counts[start:stop]
    if stop - start < 3 * len(mus) + 8:
        return [], None

    def attempt(mus, spread=(0.6, 2.5)):
        """(fit, peaks) for peaks started at mus with widths within spread times the resolution's, or
        None when the fit fails."""
        mus = [float(np.clip(m, x[0], x[-1])) for m in mus]
        nominal = [float(resolution.fwhm(m)) / pk.FWHM_C for m in mus]
        below = np.clip(np.searchsorted(energy, mus, side="right") - 1, 0, len(energy) - 1)  # channel of each
        ranges = [(max(spread[0] * sg, 0.3 * float(width[b])), spread[1] * sg) for sg, b in zip(nominal, below)]
        try:
            fit = pk.fit_region(x, y, mus, ranges)
            peaks = pk.peaks_of(fit, x, (start, stop))
            if fit.poor and sum(p.area for p in peaks) > pk.TAIL_MIN_AREA:
                shaped = pk.fit_region(x, y, mus, ranges, shape=True)
                tailed = pk.peaks_of(shaped, x, (start, stop))
                # the tail must earn its parameters and leave the areas determined
                if (fit.chi2 - shaped.chi2) * fit.dof > 25.0 and all(
                        t.area_unc < 3.0 * p.area_unc + 0.05 * abs(p.area) for t, p in zip(tailed, peaks)):
                    fit, peaks = shaped, tailed
        except (ValueError, np.linalg.LinAlgError):
            return None
        return fit, peaks

    def merged(peaks):
        return next(((i, j) for i in range(len(peaks)) for j in range(i + 1, len(peaks))
                     if abs(peaks[i].energy - peaks[j].energy) < 0.7 * float(resolution.fwhm(peaks[i].energy))), None)

    for _ in range(pk.MAX_MULTIPLET):  # candidates that converge on one peak: keep the stronger
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
    for _ in range(3):
        fit, peaks = best
        if len(peaks) >= pk.MAX_MULTIPLET:
            break
        proposals = []
        extra = residual_peak(x, y, fit.model(fit.p), fwhm_ch[chans[0]], threshold)
        if extra is not None and min(abs(extra - p.energy) for p in peaks) >= 0.7 * float(resolution.fwhm(extra)):
            proposals.append([p.energy for p in peaks] + [extra])
        split = widened(peaks, resolution)
        if split is not None:
            proposals.append([p.energy for p in peaks if p is not split]
                             + [split.energy - 0.3 * split.fwhm, split.energy + 0.3 * split.fwhm])
        for line in lines:
            if x[0] < line < x[-1] and min(abs(line - p.energy) for p in peaks) > 0.5 * float(resolution.fwhm(line)):
                proposals.append([p.energy for p in peaks] + [line])
        accepted = []
        for proposal in proposals:
            # peaks closer than the resolution are told apart only with widths held near it
            tried = attempt(sorted(proposal), (0.85, 1.25))
            gain = fit.chi2 * fit.dof - tried[0].chi2 * tried[0].dof if tried is not None else 0.0
            if (tried is not None and merged(tried[1]) is None and gain >= threshold * threshold
                    and significant(tried[1], threshold) > significant(peaks, threshold)):
                accepted.append((gain, len(accepted), tried))
        if not accepted:
            break
        best = max(accepted)[2]
    fit, peaks = best
    return peaks, Region(start, stop, fit.model(fit.p))


def find_peaks(energy, counts, resolution, threshold, clock, warnings, lines=()):
    width = channel_width(energy)
    fwhm_ch = np.maximum(resolution.fwhm(energy) / width, 1.0)
    sig_ch = fwhm_ch / pk.FWHM_C
    # box sums of about four sigma see a Gaussian best; two to six sigma keep most of its significance
    scale_range = lambda c: (2.0 * sig_ch[int(c)], max(6.0 * sig_ch[int(c)], 2.0))  # noqa: E731
    found = clock("peak search", pk.search, counts, threshold, scale_range)
    cands = pk.merge(found, lambda c: fwhm_ch[int(c.channel)])
    if len(cands) > MAX_CANDIDATES:
        warnings.append(f"{len(cands)} candidates; only the {MAX_CANDIDATES} most significant were fitted")
        cands = sorted(sorted(cands, key=lambda c: -c.significance)[:MAX_CANDIDATES], key=lambda c: c.channel)
    found_peaks, regions = [], []
    t0 = time.perf_counter()
    groups = group(cands, fwhm_ch)
    for n, (g, bounds) in enumerate(zip(groups, limits(groups, len(energy)))):
        if time.perf_counter() - t0 > FIT_BUDGET_S:
            warnings.append(f"peak fits stopped after {FIT_BUDGET_S:g} s: {len(groups) - n} candidate regions not fitted")
            break
        peaks, region = clock("peak fits", fit_group, energy, counts, width, [c.channel for c in g], resolution,
                              threshold, fwhm_ch, bounds, lines)
        if region is not None:
            regions.append(region)
        else:
            at = ", ".join(f"{energy_at(energy, c.channel):.1f}" for c in g)
            warnings.append(f"no fit for the candidates at {at} keV (region too short or fit failed)")
        found_peaks.extend(peaks)
    return judge(found_peaks, resolution, threshold), regions, len(cands)


def judge(peaks, resolution, threshold):
    """The peaks to report: significant net area, one per position (a centroid pushed to its region's
    edge by a stronger neighbour is that neighbour)."""
    keep = []
    for p in sorted(peaks, key=lambda p: -p.significance):
        if not (p.area > 0 and p.significance >= threshold):
            continue
        if any(abs(p.energy - q.energy) < 0.5 * float(resolution.fwhm(p.energy)) for q in keep):
            continue
        if "centroid at edge" in p.flags and any(abs(p.energy - q.energy) < 3 * float(resolution.fwhm(p.energy))
                                                 for q in keep):
            continue
        keep.append(p)
    return sorted(keep, key=lambda p: p.energy)


def refine_resolution(peaks, resolution):
    points = [(p.energy, p.fwhm, min(p.significance, 100.0) ** 2) for p in peaks
              if not {"width at limit", "poor fit", "multiplet"} & set(p.flags) and p.significance >= 8.0
              and (p.identification is None or "annihilation" not in p.identification)]
    return pk.fit_resolution(points) if len(points) >= 2 else None


def analyse(energy, counts, options: Options, base_calibration: Calibration | None = None):
    energy = np.ascontiguousarray(energy, dtype=np.float64)
    counts = np.ascontiguousarray(counts, dtype=np.float64)
    clock = Clock()
    warnings = []
    resolution = learn_resolution(energy, counts, options.threshold, clock)
    if resolution is None:
        hint = pk.DETECTORS.get(options.detector or "")
        if hint is None:
            warnings.append("no peak clean enough to learn the resolution from; assuming a NaI(Tl) detector "
                            "(name the detector with --detector)")
            hint = pk.DETECTORS["nai"]
        resolution = hint
    kind = options.detector or pk.detector_kind(resolution)
    peaks, regions, ncand = find_peaks(energy, counts, resolution, options.threshold, clock, warnings, options.lines)
    refined = refine_resolution(peaks, resolution)
    if refined is not None:
        resolution = refined
    calibration, recal = base_calibration, None
    if options.recalibrate:
        if not options.lines:
            warnings.append("--recalibrate needs --lines; calibration kept")
        else:
            recal = cal.recalibrate(energy, base_calibration, peaks, options.lines, resolution)
            if recal.calibration is None:
                warnings.append(f"calibration: {recal.note}")
            else:
                energy = cal.apply(recal, energy, base_calibration, peaks)
                calibration = recal.calibration
                worst = max(abs(r) for r in recal.residuals)
                tol = max(0.5 * float(resolution.fwhm(energy[-1])), 0.1)
                if len(recal.matched) > 2 and worst > tol:
                    warnings.append(f"calibration: a matched line is {worst:.2f} keV off the refined scale")
    missing = identify(peaks, options.lines, resolution, kind)
    for p in peaks:  # annihilation in flight widens 511 keV; anything else this wide is no single line
        if p.fwhm > 1.6 * float(resolution.fwhm(p.energy)) and "annihilation" not in (p.identification or ""):
            p.flags.append("wide")  # a Compton edge, a backscatter bump or an unresolved group
    if missing:
        warnings.append("known lines not found: " + ", ".join(f"{e:g} keV" for e in missing))
    poor = [p for p in peaks if "poor fit" in p.flags]
    if poor:
        warnings.append("poor fits (reported, flagged): " + ", ".join(f"{p.energy:.1f} keV" for p in poor))
    sharpened = clock("sharpening", uf.sharpen, energy, counts, resolution, options.rl_iterations)
    unfolding = None
    top = float(energy[-1])
    if options.response is not None or top > uf.REFERENCE_LOW_KEV * 1.5:
        grid, _ = uf.grid_of(energy, counts)
        response = options.response or clock("response", uf.model_response, grid, resolution, kind, top)
        unfolding = clock("unfolding", uf.unfold, energy, counts, response, options.em_iterations)
        if unfolding.chi2 > 2.0:
            warnings.append(f"unfolding: the result folded back through the response fits the spectrum poorly "
                            f"(chi2/channel {unfolding.chi2:.2f} after {options.em_iterations} iterations): the "
                            f"response does not describe this detector well, or more iterations are needed")
        if options.response is None:
            warnings.append("unfolding used a modelled response (no --response given): treat it as indicative")
    return Analysis(energy, counts, calibration, resolution, kind, peaks, regions, missing, recal, sharpened,
                    unfolding, warnings, clock.times, ncand)

