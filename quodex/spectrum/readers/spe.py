"""Reader of IAEA / ORTEC ASCII spectra (.spe): $-tagged sections of text."""
from __future__ import annotations

import re

from .common import decode_text, fail, finish, iso_time, make_calibration, number

FORMAT = "IAEA SPE"
_TAG = re.compile(r"\$([A-Za-z0-9_.]+):")
_UNIT_SCALE = {"kev": 1.0, "ev": 1e-3, "mev": 1e3}


def sniff(head: str) -> bool:
    first = next((line.strip() for line in head.splitlines() if line.strip()), "")
    return bool(_TAG.match(first))


def sections(text):
    """{NAME: (line of the tag, [(line, text), ...])}; the first of repeated sections wins."""
    out, body = {}, None
    for number_, line in enumerate(text.splitlines(), 1):
        m = _TAG.match(line.strip())
        if m:
            body = []
            out.setdefault(m.group(1).upper(), (number_, body))
        elif body is not None and line.strip():
            body.append((number_, line.strip()))
    return out


def read(path, data: bytes, measurement=None):
    sec = sections(decode_text(path, data))
    if "DATA" not in sec:
        raise fail(path, None, "no $DATA: section")
    counts, lines, first = _data(path, *sec["DATA"])
    notes, fields, times_at = [], {}, {}
    if "MEAS_TIM" in sec:
        at, body = sec["MEAS_TIM"]
        line, text = body[0] if body else (at, "")
        values = text.split()
        if len(values) < 2:
            raise fail(path, f"line {line}", f"$MEAS_TIM: expected live and real time, found {text!r}")
        fields["live_time"], fields["real_time"] = (number(path, f"line {line}", v) for v in values[:2])
        times_at = dict.fromkeys(("live_time", "real_time"), f"line {line}")
    if sec.get("DATE_MEA", (0, []))[1]:
        fields["start_time"] = iso_time(sec["DATE_MEA"][1][0][1])
    if sec.get("SPEC_ID", (0, []))[1]:
        fields["description"] = " ".join(text for _, text in sec["SPEC_ID"][1])
    for _, text in sec.get("SPEC_REM", (0, []))[1]:
        if text.upper().startswith("DETDESC#"):
            fields["detector"] = text[8:].strip() or None
    fields["calibration"] = _calibration(path, sec, len(counts), first, notes)
    return finish(path, FORMAT, counts, lambda i: f"line {lines[i]}", times_at, notes=notes, **fields)


def _data(path, at, body):
    """Counts of $DATA: the first line gives the first and last channel, then counts, any per line."""
    if not body:
        raise fail(path, f"line {at}", "$DATA: has no channel range")
    line, text = body[0]
    bounds = text.split()
    if len(bounds) != 2:
        raise fail(path, f"line {line}", f"$DATA: expected first and last channel, found {text!r}")
    first, last = (number(path, f"line {line}", v) for v in bounds)
    if first != int(first) or last != int(last) or not 0 <= first <= last:
        raise fail(path, f"line {line}", f"$DATA: bad channel range {text!r}")
    expected = int(last - first) + 1
    counts, lines = [], []
    for line, text in body[1:]:
        for v in text.split():
            counts.append(number(path, f"line {line}", v))
            lines.append(line)
    if len(counts) != expected:
        where = f"line {body[-1][0]}"
        raise fail(path, where, f"$DATA: channels {int(first)} to {int(last)} need {expected} counts, "
                                f"found {len(counts)}" + (" (truncated file?)" if len(counts) < expected else ""))
    return counts, lines, int(first)


def _calibration(path, sec, channels, first, notes):
    """$MCA_CAL (count, coefficients, optional unit), else $ENER_FIT (offset, gain)."""
    if "MCA_CAL" in sec:
        at, body = sec["MCA_CAL"]
        if len(body) < 2:
            raise fail(path, f"line {at}", "$MCA_CAL: expected the number of coefficients and the coefficients")
        (n_line, n_text), (line, text) = body[0], body[1]
        n = number(path, f"line {n_line}", n_text)
        values = text.split()
        if n != int(n) or not 1 <= n <= len(values):
            raise fail(path, f"line {n_line}", f"$MCA_CAL: {n_text!r} coefficients announced, {len(values)} given")
        n = int(n)
        unit = values[n] if len(values) > n else "keV"
        if unit.lower() not in _UNIT_SCALE:
            raise fail(path, f"line {line}", f"$MCA_CAL: unknown energy unit {unit!r}")
        cal = make_calibration(path, f"line {line}", values[:n], "file ($MCA_CAL)", channels, notes,
                               _UNIT_SCALE[unit.lower()], first)
        if cal is not None:
            return cal
    if sec.get("ENER_FIT", (0, []))[1]:
        line, text = sec["ENER_FIT"][1][0]
        values = text.split()
        if len(values) < 2:
            raise fail(path, f"line {line}", f"$ENER_FIT: expected offset and gain, found {text!r}")
        return make_calibration(path, f"line {line}", values[:2], "file ($ENER_FIT)", channels, notes,
                                first_channel=first)
    return None
