"""The generators behind the benchmarks and the behavioural tests keep the physics they promise: widths
at the stated resolution, photopeak areas as asked, ADC patterns of the stated period."""
import numpy as np
import pytest

from quodex.spectrum import synthetic


def fwhm_of_row(axis, row):
    """Full width at half maximum of the highest peak of a sampled curve, by linear interpolation."""
    top = int(np.argmax(row))
    half = row[top] / 2
    lo = top - int(np.argmax(row[top::-1] < half))
    hi = top + int(np.argmax(row[top:] < half))
    left = np.interp(half, [row[lo], row[lo + 1]], [axis[lo], axis[lo + 1]])
    right = np.interp(half, [row[hi], row[hi - 1]], [axis[hi], axis[hi - 1]])
    return right - left


@pytest.mark.parametrize("sigma, at", [(1.0, 662.0), (0.4, 122.0), (3.0, 1332.0)])
def test_the_resolution_law_gives_its_width_where_asked(sigma, at):
    assert synthetic.sigma_of(synthetic.k_for_sigma(sigma, at), at) == pytest.approx(sigma, rel=1e-12)
    # sigma grows as E**1.5 in this law
    assert synthetic.sigma_of(synthetic.k_for_sigma(sigma, at), 4 * at) == pytest.approx(8 * sigma, rel=1e-12)


def test_response_rows_have_one_kev_sigma_at_662_by_default():
    rows, axis = synthetic.response_matrix([662.0, 1332.0], channels=30000)
    assert rows.shape == (2, 30000) and axis[0] > 0 and axis[-1] < 3000
    assert fwhm_of_row(axis, rows[0]) == pytest.approx(2.3548, rel=0.03)
    assert fwhm_of_row(axis, rows[1]) == pytest.approx(2.3548 * (1332.0 / 662.0) ** 1.5, rel=0.03)


@pytest.mark.parametrize("fwhm, scintillator", [(synthetic.hpge_fwhm, False), (synthetic.scintillator_fwhm(0.07), True)])
def test_a_source_spectrum_holds_its_photopeak_areas(fwhm, scintillator):
    lines, areas = (661.66, 1332.49), (4e5, 1e5)
    energy, counts = synthetic.source_spectrum(lines, areas, fwhm, n=8192, seed=3, scintillator=scintillator,
                                               background=0.0)
    assert np.all(counts == np.round(counts)) and counts.min() >= 0
    for e, a in zip(lines, areas):
        w = float(fwhm(e))
        near = np.abs(energy - e) < 1.5 * w  # 99.99 % of a Gaussian; little of its own continuum
        assert counts[near].sum() == pytest.approx(a, rel=0.06)
        assert abs(energy[near][np.argmax(counts[near])] - e) < 0.25 * w
    assert synthetic.scintillator_fwhm(0.07)(662.0) == pytest.approx(0.07 * 662.0)
    assert synthetic.scintillator_fwhm(0.07)(4 * 662.0) == pytest.approx(2 * 0.07 * 662.0)


@pytest.mark.parametrize("period", [2, 3, 4, 8])
def test_an_adc_pattern_repeats_with_its_period_around_a_mean_of_one(period):
    p = synthetic.adc_gain_pattern(64 * period, period=period, amplitude=0.25)
    assert p.mean() == pytest.approx(1.0, rel=1e-12)
    np.testing.assert_allclose(p[period:], p[:-period], rtol=1e-12)
    # peak-to-mean: the widest channel of each period is 1 + amplitude times the mean
    assert p.max() == pytest.approx(1.25, rel=1e-9)
    jittered = synthetic.adc_gain_pattern(4096, period=period, amplitude=0.0, jitter=0.1, seed=2)
    assert jittered.mean() == pytest.approx(1.0) and jittered.std() == pytest.approx(0.1, rel=0.1)
    assert jittered.min() > 0
