"""The spectrum as read from a file: counts per channel, what is known of the energy scale, times."""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np


from .errors import SpectrumFileError  # noqa: F401  (its former home; callers import it from here)

__all__ = ["Spectrum", "Calibration"]


@dataclass(frozen=True)
class Calibration:
    """A polynomial energy calibration: keV = sum(c[i] * ch**i), ch the channel number (0 for the first).

    Called with channel numbers it gives their energies: ``Calibration((0.5, 0.25), "mine")(np.arange(8))``.

    Attributes
    ----------
    coefficients : tuple of float
        c0, c1, ...: keV, keV per channel, keV per channel squared, ...
    source : str
        Where it came from (``"file ($MCA_CAL)"``, ``"--calibration"``, ``"recalibrated (linear fit to
        2 lines)"``), shown in reports.
    variable : str
        What the polynomial is of, as reports print it: ``"ch"`` (channel numbers), or ``"E"`` for a
        refinement of energies a file gives channel by channel (keV = sum(c[i] * E**i), E the file's keV).

    Raises
    ------
    ValueError
        No coefficient, or one that is not a finite number.
    """
    coefficients: tuple
    source: str  # where it came from, e.g. "file ($MCA_CAL)", "--calibration", "recalibrated from 4 lines"
    variable: str = "ch"

    def __post_init__(self):
        c = tuple(float(v) for v in self.coefficients)
        if not c or not all(math.isfinite(v) for v in c):
            raise ValueError(f"calibration coefficients must be finite numbers: {self.coefficients!r}")
        object.__setattr__(self, "coefficients", c)

    def __call__(self, channel):
        """Energies (keV) of `channel` (a number or an array of channel numbers, fractional allowed)."""
        ch = np.asarray(channel, dtype=np.float64)
        out = np.zeros_like(ch)
        for c in reversed(self.coefficients):  # Horner
            out = out * ch + c
        return out

    def is_usable(self, channels: int) -> bool:
        """Whether the calibration gives a real energy scale over `channels` channels.

        Files write 0, 1 or 0, 0 when they have no calibration; such a calibration is not usable.

        Parameters
        ----------
        channels : int
            The number of channels of the spectrum.

        Returns
        -------
        bool
            True when it has a term in ch and its energies ascend over channels 0 .. channels - 1.
        """
        if len(self.coefficients) < 2 or not any(self.coefficients[1:]):
            return False
        e = self(np.arange(max(channels, 2)))
        return bool(np.all(np.diff(e) > 0))


@dataclass(frozen=True)
class Spectrum:
    """One measured spectrum, as read from a file or made from arrays.

    `read_spectrum` makes one from a file; from arrays, give the counts and an energy scale, either keV
    per channel (``Spectrum(counts, energies=energies)``) or a polynomial
    (``Spectrum(counts, calibration=Calibration((c0, c1), "mine"))``). Frozen: change a field with
    `dataclasses.replace`.

    Attributes
    ----------
    counts : numpy.ndarray
        Counts per channel (float64 from the readers; `analyse` takes any array_like of numbers).
    path : str
        The file it was read from, or a description (``"<array>"``); shown in reports.
    format : str
        The file's format (``"IAEA SPE"``, ``"N42 2011"``, ``"ORTEC CHN"``, ``"text"``, ...).
    calibration : Calibration or None
        The file's polynomial energy calibration.
    energies : numpy.ndarray or None
        keV per channel where the file gives them channel by channel (energy columns of a text file).
    live_time, real_time : float or None
        Seconds, where the file gives them.
    start_time, description, detector : str or None
        The start of the measurement (ISO 8601 where it could be read), the file's description of
        the sample and of the detector.
    notes : tuple of str
        The reader's remarks worth a warning (``"summed 60 measurements"``).
    """
    counts: np.ndarray
    path: str = "<array>"
    format: str = "array"
    calibration: Calibration | None = None
    energies: np.ndarray | None = None
    live_time: float | None = None
    real_time: float | None = None
    start_time: str | None = None
    description: str | None = None
    detector: str | None = None  # the file's description of the detector, if any
    notes: tuple = ()

    def __post_init__(self):
        object.__setattr__(self, "notes", tuple(self.notes))

    @property
    def channels(self) -> int:
        """The number of channels."""
        return len(self.counts)
