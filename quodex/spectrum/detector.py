"""Detector kinds and their physics: resolution law, semiconductor or scintillator, the share of events
in the photopeak, escape peaks, and the shape of one line's response. A new kind is one row of KINDS."""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from scipy.special import erf, erfc

__all__ = ["FWHM_C", "ELECTRON_KEV", "Resolution", "DetectorKind", "KINDS", "kind_of", "line_shape",
           "bin_edges", "gauss_in_bins", "compton_edge"]

FWHM_C = 2.3548200450309493  # FWHM / sigma of a Gaussian
"""FWHM over standard deviation of a Gaussian, 2 sqrt(2 ln 2)."""
ELECTRON_KEV = 511.0
"""The electron's rest energy, keV: the energy of an annihilation photon."""


@dataclass(frozen=True)
class Resolution:
    """Energy resolution FWHM(E)^2 = a^2 + b E (keV): electronic noise and carrier (or photoelectron)
    statistics.

    ``str(resolution)`` is the law with its numbers, as reports show it.

    Attributes
    ----------
    a : float
        Noise term, keV.
    b : float
        Statistics term, keV (FWHM^2 grows by b keV^2 per keV).
    source : str
        Where it came from (``"fitted"``, ``"nominal HPGe"``).
    """
    a: float
    b: float
    source: str = "fitted"

    def fwhm(self, energy):
        """FWHM at an energy.

        Parameters
        ----------
        energy : float or array_like
            keV; energies below 0 count as 0.

        Returns
        -------
        numpy.ndarray
            FWHM in keV, of the shape of `energy` (0-d for a scalar; ``float()`` it).
        """
        e = np.maximum(np.asarray(energy, dtype=np.float64), 0.0)
        return np.sqrt(self.a * self.a + self.b * e)

    def __str__(self):
        return f"FWHM(E) = sqrt({self.a:.4g}^2 + {self.b:.4g} E) keV"


def _relative(at_662):
    """The law of a scintillator whose FWHM is `at_662` of the energy at 662 keV, growing as sqrt(E)."""
    return (at_662 * 662) ** 2 / 662


@dataclass(frozen=True)
class DetectorKind:
    """A family of detectors and the physics the analysis assumes for it (one row of `KINDS`).

    Attributes
    ----------
    name : str
        Short name used on the command line and in results (``"hpge"``).
    label : str
        Its usual name (``"HPGe"``).
    semiconductor : bool
        Charge carriers collected directly: fine resolution, small crystals that let annihilation
        photons escape, and a photopeak share falling faster with energy.
    nominal : Resolution
        A typical resolution, used only where the spectrum does not show its own.
    escape_scale : float
        The largest escape-peak area relative to a small semiconductor crystal's: high-Z, large
        scintillators absorb the annihilation photons that a germanium crystal loses.
    peak_to_total_kev : float
        E0 of the photopeak's share of all events that deposit energy, 1 / (1 + E / E0).
    """
    name: str
    label: str
    semiconductor: bool
    nominal: Resolution
    escape_scale: float
    peak_to_total_kev: float

    def peak_to_total(self, energy):
        """Share of full-energy events among all events that deposit energy.

        Parameters
        ----------
        energy : float or array_like
            keV.

        Returns
        -------
        numpy.ndarray
            1 / (1 + E / `peak_to_total_kev`), of the shape of `energy`.
        """
        return 1.0 / (1.0 + np.asarray(energy, dtype=np.float64) / self.peak_to_total_kev)

    def escape_fractions(self, energy):
        """Escape-peak areas relative to the photopeak, in the modelled response.

        Pair production sets in at 1022 keV and grows about as the cube of the excess energy near its
        threshold; a scintillator's escape peaks are too weak to model.

        Parameters
        ----------
        energy : float
            The line's energy, keV.

        Returns
        -------
        single, double : float
            Areas of the single- and double-escape peaks over the photopeak's (0 for scintillators
            and below 1022 keV).
        """
        if not self.semiconductor:
            return 0.0, 0.0
        x = max(energy - 2 * ELECTRON_KEV, 0.0) / 1592.5
        return 0.08 * x**3, 0.05 * x**3

    def max_escape_ratio(self, parent_kev):
        """Largest plausible escape-peak area relative to its parent's photopeak.

        Tells an escape peak from a line that happens to lie 511 or 1022 keV below another.

        Parameters
        ----------
        parent_kev : float
            The parent line's energy, keV.

        Returns
        -------
        float
            The ratio, 0 up to 1022 keV, at most 0.6 times `escape_scale`.
        """
        excess = max(parent_kev - 2 * ELECTRON_KEV, 0.0) / 1000.0
        return self.escape_scale * min(0.6, 0.5 * excess ** 1.5)

    def line_shape(self, axis, energy, fwhm, tail=0.0):
        """Expected counts per bin for one line of unit photopeak area on this kind of detector.

        `line_shape` with this kind's photopeak share and escape fractions.

        Parameters
        ----------
        axis : array_like
            Bin centres, keV, ascending.
        energy : float
            The line's energy, keV.
        fwhm : callable
            FWHM (keV) at an energy (keV), e.g. `Resolution.fwhm`.
        tail : float
            Share of the photopeak in an exponential tail below it.

        Returns
        -------
        numpy.ndarray
            Counts per bin.
        """
        return line_shape(axis, energy, fwhm, self.peak_to_total, self.escape_fractions, tail)


