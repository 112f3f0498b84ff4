"""quodex-spectrum: analyse a measured gamma-ray spectrum (or, without a file, a synthetic one)."""
from __future__ import annotations

import argparse
import contextlib
import importlib.util
import math
import os
import re
import signal
import sys
import tempfile
import threading
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

__all__ = ["main", "parser", "options_of", "json_names", "PROG", "DEFAULT_SEED"]

PROG = "quodex-spectrum"
"""The command's name, in its usage and error lines."""
DEFAULT_SEED = 1
"""The synthetic spectrum's seed when --seed is not given."""


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
    p.add_argument("--version", action="version", version=f"%(prog)s {batch.version()}")
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
    p.add_argument("--seed", type=int, default=None, help=f"seed of the synthetic spectrum, without FILE "
                   f"(default {DEFAULT_SEED})")
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
        stderr). Ctrl-C (SIGINT) and a closed standard output (SIGPIPE, as in ``| head``) end the
        process at once, without a message, as they end other commands (the shell shows 130 and 141);
        no output is left half-written.

    Raises
    ------
    SystemExit
        From argparse, for ``--help``, ``--version`` or arguments it refuses (code 2).
    """
    with _signals_end_the_process():
        try:
            return _main(argv)
        except KeyboardInterrupt:  # where the signal stayed Python's (called off the main thread)
            _flush_quietly()
            return 130
        except BrokenPipeError:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return 141


@contextlib.contextmanager
def _signals_end_the_process():
    """Ctrl-C and a closed pipe end the process at once, quietly, as they end any command: a kernel
    that holds the GIL for seconds would delay a Python handler, and a half-done analysis has nothing
    to save (outputs are renamed into place only when complete; worker processes end with their
    parent). The handlers in place before are restored on return, for callers in the same process."""
    saved = {}
    if threading.current_thread() is threading.main_thread():
        for name in ("SIGINT", "SIGPIPE"):
            number = getattr(signal, name, None)
            # a SIGINT ignored by the caller (a background job) stays ignored; Python ignores SIGPIPE itself
            if number is not None and (name == "SIGPIPE" or signal.getsignal(number) is not signal.SIG_IGN):
                saved[number] = signal.signal(number, signal.SIG_DFL)
    try:
        yield
    finally:
        for number, handler in saved.items():
            signal.signal(number, handler)


def _flush_quietly():
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass


def _check_output(path, kind, inputs, fail, probed=None):
    """None when `path` can be written as an output, else the exit code of the one-line error.

    `inputs` is the set of the inputs' real paths; `probed`, a set of folders already found writable."""
    folder = os.path.dirname(os.path.abspath(path)) or "."
    if os.path.isdir(path):
        return fail(f"cannot write {kind} {path}: it is a directory")
    if not os.path.isdir(folder):
        return fail(f"cannot write {kind} {path}: no such directory {folder}")
    if os.path.realpath(path) in inputs:
        return fail(f"will not write {kind} {path}: it is an input of this run; name another file")
    if probed is not None and folder in probed:
        return None
    try:  # write access as the file system grants it (permissions, read-only mounts, quotas)
        fd, probe = tempfile.mkstemp(prefix=".quodex-probe.", dir=folder)
        os.close(fd)
        os.unlink(probe)
    except OSError as e:
        return fail(f"cannot write {kind} {path}: {e.strerror or e}")
    if probed is not None:
        probed.add(folder)
    return None


def _plot_format_error(path):
    """Why matplotlib cannot write `path` (not installed, or not a format it writes by that
    extension), or None."""
    if importlib.util.find_spec("matplotlib") is None:
        return "--plot needs matplotlib (pip install matplotlib)"
    from matplotlib.backend_bases import FigureCanvasBase
    formats = FigureCanvasBase.get_supported_filetypes()
    extension = os.path.splitext(path)[1][1:].lower()
    if extension not in formats:
        return (f"--plot {path}: {'.' + extension if extension else 'no extension'} is not an image format; "
                f"name a file ending in one of {', '.join('.' + f for f in sorted(formats))}")
    return None


