"""Names for found peaks: known lines, annihilation radiation, escape peaks whose parent is present with
an intensity the detector can give them, and coincidence sums of two found lines."""
from __future__ import annotations

ELECTRON_KEV = 511.0
ANNIHILATION_KEV = 510.999


def max_escape_ratio(parent_kev, kind):
    """Largest plausible escape-peak area relative to its parent's photopeak. Pair production starts at
    1022 keV and grows slowly above it; small semiconductor crystals lose the annihilation photons most
    easily, large scintillators hardly ever."""
    excess = max(parent_kev - 2 * ELECTRON_KEV, 0.0) / 1000.0
    scale = {"hpge": 1.0, "cdte": 1.0, "labr": 0.3, "nai": 0.15}.get(kind, 1.0)
    return scale * min(0.6, 0.5 * excess ** 1.5)


def tolerance(peak, resolution):
    """How far a peak may lie from a line and still be that line: half a FWHM, or three standard
    uncertainties of its centroid where those are larger."""
    return max(0.5 * float(resolution.fwhm(peak.energy)), 3.0 * peak.energy_unc, 0.3)


def identify(peaks, lines, resolution, kind):
    """Sets `identification` of every peak; returns the known lines found nowhere."""
    for pk in peaks:
        pk.identification = None
    missing = []
    for line in sorted(lines):
        widen = 1.5 if abs(line - ANNIHILATION_KEV) < 1 else 1.0  # Doppler broadening widens 511 keV
        near = [pk for pk in peaks if pk.identification is None
                and abs(pk.energy - line) <= widen * tolerance(pk, resolution)]
        if near:
            best = min(near, key=lambda pk: abs(pk.energy - line))
            best.identification = f"{line:g} keV" + (" (annihilation)" if abs(line - ANNIHILATION_KEV) < 1 else "")
        else:
            missing.append(line)
    for pk in peaks:
        if pk.identification is None and abs(pk.energy - ANNIHILATION_KEV) <= tolerance(pk, resolution) * 1.5:
            pk.identification = "annihilation (511 keV)"  # Doppler broadening widens it
    parents = [pk for pk in peaks if pk.identification is not None and "escape" not in pk.identification]
    for pk in peaks:
        if pk.identification is not None:
            continue
        for parent in parents:
            for shift, name in ((ELECTRON_KEV, "single"), (2 * ELECTRON_KEV, "double")):
                if (abs(pk.energy - (parent.energy - shift)) <= tolerance(pk, resolution)
                        and pk.area <= max_escape_ratio(parent.energy, kind) * parent.area + 3 * pk.area_unc):
                    pk.identification = f"{name} escape of {parent.identification.split(' ')[0]} keV"
    # true coincidence sums: two identified lines detected together, far weaker than either
    for pk in peaks:
        if pk.identification is not None:
            continue
        for i, a in enumerate(parents):
            for b in parents[i:]:
                if (abs(pk.energy - (a.energy + b.energy)) <= tolerance(pk, resolution)
                        and pk.area < 0.2 * min(a.area, b.area)):
                    pk.identification = f"sum of {a.identification.split(' ')[0]} + {b.identification.split(' ')[0]} keV"
    return missing
