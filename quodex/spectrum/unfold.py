"""Sharpening (Richardson-Lucy with the fitted resolution) and unfolding (ML-EM through a detector
response resampled onto the spectrum's energies), with the fit of the result folded back.

A response file is a NumPy `.npz` with three arrays: `matrix` (R x M, counts per bin of the response to
one photon of each reference energy), `ref_energies` (R, keV, ascending) and `energy_axis` (M, keV,
ascending bin centres of the matrix's columns). Without one, the response is modelled from the fitted
resolution: a Gaussian photopeak, a Klein-Nishina Compton continuum with a rounded edge, a backscatter
bump and, for semiconductors, escape peaks; the photopeak's share of all events falls as 1/(1 + E/E0)
with E0 = 350 keV for semiconductors and 700 keV for scintillators."""
from __future__ import annotations

import math
import os
import stat
import zipfile
from dataclasses import dataclass

import numpy as np

from quodex.utils.numerics.kernels.deconvolution import (ML_EM_cy, build_gaussian_response, combine_rows, fold_rows,
                                                         richardson_lucy_cy, row_sums)
from quodex.utils.numerics.kernels.tarvel import tarvel_cy

from .detector import FWHM_C, DetectorKind, bin_edges, gauss_in_bins
from .errors import ResponseFileError, SpectrumDataError
from .search import rebin

__all__ = ["Response", "ModelResponse", "Unfolding", "load_response", "model_response", "unfold", "sharpen",
           "grid_of", "response_rows", "resolution_axis", "resolution_groups", "SHARPEN_GROUP_FWHM", "UNFOLD_CHANNELS",
           "REFERENCE_ENERGIES", "REFERENCE_LOW_KEV"]

UNFOLD_CHANNELS = 2048  # the unfolding grid holds at most this many channels
"""Channels of the unfolding grid at most; longer spectra are summed in groups onto it."""
REFERENCE_ENERGIES = 40
"""Reference energies at which the modelled response's continuum is tabulated."""
REFERENCE_LOW_KEV = 50.0
"""keV of the lowest reference energy of the modelled response."""


@dataclass(frozen=True)
class Response:
    """A tabulated detector response, as `load_response` reads it from a ``.npz`` file.

    Attributes
    ----------
    matrix : numpy.ndarray
        R x M: row i the counts per bin for one photon of `ref_energies[i]`.
    ref_energies : numpy.ndarray
        R reference energies, keV, ascending.
    energy_axis : numpy.ndarray
        M bin centres of the matrix's columns, keV, ascending.
    source : str
        Where it came from (``"file PATH"``), shown in reports.
    """
    matrix: np.ndarray
    ref_energies: np.ndarray
    energy_axis: np.ndarray
    source: str


def load_response(path):
    """The response in a `.npz` file.

    Parameters
    ----------
    path : str or os.PathLike
        A ``.npz`` with the arrays ``matrix`` (R x M), ``ref_energies`` (R, keV, ascending, at least 2)
        and ``energy_axis`` (M, keV, ascending); the matrix finite and not negative.

    Returns
    -------
    Response

    Raises
    ------
    ResponseFileError
        The file cannot be read or its arrays do not form a response; the message names the file and
        the array at fault.
    """
    try:
        with open(path, "rb") as f:
            if not stat.S_ISREG(os.fstat(f.fileno()).st_mode) or f.read(4) != b"PK\x03\x04":
                raise ResponseFileError("not a .npz archive (numpy.savez writes one with the arrays matrix, "
                                        "ref_energies and energy_axis)", path=path)
        with np.load(path, allow_pickle=False) as z:
            arrays = {k: np.asarray(z[k], dtype=np.float64) for k in ("matrix", "ref_energies", "energy_axis")
                      if k in z.files}
    except ResponseFileError:
        raise
    except (OSError, ValueError, zipfile.BadZipFile) as e:
        raise ResponseFileError(f"cannot read response {path}: {e}") from None
    for key in ("matrix", "ref_energies", "energy_axis"):
        if key not in arrays:
            raise ResponseFileError(f"response has no array '{key}'", path=path)
    m, r, a = arrays["matrix"], arrays["ref_energies"], arrays["energy_axis"]
    if m.ndim != 2 or r.ndim != 1 or a.ndim != 1 or m.shape != (len(r), len(a)):
        raise ResponseFileError(f"matrix must be ref_energies x energy_axis, found {m.shape} for {r.shape} and "
                                f"{a.shape}", path=path)
    if len(r) < 2 or not (np.all(np.diff(r) > 0) and np.all(np.diff(a) > 0)):
        raise ResponseFileError("ref_energies (at least 2) and energy_axis must ascend", path=path)
    if not np.all(np.isfinite(m)) or np.any(m < 0):
        raise ResponseFileError("matrix must hold finite values >= 0", path=path)
    if not np.any(m > 0):
        raise ResponseFileError("matrix is all zero: it describes no detector", path=path)
    return Response(m, r, a, f"file {path}")


