"""Reader of delimited text spectra: counts; channel or energy and counts; channel, energy and counts."""
from __future__ import annotations

import re

import numpy as np

from .common import decode_text, fail, finish, is_number

FORMAT = "text"
_ROLE_WORDS = [("channel", r"\bchan\w*|\bch\b|\bkanal\w*|\bbin\b"),
               ("energy", r"\benergy\b|\benergie\b|\bkev\b|\bmev\b|\bev\b|\be\b"),
               ("counts", r"\bcount\w*|\bcts\b|\bintensity\b|\bimpulse\w*|\bn\b")]
_DEFAULT_ROLES = {1: ("counts",), 3: ("channel", "energy", "counts")}


def read(path, data: bytes, measurement=None):
    header, rows, lines = _rows(path, decode_text(path, data))
    if not rows:
        raise fail(path, None, "not a spectrum file (no lines of numbers)")
    columns = len(rows[0])
    roles, scale = _header_roles(header[-1] if header else "", columns)
    described = roles or _DEFAULT_ROLES.get(columns) or ("channel or energy", "counts")
    if columns > 3:
        raise fail(path, f"line {lines[0]}", f"expected at most 3 columns (channel, energy, counts), found {columns}")
    for line, fields in zip(lines, rows):
        if len(fields) != columns:
            raise fail(path, f"line {line}",
                       f"expected {columns} column{'s' * (columns > 1)} ({', '.join(described)}), found {len(fields)}")
    table = np.array(rows, dtype=np.float64)
    if roles is None:
        roles = _DEFAULT_ROLES.get(columns) or (("channel", "counts") if _is_channels(table[:, 0]) else
                                                ("energy", "counts"))
    energies = None
    if "energy" in roles:
        energies = table[:, roles.index("energy")] * scale
        _check_energies(path, lines, energies)
    return finish(path, FORMAT, table[:, roles.index("counts")], lambda i: f"line {lines[i]}",
                  energies=energies, description=" | ".join(header) or None)


def _rows(path, text):
    """(header lines, rows of numbers, their line numbers); leading lines not starting with a number are
    the header."""
    header, rows, lines, sep, comma = [], [], [], None, False
    for number_, raw in enumerate(text.splitlines(), 1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        if not rows:
            sep, comma = _separator(line)
        fields = [f.strip() for f in line.split(sep)] if sep else line.split()
        if comma:
            fields = [f.replace(",", ".") for f in fields]
        if not rows and not is_number(fields[0]):
            header.append(line)
            continue
        try:
            rows.append([float(f) for f in fields])
        except ValueError:
            raise fail(path, f"line {number_}", f"not a number: {line!r}") from None
        lines.append(number_)
    return header, rows, lines


def _separator(line):
    """(separator or None for white space, decimal comma?): semicolons and tabs leave commas to decimals."""
    for sep in ("\t", ";"):
        if sep in line:
            return sep, "," in line
    return ("," if "," in line else None), False


def _header_roles(line, columns):
    """Column roles named by a header line ('Energy (keV); Counts'), in order, and the keV scale of the
    energy column; (None, 1) when the header does not name every column."""
    low = line.lower()
    found = sorted((m.start(), role) for role, pattern in _ROLE_WORDS for m in re.finditer(pattern, low))
    roles = []
    for _, role in found:
        if not roles or roles[-1] != role:
            roles.append(role)
    scale = 1e3 if re.search(r"\bmev\b", low) else 1e-3 if re.search(r"\bev\b", low) else 1.0
    if len(roles) != columns or len(set(roles)) != columns or "counts" not in roles:
        return None, 1.0
    return tuple(roles), scale


def _is_channels(first):
    """0, 1, 2, ... or 1, 2, 3, ...: channel numbers, not energies."""
    return first[0] in (0.0, 1.0) and bool(np.all(np.diff(first) == 1.0)) and bool(np.all(first == np.round(first)))


def _check_energies(path, lines, energies):
    bad = np.flatnonzero(~np.isfinite(energies))
    if bad.size:
        raise fail(path, f"line {lines[bad[0]]}", f"energy must be finite: {energies[bad[0]]}")
    down = np.flatnonzero(np.diff(energies) <= 0)
    if down.size:
        i = int(down[0]) + 1
        raise fail(path, f"line {lines[i]}", f"energies must ascend, {energies[i]:g} follows {energies[i - 1]:g}")
