"""Analysis of measured gamma-ray spectra on the quodex kernels: readers of the files instruments
write, calibration, peak search and fits on any detector, identification, unfolding, reports."""
from .model import Calibration, Spectrum, SpectrumFileError

__all__ = ["Calibration", "Spectrum", "SpectrumFileError"]
