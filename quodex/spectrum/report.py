"""The results of an analysis as a text report, a JSON document and a figure."""
from __future__ import annotations

import contextlib
import json
import math
import os
import tempfile

import numpy as np

from .results import Analysis

__all__ = ["text", "to_json", "write_json", "write_atomic", "figure", "draw", "peak_record", "line_record",
           "nuclide_record"]


def _num(v, digits=6):
    """A JSON number (None for NaN or infinite values, which JSON cannot hold)."""
    if v is None or not math.isfinite(v):
        return None
    return float(f"{v:.{digits}g}")


def _label(p):
    return None if p.identification is None else str(p.identification)


def peak_record(p):
    """A peak as JSON: numbers rounded to what they mean, flags by name.

    Parameters
    ----------
    p : Peak

    Returns
    -------
    dict
        energy, energy_unc, fwhm (keV), area, area_unc (counts), significance, identification (its
        label or None) and flags (list of names); None for a number that is not finite.
    """
    return {"energy": _num(p.energy, 9), "energy_unc": _num(p.energy_unc, 4), "fwhm": _num(p.fwhm, 5),
            "area": _num(p.area, 7), "area_unc": _num(p.area_unc, 4), "significance": _num(p.significance, 4),
            "identification": _label(p), "flags": [f.value for f in p.flags]}


def line_record(c):
    """A line checked (`LineCheck`) as JSON: energy, intensity, member, the matched peak, net area and
    its uncertainty, decision threshold and detection limit (counts, and counts per second where the
    live time is known)."""
    rate = (lambda v: _num(c.rate(v), 5)) if c.live_time else (lambda v: None)
    return {"energy": _num(c.energy, 9), "intensity": None if c.intensity is None else _num(c.intensity, 5),
            "member": c.member, "peak": None if c.peak is None else _num(c.peak, 9),
            "net_area": _num(c.net_area, 6), "net_area_unc": _num(c.net_area_unc, 4),
            "decision_threshold": _num(c.decision_threshold, 4), "detection_limit": _num(c.detection_limit, 4),
            "net_rate": rate(c.net_area), "detection_limit_rate": rate(c.detection_limit),
            "detected": bool(c.detected) if math.isfinite(c.net_area) else None}


def nuclide_record(n):
    """A name given to the spectrum (`NuclideFound`) as JSON."""
    return {"nuclide": n.nuclide, "members": list(n.members), "confidence": _num(n.confidence, 3),
            "peaks": [_num(e, 7) for e in n.peaks], "absent_lines": [_num(e, 7) for e in n.absent],
            "lines": [line_record(c) for c in n.lines]}


def to_json(a: Analysis):
    """The result as a JSON document (dicts, lists, strings, finite numbers and None).

    Parameters
    ----------
    a : Analysis

    Returns
    -------
    dict
        Keys ``input`` (path, format, channels, live and real time, start time, total counts),
        ``calibration`` (coefficients, source, matched lines), ``resolution``, ``peaks`` (see
        `peak_record`), ``missing_lines``, ``nuclides`` (see `nuclide_record`), ``unexplained_peaks``
        (keV), ``limits`` (at the energies asked for, see `line_record`), ``library`` (its source),
        ``unfolding``, ``warnings`` and ``times`` (seconds per stage). ``json.dumps`` takes it as it is.
    """
    spectrum = a.spectrum
    cal = a.calibration
    recal = a.recalibration
    return {
        "input": {"path": spectrum.path, "format": spectrum.format, "channels": spectrum.channels,
                  "live_time": spectrum.live_time, "real_time": spectrum.real_time,
                  "start_time": spectrum.start_time, "total_counts": float(np.sum(spectrum.counts))},
        "calibration": {
            "coefficients": list(cal.coefficients) if cal else None,
            "variable": cal.variable if cal else None,
            "source": cal.source if cal else "energies given channel by channel in the file",
            "matched_lines": [{"line": line, "before": _num(b, 9), "after": _num(f, 9), "residual": _num(f - line, 4)}
                              for line, b, f in recal.matched] if recal else [],
        },
        "resolution": {"model": "FWHM(E) = sqrt(a^2 + b E) keV", "a": _num(a.resolution.a), "b": _num(a.resolution.b),
                       "source": a.resolution.source, "detector_kind": a.kind,
                       "fwhm_at_662_kev": _num(float(a.resolution.fwhm(662.0)), 4)},
        "peaks": [peak_record(p) for p in a.peaks],
        "missing_lines": list(a.missing),
        "nuclides": [nuclide_record(n) for n in a.nuclides],
        "unexplained_peaks": [_num(e, 7) for e in a.unexplained],
        "limits": {"method": "Currie, k = 1.645; window +-1.25 FWHM, background beside it",
                   "lines": [line_record(c) for c in a.limits]},
        "library": {k: v for k, v in a.library.items() if k != "absent_from_source"},
        "unfolding": None if a.unfolding is None else {
            "response": a.unfolding.source, "channels": len(a.unfolding.grid), "response_entries": a.unfolding.entries,
            "covers_kev": list(a.unfolding.coverage), "chi2_per_channel": _num(a.unfolding.chi2, 4)},
        "warnings": list(a.warnings),
        "times": {k: round(v, 4) for k, v in a.times.items()},
    }


