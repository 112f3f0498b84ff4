"""The compiled trust-region solve against SciPy's least_squares: the same fits from the same starts on
synthetic regions of known truth, a clear refusal of bad input, and the same analysis results."""
import math
import threading

import numpy as np
import pytest
from scipy.special import erf, erfc

from quodex.spectrum import analyse, fit, synthetic
from quodex.spectrum.model import Spectrum
from quodex.utils.numerics.kernels.gaussian import fit_peaks_cy

X = np.arange(600.0, 640.0, 0.25)  # keV


def region(peaks, seed, background=40.0, x=X, tail=0.0):
    """Poisson counts of (area, centre, sigma) peaks on a sloped background; a share `tail` of each area
    in an exponential tail below the peak, smeared by the resolution, and a step of 0.3 % of the height."""
    edges = np.concatenate((x - 0.125, [x[-1] + 0.125]))
    mu = background - 0.5 * (x - x.mean())
    for area, centre, sigma in peaks:
        peak = 0.5 * np.diff(erf((edges - centre) / (math.sqrt(2) * sigma))) * area
        if tail:
            beta, d = 1.5 * sigma, x - centre
            z = d / (math.sqrt(2) * sigma)
            dens = np.exp(d / beta + 0.5 * (sigma / beta) ** 2) * erfc(z + sigma / (math.sqrt(2) * beta))
            peak = (1 - tail) * peak + tail * area * dens / dens.sum() + 0.0015 * peak.max() * erfc(z)
        mu = mu + peak
    return np.random.default_rng(seed).poisson(np.maximum(mu, 0.0)).astype(float)


def both(monkeypatch, *args, **kw):
    monkeypatch.setattr(fit, "COMPILED_SOLVER", False)
    scipy_fit = fit.fit_region(*args, **kw)
    monkeypatch.setattr(fit, "COMPILED_SOLVER", True)
    return scipy_fit, fit.fit_region(*args, **kw)


CASES = {
    "one peak": ([(5000.0, 620.3, 0.8)], [620.0], [(0.3, 3.0)], None),
    "weak peak": ([(150.0, 620.3, 0.8)], [620.0], [(0.3, 3.0)], None),
    "doublet": ([(5000.0, 615.0, 0.8), (3000.0, 625.0, 0.8)], [614.0, 626.0], [(0.3, 3.0)] * 2, None),
    "close triplet": ([(4000.0, 617.0, 0.8), (2500.0, 619.5, 0.8), (3000.0, 630.0, 0.8)], [617.0, 620.0, 630.0],
                      [(0.3, 3.0)] * 3, [1.0, 1.0, 1.0]),
    "width held": ([(5000.0, 620.3, 0.8)], [620.0], [(1.2, 3.0)], None),
    "no peak": ([], [620.0], [(0.3, 3.0)], None),
    "tailed peak": ([(60000.0, 620.3, 0.8)], [620.0], [(0.3, 3.0)], None, 0.15),
    "tailed doublet": ([(40000.0, 615.0, 0.8), (20000.0, 625.0, 0.8)], [614.0, 626.0], [(0.3, 3.0)] * 2, None, 0.1),
    "weak tail": ([(3000.0, 620.3, 0.8)], [620.0], [(0.3, 3.0)], None, 0.05),
}


# Both solvers take the same steps from the same start; only the rounding of the linear algebra
# differs (and, with tail and step, analytic derivatives where SciPy's path has forward differences
# good to about 1e-6), and the solve stops at relative changes of 1e-8 in cost or parameters: the
# minima agree to far better than the 1e-6 of the cost and the hundredth of a standard deviation asked.
@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("case", list(CASES))
def test_the_compiled_solve_reaches_scipys_fit(monkeypatch, case, seed):
    truth, mus, ranges, reach, *tail = CASES[case]
    y = region(truth, seed, tail=tail[0] if tail else 0.0)
    a, b = both(monkeypatch, X, y, mus, ranges, reach=reach, shape=bool(tail))
    unc = np.sqrt(np.diag(a.cov))
    assert np.all(np.abs(b.p - a.p) <= 0.01 * unc + 1e-9 * np.abs(a.p)), (b.p - a.p) / unc
    assert b.chi2 == pytest.approx(a.chi2, rel=1e-6)
    assert np.allclose(b.cov, a.cov, rtol=1e-3, atol=1e-3 * np.sqrt(np.outer(np.diag(a.cov), np.diag(a.cov))))
    pa, pb = fit.peaks_of(a, X, (0, len(X))), fit.peaks_of(b, X, (0, len(X)))
    assert [p.flags for p in pa] == [p.flags for p in pb]
    for p, q in zip(pa, pb):
        assert abs(p.area - q.area) <= 0.01 * p.area_unc
        assert abs(p.energy - q.energy) <= 0.01 * p.energy_unc
    for (area, centre, _), p in zip(truth, pb):  # and the truth within its uncertainty
        assert abs(p.energy - centre) < 5 * p.energy_unc and abs(p.area - area) < 5 * p.area_unc


