"""Names for found peaks: known lines, annihilation radiation, escape peaks whose parent is present with
an intensity the detector can give them, and coincidence sums of two found lines."""
from __future__ import annotations

import math
from dataclasses import replace

import numpy as np
from scipy.special import erf

from .detector import ELECTRON_KEV, FWHM_C, KINDS
from .results import ANNIHILATION_KEV, Flag, Identification, IdKind, LineCheck, NuclideFound

__all__ = ["identify", "tolerance", "identify_nuclides", "limits_at", "relative_efficiency"]


def tolerance(peak, resolution):
    """How far a peak may lie from a line and still be that line.

    Parameters
    ----------
    peak : Peak
    resolution : Resolution

    Returns
    -------
    float
        keV: half a FWHM at the peak, or three standard uncertainties of its centroid where those are
        larger, and at least 0.3 keV.
    """
    return max(0.5 * float(resolution.fwhm(peak.energy)), 3.0 * peak.energy_unc, 0.3)


def identify(peaks, lines, resolution, kind):
    """Names the peaks.

    Parameters
    ----------
    peaks : sequence of Peak
        The found peaks.
    lines : sequence of float
        Known line energies, keV.
    resolution : Resolution
        The detector's, for the tolerance of a match.
    kind : str
        Detector kind (a name of `quodex.spectrum.detector.KINDS`): how strong an escape peak may be.

    Returns
    -------
    peaks : list of Peak
        The same peaks in the same order, each with its `identification` (None where none fits).
    missing : list of float
        The known lines found nowhere, ascending.
    """
    names = [None] * len(peaks)
    missing = []
    for line in sorted(lines):
        annihilation = abs(line - ANNIHILATION_KEV) < 1
        widen = 1.5 if annihilation else 1.0  # Doppler broadening widens 511 keV
        near = [i for i, pk in enumerate(peaks) if names[i] is None
                and abs(pk.energy - line) <= widen * tolerance(pk, resolution)]
        if near:
            best = min(near, key=lambda i: abs(peaks[i].energy - line))
            names[best] = Identification(IdKind.ANNIHILATION if annihilation else IdKind.LINE, line)
        else:
            missing.append(line)
    for i, pk in enumerate(peaks):
        if names[i] is None and abs(pk.energy - ANNIHILATION_KEV) <= tolerance(pk, resolution) * 1.5:
            names[i] = Identification(IdKind.ANNIHILATION, ELECTRON_KEV, listed=False)
    _escapes_and_sums(peaks, names, resolution, kind)
    return [replace(pk, identification=name) for pk, name in zip(peaks, names)], missing


def _escapes_and_sums(peaks, names, resolution, kind):
    """Names, in place, the unnamed peaks that are escapes or coincidence sums of named ones."""
    parents = [i for i in range(len(peaks)) if names[i] is not None]
    escape = KINDS[kind].max_escape_ratio
    for i, pk in enumerate(peaks):
        if names[i] is not None:
            continue
        for j in parents:
            parent = peaks[j]
            for shift, name in ((ELECTRON_KEV, IdKind.SINGLE_ESCAPE), (2 * ELECTRON_KEV, IdKind.DOUBLE_ESCAPE)):
                if (abs(pk.energy - (parent.energy - shift)) <= tolerance(pk, resolution)
                        and pk.area <= escape(parent.energy) * parent.area + 3 * pk.area_unc):
                    names[i] = Identification(name, names[j].line - shift, (names[j],))
    # true coincidence sums: two identified lines detected together, far weaker than either
    for i, pk in enumerate(peaks):
        if names[i] is not None:
            continue
        for n, a in enumerate(parents):
            for b in parents[n:]:
                if (abs(pk.energy - (peaks[a].energy + peaks[b].energy)) <= tolerance(pk, resolution)
                        and pk.area < 0.2 * min(peaks[a].area, peaks[b].area)):
                    names[i] = Identification(IdKind.SUM, names[a].line + names[b].line, (names[a], names[b]))


