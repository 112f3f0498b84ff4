"""Many spectra: the same analysis for each, in worker processes or on a Dask cluster, results in input
order, and a summary table of every spectrum's peaks (CSV, and Parquet where pyarrow is installed)."""
from __future__ import annotations

import csv
import dataclasses
import glob
import hashlib
import os
import re
import signal
import sys

import numpy as np
from numpy.linalg import LinAlgError

from . import report
from .analysis import analyse
from .errors import SpectrumError, SpectrumFileError
from .model import Spectrum
from .options import Options
from .readers import read_spectrum

__all__ = ["analyse_many", "analyse_one", "run", "process_pool", "describe", "expand", "summary_rows",
           "write_summary", "begin_summary", "end_summary", "SUMMARY_COLUMNS", "SUMMARY_FILES", "document", "provenance", "version", "shown", "is_result_file",
           "PROGRAM"]

PROGRAM = "quodex-spectrum"
"""The program's name, as its documents record it."""


def version():
    """The installed package's version, or the checkout's (from pyproject.toml) when run from source."""
    from importlib import metadata
    try:
        return metadata.version("quodex-kernels")
    except metadata.PackageNotFoundError:
        pass
    here = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "pyproject.toml")
    try:
        with open(here, encoding="utf-8") as f:
            found = re.search(r'^version\s*=\s*"([^"]+)"', f.read(), re.M)
    except OSError:
        found = None
    return f"{found.group(1)} (source)" if found else "unknown"


def shown(path) -> str:
    """A path as text that any output can hold: bytes of a file name that are not UTF-8 written as
    ``\\xNN`` escapes."""
    return os.fspath(path).encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def _options_record(options):
    record = {}
    for f in dataclasses.fields(options):
        value = getattr(options, f.name)
        if f.name == "response" and value is not None:
            value = shown(getattr(value, "source", value))
        if f.name == "library" and value is not None:  # a loaded library by its file
            value = shown(value.source.get("file", "")) if hasattr(value, "source") else shown(value)
        record[f.name] = list(value) if isinstance(value, tuple) else value
    return record


def provenance(item, options):
    """What made a document: the program and its version, the options, and the input file's size and
    SHA-256 (for a path).

    Parameters
    ----------
    item : str, os.PathLike, Spectrum or pair
    options : Options

    Returns
    -------
    dict
        ``program``, ``options`` and ``input`` (``path`` and, for a readable file, ``bytes`` and
        ``sha256``).
    """
    source = {"path": shown(_path_of(item))}
    if isinstance(item, (str, os.PathLike)):
        digest, size = hashlib.sha256(), 0
        try:
            with open(item, "rb", buffering=0) as f:
                if os.path.isfile(item):
                    while chunk := f.read(1 << 20):
                        digest.update(chunk)
                        size += len(chunk)
                    source.update(bytes=size, sha256=digest.hexdigest())
        except OSError:
            pass
    return {"program": {"name": PROGRAM, "version": version()}, "options": _options_record(options), "input": source}


def document(item, result, options):
    """The JSON document of an analysis with its provenance (see `provenance`) first.

    Parameters
    ----------
    item : str, os.PathLike, Spectrum or pair
        What was analysed.
    result : Analysis
    options : Options

    Returns
    -------
    dict
        ``program`` and ``options``, then `report.to_json`'s keys, ``input`` holding the file's size
        and hash besides what the analysis read.
    """
    head = provenance(item, options)
    doc = report.to_json(result)
    doc["input"] = {**doc["input"], **head.pop("input")}
    return {**head, **doc}


def is_result_file(path) -> bool:
    """Whether a file is a document this program wrote (its results are never read as a spectrum)."""
    if not os.fspath(path).lower().endswith(".json"):
        return False
    try:
        with open(path, "rb") as f:
            head = f.read(64)
    except OSError:
        return False
    return re.match(rb'\{\s*"program":\s*\{\s*"name":\s*"' + PROGRAM.encode() + rb'"', head) is not None


# Faults of the analysis itself, not of its input. LinAlgError is named apart: older NumPy releases
# do not derive it from ValueError.
ANALYSIS_FAULTS = (ArithmeticError, MemoryError, RuntimeError, TypeError, ValueError, IndexError, LinAlgError)


def internal_error(where, e: BaseException) -> str:
    """The one-line message naming a fault of the analysis at `where`."""
    return f"{where}: internal error ({type(e).__name__}: {' '.join(str(e).split())})"


def describe(error: SpectrumError, path) -> str:
    """The one-line message of an error met analysing an item.

    Parameters
    ----------
    error : SpectrumError
    path : str or None
        The item's path or description.

    Returns
    -------
    str
        ``"PATH: MESSAGE"``, or the error's own message for file errors, which name their file already.
    """
    if isinstance(error, SpectrumFileError) or path is None:
        return str(error)
    return f"{path}: {error}"