def write_atomic(path, write, mode="w"):
    """Writes a file through a temporary file in its folder, renamed into place once complete.

    A reader never sees a half-written file, and an interruption or a failure leaves the old file (or
    none) in place.

    Parameters
    ----------
    path : str or os.PathLike
        The file, created or replaced.
    write : callable
        write(f) writes the content to the open temporary file.
    mode : str
        ``"w"`` (UTF-8 text) or ``"wb"``.

    Raises
    ------
    OSError
        The folder cannot be written; whatever `write` raises.
    """
    path = os.fspath(path)
    folder, name = os.path.split(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
    try:
        with os.fdopen(fd, mode, **({"encoding": "utf-8", "newline": ""} if "b" not in mode else {})) as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, 0o666 & ~_UMASK)  # mkstemp makes it 0600; an output is an ordinary file
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


_UMASK = _umask()  # read once: setting it back and forth is not thread-safe


def write_json(path, doc):
    """Writes a JSON document as indented JSON to a file, atomically (see `write_atomic`).

    Parameters
    ----------
    path : str or os.PathLike
        The file, created or replaced.
    doc : dict
        As from `to_json`.

    Raises
    ------
    OSError
        The file cannot be written.
    ValueError
        `doc` holds a NaN or infinite number; nothing is written.
    """
    text = json.dumps(doc, indent=1, allow_nan=False) + "\n"  # fails before any file is touched
    write_atomic(path, lambda f: f.write(text))


def text(a: Analysis):
    """The result as the text report the command line prints.

    Parameters
    ----------
    a : Analysis

    Returns
    -------
    str
        Lines on the input, calibration, resolution, a table of the peaks, the unfolding, the warnings
        and the time of each stage.
    """
    spectrum = a.spectrum
    e, c = a.energy, a.counts
    times = []
    if spectrum.live_time is not None:
        times.append(f"live {spectrum.live_time:g} s")
    if spectrum.real_time is not None:
        times.append(f"real {spectrum.real_time:g} s")
    out = [f"Spectrum: {spectrum.path} ({spectrum.format}); {spectrum.channels} channels, "
           f"{e[0]:.2f}..{e[-1]:.2f} keV, {c.sum():.6g} counts" + (f"; {', '.join(times)}" if times else "")]
    cal = a.calibration
    out.append("Calibration: " + (f"{cal.source}: keV = " + " + ".join(
        f"{v:.7g}" + ("" if i == 0 else f" {cal.variable}" if i == 1 else f" {cal.variable}^{i}")
        for i, v in enumerate(cal.coefficients))
        if cal else "energies given by the file"))
    if a.recalibration and a.recalibration.matched:
        out.append("  residuals (keV): " + ", ".join(f"{line:g}: {after - line:+.3f}"
                                                    for line, _, after in a.recalibration.matched))
    out.append(f"Resolution ({a.resolution.source}, {a.kind}): {a.resolution}; "
               f"{float(a.resolution.fwhm(662.0)):.2f} keV at 662 keV")
    out.append(f"Peaks: {len(a.peaks)} reported from {a.candidates} candidates")
    out.append("")
    out.append(f"{'energy':>10} {'+-':>6} {'FWHM':>7} {'net area':>10} {'+-':>8} {'signif':>7}  identification / flags")
    for p in a.peaks:
        label = _label(p) or "-"
        flags = f"  [{', '.join(f.value for f in p.flags)}]" if p.flags else ""
        out.append(f"{p.energy:10.3f} {p.energy_unc:6.3f} {p.fwhm:7.2f} {p.area:10.0f} {p.area_unc:8.0f} "
                   f"{p.significance:7.1f}  {label}{flags}")
    out += _nuclides_text(a)
    if a.unfolding is not None:
        u = a.unfolding
        out.append("")
        out.append(f"Unfolding: {u.source}, {len(u.grid)} channels, {u.entries} response entries, covering "
                   f"{u.coverage[0]:.0f}..{u.coverage[1]:.0f} keV; folded back: chi2/channel {u.chi2:.2f}")
    if a.warnings:
        out.append("")
        out += [f"warning: {w}" for w in a.warnings]
    out.append("")
    out.append("Time per stage: " + ", ".join(f"{k} {1e3 * v:.0f} ms" for k, v in a.times.items()))
    return "\n".join(out)


