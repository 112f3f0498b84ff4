"""quodex-spectrum: analyse a measured gamma-ray spectrum (or, without a file, a synthetic one)."""
from __future__ import annotations

import argparse
import importlib.util
import math
import os
import re
import sys
import time
from dataclasses import replace

# Peak fits are many small least-squares problems: BLAS threads only contend for the cores (4x slower
# measured on a busy 2-core machine). Effective when NumPy is not loaded yet, as from the command line.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

from . import batch, report, synthetic
from .detector import KINDS
from .errors import SpectrumError
from .model import Spectrum
from .options import Options

__all__ = ["main", "parser", "options_of", "json_names", "PROG"]

PROG = "quodex-spectrum"
"""The command's name, in its usage and error lines."""


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


_NEGATIVE_LIST = re.compile(r"-[\d.]\S*,.*")  # "-11.72,0.0955": argparse reads it as an option


class _Parser(argparse.ArgumentParser):
    """Takes ``--calibration -11.72,0.0955`` as typed: a leading minus sign would make argparse read the
    coefficients as an unknown option."""

    def parse_known_args(self, args=None, namespace=None):
        args = list(sys.argv[1:] if args is None else args)
        out = []
        for i, arg in enumerate(args):
            if arg == "--":
                out += args[i:]
                break
            if out and len(out[-1]) > 3 and "--calibration".startswith(out[-1]) and _NEGATIVE_LIST.fullmatch(arg):
                out[-1] = f"{out[-1]}={arg}"  # also as abbreviated
            else:
                out.append(arg)
        return super().parse_known_args(out, namespace)


def parser():
    """The command line's argument parser.

    Returns
    -------
    argparse.ArgumentParser
    """
    p = _Parser(
        prog=PROG, description="Finds, fits and identifies the peaks of a gamma-ray spectrum, sharpens and unfolds it.",
        epilog="Formats read: IAEA/ORTEC SPE, ANSI N42.42 (2006, 2011), ORTEC CHN, Amptek MCA, pocket-spectrometer "
               "XML, TKA, and text (counts; channel, counts; energy, counts; channel, energy, counts). Without FILE a "
               "synthetic HPGe spectrum of a mixed source is analysed.")
    p.add_argument("files", nargs="*", metavar="FILE", help="spectrum files, directories or glob patterns; more "
                   "than one (or --out-dir, --dask) analyses them as a batch")
    p.add_argument("--spectrum", metavar="FILE", help=argparse.SUPPRESS)  # the example's former way to name FILE
    p.add_argument("--lines", type=_energies, default=None, metavar="E1,E2,...",
                   help="known line energies in keV (default: none; the mixed source for the synthetic spectrum)")
    p.add_argument("--calibration", type=_calibration, metavar="c0,c1[,c2,...]",
                   help="energy calibration keV = sum c_i ch^i, replacing the file's")
    p.add_argument("--recalibrate", action="store_true",
                   help="refine the calibration from found peaks matched to --lines (gain from 1 line, linear from 2, "
                        "quadratic from 3 or more)")
    p.add_argument("--detector", choices=sorted(KINDS), help="a hint of the detector kind, used only when the "
                   "spectrum does not show its resolution")
    p.add_argument("--measurement", type=int, metavar="N", help="in a file of several spectra, analyse the N-th "
                   "(from 1) instead of their sum")
    p.add_argument("--response", metavar="FILE.npz", help="detector response for the unfolding: arrays matrix "
                   "(R x M), ref_energies (R, keV) and energy_axis (M, keV)")
    p.add_argument("--library", metavar="FILE", help="nuclide library to name the spectrum from (JSON like the "
                   "shipped table, or CSV with columns nuclide,energy,intensity[,kind]); default: the shipped table")
    p.add_argument("--at", type=_energies, default=None, metavar="E1,E2,...",
                   help="report the net area and the detection limit (Currie) at these energies, keV")
    p.add_argument("--threshold", type=_positive_float, default=5.0,
                   help="significance in standard deviations for the search and the net areas (default 5)")
    p.add_argument("--json", metavar="FILE", help="write the results as JSON")
    p.add_argument("--plot", metavar="FILE.png", help="draw the spectrum, the fits and the unfolding (needs matplotlib)")
    p.add_argument("--out-dir", metavar="DIR", help="batch: one JSON per spectrum and summary.csv (and .parquet "
                   "with pyarrow) in DIR (default quodex-spectrum-results)")
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                   help="batch: worker processes (default: the number of cores)")
    p.add_argument("--dask", metavar="ADDRESS", help="batch: run on the dask.distributed scheduler at ADDRESS, or "
                   "'local' for a LocalCluster of --jobs processes")
    p.add_argument("--seed", type=int, default=1, help="seed of the synthetic spectrum (default 1)")
    p.add_argument("--rl-iterations", type=_positive_int, default=100, help="Richardson-Lucy iterations (default 100)")
    p.add_argument("--em-iterations", type=_positive_int, default=200, help="ML-EM iterations (default 200)")
    return p


def options_of(args, lines):
    """The analysis's options from the parsed command line.

    Parameters
    ----------
    args : argparse.Namespace
        As `parser` parses it.
    lines : iterable of float
        Known line energies, keV.

    Returns
    -------
    Options

    Raises
    ------
    OptionsError
        A value no parser type caught.
    """
    return Options(lines=tuple(lines), threshold=args.threshold, calibration=args.calibration,
                   recalibrate=args.recalibrate, detector=args.detector, measurement=args.measurement,
                   response=args.response, rl_iterations=args.rl_iterations, em_iterations=args.em_iterations,
                   library=args.library, at=args.at or ())