# --- naming the spectrum from the nuclide library ---------------------------------------------------

CURRIE_K = 1.645  # one-sided 5 %: false detections and missed lines alike
WINDOW_FWHM = 1.25  # half-width of the counting window
SIDE_FWHM = 1.0  # width of each background window beside it
RATIO_SLACK = 4.0  # a rough efficiency curve and unknown geometry: intensities may be off by this factor
MIN_CONFIDENCE = 0.5
MAX_NAMES = 12  # more in one spectrum are coincidences, and cost time
# Met daily in laboratories and the environment: a single matched line may name one of these, while
# the rest of the library needs two lines that agree (a lone coincidence names nothing).
COMMON = frozenset("""
K-40 Ra-226 Th-228 Th-232 U-238 U-235 Pb-210 Cs-137 Cs-134 Co-60 Na-22 Am-241 Ba-133 Eu-152 Co-57 Mn-54 Cd-109
Bi-207 Y-88 Zn-65 I-131 Lu-176 Au-198 Cu-64 Ir-192 Ga-67 Tl-201 In-111 Se-75 Sr-85 Ce-139 Hg-203 Sn-113 Co-58
Co-56 Be-7 Ag-110m Sb-125 Eu-154 Eu-155 I-125 I-123 Cr-51 Fe-59 Sc-46 Na-24 Ac-227 Ho-166m
""".split())


def relative_efficiency(energy, kind):
    """A rough full-energy efficiency curve, up to a constant: a fall as a power of the energy above
    the maximum and the absorption of windows and dead layers below it. Enough to compare the lines of
    one nuclide within `RATIO_SLACK`."""
    e = np.maximum(np.asarray(energy, dtype=np.float64), 1.0)
    semi = KINDS[kind].semiconductor
    power, cut = (0.9, 45.0) if semi else (0.7, 25.0)
    return (e / 150.0) ** -power * -np.expm1(-(e / cut) ** 3)


class _Counts:
    """Window sums of a spectrum in O(1) each, for the checks of lines that no peak matched."""

    def __init__(self, energy, counts, resolution, live_time):
        self.energy = energy
        self.cum = np.concatenate(([0.0], np.cumsum(counts, dtype=np.float64)))
        self.resolution = resolution
        self.live_time = live_time
        self.lo, self.hi = float(energy[0]), float(energy[-1])

    def inside(self, e):
        w = float(self.resolution.fwhm(e))
        return self.lo + (WINDOW_FWHM + SIDE_FWHM) * w <= e <= self.hi - (WINDOW_FWHM + SIDE_FWHM) * w

    def window(self, e):
        """(net area, its uncertainty, decision threshold, detection limit) of a line at `e`, counts of the
        whole peak."""
        e = np.asarray(e, dtype=np.float64)
        w = self.resolution.fwhm(e)
        h, s = WINDOW_FWHM * w, SIDE_FWHM * w
        idx = np.searchsorted(self.energy, np.stack([e - h - s, e - h, e + h, e + h + s]))
        c = self.cum[idx]
        gross = c[2] - c[1]
        n = np.maximum(idx[2] - idx[1], 1)
        m_lo, m_hi = np.maximum(idx[1] - idx[0], 1), np.maximum(idx[3] - idx[2], 1)
        lo, hi = (c[1] - c[0]) / m_lo, (c[3] - c[2]) / m_hi
        # the quieter side, per channel: a neighbouring peak in the other must not raise the background
        low = lo <= hi
        m = np.where(low, m_lo, m_hi)
        bkg = np.where(low, lo, hi) * n
        share = erf(WINDOW_FWHM * FWHM_C / np.sqrt(2.0))  # of a Gaussian peak inside the window
        net = (gross - bkg) / share
        unc = np.sqrt(np.maximum(gross + bkg * n / m, 1.0)) / share
        lc = CURRIE_K * np.sqrt(np.maximum(bkg * (1.0 + n / m), 0.0)) / share
        ld = CURRIE_K**2 / share + 2.0 * lc
        return net, unc, lc, ld

    def check(self, e, intensity=None, member=None, peak=None):
        net, unc, lc, ld = (float(v) for v in self.window(e))
        if peak is not None:
            net, unc = peak.area, peak.area_unc
        return LineCheck(float(e), intensity, member, None if peak is None else float(peak.energy), net, unc, lc, ld,
                         self.live_time)


