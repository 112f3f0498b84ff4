"""Reader of TKA spectra (.tka): one number a line, live time, real time, then the counts."""
from __future__ import annotations

from .common import decode_text, fail, finish, number

FORMAT = "TKA"


def sniff(head: str) -> bool:
    """Every line (but a possibly cut last one) holds one number."""
    lines = [line for line in head.splitlines()[:-1] if line.strip()] or head.split()[:1]
    return bool(lines) and all(len(line.split()) == 1 for line in lines)


def read(path, data: bytes, measurement=None):
    values, lines = [], []
    for number_, line in enumerate(decode_text(path, data).splitlines(), 1):
        fields = line.split()
        if not fields:
            continue
        if len(fields) != 1:
            raise fail(path, f"line {number_}", f"expected 1 number, found {len(fields)}")
        values.append(number(path, f"line {number_}", fields[0]))
        lines.append(number_)
    if len(values) < 3:
        raise fail(path, None, f"expected live time, real time and counts, found {len(values)} numbers")
    return finish(path, FORMAT, values[2:], lambda i: f"line {lines[i + 2]}",
                  dict(live_time=f"line {lines[0]}", real_time=f"line {lines[1]}"),
                  live_time=values[0], real_time=values[1])
