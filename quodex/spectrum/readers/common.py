"""Checks and helpers every spectrum reader shares: decoding, numbers, units, calibrations, the final checks.

Readers raise `FileFormatError(message, where)` without the file's name; `read_spectrum` adds it."""
from __future__ import annotations

import math
import re

import numpy as np
from numpy.polynomial import polynomial as P

from ..errors import FileFormatError
from ..model import Calibration, Spectrum

__all__ = ["text_head", "decode_text", "is_number", "number", "kev_per", "split_unit", "iso_duration",
           "iso_time", "make_calibration", "shift_calibration", "pick_measurement", "combine", "check_counts",
           "finish"]

_BINARY = re.compile(rb"[\x00-\x08\x0e-\x1a\x1c-\x1f]")
_UTF16_BOMS = (b"\xff\xfe", b"\xfe\xff")


def text_head(head: bytes) -> str | None:
    """The start of a file as text, for sniffing.

    Parameters
    ----------
    head : bytes
        The first bytes of the file.

    Returns
    -------
    str or None
        The text with byte order mark and leading white space dropped (UTF-16 with a BOM, else UTF-8 with
        undecodable bytes replaced), or None when the bytes hold control codes of binary data.
    """
    if head.startswith(_UTF16_BOMS):
        text = head.decode("utf-16", errors="replace")
    elif _BINARY.search(head):
        return None
    else:
        text = head.decode("utf-8", errors="replace")
    return text.lstrip("\ufeff \t\r\n")


def decode_text(data: bytes) -> str:
    """The whole file as text.

    UTF-8 (BOM dropped), UTF-16 with a BOM, else Latin-1 when it holds no control bytes: instrument
    software writes µ or ° in its code page.

    Parameters
    ----------
    data : bytes
        The file's content.

    Returns
    -------
    str

    Raises
    ------
    FileFormatError
        "not a text file".
    """
    if data.startswith(_UTF16_BOMS):
        try:
            return data.decode("utf-16")
        except UnicodeDecodeError:
            raise FileFormatError("not a text file") from None
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        pass
    if re.search(rb"[\x00-\x08\x0e-\x1f\x7f]", data):
        raise FileFormatError("not a text file")
    return data.decode("latin-1")


def is_number(text) -> bool:
    """Whether float() takes `text`.

    Parameters
    ----------
    text : str

    Returns
    -------
    bool
    """
    try:
        float(text)
        return True
    except (TypeError, ValueError):
        return False


def number(where, text, what="not a number") -> float:
    """float(text), or an error naming where it stands.

    Parameters
    ----------
    where : str or None
        Its place in the file (``"line 12"``).
    text : str
        The number as written.
    what : str
        The message when it is not a number; the text follows it.

    Returns
    -------
    float

    Raises
    ------
    FileFormatError
        ``"WHAT: 'TEXT'"``.
    """
    try:
        return float(text)
    except (TypeError, ValueError):
        raise FileFormatError(f"{what}: {str(text).strip()[:60]!r}", where) from None


_KEV_PER = {"ev": 1e-3, "kev": 1.0, "mev": 1e3}


def kev_per(unit: str, where=None, context="") -> float:
    """keV per one `unit`, an energy unit written in a file.

    Parameters
    ----------
    unit : str
        ``"keV"``, ``"eV"`` or ``"MeV"``, in any case, with stray brackets or space (``"(keV)"``, ``"[eV]"``).
    where : str, optional
        Its place in the file, for the error.
    context : str
        Put before the error's message (``"$MCA_CAL: "``).

    Returns
    -------
    float

    Raises
    ------
    FileFormatError
        An unknown unit: ``"unknown energy unit 'UNIT' (keV, eV or MeV expected)"``.
    """
    key = str(unit).strip().strip("()[]{}").strip().lower()
    if key not in _KEV_PER:
        raise FileFormatError(f"{context}unknown energy unit {str(unit).strip()!r} (keV, eV or MeV expected)", where)
    return _KEV_PER[key]


