"""The spectrum analysis on generated spectra: lines found at their energies on any detector, widths
learned from the spectrum, doublets and tails, identification by physics, recalibration, unfolding,
and the command line (formats, JSON, errors)."""
import json
import math

import numpy as np
import pytest

import spectrum_files as files
from quodex.spectrum import Options, ResponseFileError, Spectrum, analyse
from quodex.spectrum import cli, fit, identify, synthetic, unfold
from quodex.spectrum.detector import FWHM_C, KINDS, Resolution
from quodex.spectrum.results import Peak

MIXED = synthetic.MIXED_SOURCE_KEV
SEEDS = (0, 2, 7)


def run(energy, counts, calibration=None, **options):
    return analyse(Spectrum(counts, energies=None if calibration else energy, calibration=calibration), Options(**options))


@pytest.fixture(scope="module")
def mixed_runs():
    out = {}
    for seed in SEEDS:
        energy, counts = synthetic.hpge_mixed_source(seed=seed)
        out[seed] = run(energy, counts, lines=MIXED, rl_iterations=30, em_iterations=200)
    return out


def by_name(result):
    """Identified peaks by their line ("661.66 keV"; "511 keV (annihilation)" under "511 keV" too)."""
    return {k: p for p in result.peaks if p.identification for k in {str(p.identification), f"{p.identification.line:g} keV"}}


@pytest.mark.parametrize("seed", SEEDS)
def test_mixed_source_lines_escapes_and_areas(mixed_runs, seed):
    r = mixed_runs[seed]
    named = by_name(r)
    truth = dict(zip(MIXED, synthetic.MIXED_SOURCE_AREAS))
    for line, area in truth.items():
        p = named[f"{line:g} keV"]
        assert abs(p.energy - line) < 0.02
        assert abs(p.energy - line) < 5 * p.energy_unc + 0.005  # the uncertainty describes the deviation
        assert abs(p.area - area) < 5 * p.area_unc + 0.01 * area
        assert p.fwhm == pytest.approx(float(synthetic.hpge_fwhm(line)), rel=0.1)
    assert {"single escape of 2614.51 keV", "double escape of 2614.51 keV"} <= set(named)
    assert sum(p.identification is None for p in r.peaks) <= 2
    assert r.resolution.fwhm(1332.49) == pytest.approx(synthetic.hpge_fwhm(1332.49), rel=0.05)
    assert r.unfolding.chi2 < 1.5  # the modelled response describes the generator's detector


SCINT = synthetic.scintillator_fwhm


@pytest.mark.parametrize("name, lines, areas, fwhm, n, kw", [
    ("NaI 7 %", (661.66,), (1e5,), SCINT(0.07), 1024, dict(scintillator=True)),
    ("NaI Co-60", (1173.23, 1332.49), (4e4, 3.6e4), SCINT(0.07), 1024, dict(scintillator=True)),
    ("LaBr3 3 %", (121.78, 344.28, 778.9, 1408.0), (5e4, 6e4, 2e4, 2.2e4), SCINT(0.03), 2048, dict(scintillator=True)),
    ("NaI, 4096 channels", (356.0, 661.66), (5e4, 5e4), SCINT(0.075), 4096, dict(scintillator=True)),
    ("HPGe with a low-energy tail", (356.01, 1332.49), (2e5, 5e4), synthetic.hpge_fwhm, 8192, dict(tail=0.08)),
    ("BGO 11 %", (661.66,), (5e4,), SCINT(0.11), 1024, dict(scintillator=True)),  # its backscatter peak is narrower
    ("CdTe X-rays, 0-120 keV", (13.9, 17.75, 20.8, 26.34, 59.54), (3e3, 4e3, 1e3, 2e3, 2e4),
     lambda e: np.sqrt(0.16 + 0.004 * np.maximum(e, 0)), 1024, dict(tail=0.15, e_max=120.0)),
])
def test_every_detector_without_a_prior(name, lines, areas, fwhm, n, kw):
    energy, counts = synthetic.source_spectrum(lines, areas, fwhm, n=n, seed=3, **kw)
    r = run(energy, counts, lines=lines, rl_iterations=5, em_iterations=5)
    assert not r.missing, name
    for line in lines:
        p = by_name(r)[f"{line:g} keV"]
        assert abs(p.energy - line) <= max(0.5, 0.25 * float(fwhm(line))), name
    assert r.resolution.fwhm(lines[-1]) == pytest.approx(float(fwhm(lines[-1])), rel=0.25)


