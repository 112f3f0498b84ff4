"""Reader of delimited text spectra: counts; channel or energy and counts; channel, energy and counts."""
from __future__ import annotations

import re

import numpy as np

from ..errors import FileFormatError
from .common import decode_text, finish, is_number, kev_per, split_unit, text_head

FORMAT = "text"
_ROLE_WORDS = [("channel", r"\bchan\w*|\bch\b|\bkanal\w*|\bbin\b"),
               ("energy", r"\benergy\b|\benergie\b|\bkev\b|\bmev\b|\bev\b|\be\b"),
               ("counts", r"\bcount\w*|\bcts\b|\bintensity\b|\bimpulse\w*|\bn\b")]
_DEFAULT_ROLES = {1: ("counts",), 3: ("channel", "energy", "counts")}
_UNDECIDED = "channel or energy"


def sniff(head: bytes) -> bool:
    """Whether the file is text other than XML: the reader of last resort.

    The `Reader.sniff` of the table in `quodex.spectrum.readers`.
    """
    text = text_head(head)
    return text is not None and not text.startswith("<")


def read(data: bytes, options=None):
    """The spectrum of a table of numbers, with or without a header.

    Counts, and energies (keV) when a column holds them; the header lines as description. A column empty on
    every line is absent (``0,,5``); a column headed by something other than channel, energy or counts
    (``Height/arb.u.``) is never read as energies.

    The `Reader.read` of the table in `quodex.spectrum.readers`.
    """
    header, rows, lines, sep = _rows(decode_text(data))
    if not rows:
        raise FileFormatError("not a spectrum file (no lines of numbers)")
    count = len(rows[0])
    heading = header[-1] if header else None
    for line, fields in zip(lines, rows):
        if len(fields) != count:
            described = column_roles(heading, count, sep=sep)[0]
            raise FileFormatError(f"expected {count} column{'s' * (count > 1)} ({', '.join(described)}), "
                                  f"found {len(fields)}", f"line {line}")
    rows, heading, count = _without_empty_columns(rows, lines, heading, sep)
    if count > 3:
        raise FileFormatError(f"expected at most 3 columns (channel, energy, counts), found {count}",
                              f"line {lines[0]}")
    table = np.array(rows, dtype=np.float64)
    roles, scale = column_roles(heading, count, table[:, 0], sep)
    energies, notes = None, []
    if "energy" in roles:
        energies = table[:, roles.index("energy")] * scale
        _check_energies(lines, energies)
    elif "other" in roles:
        cells = _cells(heading[1], sep)
        notes.append(f"column {cells[roles.index('other')]!r} is neither channel nor energy: read as channels")
    return finish(FORMAT, table[:, roles.index("counts")], lambda i: f"line {lines[i]}", notes=notes,
                  energies=energies, description=" | ".join(text for _, text in header) or None)


def _without_empty_columns(rows, lines, heading, sep):
    """(rows, heading, column count) without the columns that are empty on every line; an empty field in a
    column that holds numbers elsewhere is an error."""
    count = len(rows[0])
    empty = [k for k in range(count) if all(r[k] is None for r in rows)]
    for line, fields in zip(lines, rows):
        k = next((k for k, v in enumerate(fields) if v is None and k not in empty), None)
        if k is not None:
            raise FileFormatError(f"column {k + 1} is empty here and holds numbers on other lines", f"line {line}")
    if not empty:
        return rows, heading, count
    keep = [k for k in range(count) if k not in empty]
    if heading is not None:
        cells = _cells(heading[1], sep)
        if len(cells) == count:
            heading = (heading[0], (sep or "  ").join(cells[k] for k in keep))
    return [[r[k] for k in keep] for r in rows], heading, len(keep)