def _nuclides_text(a):
    out = [""]
    src = a.library.get("evaluation") or a.library.get("file") or "the nuclide library"
    if a.nuclides:
        out.append(f"Nuclides ({src}; confidence is a ranking score, not a probability):")
        for n in a.nuclides:
            members = f" with {', '.join(n.members[1:])}" if len(n.members) > 1 else ""
            out.append(f"  {n.nuclide:10s} {n.confidence:5.2f}  peaks {', '.join(f'{e:.1f}' for e in n.peaks)} keV"
                       f"{members}")
            if n.absent:
                out.append(f"  {'':10s} {'':5s}  absent: {', '.join(f'{e:g}' for e in n.absent)} keV")
    else:
        out.append(f"Nuclides ({src}): none named")
    if a.unexplained:
        out.append("  unexplained peaks: " + ", ".join(f"{e:.1f}" for e in a.unexplained) + " keV")
    if a.limits:
        out.append("")
        out.append("Net areas and detection limits (Currie, k = 1.645):")
        out.append(f"{'energy':>10} {'net area':>10} {'+-':>8} {'L_C':>8} {'L_D':>8} {'L_D /s':>9}")
        for c in a.limits:
            rate = c.rate(c.detection_limit)
            out.append(f"{c.energy:10.2f} {c.net_area:10.1f} {c.net_area_unc:8.1f} {c.decision_threshold:8.1f} "
                       f"{c.detection_limit:8.1f} " + (f"{rate:9.4g}" if rate is not None else f"{'-':>9}"))
    return out


def figure(a: Analysis, path):
    """Draws the spectrum, its fits, the sharpened and unfolded spectra and the strongest peaks into an
    image file (see `draw`).

    Parameters
    ----------
    a : Analysis
    path : str or os.PathLike
        The image file, in any format matplotlib writes (by its extension).

    Raises
    ------
    ImportError
        matplotlib is not installed.
    OSError
        The file cannot be written.
    """
    fig = draw(a)
    fmt = os.path.splitext(os.fspath(path))[1][1:].lower() or None
    write_atomic(path, lambda f: fig.savefig(f, dpi=90, format=fmt), "wb")


