"""Names for found peaks: known lines, annihilation radiation, escape peaks whose parent is present with
an intensity the detector can give them, and coincidence sums of two found lines."""
from __future__ import annotations

from dataclasses import replace

from .detector import ELECTRON_KEV, KINDS
from .results import ANNIHILATION_KEV, Identification, IdKind

__all__ = ["identify", "tolerance"]


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
    return [replace(pk, identification=name) for pk, name in zip(peaks, names)], missing
