"""Whole classes of instruments on spectra made for them, the same physics at any channel count: wide
peaks over thousands of channels, a few channels per peak, an ADC whose channels alternate in width,
close pairs and a line beside the annihilation peak. Every line of 10 sigma or more is to be found."""
import numpy as np
import pytest

from quodex.spectrum import Options, Spectrum, analyse, search, synthetic
from quodex.spectrum.detector import KINDS, Resolution, kind_of

FAST = dict(rl_iterations=1, em_iterations=1)


@pytest.fixture
def no_sharpening(monkeypatch):
    """Sharpening every channel of 65 536 is another stage's cost, not what these tests look at."""
    from quodex.spectrum import analysis
    monkeypatch.setattr(analysis.uf, "sharpen", lambda energy, counts, resolution, iterations: counts.copy())


def strong_lines(name, energy, mean):
    """(keV, FWHM) of the class's lines of 10 sigma or more, a line within 0.4 FWHM of a stronger one
    counted with it."""
    lines, areas, fwhm, *_ = synthetic.INSTRUMENT_CLASSES[name]
    out = []
    for e, a in zip(lines, areas):
        w = float(fwhm(e))
        if synthetic.expected_significance(mean, energy, e, a, w) >= 10 and not any(
                abs(e - e2) < 0.4 * w and a2 > a for e2, a2 in zip(lines, areas)):
            out.append((e, w))
    return out


def matched(peaks, lines, reach=0.3):
    """The lines (keV, FWHM) each matched to its own peak within `reach` FWHM."""
    free, hit = list(peaks), []
    for e, w in lines:
        near = [p for p in free if abs(p.energy - e) <= reach * w]
        if near:
            free.remove(min(near, key=lambda p: abs(p.energy - e)))
            hit.append(e)
    return hit


@pytest.mark.parametrize("name, n, kind", [
    ("nai", 1024, "nai"), ("nai", 16384, "nai"), ("nai", 65536, "nai"),  # FWHM 4 to 1900 channels
    ("comb adc nai", 4096, "nai"), ("comb adc nai", 256, "nai"),
    ("csi eu152", 256, "nai"), ("csi eu152", 1024, "nai"),  # 121.8 keV beside the 40 keV X-rays
    ("labr", 1024, "labr"), ("labr", 65536, "labr"),
])
def test_every_strong_line_at_any_channel_count(no_sharpening, name, n, kind):
    energy, counts, mean = synthetic.instrument_class(name, n, seed=1)
    r = analyse(Spectrum(counts, energies=energy), Options(**FAST))
    lines = strong_lines(name, energy, mean)
    assert len(lines) >= 4
    assert matched(r.peaks, lines) == [e for e, _ in lines]
    assert r.kind == kind
    law = synthetic.INSTRUMENT_CLASSES[name][2]
    assert float(r.resolution.fwhm(662.0)) == pytest.approx(float(law(662.0)), rel=0.25)


def test_a_wide_and_a_narrow_peak_are_both_candidates():
    x = np.arange(65536, dtype=np.float64)
    mean = 50.0 + 2e4 * np.exp(-0.5 * ((x - 2000.0) / (3.0 / 2.3548)) ** 2) \
        + 200.0 * np.exp(-0.5 * ((x - 40000.0) / (400.0 / 2.3548)) ** 2)
    counts = np.random.default_rng(2).poisson(mean).astype(np.float64)
    cands = search.merge(search.search(counts, 5.0, search.SCALES), lambda c: c.scale)
    for centre, fwhm in ((2000.0, 3.0), (40000.0, 400.0)):
        near = [c for c in cands if abs(c.channel - centre) < 0.3 * fwhm]
        assert near and max(c.significance for c in near) > 20
    # searching on some widths only finds what the whole ladder finds on them
    wide = [s for s in search.SCALES if 100 <= s <= 400]
    assert len(wide) > 2
    key = lambda c: (c.scale, c.channel)  # noqa: E731
    assert sorted(search.search(counts, 5.0, wide), key=key) == sorted(
        (c for c in search.search(counts, 5.0, search.SCALES) if c.scale in wide), key=key)
    assert any(abs(c.channel - 40000.0) < 120 for c in search.search(counts, 5.0, wide))


