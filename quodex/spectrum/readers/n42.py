"""Reader of ANSI N42.42 XML spectra, the 2006 form (N42InstrumentData) and the 2011 form
(RadInstrumentData), with or without namespace."""
from __future__ import annotations

import numpy as np

from ..errors import FileFormatError
from .common import (check_counts, combine, finish, is_number, iso_duration, kev_per, make_calibration,
                     pick_measurement, text_head)
from .xmltree import child, parse, text_of

_ROOTS = {"RadInstrumentData": "N42 2011", "N42InstrumentData": "N42 2006"}
_NOT_FOREGROUND = {"background", "intrinsicactivity", "calibration"}
MAX_CHANNELS = 1 << 20  # CountedZeroes could otherwise announce billions of zeros


def sniff(head: bytes) -> bool:
    """Whether the file is XML naming an N42 root element.

    The `Reader.sniff` of the table in `quodex.spectrum.readers`.
    """
    text = text_head(head) or ""
    return text.startswith("<") and any(root in text for root in _ROOTS)


def read(data: bytes, options=None):
    """The spectrum of an N42 file: the sum of its foreground spectra, or the one options.measurement picks.

    Format "N42 2011" or "N42 2006"; options.measurement picks a Spectrum element (from 1, in document
    order) instead of the sum.

    The `Reader.read` of the table in `quodex.spectrum.readers`.
    """
    root = parse(data)
    if root.tag not in _ROOTS:
        raise FileFormatError(f"not an N42 file (root element <{root.tag}>)")
    parents = {c: p for p in root.iter() for c in p}
    spectra = list(root.iter("Spectrum"))
    if not spectra:
        raise FileFormatError("no Spectrum element")
    notes = []
    measurement = None if options is None else options.measurement
    picked = pick_measurement(list(enumerate(spectra, 1)), measurement)
    parts = [_part(root, parents, k, s, notes) for k, s in picked]
    if measurement is None and len(parts) > 1:
        foreground = [p for p in parts if p["kind"] not in _NOT_FOREGROUND]
        if foreground and len(foreground) < len(parts):
            notes.append(f"left out {len(parts) - len(foreground)} background or calibration spectra")
            parts = foreground
    total = combine(parts, notes, "spectra")
    return finish(_ROOTS[root.tag], total["counts"], total["locate"], total["times_at"], notes=notes,
                  calibration=total["calibration"], live_time=total["live_time"],
                  real_time=total["real_time"], start_time=total["start_time"], detector=total["detector"],
                  description=text_of(root, "Remark") or None)


def _part(root, parents, k, spectrum, notes):
    """One Spectrum element: counts, calibration, times and the class of its measurement."""
    where = f"ChannelData {k}"
    data = child(spectrum, "ChannelData")
    if data is None:
        raise FileFormatError("no ChannelData", f"Spectrum {k}")
    counts = _channel_data(where, data)
    locate = (lambda i: f"{where}, channel {i}")
    check_counts(counts, locate)
    lineage = _lineage(spectrum, parents)
    times, times_at = {}, {}
    for key, names in (("live_time", ("LiveTimeDuration", "LiveTime")),
                       ("real_time", ("RealTimeDuration", "RealTime", "SampleRealTime"))):
        found = _inherited(lineage, names)
        if found is not None:
            times_at[key] = f"Spectrum {k} {found.tag}"
            times[key] = iso_duration(times_at[key], found.text)
    start = _inherited(lineage, ("StartDateTime", "StartTime"))
    kind = _inherited(lineage, ("MeasurementClassCode", "SourceType"))
    return dict(counts=counts, locate=locate, times_at=times_at, **times,
                calibration=_calibration(root, lineage, k, len(counts), notes),
                start_time=None if start is None else (start.text or "").strip() or None,
                detector=spectrum.get("radDetectorInformationReference") or spectrum.get("Detector"),
                kind="" if kind is None else (kind.text or "").strip().lower())


def _lineage(element, parents):
    out = [element]
    while out[-1] in parents:
        out.append(parents[out[-1]])
    return out


def _inherited(lineage, names):
    """The first of the named children of the element or of its nearest ancestor that has one."""
    for element in lineage:
        found = child(element, *names)
        if found is not None:
            return found
    return None


def _channel_data(where, element):
    tokens = (element.text or "").split()
    try:
        values = np.array(tokens, dtype=np.float64)
    except ValueError:
        bad = next(i for i, t in enumerate(tokens) if not is_number(t))
        raise FileFormatError(f"value {bad + 1} is not a number: {tokens[bad][:40]!r}", where) from None
    code = (element.get("compressionCode") or element.get("Compression") or "").strip().lower()
    if code == "countedzeroes":
        return _expand_zeroes(where, values)
    if code not in ("", "none"):
        raise FileFormatError(f"unknown compression {code!r}", where)
    return values


def _expand_zeroes(where, values):
    """CountedZeroes: each 0 is followed by the number of zero channels it stands for."""
    out, i = [], 0
    while i < len(values):
        if values[i] != 0:
            out.append(values[i])
            i += 1
            continue
        if i + 1 >= len(values):
            raise FileFormatError(f"value {i + 1}: a 0 without the count of zeros after it (truncated?)", where)
        n = values[i + 1]
        if not (np.isfinite(n) and n == int(n) and n >= 1) or len(out) + n > MAX_CHANNELS:
            raise FileFormatError(f"value {i + 2}: count of zeros must be a whole number from 1 to "
                                  f"{MAX_CHANNELS - len(out)}, got {n:g}", where)
        out.extend([0.0] * int(n))
        i += 2
    return np.array(out, dtype=np.float64)


def _calibration(root, lineage, k, channels, notes):
    """2011: the EnergyCalibration the spectrum references (or the only one); 2006: the nearest
    Calibration of Type Energy with a polynomial Equation."""
    spectrum = lineage[0]
    ref = spectrum.get("energyCalibrationReference")
    if ref is not None or root.tag == "RadInstrumentData":
        found = [e for e in root.iter("EnergyCalibration") if ref is None or e.get("id") in ref.split()]
        if not found:
            if ref is not None:
                raise FileFormatError(f"energyCalibrationReference {ref!r} names no EnergyCalibration",
                                      f"Spectrum {k}")
            return None
        values = text_of(found[0], "CoefficientValues")
        if values is None:
            notes.append(f"Spectrum {k}: EnergyCalibration without CoefficientValues ignored")
            return None
        return make_calibration(f"EnergyCalibration {found[0].get('id') or ''}".strip(), values.split(),
                                "file (N42 EnergyCalibration)", channels, notes)
    for element in lineage:
        for cal in element.findall("Calibration"):
            if (cal.get("Type") or "").lower() != "energy":
                continue
            equation = child(cal, "Equation")
            model = "" if equation is None else (equation.get("Model") or "polynomial").lower()
            values = None if equation is None else text_of(equation, "Coefficients")
            unit = cal.get("EnergyUnits") or "keV"
            try:
                scale = kev_per(unit)
            except FileFormatError:  # the counts stay usable with a calibration given by hand
                scale = None
            if model != "polynomial" or values is None or scale is None:
                notes.append(f"Spectrum {k}: energy Calibration of model {model or 'none'!r}, unit {unit!r} ignored")
                return None
            return make_calibration(f"Spectrum {k} Calibration", values.split(), "file (N42 Calibration)",
                                    channels, notes, scale)
    return None
