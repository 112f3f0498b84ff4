"""Many spectra: the same analysis for each, in worker processes or on a Dask cluster, results in input
order, and a summary table of every spectrum's peaks (CSV, and Parquet where pyarrow is installed)."""
from __future__ import annotations

import csv
import glob
import os
from dataclasses import dataclass

import numpy as np

from . import report
from .analysis import MIN_CHANNELS, Options, analyse
from .calibration import energy_axis
from .model import Calibration, Spectrum, SpectrumFileError
from .readers import read_spectrum


@dataclass(frozen=True)
class Settings:
    """What the analysis of every spectrum of a batch shares (small and picklable)."""
    lines: tuple = ()
    threshold: float = 5.0
    calibration: tuple | None = None  # replaces the files' own
    recalibrate: bool = False
    detector: str | None = None
    measurement: int | None = None
    rl_iterations: int = 100
    em_iterations: int = 200


def load(path, settings: Settings):
    """(spectrum, energies, calibration used) of one file; SpectrumFileError on any fault."""
    spectrum = read_spectrum(path, settings.measurement)
    override = Calibration(settings.calibration, "--calibration") if settings.calibration else None
    energy, calibration = energy_axis(spectrum, override)
    if spectrum.channels < MIN_CHANNELS:
        raise SpectrumFileError(f"{path}: a spectrum needs at least {MIN_CHANNELS} channels, found {spectrum.channels}")
    if not energy[-1] > 0:
        raise SpectrumFileError(f"{path}: energies end at {energy[-1]:g} keV")
    return spectrum, energy, calibration


def run(item, settings: Settings, response=None):
    """(spectrum, analysis) of a file path, a Spectrum with its energies, or an (energies, counts) pair."""
    if isinstance(item, (str, os.PathLike)):
        spectrum, energy, calibration = load(os.fspath(item), settings)
    else:
        if not isinstance(item, Spectrum):
            energy, counts = (np.asarray(a, dtype=np.float64) for a in item)
            item = Spectrum(counts, "<array>", "array", energies=energy)
        spectrum, energy, calibration = item, item.energies, None
    options = Options(threshold=settings.threshold, lines=settings.lines, detector=settings.detector,
                      recalibrate=settings.recalibrate, response=response, rl_iterations=settings.rl_iterations,
                      em_iterations=settings.em_iterations)
    return spectrum, analyse(energy, spectrum.counts, options, calibration)


def analyse_one(item, settings: Settings, response=None):
    """The JSON document of one spectrum, or {"input": {"path": ...}, "error": message} for a file that
    cannot be analysed: one bad file must not stop a batch."""
    try:
        spectrum, result = run(item, settings, response)
    except SpectrumFileError as e:
        return {"input": {"path": os.fspath(item) if isinstance(item, (str, os.PathLike)) else "<array>"},
                "error": str(e)}
    return report.to_json(spectrum, result)


_shared_response = None


def _init_worker(response):
    global _shared_response
    _shared_response = response


def _analyse_in_worker(item, settings):
    return analyse_one(item, settings, _shared_response)


def analyse_many(items, settings: Settings = Settings(), executor=None, response=None):
    """Yields the JSON document of every item (a path or an (energies, counts) pair) in input order.

    executor: None (this process), a concurrent.futures executor, or a dask.distributed Client. With a
    Client the response is scattered to the workers once; with a ProcessPoolExecutor made by
    `process_pool` it was handed to each worker once at its start."""
    items = list(items)
    if executor is None:
        for item in items:
            yield analyse_one(item, settings, response)
        return
    if _is_dask(executor):
        shared = executor.scatter(response, broadcast=True) if response is not None else None
        futures = [executor.submit(analyse_one, item, settings, shared, pure=False) for item in items]
    elif getattr(executor, "_quodex_response", False):
        futures = [executor.submit(_analyse_in_worker, item, settings) for item in items]
    else:
        futures = [executor.submit(analyse_one, item, settings, response) for item in items]
    try:
        for f in futures:
            yield f.result()
    finally:
        for f in futures:
            f.cancel()


def process_pool(jobs, response=None):
    """A ProcessPoolExecutor whose workers hold `response` from their start."""
    from concurrent.futures import ProcessPoolExecutor
    pool = ProcessPoolExecutor(max_workers=jobs, initializer=_init_worker, initargs=(response,))
    pool._quodex_response = True
    return pool


def _is_dask(executor):
    return type(executor).__module__.startswith("distributed")


def expand(patterns):
    """Files named, found in directories (sorted, recursively) or matched by glob patterns; a pattern
    that matches nothing is kept, so that its error is reported."""
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


def summary_rows(docs):
    """One row per peak of every spectrum; a spectrum without peaks or with an error gets one row."""
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
    """stem.csv, and stem.parquet where pyarrow is installed; returns the paths written."""
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
