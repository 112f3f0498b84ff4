"""The spectrum as read from a file: counts per channel, what is known of the energy scale, times."""
from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np


class SpectrumFileError(ValueError):
    """A spectrum file that cannot be read or does not hold a usable spectrum. The message is one line
    naming the file, the line or field, and the fault."""


@dataclass(frozen=True)
class Calibration:
    """Energy of a channel: keV = sum(c[i] * ch**i), ch the channel number (0 for the first channel)."""
    coefficients: tuple
    source: str  # where it came from, e.g. "file ($MCA_CAL)", "--calibration", "recalibrated from 4 lines"

    def __post_init__(self):
        c = tuple(float(v) for v in self.coefficients)
        if not c or not all(math.isfinite(v) for v in c):
            raise ValueError(f"calibration coefficients must be finite numbers: {self.coefficients!r}")
        object.__setattr__(self, "coefficients", c)

    def __call__(self, channel):
        ch = np.asarray(channel, dtype=np.float64)
        out = np.zeros_like(ch)
        for c in reversed(self.coefficients):  # Horner
            out = out * ch + c
        return out

    def is_usable(self, channels: int) -> bool:
        """Energies ascend over the channels and are not all zero (files write 0, 1 or 0, 0 when there
        is no calibration)."""
        if len(self.coefficients) < 2 or not any(self.coefficients[1:]):
            return False
        e = self(np.arange(max(channels, 2)))
        return bool(np.all(np.diff(e) > 0))


@dataclass
class Spectrum:
    """One measured spectrum.

    counts: float64 counts per channel. energies: keV per channel when the file gives them channel by
    channel (energy columns of a text file), else None. calibration: the file's polynomial calibration,
    or None. Times in seconds, None when the file does not give them."""
    counts: np.ndarray
    path: str
    format: str  # e.g. "IAEA SPE", "N42 2011", "ORTEC CHN", "Amptek MCA", "RadiaCode XML", "TKA", "text"
    calibration: Calibration | None = None
    energies: np.ndarray | None = None
    live_time: float | None = None
    real_time: float | None = None
    start_time: str | None = None
    description: str | None = None
    detector: str | None = None  # the file's description of the detector, if any
    notes: list = field(default_factory=list)  # reader remarks worth a warning (e.g. "summed 60 measurements")

    @property
    def channels(self) -> int:
        return len(self.counts)
