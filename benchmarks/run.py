"""Benchmarks: every Python-visible kernel against the NumPy/SciPy code a competent user would write
instead, timed side by side in one process (interleaved batches, medians), with the machine's floor
where one applies. Prints one table and writes JSON.

    python benchmarks/run.py [--smoke] [--json FILE] [--only SUBSTRING]
"""
import argparse
import json
import os
import platform
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from functools import partial

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import harness  # noqa: E402
import peers  # noqa: E402
from quodex.spectrum import synthetic  # noqa: E402
from quodex.utils.numerics.kernels import deconvolution, gaussian, mariscotti, tarvel  # noqa: E402


class Table:
    def __init__(self):
        self.rows = []

    def add(self, workload, peer_s, proj_s, floor_s=None, note=""):
        row = {
            "workload": workload,
            "peer_s": peer_s,
            "project_s": proj_s,
            "ratio": (peer_s / proj_s) if (peer_s and proj_s) else None,
            "floor_s": floor_s,
            "project_over_floor": (proj_s / floor_s) if (floor_s and proj_s) else None,
            "note": note,
        }
        self.rows.append(row)
        print(self.format_row(row), flush=True)

    @staticmethod
    def header():
        return (f"{'workload':<44} {'peer':>10} {'project':>10} {'peer/proj':>9} {'floor':>10} {'proj/floor':>10}"
                f"  note")

    @staticmethod
    def format_row(r):
        ratio = f"{r['ratio']:.1f}x" if r["ratio"] else "-"
        pf = f"{r['project_over_floor']:.2f}" if r["project_over_floor"] else "-"
        return (f"{r['workload']:<44} {harness.fmt_time(r['peer_s']):>10} {harness.fmt_time(r['project_s']):>10} "
                f"{ratio:>9} {harness.fmt_time(r['floor_s']):>10} {pf:>10}  {r['note']}")


def wanted(only, name):
    """--only selects workloads by a substring of the name printed in the table."""
    return not only or only in name


def deconvolution_workloads(t, smoke, only):
    for label, make in (("HPGe 8192", synthetic.hpge), ("NaI 1024", synthetic.nai)):
        n = 8192 if label.startswith("HPGe") else 1024
        if smoke:
            n = 256
        axis, y, k = make(n)
        sigma = synthetic.sigma_of(k, axis)
        sens = np.ones_like(y)
        names = [f"build_gaussian_response, {label}"]
        names += [f"{fn}, {label}, {iters} it" for fn in ("ML_EM_cy", "richardson_lucy_cy")
                  for iters in ((1, 3) if smoke else (30, 300))]
        if not any(wanted(only, name) for name in names):
            continue
        peer_rows = lambda: peers.gaussian_rows(axis, sigma)  # noqa: E731
        proj_rows = lambda: deconvolution.build_gaussian_response(axis, sigma)  # noqa: E731
        peers.check_rows(proj_rows(), peer_rows())
        offsets, indices, values = proj_rows()
        nnz = int(offsets[-1])
        if wanted(only, names[0]):
            tp, tq = harness.compare(peer_rows, proj_rows)
            # One exp per entry, plus creating and writing the three result arrays (both are CPU work on
            # the calling thread: page faults of fresh memory do not overlap the arithmetic).
            write_s = harness.create_and_write_floor([lambda: np.empty(nnz), lambda: np.empty(nnz, np.int32),
                                                      lambda: np.empty(n + 1, np.int64)])
            t.add(names[0], tp, tq, nnz * harness.exp_cost() + write_s)

        mlem_peer = peers.MlemScipy(offsets, indices, values, n)
        # One pass over the weights per iteration, plus the n-vectors (y, x, sensitivity, estimate and
        # ratio), at the read bandwidth of that working set: an iteration cannot read less, since the
        # back projection and the next forward projection both need every weight.
        iter_bytes = nnz * 8 + 5 * n * 8
        iter_floor = iter_bytes / harness.read_bandwidth(iter_bytes)
        for iters in ((1, 3) if smoke else (30, 300)):
            pm = lambda: mlem_peer.run(y, sens, iters)  # noqa: E731
            qm = lambda: deconvolution.ML_EM_cy(y, offsets, indices, values, sens, iters)  # noqa: E731
            if wanted(only, f"ML_EM_cy, {label}, {iters} it"):
                np.testing.assert_allclose(qm(), pm(), rtol=1e-9, atol=1e-9)
                tp, tq = harness.compare(pm, qm, rounds=5)
                t.add(f"ML_EM_cy, {label}, {iters} it", tp, tq, iters * iter_floor)

            if not wanted(only, f"richardson_lucy_cy, {label}, {iters} it"):
                continue
            pr = lambda: peers.richardson_lucy(axis, y, k, sens, iters)  # noqa: E731
            qr = lambda: deconvolution.richardson_lucy_cy(axis, y, k, sens, iters)  # noqa: E731
            np.testing.assert_allclose(qr(), pr(), rtol=1e-9, atol=1e-9)
            tp, tq = harness.compare(pr, qr, rounds=5)
            t.add(f"richardson_lucy_cy, {label}, {iters} it", tp, tq, iters * iter_floor)


