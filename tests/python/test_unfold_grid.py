"""The unfolding grid matched to the resolution: unchanged where the resolution needs the whole grid,
coarse where the detector resolves little, with the same unfolded spectrum and fit."""
import numpy as np
import pytest

from quodex.spectrum import synthetic as sy
from quodex.spectrum import unfold as uf
from quodex.spectrum.detector import KINDS


class Law:
    """A resolution given by its FWHM law, as the analysis passes it."""

    def __init__(self, fwhm):
        self.fwhm = fwhm


def unfolded(energy, counts, fwhm, kind, fraction, iterations):
    grid, _ = uf.grid_of(energy, counts, fwhm=fwhm, fraction=fraction)
    response = uf.model_response(grid, Law(fwhm), KINDS[kind], float(energy[-1]))
    return uf.unfold(energy, counts, response, iterations, fraction=fraction)


def window_sums(u, edges):
    """Unfolded photons between `edges` (keV), each grid channel's spread evenly over its width."""
    bounds = np.concatenate(([1.5 * u.grid[0] - 0.5 * u.grid[1]], 0.5 * (u.grid[1:] + u.grid[:-1]),
                             [1.5 * u.grid[-1] - 0.5 * u.grid[-2]]))
    return np.diff(np.interp(edges, bounds, np.concatenate(([0.0], np.cumsum(u.unfolded)))))


@pytest.mark.parametrize("n,kind", [(4096, "hpge"), (8192, "hpge"), (16384, "hpge"), (16384, "labr")])
def test_a_fine_resolution_unfolds_bit_for_bit_as_on_the_fixed_grid(n, kind):
    """HPGe, and LaBr3 at 3 % (a sixth of its FWHM at 50 keV is below today's 8 channels of 16k)."""
    fwhm = sy.hpge_fwhm if kind == "hpge" else sy.scintillator_fwhm(0.03)
    energy, counts = sy.instrument_spectrum((121.78, 661.66, 1332.49, 2614.51), (3e4, 5e4, 2e4, 8e3),
                                            fwhm, n, 3000.0, seed=3, scintillator=kind != "hpge")[:2]
    counts = np.asarray(counts, dtype=np.float64)
    fixed = unfolded(energy, counts, fwhm, kind, None, 20)
    matched = unfolded(energy, counts, fwhm, kind, uf.UNFOLD_GRID_FWHM, 20)
    assert matched.group == fixed.group == -(-n // uf.UNFOLD_CHANNELS)
    for name in ("grid", "counts", "unfolded", "folded"):
        assert np.array_equal(getattr(matched, name), getattr(fixed, name)), name
    assert matched.chi2 == fixed.chi2 and matched.entries == fixed.entries


@pytest.mark.parametrize("name,n,kind", [("nai", 16384, "nai"), ("csi eu152", 16384, "csi"),
                                         ("comb adc nai", 16384, "nai"), ("nai", 65536, "nai")])
def test_scintillator_grid_is_coarse_bounded_and_keeps_the_counts(name, n, kind):
    energy, counts = sy.instrument_class(name, n, seed=1)[:2]
    fwhm = sy.INSTRUMENT_CLASSES[name][2]
    fixed_grid, fixed_counts = uf.grid_of(energy, counts)
    grid, grid_counts = uf.grid_of(energy, counts, fwhm=fwhm)
    assert uf.UNFOLD_MIN_CHANNELS <= len(grid) < len(fixed_grid) <= uf.UNFOLD_CHANNELS
    width = np.diff(grid)
    covered = grid[1:] >= uf.REFERENCE_LOW_KEV
    assert np.all(width[covered] <= uf.UNFOLD_GRID_FWHM * fwhm(grid[1:][covered]) * 1.01)  # a sixth of a FWHM
    assert np.allclose(width, width[0])  # equal groups: the modelled response's bins stay exact
    group = round(width[0] / (energy[1] - energy[0]))
    assert group % 2 == 0 and 2 * group > uf.UNFOLD_GRID_FWHM * fwhm(uf.REFERENCE_LOW_KEV) / (energy[1] - energy[0])
    assert grid_counts.sum() == pytest.approx(counts[:len(grid) * group].sum(), rel=1e-12)
    assert grid_counts.sum() >= fixed_counts.sum() - counts[-2 * group:].sum()  # only a last part group left out


@pytest.mark.parametrize("fwhm", [lambda e: np.full(np.shape(e), np.nan), lambda e: np.full(np.shape(e), 1e9),
                                  lambda e: np.zeros(np.shape(e)), lambda e: 20.0])
def test_a_resolution_without_meaning_keeps_a_usable_grid(fwhm):
    energy = np.linspace(0.5, 3000.0, 16384)
    grid, summed = uf.grid_of(energy, np.ones(16384), fwhm=fwhm)
    assert uf.UNFOLD_MIN_CHANNELS <= len(grid) <= uf.UNFOLD_CHANNELS
    assert summed.sum() == len(grid) * (16384 // len(grid))


def test_nai_unfolds_as_on_the_fixed_grid():
    """Photons within every FWHM-wide window from 100 keV up and the folded-back fit agree with the
    fixed grid's, the grid coarser by more than half."""
    name = "nai"
    energy, counts = sy.instrument_class(name, 16384, seed=1)[:2]
    counts = np.asarray(counts, dtype=np.float64)
    fwhm = sy.INSTRUMENT_CLASSES[name][2]
    fixed = unfolded(energy, counts, fwhm, "nai", None, 200)
    matched = unfolded(energy, counts, fwhm, "nai", uf.UNFOLD_GRID_FWHM, 200)
    assert len(matched.grid) < 0.5 * len(fixed.grid) and matched.entries < 0.25 * fixed.entries
    edges = [100.0]
    while edges[-1] + fwhm(edges[-1]) < 1750.0:
        edges.append(edges[-1] + float(fwhm(edges[-1])))
    a, b = window_sums(fixed, np.array(edges)), window_sums(matched, np.array(edges))
    assert np.all(np.abs(b - a) <= np.maximum(0.02 * a, 3.0 * np.sqrt(a))), np.c_[edges[:-1], a, b]
    # the same lines' photons within half a FWHM either side
    for line in sy.INSTRUMENT_CLASSES[name][0]:
        w = np.array([line - 0.5 * fwhm(line), line + 0.5 * fwhm(line)])
        assert window_sums(matched, w)[0] == pytest.approx(window_sums(fixed, w)[0], rel=0.01)
    # the misfit weighs more against the wider channels' noise; on the fixed grid's scale it is the same
    assert fixed.chi2_grid == fixed.chi2 and matched.chi2_grid > matched.chi2
    assert matched.chi2 == pytest.approx(fixed.chi2, rel=0.05)


def test_the_analysis_unfolds_nai_on_the_resolution_grid():
    from quodex.spectrum import analyse
    from quodex.spectrum.model import Spectrum
    energy, counts = sy.instrument_class("nai", 16384, seed=2)[:2]
    a = analyse(Spectrum(counts, energies=energy))
    u = a.unfolding
    assert u.group > 2 * -(-16384 // uf.UNFOLD_CHANNELS) and len(u.grid) == 16384 // u.group
    assert u.group * (energy[1] - energy[0]) <= uf.UNFOLD_GRID_FWHM * a.resolution.fwhm(uf.REFERENCE_LOW_KEV)
    assert u.chi2 < 2.0