def _main(argv):
    args = parser().parse_args(argv)

    def fail(message):
        print(f"{PROG}: error: {batch.shown(message)}", file=sys.stderr)
        return 2

    if args.spectrum:
        args.files.append(args.spectrum)
    if args.jobs < 1:
        return fail("--jobs must be at least 1")
    files = batch.expand(args.files, args.out_dir or (None if len(args.files) < 2 else "quodex-spectrum-results"))
    if args.seed is not None and args.files:
        print(f"{PROG}: warning: --seed only seeds the synthetic spectrum made without FILE; ignored",
              file=sys.stderr)
    if len(files) > 1 or args.out_dir or args.dask or files != args.files:  # a folder or a pattern: a batch
        return run_batch(args, files, fail)
    if args.plot and (error := _plot_format_error(args.plot)):
        return fail(error)
    if args.json and args.plot and os.path.realpath(args.json) == os.path.realpath(args.plot):
        return fail("--json and --plot name the same file")
    for out, kind in ((args.json, "JSON"), (args.plot, "figure")):
        if out and (code := _check_output(out, kind, {os.path.realpath(f) for f in files}, fail)) is not None:
            return code
    t0 = time.perf_counter()
    item = files[0] if files else None
    seed = DEFAULT_SEED if args.seed is None else args.seed
    try:
        options = options_of(args, args.lines or (() if files else synthetic.MIXED_SOURCE_KEV)).with_response_loaded()
        if item is None:
            energy, counts = synthetic.hpge_mixed_source(seed=seed)
            item = Spectrum(counts, f"synthetic mixed source, seed {seed}", "synthetic", energies=energy)
        result = batch.run(item, options)
        doc = batch.document(item, result, options) if args.json else None
    except SpectrumError as e:
        return fail(batch.describe(e, files[0] if files else None))
    except batch.ANALYSIS_FAULTS as e:
        return fail(batch.internal_error(files[0] if files else "synthetic spectrum", e))
    times = {**result.times, "total": time.perf_counter() - t0}
    if args.plot:
        t0 = time.perf_counter()
        try:
            report.figure(result, args.plot)
        except OSError as e:
            return fail(f"cannot write {args.plot}: {e.strerror or e}")
        times["figure"] = time.perf_counter() - t0
    result = replace(result, times=times)
    if args.json:
        try:
            doc["times"] = {k: round(v, 4) for k, v in times.items()}
            report.write_json(args.json, doc)
        except OSError as e:
            return fail(f"cannot write {args.json}: {e.strerror or e}")
        except ValueError as e:
            return fail(f"{files[0] if files else 'synthetic spectrum'}: results not written: {e}")
    print(batch.shown(report.text(result)))  # warnings included
    if args.json:
        print(f"Results written to {batch.shown(args.json)}")
    if args.plot:
        print(f"Figure written to {batch.shown(args.plot)}")
    return 0


def json_names(paths):
    """A JSON file name per spectrum of a batch, one per input.

    Parameters
    ----------
    paths : sequence of str

    Returns
    -------
    list of str
        Each file's whole name with ``.json`` added (``x.Spe.json``, so that ``x.Spe`` and ``x.spe2``
        stay apart), preceded by as many of its folders (joined by ``__``) as tell it from the others.
    """
    parts = [os.path.normpath(os.path.abspath(p)).strip(os.sep).split(os.sep) for p in paths]
    depth = [1] * len(parts)
    while True:
        names = ["__".join(q[-d:]) for q, d in zip(parts, depth)]
        seen = {}
        for i, n in enumerate(names):
            seen.setdefault(n, []).append(i)
        clash = [i for group in seen.values() if len(group) > 1 for i in group if depth[i] < len(parts[i])]
        if not clash:
            return [n + ".json" for n in names]
        for i in clash:
            depth[i] += 1


def run_batch(args, files, fail):
    if args.json or args.plot:
        return fail("--json and --plot take one spectrum; a batch writes its JSON to --out-dir")
    if not files:
        return fail("no spectrum files given")
    out_dir = args.out_dir or "quodex-spectrum-results"
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        return fail(f"--out-dir {out_dir} is a file, not a directory")
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as e:
        return fail(f"cannot write --out-dir {out_dir}: {e.strerror or e}")
    names = [os.path.join(out_dir, n) for n in json_names(files)]
    stem = os.path.join(out_dir, "summary")
    inputs, probed = {os.path.realpath(f) for f in files}, set()
    for out in names + [stem + ".csv", stem + ".parquet", stem + ".incomplete"]:
        if (code := _check_output(out, "output", inputs, fail, probed)) is not None:
            return code
    try:
        options = options_of(args, args.lines or ()).with_response_loaded()
    except SpectrumError as e:
        return fail(str(e))
    executor, closer = None, []
    if args.dask:
        try:
            from dask.distributed import Client, LocalCluster
        except ImportError:
            return fail("--dask needs dask.distributed: pip install '.[dask]' in the checkout (or 'dask[distributed]')")
        try:
            if args.dask == "local":
                cluster = LocalCluster(n_workers=args.jobs, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
                closer.append(cluster)
                executor = Client(cluster)
            else:
                executor = Client(args.dask, timeout="5s")
        except (OSError, TimeoutError, ValueError) as e:
            for c in closer:
                c.close()
            return fail(f"cannot reach the Dask scheduler at {args.dask}: {' '.join(str(e).split())}; start one "
                        f"(dask scheduler) or use --dask local")
        closer.insert(0, executor)
    elif args.jobs > 1 and len(files) > 1:
        executor = batch.process_pool(min(args.jobs, len(files)), options)
    try:
        batch.begin_summary(stem, files)
    except OSError as e:
        return fail(f"cannot write {stem}.incomplete: {e.strerror or e}")
    results = gen = batch.analyse_many(files, options, executor)
    if sys.stderr.isatty() and importlib.util.find_spec("tqdm") is not None:
        from tqdm import tqdm
        results = tqdm(results, total=len(files), unit="spectrum", file=sys.stderr)
    docs, failed = [], []
    try:
        for doc, name in zip(results, names):
            docs.append(doc)
            if "error" in doc:
                failed.append(doc["error"])
            try:
                report.write_json(name, doc)
            except ValueError as e:  # a number JSON cannot hold: the document says so instead
                doc = {k: v for k, v in doc.items() if k in ("program", "options", "input")}
                doc["error"] = f"{doc['input']['path']}: results not written: {e}"
                docs[-1] = doc
                failed.append(doc["error"])
                report.write_json(name, doc)
        written = batch.write_summary(batch.summary_rows(docs), stem)
        batch.end_summary(stem)
    except OSError as e:
        return fail(f"cannot write into {out_dir}: {e.strerror or e}")
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
