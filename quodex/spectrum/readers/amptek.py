"""Reader of Amptek MCA text spectra (.mca): <<PMCA SPECTRUM>> header, calibration points, <<DATA>>."""
from __future__ import annotations

import re

import numpy as np

from .common import decode_text, fail, finish, iso_time, make_calibration, number

FORMAT = "Amptek MCA"
_SECTION = re.compile(r"<<(.+?)>>")


def sniff(head: str) -> bool:
    return head[:40].upper().startswith("<<PMCA SPECTRUM>>")


def read(path, data: bytes, measurement=None):
    lines = decode_text(path, data).splitlines()
    header, calibration, counts, count_lines, status = {}, [], [], [], {}
    section, closed = None, False
    for number_, raw in enumerate(lines, 1):
        line = raw.strip()
        m = _SECTION.fullmatch(line)
        if m:
            section = m.group(1).strip().upper()
            closed = closed or section == "END"
        elif not line:
            continue
        elif section == "PMCA SPECTRUM":
            key, _, value = line.partition(" - ")
            header[key.strip().upper()] = (number_, value.strip())
        elif section == "CALIBRATION":
            calibration.append((number_, line))
        elif section == "DATA":
            counts.append(number(path, f"line {number_}", line))
            count_lines.append(number_)
        elif section == "DPP STATUS":
            key, _, value = line.partition(":")
            status[key.strip().upper()] = value.strip()
    if not closed:
        raise fail(path, f"line {len(lines)}", "no <<END>> after <<DATA>> (truncated file?)")
    notes, fields, times_at = [], {}, {}
    for key in ("LIVE_TIME", "REAL_TIME"):
        if key in header:
            where = f"line {header[key][0]}"
            fields[key.lower()] = number(path, where, header[key][1], f"{key} is not a number")
            times_at[key.lower()] = where
    if "START_TIME" in header:
        fields["start_time"] = iso_time(header["START_TIME"][1])
    fields["description"] = (header.get("DESCRIPTION") or header.get("TAG") or (0, None))[1] or None
    fields["detector"] = status.get("DEVICE TYPE") or None
    fields["calibration"] = _calibration(path, calibration, len(counts), notes)
    return finish(path, FORMAT, counts, lambda i: f"line {count_lines[i]}", times_at, notes=notes, **fields)


def _calibration(path, lines, channels, notes):
    """Least-squares polynomial through the (channel, energy) points: a line, or a quadratic from 3."""
    if not lines:
        return None
    scale, points = 1.0, []
    for number_, line in lines:
        if line.upper().startswith("LABEL"):
            unit = line.partition("-")[2].lower()
            scale = 1e-3 if re.search(r"\bev\b", unit) else 1e3 if "mev" in unit else 1.0
            continue
        values = line.split()
        if len(values) != 2:
            raise fail(path, f"line {number_}", f"<<CALIBRATION>>: expected channel and energy, found {line!r}")
        points.append([number(path, f"line {number_}", v) for v in values])
    if len(points) < 2:
        notes.append(f"calibration ignored: {len(points)} point, a fit needs 2")
        return None
    x, e = np.array(points).T
    if not np.all(np.isfinite(points)) or len(set(x)) < 2:
        raise fail(path, f"line {lines[-1][0]}", "<<CALIBRATION>>: points must be finite at distinct channels")
    degree = 2 if len(set(x)) >= 3 else 1
    coefficients = np.polynomial.polynomial.polyfit(x, e, degree)
    return make_calibration(path, "<<CALIBRATION>>", coefficients,
                            f"file (<<CALIBRATION>>, {len(points)} points)", channels, notes, scale)