_BRACKETED = re.compile(r"(?P<name>.*?)[\s_]*(?:[(\[{](?P<bracket>[^)\]}]*)[)\]}]|/(?P<slash>.*))")


def split_unit(label: str):
    """The name and unit of a label: ``"Energy (keV)"``, ``"E [MeV]"``, ``"Height/arb.u."``, ``"Energy_keV"``.

    Parameters
    ----------
    label : str
        A column heading or a calibration label.

    Returns
    -------
    name : str
    unit : str or None
        In brackets or after a slash, else a last word that is an energy unit; None when there is none.
    """
    label = label.strip()
    m = _BRACKETED.fullmatch(label)
    if m:
        unit = m.group("bracket") if m.group("bracket") is not None else m.group("slash")
        return m.group("name").strip(), unit.strip()
    words = re.split(r"[\s_]+", label)
    if words[-1].lower() in _KEV_PER:
        return " ".join(words[:-1]), words[-1]
    return label, None


_DURATION = re.compile(r"(-)?P(?:(\d+(?:\.\d*)?)D)?(?:T(?:(\d+(?:\.\d*)?)H)?(?:(\d+(?:\.\d*)?)M)?"
                       r"(?:(\d+(?:\.\d*)?)S)?)?")


def iso_duration(where, text) -> float:
    """Seconds of an ISO 8601 duration (``PT180.5S``, ``PT1H2M3S``, ``P1DT2H``); a bare number is seconds.

    Parameters
    ----------
    where : str or None
        Its place in the file.
    text : str

    Returns
    -------
    float

    Raises
    ------
    FileFormatError
        "not a duration".
    """
    text = (text or "").strip()
    m = _DURATION.fullmatch(text)
    if m and any(m.groups()[1:]):
        d, h, mi, s = (float(g) if g else 0.0 for g in m.groups()[1:])
        seconds = ((d * 24 + h) * 60 + mi) * 60 + s
        return -seconds if m.group(1) else seconds
    return number(where, text, "not a duration")


def iso_time(text, formats=("%m/%d/%Y %H:%M:%S", "%m/%d/%Y %H:%M", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M:%S",
                            "%d.%m.%Y %H:%M:%S")):
    """ISO 8601 form of a start time written in one of the usual instrument forms.

    Parameters
    ----------
    text : str or None
    formats : tuple of str
        strptime forms tried in turn.

    Returns
    -------
    str or None
        The ISO form, the text as is when no form fits, None when it is empty.
    """
    from datetime import datetime
    text = " ".join((text or "").split())
    for f in formats:
        try:
            return datetime.strptime(text, f).isoformat()
        except ValueError:
            pass
    return text or None


def shift_calibration(coefficients, first_channel):
    """Coefficients in the channel index (0 = first channel stored) of a polynomial written in the detector's
    channel numbers, when the file stores channels from `first_channel` on.

    Parameters
    ----------
    coefficients : sequence of float
        keV = sum(c[i] * ch**i), ch the detector's channel number.
    first_channel : int

    Returns
    -------
    tuple of float
    """
    if not first_channel:
        return tuple(coefficients)
    out = np.zeros(1)
    for c in reversed(coefficients):  # Horner on polynomials: out = out * (x + first) + c
        out = P.polyadd(P.polymul(out, [float(first_channel), 1.0]), [c])
    return tuple(float(v) for v in out)