def limits_at(energy, counts, resolution, energies, live_time=None):
    """Net areas and detection limits (Currie) at given energies.

    Parameters
    ----------
    energy, counts : numpy.ndarray
        keV and counts of every channel.
    resolution : Resolution
        Sets the window's width.
    energies : sequence of float
        keV.
    live_time : float, optional
        Seconds, for counts per second.

    Returns
    -------
    tuple of LineCheck
        One per energy; an energy too near an end of the spectrum to hold a window gives NaNs.
    """
    cnt = _Counts(energy, counts, resolution, live_time)
    out = []
    for e in energies:
        if cnt.inside(e):
            out.append(cnt.check(e))
        else:
            out.append(LineCheck(float(e), None, None, None, math.nan, math.nan, math.nan, math.nan, live_time))
    return tuple(out)


class _Score:
    """A candidate's fit to the peaks that are left; what it explains is worked out only for the chosen."""

    def __init__(self, cl, confidence, shared, expected, absent):
        self.cl, self.candidate, self.confidence = cl, cl.cand, confidence
        self.shared, self.expected, self.absent = shared, expected, absent

    @property
    def matched(self):
        """peak index -> [(Line, expected counts)] of the gamma lines it holds."""
        return {i: [(self.cl.lines[t], float(self.expected[t])) for t in js] for i, js in self.shared.items()}

    @property
    def xrays(self):
        """peak index -> expected counts of the X-rays it holds."""
        out = {}
        for j in np.flatnonzero((self.cl.idx >= 0) & ~self.cl.gamma):
            i = int(self.cl.idx[j])
            out[i] = out.get(i, 0.0) + float(self.expected[j])
        return out

    @property
    def lines(self):
        """(Line, expected counts, peak index or None) of every line in range."""
        return [(ln, float(self.expected[j]), int(self.cl.idx[j]) if self.cl.idx[j] >= 0 else None)
                for j, ln in enumerate(self.cl.lines)]


class _Lines:
    """A candidate's lines in the spectrum's range, with what does not change between rounds: the peak
    each matches, its weight through the efficiency curve and the window check of the counts."""

    def __init__(self, cand, sl, flat, efficiency, inside, idx, window, crowded, on_scale, tol):
        keep = np.flatnonzero(inside[sl]) + sl.start
        self.cand = cand
        self.lines = [cand.lines[k - sl.start] for k in keep]
        self.idx = idx[keep]
        self.weight = flat.intensity[keep] * efficiency[keep]
        self.gamma = ~flat.xray[keep]
        self.net, self.unc, self.lc, self.ld = (v[keep] for v in window)
        self.crowded = crowded[keep]
        self.on_scale = on_scale[keep]
        self.tol = tol
        # the lines a source of this nuclide shows first: a candidate that matches none of them is none
        strongest = np.argsort(-(self.weight * self.gamma))[:3]
        self.plausible = bool(np.any((self.idx[strongest] >= 0) & self.gamma[strongest]))
        self.peaks = frozenset(int(i) for i in self.idx if i >= 0)


def _near_peak(line_e, peak_e, reach):
    """Whether a found peak lies within `reach` of each line, where a window's counts mix with it."""
    if not len(peak_e):
        return np.zeros(len(line_e), dtype=bool)
    pos = np.clip(np.searchsorted(peak_e, line_e), 1, max(len(peak_e) - 1, 1))
    d = np.minimum(np.abs(peak_e[pos - 1] - line_e), np.abs(peak_e[np.minimum(pos, len(peak_e) - 1)] - line_e))
    return d < reach