@dataclass(frozen=True)
class ModelResponse:
    """The modelled response, as `model_response` makes it.

    Photopeaks are Gaussian rows centred on every grid energy (a photopeak interpolated between
    tabulated rows would be smeared over neighbouring channels); the rest of the response (continuum,
    backscatter, escape peaks) is tabulated at `REFERENCE_ENERGIES` energies and resampled.

    Attributes
    ----------
    rest : Response
        The response less its photopeak, tabulated.
    fwhm : callable
        The resolution's FWHM (keV) at an energy (keV).
    kind : str
        The detector kind's name.
    ref_energies : numpy.ndarray
        Those of `rest` (a property).
    source : str
        ``"modelled (KIND, from the fitted resolution)"`` (a property).
    """
    rest: Response
    fwhm: object
    kind: str

    @property
    def ref_energies(self):
        """The reference energies (keV) of the tabulated rest."""
        return self.rest.ref_energies

    @property
    def source(self):
        """How the response was made, as reports show it."""
        return f"modelled ({self.kind}, from the fitted resolution)"


def model_response(grid, resolution, kind: DetectorKind, top):
    """The modelled response of a detector of this kind and resolution.

    Parameters
    ----------
    grid : numpy.ndarray
        Energies (keV, ascending) of the unfolding grid (`grid_of`).
    resolution : Resolution
    kind : DetectorKind
        Its photopeak share and escape peaks.
    top : float
        The highest reference energy, keV (the spectrum's last).

    Returns
    -------
    ModelResponse
    """
    ref = np.geomspace(REFERENCE_LOW_KEV, top, REFERENCE_ENERGIES)
    edges = bin_edges(grid)
    rest = np.array([kind.line_shape(grid, e, resolution.fwhm)
                     - gauss_in_bins(edges, e, max(float(resolution.fwhm(e)), 1e-6) / FWHM_C) for e in ref])
    return ModelResponse(Response(np.maximum(rest, 0.0), ref, grid.copy(), "model"), resolution.fwhm, kind.name)


