"""Reader of IAEA / ORTEC ASCII spectra (.spe): $-tagged sections of text."""
from __future__ import annotations

import re

from ..errors import FileFormatError
from .common import decode_text, finish, iso_time, kev_per, make_calibration, number, text_head

FORMAT = "IAEA SPE"
_TAG = re.compile(r"\$([A-Za-z0-9_.]+):")


def sniff(head: bytes) -> bool:
    """Whether the file starts with a ``$TAG:`` line.

    The `Reader.sniff` of the table in `quodex.spectrum.readers`.
    """
    text = text_head(head)
    first = next((line.strip() for line in (text or "").splitlines() if line.strip()), "")
    return bool(_TAG.match(first))


def sections(text):
    """The file's sections.

    Parameters
    ----------
    text : str

    Returns
    -------
    dict
        {NAME: (line of the tag, [(line, text), ...])}; the first of repeated sections wins.
    """
    out, body = {}, None
    for number_, line in enumerate(text.splitlines(), 1):
        m = _TAG.match(line.strip())
        if m:
            body = []
            out.setdefault(m.group(1).upper(), (number_, body))
        elif body is not None and line.strip():
            body.append((number_, line.strip()))
    return out


def read(data: bytes, options=None):
    """The spectrum of an SPE file.

    Counts of $DATA, times of $MEAS_TIM, start of $DATE_MEA, calibration of $MCA_CAL (else $ENER_FIT) in the
    channels stored, description of $SPEC_ID, detector of DETDESC# in $SPEC_REM.

    The `Reader.read` of the table in `quodex.spectrum.readers`.
    """
    sec = sections(decode_text(data))
    if "DATA" not in sec:
        raise FileFormatError("no $DATA: section")
    counts, lines, first = _data(*sec["DATA"])
    notes, fields, times_at = [], {}, {}
    if "MEAS_TIM" in sec:
        at, body = sec["MEAS_TIM"]
        line, text = body[0] if body else (at, "")
        values = text.split()
        if len(values) < 2:
            raise FileFormatError(f"$MEAS_TIM: expected live and real time, found {text!r}", f"line {line}")
        fields["live_time"], fields["real_time"] = (number(f"line {line}", v) for v in values[:2])
        times_at = dict.fromkeys(("live_time", "real_time"), f"line {line}")
    if sec.get("DATE_MEA", (0, []))[1]:
        fields["start_time"] = iso_time(sec["DATE_MEA"][1][0][1])
    if sec.get("SPEC_ID", (0, []))[1]:
        fields["description"] = " ".join(text for _, text in sec["SPEC_ID"][1])
    for _, text in sec.get("SPEC_REM", (0, []))[1]:
        if text.upper().startswith("DETDESC#"):
            fields["detector"] = text[8:].strip() or None
    fields["calibration"] = _calibration(sec, len(counts), first, notes)
    return finish(FORMAT, counts, lambda i: f"line {lines[i]}", times_at, notes=notes, **fields)


def _data(at, body):
    """Counts of $DATA: the first line gives the first and last channel, then counts, any per line."""
    if not body:
        raise FileFormatError("$DATA: has no channel range", f"line {at}")
    line, text = body[0]
    bounds = text.split()
    if len(bounds) != 2:
        raise FileFormatError(f"$DATA: expected first and last channel, found {text!r}", f"line {line}")
    first, last = (number(f"line {line}", v) for v in bounds)
    if first != int(first) or last != int(last) or not 0 <= first <= last:
        raise FileFormatError(f"$DATA: bad channel range {text!r}", f"line {line}")
    expected = int(last - first) + 1
    counts, lines = [], []
    for line, text in body[1:]:
        for v in text.split():
            counts.append(number(f"line {line}", v))
            lines.append(line)
    if len(counts) != expected:
        raise FileFormatError(f"$DATA: channels {int(first)} to {int(last)} need {expected} counts, found "
                              f"{len(counts)}" + (" (truncated file?)" if len(counts) < expected else ""),
                              f"line {body[-1][0]}")
    return counts, lines, int(first)


def _calibration(sec, channels, first, notes):
    """$MCA_CAL (count, coefficients, optional unit), else $ENER_FIT (offset, gain)."""
    if "MCA_CAL" in sec:
        at, body = sec["MCA_CAL"]
        if len(body) < 2:
            raise FileFormatError("$MCA_CAL: expected the number of coefficients and the coefficients", f"line {at}")
        (n_line, n_text), (line, text) = body[0], body[1]
        n = number(f"line {n_line}", n_text)
        values = text.split()
        if n != int(n) or not 1 <= n <= len(values):
            raise FileFormatError(f"$MCA_CAL: {n_text!r} coefficients announced, {len(values)} given",
                                  f"line {n_line}")
        n = int(n)
        scale = kev_per(" ".join(values[n:]), f"line {line}", "$MCA_CAL: ") if len(values) > n else 1.0
        cal = make_calibration(f"line {line}", values[:n], "file ($MCA_CAL)", channels, notes, scale, first)
        if cal is not None:
            return cal
    if sec.get("ENER_FIT", (0, []))[1]:
        line, text = sec["ENER_FIT"][1][0]
        values = text.split()
        if len(values) < 2:
            raise FileFormatError(f"$ENER_FIT: expected offset and gain, found {text!r}", f"line {line}")
        return make_calibration(f"line {line}", values[:2], "file ($ENER_FIT)", channels, notes,
                                first_channel=first)
    return None
