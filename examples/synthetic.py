"""Seeded, physically plausible synthetic data: energy axes, detector resolution, gamma-ray spectra
with photopeaks, Compton continua and a falling background, and tabulated detector response matrices.
Shared by the example pipeline, the benchmarks and the tests."""
import numpy as np

FWHM_C = 2.3548200450309493  # FWHM / sigma of a Gaussian
ELECTRON_KEV = 511.0

MIXED_SOURCE_KEV = (59.54, 661.66, 1173.23, 1332.49, 1460.82, 2614.51)
BENCH_LINES_KEV = (661.657, 1173.228, 1332.492, 1460.820, 2614.511)


def bin_centres(n, e_max=3000.0):
    edges = np.linspace(0.0, e_max, n + 1)
    return 0.5 * (edges[:-1] + edges[1:])


def k_for_sigma(sigma_kev, at_kev=662.0):
    """Resolution coefficient k of sigma(E) = k E sqrt(E) / FWHM_C giving `sigma_kev` at `at_kev`."""
    return sigma_kev * FWHM_C / at_kev**1.5


def sigma_of(k, energy):
    return ((k * np.sqrt(energy)) * energy) / FWHM_C


def compton_edge(e):
    return e - e / (1.0 + 2.0 * e / ELECTRON_KEV)


def line_shape(axis, e, sigma_at, efficiency=1.0):
    """Counts per bin of one line of unit intensity: photopeak, Compton continuum up to the edge with a
    smoothed edge, and a backscatter bump; escape peaks above pair-production threshold."""
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
    sigma_at = lambda e: float(sigma_of(k, e))  # noqa: E731
    mean = continuum * np.exp(-axis / 400.0) + 0.02 * continuum * np.exp(-axis / 3000.0)
    for e, a in zip(lines, intensities):
        mean += a * line_shape(axis, e, sigma_at)
    return mean


def poisson_spectrum(axis, lines, intensities, k, seed=0, continuum=2000.0):
    rng = np.random.default_rng(seed)
    return rng.poisson(expected_spectrum(axis, lines, intensities, k, continuum)).astype(np.float64)


def hpge(n=8192, seed=0, counts=4.0e5):
    """An HPGe-like spectrum: sigma(662 keV) = 1 keV."""
    axis = bin_centres(n)
    k = k_for_sigma(1.0)
    lines = BENCH_LINES_KEV
    y = poisson_spectrum(axis, lines, [counts] * len(lines), k, seed)
    return axis, y, k


def nai(n=1024, seed=0, counts=4.0e5):
    """A NaI-like spectrum: sigma(662 keV) = 19.7 keV."""
    axis = bin_centres(n)
    k = k_for_sigma(19.7)
    y = poisson_spectrum(axis, BENCH_LINES_KEV, [counts] * len(BENCH_LINES_KEV), k, seed)
    return axis, y, k


def response_matrix(ref_energies, channels=2048, e_max=3000.0, k=None):
    """Tabulated response rows (one per reference energy) over a channel axis of bin centres."""
    axis = bin_centres(channels, e_max)
    k = k_for_sigma(1.0) if k is None else k
    sigma_at = lambda e: float(sigma_of(k, e))  # noqa: E731
    rows = np.array([line_shape(axis, e, sigma_at) for e in ref_energies])
    return rows, axis
