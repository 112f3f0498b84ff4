"""Peak fits and the resolution law on counts of known truth: the uncertainties describe the deviations
(pulls of unit width), chi-square measures the fit, a tail is part of the area, wide impostors do not
bend the resolution."""
import math

import numpy as np
import pytest

from quodex.spectrum import fit
from quodex.spectrum.detector import FWHM_C, Resolution
from quodex.spectrum.results import Flag

X = np.arange(600.0, 640.0, 0.25)  # keV
SIGMA = 0.8
BACKGROUND = lambda x: 40.0 - 0.5 * (x - 620.0)  # noqa: E731  counts per channel


def counts_of(area, centre, seed, tail=0.0):
    rng = np.random.default_rng(seed)
    edges = np.concatenate((X - 0.125, [X[-1] + 0.125]))
    from scipy.special import erf
    peak = 0.5 * np.diff(erf((edges - centre) / (math.sqrt(2) * SIGMA))) * area
    if tail:  # the tail's share of the area in an exponential below the peak, smeared by the resolution
        from scipy.special import erfc
        beta, d = 1.5 * SIGMA, X - centre
        dens = np.exp(d / beta + 0.5 * (SIGMA / beta) ** 2) * erfc(d / (math.sqrt(2) * SIGMA) + SIGMA / (math.sqrt(2) * beta))
        peak = (1 - tail) * peak + tail * area * dens / dens.sum()
    return rng.poisson(BACKGROUND(X) + peak).astype(float)


@pytest.fixture(scope="module")
def pulls():
    out = {"energy": [], "area": [], "fwhm": [], "chi2": []}
    for seed in range(40):
        y = counts_of(5000.0, 620.3, seed)
        f = fit.fit_region(X, y, [620.0], [(0.3, 3.0)])
        (p,) = fit.peaks_of(f, X, (0, len(X)))
        out["energy"].append((p.energy - 620.3) / p.energy_unc)
        out["area"].append((p.area - 5000.0) / p.area_unc)
        out["fwhm"].append((p.fwhm - FWHM_C * SIGMA) / p.fwhm_unc)
        out["chi2"].append(p.chi2)
    return {k: np.array(v) for k, v in out.items()}


@pytest.mark.parametrize("what", ["energy", "area", "fwhm"])
def test_uncertainties_describe_the_deviations(pulls, what):
    z = pulls[what]
    assert abs(z.mean()) < 0.45 and 0.7 < z.std() < 1.35


def test_the_background_under_a_peak():
    f = fit.fit_region(X, counts_of(5000.0, 620.3, 7), [620.0], [(0.3, 3.0)])
    level, slope, centre = fit.peaks_of(f, X, (0, len(X)))[0].background
    assert centre == pytest.approx(619.875) and level == pytest.approx(BACKGROUND(centre), rel=0.05)
    assert slope == pytest.approx(-0.5, abs=0.15)  # counts per channel per keV


def test_chi_square_measures_the_fit(pulls):
    assert 0.85 < pulls["chi2"].mean() < 1.15
    # a Gaussian fitted to a peak with a strong tail is a poor fit, and says so
    y = counts_of(2e5, 620.3, 1, tail=0.3)
    plain = fit.fit_region(X, y, [620.0], [(0.3, 3.0)])
    assert plain.chi2 > 3.0 and plain.poor
    (p,) = fit.peaks_of(plain, X, (0, len(X)))
    assert p.has(Flag.POOR_FIT) and not p.has(Flag.TAIL)


def test_a_tail_is_part_of_the_area():
    y = counts_of(2e5, 620.3, 2, tail=0.3)
    shaped = fit.fit_region(X, y, [620.0], [(0.3, 3.0)], shape=True)
    (p,) = fit.peaks_of(shaped, X, (0, len(X)))
    assert p.has(Flag.TAIL)
    assert abs(p.area - 2e5) < 0.02 * 2e5 and abs(p.energy - 620.3) < 0.05
    assert shaped.chi2 < fit.fit_region(X, y, [620.0], [(0.3, 3.0)]).chi2 / 3


def test_two_peaks_of_one_region_and_their_flags():
    y = counts_of(5000.0, 615.0, 3) + counts_of(3000.0, 625.0, 4) - np.random.default_rng(5).poisson(BACKGROUND(X))
    f = fit.fit_region(X, y, [614.0, 626.0], [(0.3, 3.0), (0.3, 3.0)])
    peaks = fit.peaks_of(f, X, (0, len(X)))
    assert [round(p.energy) for p in peaks] == [615, 625] and all(p.has(Flag.MULTIPLET) for p in peaks)
    for p, area in zip(peaks, (5000.0, 3000.0)):
        assert abs(p.area - area) < 4 * p.area_unc
    alone = fit.peaks_of(fit.fit_region(X[80:], y[80:], [626.0], [(0.3, 3.0)]), X[80:], (80, len(X)))[0]
    assert peaks[1].fwhm_unc == pytest.approx(alone.fwhm_unc, rel=0.25)  # far apart, as if alone
    held = fit.peaks_of(fit.fit_region(X, y, [614.0, 626.0], [(0.3, 0.5), (0.3, 3.0)]), X, (0, len(X)))
    assert held[0].has(Flag.WIDTH_AT_LIMIT) and not held[1].has(Flag.WIDTH_AT_LIMIT)


TRUE = Resolution(0.8, 0.002)