def grid_of(energy, counts, channels=None):
    """The spectrum summed onto the unfolding grid.

    Parameters
    ----------
    energy : numpy.ndarray
        keV of every channel.
    counts : numpy.ndarray
        Counts per channel.
    channels : int, optional
        Grid channels at most (default `UNFOLD_CHANNELS`).

    Returns
    -------
    grid : numpy.ndarray
        Mean energy (keV) of each group of channels summed.
    counts : numpy.ndarray
        The summed counts.
    """
    factor = max(1, -(-len(energy) // (channels or UNFOLD_CHANNELS)))
    return rebin(energy, factor) / factor, rebin(counts, factor)  # mean energy, summed counts


def model_rows(grid, model):
    """Rows of the modelled response, each normalised to one interacting photon: the Gaussian photopeak
    (build_gaussian_response) plus the resampled rest scaled to its tabulated share."""
    # a line between two unfolding channels is shared by both, which widens it by about w^2/6 in
    # variance while the measured channels widen it by w^2/12: the rows give back the difference
    w = np.gradient(grid)
    sigma = np.sqrt(np.maximum((model.fwhm(grid) / FWHM_C) ** 2 - w * w / 12.0, (0.3 * w) ** 2))
    peak = build_gaussian_response(grid.copy(), sigma)
    rest = response_rows(grid, model.rest)
    ref = model.rest.ref_energies
    share = np.interp(np.log(np.maximum(grid, ref[0])), np.log(ref), model.rest.matrix.sum(axis=1))
    share[(grid <= ref[0]) | (grid > ref[-1])] = 0.0
    # the sum SciPy's diags(a) @ peak + diags(b) @ rest gives, without its intermediate matrices
    return combine_rows(*peak, 1.0 / (1.0 + share), *rest, share / (1.0 + share))


def response_rows(grid, response):
    """The response's rows on the grid, in compressed sparse row form.

    Grid energies outside the reference energies get empty rows.

    Parameters
    ----------
    grid : numpy.ndarray
        Energies (keV, ascending) of the unfolding grid.
    response : Response or ModelResponse

    Returns
    -------
    offsets : numpy.ndarray
        int64, len(grid) + 1 row offsets.
    indices : numpy.ndarray
        int32 column (grid channel) of each entry.
    values : numpy.ndarray
        float64 counts of each entry.
    """
    if isinstance(response, ModelResponse):
        return model_rows(grid, response)
    ref = response.ref_energies
    inside = (grid > ref[0]) & (grid <= ref[-1])
    n = len(grid)
    if not inside.any():
        return np.zeros(n + 1, dtype=np.int64), np.zeros(0, dtype=np.int32), np.zeros(0)
    first, count = int(np.argmax(inside)), int(inside.sum())
    offsets, indices, values = tarvel_cy(np.ascontiguousarray(response.matrix), ref.copy(),
                                         np.ascontiguousarray(response.energy_axis), grid[inside].copy(), grid.copy())
    offsets = np.concatenate((np.zeros(first, dtype=np.int64), offsets,
                              np.full(n - first - count, offsets[-1], dtype=np.int64)))
    return offsets, indices, values


def fold(x, rows, n):
    return fold_rows(np.ascontiguousarray(x[:n], dtype=np.float64), *rows)


@dataclass(frozen=True)
class Unfolding:
    """The result of `unfold` (`Analysis.unfolding`).

    Attributes
    ----------
    grid : numpy.ndarray
        Energies (keV) of the unfolding grid.
    counts : numpy.ndarray
        The measured counts summed onto the grid.
    unfolded : numpy.ndarray
        The ML-EM estimate: photons interacting per grid channel (0 where no response row reaches).
    folded : numpy.ndarray
        The estimate folded back through the response, counts per grid channel.
    chi2 : float
        Chi-square per channel of `folded` against `counts`, within the reference energies.
    channels_fitted : int
        The grid channels that chi-square is taken over.
    coverage : tuple of float
        The keV range of the response's reference energies.
    source : str
        The response's source.
    entries : int
        Non-zero entries of the response's rows on the grid.
    """
    grid: np.ndarray
    counts: np.ndarray
    unfolded: np.ndarray
    folded: np.ndarray
    chi2: float  # chi-square per channel of the folded result against the measured counts
    channels_fitted: int
    coverage: tuple  # keV range of the response's reference energies
    source: str
    entries: int


def unfold(energy, counts, response, iterations):
    """Unfolds a spectrum through a detector response by ML-EM.

    Parameters
    ----------
    energy : numpy.ndarray
        keV of every channel, ascending.
    counts : numpy.ndarray
        float64 counts per channel.
    response : Response or ModelResponse
    iterations : int
        ML-EM iterations.

    Returns
    -------
    Unfolding
    """
    grid, grid_counts = grid_of(energy, counts)
    rows = response_rows(grid, response)
    offsets, indices, values = rows
    sensitivity = row_sums(offsets, values, len(grid))
    if not np.any(sensitivity > 0):
        ref = response.ref_energies
        raise SpectrumDataError(f"the response ({response.source}) covers {ref[0]:g}..{ref[-1]:g} keV and reaches no "
                                f"channel of the spectrum ({grid[0]:.4g}..{grid[-1]:.4g} keV): nothing to unfold")
    x = ML_EM_cy(grid_counts, offsets, indices, values, sensitivity, iterations)
    x[sensitivity <= 0] = 0.0  # bins no row feeds are not estimated
    folded = fold(x, rows, len(grid))
    used = (grid >= response.ref_energies[0]) & (grid <= response.ref_energies[-1])
    dof = max(int(used.sum()), 1)
    chi2 = float(np.sum((grid_counts[used] - folded[used]) ** 2 / np.maximum(folded[used], 1.0))) / dof
    return Unfolding(grid, grid_counts, x, folded, chi2, dof,
                     (float(response.ref_energies[0]), float(response.ref_energies[-1])), response.source,
                     int(offsets[-1]))


SHARPEN_GROUP_FWHM = 1.0 / 16.0
"""Channels are summed for the sharpening into groups about this many FWHM wide (never less than one
channel): narrow enough that the sharpened peaks keep their shape, wide enough that the cost follows
the number of resolution elements instead of the square of the channel count."""


def resolution_integral(energy, resolution):
    """G(E): the integral of dE / sigma_E from the first channel, in standard deviations, per channel."""
    sigma = np.maximum(resolution.fwhm(energy), 1e-9) / FWHM_C
    return np.concatenate(([0.0], np.cumsum(0.5 * (1.0 / sigma[1:] + 1.0 / sigma[:-1]) * np.diff(energy))))


def resolution_axis(energy, resolution):
    """An axis on which the kernels' resolution model equals the detector's resolution.

    The kernels take sigma(u) = k u^1.5 / FWHM_C. With G(E) = integral of dE / sigma_E and
    u = (1 - c G / 2)^-2, du/dE = c u^1.5 / sigma_E; c = 1 / G(E_max) keeps u within [1, 4].

    Parameters
    ----------
    energy : numpy.ndarray
        keV of every channel, ascending.
    resolution : Resolution

    Returns
    -------
    u : numpy.ndarray
        The axis, per channel.
    k : float
        The kernels' resolution coefficient on it.
    """
    g = resolution_integral(energy, resolution)
    c = 1.0 / g[-1]
    return (1.0 - 0.5 * c * g) ** -2, c * FWHM_C


def resolution_groups(energy, resolution, fwhm=SHARPEN_GROUP_FWHM):
    """Channels in groups about `fwhm` FWHM wide: the number of channels in each group, in order.

    Parameters
    ----------
    energy : numpy.ndarray
        keV of every channel, ascending.
    resolution : Resolution
    fwhm : float
        Group width in FWHM.

    Returns
    -------
    numpy.ndarray
        int64 channels per group (all ones where every channel is wider than a group), summing to
        ``len(energy)``.
    """
    g = resolution_integral(energy, resolution)
    step = fwhm * FWHM_C  # in standard deviations
    if not (np.isfinite(g[-1]) and g[-1] > 0):
        return np.ones(len(energy), dtype=np.int64)
    group = np.floor(g / step)
    starts = np.flatnonzero(np.concatenate(([True], group[1:] != group[:-1])))  # runs: contiguous however g goes
    return np.diff(np.append(starts, len(g))).astype(np.int64)


def grouped_rows(u, channels, k):
    """Richardson-Lucy rows on the groups' axis: row j spreads the photons of group j over the groups by
    the Gaussian of sigma(u_j), each group taking a share in proportion to its channels (its width),
    and the row carries group j's channels, so that an estimate of ones starts at one count per channel
    as on the channels themselves. Returns the rows and their sums (the sensitivities)."""
    sigma = ((k * np.sqrt(u)) * u) / FWHM_C
    offsets, indices, values = build_gaussian_response(u.copy(), sigma)
    row = np.repeat(np.arange(len(u)), np.diff(offsets))
    weight = values * channels[indices]
    weight = weight / np.bincount(row, weights=weight, minlength=len(u))[row] * channels[row]
    return (offsets, indices, weight), channels.astype(np.float64)


def sharpen(energy, counts, resolution, iterations):
    """Sharpens a spectrum by Richardson-Lucy deconvolution of the detector's resolution.

    Channels narrower than `SHARPEN_GROUP_FWHM` of the FWHM are summed into groups that wide
    (`resolution_groups`) and the result is spread evenly back over each group's channels; where no
    channel needs grouping the deconvolution runs on the channels themselves.

    Parameters
    ----------
    energy : numpy.ndarray
        keV of every channel, ascending.
    counts : numpy.ndarray
        float64 counts per channel.
    resolution : Resolution
    iterations : int
        Richardson-Lucy iterations.

    Returns
    -------
    numpy.ndarray
        Counts per channel after sharpening (a copy of `counts` where the resolution gives no axis).
    """
    u, k = resolution_axis(energy, resolution)
    if not math.isfinite(k):
        return counts.copy()
    channels = resolution_groups(energy, resolution)
    if len(channels) == len(counts):
        return richardson_lucy_cy(u, counts, k, np.ones_like(counts), iterations)
    starts = np.concatenate(([0], np.cumsum(channels)[:-1]))
    group_u = np.add.reduceat(u, starts) / channels
    rows, sensitivity = grouped_rows(group_u, channels, k)
    x = ML_EM_cy(np.add.reduceat(counts, starts), *rows, sensitivity, iterations)
    return np.repeat(x, channels)  # x: counts per channel of each group (grouped_rows)