def main(argv=None):
    """Runs the command: one spectrum (or the synthetic one) reported as text, or a batch.

    Parameters
    ----------
    argv : list of str, optional
        The arguments, without the program's name; ``sys.argv[1:]`` when None.

    Returns
    -------
    int
        The exit code: 0 done, 1 a batch in which some spectra failed, 2 an error (one line on
        stderr).

    Raises
    ------
    SystemExit
        From argparse, for ``--help`` or arguments it refuses (code 2).
    """
    args = parser().parse_args(argv)

    def fail(message):
        print(f"{PROG}: error: {message}", file=sys.stderr)
        return 2

    if args.spectrum:
        args.files.append(args.spectrum)
    files = batch.expand(args.files)
    if args.jobs < 1:
        return fail("--jobs must be at least 1")
    if len(files) > 1 or args.out_dir or args.dask or files != args.files:  # a folder or a pattern: a batch
        return run_batch(args, files, fail)
    if args.plot and importlib.util.find_spec("matplotlib") is None:
        return fail("--plot needs matplotlib (pip install matplotlib)")
    for out in (args.plot, args.json):
        if out and not os.path.isdir(os.path.dirname(os.path.abspath(out))):
            return fail(f"cannot write {out}: no such directory")
    t0 = time.perf_counter()
    item = files[0] if files else None
    try:
        if item is None:
            energy, counts = synthetic.hpge_mixed_source(seed=args.seed)
            item = Spectrum(counts, f"synthetic mixed source, seed {args.seed}", "synthetic", energies=energy)
        result = batch.run(item, options_of(args, args.lines or (() if files else synthetic.MIXED_SOURCE_KEV)))
    except SpectrumError as e:
        return fail(batch.describe(e, files[0] if files else None))
    times = {**result.times, "total": time.perf_counter() - t0}
    if args.plot:
        t0 = time.perf_counter()
        try:
            report.figure(result, args.plot)
        except OSError as e:
            return fail(f"cannot write {args.plot}: {e.strerror or e}")
        times["figure"] = time.perf_counter() - t0
    result = replace(result, times=times)
    print(report.text(result))  # warnings included
    if args.json:
        try:
            report.write_json(args.json, report.to_json(result))
        except OSError as e:
            return fail(f"cannot write {args.json}: {e.strerror or e}")
    if args.plot:
        print(f"Figure written to {args.plot}")
    return 0


def json_names(paths):
    """A JSON file name per spectrum of a batch.

    Parameters
    ----------
    paths : sequence of str

    Returns
    -------
    list of str
        Each path's base name with ``.json``, or its whole path made flat (separators as ``__``) where
        base names repeat.
    """
    base = [os.path.splitext(os.path.basename(p))[0] for p in paths]
    return [(b if base.count(b) == 1 else os.path.splitext(os.path.normpath(p).strip(os.sep))[0].replace(os.sep, "__"))
            + ".json" for b, p in zip(base, paths)]


def run_batch(args, files, fail):
    if args.json or args.plot:
        return fail("--json and --plot take one spectrum; a batch writes its JSON to --out-dir")
    if not files:
        return fail("no spectrum files given")
    out_dir = args.out_dir or "quodex-spectrum-results"
    try:
        os.makedirs(out_dir, exist_ok=True)
        options = options_of(args, args.lines or ()).with_response_loaded()
    except OSError as e:
        return fail(f"cannot write {out_dir}: {e.strerror or e}")
    except SpectrumError as e:
        return fail(str(e))
    executor, closer = None, []
    if args.dask:
        try:
            from dask.distributed import Client, LocalCluster
        except ImportError:
            return fail("--dask needs dask.distributed: pip install 'quodex-kernels[dask]'")
        if args.dask == "local":
            cluster = LocalCluster(n_workers=args.jobs, threads_per_worker=1, processes=True, dashboard_address=None)
            closer.append(cluster)
            executor = Client(cluster)
        else:
            executor = Client(args.dask)
        closer.insert(0, executor)
    elif args.jobs > 1 and len(files) > 1:
        executor = batch.process_pool(min(args.jobs, len(files)), options)
    results = gen = batch.analyse_many(files, options, executor)
    if sys.stderr.isatty() and importlib.util.find_spec("tqdm") is not None:
        from tqdm import tqdm
        results = tqdm(results, total=len(files), unit="spectrum", file=sys.stderr)
    docs, failed = [], []
    try:
        for doc, name in zip(results, json_names(files)):
            docs.append(doc)
            if "error" in doc:
                failed.append(doc["error"])
            report.write_json(os.path.join(out_dir, name), doc)
        written = batch.write_summary(batch.summary_rows(docs), os.path.join(out_dir, "summary"))
    finally:
        gen.close()  # cancels what is left before the executor goes
        if executor is not None and not closer:
            executor.shutdown(cancel_futures=True)
        for c in closer:
            c.close()
    print(f"{'file':40s} {'peaks':>5s} {'identified':>10s}  missing lines / error")
    for doc in docs:
        path = doc["input"]["path"]
        if "error" in doc:
            print(f"{path[-40:]:40s} {'-':>5s} {'-':>10s}  error: {doc['error']}")
            continue
        named = sum(p["identification"] is not None for p in doc["peaks"])
        missing = ", ".join(f"{e:g}" for e in doc["missing_lines"])
        print(f"{path[-40:]:40s} {len(doc['peaks']):5d} {named:10d}  {missing}")
    print(f"{len(docs) - len(failed)} of {len(docs)} spectra analysed; results in {', '.join(written)}")
    for message in failed:
        print(f"{PROG}: error: {message}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
