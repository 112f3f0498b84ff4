"""Side-by-side timing: a peer (what a competent NumPy/SciPy user would write) against the project's
kernel, interleaved in one process, medians of repeated batches; plus the machine's floors."""
import statistics
import time

import numpy as np


def _batch_seconds(fn, number):
    t0 = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - t0) / number


def best_of(run, repeat):
    """Shortest of `repeat` single runs, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - t)
    return best


def calibrate(fn, target=0.02):
    """Calls per batch so that one batch takes about `target` seconds."""
    fn()
    n = 1
    while True:
        t = _batch_seconds(fn, n)
        if t * n >= target or n >= 1 << 20:
            return n
        n = max(n * 2, int(target / max(t, 1e-9) * 1.2))


def compare(peer, project, rounds=7, target=0.02):
    """Median seconds per call of peer and project, batches interleaved."""
    n_peer, n_proj = calibrate(peer, target), calibrate(project, target)
    tp, tq = [], []
    for _ in range(rounds):
        tp.append(_batch_seconds(peer, n_peer))
        tq.append(_batch_seconds(project, n_proj))
    return statistics.median(tp), statistics.median(tq)


def time_one(fn, rounds=7, target=0.02):
    n = calibrate(fn, target)
    return statistics.median(_batch_seconds(fn, n) for _ in range(rounds))


_bandwidth = None


def bandwidth(nbytes=256 << 20):
    """Sustained copy bandwidth in bytes/s (bytes read plus bytes written), memory-sized arrays."""
    global _bandwidth
    if _bandwidth is None:
        src = np.ones(nbytes // 8)
        dst = np.empty_like(src)
        np.copyto(dst, src)
        t = min(_batch_seconds(lambda: np.copyto(dst, src), 1) for _ in range(5))
        _bandwidth = 2 * nbytes / t
    return _bandwidth


_exp_cost = None


def exp_cost():
    """Seconds per exp of a vectorised exp over an in-cache array (NumPy's own loop)."""
    global _exp_cost
    if _exp_cost is None:
        x = np.linspace(-30.0, 0.0, 4096)
        out = np.empty_like(x)
        _exp_cost = time_one(lambda: np.exp(x, out=out)) / x.size
    return _exp_cost


def fmt_time(s):
    if s is None:
        return "-"
    if s < 1e-6:
        return f"{s * 1e9:.0f} ns"
    if s < 1e-3:
        return f"{s * 1e6:.1f} us"
    if s < 1:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"
