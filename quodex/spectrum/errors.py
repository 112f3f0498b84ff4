"""The errors of the spectrum analysis. Each is a ValueError whose message is one line saying what is
wrong and where; `SpectrumError` catches them all."""
from __future__ import annotations

__all__ = ["SpectrumError", "SpectrumFileError", "FileFormatError", "ResponseFileError", "OptionsError",
           "SpectrumDataError"]


class SpectrumError(ValueError):
    """Base of every error of bad input to the analysis: files, options or spectra.

    Catch this to handle any of them; ``str(error)`` is the one-line message to show a user.
    """


class SpectrumFileError(SpectrumError):
    """A file that cannot be read or does not hold what it should.

    Parameters
    ----------
    message : str
        The fault, without the file's name.
    where : str, optional
        Where in the file it stands (``"line 12"``, ``"header"``, ``"Spectrum 2 LiveTimeDuration"``).
    path : str or os.PathLike, optional
        The file; readers leave it out and `read_spectrum` adds it once.

    Attributes
    ----------
    message : str
        The fault, whitespace collapsed to single spaces.
    where : str or None
        Where in the file it stands, if known.
    path : str or None
        The file, if known.

    Notes
    -----
    ``str(error)`` reads ``"PATH, WHERE: MESSAGE"``, dropping the parts that are not known. The error
    pickles with its three parts, so that worker processes can send it back.
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
        """The same error naming `path` (a reader's error, once the caller knows the file).

        Parameters
        ----------
        path : str or os.PathLike
            The file the error is about.

        Returns
        -------
        SpectrumFileError
            A new error of the same class, message and `where`.
        """
        return type(self)(self.message, self.where, path)

    def __reduce__(self):  # worker processes send errors back pickled
        return type(self), (self.message, self.where, self.path)


class FileFormatError(SpectrumFileError):
    """A spectrum file whose content is not a readable spectrum of a known format.

    Raised by `read_spectrum` with `where` (the line, field or part of the file at fault, or None) and
    `path` set; parameters and attributes as for `SpectrumFileError`.
    """


class ResponseFileError(SpectrumFileError):
    """A detector response file that cannot be read or does not hold a usable response.

    Raised where a response ``.npz`` is loaded (`quodex.spectrum.unfold.load_response`, hence `analyse`,
    `Options.with_response_loaded` and `batch.analyse_many`); parameters and attributes as for
    `SpectrumFileError`.
    """


class OptionsError(SpectrumError):
    """Options of the analysis that cannot be used (for this spectrum).

    Raised by `Options` when a value is out of its range (an iteration count below zero, an unknown
    detector kind), and by `analyse` when a given calibration does not ascend over the spectrum's
    channels. The message names the option.
    """


class SpectrumDataError(SpectrumError):
    """A spectrum that was read but cannot be analysed.

    Raised by `analyse` for too few channels, no energy scale (channels without a calibration), or
    energies that do not match the channels or end at or below zero.
    """
