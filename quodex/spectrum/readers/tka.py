"""Reader of TKA spectra (.tka): one number a line, live time, real time, then the counts."""
from __future__ import annotations

from ..errors import FileFormatError
from .common import decode_text, finish, number, text_head

FORMAT = "TKA"


def sniff(head: bytes) -> bool:
    """Whether every line (but a possibly cut last one) holds one number.

    The `Reader.sniff` of the table in `quodex.spectrum.readers`.
    """
    text = text_head(head) or ""
    lines = [line for line in text.splitlines()[:-1] if line.strip()] or text.split()[:1]
    return bool(lines) and all(len(line.split()) == 1 for line in lines)


def read(data: bytes, options=None):
    """The spectrum of a TKA file.

    The `Reader.read` of the table in `quodex.spectrum.readers`.
    """
    values, lines = [], []
    for number_, line in enumerate(decode_text(data).splitlines(), 1):
        fields = line.split()
        if not fields:
            continue
        if len(fields) != 1:
            raise FileFormatError(f"expected 1 number, found {len(fields)}", f"line {number_}")
        values.append(number(f"line {number_}", fields[0]))
        lines.append(number_)
    if len(values) < 3:
        raise FileFormatError(f"expected live time, real time and counts, found {len(values)} numbers")
    return finish(FORMAT, values[2:], lambda i: f"line {lines[i + 2]}",
                  dict(live_time=f"line {lines[0]}", real_time=f"line {lines[1]}"),
                  live_time=values[0], real_time=values[1])
