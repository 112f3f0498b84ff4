"""Reader of ORTEC binary integer spectra (.chn): 32-byte header, uint32 counts, optional trailer."""
from __future__ import annotations

import struct

import numpy as np

from ..errors import FileFormatError
from .common import finish, make_calibration

FORMAT = "ORTEC CHN"
# type tag -1, MCA number, segment, start seconds (2 ASCII), real and live time in 20 ms ticks,
# start date DDMMMYY plus a century flag ('1' = 2000s), start time HHMM, first channel, channel count
_HEADER = struct.Struct("<hHH2sii8s4sHH")
_TICK = 0.02
_MONTHS = ("JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC")
_TRAILER_TERMS = {-102: 3, -101: 2}  # -101 trailers predate the quadratic term


def sniff(head: bytes) -> bool:
    """Whether the file starts with the CHN type tag, -1 as a little-endian int16.

    The `Reader.sniff` of the table in `quodex.spectrum.readers`.
    """
    return head[:2] == b"\xff\xff"


def read(data: bytes, options=None):
    """The spectrum of a CHN file.

    Counts, times and start of the header; calibration, detector and sample description of the trailer when
    there is one.

    The `Reader.read` of the table in `quodex.spectrum.readers`.
    """
    if len(data) < _HEADER.size:
        raise FileFormatError(f"truncated: {len(data)} bytes of {_HEADER.size}", "header")
    tag, _mca, _segment, seconds, real, live, date, hhmm, first, n = _HEADER.unpack_from(data)
    end = _HEADER.size + 4 * n
    if len(data) < end:
        raise FileFormatError(f"{n} channels announced need {4 * n} bytes of counts, the file holds "
                              f"{len(data) - _HEADER.size} (truncated file?)", "header")
    counts = np.frombuffer(data, dtype="<u4", count=n, offset=_HEADER.size).astype(np.float64)
    notes, fields = [], {}
    fields["calibration"], fields["detector"], fields["description"] = _trailer(data[end:], n, first, notes)
    # uint32 counts are never negative or NaN: no count needs a place in an error
    return finish(FORMAT, counts, notes=notes, **fields,
                  live_time=live * _TICK, real_time=real * _TICK,
                  start_time=_start(date, hhmm, seconds), times_at=dict(live_time="header", real_time="header"))


def _start(date, hhmm, seconds):
    """ISO start time from 'DDMMMYY1', 'HHMM' and 'SS'; None when the fields are not of that form."""
    try:
        text = (date + hhmm + seconds).decode("ascii")
        day, month, year = int(text[0:2]), _MONTHS.index(text[2:5].upper()) + 1, int(text[5:7])
        year += 2000 if text[7] == "1" else 1900
        return f"{year:04d}-{month:02d}-{day:02d}T{text[8:10]}:{text[10:12]}:{int(text[12:14]):02d}"
    except (UnicodeDecodeError, ValueError):
        return None


def _trailer(trailer, channels, first, notes):
    """(calibration, detector, sample description) from the trailer after the counts, if any."""
    if not trailer:
        return None, None, None
    if len(trailer) < 2:
        raise FileFormatError(f"truncated: {len(trailer)} byte", "trailer")
    tag = struct.unpack_from("<h", trailer)[0]
    if tag not in _TRAILER_TERMS:
        raise FileFormatError(f"unknown type tag {tag} (expected -102 or -101)", "trailer")
    terms = _TRAILER_TERMS[tag]
    if len(trailer) < 4 + 4 * terms:
        raise FileFormatError(f"truncated: {len(trailer)} bytes, the energy calibration needs {4 + 4 * terms}",
                              "trailer")
    # float32 as the shortest decimals that round to it: the values typed in, not their binary neighbours
    coefficients = [str(v) for v in np.frombuffer(trailer, dtype="<f4", count=terms, offset=4)]
    cal = make_calibration("trailer", coefficients, "file (CHN trailer)", channels, notes,
                           first_channel=first)
    return cal, _text(trailer, 256), _text(trailer, 320)


def _text(trailer, at):
    """A length-prefixed string of at most 63 bytes at `at`, or None."""
    if len(trailer) <= at:
        return None
    raw = trailer[at + 1:at + 1 + min(trailer[at], 63)]
    return raw.decode("latin-1").strip("\x00 ") or None
