"""The energy axis of a spectrum and its refinement from peaks matched to known lines."""
from __future__ import annotations

import math
from dataclasses import dataclass, replace

import numpy as np

from .errors import OptionsError, SpectrumDataError
from .model import Calibration, Spectrum

__all__ = ["energy_axis", "recalibrate", "apply", "match_lines", "Recalibration"]


def energy_axis(spectrum: Spectrum, override: Calibration | None = None):
    """The energy of every channel.

    Parameters
    ----------
    spectrum : Spectrum
        Its own energies come first, then its calibration where usable.
    override : Calibration, optional
        Replaces the spectrum's own energies or calibration.

    Returns
    -------
    energy : numpy.ndarray
        keV per channel.
    calibration : Calibration or None
        The calibration used; None for energies the file gives channel by channel.

    Raises
    ------
    OptionsError
        `override` does not give ascending energies over the channels.
    SpectrumDataError
        Nothing gives an energy scale: a guess would silently analyse channel numbers as keV.
    """
    n = spectrum.channels
    if override is not None:
        if not override.is_usable(n):
            raise OptionsError(f"--calibration {','.join(f'{c:g}' for c in override.coefficients)} "
                               f"does not give ascending energies over {n} channels")
        return override(np.arange(n)), override
    if spectrum.energies is not None:
        return np.asarray(spectrum.energies, dtype=np.float64), None
    if spectrum.calibration is not None and spectrum.calibration.is_usable(n):
        return spectrum.calibration(np.arange(n)), spectrum.calibration
    raise SpectrumDataError("the file gives channels but no energy calibration; "
                            "give one with --calibration c0,c1[,c2] (keV = c0 + c1*ch + c2*ch^2)")


@dataclass(frozen=True)
class Recalibration:
    """What a recalibration did (`Analysis.recalibration`).

    Attributes
    ----------
    calibration : Calibration or None
        The refined calibration (of the channels, or of the file's energies where it gave them channel
        by channel); None where the spectrum's own scale was kept.
    matched : list of (float, float, float)
        Per line used: the line, the peak's energy before and after, keV.
    note : str
        How it was refined, or why not (reported as a warning then).
    residuals : list of float
        Peak energy after minus line, keV, per matched line (a property).
    """
    calibration: Calibration | None  # None: the spectrum's own scale was kept
    matched: list  # (line keV, peak keV before, peak keV after)
    note: str

    @property
    def residuals(self):
        """Peak energy after minus line (keV) of every matched line."""
        return [after - line for line, _, after in self.matched]


def match_lines(peaks, lines, window, fwhm):
    """Pairs of known lines and found peaks, each line and each peak used once.

    Of all pairs within window(line) keV the best first, by significance discounted for the distance in
    FWHM, so that a line absent from the spectrum does not take the peak of a neighbouring line.

    Parameters
    ----------
    peaks : sequence of Peak
    lines : iterable of float
        Known line energies, keV.
    window : callable
        window(line) -> keV within which a peak may be that line.
    fwhm : callable
        fwhm(line) -> the resolution's FWHM there, keV.

    Returns
    -------
    list of (float, Peak)
        The pairs, by line energy.
    """
    scored = sorted(((pk.significance / (1.0 + ((pk.energy - line) / fwhm(line)) ** 2), line, i)
                     for line in lines for i, pk in enumerate(peaks) if abs(pk.energy - line) <= window(line)),
                    reverse=True)
    pairs, used_lines, used_peaks = [], set(), set()
    for _, line, i in scored:
        if line not in used_lines and i not in used_peaks:
            used_lines.add(line)
            used_peaks.add(i)
            pairs.append((line, peaks[i]))
    return sorted(pairs, key=lambda lp: lp[0])


def _fit(xs, es, uncs, coeffs0):
    """Polynomial through (x, line) pairs: the gain alone from one, a line from two, a quadratic from
    three or more. Returns (coefficients, description)."""
    if len(xs) == 1:
        old = float(np.polynomial.polynomial.polyval(xs[0], coeffs0))
        gain = es[0] / old if old > 0 else math.nan
        return tuple(c * gain for c in coeffs0), f"gain corrected from the {es[0]:g} keV line"
    degree = 2 if len(xs) >= 3 else 1
    w = 1.0 / np.maximum(uncs, 0.01)  # a floor, so that one very precise peak does not decide alone
    coeffs = tuple(np.polynomial.polynomial.polyfit(xs, es, degree, w=w))
    return coeffs, f"{'quadratic' if degree == 2 else 'linear'} fit to {len(xs)} lines"


