"""Seeded, physically plausible synthetic data: energy axes, detector resolution, gamma-ray spectra
with photopeaks, Compton continua and a falling background, and tabulated detector response matrices.
Shared by the example pipeline, the benchmarks and the tests."""
import numpy as np

from . import detector
from .detector import ELECTRON_KEV, FWHM_C, KINDS, bin_edges, compton_edge, gauss_in_bins  # noqa: F401

__all__ = ["hpge_mixed_source", "source_spectrum", "hpge_fwhm", "scintillator_fwhm", "hpge_line_shape",
           "hpge_background", "hpge_mixed_source_expected", "hpge_response_matrix", "hpge", "nai", "response_matrix",
           "bin_centres", "k_for_sigma", "sigma_of", "line_shape", "expected_spectrum", "poisson_spectrum",
           "hpge_peak_to_total", "hpge_escape_fractions", "scintillator_peak_to_total", "no_escape",
           "MIXED_SOURCE_KEV", "MIXED_SOURCE_AREAS", "BENCH_LINES_KEV", "HPGE_FWHM_A", "HPGE_FWHM_B"]

# The physics of the detectors the generators imitate lives in `detector`; these are its HPGe and
# scintillator laws under the names the generators' callers use.
hpge_peak_to_total = KINDS["hpge"].peak_to_total
hpge_escape_fractions = KINDS["hpge"].escape_fractions
scintillator_peak_to_total = KINDS["nai"].peak_to_total
no_escape = KINDS["nai"].escape_fractions

MIXED_SOURCE_KEV = (59.54, 661.66, 1173.23, 1332.49, 1460.82, 2614.51)
"""Lines (keV) of the mixed source of `hpge_mixed_source`."""
BENCH_LINES_KEV = (661.657, 1173.228, 1332.492, 1460.820, 2614.511)
"""Lines (keV) of the benchmark spectra `hpge` and `nai`."""


def bin_centres(n, e_max=3000.0):
    """Centres (keV) of `n` equal bins spanning 0 .. `e_max` keV.

    Parameters
    ----------
    n : int
        Bins.
    e_max : float
        keV of the last bin's upper edge.

    Returns
    -------
    numpy.ndarray
    """
    edges = np.linspace(0.0, e_max, n + 1)
    return 0.5 * (edges[:-1] + edges[1:])


def k_for_sigma(sigma_kev, at_kev=662.0):
    """Resolution coefficient k of sigma(E) = k E sqrt(E) / FWHM_C giving `sigma_kev` at `at_kev`.

    Parameters
    ----------
    sigma_kev : float
        Standard deviation, keV.
    at_kev : float
        Energy at which it holds, keV.

    Returns
    -------
    float
    """
    return sigma_kev * FWHM_C / at_kev**1.5


def sigma_of(k, energy):
    """Standard deviation (keV) at `energy` keV of the resolution law with coefficient `k` (`k_for_sigma`)."""
    return ((k * np.sqrt(energy)) * energy) / FWHM_C


def line_shape(axis, e, sigma_at, efficiency=1.0):
    """Counts per bin of one line of unit intensity, a simple shape for the benchmarks.

    Photopeak, Compton continuum up to the edge with a smoothed edge, and a backscatter bump; escape
    peaks above the pair-production threshold.

    Parameters
    ----------
    axis : numpy.ndarray
        Bin centres, keV, equally spaced.
    e : float
        The line's energy, keV.
    sigma_at : callable
        Standard deviation (keV) at an energy (keV).
    efficiency : float
        Scales the whole shape.

    Returns
    -------
    numpy.ndarray
        Counts per bin.
    """
    width = np.diff(axis).mean() if len(axis) > 1 else 1.0
    s = max(sigma_at(e), 1e-6)
    peak = np.exp(-0.5 * ((axis - e) / s) ** 2) / (np.sqrt(2 * np.pi) * s) * width
    edge = compton_edge(e)
    plateau = 1.0 + 0.6 * (axis / max(edge, 1e-9)) ** 2
    cont = plateau * 0.5 * (1.0 - np.tanh((axis - edge) / (2.0 * s)))
    cont[axis <= 0] = 0.0
    cont *= 2.2 * (e / 662.0) ** 0.3 / max(cont.sum(), 1e-300)
    back_e = e / (1.0 + 2.0 * e / ELECTRON_KEV)
    sb = 3.0 * s + 10.0
    back = 0.05 * np.exp(-0.5 * ((axis - back_e) / sb) ** 2) / (np.sqrt(2 * np.pi) * sb) * width
    shape = peak + cont + back
    if e > 2 * ELECTRON_KEV:
        for shift, frac in ((ELECTRON_KEV, 0.08), (2 * ELECTRON_KEV, 0.04)):
            es = e - shift
            ss = max(sigma_at(es), 1e-6)
            shape += frac * np.exp(-0.5 * ((axis - es) / ss) ** 2) / (np.sqrt(2 * np.pi) * ss) * width
    return efficiency * shape