@pytest.mark.parametrize("lines, areas", [
    ((79.61, 80.997, 356.01), (2e4, 3e4, 1e5)),  # 1.4 keV apart, 1.6 FWHM
    ((661.66, 663.66), (1e5, 5e3)),  # a 5 % shoulder 1.4 FWHM away must neither vanish nor swallow its line
    ((661.66, 663.46), (1e5, 1e4)),
    ((121.78, 344.28, 346.4, 778.9, 781.5, 1408.0), (3e4, 4e4, 2e4, 2e4, 1.5e4, 2e4)),  # pairs after single lines
])
def test_a_doublet_is_fitted_as_two_peaks(lines, areas):
    energy, counts = synthetic.source_spectrum(lines, areas, synthetic.hpge_fwhm, n=8192, seed=5)
    r = run(energy, counts, rl_iterations=5, em_iterations=5)  # no known lines to lean on
    for line, area in zip(lines, areas):
        p = min(r.peaks, key=lambda p: abs(p.energy - line))
        assert abs(p.energy - line) < 0.1 and p.area == pytest.approx(area, rel=0.1)


def test_pure_noise_gives_no_peaks_and_a_bounded_run():
    counts = np.random.default_rng(1).poisson(200.0, 4096).astype(np.float64)
    energy = np.arange(4096) * 0.5 + 0.25
    assert run(energy, counts, rl_iterations=1, em_iterations=1).peaks == ()
    r = run(energy, counts, threshold=0.5, rl_iterations=1, em_iterations=1)
    assert r.candidates > 0  # a low threshold takes many candidates yet ends (fit budget, capped multiplets)


def pk(energy, area, unc=None):
    return Peak(energy, 0.01, 2.0, 0.01, area, unc or math.sqrt(area), (0, 1), np.zeros(6), (0, 0, 0))


@pytest.mark.parametrize("peaks_, lines, kind, expected", [
    # a 99 keV peak stronger than its would-be 1120 keV parent is no double escape
    ([pk(98.3, 2968), pk(1120.3, 2280)], (1120.29,), "hpge", [None, "1120.29 keV"]),
    ([pk(1592.5, 400), pk(2103.5, 650), pk(2614.5, 8000)], (2614.51,), "hpge",
     ["double escape of 2614.51 keV", "single escape of 2614.51 keV", "2614.51 keV"]),
    ([pk(1592.5, 400), pk(2614.5, 8000)], (), "hpge", [None, None]),  # no parent identified, no escape
    ([pk(510.9, 500)], (), "nai", ["annihilation (511 keV)"]),
    ([pk(510.2, 6e4), pk(1274.5, 2e4), pk(1785.5, 400)], (511.0, 1274.54), "hpge",  # Na-22, uncalibrated 511
     ["511 keV (annihilation)", "1274.54 keV", "sum of 511 + 1274.54 keV"]),
    ([pk(661.0, 500)], (661.66, 1460.82), "nai", ["661.66 keV"]),
])
def test_identification(peaks_, lines, kind, expected):
    named, missing = identify.identify(peaks_, lines, Resolution(0.0, 0.004), kind)
    assert [p.identification and str(p.identification) for p in named] == expected
    assert [p.energy for p in named] == [p.energy for p in peaks_] and all(p.identification is None for p in peaks_)
    assert missing == [e for e in sorted(lines) if not any(str(x).startswith(f"{e:g} keV") for x in expected)]


@pytest.mark.parametrize("lines, calibration, worst", [
    ((511.0, 1274.54), (0.0, 0.3671), 0.1),  # gain 0.3 % off: a straight line from two lines
    ((121.78, 344.28, 778.9, 1408.0), (0.5, 0.3671, 3e-7), 0.1),
    ((661.66,), (0.0, 0.3671), 0.1),  # one line: the gain alone
    ((661.66, 1160.0, 1173.23, 1332.49), (0.0, 0.3671), 0.1),  # 1160 keV is absent: it must not take 1173's peak
])
def test_recalibration_from_known_lines(lines, calibration, worst):
    true_cal = (0.2, 0.366, 1e-7)
    present = [e for e in lines if e != 1160.0]
    energy, counts = synthetic.source_spectrum(present, [3e4] * len(present), synthetic.hpge_fwhm, n=4096, seed=2,
                                               calibration=true_cal)
    from quodex.spectrum.model import Calibration
    base = Calibration(calibration, "file")
    r = run(None, counts, base, lines=lines, recalibrate=True, rl_iterations=1, em_iterations=1)
    assert r.calibration.source.startswith("recalibrated")
    assert max(abs(x) for x in r.recalibration.residuals) < worst
    for line in present:
        assert abs(by_name(r)[f"{line:g} keV"].energy - line) < worst