def recalibrate(energy, base: Calibration | None, peaks, lines, resolution):
    """A calibration refined from found peaks matched to known lines.

    Fitted in channels (or, for a file's own energy column, in its energies): the gain alone from one
    line, a straight line from two, a quadratic from three or more. Peaks are matched within 3 FWHM or
    2 % of the line energy (rough scales of small MCAs); a match that the fit puts more than half a FWHM
    (or three uncertainties) off its line is taken for a wrong one and dropped, the worst first.

    Parameters
    ----------
    energy : numpy.ndarray
        keV of every channel on the current scale.
    base : Calibration or None
        The current calibration; None for energies given channel by channel.
    peaks : sequence of Peak
        The found peaks, on the current scale.
    lines : sequence of float
        Known line energies, keV.
    resolution : Resolution

    Returns
    -------
    Recalibration
        With `calibration` None (and the reason in `note`) when no line matched, the fit failed or the
        refined scale does not ascend.
    """
    pairs = match_lines(peaks, lines, lambda e: max(3.0 * float(resolution.fwhm(e)), 0.02 * e),
                        lambda e: float(resolution.fwhm(e)))
    if not pairs:
        return Recalibration(None, [], "no known line found; calibration kept")
    x_axis = np.arange(len(energy), dtype=np.float64)
    if base is None:  # an energy column: the new scale is a polynomial of the old energies
        xs = np.array([pk.energy for _, pk in pairs])
        coeffs0 = (0.0, 1.0)
    else:  # position of each peak on the channel axis
        xs = np.array([np.interp(pk.energy, energy, x_axis) for _, pk in pairs])
        coeffs0 = base.coefficients
    es = np.array([line for line, _ in pairs])
    uncs = np.array([pk.energy_unc for _, pk in pairs])
    tol = np.array([max(0.5 * float(resolution.fwhm(e)), 3.0 * u) for e, u in zip(es, uncs)])
    keep = np.ones(len(pairs), dtype=bool)
    dropped = 0
    while True:
        coeffs, note = _fit(xs[keep], es[keep], uncs[keep], coeffs0)
        if not all(map(math.isfinite, coeffs)):
            return Recalibration(None, [], f"recalibration from {keep.sum()} lines failed; calibration kept")
        off = np.abs(np.polynomial.polynomial.polyval(xs, coeffs) - es) / tol
        off[~keep] = -1.0
        worst = int(np.argmax(off))
        if off[worst] <= 1.0 or keep.sum() <= 1:
            break
        keep[worst] = False
        dropped += 1
    if dropped:
        note += f"; {dropped} match{'es' if dropped > 1 else ''} off the fit dropped"
    new = Calibration(coeffs, f"recalibrated ({note})" + ("" if base is not None else " of the file's energies E"),
                      "ch" if base is not None else "E")
    if not np.all(np.diff(new(x_axis if base is not None else energy)) > 0):
        return Recalibration(None, [], f"recalibration from {keep.sum()} lines gave no ascending scale; kept")
    matched = [(line, pk.energy, float(new(x))) for (line, pk), x, k in zip(pairs, xs, keep) if k]
    return Recalibration(new, matched, note)


def apply(recal: Recalibration, energy, base: Calibration | None, peaks):
    """Moves the energy axis and the peaks onto a recalibration's scale.

    Energies are mapped through the new calibration; widths and the uncertainties scaled by the local
    change of keV per channel.

    Parameters
    ----------
    recal : Recalibration
        One with a calibration.
    energy : numpy.ndarray
        keV of every channel on the old scale.
    base : Calibration or None
        The old calibration, as given to `recalibrate`.
    peaks : sequence of Peak

    Returns
    -------
    energy : numpy.ndarray
        keV of every channel on the new scale.
    peaks : list of Peak
        The peaks moved onto it, in the same order.
    """
    x_axis = np.arange(len(energy), dtype=np.float64) if base is not None else energy
    new_energy = recal.calibration(x_axis)
    moved = []
    for pk in peaks:
        x = np.interp(pk.energy, energy, x_axis)
        slope_old = np.interp(x, x_axis[1:], np.diff(energy) / np.diff(x_axis))
        slope_new = np.interp(x, x_axis[1:], np.diff(new_energy) / np.diff(x_axis))
        scale = float(slope_new / slope_old)
        moved.append(replace(pk, energy=float(recal.calibration(x)), energy_unc=pk.energy_unc * scale,
                             fwhm=pk.fwhm * scale, fwhm_unc=pk.fwhm_unc * scale))
    return new_energy, moved
