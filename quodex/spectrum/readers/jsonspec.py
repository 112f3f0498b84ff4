"""Reader of JSON spectrum exports of any shape: the counts array, times and calibration found by structure.

Instruments and hobby programs write JSON of their own design (``{"time": ..., "minutes": ..., "data": [...]}``,
``{"resultData": {"energySpectrum": {"spectrum": [...], "energyCalibration": {"coefficients": [...]}}}}``).
The counts are the longest array of finite numbers >= 0; times, calibration and energies are the fields
whose key names say so, nearest to the counts first."""
from __future__ import annotations

import json
import math
import re

import numpy as np

from ..errors import FileFormatError
from .common import finish, iso_duration, iso_time, kev_per, make_calibration, text_head, decode_text

FORMAT = "JSON"
MAX_BYTES = 64 << 20  # the parsed tree takes many times the text: a bound against exhausting memory
MIN_CHANNELS = 16  # shorter arrays are coefficients or settings, not a spectrum
_SECONDS = {"ms": 1e-3, "msec": 1e-3, "millis": 1e-3, "milliseconds": 1e-3, "s": 1.0, "sec": 1.0, "secs": 1.0,
            "second": 1.0, "seconds": 1.0, "min": 60.0, "mins": 60.0, "minute": 60.0, "minutes": 60.0,
            "h": 3600.0, "hr": 3600.0, "hour": 3600.0, "hours": 3600.0}
_DURATION_WORDS = {"time", "duration", "acquisition", "measurement", "elapsed", "exposure"}
_INSTANT_WORDS = {"start", "end", "stop", "date", "stamp", "timestamp", "utc", "epoch", "zone"}
_COUNTS_WORDS = {"counts", "count", "spectrum", "data", "channels", "histogram", "hist", "values", "events"}
_BACKGROUND_WORDS = {"background", "bg", "bkg", "fwhm", "efficiency"}
_ENERGY_WORDS = {"energy", "energies", "ev", "kev", "mev"}
_CALIBRATION_WORDS = {"calibration", "cal", "ecal", "coefficients", "coefficient", "coeffs", "coef", "poly",
                      "polynomial"}
_ENERGY_UNITS = {"ev", "kev", "mev"}


def sniff(head: bytes) -> bool:
    """Whether the file is text starting with a JSON object or array.

    The `Reader.sniff` of the table in `quodex.spectrum.readers`.
    """
    text = text_head(head) or ""
    return bool(re.match(r'[{\[]\s*(?:["{\[\d\-\]}]|$)', text))


def read(data: bytes, options=None):
    """The spectrum of a JSON export: counts, and times, calibration, energies and start time where keys
    name them.

    The `Reader.read` of the table in `quodex.spectrum.readers`.
    """
    if len(data) > MAX_BYTES:
        raise FileFormatError(f"JSON of {len(data) / 2 ** 20:.0f} MiB refused (at most {MAX_BYTES >> 20} MiB)")
    try:
        # integers past float range become inf, refused as counts like any non-finite number
        tree = json.loads(decode_text(data), parse_int=lambda t: int(t) if len(t) < 300 else float(t))
    except RecursionError:
        raise FileFormatError("JSON nested too deeply") from None
    except ValueError as e:  # JSONDecodeError, integers of too many digits
        where = f"line {e.lineno}" if isinstance(e, json.JSONDecodeError) else None
        raise FileFormatError(f"not valid JSON: {getattr(e, 'msg', e)}", where) from None
    arrays = list(_number_arrays(tree))
    candidates = [a for a in arrays if len(a[1]) >= MIN_CHANNELS and _are_counts(a[1])]
    if not candidates:
        raise FileFormatError(f"no counts array found (an array of at least {MIN_CHANNELS} finite numbers >= 0)")
    best = max(_rank(p, values) for p, values, _ in candidates)
    path, counts, lineage = next(a for a in candidates if _rank(a[0], a[1]) == best)  # the first in the file
    notes = []
    rivals = [a for a in candidates if a[0] != path and _rank(a[0], a[1]) == best]
    if rivals:
        notes.append(f"read {_name(path)}; {len(rivals)} other array(s) of {len(counts)} counts left out")
    fields = dict(_times(lineage), notes=notes)
    energies = _energies(arrays, path, len(counts))
    if energies is not None:
        fields["energies"] = energies
    else:
        fields["calibration"] = _calibration(lineage, len(counts), notes)
    fields["start_time"] = _text(lineage, ("start", "date", "timestamp", "time"), iso_time, _seconds)
    fields["description"] = _text(lineage, ("description", "title", "sample", "comment"))
    fields["detector"] = _text(lineage, ("detector", "device", "instrument", "model"))
    return finish(FORMAT, counts, lambda i: f"{_name(path)}[{i}]", **fields)


