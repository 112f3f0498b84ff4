"""Reader of one-dimensional ROOT histograms (TH1), through uproot when it is installed.

The bin edges give energies only when the axis title states an energy unit (``"Energy [keV]"``); else the
bins are channels. A file of several histograms is read like the other formats of several spectra: the
sum of those that share the first one's binning, or the one options.measurement picks."""
from __future__ import annotations

import io

import numpy as np

from ..errors import FileFormatError
from .common import check_counts, finish, kev_per, make_calibration, pick_measurement, split_unit

FORMAT = "ROOT"
MAX_CHANNELS = 1 << 24


def sniff(head: bytes) -> bool:
    """Whether the file starts with ROOT's magic bytes ``root`` and a big-endian version number (below 2**24:
    a zero byte, where text would go on with a letter).

    The `Reader.sniff` of the table in `quodex.spectrum.readers`.
    """
    return head[:4] == b"root" and head[4:5] == b"\x00"


def read(data: bytes, options=None):
    """The spectrum of the TH1 histograms of a ROOT file: their sum, or the one options.measurement picks
    (from 1, in the order of the file's keys, directories included).

    The `Reader.read` of the table in `quodex.spectrum.readers`.
    """
    try:
        import uproot
    except ModuleNotFoundError:
        raise FileFormatError("a ROOT file: reading it needs uproot (pip install uproot)") from None
    except ImportError as e:  # installed, but a dependency of it does not load
        raise FileFormatError(f"a ROOT file: uproot is installed but cannot be imported ({e})") from None
    try:
        with uproot.open(io.BytesIO(data)) as f:
            names = list(dict.fromkeys(k for k, c in f.classnames(cycle=False).items() if c.startswith("TH1")))
            if not names:
                kinds = sorted(set(f.classnames().values()))
                raise FileFormatError(f"no one-dimensional histogram (TH1) in the file; it holds "
                                      f"{', '.join(kinds) or 'no objects'}")
            measurement = None if options is None else options.measurement
            picked = pick_measurement(names, measurement, ("histogram", "histograms"))
            parts = [_part(name, f[name]) for name in picked]
    except FileFormatError:
        raise
    except Exception as e:  # uproot's errors on damaged files have no common base
        raise FileFormatError(f"not a readable ROOT file ({type(e).__name__}: {e})") from None
    notes = []
    total = _sum(parts, notes)
    return finish(FORMAT, total["counts"], total["locate"], notes=notes, energies=total["energies"],
                  calibration=total["calibration"], description=total["description"])


def _part(name, hist):
    values = np.asarray(hist.values(flow=False), dtype=np.float64)
    if values.ndim != 1 or values.size > MAX_CHANNELS:
        raise FileFormatError(f"{values.size} bins: not a spectrum", f"histogram {name}")
    locate = (lambda i: f"histogram {name}, bin {i + 1}")  # ROOT numbers bins from 1
    check_counts(values, locate)  # before the sum hides a negative bin
    axis = hist.member("fXaxis")
    edges = np.asarray(axis.edges(flow=False), dtype=np.float64)
    title = str(axis.member("fTitle") or "").strip()
    unit = split_unit(title)[1] if title else None
    scale = None
    if unit is not None:
        try:
            scale = kev_per(unit)
        except FileFormatError:
            scale = None  # ADC channels, arbitrary units: bins, not energies
    notes = []
    energies = calibration = None
    if scale is not None:
        edges = edges * scale
        widths = np.diff(edges)
        if np.allclose(widths, widths[0], rtol=1e-9, atol=0):  # uniform bins: the linear calibration of centres
            calibration = make_calibration(f"histogram {name} axis", (edges[0] + widths[0] / 2, widths[0]),
                                           f"file (axis {title!r})", values.size, notes)
        else:
            energies = (edges[:-1] + edges[1:]) / 2
    hist_title = str(hist.member("fTitle") or "").strip()
    return dict(counts=values, name=name, edges=edges if scale is not None else None, energies=energies,
                calibration=calibration, description=hist_title or name, notes=notes, title=title,
                locate=locate)


def _sum(parts, notes):
    """The first histogram plus those of the same binning and axis title."""
    first = parts[0]
    for p in parts:
        notes.extend(p["notes"])
    same = [p for p in parts if len(p["counts"]) == len(first["counts"]) and p["title"] == first["title"]
            and (first["edges"] is None or np.array_equal(p["edges"], first["edges"]))]
    if len(parts) > 1:
        notes.append(f"summed {len(same)} histograms" if len(same) == len(parts) else
                     f"summed {len(same)} of {len(parts)} histograms; {len(parts) - len(same)} of another "
                     f"binning left out")
    if first["edges"] is None and first["title"]:
        notes.append(f"axis {first['title']!r} states no energy unit: bins read as channels")
    out = dict(first)
    out["counts"] = np.sum([p["counts"] for p in same], axis=0)
    if len(same) > 1:
        out["description"] = " + ".join(p["description"] for p in same)
    return out