def run(item, options: Options | None = None):
    """The `Analysis` of a file path, a `Spectrum`, or an (energies, counts) pair.

    Parameters
    ----------
    item : str, os.PathLike, Spectrum or (array_like, array_like)
        A file (read with these options), a spectrum, or keV and counts per channel.
    options : Options, optional
        The defaults of `Options` when None.

    Returns
    -------
    Analysis

    Raises
    ------
    SpectrumError
        The file cannot be read or the spectrum cannot be analysed with these options.
    """
    options = Options() if options is None else options
    if isinstance(item, (str, os.PathLike)):
        item = read_spectrum(item, options)
    elif not isinstance(item, Spectrum):
        energy, counts = (np.asarray(a, dtype=np.float64) for a in item)
        item = Spectrum(counts, "<array>", "array", energies=energy)
    return analyse(item, options)


def _path_of(item):
    if isinstance(item, (str, os.PathLike)):
        return os.fspath(item)
    return item.path if isinstance(item, Spectrum) else "<array>"


def analyse_one(item, options: Options | None = None):
    """The JSON document of one item, or its error: one bad file must not stop a batch.

    Parameters
    ----------
    item : str, os.PathLike, Spectrum or (array_like, array_like)
        As for `run`.
    options : Options, optional

    Returns
    -------
    dict
        `report.to_json` of its analysis, or ``{"input": {"path": PATH}, "error": MESSAGE}`` where a
        `SpectrumError` was raised.
    """
    options = Options() if options is None else options
    try:
        result = run(item, options)
        return document(item, result, options)
    except SpectrumError as e:
        message = describe(e, shown(_path_of(item)))
    except ANALYSIS_FAULTS as e:  # a fault of the analysis, not of the input: named as such, and the batch goes on
        message = internal_error(shown(_path_of(item)), e)
    return {**provenance(item, options), "error": shown(message)}


_worker_options = None


def _init_worker(options, parent=None):
    global _worker_options
    _worker_options = options
    end_with_parent(parent)


