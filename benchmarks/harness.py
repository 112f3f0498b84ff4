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


def _sustained(footprint, cache, make_op):
    """Bytes/s of `make_op(k)()`, an operation touching two arrays of k doubles, with `footprint`
    bytes in play, so that a floor uses the level of the memory hierarchy its working set lives in."""
    footprint = max(int(footprint), 1 << 16)
    if footprint not in cache:
        op = make_op(footprint // 16)
        op()
        number = max(1, (64 << 20) // footprint)
        t = min(_batch_seconds(op, number) for _ in range(7))
        cache[footprint] = footprint / t
    return cache[footprint]


def _copy(k):
    src, dst = np.ones(k), np.empty(k)
    return lambda: np.copyto(dst, src)


def _dot(k):
    a, b = np.ones(k), np.ones(k)
    return lambda: np.dot(a, b)


_copy_cache, _read_cache = {}, {}


def bandwidth(footprint=512 << 20):
    """Sustained copy bandwidth in bytes/s (bytes read plus bytes written)."""
    return _sustained(footprint, _copy_cache, _copy)


def read_bandwidth(footprint):
    """Sustained read bandwidth in bytes/s (a dot product), for kernels whose traffic is nearly all reads."""
    return _sustained(footprint, _read_cache, _dot)


def create_and_write_floor(makers, source=None):
    """Seconds to create the results with each of `makers` and write each once (copying `source` into
    it when given, so that it is read too): allocation and first touch of fresh memory included, the
    least any kernel that returns such results must spend."""
    def run():
        for make in makers:
            out = make()
            if source is None:
                out.fill(1)
            else:
                np.copyto(out, source)
    return time_one(run)


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
