"""quodex-spectrum: analyse a measured gamma-ray spectrum (or, without a file, a synthetic one)."""
from __future__ import annotations

import argparse
import importlib.util
import math
import os
import sys
import time

# Peak fits are many small least-squares problems: BLAS threads only contend for the cores (4x slower
# measured on a busy 2-core machine). Effective when NumPy is not loaded yet, as from the command line.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

from . import report, synthetic
from . import unfold as uf
from .analysis import MIN_CHANNELS, Options, analyse
from .calibration import energy_axis
from .model import Calibration, Spectrum, SpectrumFileError
from .peaks import DETECTORS
from .readers import read_spectrum

PROG = "quodex-spectrum"


def _positive_int(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be at least 0: {text}")
    return value


def _positive_float(text):
    value = float(text)
    if not value > 0 or not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text}")
    return value


def _numbers(text):
    try:
        values = tuple(float(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected numbers separated by commas: {text!r}") from None
    if not all(math.isfinite(v) for v in values):
        raise argparse.ArgumentTypeError(f"numbers must be finite: {text!r}")
    return values


def _energies(text):
    values = _numbers(text)
    if not all(v > 0 for v in values):
        raise argparse.ArgumentTypeError(f"energies must be positive numbers: {text!r}")
    return values


def _calibration(text):
    values = _numbers(text)
    if len(values) < 2:
        raise argparse.ArgumentTypeError(f"expected at least c0,c1: {text!r}")
    return values


def parser():
    p = argparse.ArgumentParser(
        prog=PROG, description="Finds, fits and identifies the peaks of a gamma-ray spectrum, sharpens and unfolds it.",
        epilog="Formats read: IAEA/ORTEC SPE, ANSI N42.42 (2006, 2011), ORTEC CHN, Amptek MCA, pocket-spectrometer "
               "XML, TKA, and text (counts; channel, counts; energy, counts; channel, energy, counts). Without FILE a "
               "synthetic HPGe spectrum of a mixed source is analysed.")
    p.add_argument("file", nargs="?", metavar="FILE", help="the spectrum file")
    p.add_argument("--lines", type=_energies, default=None, metavar="E1,E2,...",
                   help="known line energies in keV (default: none; the mixed source for the synthetic spectrum)")
    p.add_argument("--calibration", type=_calibration, metavar="c0,c1[,c2,...]",
                   help="energy calibration keV = sum c_i ch^i, replacing the file's")
    p.add_argument("--recalibrate", action="store_true",
                   help="refine the calibration from found peaks matched to --lines (gain from 1 line, linear from 2, "
                        "quadratic from 3 or more)")
    p.add_argument("--detector", choices=sorted(DETECTORS), help="a hint of the detector kind, used only when the "
                   "spectrum does not show its resolution")
    p.add_argument("--measurement", type=int, metavar="N", help="in a file of several spectra, analyse the N-th "
                   "(from 1) instead of their sum")
    p.add_argument("--response", metavar="FILE.npz", help="detector response for the unfolding: arrays matrix "
                   "(R x M), ref_energies (R, keV) and energy_axis (M, keV)")
    p.add_argument("--threshold", type=_positive_float, default=5.0,
                   help="significance in standard deviations for the search and the net areas (default 5)")
    p.add_argument("--json", metavar="FILE", help="write the results as JSON")
    p.add_argument("--plot", metavar="FILE.png", help="draw the spectrum, the fits and the unfolding (needs matplotlib)")
    p.add_argument("--seed", type=int, default=1, help="seed of the synthetic spectrum (default 1)")
    p.add_argument("--rl-iterations", type=_positive_int, default=100, help="Richardson-Lucy iterations (default 100)")
    p.add_argument("--em-iterations", type=_positive_int, default=200, help="ML-EM iterations (default 200)")
    return p


def load(args):
    """(spectrum, energies, calibration used, known lines) from the arguments."""
    if args.file is None:
        energy, counts = synthetic.hpge_mixed_source(seed=args.seed)
        spectrum = Spectrum(counts, f"synthetic mixed source, seed {args.seed}", "synthetic", energies=energy)
        return spectrum, energy, None, args.lines or synthetic.MIXED_SOURCE_KEV
    spectrum = read_spectrum(args.file, args.measurement)
    override = Calibration(args.calibration, "--calibration") if args.calibration else None
    energy, calibration = energy_axis(spectrum, override)
    if spectrum.channels < MIN_CHANNELS:
        raise SpectrumFileError(f"{args.file}: a spectrum needs at least {MIN_CHANNELS} channels, found {spectrum.channels}")
    if not energy[-1] > 0:
        raise SpectrumFileError(f"{args.file}: energies end at {energy[-1]:g} keV")
    return spectrum, energy, calibration, args.lines or ()


def main(argv=None):
    args = parser().parse_args(argv)

    def fail(message):
        print(f"{PROG}: error: {message}", file=sys.stderr)
        return 2

    if args.plot and importlib.util.find_spec("matplotlib") is None:
        return fail("--plot needs matplotlib (pip install matplotlib)")
    for out in (args.plot, args.json):
        if out and not os.path.isdir(os.path.dirname(os.path.abspath(out))):
            return fail(f"cannot write {out}: no such directory")
    t0 = time.perf_counter()
    try:
        spectrum, energy, calibration, lines = load(args)
        response = uf.load_response(args.response) if args.response else None
    except SpectrumFileError as e:
        return fail(str(e))
    loaded = time.perf_counter() - t0
    options = Options(threshold=args.threshold, lines=tuple(lines), detector=args.detector,
                      recalibrate=args.recalibrate, response=response, rl_iterations=args.rl_iterations,
                      em_iterations=args.em_iterations)
    result = analyse(energy, spectrum.counts, options, calibration)
    result.times = {"reading": loaded, **result.times}
    if args.plot:
        t0 = time.perf_counter()
        try:
            report.figure(spectrum, result, args.plot)
        except OSError as e:
            return fail(f"cannot write {args.plot}: {e.strerror or e}")
        result.times["figure"] = time.perf_counter() - t0
    print(report.text(spectrum, result))
    for w in list(spectrum.notes) + result.warnings:
        print(f"{PROG}: warning: {w}", file=sys.stderr)
    if args.json:
        try:
            report.write_json(args.json, report.to_json(spectrum, result))
        except OSError as e:
            return fail(f"cannot write {args.json}: {e.strerror or e}")
    if args.plot:
        print(f"Figure written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