def _words(key):
    """The lower-case words of a key: 'liveTimeMs' -> ['live', 'time', 'ms'], 'energy_MeV' -> ['energy', 'mev']."""
    words = [w.lower() for w in re.findall(r"[MkK]?eV|[A-Z]+(?![a-z])|[A-Z]?[a-z]+|\d+", str(key))]
    return [part for w in words for part in ((w[:-4], "time") if w.endswith("time") and len(w) > 4 else (w,))]


def _name(path):
    return "".join(f"[{p}]" if isinstance(p, int) else (f".{p}" if i else str(p)) for i, p in enumerate(path)) or "top"


def _number_arrays(tree):
    """(path, array, lineage) of every list of numbers; lineage holds the objects around it, nearest first."""
    stack = [(tree, (), ())]
    while stack:
        node, path, lineage = stack.pop()
        if isinstance(node, dict):
            inner = (node,) + lineage
            stack.extend((v, path + (k,), inner) for k, v in reversed(list(node.items())))
        elif isinstance(node, list):
            if node and all(type(v) in (int, float) for v in node):
                yield path, node, lineage
            elif (columns := _columns(node)) is not None:
                inner = (columns,) + lineage
                yield from ((path + (k,), v, inner) for k, v in columns.items())
            else:
                stack.extend((v, path + (i,), lineage) for i, v in reversed(list(enumerate(node))))


def _columns(rows):
    """A table of rows as {name: column}: rows of objects with the same keys keep their names
    (``[{"energy": 1.5, "counts": 3}, ...]``); rows of 2 or 3 numbers are (channel or energy, counts) or
    (channel, energy, counts), the first column channels when it reads 0, 1, 2, ... or 1, 2, 3, ...; else
    None."""
    if len(rows) < MIN_CHANNELS:
        return None
    first = rows[0]
    if isinstance(first, dict) and first and all(isinstance(r, dict) and r.keys() == first.keys() for r in rows):
        names = [k for k in first if all(type(r[k]) in (int, float) for r in rows)]
        return {k: [r[k] for r in rows] for k in names} or None
    if not (isinstance(first, list) and len(first) in (2, 3)):
        return None
    if not all(isinstance(r, list) and len(r) == len(first) and all(type(v) in (int, float) for v in r) for r in rows):
        return None
    table = list(zip(*rows))
    channels = table[0][0] in (0, 1) and all(b - a == 1 for a, b in zip(table[0], table[0][1:]))
    names = ("channel", "energy", "counts")[-len(first):] if len(first) == 3 or not channels else ("channel", "counts")
    return {name: list(column) for name, column in zip(names, table)}


def _are_counts(values):
    a = np.asarray(values, dtype=np.float64)
    return bool(np.all(np.isfinite(a)) and np.all(a >= 0) and a.any())


def _rank(path, values):
    """Longest first; then not named as background, energies or channel numbers; named as counts by its own
    key, then by an enclosing one; then whole numbers."""
    keys = [p for p in path if isinstance(p, str)]
    words = {w for p in keys for w in _words(p)}
    own = set(_words(keys[-1])) if keys else set()  # "energySpectrum": {"spectrum": [...]} holds counts
    unlike = words & _BACKGROUND_WORDS or own & (_ENERGY_WORDS | {"channel", "index", "bin", "ch"})
    return (len(values), not unlike, bool(own & _COUNTS_WORDS), bool(words & _COUNTS_WORDS),
            all(isinstance(v, int) or float(v).is_integer() for v in values))


def _seconds(key, value):
    """Seconds of a time field, or None when it is not one."""
    words = _words(key)
    unit = next((_SECONDS[w] for w in reversed(words) if w in _SECONDS), None)
    if set(words) & _INSTANT_WORDS or unit is None and not set(words) & (_DURATION_WORDS | {"live", "real"}):
        return None
    if isinstance(value, bool) or value is None:
        return None
    if isinstance(value, (int, float)):
        seconds = float(value) * (unit or 1.0)
    elif isinstance(value, str) and re.fullmatch(r"\d+:\d\d(:\d\d(\.\d*)?)?", value.strip()):
        if set(words) <= {"time"}:
            return None  # "time": "12:30:00" is a clock time
        parts = [float(p) for p in value.strip().split(":")]  # H:MM:SS or MM:SS
        seconds = sum(p * 60.0 ** k for k, p in enumerate(reversed(parts)))
    elif isinstance(value, str):
        try:
            seconds = iso_duration(key, value) * (unit or 1.0)
        except FileFormatError:
            return None  # a start time written in words
    else:
        return None
    if unit is None and set(words) <= {"time"} and seconds > 1e8:
        return None  # a bare "time" of 3 years and more is a time stamp, not a duration
    return seconds


