"""Lines of 10 sigma or more found, and run time, per instrument class and channel count.

    PYTHONPATH=. python benchmarks/instrument_classes.py [class ...]
"""
import os
import sys
import time

import numpy as np

from quodex.spectrum import Options, Spectrum, analyse, synthetic

CHANNELS = tuple(int(n) for n in os.environ.get("CHANNELS", "256,1024,4096,16384,65536").split(","))
# QUICK=1: one sharpening and unfolding iteration, for the search and fits alone
FAST = dict(rl_iterations=1, em_iterations=1) if os.environ.get("QUICK") else {}


def cases(names):
    for name in synthetic.INSTRUMENT_CLASSES:
        if names and name not in names:
            continue
        lines, areas, fwhm, *_ = synthetic.INSTRUMENT_CLASSES[name]
        for n in CHANNELS:
            energy, counts, mean = synthetic.instrument_class(name, n, seed=1)
            yield name, n, energy, counts, mean, lines, areas, [float(fwhm(e)) for e in lines]
    for spacing in (0.5, 0.7, 1.0):
        if names and "pair" not in names:
            continue
        for n in [n for n in (8192, 16384, 65536) if n in CHANNELS or n == 8192]:
            energy, counts, mean, pair = synthetic.close_pair(spacing, n=n, seed=1)
            yield f"pair {spacing} FWHM", n, energy, counts, mean, pair, (2e5, 2e5), [float(synthetic.hpge_fwhm(e)) for e in pair]
    if not names or "511" in names:
        for n in [n for n in (8192, 16384, 65536) if n in CHANNELS or n == 8192]:
            energy, counts, mean = synthetic.annihilation_neighbour(n=n, seed=1)
            yield "511 neighbour", n, energy, counts, mean, (507.6, 511.0, 596.56), (1e4, 2.2e5, 6e4), [1.3, 2.9, 1.35]


def main(names):
    print(f"{'class':18s} {'n':>6s} {'found':>7s} {'kind':>5s} {'search+fit s':>12s} {'total s':>8s}  missed")
    for name, n, energy, counts, mean, lines, areas, fwhms in cases(names):
        sig = [synthetic.expected_significance(mean, energy, e, a, w) for e, a, w in zip(lines, areas, fwhms)]
        # a line within 0.4 FWHM of a stronger one is one peak with it, not a line of its own
        strong = [(e, w) for e, a, s, w in zip(lines, areas, sig, fwhms) if s >= 10 and not any(
            abs(e - e2) < 0.4 * w and a2 > a for e2, a2 in zip(lines, areas))]
        t0 = time.perf_counter()
        r = analyse(Spectrum(counts, energies=energy), Options(**FAST))
        total = time.perf_counter() - t0
        width = float(energy[1] - energy[0])
        free, hit = list(r.peaks), []
        for e, w in strong:  # each peak stands for one line at most
            near = [p for p in free if abs(p.energy - e) <= max(0.3 * w, 0.6 * width)]
            if near:
                free.remove(min(near, key=lambda p: abs(p.energy - e)))
                hit.append(e)
        core = r.times.get("peak search", 0) + r.times.get("peak fits", 0)
        missed = sorted(set(e for e, _ in strong) - set(hit))
        print(f"{name:18s} {n:6d} {len(hit):3d}/{len(strong):<3d} {r.kind:>5s} {core:12.2f} {total:8.2f}  {missed}",
              flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