def test_model_response_rows_and_unfolding_fit():
    energy, counts = synthetic.source_spectrum((661.66, 1332.49), (1e5, 5e4), SCINT(0.07), n=1024, seed=1,
                                               scintillator=True)
    res = Resolution(0.0, (0.07 * 662) ** 2 / 662)
    grid, _ = unfold.grid_of(energy, counts)
    model = unfold.model_response(grid, res, KINDS["nai"], float(energy[-1]))
    offsets, indices, values = unfold.response_rows(grid, model)
    assert offsets.dtype == np.int64 and indices.dtype == np.int32 and offsets[-1] == len(values)
    sums = np.add.reduceat(values, offsets[:-1])[np.diff(offsets) > 0]
    assert np.allclose(sums, 1.0)
    i = int(np.argmin(abs(grid - 661.66)))  # each row peaks at its own energy
    assert abs(indices[offsets[i] + np.argmax(values[offsets[i]:offsets[i + 1]])] - i) <= 1
    u = unfold.unfold(energy, counts, model, 100)
    assert u.chi2 < 2.0
    near = np.abs(grid - 661.66) < 50
    assert u.unfolded[near].sum() > 1.5 * u.counts[near].sum()  # the Compton counts move back into the line


def test_resolution_axis_carries_the_detector_resolution():
    from quodex.utils.numerics.kernels.deconvolution import build_gaussian_response
    energy = synthetic.bin_centres(8192)
    res = Resolution(0.7, 0.0021)
    u, k = unfold.resolution_axis(energy, res)
    sigma_u = k * u**1.5 / FWHM_C
    assert np.allclose(sigma_u / np.gradient(u, energy), res.fwhm(energy) / FWHM_C, rtol=1e-3)
    offsets, indices, values = build_gaussian_response(u, sigma_u)
    i = int(np.argmin(np.abs(energy - 1332.49)))
    row = slice(offsets[i], offsets[i + 1])
    pos = energy[indices[row]]
    spread = math.sqrt(np.sum(values[row] * (pos - np.sum(values[row] * pos)) ** 2))
    assert spread == pytest.approx(res.fwhm(1332.49) / FWHM_C, rel=0.01)


def test_fit_jacobian_with_tail_and_step_matches_finite_differences():
    x = np.linspace(640.0, 680.0, 120)
    model = fit.RegionModel(x, 2, shape=True)
    p = np.array([900.0, 655.0, 0.4, 300.0, 662.0, 0.9, 120.0, -1.5, 0.3, 2.5, 0.01])
    numeric = np.empty((len(x), len(p)))
    for j in range(len(p)):
        h = 1e-6 * max(abs(p[j]), 1.0)
        up, down = p.copy(), p.copy()
        up[j] += h
        down[j] -= h
        numeric[:, j] = (model(up) - model(down)) / (2 * h)
    assert np.allclose(model.jacobian(p), numeric, rtol=1e-4, atol=1e-5 * np.abs(numeric).max())


# --- The command line ------------------------------------------------------------------------------

NAI_LINES = (661.66, 1460.82)


@pytest.fixture(scope="module")
def nai_counts():
    _, counts = synthetic.source_spectrum(NAI_LINES, (8e4, 2e4), SCINT(0.07), n=1024, seed=4, scintillator=True,
                                          calibration=(0.0, 2.93))
    return counts