def end_with_parent(parent=None):
    """Makes this worker process end when its parent ends, and leaves Ctrl-C to the parent.

    Linux: the kernel sends SIGKILL at the parent's death (PR_SET_PDEATHSIG); elsewhere a daemon
    thread checks the parent's process id every second.

    Parameters
    ----------
    parent : int, optional
        The parent's process id as the parent saw it; a worker whose parent is already gone ends at once.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent handles Ctrl-C and ends the workers
    parent = os.getppid() if parent is None else parent
    if sys.platform.startswith("linux"):
        import ctypes
        try:
            ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
        except (OSError, AttributeError):
            pass
        else:
            if os.getppid() != parent:  # died before the request took effect
                os._exit(1)
            return
    import threading
    import time

    def watch():
        while os.getppid() == parent:
            time.sleep(1.0)
        os._exit(1)
    threading.Thread(target=watch, daemon=True, name="parent-watch").start()


def _analyse_in_worker(item):
    return analyse_one(item, _worker_options)


def analyse_many(items, options: Options | None = None, executor=None):
    """Yields the JSON document of every item (a path, a Spectrum or an (energies, counts) pair) in input
    order.

    Parameters
    ----------
    items : iterable
        Paths, Spectrum values or (energies, counts) pairs; read into a list first.
    options : Options, optional
        Shared by every item; a response file it names is read once, here.
    executor : optional
        None (this process), a `concurrent.futures` executor, or a `dask.distributed.Client`. With a
        Client the options are scattered to the workers once; a pool made by `process_pool` holds them
        from its workers' start.

    Yields
    ------
    dict
        As from `analyse_one`: the JSON document, or ``{"input": ..., "error": ...}`` for an item that
        cannot be analysed. Closing the generator early cancels the work not yet started.

    Raises
    ------
    ResponseFileError
        The response file named in the options cannot be used (raised by the call, before any item).
    """
    items = list(items)
    options = (Options() if options is None else options).with_response_loaded()
    return _documents(items, options, executor)


def _documents(items, options, executor):
    if executor is None:
        for item in items:
            yield analyse_one(item, options)
        return
    if _is_dask(executor):
        shared = executor.scatter(options, broadcast=True)
        futures = [executor.submit(analyse_one, item, shared, pure=False) for item in items]
    elif getattr(executor, "_quodex_options", None) is not None:
        futures = [executor.submit(_analyse_in_worker, item) for item in items]
    else:
        futures = [executor.submit(analyse_one, item, options) for item in items]
    try:
        for f in futures:
            yield f.result()
    finally:
        for f in futures:
            f.cancel()


def process_pool(jobs, options: Options):
    """A process pool whose workers hold the options from their start.

    `analyse_many` on it analyses with those options, whatever options it is given.

    Parameters
    ----------
    jobs : int
        Worker processes.
    options : Options
        Its response file is read here, once.

    Returns
    -------
    concurrent.futures.ProcessPoolExecutor
        The caller shuts it down.

    Raises
    ------
    ResponseFileError
        The response file named in the options cannot be used.
    """
    from concurrent.futures import ProcessPoolExecutor
    options = options.with_response_loaded()
    pool = ProcessPoolExecutor(max_workers=jobs, initializer=_init_worker, initargs=(options, os.getpid()))
    pool._quodex_options = options
    return pool


def _is_dask(executor):
    return type(executor).__module__.startswith("distributed")


def expand(patterns, out_dir=None):
    """The files that paths, directories and glob patterns name.

    Parameters
    ----------
    patterns : iterable of str
        Files, directories (searched recursively, hidden files left out) or glob patterns (``**``
        allowed).
    out_dir : str, optional
        The batch's output folder: its summary files are left out where a directory or pattern reaches
        it.

    Returns
    -------
    list of str
        In the order given, each directory's and pattern's files sorted; a pattern that matches nothing
        is kept, so that its error is reported. Documents this program wrote are left out unless named
        one by one, so that results written next to the spectra are not read as spectra next time.
    """
    own = os.path.realpath(out_dir) if out_dir else None

    def wanted(path):
        if own and os.path.basename(path) in SUMMARY_FILES and os.path.realpath(os.path.dirname(path)) == own:
            return False
        return not is_result_file(path)

    out = []
    for p in patterns:
        if os.path.isdir(p):
            for root, dirs, files in os.walk(p):
                dirs[:] = sorted(d for d in dirs if not d.startswith("."))
                out += [f for f in (os.path.join(root, f) for f in sorted(files) if not f.startswith(".")) if wanted(f)]
        elif glob.has_magic(p):
            out += sorted(f for f in glob.glob(p, recursive=True) if wanted(f)) or [p]
        else:
            out.append(p)
    return out


SUMMARY_FILES = ("summary.csv", "summary.parquet", "summary.incomplete")
"""The files of a batch summary in its output folder: the table (CSV, Parquet) and, while the batch runs
or after it was interrupted, the marker that says the results are incomplete."""


SUMMARY_COLUMNS = ("file", "energy", "energy_unc", "fwhm", "area", "area_unc", "significance", "identification",
                   "flags", "error")
"""The columns of the batch summary table, in order."""


def summary_rows(docs):
    """The batch summary table's rows.

    Parameters
    ----------
    docs : iterable of dict
        JSON documents as `analyse_many` yields them.

    Returns
    -------
    list of dict
        Keyed by `SUMMARY_COLUMNS`: one row per peak of every spectrum (flags joined by ``";"``); a
        spectrum without peaks or with an error gets one row.
    """
    rows = []
    for doc in docs:
        path = doc["input"]["path"]
        peaks = doc.get("peaks") or [None]
        for pk in peaks:
            row = dict.fromkeys(SUMMARY_COLUMNS)
            row["file"] = path
            row["error"] = doc.get("error")
            if pk is not None:
                row.update({k: pk[k] for k in SUMMARY_COLUMNS[1:8]})
                row["flags"] = ";".join(pk["flags"])
            rows.append(row)
    return rows


def write_summary(rows, stem):
    """Writes the summary table as CSV, and as Parquet where pyarrow is installed.

    Parameters
    ----------
    rows : list of dict
        As from `summary_rows`.
    stem : str
        The files' path without extension.

    Returns
    -------
    list of str
        The paths written: ``stem.csv`` and, with pyarrow, ``stem.parquet``.

    Raises
    ------
    OSError
        A file cannot be written.
    """
    written = [stem + ".csv"]

    def write_csv(f):
        w = csv.DictWriter(f, fieldnames=SUMMARY_COLUMNS)
        w.writeheader()
        w.writerows({k: shown(v) if isinstance(v, str) else v for k, v in r.items()} for r in rows)
    report.write_atomic(written[0], write_csv)
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        return written
    columns = {c: [shown(r[c]) if isinstance(r[c], str) else r[c] for r in rows] for c in SUMMARY_COLUMNS}
    types = {c: pa.float64() for c in SUMMARY_COLUMNS[1:7]}
    table = pa.table({c: pa.array(v, type=types.get(c, pa.string())) for c, v in columns.items()})
    report.write_atomic(stem + ".parquet", lambda f: pq.write_table(table, f), "wb")
    return written + [stem + ".parquet"]


def begin_summary(stem, inputs):
    """Marks a batch's results as incomplete until `write_summary` ends it: removes the summary tables of
    an earlier batch and writes ``stem.incomplete`` listing this batch's inputs.

    Parameters
    ----------
    stem : str
        The summary's path without extension.
    inputs : sequence of str
        The batch's input files.

    Raises
    ------
    OSError
        The folder cannot be written.
    """
    text = (f"# {PROGRAM} {version()}: this batch has not ended; results here are incomplete until "
            f"{os.path.basename(stem)}.csv is written. Its inputs:\n" + "".join(shown(p) + "\n" for p in inputs))
    report.write_atomic(stem + ".incomplete", lambda f: f.write(text))
    for old in (stem + ".csv", stem + ".parquet"):
        try:
            os.unlink(old)
        except FileNotFoundError:
            pass


def end_summary(stem):
    """Removes the marker `begin_summary` wrote, once the summary tables are written."""
    try:
        os.unlink(stem + ".incomplete")
    except FileNotFoundError:
        pass
