"""The nuclide library: the table shipped with the package (generated from the ENSDF decay data sets by
scripts/make_nuclide_table.py) or a user's file, as candidates to name a spectrum's peaks by.

A candidate is a nuclide alone or a chain segment in equilibrium named by its head ("Ra-226" with
Rn-222, Pb-214, Bi-214...), its lines weighted by each member's share of the head's decays."""
from __future__ import annotations

import csv
import functools
import json
import math
import os
from dataclasses import dataclass
from importlib import resources

import numpy as np

from .errors import OptionsError

__all__ = ["Line", "Candidate", "Library", "load_library", "shipped_library"]


@dataclass(frozen=True)
class Line:
    """One emission of a candidate.

    Attributes
    ----------
    energy : float
        keV.
    intensity : float
        Photons per decay of the candidate's head (a member's share included).
    member : str
        The nuclide that emits it.
    xray : bool
        A fluorescence X-ray: explained by a candidate, never enough to name one.
    """
    energy: float
    intensity: float
    member: str
    xray: bool = False


@dataclass(frozen=True)
class Candidate:
    """A nuclide or a chain segment in equilibrium.

    Attributes
    ----------
    name : str
        The nuclide, or the head of the segment.
    members : tuple of str
        The nuclides whose lines it carries (the head first).
    lines : tuple of Line
        By energy.
    half_life : float or None
        Seconds, of the head (None where the library does not say).
    """
    name: str
    members: tuple
    lines: tuple
    half_life: float | None = None


@dataclass(frozen=True)
class Library:
    """Candidates and where they come from.

    Attributes
    ----------
    candidates : tuple of Candidate
    source : dict
        The evaluation, its version and licence, the generator (the shipped table), or the file's path.
    """
    candidates: tuple
    source: dict

    @functools.cached_property
    def flat(self):
        """Every line of every candidate as arrays, candidate after candidate (see `_Flat`)."""
        return _Flat(self.candidates)

    def __len__(self):
        return len(self.candidates)

    def __getitem__(self, name):
        for c in self.candidates:
            if c.name == name:
                return c
        raise KeyError(name)


class _Flat:
    """The lines of all candidates as arrays, for vectorised matching: energy, intensity, xray and the
    slice of each candidate; the efficiency curve by detector kind is kept once computed."""

    def __init__(self, candidates):
        lines = [ln for c in candidates for ln in c.lines]
        self.energy = np.array([ln.energy for ln in lines], dtype=np.float64)
        self.intensity = np.array([ln.intensity for ln in lines], dtype=np.float64)
        self.xray = np.array([ln.xray for ln in lines], dtype=bool)
        self.slices, start = [], 0
        for c in candidates:
            self.slices.append(slice(start, start + len(c.lines)))
            start += len(c.lines)
        self.efficiency = {}

    def efficiency_for(self, kind):
        if kind not in self.efficiency:
            from .identify import relative_efficiency
            self.efficiency[kind] = relative_efficiency(self.energy, kind)
        return self.efficiency[kind]


def _table_candidates(table, where):
    try:
        nuclides = table["nuclides"]
        segments = table.get("segments", {})
        own = {}
        for name, entry in nuclides.items():
            lines = tuple(sorted((Line(float(e), float(i), name, str(k) == "x") for e, i, k in entry["lines"]),
                                 key=lambda x: x.energy))
            own[name] = (lines, entry.get("half_life_s"))
    except (KeyError, TypeError, ValueError) as exc:
        raise OptionsError(f"{where}: not a nuclide table ({type(exc).__name__}: {exc})") from None
    in_segment = {m for rows in segments.values() for m, _ in rows[1:]}
    cands = []
    for head, rows in segments.items():
        lines = []
        for member, share in rows:
            if member not in own:
                raise OptionsError(f"{where}: segment {head} names {member}, which the table lacks")
            lines += [Line(ln.energy, ln.intensity * float(share), member, ln.xray) for ln in own[member][0]]
        cands.append(Candidate(head, tuple(m for m, _ in rows), tuple(sorted(lines, key=lambda x: x.energy)),
                               own[head][1] if head in own else None))
    heads = set(segments)
    for name, (lines, half_life) in own.items():
        # a member that lives only inside a segment (Pb-214, Tl-208) is named by its head
        if name not in heads and name not in in_segment and lines:
            cands.append(Candidate(name, (name,), lines, half_life))
    return tuple(sorted(cands, key=lambda c: c.name))


@functools.lru_cache(maxsize=1)
def shipped_library() -> Library:
    """The library shipped with the package (read once, then cached).

    Returns
    -------
    Library
        Its `source` records the evaluation, its version and licence and the generating script.
    """
    text = resources.files("quodex.spectrum").joinpath("data/nuclides.json").read_text(encoding="utf-8")
    table = json.loads(text)
    return Library(_table_candidates(table, "shipped nuclide table"), dict(table["source"]))


def load_library(path) -> Library:
    """A user's nuclide library.

    Parameters
    ----------
    path : str or os.PathLike
        A JSON file in the shipped table's layout (``{"nuclides": {"Cs-137": {"half_life_s": ...,
        "lines": [[661.657, 0.851, "g"], ...]}}, "segments": {...}}``), or a CSV file with a header
        naming the columns ``nuclide``, ``energy`` (keV) and ``intensity`` (per decay), and optionally
        ``kind`` (``g`` or ``x``).

    Returns
    -------
    Library

    Raises
    ------
    OptionsError
        The file cannot be read or does not hold a library, naming the file and what is wrong.
    """
    path = os.fspath(path)
    try:
        with open(path, encoding="utf-8", newline="") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as exc:
        raise OptionsError(f"library {path}: {exc}") from None
    if path.lower().endswith(".json") or text.lstrip().startswith("{"):
        try:
            table = json.loads(text)
        except ValueError as exc:
            raise OptionsError(f"library {path}: not JSON ({exc})") from None
        if not isinstance(table, dict):
            raise OptionsError(f"library {path}: not a nuclide table (a JSON object is needed)")
        return Library(_table_candidates(table, f"library {path}"), {"file": path, **table.get("source", {})})
    rows = list(csv.DictReader(text.splitlines()))
    nuclides = {}
    for n, row in enumerate(rows, start=2):
        try:
            name = row["nuclide"].strip()
            e, i = float(row["energy"]), float(row["intensity"])
        except (KeyError, TypeError, ValueError, AttributeError):
            raise OptionsError(f"library {path}: line {n} needs a nuclide, an energy and an intensity") from None
        if not (name and math.isfinite(e) and e > 0 and math.isfinite(i) and i > 0):
            raise OptionsError(f"library {path}: line {n}: a positive energy and intensity are needed")
        kind = (row.get("kind") or "g").strip()
        nuclides.setdefault(name, {"lines": []})["lines"].append([e, i, kind])
    if not nuclides:
        raise OptionsError(f"library {path}: no lines (a header nuclide,energy,intensity and rows are needed)")
    return Library(_table_candidates({"nuclides": nuclides}, f"library {path}"), {"file": path})