KINDS = {k.name: k for k in (
    DetectorKind("hpge", "HPGe", True, Resolution(0.7, 0.0024, "nominal HPGe"), 1.0, 350.0),
    DetectorKind("cdte", "CdTe/CZT", True, Resolution(1.0, 0.012, "nominal CdTe/CZT"), 1.0, 350.0),
    DetectorKind("labr", "LaBr3", False, Resolution(0.0, _relative(0.03), "nominal LaBr3"), 0.3, 700.0),
    DetectorKind("nai", "NaI(Tl)", False, Resolution(0.0, _relative(0.07), "nominal NaI(Tl)"), 0.15, 700.0),
    DetectorKind("csi", "CsI(Tl)", False, Resolution(0.0, _relative(0.08), "nominal CsI(Tl)"), 0.15, 700.0),
    DetectorKind("bgo", "BGO", False, Resolution(0.0, _relative(0.11), "nominal BGO"), 0.1, 700.0),
)}
"""The detector kinds by name (hpge, cdte, labr, nai, csi, bgo); a new kind is one more row."""


def kind_of(resolution: Resolution, at: float = 662.0) -> DetectorKind:
    """The detector family a resolution suggests, from its relative FWHM where it was measured, carried
    to 662 keV as counting statistics carry it (FWHM growing as the square root of the energy).

    A law fitted to peaks far below 662 keV says little of its own value there: its noise term,
    extrapolated, would make a NaI(Tl) look like LaBr3 or a CdTe like germanium.

    Parameters
    ----------
    resolution : Resolution
    at : float
        keV where the resolution was measured (the middle of the peaks it was fitted to).

    Returns
    -------
    DetectorKind
        hpge below 0.8 % at 662 keV, cdte below 2.5 %, labr below 4.5 %, else nai (csi and bgo are
        never guessed: name them in `Options.detector`).
    """
    at = max(float(at), 1.0)
    r = float(resolution.fwhm(at)) / np.sqrt(at * 662.0)
    return KINDS["hpge" if r < 0.008 else "cdte" if r < 0.025 else "labr" if r < 0.045 else "nai"]


# --- The response to one line ---------------------------------------------------------------------

def compton_edge(e):
    """Energy of the Compton edge of a line.

    Parameters
    ----------
    e : float or numpy.ndarray
        The line's energy, keV.

    Returns
    -------
    float or numpy.ndarray
        The largest energy (keV) one Compton scattering leaves in the detector.
    """
    return e - e / (1.0 + 2.0 * e / ELECTRON_KEV)


