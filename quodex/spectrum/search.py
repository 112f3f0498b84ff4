"""Peak search on a ladder of summed channel widths: candidates where the second difference of the summed
counts stands out of its Poisson noise."""
from __future__ import annotations

import bisect
import math
from dataclasses import dataclass

import numpy as np

from quodex.utils.numerics.kernels.mariscotti import mariscotti_peak_search_cy

__all__ = ["search", "scan", "merge", "rebin", "Candidate", "SCALES"]

SCALES = (1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64, 96, 128, 192, 256)
"""The summed widths (channels) the search tries, narrowest first."""


@dataclass(frozen=True)
class Candidate:
    """Where the search saw a peak.

    Attributes
    ----------
    channel : float
        Estimated centre, in (fractional) channels from 0.
    significance : float
        -S/F at the summed width where it stood out: standard deviations of the second difference.
    scale : int
        The channels summed at that width.
    """
    channel: float  # estimated centre, in channels
    significance: float  # -S/F at the summed width where it stood out most
    scale: int  # channels summed


def rebin(values, factor, phase=0):
    """Sums of `factor` consecutive channels from `phase` on; a last incomplete group is dropped.

    Sums of Poisson counts are Poisson counts, so F stays the exact standard deviation of S.

    Parameters
    ----------
    values : numpy.ndarray
        Counts (or any values) per channel.
    factor : int
        Channels per sum, at least 1.
    phase : int
        The first channel summed.

    Returns
    -------
    numpy.ndarray
        (len(values) - phase) // factor sums.
    """
    v = values[phase:]
    n = len(v) // factor * factor
    return v[:n].reshape(-1, factor).sum(axis=1)


def scan(counts, scale, threshold):
    """Candidates at one summed width: where -S > threshold F, for every phase a quarter width apart.

    The centre is interpolated from the significance of the neighbouring sums.

    Parameters
    ----------
    counts : numpy.ndarray
        float64 counts per channel.
    scale : int
        Channels summed.
    threshold : float
        Significance, standard deviations.

    Returns
    -------
    list of Candidate
        Unmerged: one peak may give a candidate for each phase.
    """
    out = []
    for phase in range(0, scale, max(1, scale // 4)):
        y = rebin(counts, scale, phase)
        if len(y) < 5:
            break
        s, f = mariscotti_peak_search_cy(y)
        z = np.zeros_like(s)
        np.divide(-s, f, out=z, where=f > 0)
        top = np.zeros(len(y), dtype=bool)
        top[1:-1] = (z[1:-1] >= z[:-2]) & (z[1:-1] > z[2:]) & (z[1:-1] > threshold)
        for i in np.flatnonzero(top):
            curve = z[i - 1] - 2 * z[i] + z[i + 1]
            shift = 0.5 * (z[i - 1] - z[i + 1]) / curve if curve < 0 else 0.0
            centre = phase + (i + 0.5 + float(np.clip(shift, -0.5, 0.5))) * scale - 0.5
            out.append(Candidate(centre, float(z[i]), scale))
    return out


def merge(candidates, reach, pair=max):
    """One candidate per peak: the most significant of those within reach of each other.

    Parameters
    ----------
    candidates : iterable of Candidate
    reach : callable
        reach(candidate) -> channels within which another candidate is the same peak.
    pair : callable
        Combines the reaches of two candidates (`max` by default, `min` for a stricter merge).

    Returns
    -------
    list of Candidate
        The kept candidates, by channel.
    """
    cands = sorted(candidates, key=lambda c: -c.significance)
    if not cands:
        return []
    reaches = [float(reach(c)) for c in cands]
    widest = max(reaches)
    # kept channels, ascending, with their reaches: a candidate can only meet kept ones within
    # pair(its reach, widest reach) of it, found by bisection (n log n instead of n x kept)
    at, reach_at, kept = [], [], []
    for c, r in zip(cands, reaches):
        window = max(r, widest) if pair is max else r if pair is min else math.inf
        lo = bisect.bisect_left(at, c.channel - window)
        hi = bisect.bisect_right(at, c.channel + window)
        if all(abs(c.channel - at[i]) > pair(r, reach_at[i]) for i in range(lo, hi)):
            i = bisect.bisect_right(at, c.channel)
            at.insert(i, c.channel)
            reach_at.insert(i, r)
            kept.insert(i, c)
    return kept


def search(counts, threshold, scales):
    """Candidates on every summed width of `SCALES` that `scales` admits.

    Widths of more than an eighth of the spectrum are not tried.

    Parameters
    ----------
    counts : numpy.ndarray
        float64 counts per channel.
    threshold : float
        Significance, standard deviations.
    scales : callable or sequence of int
        The widths (channels) to search on, or a callable channel -> (lo, hi) giving, for a candidate's
        channel, the range of widths that may report it.

    Returns
    -------
    list of Candidate
        Unmerged (see `merge`), by width.
    """
    found = []
    for s in SCALES:
        if s * 8 > len(counts):
            break
        if callable(scales):
            cands = [c for c in scan(counts, s, threshold) if scales(c.channel)[0] <= s <= scales(c.channel)[1]]
        elif s in scales:
            cands = scan(counts, s, threshold)
        else:
            continue
        found.extend(cands)
    return found