def batch_workload(t, smoke, only):
    n, count, iters = (256, 8, 3) if smoke else (8192, 64, 30)
    names = [f"richardson_lucy_cy, {count} HPGe spectra, {k} thread{'s' if k > 1 else ''}" for k in (1, 2)]
    if not any(wanted(only, name) for name in names):
        return
    spectra = [synthetic.hpge(n, seed=s) for s in range(count)]
    sens = np.ones(n)

    def run(threads, fn):
        with ThreadPoolExecutor(threads) as pool:
            list(pool.map(fn, spectra))

    proj = lambda s: deconvolution.richardson_lucy_cy(s[0], s[1], s[2], sens, iters)  # noqa: E731
    peer = lambda s: peers.richardson_lucy(s[0], s[1], s[2], sens, iters)  # noqa: E731
    one = harness.time_one(lambda: run(1, proj), rounds=3, target=0.0)
    two = harness.time_one(lambda: run(2, proj), rounds=3, target=0.0)
    peer_one = harness.time_one(lambda: run(1, peer), rounds=3, target=0.0)
    t.add(names[0], peer_one, one)
    t.add(names[1], peer_one, two,
          note=f"2-thread throughput {one / two:.2f}x of 1 thread")


def tarvel_workloads(t, smoke, only):
    sizes = [(6, 128, 16, 64)] if smoke else [(40, 2048, 1024, 1024), (40, 4096, 4096, 4096)]
    for n_ref, ch, n_req, k_req in sizes:
        name = f"tarvel_cy, {n_ref} rows x {ch} -> {n_req} x {k_req}"
        if not wanted(only, name):
            continue
        ref_E = np.linspace(50.0, 3000.0, n_ref)
        matrix, ref_axis = synthetic.response_matrix(ref_E, ch)
        rng = np.random.default_rng(1)
        req_E = np.sort(rng.uniform(ref_E[0] + 1e-6, ref_E[-1], n_req))
        req_axis = synthetic.bin_centres(k_req)
        args = (matrix, ref_E, ref_axis, req_E, req_axis)
        peer = lambda: peers.tarvel(*args)  # noqa: E731
        proj = lambda: tarvel.tarvel_cy(*args)  # noqa: E731
        peers.check_rows(proj(), peer(), rtol=1e-12)
        tp, tq = harness.compare(peer, proj, rounds=5 if not smoke else 2, target=0.0)
        t.add(name, tp, tq,
              note=f"{tq / (n_req * k_req) * 1e9:.2f} ns per output channel")

    if not wanted(only, "calculate_regions (escape peaks)"):
        return
    tp, tq = harness.compare(partial(peers.calculate_regions, 1500.0, 3000.0, True),
                             partial(tarvel.calculate_regions, 1500.0, 3000.0, True))
    t.add("calculate_regions (escape peaks)", tp, tq)