def expected_spectrum(axis, lines, intensities, k, continuum=2000.0):
    """Expected counts per bin of lines on a falling continuum (the shape of `line_shape`).

    Parameters
    ----------
    axis : numpy.ndarray
        Bin centres, keV.
    lines, intensities : sequence of float
        Line energies (keV) and their intensities (counts).
    k : float
        Resolution coefficient (`k_for_sigma`).
    continuum : float
        Counts per bin of the continuum at 0 keV.

    Returns
    -------
    numpy.ndarray
    """
    sigma_at = lambda e: float(sigma_of(k, e))  # noqa: E731
    mean = continuum * np.exp(-axis / 400.0) + 0.02 * continuum * np.exp(-axis / 3000.0)
    for e, a in zip(lines, intensities):
        mean += a * line_shape(axis, e, sigma_at)
    return mean


def poisson_spectrum(axis, lines, intensities, k, seed=0, continuum=2000.0):
    """A seeded Poisson draw of `expected_spectrum`: float64 counts per bin (parameters as there)."""
    rng = np.random.default_rng(seed)
    return rng.poisson(expected_spectrum(axis, lines, intensities, k, continuum)).astype(np.float64)


def hpge(n=8192, seed=0, counts=4.0e5):
    """An HPGe-like benchmark spectrum of `BENCH_LINES_KEV`: sigma(662 keV) = 1 keV.

    Parameters
    ----------
    n : int
        Channels over 0 .. 3000 keV.
    seed : int
    counts : float
        Intensity of each line.

    Returns
    -------
    axis : numpy.ndarray
        Bin centres, keV.
    counts : numpy.ndarray
        float64 counts per bin.
    k : float
        The resolution coefficient (`k_for_sigma`).
    """
    axis = bin_centres(n)
    k = k_for_sigma(1.0)
    lines = BENCH_LINES_KEV
    y = poisson_spectrum(axis, lines, [counts] * len(lines), k, seed)
    return axis, y, k


def nai(n=1024, seed=0, counts=4.0e5):
    """A NaI-like benchmark spectrum of `BENCH_LINES_KEV`: sigma(662 keV) = 19.7 keV.

    Parameters and returns as for `hpge`.
    """
    axis = bin_centres(n)
    k = k_for_sigma(19.7)
    y = poisson_spectrum(axis, BENCH_LINES_KEV, [counts] * len(BENCH_LINES_KEV), k, seed)
    return axis, y, k


def response_matrix(ref_energies, channels=2048, e_max=3000.0, k=None):
    """Tabulated response rows (one per reference energy) of the benchmarks' line shape.

    Parameters
    ----------
    ref_energies : sequence of float
        keV.
    channels : int
        Bins over 0 .. `e_max` keV.
    e_max : float
        keV.
    k : float, optional
        Resolution coefficient (`k_for_sigma`); sigma(662 keV) = 1 keV when None.

    Returns
    -------
    rows : numpy.ndarray
        len(ref_energies) x channels, counts per bin for one photon.
    axis : numpy.ndarray
        The bin centres, keV.
    """
    axis = bin_centres(channels, e_max)
    k = k_for_sigma(1.0) if k is None else k
    sigma_at = lambda e: float(sigma_of(k, e))  # noqa: E731
    rows = np.array([line_shape(axis, e, sigma_at) for e in ref_energies])
    return rows, axis


# --- An HPGe detector with a physical resolution model, for the example pipeline ---------------------
# FWHM(E)^2 = a^2 + b E: electronic noise (a) and charge-carrier statistics (b E); 1.80 keV at 1332 keV.
HPGE_FWHM_A = 0.70
"""Noise term a (keV) of the synthetic HPGe detector's FWHM(E)^2 = a^2 + b E."""
HPGE_FWHM_B = (1.80**2 - HPGE_FWHM_A**2) / 1332.49
"""Statistics term b (keV) of the synthetic HPGe detector: 1.80 keV FWHM at 1332.49 keV."""
# Photopeak areas (counts) of the mixed source's lines, in the order of MIXED_SOURCE_KEV.
MIXED_SOURCE_AREAS = (1.2e5, 1.5e5, 6.0e4, 5.4e4, 1.2e4, 8.0e3)
"""Photopeak areas (counts) of the mixed source's lines, in the order of `MIXED_SOURCE_KEV`."""