@pytest.mark.parametrize("writer, name", [
    (files.write_spe, "s.spe"), (files.write_n42_2011, "s.n42"), (files.write_n42_2006, "s.xml"),
    (files.write_chn, "s.chn"), (files.write_amptek, "s.mca"), (files.write_radiacode, "s.xml"),
])
def test_command_line_reads_each_format_and_writes_json(tmp_path, nai_counts, writer, name, capsys):
    path = tmp_path / name
    times = dict(live_time=600.0) if writer is files.write_radiacode else dict(live_time=600.0, real_time=610.0)
    writer(path, nai_counts, calibration=(0.0, 2.93), **times)
    out = tmp_path / "out.json"
    argv = [str(path), "--lines", "661.66,1460.82", "--json", str(out), "--rl-iterations", "2", "--em-iterations", "2"]
    assert cli.main(argv) == 0
    doc = json.loads(out.read_text())
    assert out.read_text().splitlines()[1] == ' "program": {'  # one key a line, for people and diffs
    assert doc["input"]["channels"] == 1024 and doc["input"]["live_time"] == 600.0
    assert doc["calibration"]["coefficients"][1] == pytest.approx(2.93)
    energies = [p["energy"] for p in doc["peaks"]]
    for line in NAI_LINES:
        assert any(abs(e - line) < 0.25 * float(SCINT(0.07)(line)) for e in energies)
    assert set(doc["peaks"][0]) == {"energy", "energy_unc", "fwhm", "area", "area_unc", "significance",
                                    "identification", "flags"}
    assert doc["missing_lines"] == [] and "times" in doc and doc["unfolding"]["chi2_per_channel"] > 0
    assert doc["unfolding"]["covers_kev"] == [50.0, pytest.approx(1023 * 2.93)]  # the modelled response reaches the top