def _scatter(peaks, names, resolution, kind):
    """Peaks that are backscatter bumps or Compton edges of a stronger peak, as {index: Identification}:
    found by the search in scintillator spectra, or fitted too wide or poorly for a line in any."""
    scint = not KINDS[kind].semiconductor
    out = {}
    for i, pk in enumerate(peaks):
        if names[i] is not None or not (scint or pk.has(Flag.WIDE) or pk.has(Flag.POOR_FIT)):
            continue
        for j, parent in enumerate(peaks):
            # below some 200 keV photoabsorption wins and scatter leaves no bump or edge worth naming
            if (j == i or parent.has(Flag.WIDE) or parent.area < 3 * pk.area or parent.significance < 10
                    or parent.energy < 200.0):
                continue
            e = parent.energy if names[j] is None else names[j].line
            back = e / (1 + 2 * e / ELECTRON_KEV)
            if abs(pk.energy - back) <= max(tolerance(pk, resolution), 0.08 * back):
                out[i] = (IdKind.BACKSCATTER, back, j)
                break
            edge = e - back
            if 0.8 * edge <= pk.energy <= edge + tolerance(pk, resolution):
                out[i] = (IdKind.COMPTON_EDGE, edge, j)
                break
    return out


def _match(line_e, peak_e, tol):
    """Peak index for each line energy (or -1): the nearest peak within its tolerance."""
    best = np.full(len(line_e), -1)
    if not len(peak_e):
        return best
    pos = np.searchsorted(peak_e, line_e)
    dist = np.full(len(line_e), np.inf)
    for k in (np.clip(pos - 1, 0, len(peak_e) - 1), np.clip(pos, 0, len(peak_e) - 1)):
        d = np.abs(peak_e[k] - line_e)
        ok = (d <= tol[k]) & (d < dist)
        best = np.where(ok, k, best)
        dist = np.where(ok, d, dist)
    return best


def _score(cl, peaks, usable, residual, common):
    """How well a candidate fits the peaks not yet explained; None where it explains no new peak."""
    idx, gamma = cl.idx, cl.gamma
    hit = (idx >= 0) & gamma
    shared = {}
    for j in np.flatnonzero(hit):
        if usable[idx[j]]:
            shared.setdefault(int(idx[j]), []).append(int(j))
    # a new name must explain a good part of a peak that is left, not the rounding of another's share
    fresh = [i for i in shared if residual[i] > max(3 * peaks[i].area_unc, 0.25 * peaks[i].area)]
    if not fresh:
        return None
    # the activity scale from the unexplained areas of the matched peaks, each peak counted once
    area = sum(max(residual[i], 0.0) for i in shared)
    expect_w = sum(cl.weight[j] for js in shared.values() for j in js)
    if area <= 0 or expect_w <= 0:
        return None
    expected = area / expect_w * cl.weight
    detectable = expected > cl.ld
    explained = total = 0.0
    absent = []
    consistent = checked = 0
    for j in np.flatnonzero(gamma & (hit | detectable)):
        x = expected[j]
        if hit[j]:
            total += x
            explained += x
            js = shared.get(int(idx[j]))
            if js and js[0] == j:  # one ratio per peak, against all the lines it holds
                pk = peaks[idx[j]]
                exp_sum = sum(expected[t] for t in js)
                checked += 1
                if exp_sum / RATIO_SLACK - 2 * pk.area_unc <= max(residual[idx[j]], 0.0) <= exp_sum * RATIO_SLACK \
                        + 2 * pk.area_unc:
                    consistent += 1
            continue
        # lines that the counts can neither confirm nor deny weigh nothing, nor lines beside another peak
        if cl.crowded[j]:
            continue
        n_, u_ = cl.net[j], cl.unc[j]
        if n_ > cl.lc[j] and n_ > x / RATIO_SLACK - 2 * u_:
            explained += x  # in the counts though not in the peak list
            total += x
        elif n_ + 2 * u_ < x / RATIO_SLACK or n_ + 3 * u_ < 0.5 * x:
            absent.append(cl.lines[j].energy)
            total += x
    coverage = explained / total if total > 0 else 0.0
    signif = sum(min(max(residual[i], 0.0), sum(expected[t] for t in shared[i])) / peaks[i].area_unc
                 for i in fresh if peaks[i].area_unc > 0)
    strength = 1.0 - math.exp(-signif / 10.0)
    consistency = (consistent + 1) / (checked + 1)
    name = cl.cand.name
    strongest = int(np.argmax(np.where(gamma, expected, -1.0)))
    if len(fresh) == 1:
        # one peak names a nuclide only where it holds the line the nuclide shows best
        lone = 0.9 if ((common is None or name in common) and int(idx[strongest]) in fresh) else 0.25
    else:
        lone = 1.0 if (common is None or name in common) else 0.8 if len(fresh) >= 3 else 0.6
    # centroids on their lines: where two nuclides' lines both fall within a wide tolerance, the nearer wins
    closeness = sum(math.exp(-0.5 * (min(abs(peaks[i].energy - cl.on_scale[t]) for t in shared[i])
                                     / cl.tol[i]) ** 2) for i in fresh) / len(fresh)
    confidence = coverage**2 * consistency * strength * lone * closeness
    return _Score(cl, float(confidence), shared, expected, absent)