def hpge_fwhm(energy, a=HPGE_FWHM_A, b=HPGE_FWHM_B):
    """FWHM (keV) of a coaxial HPGe detector at `energy` keV.

    Parameters
    ----------
    energy : float or array_like
        keV; below 0 counts as 0.
    a, b : float
        The law's noise and statistics terms, keV.

    Returns
    -------
    numpy.ndarray
    """
    return np.sqrt(a * a + b * np.maximum(np.asarray(energy, dtype=np.float64), 0.0))


def hpge_line_shape(axis, e, fwhm=hpge_fwhm, peak_to_total=hpge_peak_to_total, escape_fractions=hpge_escape_fractions,
                    tail=0.0):
    """Expected counts per bin for a line of unit photopeak area at `e` keV on an HPGe detector.

    `quodex.spectrum.detector.line_shape` with the HPGe laws by default; parameters as there.

    Returns
    -------
    numpy.ndarray
        Counts per bin.
    """
    return detector.line_shape(axis, e, fwhm, peak_to_total, escape_fractions, tail)


def hpge_background(axis):
    """Room background and scattered radiation: a falling continuum.

    Parameters
    ----------
    axis : array_like
        Energies, keV.

    Returns
    -------
    numpy.ndarray
        Counts per keV at each energy.
    """
    axis = np.asarray(axis, dtype=np.float64)
    return 60.0 * np.exp(-axis / 180.0) + 6.0 * np.exp(-axis / 900.0) + 0.15


def hpge_mixed_source_expected(axis, lines=MIXED_SOURCE_KEV, areas=MIXED_SOURCE_AREAS, fwhm=hpge_fwhm):
    """Expected counts per bin of lines with photopeak areas on the HPGe background.

    Parameters
    ----------
    axis : array_like
        Bin centres, keV.
    lines, areas : sequence of float
        Line energies (keV) and photopeak areas (counts); the mixed source by default.
    fwhm : callable
        FWHM (keV) at an energy.

    Returns
    -------
    numpy.ndarray
    """
    width = np.gradient(np.asarray(axis, dtype=np.float64)) if len(axis) > 1 else np.ones(len(axis))
    mean = hpge_background(axis) * width
    for e, area in zip(lines, areas):
        mean = mean + area * hpge_line_shape(axis, e, fwhm)
    return mean


def hpge_mixed_source(n=8192, seed=0, e_max=3000.0, scale=1.0):
    """Seeded Poisson spectrum of the mixed source (`MIXED_SOURCE_KEV`) on an HPGe detector.

    Parameters
    ----------
    n : int
        Channels over 0 .. `e_max` keV.
    seed : int
    e_max : float
        keV.
    scale : float
        Multiplies the measuring time (every expected count).

    Returns
    -------
    energies : numpy.ndarray
        Bin centres, keV.
    counts : numpy.ndarray
        float64 counts per bin.
    """
    axis = bin_centres(n, e_max)
    mean = scale * hpge_mixed_source_expected(axis)
    return axis, np.random.default_rng(seed).poisson(mean).astype(np.float64)


def hpge_response_matrix(ref_energies, axis, fwhm=hpge_fwhm):
    """Tabulated HPGe response: one row per reference energy over the channels centred on `axis`.

    Parameters
    ----------
    ref_energies : sequence of float
        keV.
    axis : array_like
        Bin centres, keV.
    fwhm : callable
        FWHM (keV) at an energy.

    Returns
    -------
    numpy.ndarray
        len(ref_energies) x len(axis), counts per bin for unit photopeak area.
    """
    return np.array([hpge_line_shape(axis, e, fwhm) for e in ref_energies])


def scintillator_fwhm(relative_at_662):
    """FWHM(E) of a scintillator whose resolution is `relative_at_662` at 662 keV, growing as sqrt(E).

    Parameters
    ----------
    relative_at_662 : float
        FWHM over energy at 662 keV (0.07 for NaI(Tl)).

    Returns
    -------
    callable
        energy (keV) -> FWHM (keV).
    """
    b = (relative_at_662 * 662.0) ** 2 / 662.0
    return lambda energy: np.sqrt(b * np.maximum(np.asarray(energy, dtype=np.float64), 0.0))


