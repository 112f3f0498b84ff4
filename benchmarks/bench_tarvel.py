"""Timing of tarvel_cy against the same resampling written with NumPy, side by side in one run.

Workload: 40 reference rows of 2048 channels (bin centres over 0..3000 keV, photopeak, Compton
continuum and escape peaks from quodex/spectrum/synthetic.py) resampled to 1024 requested energies on a
1024-channel requested axis. The NumPy version follows the same operation order as the kernel, row by
requested energy, vectorised over channels, with each reference row normalised once (the tests'
oracle); its output is checked to be identical to the kernel's before timing.

Run from the repository root with the module built:  python benchmarks/bench_tarvel.py
"""
import argparse

import numpy as np

from harness import best_of
from peers import tarvel as numpy_tarvel
from quodex.spectrum import synthetic
from quodex.utils.numerics.kernels.tarvel import tarvel_cy


def problem(n_ref=40, channels=2048, n_requested=1024, requested_channels=1024, seed=1):
    ref_indices = np.linspace(50.0, 3000.0, n_ref)
    matrix, ref_E_axis = synthetic.response_matrix(ref_indices, channels)
    rng = np.random.default_rng(seed)
    requested = np.sort(rng.uniform(ref_indices[0], ref_indices[-1], n_requested))
    requested[requested <= ref_indices[0]] = ref_indices[-1]
    return matrix, ref_indices, ref_E_axis, requested, synthetic.bin_centres(requested_channels)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    inputs = problem()
    ours, theirs = tarvel_cy(*inputs), numpy_tarvel(*inputs)
    for a, b in zip(ours, theirs):
        np.testing.assert_array_equal(a, b)
    print(f"40 reference rows x 2048 channels -> 1024 requested energies x 1024 channels, "
          f"{int(ours[0][-1])} stored entries, outputs identical")

    t_ours, t_numpy = 0.0, 0.0
    for _ in range(args.repeat):  # interleaved, so both see the same machine state
        t_ours = min(t_ours or float("inf"), best_of(lambda: tarvel_cy(*inputs), 1))
        t_numpy = min(t_numpy or float("inf"), best_of(lambda: numpy_tarvel(*inputs), 1))
    print(f"{'':24s}{'ms':>10s}{'x tarvel_cy':>13s}")
    print(f"{'tarvel_cy':24s}{t_ours * 1e3:10.2f}{1.0:13.2f}")
    print(f"{'NumPy, same order':24s}{t_numpy * 1e3:10.2f}{t_numpy / t_ours:13.2f}")


if __name__ == "__main__":
    main()
