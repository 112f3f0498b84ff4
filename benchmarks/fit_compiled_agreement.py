"""Whether the compiled trust-region solve (gaussian.fit_peaks_cy) reaches the minima SciPy's
least_squares reaches, fit by fit and in the analysis's results, on the spectra given and on the
generated workloads of bench_analysis.py; and the time of each.

Fit by fit: every solve the analysis makes is repeated with SciPy from the same
start and weights. The same minimum: costs within 1e-6 relative, or within 0.5 (1 in chi-square);
parameters within a tenth of their standard deviations (from SciPy's Jacobian) are counted apart.
Results: the analysis run twice, SciPy only and compiled; the same peaks (energies matched within a
tenth of their uncertainty) with the same flags, and areas within a tenth of their uncertainty.

    python benchmarks/fit_compiled_agreement.py [SPECTRUM ...]
"""
import sys
import time

import numpy as np
from scipy.optimize import least_squares

from quodex.spectrum import analyse, fit as ft
from quodex.spectrum.readers import read_spectrum

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from bench_analysis import workloads  # noqa: E402
from quodex.spectrum.model import Spectrum  # noqa: E402

real_solve = ft.solve_weighted
tally = {"fits": 0, "with tail and step": 0, "same cost": 0, "same parameters": 0, "within 1 in chi2": 0, "lower": 0,
         "higher": 0, "same nfev": 0}
seconds = {"scipy": 0.0, "compiled": 0.0}


def compared(model, y, sigma, p0, lo, hi, max_nfev=200):
    t = time.perf_counter()
    r = least_squares(lambda p: (y - model(p)) / sigma, p0, jac=lambda p: model.jacobian(p) / -sigma[:, None],
                      bounds=(lo, hi), x_scale="jac", method="trf", max_nfev=max_nfev)
    seconds["scipy"] += time.perf_counter() - t
    t = time.perf_counter()
    p, jac, cost, nfev = ft.fit_peaks_cy(model.x, y, sigma, p0, lo, hi, max_nfev, model.shape)
    seconds["compiled"] += time.perf_counter() - t
    tally["fits"] += 1
    tally["with tail and step"] += model.shape
    tally["same nfev"] += nfev == r.nfev
    if abs(cost - r.cost) <= 1e-6 * max(r.cost, 1.0):
        tally["same cost"] += 1
        unc = np.sqrt(np.abs(np.diag(np.linalg.pinv(r.jac.T @ r.jac))))
        tally["same parameters"] += bool(np.all(np.abs(p - r.x) <= 0.1 * np.maximum(unc, 1e-12)))
    elif abs(cost - r.cost) <= 0.5:
        tally["within 1 in chi2"] += 1
    else:
        tally["lower" if cost < r.cost else "higher"] += 1
    return r.x, r.jac  # the analysis goes on with SciPy's fit, so every fit compared starts the same


def results_agree(s):
    ft.COMPILED_SOLVER = False
    t = time.perf_counter()
    a = analyse(s)
    ta = time.perf_counter() - t
    ft.COMPILED_SOLVER = True
    t = time.perf_counter()
    b = analyse(s)
    tb = time.perf_counter() - t
    bad = []
    if len(a.peaks) != len(b.peaks):
        bad.append(f"{len(a.peaks)} peaks vs {len(b.peaks)}")
    for pa, pb in zip(sorted(a.peaks, key=lambda p: p.energy), sorted(b.peaks, key=lambda p: p.energy)):
        if abs(pa.energy - pb.energy) > 0.1 * max(pa.energy_unc, 1e-9) or \
                abs(pa.area - pb.area) > 0.1 * max(pa.area_unc, 1e-9) or pa.flags != pb.flags:
            bad.append(f"{pa.energy:.3f}/{pb.energy:.3f} keV, area {pa.area:.1f}/{pb.area:.1f} "
                       f"(unc {pa.area_unc:.1f}), {pa.flags}/{pb.flags}")
    ids = [sorted(str(p.identification) for p in x.peaks) for x in (a, b)]
    if ids[0] != ids[1]:
        bad.append("identifications differ")
    return len(a.peaks), bad, ta, tb


def main():
    spectra = [(path, read_spectrum(path)) for path in sys.argv[1:]]
    spectra += [(name, Spectrum(c, energies=e)) for name, (e, c) in workloads(False).items()]
    for name, s in spectra:
        ft.solve_weighted = compared
        try:
            before = dict(tally)
            analyse(s)
        finally:
            ft.solve_weighted = real_solve
        n, bad, ta, tb = results_agree(s)
        print(name, {k: tally[k] - before[k] for k in tally}, flush=True)
        print(f"  results: {n} peaks, {len(bad)} differ; analysis {ta:.3f} s SciPy, {tb:.3f} s compiled", flush=True)
        for line in bad:
            print("   ", line)
    print("all", tally)
    print(f"seconds in the solves compared: scipy {seconds['scipy']:.2f}, compiled {seconds['compiled']:.2f}")


if __name__ == "__main__":
    main()