def source_spectrum(lines, areas, fwhm, n=1024, e_max=3000.0, seed=0, tail=0.0, scintillator=False,
                    background=1.0, calibration=None):
    """Seeded Poisson spectrum of lines on a detector of a given resolution, over a falling background.

    Parameters
    ----------
    lines, areas : sequence of float
        Line energies (keV) and photopeak areas (counts).
    fwhm : callable
        FWHM (keV) at an energy (keV), e.g. `hpge_fwhm` or `scintillator_fwhm(0.07)`.
    n : int
        Channels.
    e_max : float
        keV spanned by the channels (without `calibration`).
    seed : int
    tail : float
        Share of each photopeak in a low-energy tail.
    scintillator : bool
        A scintillator's photopeak share and no escape peaks, instead of HPGe's.
    background : float
        Scales the background.
    calibration : sequence of float, optional
        c0, c1, ...: the channels' energies follow keV = sum(c[i] * ch**i) instead of spanning
        0 .. `e_max`.

    Returns
    -------
    energies : numpy.ndarray
        keV of every channel.
    counts : numpy.ndarray
        float64 counts per channel.
    """
    if calibration is None:
        axis = bin_centres(n, e_max)
    else:
        axis = np.polynomial.polynomial.polyval(np.arange(n, dtype=np.float64), calibration)
    width = np.gradient(axis)
    mean = background * hpge_background(axis) * width
    ptt = scintillator_peak_to_total if scintillator else hpge_peak_to_total
    esc = no_escape if scintillator else hpge_escape_fractions
    for e, a in zip(lines, areas):
        mean = mean + a * hpge_line_shape(axis, e, fwhm, ptt, esc, tail)
    return axis, np.random.default_rng(seed).poisson(mean).astype(np.float64)


# --- Instrument classes: the same physics at any channel count, and the ADC's own marks ----------------

def adc_gain_pattern(n, period=2, amplitude=0.0, jitter=0.0, seed=0):
    """Relative channel widths of an ADC with differential nonlinearity.

    A periodic pattern (neighbouring channels alternating in width for `period` 2) of peak-to-mean
    `amplitude`, times independent per-channel deviations of relative spread `jitter`; mean 1.

    Parameters
    ----------
    n : int
        Channels.
    period : int
        Channels after which the pattern repeats.
    amplitude : float
        Largest relative deviation of the periodic part.
    jitter : float
        Relative standard deviation of the independent part.
    seed : int

    Returns
    -------
    numpy.ndarray
        n positive factors.
    """
    phase = np.arange(n) % period
    pattern = 1.0 + amplitude * np.cos(2.0 * np.pi * phase / period)
    rng = np.random.default_rng(seed + 7919)
    widths = pattern * np.clip(1.0 + jitter * rng.standard_normal(n), 0.2, None)
    return widths / widths.mean()


def instrument_spectrum(lines, areas, fwhm, n, e_max, seed=0, scintillator=True, background=1.0, gain=None,
                        widths=None):
    """Expected counts per channel (and their Poisson draw) of lines over `n` channels spanning 0 ..
    `e_max` keV, each line with its own FWHM where `widths` gives one.

    The same physics at any `n`: areas are counts, so the draw differs only by how it is binned.

    Parameters
    ----------
    lines, areas : sequence of float
        keV and photopeak counts.
    fwhm : callable
        FWHM (keV) of the detector at an energy.
    n : int
        Channels.
    e_max : float
        keV at the last channel's upper edge.
    seed : int
    scintillator : bool
        A scintillator's photopeak share and no escape peaks, else HPGe's.
    background : float
        Scales the falling background.
    gain : numpy.ndarray, optional
        Relative channel widths (`adc_gain_pattern`) multiplying every expected count.
    widths : sequence of float or None, optional
        Per line, a FWHM (keV) replacing the detector's (a Doppler-broadened annihilation line).

    Returns
    -------
    energies : numpy.ndarray
        Bin centres, keV.
    counts : numpy.ndarray
        float64 counts per channel.
    expected : numpy.ndarray
        The mean the counts were drawn from.
    """
    axis = bin_centres(n, e_max)
    width = np.gradient(axis)
    mean = background * hpge_background(axis) * width
    ptt = scintillator_peak_to_total if scintillator else hpge_peak_to_total
    esc = no_escape if scintillator else hpge_escape_fractions
    widths = widths or [None] * len(lines)
    for e, a, w in zip(lines, areas, widths):
        law = fwhm if w is None else (lambda en, w=w, e=e: np.sqrt(np.maximum(fwhm(en) ** 2 + (w * w - fwhm(e) ** 2), 1e-12)))
        mean = mean + a * hpge_line_shape(axis, e, law, ptt, esc)
    if gain is not None:
        mean = mean * gain
    return axis, np.random.default_rng(seed).poisson(mean).astype(np.float64), mean