@pytest.mark.parametrize("period, amplitude", [(2, 0.25), (2, 0.05), (3, 0.1), (4, 0.15)])
def test_a_periodic_gain_pattern_is_measured_and_corrected(period, amplitude):
    lines, areas, fwhm, e_max, *_ = synthetic.INSTRUMENT_CLASSES["nai"]
    gain = synthetic.adc_gain_pattern(4096, period, amplitude)
    energy, counts, mean = synthetic.instrument_spectrum(lines, areas, fwhm, 4096, e_max, seed=3, gain=gain)
    corrected, structure = search.channel_structure(counts)
    assert structure.period == period
    np.testing.assert_allclose(structure.pattern, gain[:period], atol=0.01)
    truth = mean / gain  # what the detector saw
    assert abs(np.mean((corrected - truth)[100:-100])) < 0.01 * truth[100:-100].mean()
    assert f"every {period} channels" in str(structure)


@pytest.mark.parametrize("name, n", [("nai", 4096), ("csi eu152", 256), ("labr", 16384)])
def test_no_pattern_where_the_channels_are_even(name, n):
    _, counts, _ = synthetic.instrument_class(name, n, seed=4)
    corrected, structure = search.channel_structure(counts)
    assert structure == search.ChannelStructure() and corrected is counts or np.array_equal(corrected, counts)
    assert str(structure) == ""


def test_no_pattern_in_an_hpge_spectrum_of_narrow_peaks():
    _, counts = synthetic.hpge_mixed_source(seed=1)
    assert search.channel_structure(counts)[1] == search.ChannelStructure()


@pytest.mark.parametrize("jitter", [0.03, 0.1])
def test_channel_widths_that_vary_at_random_are_measured(jitter):
    lines, areas, fwhm, e_max, *_ = synthetic.INSTRUMENT_CLASSES["nai"]
    gain = synthetic.adc_gain_pattern(16384, 2, 0.0, jitter, seed=5)
    _, counts, _ = synthetic.instrument_spectrum(lines, areas, fwhm, 16384, e_max, seed=5, gain=gain,
                                                 background=300.0)
    structure = search.channel_structure(counts)[1]
    assert structure.period == 0
    assert np.sqrt(structure.excess) == pytest.approx(jitter, rel=0.3)


def test_the_comb_of_an_adc_is_no_peak():
    energy, counts, _ = synthetic.instrument_class("comb adc nai", 4096, seed=2)
    r = analyse(Spectrum(counts, energies=energy), Options(**FAST))
    law = synthetic.INSTRUMENT_CLASSES["comb adc nai"][2]
    assert all(p.fwhm > 0.5 * float(law(p.energy)) for p in r.peaks)
    assert any(w.startswith("channel structure: a gain pattern repeating every 2 channels") for w in r.warnings)


@pytest.mark.parametrize("spacing", [0.5, 0.7, 1.0])
def test_a_close_pair_gives_two_peaks(spacing):
    energy, counts, _, pair = synthetic.close_pair(spacing, n=16384, seed=1)
    r = analyse(Spectrum(counts, energies=energy), Options(**FAST))
    fwhm = float(synthetic.hpge_fwhm(pair[0]))
    assert matched(r.peaks, [(e, fwhm) for e in pair], reach=0.25) == list(pair)
    near = sorted((p for p in r.peaks if abs(p.energy - pair[0]) < 3 * fwhm), key=lambda p: p.energy)
    assert len(near) == 2
    assert sum(p.area for p in near) == pytest.approx(4e5, rel=0.05)