def _anchors(library):
    """Strong gamma lines of the common nuclides, ascending: what a gain search matches peaks to."""
    flat = library.flat
    if not hasattr(flat, "anchors"):
        common = np.zeros(len(flat.energy), dtype=bool)
        for c, sl in zip(library.candidates, flat.slices):
            common[sl] = c.name in COMMON
        keep = common & ~flat.xray & (flat.intensity >= 0.05)
        flat.anchors = np.unique(flat.energy[keep]) if keep.any() else np.array([ANNIHILATION_KEV])
    return flat.anchors


def _gain(peaks, anchors, tol):
    """A gain factor (true keV over scale keV) within 6 % under which the strongest peaks match strong
    library lines; 1 unless another matches clearly more of them (weighted by significance)."""
    strong = sorted((i for i, p in enumerate(peaks) if p.significance >= 5 and not p.has(Flag.WIDE)),
                    key=lambda i: -peaks[i].significance)[:15]
    if len(strong) < 2:
        return 1.0
    pe = np.array([peaks[i].energy for i in strong])
    pt = tol[strong]
    weight = np.log1p(np.array([peaks[i].significance for i in strong]))
    step = max(0.25 * float(np.min(pt / pe)), 1e-4)
    gains = np.arange(0.94, 1.06 + step / 2, step)
    shifted = pe[None, :] * gains[:, None]  # gains x peaks
    pos = np.clip(np.searchsorted(anchors, shifted), 1, len(anchors) - 1)
    d = np.minimum(np.abs(anchors[pos] - shifted), np.abs(anchors[pos - 1] - shifted))
    hit = d <= pt[None, :] * gains[:, None]
    score = (hit * weight).sum(axis=1)
    at_one = int(np.argmin(np.abs(gains - 1.0)))
    best = int(np.argmax(score))
    # coincidences abound among many lines: a scale is taken only where it explains most of the strong peaks
    if score[best] > 1.5 * score[at_one] and hit[best].sum() >= 3 and score[best] >= 0.6 * weight.sum():
        return float(gains[best])
    return 1.0


