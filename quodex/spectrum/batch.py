"""Many spectra: the same analysis for each, in worker processes or on a Dask cluster, results in input
order, and a summary table of every spectrum's peaks (CSV, and Parquet where pyarrow is installed)."""
from __future__ import annotations

import csv
import glob
import os

import numpy as np

from . import report
from .analysis import analyse
from .errors import SpectrumError, SpectrumFileError
from .model import Spectrum
from .options import Options
from .readers import read_spectrum

__all__ = ["analyse_many", "analyse_one", "run", "process_pool", "describe", "expand", "summary_rows",
           "write_summary", "SUMMARY_COLUMNS"]


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
    try:
        result = run(item, options)
    except SpectrumError as e:
        return {"input": {"path": _path_of(item)}, "error": describe(e, _path_of(item))}
    return report.to_json(result)


_worker_options = None


def _init_worker(options):
    global _worker_options
    _worker_options = options


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
    pool = ProcessPoolExecutor(max_workers=jobs, initializer=_init_worker, initargs=(options,))
    pool._quodex_options = options
    return pool


def _is_dask(executor):
    return type(executor).__module__.startswith("distributed")


def expand(patterns):
    """The files that paths, directories and glob patterns name.

    Parameters
    ----------
    patterns : iterable of str
        Files, directories (searched recursively, hidden files left out) or glob patterns (``**``
        allowed).

    Returns
    -------
    list of str
        In the order given, each directory's and pattern's files sorted; a pattern that matches nothing
        is kept, so that its error is reported.
    """
    out = []
    for p in patterns:
        if os.path.isdir(p):
            for root, dirs, files in os.walk(p):
                dirs.sort()
                out += [os.path.join(root, f) for f in sorted(files) if not f.startswith(".")]
        elif glob.has_magic(p):
            out += sorted(glob.glob(p, recursive=True)) or [p]
        else:
            out.append(p)
    return out


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
    with open(written[0], "w", newline="", encoding="utf-8") as f:
        w = csv.DictWriter(f, fieldnames=SUMMARY_COLUMNS)
        w.writeheader()
        w.writerows(rows)
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        return written
    columns = {c: [r[c] for r in rows] for c in SUMMARY_COLUMNS}
    types = {c: pa.float64() for c in SUMMARY_COLUMNS[1:7]}
    table = pa.table({c: pa.array(v, type=types.get(c, pa.string())) for c, v in columns.items()})
    pq.write_table(table, stem + ".parquet")
    return written + [stem + ".parquet"]