def test_channel_text_needs_a_calibration(tmp_path, nai_counts, capsys):
    path = tmp_path / "mca.csv"
    path.write_text("channel,counts\n" + "".join(f"{i},{int(c)}\n" for i, c in enumerate(nai_counts)))
    assert cli.main([str(path)]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "no energy calibration" in err[0] and "--calibration" in err[0]
    out = tmp_path / "o.json"
    assert cli.main([str(path), "--calibration", "0,2.93", "--json", str(out), "--rl-iterations", "1",
                     "--em-iterations", "1"]) == 0
    assert json.loads(out.read_text())["calibration"]["source"] == "--calibration"


@pytest.mark.parametrize("argv, message", [
    (["missing.spe"], "cannot read missing.spe"),
    (["--response", "missing.npz"], "cannot read response missing.npz"),
    (["--calibration", "5,-1", "{spe}"], "does not give ascending energies"),
    (["--plot", "/no/such/dir/x.png"], "no such directory"),
])
def test_command_line_errors_are_one_line_with_exit_code_2(tmp_path, nai_counts, capsys, argv, message):
    spe = tmp_path / "s.spe"
    files.write_spe(spe, nai_counts, calibration=(0.0, 2.93))
    assert cli.main([a.format(spe=spe) for a in argv]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith("quodex-spectrum: error: ") and message in err[0]


@pytest.mark.parametrize("content, message", [
    (dict(matrix=np.ones((3, 4)), ref_energies=np.array([1.0, 2.0, 3.0])), "no array 'energy_axis'"),
    (dict(matrix=np.ones((3, 4)), ref_energies=np.array([1.0, 2.0, 3.0]), energy_axis=np.arange(5.0)), "must be"),
    (dict(matrix=-np.ones((2, 3)), ref_energies=np.array([1.0, 2.0]), energy_axis=np.arange(3.0)), ">= 0"),
    (dict(matrix=np.ones((2, 3)), ref_energies=np.array([2.0, 1.0]), energy_axis=np.arange(3.0)), "ascend"),
    (dict(matrix=np.ones((2, 3)), ref_energies=np.array([1.0, 2.0]), energy_axis=np.array([0.0, 1.0, 1.0])), "ascend"),
    (dict(matrix=np.ones((2, 3)), ref_energies=np.array([[1.0, 2.0]]), energy_axis=np.arange(3.0)), "must be"),
])
def test_response_files_are_checked(tmp_path, content, message):
    path = tmp_path / "r.npz"
    np.savez(path, **content)
    with pytest.raises(ResponseFileError, match=message):
        unfold.load_response(path)


def test_a_given_response_is_resampled_and_used(tmp_path, nai_counts):
    axis = synthetic.bin_centres(1500, 3000.0)
    ref = np.geomspace(50.0, 3000.0, 30)
    fwhm = SCINT(0.07)
    matrix = np.array([synthetic.hpge_line_shape(axis, e, fwhm, synthetic.scintillator_peak_to_total,
                                                 synthetic.no_escape) for e in ref])
    np.savez(tmp_path / "r.npz", matrix=matrix, ref_energies=ref, energy_axis=axis)
    files.write_spe(tmp_path / "s.spe", nai_counts, calibration=(0.0, 2.93))
    out = tmp_path / "o.json"
    assert cli.main([str(tmp_path / "s.spe"), "--response", str(tmp_path / "r.npz"), "--json", str(out),
                     "--rl-iterations", "1"]) == 0
    doc = json.loads(out.read_text())
    assert doc["unfolding"]["response"].startswith("file ") and doc["unfolding"]["chi2_per_channel"] < 3.0
    assert not any("modelled response" in w for w in doc["warnings"])


def test_figure_without_peaks(tmp_path):
    pytest.importorskip("matplotlib")
    counts = np.random.default_rng(0).poisson(50.0, 512).astype(np.float64)
    files.write_spe(tmp_path / "flat.spe", counts, calibration=(0.0, 3.0))
    png = tmp_path / "f.png"
    assert cli.main([str(tmp_path / "flat.spe"), "--plot", str(png), "--rl-iterations", "1", "--em-iterations", "1"]) == 0
    assert png.stat().st_size > 10000


def test_plot_needs_matplotlib_only_when_asked_for(tmp_path, nai_counts, monkeypatch, capsys):
    import importlib.util
    files.write_spe(tmp_path / "s.spe", nai_counts, calibration=(0.0, 2.93))
    find = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "matplotlib" else find(name, *a))
    assert cli.main([str(tmp_path / "s.spe"), "--plot", str(tmp_path / "p.png")]) == 2
    assert "--plot needs matplotlib" in capsys.readouterr().err and not (tmp_path / "p.png").exists()
    assert cli.main([str(tmp_path / "s.spe"), "--rl-iterations", "1", "--em-iterations", "1"]) == 0


@pytest.mark.parametrize("e", [1500.0, 2614.5])
def test_generated_lines_have_the_asked_intensities(e):
    # photopeak 1, backscatter bump 0.05, escape peaks 0.08 and 0.04 of it: the benchmarks' detector
    axis = synthetic.bin_centres(8192)
    k = synthetic.k_for_sigma(1.0)
    sigma = lambda en: float(synthetic.sigma_of(k, en))  # noqa: E731
    shape = synthetic.line_shape(axis, e, sigma)
    back_e = e / (1.0 + 2.0 * e / 511.0)
    for at, area, half in ((e, 1.0, 5 * sigma(e)), (e - 511.0, 0.08, 5 * sigma(e - 511.0)),
                           (e - 1022.0, 0.04, 5 * sigma(e - 1022.0)), (back_e, 0.05, 4 * (3 * sigma(e) + 10))):
        inside = np.abs(axis - at) < half
        side = (np.abs(axis - at) >= half) & (np.abs(axis - at) < 2 * half)
        net = shape[inside].sum() - shape[side].mean() * inside.sum()
        assert net == pytest.approx(area, rel=0.15), at
    # and a Compton continuum of 2.2 (E / 662 keV)^0.3 of the photopeak, ending at the Compton edge
    assert shape.sum() == pytest.approx(1.0 + 2.2 * (e / 662.0) ** 0.3 + 0.05 + 0.12, rel=0.005)
    assert 2 * shape[axis > e].sum() == pytest.approx(1.0, rel=0.02)


RES = Resolution(0.0, 0.004)  # FWHM 1.43 keV at 511, 2.31 keV at 1332.5


def _named(peaks_, lines, kind="hpge"):
    return [p.identification and str(p.identification) for p in identify.identify(peaks_, lines, RES, kind)[0]]


@pytest.mark.parametrize("inside", [0.93, 1.07])
def test_identification_windows(inside):
    # a line: half a FWHM (or 3 centroid uncertainties, at least 0.3 keV); 511 keV: 1.5 times that
    named = inside < 1
    half = 0.5 * float(RES.fwhm(1332.5))
    assert _named([pk(1332.5 + inside * half, 1e4)], (1332.5,)) == ["1332.5 keV" if named else None]
    wide = Peak(1332.5 + inside * 3 * 0.5, 0.5, 2.0, 0.01, 1e4, 100.0, (0, 1), np.zeros(6), (0, 0, 0))
    assert _named([wide], (1332.5,)) == ["1332.5 keV" if named else None]
    annihilation = 1.5 * 0.5 * float(RES.fwhm(511.0))
    assert _named([pk(510.999 + inside * annihilation, 1e4)], (511.0,)) == ["511 keV (annihilation)" if named else None]
    assert _named([pk(510.999 - inside * annihilation, 1e4)], ()) == ["annihilation (511 keV)" if named else None]


def test_an_escape_peak_within_three_deviations_of_its_limit():
    ratio = KINDS["hpge"].max_escape_ratio(2614.5)
    for sigmas, named in ((2.5, True), (3.5, False)):
        escape = Peak(2103.5, 0.01, 2.0, 0.01, ratio * 1e6 + sigmas * 2000.0, 2000.0, (0, 1), np.zeros(6), (0, 0, 0))
        assert _named([escape, pk(2614.5, 1e6, 1.0)], (2614.5,))[0] == ("single escape of 2614.5 keV" if named else None)


@pytest.mark.parametrize("share, named", [(0.95, True), (1.05, False)])
def test_escape_and_sum_peaks_need_plausible_areas(share, named):
    parent = pk(2614.5, 1e6, 1.0)
    ratio = KINDS["hpge"].max_escape_ratio(2614.5)
    escape = Peak(2103.5, 0.01, 2.0, 0.01, share * ratio * 1e6, 1.0, (0, 1), np.zeros(6), (0, 0, 0))
    assert _named([escape, parent], (2614.5,))[0] == ("single escape of 2614.5 keV" if named else None)
    a, b = pk(511.0, 1e5, 1.0), pk(1274.5, 5e4, 1.0)
    total = pk(1785.5, share * 0.2 * 5e4, 1.0)
    assert _named([a, b, total], (511.0, 1274.5))[2] == ("sum of 511 + 1274.5 keV" if named else None)


def test_the_generators_make_what_they_promise():
    np.testing.assert_allclose(synthetic.bin_centres(4, 8.0), [1.0, 3.0, 5.0, 7.0])
    k = synthetic.k_for_sigma(1.0)
    assert float(synthetic.sigma_of(k, 662.0)) == pytest.approx(1.0) and float(synthetic.sigma_of(k, 4 * 662.0)) == \
        pytest.approx(8.0)  # sigma grows as E^1.5
    axis = synthetic.bin_centres(3000)
    flat = synthetic.expected_spectrum(axis, [], [], k, continuum=1000.0)
    assert flat[0] == pytest.approx(1020.0, rel=2e-3) and np.all(np.diff(flat) < 0)  # falling continuum, 2 % slow
    assert flat[-1] == pytest.approx(1000.0 * np.exp(-7.5) + 20.0 * np.exp(-1.0), rel=1e-3)
    background = synthetic.hpge_background(axis)
    assert np.all(np.diff(background) < 0) and 0.15 < background[-1] < 0.4  # per keV, falling to a floor
    lines = synthetic.source_spectrum((661.66,), (1e5,), synthetic.hpge_fwhm, background=0.0, seed=1)
    assert lines[0][-1] == pytest.approx(3000.0 * (1 - 0.5 / 1024)) and lines[1][lines[0] > 680.0].sum() == 0
    for scintillator, ptt in ((False, 1 / (1 + 662 / 350)), (True, 1 / (1 + 662 / 700))):  # events per photopeak event
        alone = synthetic.source_spectrum((662.0,), (1e5,), synthetic.hpge_fwhm, background=0.0, scintillator=scintillator)
        assert alone[1].sum() == pytest.approx(1e5 * (1 + 1.04 * (1 / ptt - 1)), rel=0.01)
    one, two = (synthetic.hpge_mixed_source(n=2048, scale=s)[1].sum() for s in (1.0, 2.0))
    assert two == pytest.approx(2 * one, rel=0.01)


def test_the_benchmark_spectra():
    for make, sigma in ((synthetic.hpge, 1.0), (synthetic.nai, 19.7)):
        axis, counts, k = make(n=2048, counts=1e5)
        assert len(axis) == len(counts) == 2048 and float(synthetic.sigma_of(k, 662.0)) == pytest.approx(sigma)
        i = int(np.argmin(np.abs(axis - 661.657)))
        assert counts[i] > 2 * counts[int(np.argmin(np.abs(axis - 800.0)))]  # its 662 keV line stands out
    mean = synthetic.expected_spectrum(axis, (1000.0,), (5e4,), k, continuum=0.0)
    assert axis[np.argmax(mean)] == pytest.approx(1000.0, abs=2.0)
    rows, row_axis = synthetic.response_matrix((500.0, 1500.0), channels=1000)
    assert rows.shape == (2, 1000) and [row_axis[np.argmax(r)] for r in rows] == pytest.approx([500.0, 1500.0], abs=3.0)