@pytest.mark.parametrize("extra", [
    [],
    [(477.0, 3.0 * float(TRUE.fwhm(477.0)), 900.0)],  # a Compton edge found as a wide peak
    [(200.0, 2.5 * float(TRUE.fwhm(200.0)), 400.0), (1100.0, 1.9 * float(TRUE.fwhm(1100.0)), 2500.0)],
])
def test_the_resolution_law_from_peak_widths(extra):
    points = [(e, float(TRUE.fwhm(e)) * (1 + d), w) for e, d, w in
              ((122.0, 0.01, 900.0), (344.0, -0.01, 2500.0), (662.0, 0.0, 10000.0), (1332.0, 0.01, 3000.0),
               (1836.0, -0.01, 900.0))]
    res = fit.fit_resolution(points + extra)
    for e in (100.0, 662.0, 2000.0):
        assert float(res.fwhm(e)) == pytest.approx(float(TRUE.fwhm(e)), rel=0.03)


def test_one_energy_scales_the_statistics_term_alone():
    res = fit.fit_resolution([(662.0, 46.3, 1e4)])
    assert res.a == 0 and float(res.fwhm(662.0)) == pytest.approx(46.3) and float(res.fwhm(1324.0)) == pytest.approx(
        46.3 * math.sqrt(2))
    assert fit.fit_resolution([]) is None and fit.fit_resolution([(662.0, float("nan"), 1.0)]) is None


@pytest.mark.parametrize("scale", [1, 2, 4, 8, 16])
@pytest.mark.parametrize("centre", [1000.3, 1000.8, 1001.55])
def test_the_search_finds_a_peak_at_every_summed_width(scale, centre):
    # every phase a quarter of the summed width apart sees the peak; the centre is interpolated
    from quodex.spectrum import search
    x = np.arange(2048.0)
    width = 0.6 * scale  # sigma in channels: a peak that this sum sees best
    counts = np.random.default_rng(scale).poisson(50.0 + 3000.0 * np.exp(-0.5 * ((x - centre) / width) ** 2))
    found = search.scan(counts.astype(float), scale, 5.0)
    assert len(found) == min(scale, 4) and {c.scale for c in found} == {scale}
    best = max(found, key=lambda c: c.significance)
    assert abs(best.channel - centre) <= max(0.2, 0.05 * scale) and best.significance > 5.0


@pytest.mark.parametrize("kind, e", [("hpge", 2000.0), ("hpge", 2614.5), ("nai", 1332.5)])
def test_the_response_to_one_line(kind, e):
    # photopeak 1; Compton continuum and backscatter bump sharing 1/peak-to-total - 1 in 1 : 0.04; escape
    # peaks of semiconductors at e - 511 and e - 1022 keV; nothing above the line
    from quodex.spectrum import detector
    k = detector.KINDS[kind]
    fwhm = lambda en: np.sqrt(0.7 ** 2 + (0.0021 if k.semiconductor else 3.2) * np.maximum(en, 0))  # noqa: E731
    axis = np.arange(0.25, 3500.0, 0.5)
    shape = k.line_shape(axis, e, fwhm)
    other = 1.0 / float(k.peak_to_total(e)) - 1.0
    single, double = k.escape_fractions(e)
    assert shape.sum() == pytest.approx(1.0 + 1.04 * other + single + double, rel=1e-3)
    assert 2 * shape[axis > e].sum() == pytest.approx(1.0, rel=1e-3)  # above the line: half its photopeak alone

    def net(at, half):
        inside, side = np.abs(axis - at) < half, (np.abs(axis - at) >= half) & (np.abs(axis - at) < 2 * half)
        return shape[inside].sum() - shape[side].mean() * inside.sum()
    assert (single > 0.01 and double > 0.005) if k.semiconductor else single == double == 0
    if k.semiconductor:  # near the pair threshold escapes grow as the cube of the excess energy
        assert k.escape_fractions(1022.0 + 400.0)[0] / k.escape_fractions(1022.0 + 800.0)[0] == pytest.approx(1 / 8)
        assert k.escape_fractions(1022.0 + 400.0)[1] / k.escape_fractions(1022.0 + 800.0)[1] == pytest.approx(1 / 8)
    for shift, area in ((511.0, single), (1022.0, double)) if k.semiconductor else ():
        assert net(e - shift, 1.5 * float(fwhm(e - shift))) == pytest.approx(area, abs=0.002 + 0.1 * area)
    edge = detector.compton_edge(e)
    below, above = shape[np.abs(axis - (edge - 40)) < 5].mean(), shape[np.abs(axis - (edge + 40)) < 5].mean()
    assert below > 5 * above  # the continuum ends at the Compton edge


def test_fits_held_by_their_bounds_say_so():
    y = counts_of(5000.0, 620.3, 8)
    (narrow,) = fit.peaks_of(fit.fit_region(X, y, [620.0], [(1.2, 3.0)]), X, (0, len(X)))  # sigma is 0.8
    assert narrow.has(Flag.WIDTH_AT_LIMIT) and narrow.fwhm == pytest.approx(FWHM_C * 1.2, rel=1e-3)
    inside = X < 620.0  # the peak's centre lies beyond the region's end
    (edge,) = fit.peaks_of(fit.fit_region(X[inside], y[inside], [619.0], [(0.3, 3.0)]), X[inside], (0, 80))
    assert edge.has(Flag.CENTROID_AT_EDGE) and not edge.has(Flag.WIDTH_AT_LIMIT)
