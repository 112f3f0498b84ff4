"""How often MINPACK's Levenberg-Marquardt (scipy.optimize.leastsq, a compiled loop without bounds)
reaches the minimum that the analysis's bounded trust-region fits (least_squares, method 'trf') reach,
from the same start, on the spectra given and on generated ones; and the time of each.

Every least_squares call the analysis makes is repeated with leastsq (analytic Jacobian, same start).
A fit agrees when leastsq ends within the bounds and within 1e-6 of the same cost, and its parameters
within a tenth of their standard deviations (from the trust-region fit's Jacobian).

    python benchmarks/fit_agreement.py [SPECTRUM ...]
"""
import sys
import time

import numpy as np
import scipy.optimize as so

from quodex.spectrum import analyse, fit as ft, synthetic
from quodex.spectrum.model import Spectrum
from quodex.spectrum.readers import read_spectrum

real_least_squares = ft.least_squares
tally = {"fits": 0, "same": 0, "out of bounds": 0, "lower": 0, "higher": 0, "elsewhere": 0, "failed": 0}
seconds = {"trf": 0.0, "leastsq": 0.0}


def compared(fun, x0, jac, bounds, **kwargs):
    t = time.perf_counter()
    r = real_least_squares(fun, x0, jac=jac, bounds=bounds, **kwargs)
    seconds["trf"] += time.perf_counter() - t
    tally["fits"] += 1
    t = time.perf_counter()
    try:
        p, *_ = so.leastsq(fun, x0, Dfun=jac, full_output=True, maxfev=200 * (len(x0) + 1))
    except Exception:  # noqa: BLE001 - any failure counts as no agreement
        tally["failed"] += 1
        return r
    finally:
        seconds["leastsq"] += time.perf_counter() - t
    lo, hi = bounds
    cost = 0.5 * float(np.sum(fun(p) ** 2))
    if np.any(p < lo) or np.any(p > hi):
        tally["out of bounds"] += 1
    elif abs(cost - r.cost) <= 1e-6 * max(r.cost, 1.0):
        unc = np.sqrt(np.abs(np.diag(np.linalg.pinv(r.jac.T @ r.jac))))
        tally["same" if np.all(np.abs(p - r.x) <= 0.1 * np.maximum(unc, 1e-12)) else "elsewhere"] += 1
    else:
        tally["lower" if cost < r.cost else "higher"] += 1
    return r


def spectra(paths):
    for path in paths:
        yield path, read_spectrum(path)
    e, c = synthetic.hpge_mixed_source(8192, seed=0)
    yield "HPGe 8192", Spectrum(c, energies=e)
    e, c = synthetic.source_spectrum((661.66, 1173.23, 1332.49, 1460.82), (2e5, 8e4, 8e4, 3e4),
                                     synthetic.scintillator_fwhm(0.07), n=1024, seed=1, scintillator=True)
    yield "NaI 1024", Spectrum(c, energies=e)
    e, c = synthetic.source_spectrum((59.54, 661.66, 1460.82), (3e4, 5e4, 1e4), synthetic.scintillator_fwhm(0.08),
                                     n=256, seed=2, scintillator=True)
    yield "pocket 256", Spectrum(c, energies=e)


def main():
    ft.COMPILED_SOLVER = False  # every fit through least_squares, as measured
    ft.least_squares = compared
    try:
        for name, s in spectra(sys.argv[1:]):
            before = dict(tally)
            analyse(s)
            print(name, {k: tally[k] - before[k] for k in tally}, flush=True)
    finally:
        ft.least_squares = real_least_squares
    print("all", tally)
    print(f"seconds in the fits: trf {seconds['trf']:.2f}, leastsq {seconds['leastsq']:.2f}")


if __name__ == "__main__":
    main()
