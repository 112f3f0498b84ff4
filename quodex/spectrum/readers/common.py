"""Checks and helpers every spectrum reader shares: decoding, numbers, calibrations, the final checks."""
from __future__ import annotations

import math
import re

import numpy as np
from numpy.polynomial import polynomial as P

from ..model import Calibration, Spectrum, SpectrumFileError

__all__ = ["SpectrumFileError", "fail", "decode_text", "number", "make_calibration", "shift_calibration",
           "pick_measurement", "combine", "finish", "iso_duration", "iso_time"]


def fail(path, where, message):
    """A SpectrumFileError whose message is one line: 'PATH, WHERE: MESSAGE' (or 'PATH: MESSAGE')."""
    head = f"{path}, {where}" if where else f"{path}"
    return SpectrumFileError(" ".join(f"{head}: {message}".split()))


def decode_text(path, data: bytes) -> str:
    """The file as text: UTF-8 (BOM dropped), UTF-16 with a BOM, else Latin-1 when it holds no control
    bytes (instrument software writes µ or ° in its code page)."""
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        try:
            return data.decode("utf-16")
        except UnicodeDecodeError:
            raise fail(path, None, "not a text file") from None
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        pass
    if re.search(rb"[\x00-\x08\x0e-\x1f\x7f]", data):
        raise fail(path, None, "not a text file")
    return data.decode("latin-1")


def is_number(text):
    try:
        float(text)
        return True
    except ValueError:
        return False


def number(path, where, text, what="not a number"):
    """float(text), or a SpectrumFileError naming where it stands."""
    try:
        return float(text)
    except (TypeError, ValueError):
        raise fail(path, where, f"{what}: {str(text).strip()[:60]!r}") from None


_DURATION = re.compile(r"(-)?P(?:(\d+(?:\.\d*)?)D)?(?:T(?:(\d+(?:\.\d*)?)H)?(?:(\d+(?:\.\d*)?)M)?"
                       r"(?:(\d+(?:\.\d*)?)S)?)?")


def iso_duration(path, where, text):
    """Seconds of an ISO 8601 duration (PT180.5S, PT1H2M3S, P1DT2H); a bare number is taken as seconds."""
    text = (text or "").strip()
    m = _DURATION.fullmatch(text)
    if m and any(m.groups()[1:]):
        d, h, mi, s = (float(g) if g else 0.0 for g in m.groups()[1:])
        seconds = ((d * 24 + h) * 60 + mi) * 60 + s
        return -seconds if m.group(1) else seconds
    return number(path, where, text, "not a duration")


def shift_calibration(coefficients, first_channel):
    """Coefficients in the channel index (0 = first channel stored) of a polynomial written in the
    detector's channel numbers, when the file stores channels from first_channel on."""
    if not first_channel:
        return tuple(coefficients)
    out = np.zeros(1)
    for c in reversed(coefficients):  # Horner on polynomials: out = out * (x + first) + c
        out = P.polyadd(P.polymul(out, [float(first_channel), 1.0]), [c])
    return tuple(float(v) for v in out)


def make_calibration(path, where, coefficients, source, channels, notes, scale=1.0, first_channel=0):
    """Calibration from the file's coefficients (keV after `scale`, in channel numbers from
    first_channel on), or None with a note when it cannot give energies (no gain, energies that do not
    ascend). Non-finite coefficients are a fault of the file."""
    values = [number(path, where, c) * scale for c in coefficients]
    if not all(math.isfinite(v) for v in values):
        raise fail(path, where, f"calibration coefficients must be finite: {list(coefficients)}")
    values = list(shift_calibration(values, first_channel))
    while len(values) > 2 and values[-1] == 0.0:
        values.pop()  # files pad with zero terms
    if not values:
        return None
    cal = Calibration(tuple(values), source)
    if cal.is_usable(channels):
        return cal
    reason = "zero gain" if len(values) < 2 or not any(values[1:]) else "energies do not ascend"
    notes.append(f"calibration from {source} ignored: {reason}")
    return None


def pick_measurement(path, parts, measurement, what=("spectrum", "spectra")):
    """The parts to use: the one numbered `measurement` (1-based) or, by default, all of them.
    what: how to name one of them and several."""
    if measurement is None:
        return parts
    if isinstance(measurement, bool) or not isinstance(measurement, (int, np.integer)) \
            or not 1 <= measurement <= len(parts):
        raise fail(path, None, f"measurement {measurement!r} requested, the file holds {len(parts)} "
                               f"{what[len(parts) != 1]}"
                               f" (numbered 1 to {len(parts)})")
    return [parts[measurement - 1]]


def combine(path, parts, notes, what="measurements"):
    """Sum of the parts that share the channel count and calibration of the first; times add up.
    parts: dicts with counts, calibration (Calibration or None), live_time, real_time, start_time."""
    first = parts[0]
    same = [p for p in parts if len(p["counts"]) == len(first["counts"])
            and _coefficients(p["calibration"]) == _coefficients(first["calibration"])]
    if len(parts) > 1:
        notes.append(f"summed {len(same)} {what}" if len(same) == len(parts) else
                     f"summed {len(same)} of {len(parts)} {what}; {len(parts) - len(same)} with another "
                     f"channel count or calibration left out")
    out = dict(first)
    out["counts"] = np.sum([p["counts"] for p in same], axis=0)
    for key in ("live_time", "real_time"):
        values = [p.get(key) for p in same]
        out[key] = None if any(v is None for v in values) else float(sum(values))
    return out


def _coefficients(cal):
    return None if cal is None else cal.coefficients


def check_counts(path, counts, locate):
    """Counts as a float64 C-contiguous array, finite and >= 0; locate(i) names channel i's place."""
    try:
        c = np.ascontiguousarray(counts, dtype=np.float64)
    except (TypeError, ValueError):
        raise fail(path, None, "counts are not numbers") from None
    bad = np.flatnonzero(~np.isfinite(c) | (c < 0))
    if bad.size:
        i = int(bad[0])
        message = f"counts must be finite: {c[i]}" if not math.isfinite(c[i]) else f"negative counts {c[i]:g}"
        raise fail(path, locate(i), message)
    return c


def finish(path, fmt, counts, locate=lambda i: f"channel {i}", times_at=None, **fields) -> Spectrum:
    """The Spectrum after the checks every format shares: counts finite, >= 0, at least one channel, not
    all zero; times finite and >= 0. times_at names where live_time / real_time stand in the file."""
    c = check_counts(path, counts, locate)
    if c.ndim != 1 or c.size == 0:
        raise fail(path, None, "no channels found")
    if not c.any():
        raise fail(path, None, "all counts are zero")
    times_at = times_at or {}
    for key in ("live_time", "real_time"):
        t = fields.get(key)
        if t is not None and not (math.isfinite(t) and t >= 0):
            raise fail(path, times_at.get(key, key.replace("_", " ")),
                       f"{key.replace('_', ' ')} must be finite and >= 0, got {t!r}")
    energies = fields.get("energies")
    if energies is not None:
        fields["energies"] = np.ascontiguousarray(energies, dtype=np.float64)
    return Spectrum(counts=c, path=str(path), format=fmt, **fields)


def iso_time(text, formats=("%m/%d/%Y %H:%M:%S", "%m/%d/%Y %H:%M", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M:%S",
                            "%d.%m.%Y %H:%M:%S")):
    """ISO 8601 form of a start time written in one of the usual instrument forms; other text as is."""
    from datetime import datetime
    text = " ".join((text or "").split())
    for f in formats:
        try:
            return datetime.strptime(text, f).isoformat()
        except ValueError:
            pass
    return text or None
