"""What a user chooses about an analysis, as one value shared by the command line, batches and the API."""
from __future__ import annotations

import math
import numbers
from dataclasses import dataclass, replace

from .errors import OptionsError

__all__ = ["Options"]


@dataclass(frozen=True)
class Options:
    """The choices of one analysis (or of every spectrum of a batch), checked when made.

    Made with keywords, ``Options(lines=(661.657, 1460.82), recalibrate=True)``; every attribute has a
    default. Values are normalised when made (numbers to float, sequences to tuples). Frozen: change one
    with `dataclasses.replace`.

    Attributes
    ----------
    threshold : float
        Significance, in standard deviations, of the search and of the reported net areas (default 5).
    lines : tuple of float
        Known line energies (keV, positive) to name peaks by and to recalibrate on (default none).
    detector : str or None
        A hint of the detector kind (a name of `quodex.spectrum.detector.KINDS`: ``"hpge"``,
        ``"cdte"``, ``"labr"``, ``"nai"``, ``"csi"``, ``"bgo"``), used only where the spectrum does
        not show its resolution.
    calibration : tuple of float or None
        Coefficients c0, c1[, c2, ...] of keV = sum(c[i] * ch**i), ch from 0 for the first channel;
        replaces the file's own calibration or energies.
    recalibrate : bool
        Refine the calibration from the found peaks matched to `lines`.
    measurement : int or None
        In a file of several spectra, the one (from 1) to analyse instead of their sum.
    response : str, os.PathLike, Response or None
        The detector response for the unfolding: a ``.npz`` path, or a response already loaded
        (`quodex.spectrum.unfold.load_response`). Without one the response is modelled.
    rl_iterations : int
        Richardson-Lucy iterations of the sharpening (default 100, at least 0).
    em_iterations : int
        ML-EM iterations of the unfolding (default 200, at least 0).
    library : str, os.PathLike, Library or None
        The nuclide library to name the spectrum from: a JSON or CSV file
        (`quodex.spectrum.library.load_library`), or one already loaded. The shipped table when None.
    at : tuple of float
        Energies (keV, positive) at which to report the net area and the detection limit.

    Raises
    ------
    OptionsError
        A value out of its range or of the wrong type, naming the option.
    """
    threshold: float = 5.0
    lines: tuple = ()
    detector: str | None = None
    calibration: tuple | None = None
    recalibrate: bool = False
    measurement: int | None = None
    response: object = None
    rl_iterations: int = 100
    em_iterations: int = 200
    library: object = None
    at: tuple = ()

    def __post_init__(self):
        set_ = object.__setattr__
        set_(self, "threshold", _number("threshold", self.threshold))
        if not self.threshold > 0:
            raise OptionsError(f"threshold must be a positive number, got {self.threshold:g}")
        set_(self, "lines", _numbers("lines", self.lines))
        if not all(e > 0 for e in self.lines):
            raise OptionsError(f"line energies must be positive numbers: {_listed(self.lines)}")
        if self.calibration is not None:
            set_(self, "calibration", _numbers("calibration", self.calibration))
            if len(self.calibration) < 2:
                raise OptionsError(f"calibration needs at least c0,c1: {_listed(self.calibration)}")
        if self.detector is not None:
            from .detector import KINDS
            if self.detector not in KINDS:
                raise OptionsError(f"detector must be one of {', '.join(sorted(KINDS))}, got {self.detector!r}")
        set_(self, "recalibrate", bool(self.recalibrate))
        if self.measurement is not None:
            set_(self, "measurement", _whole("measurement", self.measurement, 1))
        for name in ("rl_iterations", "em_iterations"):
            set_(self, name, _whole(name, getattr(self, name), 0))
        set_(self, "at", _numbers("at", self.at))
        if not all(e > 0 for e in self.at):
            raise OptionsError(f"energies to check (at) must be positive numbers: {_listed(self.at)}")

    def with_response_loaded(self):
        """The same options with a response path replaced by the response it names.

        Lets a batch read the response file (and the nuclide library file) once for all its spectra.

        Returns
        -------
        Options
            These options themselves when `response` is None or already loaded.

        Raises
        ------
        ResponseFileError
            The response file cannot be read or does not hold a usable response.
        """
        loaded = self
        if isinstance(self.response, (str, bytes)) or hasattr(self.response, "__fspath__"):
            from .unfold import load_response
            loaded = replace(loaded, response=load_response(self.response))
        if isinstance(self.library, (str, bytes)) or hasattr(self.library, "__fspath__"):
            from .library import load_library
            loaded = replace(loaded, library=load_library(self.library))
        return loaded


def _listed(values):
    return ",".join(f"{v:g}" for v in values)


def _number(name, value):
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value):
        raise OptionsError(f"{name} must be a finite number, got {value!r}")
    return float(value)


def _numbers(name, values):
    if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
        raise OptionsError(f"{name} must be a sequence of numbers, got {values!r}")
    return tuple(_number(name, v) for v in values)


def _whole(name, value, least):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < least:
        raise OptionsError(f"{name} must be a whole number of at least {least}, got {value!r}")
    return int(value)
