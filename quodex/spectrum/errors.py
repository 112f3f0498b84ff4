"""The errors of the spectrum analysis. Each is a ValueError whose message is one line saying what is
wrong and where; `SpectrumError` catches them all."""
from __future__ import annotations

__all__ = ["SpectrumError", "SpectrumFileError", "FileFormatError", "ResponseFileError", "OptionsError",
           "SpectrumDataError"]


class SpectrumError(ValueError):
    """Base of every error of bad input to the analysis: files, options or spectra."""


class SpectrumFileError(SpectrumError):
    """A file that cannot be read or does not hold what it should.

    Parameters
    ----------
    message : str
        The fault, without the file's name.
    where : str, optional
        Where in the file it stands (``"line 12"``, ``"header"``, ``"Spectrum 2 LiveTimeDuration"``).
    path : str, optional
        The file; readers leave it out and `read_spectrum` adds it once.

    The message reads ``"PATH, WHERE: MESSAGE"``, dropping the parts that are not known.
    """

    def __init__(self, message, where=None, path=None):
        self.message = " ".join(str(message).split())
        self.where = where
        self.path = None if path is None else str(path)
        super().__init__(self._text())

    def _text(self):
        head = ", ".join(str(p) for p in (self.path, self.where) if p)
        return f"{head}: {self.message}" if head else self.message

    def at(self, path):
        """The same error naming `path` (a reader's error, once the caller knows the file)."""
        return type(self)(self.message, self.where, path)

    def __reduce__(self):  # worker processes send errors back pickled
        return type(self), (self.message, self.where, self.path)


class FileFormatError(SpectrumFileError):
    """A spectrum file whose content is not a readable spectrum of a known format."""


class ResponseFileError(SpectrumFileError):
    """A detector response file that cannot be read or does not hold a usable response."""


class OptionsError(SpectrumError):
    """Options of the analysis that cannot be used (for this spectrum): a calibration that does not
    ascend, an iteration count below zero, an unknown detector kind."""


class SpectrumDataError(SpectrumError):
    """A spectrum that was read but cannot be analysed: too few channels, no energy scale, energies that
    do not ascend or end at or below zero."""