def bin_edges(axis):
    """Edges of the bins whose centres are `axis`, halfway between neighbours.

    Parameters
    ----------
    axis : array_like
        Bin centres, ascending.

    Returns
    -------
    numpy.ndarray
        len(axis) + 1 edges; the outer ones as far out as the neighbouring halfway points (a single
        centre gets a bin of width 1).
    """
    axis = np.asarray(axis, dtype=np.float64)
    if len(axis) < 2:
        return np.array([axis[0] - 0.5, axis[0] + 0.5]) if len(axis) else np.zeros(1)
    mid = 0.5 * (axis[:-1] + axis[1:])
    return np.concatenate(([2 * axis[0] - mid[0]], mid, [2 * axis[-1] - mid[-1]]))


def gauss_in_bins(edges, centre, sigma):
    """Share of a Gaussian of unit area in each bin between `edges`.

    Parameters
    ----------
    edges : numpy.ndarray
        Bin edges, ascending (as from `bin_edges`).
    centre, sigma : float
        The Gaussian's centre and standard deviation, in the units of `edges`.

    Returns
    -------
    numpy.ndarray
        len(edges) - 1 shares.
    """
    z = (edges - centre) / (np.sqrt(2.0) * sigma)
    return 0.5 * np.diff(erf(z))


def line_shape(axis, e, fwhm, peak_to_total, escape_fractions, tail=0.0):
    """Expected counts per bin (bins centred on `axis`, keV) for a line of unit photopeak area at `e`.

    The photopeak integrated over each bin, a Klein-Nishina Compton continuum with an edge rounded by
    resolution and electron binding, a shelf of multiple scattering between edge and peak, a
    backscatter bump, and escape peaks above the pair-production threshold.

    Parameters
    ----------
    axis : array_like
        Bin centres, keV, ascending.
    e : float
        The line's energy, keV.
    fwhm : callable
        FWHM (keV) at an energy.
    peak_to_total : callable
        Photopeak share of all events at an energy.
    escape_fractions : callable
        (single, double) escape-peak areas relative to the photopeak at an energy.
    tail : float
        Share of the photopeak in an exponential tail below it (incomplete charge collection).

    Returns
    -------
    numpy.ndarray
        Counts per bin.
    """
    axis = np.asarray(axis, dtype=np.float64)
    edges = bin_edges(axis)
    sigma = lambda en: max(float(fwhm(en)), 1e-6) / FWHM_C  # noqa: E731
    shape = gauss_in_bins(edges, e, sigma(e))
    if tail > 0:
        sg, beta = sigma(e), 1.5 * sigma(e)
        d = axis - e
        density = 0.5 / beta * np.exp(np.minimum(d / beta + 0.5 * (sg / beta) ** 2, 700.0)) * erfc(
            d / (np.sqrt(2.0) * sg) + sg / (np.sqrt(2.0) * beta))
        shape = (1.0 - tail) * shape + tail * density * np.diff(edges)

    alpha = e / ELECTRON_KEV
    t_edge = compton_edge(e)
    s = np.clip(axis / e, 0.0, t_edge / e)
    kn = 2.0 + s * s / (alpha * alpha * (1.0 - s) ** 2) + s / (1.0 - s) * (s - 2.0 / alpha)
    s_edge = np.hypot(sigma(t_edge), 0.004 * t_edge + 1.0)  # binding of the electrons smears the edge
    single = np.where(axis > 0, kn, 0.0) * 0.5 * erfc((axis - t_edge) / (np.sqrt(2.0) * s_edge))
    shelf = np.where(axis > t_edge, 0.5 * erfc((axis - e + 2.0 * sigma(e)) / (np.sqrt(2.0) * sigma(e))), 0.0)
    single /= max(single.sum(), 1e-300)
    shelf *= 0.04 * single.max() / max(shelf.max(), 1e-300) if shelf.max() > 0 else 0.0
    compton = single + shelf
    compton *= (1.0 / peak_to_total(e) - 1.0) / max(compton.sum(), 1e-300)
    e_back = e / (1.0 + 2.0 * alpha)
    back = gauss_in_bins(edges, e_back, 6.0 + 0.02 * e_back) * 0.04 * (1.0 / peak_to_total(e) - 1.0)
    shape = shape + compton + back
    for shift, frac in zip((ELECTRON_KEV, 2 * ELECTRON_KEV), escape_fractions(e)):
        if frac > 0:
            shape = shape + frac * gauss_in_bins(edges, e - shift, sigma(e - shift))
    return shape
