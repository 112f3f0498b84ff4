"""Sharpening on groups matched to the resolution: the same curve as on every channel, counts kept,
and spectra of any length."""
import numpy as np
import pytest

from quodex.spectrum import synthetic
from quodex.spectrum import unfold as uf
from quodex.spectrum.detector import KINDS
from quodex.utils.numerics.kernels.deconvolution import richardson_lucy_cy

NAI = KINDS["nai"].nominal
HPGE = KINDS["hpge"].nominal


def on_channels(energy, counts, resolution, iterations):
    """Richardson-Lucy on every channel, as the sharpening ran before it grouped channels."""
    u, k = uf.resolution_axis(energy, resolution)
    return richardson_lucy_cy(u, counts, k, np.ones_like(counts), iterations)


def window_sums(y, energy, resolution, fwhm):
    starts = np.concatenate(([0], np.cumsum(uf.resolution_groups(energy, resolution, fwhm))[:-1]))
    return np.add.reduceat(y, starts)


@pytest.mark.parametrize("n, seed", [(1024, 1), (2048, 2), (4096, 3)])
def test_grouped_sharpening_matches_every_channel(n, seed):
    energy, counts = synthetic.source_spectrum((121.8, 661.66, 1173.2, 1332.5), (3e4, 1e5, 4e4, 4e4),
                                               NAI.fwhm, n=n, seed=seed, scintillator=True)
    assert len(uf.resolution_groups(energy, NAI)) < n  # channels are grouped
    want = on_channels(energy, counts, NAI, 100)
    got = uf.sharpen(energy, counts, NAI, 100)
    assert got.shape == counts.shape
    assert got.sum() == pytest.approx(counts.sum(), rel=1e-9)
    # the two curves, summed in windows a quarter of a FWHM wide, differ by under 1 % of the counts
    # (ungrouped rows, each group's share not weighted by its channels, differ by 2-6 %)
    diff = np.abs(window_sums(got, energy, NAI, 0.25) - window_sums(want, energy, NAI, 0.25)).sum()
    assert diff < 0.01 * counts.sum()
    for line in (661.66, 1332.5):
        near = np.abs(energy - line) < float(NAI.fwhm(line))
        assert got[near].max() > 2.0 * counts[near].max()  # sharpened


def test_channels_wider_than_a_group_run_as_before():
    energy, counts = synthetic.source_spectrum((661.66, 1332.5), (1e5, 5e4), HPGE.fwhm, n=8192, seed=4)
    assert len(uf.resolution_groups(energy, HPGE)) == len(energy)
    assert uf.sharpen(energy, counts, HPGE, 40).tobytes() == on_channels(energy, counts, HPGE, 40).tobytes()


@pytest.mark.parametrize("n", [1000, 250_000, 1_000_000])
def test_groups_cover_every_channel_and_are_at_most_a_sixteenth_of_a_fwhm(n):
    energy = synthetic.bin_centres(n)
    channels = uf.resolution_groups(energy, NAI)
    assert channels.sum() == n and channels.min() >= 1
    ends = np.cumsum(channels) - 1
    starts = ends - channels + 1
    width = energy[ends] - energy[starts]
    assert np.all(width <= NAI.fwhm(energy[ends]) / 16.0 + 1e-9)


def test_a_million_channels_sharpen_with_the_counts_kept():
    # on every channel this needed about 39 GiB
    energy, counts = synthetic.source_spectrum((661.66,), (1e6,), NAI.fwhm, n=1_000_000, seed=5, scintillator=True)
    got = uf.sharpen(energy, counts, NAI, 50)
    assert got.sum() == pytest.approx(counts.sum(), rel=1e-9)
    near = np.abs(energy - 661.66) < float(NAI.fwhm(661.66))
    assert got[near].max() > 1.5 * counts[near].max()
