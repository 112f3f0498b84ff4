"""Reader of Amptek MCA text spectra (.mca): <<PMCA SPECTRUM>> header, calibration points, <<DATA>>."""
from __future__ import annotations

import re

import numpy as np

from ..errors import FileFormatError
from .common import decode_text, finish, iso_time, kev_per, make_calibration, number, split_unit, text_head

FORMAT = "Amptek MCA"
_SECTION = re.compile(r"<<(.+?)>>")


def sniff(head: bytes) -> bool:
    """Whether the file starts with ``<<PMCA SPECTRUM>>``.

    The `Reader.sniff` of the table in `quodex.spectrum.readers`.
    """
    return (text_head(head) or "")[:40].upper().startswith("<<PMCA SPECTRUM>>")


def read(data: bytes, options=None):
    """The spectrum of an Amptek MCA file.

    Counts of <<DATA>>, times and start of the header, a polynomial through the <<CALIBRATION>> points in the
    unit of its LABEL, the device type of <<DPP STATUS>> as detector.

    The `Reader.read` of the table in `quodex.spectrum.readers`.
    """
    lines = decode_text(data).splitlines()
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
            counts.append(number(f"line {number_}", line))
            count_lines.append(number_)
        elif section == "DPP STATUS":
            key, _, value = line.partition(":")
            status[key.strip().upper()] = value.strip()
    if not closed:
        raise FileFormatError("no <<END>> after <<DATA>> (truncated file?)", f"line {len(lines)}")
    notes, fields, times_at = [], {}, {}
    for key in ("LIVE_TIME", "REAL_TIME"):
        if key in header:
            where = f"line {header[key][0]}"
            fields[key.lower()] = number(where, header[key][1], f"{key} is not a number")
            times_at[key.lower()] = where
    if "START_TIME" in header:
        fields["start_time"] = iso_time(header["START_TIME"][1])
    fields["description"] = (header.get("DESCRIPTION") or header.get("TAG") or (0, None))[1] or None
    fields["detector"] = status.get("DEVICE TYPE") or None
    fields["calibration"] = _calibration(calibration, len(counts), notes)
    return finish(FORMAT, counts, lambda i: f"line {count_lines[i]}", times_at, notes=notes, **fields)


def _calibration(lines, channels, notes):
    """Least-squares polynomial through the (channel, energy) points: a line, or a quadratic from 3."""
    if not lines:
        return None
    scale, points = 1.0, []
    for number_, line in lines:
        if line.upper().startswith("LABEL"):
            unit = split_unit(line.partition("-")[2])[1]  # "Energy (eV)"; no unit: keV
            scale = 1.0 if unit is None else kev_per(unit, f"line {number_}", "<<CALIBRATION>> LABEL: ")
            continue
        values = line.split()
        if len(values) != 2:
            raise FileFormatError(f"<<CALIBRATION>>: expected channel and energy, found {line!r}", f"line {number_}")
        points.append([number(f"line {number_}", v) for v in values])
    if len(points) < 2:
        notes.append(f"calibration ignored: {len(points)} point, a fit needs 2")
        return None
    x, e = np.array(points).T
    if not np.all(np.isfinite(points)) or len(set(x)) < 2:
        raise FileFormatError("<<CALIBRATION>>: points must be finite at distinct channels", f"line {lines[-1][0]}")
    degree = 2 if len(set(x)) >= 3 else 1
    coefficients = np.polynomial.polynomial.polyfit(x, e, degree)
    return make_calibration("<<CALIBRATION>>", coefficients, f"file (<<CALIBRATION>>, {len(points)} points)",
                            channels, notes, scale)