def peak_workloads(t, smoke, only):
    for n in ((1000,) if smoke else (16384, 1_000_000)):
        if not wanted(only, f"mariscotti_peak_search_cy, {n}"):
            continue
        y = np.random.default_rng(2).poisson(100.0, n).astype(np.float64)
        peer = lambda: peers.mariscotti(y)  # noqa: E731
        proj = lambda: mariscotti.mariscotti_peak_search_cy(y)  # noqa: E731
        for a, b in zip(proj(), peer()):
            np.testing.assert_array_equal(a, b)
        tp, tq = harness.compare(peer, proj)
        # Read the spectrum, create the two results as the kernel must (np.zeros_like, which writes
        # zeros) and write them.
        floor = harness.create_and_write_floor([lambda: np.zeros_like(y)] * 2, source=y)
        bare = harness.create_and_write_floor([lambda: np.empty_like(y)] * 2, source=y)
        t.add(f"mariscotti_peak_search_cy, {n}", tp, tq, floor,
              note=f"with np.empty_like instead: {harness.fmt_time(bare)}")

    exp_s = harness.exp_cost()
    for m, peaks in (((500, 3),) if smoke else ((8192, 20), (1_000_000, 5))):
        if not any(wanted(only, f"{fn}, {m} x {peaks}") for fn in ("multi_gaussian_cy", "multi_gaussian_jacobian_cy")):
            continue
        x = np.linspace(0.0, 3000.0, m)
        rng = np.random.default_rng(3)
        params = np.column_stack([rng.uniform(10, 1000, peaks), rng.uniform(100, 2900, peaks),
                                  rng.uniform(0.5, 20.0, peaks) ** 2]).ravel()
        for name, proj_fn, peer_fn in (("multi_gaussian_cy", gaussian.multi_gaussian_cy, peers.multi_gaussian),
                                       ("multi_gaussian_jacobian_cy", gaussian.multi_gaussian_jacobian_cy,
                                        peers.multi_gaussian_jacobian)):
            if not wanted(only, f"{name}, {m} x {peaks}"):
                continue
            np.testing.assert_allclose(proj_fn(x, params), peer_fn(x, params), rtol=1e-12, atol=1e-300)
            tp, tq = harness.compare(lambda: peer_fn(x, params), lambda: proj_fn(x, params))
            # One exp per pair of point and peak, or creating and writing the result if that costs more.
            shape = (m,) if name == "multi_gaussian_cy" else (m, len(params))
            write_s = harness.create_and_write_floor([lambda: np.zeros(shape)])
            t.add(f"{name}, {m} x {peaks}", tp, tq, max(m * peaks * exp_s, write_s))


def small_calls(t, smoke, only):
    x = np.linspace(0.0, 15.0, 16)
    params = np.array([100.0, 5.0, 2.0, 50.0, 10.0, 1.5])
    y = np.random.default_rng(4).poisson(50.0, 16).astype(np.float64)
    sigma = np.full(16, 1.0)
    sens = np.ones(16)
    offsets, indices, values = deconvolution.build_gaussian_response(x, sigma)
    mlem_peer = peers.MlemScipy(offsets, indices, values, 16)
    cases = [
        ("small: build_gaussian_response, 16", partial(peers.gaussian_rows, x, sigma),
         partial(deconvolution.build_gaussian_response, x, sigma)),
        ("small: ML_EM_cy, 16, 1 it", partial(mlem_peer.run, y, sens, 1),
         partial(deconvolution.ML_EM_cy, y, offsets, indices, values, sens, 1)),
        ("small: richardson_lucy_cy, 16, 1 it", partial(peers.richardson_lucy, x + 1.0, y, 0.01, sens, 1),
         partial(deconvolution.richardson_lucy_cy, x + 1.0, y, 0.01, sens, 1)),
        ("small: mariscotti_peak_search_cy, 16", partial(peers.mariscotti, y),
         partial(mariscotti.mariscotti_peak_search_cy, y)),
        ("small: multi_gaussian_cy, 16 x 2", partial(peers.multi_gaussian, x, params),
         partial(gaussian.multi_gaussian_cy, x, params)),
        ("small: multi_gaussian_jacobian_cy, 16 x 2", partial(peers.multi_gaussian_jacobian, x, params),
         partial(gaussian.multi_gaussian_jacobian_cy, x, params)),
    ]
    for name, peer, proj in cases:
        if not wanted(only, name):
            continue
        tp, tq = harness.compare(peer, proj)
        t.add(name, tp, tq)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--smoke", action="store_true", help="tiny sizes: checks that everything runs")
    ap.add_argument("--json", default=None, help="write the results as JSON to this file")
    ap.add_argument("--only", default="", help="run only the workloads whose name (as printed) contains this")
    args = ap.parse_args()

    print(f"Python {platform.python_version()}, NumPy {np.__version__}, {platform.machine()}, "
          f"{os.cpu_count()} cpus; copy bandwidth {harness.bandwidth() / 1e9:.1f} GB/s, "
          f"vectorised exp {harness.exp_cost() * 1e9:.2f} ns")
    print(Table.header())
    t = Table()
    deconvolution_workloads(t, args.smoke, args.only)
    batch_workload(t, args.smoke, args.only)
    tarvel_workloads(t, args.smoke, args.only)
    peak_workloads(t, args.smoke, args.only)
    small_calls(t, args.smoke, args.only)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"python": platform.python_version(), "numpy": np.__version__,
                       "bandwidth_Bps": harness.bandwidth(), "exp_s": harness.exp_cost(),
                       "threads": threading.active_count(), "rows": t.rows}, fh, indent=1)


if __name__ == "__main__":
    main()
