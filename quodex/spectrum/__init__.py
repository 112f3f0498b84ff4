"""Analysis of measured gamma-ray spectra on the quodex kernels: readers of the files instruments
write, calibration, peak search and fits on any detector, identification, unfolding, reports."""
import importlib

_EXPORTS = {
    "read_spectrum": "readers", "Spectrum": "model", "Calibration": "model",
    "analyse": "analysis", "Options": "options",
    "Analysis": "results", "Peak": "results", "Flag": "results", "Identification": "results", "IdKind": "results",
    "Resolution": "detector", "DetectorKind": "detector",
    "SpectrumError": "errors", "SpectrumFileError": "errors", "FileFormatError": "errors",
    "ResponseFileError": "errors", "OptionsError": "errors", "SpectrumDataError": "errors",
}
__all__ = sorted(_EXPORTS)


def __getattr__(name):
    # Lazy, so that the command line can limit BLAS threads before NumPy loads.
    if name in _EXPORTS:
        return getattr(importlib.import_module(f".{_EXPORTS[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