def identify_nuclides(energy, counts, peaks, resolution, kind, library, live_time=None):
    """Names what the spectrum holds from a nuclide library.

    Candidates (nuclides and chain segments) are scored on the peaks they match in energy, on the
    agreement of the matched areas with their emission probabilities through a rough efficiency curve,
    and on their lines strong enough to be seen that the counts do not show (looked for in the counts,
    not only among the peaks). The best is taken, the areas it explains removed, and the rest scored
    again, until none explains a peak that is left. A nuclide is never named from X-rays alone.

    Parameters
    ----------
    energy, counts : numpy.ndarray
        keV and counts of every channel.
    peaks : sequence of Peak
        The found peaks, already named where the user's lines, annihilation, escapes or sums fit.
    resolution : Resolution
    kind : str
        Detector kind (a name of `quodex.spectrum.detector.KINDS`).
    library : Library
    live_time : float, optional
        Seconds, for counts per second in the line checks.

    Returns
    -------
    peaks : list of Peak
        The same peaks, the unnamed ones that a chosen name explains named after it.
    found : tuple of NuclideFound
        Most confident first, those of confidence at least 0.5.
    unexplained : tuple of float
        keV of the peaks nothing explains.
    scale : tuple of float
        (offset keV, gain): the library was matched to ``offset + gain * E`` of the peaks; (0, 1) where
        the energy scale fits. A gain search within 6 % finds a scale a few percent off; a straight line
        through the named lines then refines it.
    """
    peaks = list(peaks)
    cnt = _Counts(energy, counts, resolution, live_time)
    tol = np.array([tolerance(p, resolution) for p in peaks])
    scale = (0.0, _gain(peaks, _anchors(library), tol) if peaks else 1.0)
    first = _identify_on(scale, cnt, peaks, tol, resolution, kind, library)
    # a semiconductor's narrow lines miss a scale off by a FWHM: name with twice the tolerance only to
    # learn the scale from, then name again on it
    rough = _identify_on(scale, cnt, peaks, 2 * tol, resolution, kind, library, 4) \
        if KINDS[kind].semiconductor and first[2] else first
    refined = _refined_scale(rough[0], resolution)
    if refined is not None:
        second = _identify_on(refined, cnt, peaks, tol, resolution, kind, library)
        if len(second[2]) < len(first[2]) or (len(second[2]) == len(first[2]) and len(second[1]) >= len(first[1])):
            return (*second, refined)
    return (*first, scale)


def _refined_scale(named, resolution):
    """A straight line from the peaks' energies to the library lines they were named by (an offset alone
    from two lines, or from lines close together), where it moves some line by more than a quarter of
    its tolerance; None otherwise."""
    pairs = [(p.energy, p.identification.line, p.energy_unc, tolerance(p, resolution)) for p in named
             if p.identification is not None and p.identification.kind is IdKind.LINE and p.identification.nuclide
             and not p.identification.nuclide.startswith("X-rays")]
    if len(pairs) < 2:
        return None
    x, y, u, tol = (np.array(v, dtype=np.float64) for v in zip(*pairs))
    w = 1.0 / np.maximum(u, 0.02)
    if len(pairs) >= 3 and x.max() - x.min() >= 0.3 * x.max():
        b, a = np.polyfit(x, y, 1, w=w)
    else:  # lines close together show an offset, not a gain
        b, a = 1.0, float(np.average(y - x, weights=w**2))
    if not 0.9 < b < 1.1:
        return None
    if np.all(np.abs(a + b * x - x) < 0.25 * tol):
        return None
    return float(a), float(b)