def column_roles(heading, count, first=None, sep=None):
    """What each column of a table holds, and keV per unit of its energy column.

    The header's words decide when they name every column once (``"Energy (keV);Counts"``); else one
    column is counts, three are channel, energy, counts, and of two the first is channels when it reads
    0, 1, 2, ... or 1, 2, 3, ..., energies otherwise. A column whose heading has a unit that is not of
    energy (``"Height/arb.u."``), or any other heading beside a named counts column (``"Height;Counts"``),
    is ``"other"``: never energies.

    Parameters
    ----------
    heading : (int, str) or None
        The line number and text of the header line just above the numbers.
    count : int
        The number of columns.
    first : numpy.ndarray, optional
        The first column's values; without them two unnamed columns read ``"channel or energy"``.
    sep : str, optional
        The separator of the columns; None for white space.

    Returns
    -------
    roles : tuple of str
        ``"channel"``, ``"energy"``, ``"counts"`` or ``"other"`` per column.
    scale : float
        keV per unit of the energy column: its header's unit, keV when it names none.

    Raises
    ------
    FileFormatError
        The header names an energy column with a unit that is not an energy (``"Energy (s)"``), or names
        no column of counts beside an other one.
    """
    line, text = heading or (None, "")
    cells = _cells(text, sep)
    if len(cells) != count:
        cells = [""] * count  # a title, not column headings
    named = tuple(_role(cell) for cell in cells)
    if "counts" in named:  # a heading of columns: what it does not name is not energy
        named = tuple("other" if role is None and cell else role for role, cell in zip(named, cells))
    if "other" in named:
        roles = _with_counts(named, line)
    elif None not in named and len(set(named)) == count and "counts" in named:
        roles = named
    elif count in _DEFAULT_ROLES:
        roles = _DEFAULT_ROLES[count]
    elif first is None:
        roles = (_UNDECIDED, "counts")
    else:
        roles = ("channel", "counts") if _is_channels(first) else ("energy", "counts")
    if "energy" not in roles:
        return roles, 1.0
    k = roles.index("energy")
    unit = split_unit(cells[k])[1] if cells[k] else None
    if unit is None:
        return roles, 1.0
    return roles, kev_per(unit, f"line {line}", f"column {k + 1} {cells[k]!r} read as energy: ")


def _with_counts(named, line):
    """Roles of a heading with an "other" column: counts where named, else the last column not named."""
    roles = list(named)
    if "counts" not in roles:
        free = [k for k, role in enumerate(roles) if role is None]
        if not free:
            raise FileFormatError("no column of counts among the headings", f"line {line}")
        roles[free[-1]] = "counts"
    return tuple("other" if role is None else role for role in roles)


def _cells(text, sep):
    """Column headings of a header line: split at the separator, else at white space with units kept
    with their heading ('Energy (keV) Counts')."""
    text = text.strip()
    if not text:
        return []
    if sep and sep in text:
        return [c.strip() for c in text.split(sep)]
    cells = []
    for word in text.split():
        if cells and (cells[-1].endswith("/") or split_unit(word)[0] == ""):  # "(keV)", "/", "MeV"
            cells[-1] += " " + word
        else:
            cells.append(word)
    return cells


def _role(cell):
    """The role the heading's words name (the first one written), else energy for an energy unit."""
    name, unit = split_unit(cell)
    found = [(m.start(), role) for role, pattern in _ROLE_WORDS for m in re.finditer(pattern, name.lower())]
    if found:
        return min(found)[1]
    if unit is not None:
        try:
            kev_per(unit)
            return "energy"
        except FileFormatError:
            return "other"  # pulse height in arbitrary units, time in s: a heading, but not of energy
    return None


def _rows(text):
    """(header lines as (line, text), rows of numbers, their line numbers, separator); leading lines not
    starting with a number are the header."""
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
        if not rows and not is_number(next((f for f in fields if f), "")):  # ",5": the first column empty
            header.append((number_, line))
            continue
        try:
            rows.append([float(f) if f else None for f in fields])  # "0,,5": an empty column
        except ValueError:
            raise FileFormatError(f"not a number: {line!r}", f"line {number_}") from None
        lines.append(number_)
    return header, rows, lines, sep


def _separator(line):
    """(separator or None for white space, decimal comma?): semicolons and tabs leave commas to decimals."""
    for sep in ("\t", ";"):
        if sep in line:
            return sep, "," in line
    return ("," if "," in line else None), False


def _is_channels(first):
    """0, 1, 2, ... or 1, 2, 3, ...: channel numbers, not energies."""
    return first[0] in (0.0, 1.0) and bool(np.all(np.diff(first) == 1.0)) and bool(np.all(first == np.round(first)))


def _check_energies(lines, energies):
    bad = np.flatnonzero(~np.isfinite(energies))
    if bad.size:
        raise FileFormatError(f"energy must be finite: {energies[bad[0]]}", f"line {lines[bad[0]]}")
    down = np.flatnonzero(np.diff(energies) <= 0)
    if down.size:
        i = int(down[0]) + 1
        raise FileFormatError(f"energies must ascend, {energies[i]:g} follows {energies[i - 1]:g}", f"line {lines[i]}")
