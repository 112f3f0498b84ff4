"""Peak search on a ladder of summed channel widths: candidates where the second difference of the summed
counts stands out of its noise (Poisson, and the channel-to-channel structure of the ADC)."""
from __future__ import annotations

import bisect
import math
from dataclasses import dataclass

import numpy as np

from quodex.utils.numerics.kernels.mariscotti import mariscotti_peak_search_cy

__all__ = ["search", "scan", "merge", "rebin", "Candidate", "SCALES", "ChannelStructure", "channel_structure",
           "PERIODS"]

SCALES = tuple(sorted({int(round(b * 2 ** k)) for k in range(17) for b in (1.0, 1.5)} - {0}))
"""The summed widths (channels) the search tries, narrowest first: steps of 1.5 and 4/3 up to 98 304,
of which a spectrum tries those up to an eighth of its channels. Each width costs the same, so the
cost grows with the logarithm of the widest peak, not with its width."""
PERIODS = (2, 3, 4, 8)
"""The periods (channels) of ADC gain patterns looked for."""
MEDIAN_CHI2_1 = 0.454936423119572  # median of a chi-square of one degree of freedom


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


def scan(counts, scale, threshold, excess=0.0):
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
    excess : float
        Relative variance of one channel's width (`ChannelStructure.excess`): a sum of `scale`
        channels varies by excess / scale of its square beyond its Poisson variance.

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
        if excess > 0:  # S = y[i-1] - 2 y[i] + y[i+1]: its variance from the channels' widths
            sq = y * y * (excess / scale)
            f = np.sqrt(f * f + np.concatenate(([0.0], sq[:-2] + 4.0 * sq[1:-1] + sq[2:], [0.0])))
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


def search(counts, threshold, scales, excess=0.0):
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
    excess : float
        Relative variance of one channel's width (see `scan`).

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
            cands = [c for c in scan(counts, s, threshold, excess) if scales(c.channel)[0] <= s <= scales(c.channel)[1]]
        elif s in scales:
            cands = scan(counts, s, threshold, excess)
        else:
            continue
        found.extend(cands)
    return found


@dataclass(frozen=True)
class ChannelStructure:
    """What the channel-to-channel structure of a spectrum shows of its ADC.

    Attributes
    ----------
    period : int
        Channels after which a significant gain pattern repeats; 0 without one.
    pattern : tuple of float
        The relative gain of each channel of a period (mean 1); () without one.
    excess : float
        Relative variance of a channel's width left beyond Poisson counting after the pattern is
        corrected (0 when none is seen).
    """
    period: int = 0
    pattern: tuple = ()
    excess: float = 0.0

    def __str__(self):
        parts = []
        if self.period:
            spread = 100.0 * (max(self.pattern) - min(self.pattern)) / 2.0
            parts.append(f"a gain pattern repeating every {self.period} channels (+-{spread:.1f} %) corrected")
        if self.excess > 0:
            parts.append(f"channel widths vary by {100.0 * np.sqrt(self.excess):.1f} % beyond it" if self.period else
                         f"channel widths vary by {100.0 * np.sqrt(self.excess):.1f} %")
        return "; ".join(parts)


def _periodic_gain(counts, period, min_counts=20.0):
    """(gain per channel of the period, its significance as a chi-square over period - 1 degrees of
    freedom) from blocks of channels, each compared with its smooth average over whole periods; the
    median over blocks ignores the few blocks that a peak's curvature moves."""
    n = len(counts)
    block_periods = int(np.clip(n // (16 * period), 4, 16))  # 16 blocks at least where the channels allow
    w = np.ones(2 * period + 1)
    w[0] = w[-1] = 0.5
    w /= w.sum()  # every phase of the period weighs the same
    smooth = np.convolve(counts, w, "same")
    block = period * block_periods
    nb = (n - 2 * period) // block
    if nb < 8:
        return None, 0.0
    sl = slice(period, period + nb * block)
    y = counts[sl].reshape(nb, block_periods, period).sum(axis=1)
    s = smooth[sl].reshape(nb, block_periods, period).sum(axis=1)
    good = s.min(axis=1) >= min_counts * block_periods
    if good.sum() < 8:
        return None, 0.0
    ratio = y[good] / s[good]
    ratio /= ratio.mean(axis=1, keepdims=True)
    gain = np.median(ratio, axis=0)
    spread = 1.4826 * np.median(np.abs(ratio - gain), axis=0) * 1.2533 / np.sqrt(len(ratio))
    spread = np.maximum(spread, 1e-12)
    gain /= gain.mean()
    return gain, float(np.sum(((gain - 1.0) / spread) ** 2))


def _width_variance(counts, min_counts=10.0, min_channels=1024):
    """Relative variance of the channels' widths beyond Poisson counting, from how far each channel
    departs from the mean of its neighbours: the median keeps peaks' curvature out; 0 when the
    departures are as Poisson counting makes them. Below `min_channels` peaks a channel or two wide
    take too large a share of the channels to be kept out."""
    y = counts
    if len(y) < min_channels:
        return 0.0
    m = (y[:-2] + y[1:-1] + y[2:]) / 3.0
    keep = m >= min_counts
    if keep.sum() < 64:
        return 0.0
    d = (y[1:-1] - 0.5 * (y[:-2] + y[2:]))[keep]
    m = m[keep]
    t2 = d * d / (1.5 * m)
    # a median of chi-square(1) values scatters by about 2.3 / sqrt(N) of itself
    if np.median(t2) <= MEDIAN_CHI2_1 * (1.0 + 5.0 * 2.33 / np.sqrt(len(t2))):
        return 0.0
    lo, hi = 0.0, 1.0
    for _ in range(50):  # the variance that brings the median back to chi-square's
        mid = 0.5 * (lo + hi)
        if np.median(t2 / (1.0 + mid * m)) > MEDIAN_CHI2_1:
            lo = mid
        else:
            hi = mid
    return hi


def channel_structure(counts, significance=50.0):
    """The ADC's marks on a spectrum: a periodic gain pattern (neighbouring channels alternating in
    width, or a longer period) and the independent variance of the channels' widths.

    A pattern counts only where it stands out of the counting noise of the whole spectrum by a
    chi-square of `significance` beyond its degrees of freedom; the shortest such period is taken.

    Parameters
    ----------
    counts : numpy.ndarray
        float64 counts per channel.
    significance : float
        Chi-square (beyond its degrees of freedom) a pattern must reach.

    Returns
    -------
    corrected : numpy.ndarray
        The counts divided by the pattern's gain (the counts themselves without one).
    structure : ChannelStructure
    """
    counts = np.asarray(counts, dtype=np.float64)
    best = None
    for period in PERIODS:
        gain, chi2 = _periodic_gain(counts, period)
        if gain is not None and chi2 - (period - 1) > significance + 5.0 * np.sqrt(2.0 * (period - 1)):
            best = (period, gain)
            break
    corrected = counts
    if best is not None:
        period, gain = best
        corrected = counts / np.resize(gain, len(counts))
    structure = ChannelStructure(best[0] if best else 0, tuple(float(g) for g in best[1]) if best else (),
                                 _width_variance(corrected))
    return corrected, structure
