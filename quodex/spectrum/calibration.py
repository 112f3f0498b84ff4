"""The energy axis of a spectrum and its refinement from peaks matched to known lines."""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from .model import Calibration, Spectrum, SpectrumFileError


def energy_axis(spectrum: Spectrum, override: Calibration | None = None):
    """(energies of the channels in keV, the calibration used or None for a file's own energy column).
    Raises SpectrumFileError when nothing gives an energy scale: a guess would silently analyse channel
    numbers as keV."""
    n = spectrum.channels
    if override is not None:
        if not override.is_usable(n):
            raise SpectrumFileError(f"{spectrum.path}: --calibration {','.join(f'{c:g}' for c in override.coefficients)} "
                                    f"does not give ascending energies over {n} channels")
        return override(np.arange(n)), override
    if spectrum.energies is not None:
        return np.asarray(spectrum.energies, dtype=np.float64), None
    if spectrum.calibration is not None and spectrum.calibration.is_usable(n):
        return spectrum.calibration(np.arange(n)), spectrum.calibration
    raise SpectrumFileError(f"{spectrum.path}: the file gives channels but no energy calibration; "
                            "give one with --calibration c0,c1[,c2] (keV = c0 + c1*ch + c2*ch^2)")


@dataclass
class Recalibration:
    calibration: Calibration | None  # None: the spectrum's own scale was kept
    matched: list  # (line keV, peak keV before, peak keV after)
    note: str

    @property
    def residuals(self):
        return [after - line for line, _, after in self.matched]


def match_lines(peaks, lines, window):
    """(line, peak) pairs: for each line the most significant peak within window(line) keV, each peak
    used once, strongest lines first."""
    pairs, used = [], set()
    for line in sorted(lines, key=lambda e: -max((pk.significance for pk in peaks
                                                  if abs(pk.energy - e) <= window(e)), default=0.0)):
        near = [i for i, pk in enumerate(peaks) if i not in used and abs(pk.energy - line) <= window(line)]
        if near:
            best = max(near, key=lambda i: peaks[i].significance)
            used.add(best)
            pairs.append((line, peaks[best]))
    return sorted(pairs, key=lambda lp: lp[0])


def recalibrate(energy, base: Calibration | None, peaks, lines, resolution):
    """A calibration refined from found peaks matched to known lines: the gain alone from one line, a
    straight line from two, a quadratic from three or more, fitted in channels (or, for a file's own
    energy column, in its energies). Peaks are matched within 3 FWHM or 2 % of the line energy."""
    pairs = match_lines(peaks, lines, lambda e: max(3.0 * float(resolution.fwhm(e)), 0.02 * e))
    x_axis = np.arange(len(energy), dtype=np.float64)
    # position of each peak on the axis the calibration is a polynomial of
    xs = np.array([np.interp(pk.energy, energy, x_axis) for _, pk in pairs])
    es = np.array([line for line, _ in pairs])
    if base is None:  # an energy column: the new scale is a polynomial of the old energies
        xs = np.array([pk.energy for _, pk in pairs])
        coeffs0 = (0.0, 1.0)
    else:
        coeffs0 = base.coefficients
    if not pairs:
        return Recalibration(None, [], "no known line found; calibration kept")
    if len(pairs) == 1:
        old = float(np.polynomial.polynomial.polyval(xs[0], coeffs0))
        gain = es[0] / old if old > 0 else math.nan
        coeffs = tuple(c * gain for c in coeffs0)
        note = f"gain corrected from the {es[0]:g} keV line"
    else:
        degree = 2 if len(pairs) >= 3 else 1
        w = np.array([1.0 / max(pk.energy_unc, 1e-3) for _, pk in pairs])
        coeffs = tuple(np.polynomial.polynomial.polyfit(xs, es, degree, w=w))
        note = f"{'quadratic' if degree == 2 else 'linear'} fit to {len(pairs)} lines"
    new = Calibration(coeffs, f"recalibrated ({note})") if all(map(math.isfinite, coeffs)) else None
    axis = x_axis if base is not None else energy
    if new is None or not np.all(np.diff(new(axis)) > 0):
        return Recalibration(None, [], f"recalibration from {len(pairs)} lines gave no ascending scale; kept")
    matched = [(line, pk.energy, float(new(x))) for (line, pk), x in zip(pairs, xs)]
    return Recalibration(new, matched, note)


def apply(recal: Recalibration, energy, base: Calibration | None, peaks):
    """The new energy axis; peak energies and widths moved onto it in place."""
    x_axis = np.arange(len(energy), dtype=np.float64) if base is not None else energy
    new_energy = recal.calibration(x_axis)
    for pk in peaks:
        x = np.interp(pk.energy, energy, x_axis)
        slope_old = np.interp(x, x_axis[1:], np.diff(energy) / np.diff(x_axis))
        slope_new = np.interp(x, x_axis[1:], np.diff(new_energy) / np.diff(x_axis))
        scale = float(slope_new / slope_old)
        pk.energy = float(recal.calibration(x))
        pk.energy_unc *= scale
        pk.fwhm *= scale
        pk.fwhm_unc *= scale
    return new_energy