def _identify_on(scale, cnt, peaks, tol, resolution, kind, library, max_names=MAX_NAMES):
    """One identification with the library matched to ``offset + gain * E`` of the peaks."""
    offset, gain = scale
    flat = library.flat
    peak_e = np.array([p.energy for p in peaks])
    scatter = _scatter(peaks, [p.identification for p in peaks], resolution, kind)
    usable = [not p.has(Flag.WIDE) and i not in scatter
              and (p.identification is None or p.identification.kind is IdKind.LINE) for i, p in enumerate(peaks)]
    residual = [p.area if usable[i] else 0.0 for i, p in enumerate(peaks)]
    on_scale = (flat.energy - offset) / gain
    width = (WINDOW_FWHM + SIDE_FWHM) * resolution.fwhm(on_scale)
    inside = (on_scale >= cnt.lo + width) & (on_scale <= cnt.hi - width)
    idx = _match(on_scale, peak_e, tol)
    window = [np.zeros(len(on_scale)) for _ in range(4)]
    if inside.any():
        for store, v in zip(window, cnt.window(on_scale[inside])):
            store[inside] = v
    named_by_gamma = inside & (idx >= 0) & ~flat.xray
    efficiency = flat.efficiency_for(kind)
    crowded = _near_peak(on_scale, peak_e, (WINDOW_FWHM + SIDE_FWHM) * resolution.fwhm(on_scale))
    pool = [_Lines(c, sl, flat, efficiency, inside, idx, window, crowded, on_scale, tol)
            for c, sl in zip(library.candidates, flat.slices)
            if named_by_gamma[sl].any()]
    pool = [cl for cl in pool if cl.plausible]
    common = None if "file" in library.source else COMMON  # a user's own library is all expected
    scores = {cl.cand.name: _score(cl, peaks, usable, residual, common) for cl in pool}
    chosen = []
    while len(chosen) < max_names:
        fresh = [s for s in scores.values() if s is not None and s.confidence >= MIN_CONFIDENCE]
        if not fresh:
            break
        best = max(fresh, key=lambda s: (s.confidence, sum(residual[i] for i in s.shared)))
        chosen.append(best)
        del scores[best.candidate.name]
        xrays = best.xrays
        for i, pairs in best.matched.items():
            residual[i] -= sum(x for _, x in pairs)
        for i, x in xrays.items():
            residual[i] -= x
        # only the candidates that share a peak with it score differently now
        touched = set(best.shared) | set(xrays)
        for cl in pool:
            s = scores.get(cl.cand.name, False)
            if s is not False and cl.peaks & touched:
                scores[cl.cand.name] = _score(cl, peaks, usable, residual, common)
    names = [p.identification for p in peaks]
    found = []
    for s in chosen:
        explains = []
        for i, pairs in s.matched.items():
            line = max(pairs, key=lambda t: t[1])[0]
            if names[i] is None:
                names[i] = Identification(IdKind.LINE, line.energy, listed=False, nuclide=s.candidate.name)
            explains.append(float(peaks[i].energy))
        checks = []
        for ln, x, i in sorted(s.lines, key=lambda t: -t[1]):
            if ln.xray:
                if i is not None and names[i] is None:
                    names[i] = Identification(IdKind.LINE, ln.energy, listed=False, nuclide=s.candidate.name)
                    explains.append(float(peaks[i].energy))
                continue
            if len(checks) < 12:
                checks.append(cnt.check((ln.energy - offset) / gain, ln.intensity, ln.member, None if i is None else peaks[i]))
        found.append(NuclideFound(s.candidate.name, s.candidate.members, round(s.confidence, 3),
                                  tuple(sorted(set(explains))), tuple(checks), tuple(sorted(s.absent))))
    _name_fluorescence(peaks, names, library, resolution, scale)
    for i, (what, e, j) in scatter.items():
        if names[i] is None:
            parent = names[j] or Identification(IdKind.LINE, round(float(peaks[j].energy), 2), listed=False)
            names[i] = Identification(what, round(float(e), 2), (parent,), listed=False)
    _escapes_and_sums(peaks, names, resolution, kind)
    named = [replace(pk, identification=name) for pk, name in zip(peaks, names)]
    unexplained = tuple(float(p.energy) for p in named if p.identification is None and not p.has(Flag.WIDE))
    return named, tuple(found), unexplained


def _name_fluorescence(peaks, names, library, resolution, scale):
    """Lead K X-rays from shielding, by the energies the library gives them (Bi-207 decays to Pb)."""
    try:
        pb = [ln.energy for ln in library["Bi-207"].lines if ln.xray]
    except KeyError:
        return
    for i, pk in enumerate(peaks):
        if names[i] is None:
            true = scale[0] + scale[1] * pk.energy
            near = [e for e in pb if abs(true - e) <= tolerance(pk, resolution)]
            if near:
                names[i] = Identification(IdKind.LINE, min(near, key=lambda e: abs(true - e)),
                                          listed=False, nuclide="X-rays (Pb)")