def _times(lineage):
    """live_time and real_time: keys naming live or real time; else one duration for both (a device that
    states one time counts without dead-time correction), keys naming their unit before a bare "time"."""
    named, durations = {}, []
    for depth, obj in enumerate(lineage):
        for key, value in obj.items():
            seconds = _seconds(key, value)
            if seconds is None:
                continue
            words = set(_words(key))
            which = "live_time" if "live" in words else "real_time" if words & {"real", "true", "elapsed"} else None
            if which:
                named.setdefault(which, (key, seconds))
            else:
                explicit = any(w in _SECONDS for w in words) or bool(words & (_DURATION_WORDS - {"time"}))
                durations.append((depth, not explicit, key, seconds))
    out, at = {}, {}
    for which, (key, seconds) in named.items():
        out[which], at[which] = seconds, key
    if durations and len(named) < 2:
        _, _, key, seconds = min(durations, key=lambda d: d[:2])
        for which in ("live_time", "real_time"):
            if which not in out:
                out[which], at[which] = seconds, key
    return dict(out, times_at=at)


def _calibration(lineage, channels, notes):
    """The polynomial of the nearest calibration field: a list of coefficients (c0 first), an object holding
    one, or terms named a0, a1, ... / c0, c1, ...; offset and gain only inside an object named as a
    calibration (elsewhere they are an amplifier's settings). In keV unless a key or a "unit" field says
    otherwise."""
    for obj in lineage:
        for key, value in obj.items():
            words = set(_words(key))
            if not words & _CALIBRATION_WORDS:
                continue
            scale = _scale(words)
            if isinstance(value, dict):
                unit = value.get("unit") or value.get("units")
                if isinstance(unit, str):
                    scale = kev_per(unit, key, "calibration unit: ")
                inner = next((v for k, v in value.items() if set(_words(k)) & _CALIBRATION_WORDS
                              and isinstance(v, list)), None)
                value = inner if inner is not None else _terms(value, named=True)
            if isinstance(value, list) and 2 <= len(value) <= 8 and all(type(v) in (int, float) for v in value):
                return make_calibration(key, value, f"file ({key})", channels, notes, scale)
        terms = _terms(obj)
        if terms:
            return make_calibration("calibration terms", terms, "file (terms a0, a1, ...)", channels, notes)
    return None


def _terms(obj, named=False):
    """Coefficients named a0, a1, ... or c0, c1, ... (from 0, without gaps), or when `named` offset and
    gain (and quadratic); else None."""
    if named:
        found = [next((obj[k] for k in obj if type(obj[k]) in (int, float) and set(_words(k)) & names), None)
                 for names in ({"offset", "intercept"}, {"gain", "slope"}, {"quadratic"})]
        if None not in found[:2]:
            return found[:3] if found[2] is not None else found[:2]
    for letter in ("a", "c"):
        terms = []
        while type(obj.get(f"{letter}{len(terms)}")) in (int, float):
            terms.append(obj[f"{letter}{len(terms)}"])
        if len(terms) >= 2:
            return terms
    return None


def _scale(words):
    unit = next((w for w in words if w in _ENERGY_UNITS), None)
    return 1.0 if unit is None else kev_per(unit)


def _energies(arrays, path, channels):
    """keV per channel from an array named as energies, of the counts' length, ascending; else None."""
    for p, values, _ in arrays:
        words = {w for k in p[-1:] if isinstance(k, str) for w in _words(k)}
        if p == path or len(values) != channels or not words & _ENERGY_WORDS:
            continue
        e = np.asarray(values, dtype=np.float64) * _scale(words)
        if np.all(np.isfinite(e)) and np.all(np.diff(e) > 0):
            return e
    return None


def _text(lineage, names, convert=None, duration=lambda key, value: None):
    """The nearest string field whose key holds one of `names` and that is no duration."""
    for obj in lineage:
        for key, value in obj.items():
            if (isinstance(value, str) and value.strip() and set(_words(key)) & set(names)
                    and duration(key, value) is None):
                return convert(value) if convert else value.strip()
    return None