def make_calibration(where, coefficients, source, channels, notes, scale=1.0, first_channel=0):
    """The file's energy calibration, or None with a note when it cannot give energies.

    Parameters
    ----------
    where : str or None
        Where the coefficients stand, for errors.
    coefficients : sequence of str or float
        In the file's unit and channel numbers.
    source : str
        Where it came from, kept in the Calibration (``"file ($MCA_CAL)"``).
    channels : int
        Channel count of the spectrum.
    notes : list of str
        Appended to when the calibration is ignored (no gain, energies that do not ascend).
    scale : float
        keV per unit of the coefficients.
    first_channel : int
        The detector's channel number of the first channel stored.

    Returns
    -------
    Calibration or None

    Raises
    ------
    FileFormatError
        A coefficient that is not a finite number.
    """
    values = [number(where, c) * scale for c in coefficients]
    if not all(math.isfinite(v) for v in values):
        raise FileFormatError(f"calibration coefficients must be finite: {list(coefficients)}", where)
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


def pick_measurement(parts, measurement, what=("spectrum", "spectra")):
    """The parts to use: the one numbered `measurement` or, by default, all of them.

    Parameters
    ----------
    parts : list
        The file's spectra, in order.
    measurement : int or None
        1-based, as `Options` checked it.
    what : (str, str)
        How to name one of them and several.

    Returns
    -------
    list

    Raises
    ------
    FileFormatError
        ``"measurement N requested, the file holds ..."``.
    """
    if measurement is None:
        return parts
    if measurement > len(parts):
        raise FileFormatError(f"measurement {measurement!r} requested, the file holds {len(parts)} "
                              f"{what[len(parts) != 1]} (numbered 1 to {len(parts)})")
    return [parts[measurement - 1]]


def combine(parts, notes, what="measurements"):
    """Sum of the parts that share the channel count and calibration of the first; times add up.

    Parameters
    ----------
    parts : list of dict
        Each with counts, calibration (Calibration or None), live_time, real_time, start_time, ...
    notes : list of str
        Appended to with what was summed or left out.
    what : str
        How to name the parts in the note.

    Returns
    -------
    dict
        The first part with the summed counts and times.
    """
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


def check_counts(counts, locate):
    """Counts as a float64 C-contiguous array, finite and >= 0.

    Parameters
    ----------
    counts : array_like
    locate : callable
        locate(i) names channel i's place in the file.

    Returns
    -------
    numpy.ndarray

    Raises
    ------
    FileFormatError
        Counts that are not numbers, not finite or negative.
    """
    try:
        c = np.ascontiguousarray(counts, dtype=np.float64)
    except (TypeError, ValueError):
        raise FileFormatError("counts are not numbers") from None
    bad = np.flatnonzero(~np.isfinite(c) | (c < 0))
    if bad.size:
        i = int(bad[0])
        message = f"counts must be finite: {c[i]}" if not math.isfinite(c[i]) else f"negative counts {c[i]:g}"
        raise FileFormatError(message, locate(i))
    return c


def finish(fmt, counts, locate=lambda i: f"channel {i}", times_at=None, **fields) -> Spectrum:
    """The Spectrum after the checks every format shares.

    Parameters
    ----------
    fmt : str
        The format's name, kept in the Spectrum.
    counts : array_like
    locate : callable
        locate(i) names channel i's place in the file.
    times_at : dict, optional
        Where live_time and real_time stand in the file.
    **fields
        The other fields of the Spectrum (notes as a list or tuple); no path, `read_spectrum` sets it.

    Returns
    -------
    Spectrum

    Raises
    ------
    FileFormatError
        Counts not finite or negative, no channel, all counts zero, times not finite or negative.
    """
    c = check_counts(counts, locate)
    if c.ndim != 1 or c.size == 0:
        raise FileFormatError("no channels found")
    if not c.any():
        raise FileFormatError("all counts are zero")
    times_at = times_at or {}
    for key in ("live_time", "real_time"):
        t = fields.get(key)
        if t is not None and not (math.isfinite(t) and t >= 0):
            raise FileFormatError(f"{key.replace('_', ' ')} must be finite and >= 0, got {t!r}",
                                  times_at.get(key, key.replace("_", " ")))
    energies = fields.get("energies")
    if energies is not None:
        fields["energies"] = np.ascontiguousarray(energies, dtype=np.float64)
    return Spectrum(counts=c, format=fmt, **fields)