def draw(a: Analysis):
    """The figure of an analysis: the spectrum with its fits and the sharpened spectrum (log scale, counts
    per keV), the unfolding with the spectrum folded back, and the four most significant peaks with
    their fits.

    Parameters
    ----------
    a : Analysis

    Returns
    -------
    matplotlib.figure.Figure
        Made without pyplot: no window, no global state.

    Raises
    ------
    ImportError
        matplotlib is not installed.
    """
    from matplotlib.figure import Figure

    spectrum = a.spectrum
    e, c = a.energy, a.counts
    width = np.gradient(e)
    floor = 0.3 / float(np.mean(width))
    zooms = sorted(sorted(a.peaks, key=lambda p: -p.significance)[:4], key=lambda p: p.energy)
    fig = Figure(figsize=(13, 11), layout="constrained")
    grid = fig.add_gridspec(3, max(len(zooms), 1), height_ratios=[1.3, 1, 1.1])
    top = fig.add_subplot(grid[0, :])
    top.step(e, np.maximum(c / width, floor), where="mid", color="0.35", lw=0.6, label="measured")
    if a.sharpened is not None:
        top.step(e, np.maximum(a.sharpened / width, floor), where="mid", color="tab:blue", lw=0.5, alpha=0.7,
                 label="sharpened (Richardson-Lucy)")
    for r in a.regions:
        x = e[r.start:r.stop]
        top.plot(x, np.maximum(r.curve / width[r.start:r.stop], floor), color="tab:red", lw=0.9)
    ymax = float(np.max(c / width)) * 3
    for p in a.peaks:
        colour = "tab:green" if p.identification else "tab:red"
        top.axvline(p.energy, color=colour, lw=0.5, ls=":", zorder=0)
        name = p.identification.nuclide if p.identification and p.identification.nuclide else ""
        top.text(p.energy, ymax, f"{p.energy:.1f}" + (f" {name}" if name else "" if p.identification else " ?"),
                 rotation=90, va="top", ha="right", fontsize=7, color=colour)
    top.set_yscale("log")
    top.set_ylim(floor, ymax * 1.2)
    top.set_xlim(e[0], e[-1])  # the axis ends where the data end
    top.set_ylabel("counts / keV")
    named = ", ".join(f"{n.nuclide} ({n.confidence:.2f})" for n in a.nuclides)
    top.set_title(f"{os.path.basename(spectrum.path)}: {len(a.peaks)} peaks (green identified, red unidentified), "
                  f"fits in red" + (f"\nnuclides: {named}" if named else ""), fontsize=10, loc="left")
    top.legend(fontsize=8, loc="upper right")
    mid = fig.add_subplot(grid[1, :], sharex=top)
    if a.unfolding is not None:
        u = a.unfolding
        gw = np.gradient(u.grid)
        mid.step(u.grid, np.maximum(u.counts / gw, floor), where="mid", color="0.35", lw=0.6, label="measured")
        mid.step(u.grid, np.maximum(u.unfolded / gw, floor), where="mid", color="tab:orange", lw=0.7,
                 label="unfolded (ML-EM)")
        mid.step(u.grid, np.maximum(u.folded / gw, floor), where="mid", color="tab:purple", lw=0.5,
                 label=f"folded back, chi2/channel {u.chi2:.2f}")
        mid.set_yscale("log")
        mid.legend(fontsize=8, loc="upper right")
        mid.set_title(f"unfolding through the {u.source} response", fontsize=10, loc="left")
    else:
        mid.text(0.5, 0.5, "no unfolding (energy range below the response)", ha="center", transform=mid.transAxes)
    mid.set_xlabel("energy (keV)")
    mid.set_ylabel("counts / keV")
    if not zooms:
        ax = fig.add_subplot(grid[2, :])
        ax.text(0.5, 0.5, "no peak found above the threshold", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
    for col, p in enumerate(zooms):
        ax = fig.add_subplot(grid[2, col])
        lo, hi = p.region
        x = e[lo:hi]
        ax.plot(x, c[lo:hi], ".", color="0.35", ms=3, label="measured")
        curve = next((r.curve for r in a.regions if r.start == lo and r.stop == hi), None)
        if curve is not None:
            ax.plot(x, curve, color="tab:red", lw=1, label=f"fit: FWHM {p.fwhm:.2f} keV")
        ax.set_title(f"{_label(p) or 'unidentified'}\n{p.energy:.2f} \u00b1 {p.energy_unc:.2f} keV, "
                     f"{p.significance:.0f} \u03c3", fontsize=9)
        ax.set_xlabel("energy (keV)")
        if col == 0:
            ax.set_ylabel("counts per channel")
        ax.legend(fontsize=7, loc="upper left", frameon=False)
    return fig
