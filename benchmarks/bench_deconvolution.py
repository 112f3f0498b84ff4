"""Timings of the deconvolution kernels, side by side in one run.

1. One ML-EM iteration on an 8192-bin HPGe-like response (bin centres over 0..3000 keV, Gaussian
   widths from the resolution model with sigma(662 keV) = 1 keV, rows from build_gaussian_response):
   ML_EM_cy against the same iteration written with scipy.sparse (matrices built once, two mat-vecs
   per iteration).
2. The memory-traffic floor of that iteration: the bytes one iteration must read and write divided
   by the bandwidth of a NumPy copy, once for a copy of the same size (the cache level the data
   lives in) and once for a large copy (main memory).
3. Throughput of richardson_lucy_cy on two threads, each with its own spectrum, against one thread.

Run from the repository root with the modules built:  python benchmarks/bench_deconvolution.py
"""
import argparse
import threading
import time

import numpy as np
import scipy.sparse as sp

from harness import bandwidth, best_of
from quodex.utils.numerics.kernels.deconvolution import ML_EM_cy, build_gaussian_response, richardson_lucy_cy

FWHM_C = 2.3548200450309493
K_662 = FWHM_C / 662.0 ** 1.5  # sigma(662 keV) = 1 keV


def hpge_problem(n, seed=0):
    edges = np.linspace(0.0, 3000.0, n + 1)
    axis = 0.5 * (edges[:-1] + edges[1:])
    sigma = ((K_662 * np.sqrt(axis)) * axis) / FWHM_C
    rows = build_gaussian_response(axis, sigma)
    rng = np.random.default_rng(seed)
    y = rng.poisson(200.0 * np.exp(-axis / 800.0) + 5.0).astype(np.float64)
    sensitivity = np.asarray([np.sum(rows[2][rows[0][j]:rows[0][j + 1]]) for j in range(n)])
    return axis, y, rows, sensitivity


def per_iteration(run, few, many, repeat):
    """Time of one iteration, with the per-call set-up cancelled out."""
    return (best_of(lambda: run(many), repeat) - best_of(lambda: run(few), repeat)) / (many - few)


def scipy_mlem(y, offsets, indices, values, sensitivity):
    n = len(y)
    rows = sp.csr_matrix((values, indices, offsets), shape=(n, n))
    response = rows.T.tocsr()
    divisor = np.fmax(sensitivity, 1e-12)

    def run(iterations):
        x = np.ones(n)
        for _ in range(iterations):
            x = x * ((rows @ (y / (response @ x + 1e-12))) / divisor)
        return x

    return run


def threaded_throughput(threads, calls, axis, spectra, sensitivity):
    """richardson_lucy_cy calls per second with `threads` threads, each on its own spectrum."""
    barrier = threading.Barrier(threads + 1)

    def worker(y):
        barrier.wait()
        for _ in range(calls):
            richardson_lucy_cy(axis, y, K_662, sensitivity)

    pool = [threading.Thread(target=worker, args=(spectra[t],)) for t in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in pool:
        t.join()
    return threads * calls / (time.perf_counter() - start)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bins", type=int, default=8192)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--calls", type=int, default=10, help="richardson_lucy_cy calls per thread and round")
    args = parser.parse_args()
    n = args.bins

    axis, y, (offsets, indices, values), sensitivity = hpge_problem(n)
    nnz = int(offsets[-1])
    print(f"response: {n} bins, {nnz} entries ({nnz / n:.1f} per row)")

    ours = per_iteration(lambda it: ML_EM_cy(y, offsets, indices, values, sensitivity, it), 2, 42, args.repeat)
    theirs = per_iteration(scipy_mlem(y, offsets, indices, values, sensitivity), 2, 12, args.repeat)

    # One iteration must read every weight once (the back projection and the next forward
    # projection share the pass) and touch y, sensitivity and x (read, write) once; the estimate and
    # ratio vectors may stay in cache.
    must = 8 * nnz + 4 * 8 * n
    same_size = bandwidth(must)  # copy from one array of must / 2 bytes to another
    large = bandwidth(2 << 30)

    rows = [
        ("ML_EM_cy, one iteration", ours),
        ("scipy.sparse, one iteration", theirs),
        (f"floor: {must / 1e6:.2f} MB at {same_size / 1e9:.1f} GB/s (same-size copy)", must / same_size),
        (f"floor: {must / 1e6:.2f} MB at {large / 1e9:.1f} GB/s (1 GiB copy)", must / large),
    ]
    print(f"\n{'':64s}{'us':>10s}{'x ML_EM_cy':>12s}")
    for label, t in rows:
        print(f"{label:64s}{t * 1e6:10.1f}{t / ours:12.2f}")

    rng = np.random.default_rng(1)
    spectra = [rng.poisson(y + 1.0).astype(np.float64) for _ in range(2)]
    build = best_of(lambda: build_gaussian_response(axis, ((K_662 * np.sqrt(axis)) * axis) / FWHM_C), args.repeat)
    # Alternated and best of three, so that a burst of other load on the machine hits both alike.
    one = two = 0.0
    for _ in range(3):
        one = max(one, threaded_throughput(1, args.calls, axis, spectra, sensitivity))
        two = max(two, threaded_throughput(2, args.calls, axis, spectra, sensitivity))
    print(f"\nrichardson_lucy_cy (30 iterations; the response build, {build * 1e3:.1f} ms, holds the GIL)")
    print(f"{'threads':>8s}{'calls/s':>12s}{'speed-up':>10s}")
    print(f"{1:8d}{one:12.1f}{1.0:10.2f}")
    print(f"{2:8d}{two:12.1f}{two / one:10.2f}")


if __name__ == "__main__":
    main()