INSTRUMENT_CLASSES = {
    # name: (lines keV, photopeak areas, detector FWHM law, keV spanned, scintillator, per-line FWHM or None)
    # a hobby NaI behind a 12-bit ADC: Lu-176 in a lutetium sample, and K-40
    "comb adc nai": ((88.3, 201.8, 306.8, 1460.82), (6e3, 3.5e4, 4.5e4, 8e3), scintillator_fwhm(0.075), 3000.0,
                     True, None),
    # NaI: Ra-226 daughters and K-40 (1120 and 1408-like lines of a wide-peak spectrum)
    "nai": ((351.93, 609.31, 661.66, 1120.29, 1460.82), (3e4, 4e4, 4e4, 1.5e4, 1.2e4),
            scintillator_fwhm(0.07), 1800.0, True, None),
    # a CsI pocket spectrometer with Eu-152: Sm K X-rays, 121.8 and 244.7 keV beside them
    "csi eu152": ((40.1, 45.4, 121.78, 244.70, 344.28, 778.90, 964.08, 1408.01),
                  (6e4, 1.5e4, 6e4, 9e3, 3e4, 8e3, 8e3, 1e4), scintillator_fwhm(0.085), 3000.0, True, None),
    # LaBr3 at 3 %: Co-60, Cs-137, Ba-133
    "labr": ((80.997, 356.01, 661.66, 1173.23, 1332.49), (3e4, 4e4, 4e4, 1.5e4, 1.3e4), scintillator_fwhm(0.03),
             3000.0, False, None),
}
"""Instrument classes of `instrument_spectrum`: lines, areas, FWHM law, keV spanned, scintillator,
per-line widths."""


def instrument_class(name, n, seed=0, **kw):
    """A spectrum of one of `INSTRUMENT_CLASSES` over `n` channels (returns as `instrument_spectrum`);
    "comb adc nai" has neighbouring channels alternating 25 % in width."""
    lines, areas, fwhm, e_max, scint, widths = INSTRUMENT_CLASSES[name]
    if name == "comb adc nai":
        kw.setdefault("gain", adc_gain_pattern(n, 2, 0.25, 0.03, seed))
    return instrument_spectrum(lines, areas, fwhm, n, e_max, seed, scint, widths=widths, **kw)


def close_pair(spacing_fwhm, ratio=1.0, area=2e5, energy=661.66, n=16384, e_max=3000.0, seed=0):
    """Two lines `spacing_fwhm` HPGe FWHM apart, the upper one `ratio` times the lower's area, beside
    single lines that show the resolution (returns as `instrument_spectrum`, and the pair's energies)."""
    d = spacing_fwhm * float(hpge_fwhm(energy))
    pair = (energy, energy + d)
    lines = (344.28, *pair, 1173.23, 1332.49)
    areas = (5e4, area, ratio * area, 4e4, 4e4)
    return (*instrument_spectrum(lines, areas, hpge_fwhm, n, e_max, seed, False), pair)


def annihilation_neighbour(n=16384, e_max=3000.0, seed=0, doppler_fwhm=2.6, ratio=1 / 22):
    """Zn-62-like: 507.6 keV at `ratio` of a Doppler-broadened 511 keV (its FWHM the detector's and
    `doppler_fwhm` in quadrature), with 596.6 keV and single lines that show the resolution (returns as
    `instrument_spectrum`)."""
    res511 = float(np.hypot(hpge_fwhm(511.0), doppler_fwhm))
    lines = (344.28, 507.6, 511.0, 596.56, 1173.23, 1332.49)
    areas = (5e4, 2.2e5 * ratio, 2.2e5, 6e4, 4e4, 4e4)
    return instrument_spectrum(lines, areas, hpge_fwhm, n, e_max, seed, False,
                               widths=[None, None, res511, None, None, None])


def expected_significance(expected, energies, line, area, fwhm):
    """Net counts over their standard deviation for a line of `area` counts in an `expected` spectrum,
    counting the counts within 1.2 FWHM either side as its background and peak."""
    inside = np.abs(energies - line) <= 1.2 * fwhm
    total = float(expected[inside].sum())
    return area / np.sqrt(total + max(total - area, 0.0))
