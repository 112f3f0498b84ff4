"""Timings of the peak kernels, side by side in one run (interleaved batches, medians).

1. mariscotti_peak_search_cy on a 10^6-channel spectrum against NumPy slicing, and against the
   memory-bandwidth floor: the bytes the call must move (read the spectrum, write S and F; and with the
   zero fill that np.zeros_like does first) over the copy bandwidth, measured for arrays of the same
   size (the cache level the data lives in) and for memory-sized arrays. The two zeros_like calls
   alone are timed as well: the kernel's own share is the difference.
2. multi_gaussian_cy and multi_gaussian_jacobian_cy for 8192 points and 20 peaks against NumPy
   broadcasting, for HPGe-like peaks (sigma 1 to 10 channels: most pairs of peak and point are past
   exp's underflow) and for wide peaks (sigma 1000 to 3000 channels: every pair needs its exp). Floor
   of the model: one vectorised exp (NumPy's loop) per pair; of the Jacobian: making its result with
   np.zeros and writing every element once.
3. Per-call time of the three kernels on a 16-point input (2 peaks) against the NumPy allocations each
   must make and against the NumPy peers.

Run from the repository root with the modules built:  python benchmarks/bench_peaks.py [--quick]
"""
import argparse
import os
import platform
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import harness  # noqa: E402
import peers  # noqa: E402
from quodex.utils.numerics.kernels.gaussian import multi_gaussian_cy, multi_gaussian_jacobian_cy  # noqa: E402
from quodex.utils.numerics.kernels.mariscotti import mariscotti_peak_search_cy  # noqa: E402

fmt = harness.fmt_time


def row(label, peer, project, floor=None, note=""):
    ratio = f"{peer / project:.1f}x" if peer else "-"
    over = f"{project / floor:.2f}" if floor else "-"
    print(f"{label:<56} {fmt(peer):>10} {fmt(project):>10} {ratio:>8} {fmt(floor):>10} {over:>9}  {note}", flush=True)


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    return [f for f in ("avx512f", "avx2") if f in flags]
    except OSError:
        pass
    return []


def mariscotti_section(n, rounds):
    y = np.random.default_rng(2).poisson(100.0, n).astype(np.float64)
    for got, want in zip(mariscotti_peak_search_cy(y), peers.mariscotti(y)):
        np.testing.assert_array_equal(got, want)
    tp, tq = harness.compare(lambda: peers.mariscotti(y), lambda: mariscotti_peak_search_cy(y), rounds=rounds)
    alloc = harness.time_one(lambda: (np.zeros_like(memoryview(y), dtype=np.float64),
                                      np.zeros_like(memoryview(y), dtype=np.float64)), rounds=rounds)
    same_size = harness.bandwidth(16 * n)  # copy between two arrays of y's size
    memory = harness.bandwidth()
    kernel_bytes, call_bytes = 24 * n, 40 * n  # read y, write S and F; plus the zero fill of S and F
    row(f"mariscotti_peak_search_cy, {n}", tp, tq, kernel_bytes / same_size,
        f"floor: 24 B/channel at {same_size / 1e9:.0f} GB/s (copy of {8 * n >> 20} MiB arrays)")
    row("  same, floor incl. the zero fill", None, tq, call_bytes / same_size, "floor: 40 B/channel")
    row("  same, floor at memory bandwidth", None, tq, kernel_bytes / memory,
        f"floor: 24 B/channel at {memory / 1e9:.0f} GB/s (copy of 256 MiB arrays)")
    row("  two np.zeros_like(memoryview) alone", None, alloc, None,
        f"kernel's own share of the call: {fmt(tq - alloc)} for {kernel_bytes / 1e6:.0f} MB "
        f"({kernel_bytes / max(tq - alloc, 1e-12) / 1e9:.1f} GB/s)")


def gaussian_section(m, count, rounds):
    exp_s = harness.exp_cost()
    x = np.arange(float(m))
    rng = np.random.default_rng(3)
    n = 3 * count

    def zeros_and_write():
        J = np.zeros((m, n))
        J.fill(1.0)
        return J

    # The Jacobian's floor is its result: NumPy makes it (fresh pages) and the kernel writes all of it.
    write_floor = harness.time_one(zeros_and_write, rounds=rounds)
    for label, sigma in (("HPGe-like peaks", (1.0, 10.0)), ("wide peaks", (1000.0, 3000.0))):
        params = np.column_stack([rng.uniform(10.0, 1000.0, count), rng.uniform(0.0, m, count),
                                  rng.uniform(*sigma, count) ** 2]).ravel()
        for name, project, peer, floor, note in (
                ("multi_gaussian_cy", multi_gaussian_cy, peers.multi_gaussian, m * count * exp_s,
                 f"floor: {m * count} exps at {exp_s * 1e9:.2f} ns"),
                ("multi_gaussian_jacobian_cy", multi_gaussian_jacobian_cy, peers.multi_gaussian_jacobian,
                 write_floor, f"floor: np.zeros(({m}, {n})) and one write of its {8 * m * n / 1e6:.1f} MB")):
            np.testing.assert_allclose(project(x, params), peer(x, params), rtol=1e-12, atol=1e-300)
            tp, tq = harness.compare(lambda: peer(x, params), lambda: project(x, params), rounds=rounds)
            row(f"{name}, {m} x {count}, {label}", tp, tq, floor, note)


def small_section(rounds):
    x = np.linspace(0.0, 15.0, 16)
    params = np.array([100.0, 5.0, 2.0, 50.0, 10.0, 1.5])
    y = np.random.default_rng(4).poisson(50.0, 16).astype(np.float64)
    cases = (
        ("mariscotti_peak_search_cy, 16", lambda: peers.mariscotti(y), lambda: mariscotti_peak_search_cy(y),
         lambda: (np.zeros_like(memoryview(y), dtype=np.float64), np.zeros_like(memoryview(y), dtype=np.float64)),
         "two np.zeros_like(memoryview(y), dtype=np.float64)"),
        ("multi_gaussian_cy, 16 x 2", lambda: peers.multi_gaussian(x, params), lambda: multi_gaussian_cy(x, params),
         lambda: np.zeros(16, dtype=np.float64), "np.zeros(16, dtype=np.float64)"),
        ("multi_gaussian_jacobian_cy, 16 x 2", lambda: peers.multi_gaussian_jacobian(x, params),
         lambda: multi_gaussian_jacobian_cy(x, params), lambda: np.zeros((16, 6)), "np.zeros((16, 6))"),
    )
    for label, peer, project, alloc, alloc_label in cases:
        tp, tq = harness.compare(peer, project, rounds=rounds)
        ta = harness.time_one(alloc, rounds=rounds)
        row(f"small: {label}", tp, tq, ta, f"floor: {alloc_label}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smaller sizes and fewer rounds")
    args = ap.parse_args()
    rounds = 3 if args.quick else 9
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, {platform.machine()}, "
          f"{os.cpu_count()} cpus, CPU features {' '.join(cpu_flags()) or 'baseline'}")
    print(f"{'workload':<56} {'NumPy':>10} {'kernel':>10} {'NumPy/k':>8} {'floor':>10} {'k/floor':>9}  note")
    mariscotti_section(10_000 if args.quick else 1_000_000, rounds)
    gaussian_section(1024 if args.quick else 8192, 5 if args.quick else 20, rounds)
    small_section(rounds)


if __name__ == "__main__":
    main()