def test_the_analysis_gives_the_same_peaks(monkeypatch):
    e, c = synthetic.source_spectrum((59.54, 661.66, 1460.82), (3e4, 5e4, 1e4), synthetic.scintillator_fwhm(0.08),
                                     n=256, seed=2, scintillator=True)
    s = Spectrum(c, energies=e)
    monkeypatch.setattr(fit, "COMPILED_SOLVER", False)
    a = analyse(s)
    monkeypatch.setattr(fit, "COMPILED_SOLVER", True)
    b = analyse(s)
    assert len(a.peaks) == len(b.peaks) >= 3
    for p, q in zip(a.peaks, b.peaks):
        assert p.flags == q.flags and p.identification == q.identification
        assert abs(p.energy - q.energy) <= 0.1 * p.energy_unc and abs(p.area - q.area) <= 0.1 * p.area_unc


def args(n=121, k=1):
    x = np.linspace(600.0, 720.0, n)
    y = region([(5000.0, 655.0, 2.0)], 0, x=x)
    p0 = np.array([3000.0, 652.0, 4.0] * k + [90.0, 0.0])
    lo = np.array([0.0, 600.0, 1.0] * k + [-np.inf, -np.inf])
    hi = np.array([np.inf, 720.0, 9.0] * k + [np.inf, np.inf])
    return [x, y, np.sqrt(np.maximum(y, 1.0)), p0, lo, hi]


@pytest.mark.parametrize("change, message", [
    (lambda a: a.__setitem__(1, a[1][:-1]), "y has 120 elements; 121 expected"),
    (lambda a: a.__setitem__(3, a[3][:4]), "p0 has 4 elements"),
    (lambda a: a.__setitem__(3, np.append(a[3], 1.0)), "p0 has 6 elements"),
    (lambda a: a.__setitem__(4, a[4][:-1]), "lower has 4 elements; 5 expected"),
    (lambda a: a[2].__setitem__(5, 0.0), "sigma must be positive and finite"),
    (lambda a: a[0].__setitem__(5, np.nan), "x must be finite"),
    (lambda a: a[3].__setitem__(2, 20.0), "x0 is infeasible"),
    (lambda a: a[5].__setitem__(2, 1.0), "strictly less"),
    (lambda a: a[1].__setitem__(7, np.inf), "Residuals are not finite in the initial point"),
    (lambda a: a.__setitem__(0, np.empty(0)), "x is empty"),
])
def test_bad_input_is_refused_clearly(change, message):
    a = args()
    change(a)
    with pytest.raises(ValueError, match=message):
        fit_peaks_cy(*a)


def test_tail_and_step_need_their_three_parameters():
    with pytest.raises(ValueError, match="p0 has 5 elements; .* tail fraction, tail slope and step expected"):
        fit_peaks_cy(*args(), shape=True)


def test_inputs_are_left_alone_and_results_are_new_arrays():
    a = args(k=1)
    kept = [v.copy() for v in a]
    p, jac, cost, nfev = fit_peaks_cy(*a, max_nfev=50)
    assert all(np.array_equal(u, v) for u, v in zip(a, kept))
    assert p.shape == (5,) and jac.shape == (121, 5) and isinstance(cost, float) and 1 <= nfev <= 50
    assert not np.shares_memory(p, a[3])
    with pytest.raises(TypeError):
        fit_peaks_cy(*a[:5], [1.0] * 5)


def test_solves_in_threads_give_the_one_thread_result():
    a = args()
    one = fit_peaks_cy(*a)
    out = []
    threads = [threading.Thread(target=lambda: out.append(fit_peaks_cy(*a))) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(out) == 4 and all(np.array_equal(r[0], one[0]) and r[2] == one[2] for r in out)
