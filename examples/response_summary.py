"""Builds Gaussian response rows for an HPGe-like energy axis and prints a summary."""
import argparse
import time

import numpy as np

from quodex.utils.numerics.kernels.deconvolution import build_gaussian_response

FWHM_C = 2.3548200450309493


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bins", type=int, default=8192, help="channels over 0..3000 keV")
    parser.add_argument("--fwhm-662", type=float, default=2.355, help="FWHM at 662 keV in keV")
    args = parser.parse_args()

    edges = np.linspace(0.0, 3000.0, args.bins + 1)
    axis = 0.5 * (edges[:-1] + edges[1:])
    k = args.fwhm_662 / FWHM_C / (662.0 ** 1.5 / FWHM_C)
    sigma = ((k * np.sqrt(axis)) * axis) / FWHM_C

    t0 = time.perf_counter()
    offsets, indices, values = build_gaussian_response(axis, sigma)
    elapsed = time.perf_counter() - t0

    counts = np.diff(offsets)
    sums = np.add.reduceat(values, offsets[:-1])[counts > 0]
    print(f"axis: {args.bins} bins over 0..3000 keV, sigma(662 keV) = {np.interp(662.0, axis, sigma):.3f} keV")
    print(f"rows: {len(counts)}, entries: {offsets[-1]}, entries per row: min {counts.min()}, "
          f"mean {counts.mean():.1f}, max {counts.max()}")
    print(f"row sums: max |sum - 1| = {np.max(np.abs(sums - 1.0)):.2e}")
    for E in (59.54, 661.66, 1332.49, 2614.51):
        i = int(np.searchsorted(axis, E))
        row = slice(offsets[i], offsets[i + 1])
        print(f"  row at {axis[i]:8.2f} keV: {counts[i]:3d} entries, bins {indices[row][0]}..{indices[row][-1]}, "
              f"peak weight {values[row].max():.4f}")
    print(f"built in {elapsed * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