@pytest.mark.parametrize("n", [8192, 32768])
def test_a_weak_line_beside_the_annihilation_peak(n):
    energy, counts, _ = synthetic.annihilation_neighbour(n=n, seed=2)
    r = analyse(Spectrum(counts, energies=energy), Options(lines=(507.6, 596.56), **FAST))
    weak = min(r.peaks, key=lambda p: abs(p.energy - 507.6))
    annihilation = min(r.peaks, key=lambda p: abs(p.energy - 511.0))
    assert abs(weak.energy - 507.6) < 0.3 and weak.area == pytest.approx(1e4, rel=0.3)
    assert abs(annihilation.energy - 511.0) < 0.1
    assert annihilation.fwhm > 1.6 * float(r.resolution.fwhm(511.0))  # its own, Doppler-broadened width


def test_fitted_regions_are_on_the_spectrums_own_channels():
    energy, counts, _ = synthetic.instrument_class("nai", 16384, seed=1)
    r = analyse(Spectrum(counts, energies=energy), Options(**FAST))
    assert r.regions
    for region in r.regions:
        assert len(region.curve) == region.stop - region.start
        assert region.curve.sum() == pytest.approx(counts[region.start:region.stop].sum(), rel=0.03)
    for p in r.peaks:
        assert r.energy[p.region[0]] <= p.energy <= r.energy[p.region[1] - 1]


@pytest.mark.parametrize("a, b, at, kind", [
    (20.0, 0.3, 122.0, "nai"),  # 7 % at 122 keV; its noise term, extrapolated, makes 3.7 % at 662 keV
    (0.0, (0.07 * 662) ** 2 / 662, 662.0, "nai"),
    (0.0, (0.07 * 662) ** 2 / 662, 80.0, "nai"),
    (0.7, 0.0024, 1332.0, "hpge"),
    (0.0, (0.03 * 662) ** 2 / 662, 300.0, "labr"),
    (8.0, 0.05, 100.0, "labr"),  # 8.3 keV at 100 keV: NaI(Tl) at 662 keV by its own law
])
def test_the_kind_is_judged_where_the_resolution_was_measured(a, b, at, kind):
    assert kind_of(Resolution(a, b), at).name == kind


def test_the_same_physics_gives_the_same_peaks_at_any_channel_count(no_sharpening):
    found = {}
    for n in (2048, 32768):
        energy, counts, _ = synthetic.instrument_class("labr", n, seed=6)
        r = analyse(Spectrum(counts, energies=energy), Options(**FAST))
        found[n] = {line: min(r.peaks, key=lambda p: abs(p.energy - line)) for line in (356.01, 661.66, 1332.49)}
    for line in (356.01, 661.66, 1332.49):
        a, b = found[2048][line], found[32768][line]
        # different Poisson draws of one spectrum: within their uncertainties of each other
        assert abs(a.energy - b.energy) < 4 * np.hypot(a.energy_unc, b.energy_unc) + 0.05
        assert abs(a.area - b.area) < 4 * np.hypot(a.area_unc, b.area_unc)
        assert a.fwhm == pytest.approx(b.fwhm, rel=0.1)


def test_a_centre_is_held_near_where_it_was_seen():
    from quodex.spectrum import fit
    x = np.linspace(600.0, 720.0, 241)
    y = np.random.default_rng(1).poisson(100.0 + 5e3 * np.exp(-0.5 * ((x - 661.66) / 1.0) ** 2)).astype(float)
    free = fit.peaks_of(fit.fit_region(x, y, [659.5], [(0.5, 3.0)]), x, (0, len(x)))[0]
    held = fit.peaks_of(fit.fit_region(x, y, [659.5], [(0.5, 3.0)], reach=[1.0]), x, (0, len(x)))[0]
    assert abs(free.energy - 661.66) < 0.05 and "centroid at edge" not in map(str, free.flags)
    assert held.energy == pytest.approx(660.5, abs=1e-3) and "centroid at edge" in map(str, held.flags)
