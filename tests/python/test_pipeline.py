"""The example spectrum pipeline (examples/spectrum_pipeline.py): on seeded mixed-source spectra it finds
the six lines at their energies with no spurious peaks, fits areas and uncertainties that agree with the
truth of the generator, sharpens and unfolds as it claims; malformed spectrum files end the command with
exit code 2 and one line on stderr."""
import importlib.util
import math
import os
import re
import subprocess
import sys

import numpy as np
import pytest

EXAMPLES = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
sys.path.insert(0, EXAMPLES)

import spectrum_pipeline as pipe  # noqa: E402
import synthetic  # noqa: E402
from quodex.utils.numerics.kernels.deconvolution import build_gaussian_response  # noqa: E402
from quodex.utils.numerics.kernels.mariscotti import mariscotti_peak_search_cy  # noqa: E402

SCRIPT = os.path.join(EXAMPLES, "spectrum_pipeline.py")
SEEDS = (0, 2, 7)


@pytest.fixture(scope="module")
def runs():
    out = {}
    for seed in SEEDS:
        energy, counts = synthetic.hpge_mixed_source(seed=seed)
        out[seed] = pipe.run_pipeline(energy, counts)
    return out


def known_lines(result):
    return {ln.known: ln for ln in result.table if math.isfinite(ln.known)}


@pytest.mark.parametrize("seed", SEEDS)
def test_finds_the_six_lines_and_no_spurious_peaks(runs, seed):
    r = runs[seed]
    lines = known_lines(r)
    assert sorted(lines) == sorted(synthetic.MIXED_SOURCE_KEV)
    for energy, ln in lines.items():
        assert ln.peak is not None, f"{energy} keV not found"
        assert abs(ln.peak.energy - energy) < 0.2
        # the fit's own uncertainty describes the deviation from the truth
        assert abs(ln.peak.energy - energy) < 5 * ln.peak.energy_err + 0.005
    assert len(pipe.spurious(r.table)) <= 2
    for ln in r.table:
        if "escape" in ln.note:
            parent = float(ln.note.rsplit(" ", 1)[1])
            shift = 511.0 if ln.note.startswith("single") else 1022.0
            assert abs(ln.peak.energy - (parent - shift)) < 0.5


@pytest.mark.parametrize("seed", SEEDS)
def test_net_areas_and_resolution_agree_with_the_generator(runs, seed):
    r = runs[seed]
    lines = known_lines(r)
    for energy, area in zip(synthetic.MIXED_SOURCE_KEV, synthetic.MIXED_SOURCE_AREAS):
        pk = lines[energy].peak
        assert abs(pk.area - area) < 5 * pk.area_err
        assert pk.area_err > math.sqrt(area) * 0.9  # no better than the Poisson limit of the peak itself
    assert r.resolution_fitted
    for energy in (59.54, 1332.49, 2614.51):
        assert r.resolution.fwhm(energy) == pytest.approx(synthetic.hpge_fwhm(energy), rel=0.06)


@pytest.mark.parametrize("seed", SEEDS)
def test_sharpening_narrows_every_line_and_keeps_the_counts(runs, seed):
    r = runs[seed]
    assert r.sharpened.sum() == pytest.approx(r.counts.sum(), rel=1e-9)
    assert np.all(r.sharpened >= 0)
    for ln in known_lines(r).values():
        assert ln.sharpened is not None
        assert ln.peak.fwhm / ln.sharpened.fwhm > 2.0
        assert abs(ln.sharpened.energy - ln.peak.energy) < 0.1


@pytest.mark.parametrize("seed", SEEDS)
def test_unfolding_moves_continua_and_escape_peaks_into_the_photopeaks(runs, seed):
    r = runs[seed]
    lines = synthetic.MIXED_SOURCE_KEV
    assert pipe.photopeak_fraction(r.grid, r.grid_counts, lines, r.resolution) < 0.4
    assert pipe.photopeak_fraction(r.grid, r.unfolded, lines, r.resolution) > 0.9
    step = float(np.mean(np.diff(r.grid)))
    for energy, area in zip(lines, synthetic.MIXED_SOURCE_AREAS):
        # every event the line caused: photopeak, Compton continuum and escape peaks
        events = area / synthetic.hpge_peak_to_total(energy) * (1 + sum(synthetic.hpge_escape_fractions(energy)))
        window = np.abs(r.grid - energy) <= max(2 * float(r.resolution.fwhm(energy)), step)
        assert r.unfolded[window].sum() == pytest.approx(events, rel=0.15)


def test_response_rows_cover_the_tabulated_range_only():
    grid = synthetic.bin_centres(512)
    res = pipe.Resolution(0.7, 0.002)
    offsets, indices, values = pipe.response_rows(grid, res)
    assert offsets.dtype == np.int64 and len(offsets) == len(grid) + 1 and offsets[0] == 0
    assert np.all(np.diff(offsets) >= 0) and offsets[-1] == len(indices) == len(values)
    lengths = np.diff(offsets)
    assert np.all(lengths[grid <= pipe.REFERENCE_LOW_KEV] == 0)
    assert np.all(lengths[grid > pipe.REFERENCE_LOW_KEV] > 0)
    sums = pipe.row_sums(offsets, values)
    assert np.allclose(sums[lengths > 0], 1.0, atol=1e-6)
    for e in (100.0, 661.66, 2614.51):  # each row peaks at its own energy: rows are not shifted
        i = int(np.argmin(np.abs(grid - e)))
        row = slice(offsets[i], offsets[i + 1])
        assert abs(int(indices[row][np.argmax(values[row])]) - i) <= 1


def test_resolution_axis_carries_the_detector_resolution():
    energy = synthetic.bin_centres(8192)
    res = pipe.Resolution(0.7, 0.0021)
    u, k = pipe.resolution_axis(energy, res)
    assert np.all(np.diff(u) > 0) and 1.0 <= u[0] and u[-1] <= 4.0 + 1e-12
    sigma_u = k * u**1.5 / pipe.FWHM_C  # what richardson_lucy_cy assumes on the axis it is given
    du_de = np.gradient(u, energy)
    assert np.allclose(sigma_u / du_de, res.fwhm(energy) / pipe.FWHM_C, rtol=1e-3)
    # a row of the Gaussian response on u spreads a bin over the detector's width in energy
    offsets, indices, values = build_gaussian_response(u, sigma_u)
    for e in (59.54, 1332.49, 2614.51):
        i = int(np.argmin(np.abs(energy - e)))
        row = slice(offsets[i], offsets[i + 1])
        pos = energy[indices[row]]
        mean = np.sum(values[row] * pos)
        spread = math.sqrt(np.sum(values[row] * (pos - mean) ** 2))
        assert spread == pytest.approx(res.fwhm(e) / pipe.FWHM_C, rel=0.01)


def test_analytic_jacobian_matches_finite_differences():
    x = np.linspace(640.0, 680.0, 120)
    y = np.random.default_rng(3).poisson(200.0, len(x)).astype(np.float64)
    sigma = np.sqrt(np.maximum(y, 1.0))
    p = np.array([900.0, 655.0, 0.4, 300.0, 662.0, 0.9, 120.0, -1.5])
    residuals, jacobian = pipe.weighted_problem(x, y, sigma, 660.0)
    numeric = np.empty((len(x), len(p)))
    for j in range(len(p)):
        h = 1e-6 * max(abs(p[j]), 1.0)
        up, down = p.copy(), p.copy()
        up[j] += h
        down[j] -= h
        numeric[:, j] = (residuals(up) - residuals(down)) / (2 * h)
    assert np.allclose(jacobian(p), numeric, rtol=1e-5, atol=1e-6 * np.abs(numeric).max())


def test_fit_recovers_a_noiseless_doublet():
    x = synthetic.bin_centres(8192)[3000:3120]  # 1098.6 .. 1142.3 keV
    truth = np.array([5000.0, 1115.0, 0.55, 2000.0, 1119.0, 0.6, 80.0, -0.7])
    centre = 0.5 * (x[0] + x[-1])
    y = pipe.peak_model(x, truth, centre)
    p, cov, chi2, bounds, c = pipe.fit_region(x, y, [1115.3, 1118.7], pipe.NOMINAL_RESOLUTION)
    assert c == centre
    assert np.allclose(p, truth, rtol=1e-6, atol=1e-6)
    peaks = pipe.peaks_from_fit(x, p, cov, chi2, bounds, c, (3000, 3120))
    assert [reason for _, reason in peaks] == [None, None]
    width = x[1] - x[0]
    assert peaks[0][0].area == pytest.approx(5000.0 * math.sqrt(2 * math.pi * 0.55) / width, rel=1e-6)
    assert peaks[1][0].fwhm == pytest.approx(pipe.FWHM_C * math.sqrt(0.6), rel=1e-6)


def test_reported_uncertainties_match_the_scatter_of_repeated_measurements():
    x = synthetic.bin_centres(8192)[1780:1830]
    centre = 0.5 * (x[0] + x[-1])
    mean = pipe.peak_model(x, np.array([900.0, 661.66, 0.33, 60.0, -0.5]), centre)
    rng = np.random.default_rng(11)
    found, errors = [], []
    for _ in range(150):
        y = rng.poisson(mean).astype(np.float64)
        p, cov, chi2, bounds, c = pipe.fit_region(x, y, [661.5], pipe.NOMINAL_RESOLUTION)
        (pk, reason), = pipe.peaks_from_fit(x, p, cov, chi2, bounds, c, (0, len(x)))
        assert reason is None
        found.append((pk.energy, pk.area, pk.fwhm))
        errors.append((pk.energy_err, pk.area_err, pk.fwhm_err))
    ratio = np.std(found, axis=0) / np.mean(errors, axis=0)
    assert np.all((ratio > 0.8) & (ratio < 1.25)), ratio


@pytest.mark.parametrize("seed", range(4))
def test_peak_search_finds_a_wide_peak_through_summed_channels(seed):
    energy = np.arange(4096.0)  # 1 keV channels
    res = pipe.Resolution(6.0 * pipe.FWHM_C, 0.0)  # sigma of six channels
    rng = np.random.default_rng(seed)
    flat = np.full(len(energy), 400.0)
    assert pipe.find_candidates(energy, rng.poisson(flat).astype(np.float64), 5.0, res) == []
    peak = 8000.0 * np.exp(-0.5 * ((energy - 2000.0) / 6.0) ** 2) / (math.sqrt(2 * math.pi) * 6.0)
    counts = rng.poisson(flat + peak).astype(np.float64)
    # one channel wide, the second difference of so wide a peak drowns in its own noise
    s, f = mariscotti_peak_search_cy(counts)
    assert np.max(-s[1990:2010] / f[1990:2010]) < 5.0
    found = pipe.find_candidates(energy, counts, 5.0, res)
    assert len(found) == 1 and abs(found[0].channel - 2000) <= 6 and found[0].scale > 1


# --- Spectrum files --------------------------------------------------------------------------------

def spectrum_text(bad_line=None, at=10, n=100):
    """A valid file of n channels with a header comment, or with line `at` of the data replaced."""
    lines = ["# energy (keV), counts"] + [f"{0.5 + i:.1f} {10 + i % 7}" for i in range(n)]
    if bad_line is not None:
        lines[at] = bad_line
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("bad_line, message", [
    ("10.5 abc", "line 11: not a number: '10.5 abc'"),
    ("ten 3", "line 11: not a number"),
    ("9.5 1 2", "line 11: expected 2 columns (energy, counts), found 3"),
    ("9.5", "line 11: expected 2 columns (energy, counts), found 1"),
    ("9.5 nan", "line 11: energy and counts must be finite"),
    ("inf 3", "line 11: energy and counts must be finite"),
    ("9.5 -1", "line 11: negative counts -1"),
    ("8.5 3", "line 11: energies must ascend, 8.5 follows 8.5"),
    ("3.0 3", "line 11: energies must ascend, 3.0 follows 8.5"),
])
def test_malformed_lines_are_named(tmp_path, bad_line, message):
    path = tmp_path / "spectrum.txt"
    path.write_text(spectrum_text(bad_line))
    with pytest.raises(pipe.SpectrumFileError) as err:
        pipe.read_spectrum(str(path))
    assert str(err.value).startswith(f"{path}, {message}")
    assert "\n" not in str(err.value)


@pytest.mark.parametrize("content, message", [
    ("", "a spectrum needs at least 64 channels, found 0"),
    ("# only a comment\n\n", "a spectrum needs at least 64 channels, found 0"),
    (spectrum_text(n=10), "a spectrum needs at least 64 channels, found 10"),
    ("\n".join(f"{i + 1} 0" for i in range(100)), "all counts are zero"),
    ("\n".join(f"{0.2 * (i + 1):.1f} 5" for i in range(100)), "energies end at 20.0 keV, below 50.0 keV"),
])
def test_unusable_spectra_are_rejected(tmp_path, content, message):
    path = tmp_path / "spectrum.txt"
    path.write_text(content)
    with pytest.raises(pipe.SpectrumFileError, match="^" + re.escape(f"{path}: {message}") + "$"):
        pipe.read_spectrum(str(path))


def test_unreadable_files(tmp_path):
    binary = tmp_path / "binary.spe"
    binary.write_bytes(bytes(range(128, 256)) * 4)
    for path, reason in ((tmp_path / "missing.txt", "No such file or directory"),
                         (tmp_path, "Is a directory"),
                         (binary, "not a UTF-8 text file")):
        with pytest.raises(pipe.SpectrumFileError, match=f"^cannot read {re.escape(str(path))}: {reason}$"):
            pipe.read_spectrum(str(path))


def test_reads_commas_tabs_comments_and_blank_lines(tmp_path):
    path = tmp_path / "spectrum.csv"
    body = "".join(f"{i * 0.75:.2f},\t{(i * 37) % 11}  # channel {i}\r\n" + ("\n" if i % 10 == 0 else "")
                   for i in range(80))
    path.write_text("# exported spectrum\n" + body)
    energy, counts = pipe.read_spectrum(str(path))
    assert np.array_equal(energy, np.arange(80) * 0.75)
    assert np.array_equal(counts, (np.arange(80) * 37) % 11)
    assert energy.dtype == counts.dtype == np.float64


@pytest.mark.parametrize("args, message", [
    (["--spectrum", "{tmp}/missing.txt"], "spectrum_pipeline.py: error: cannot read {tmp}/missing.txt: "
                                          "No such file or directory"),
    (["--spectrum", "{tmp}/bad.txt"], "spectrum_pipeline.py: error: {tmp}/bad.txt, line 11: negative counts -4"),
])
def test_command_line_errors_are_one_line_with_exit_code_2(tmp_path, args, message):
    (tmp_path / "bad.txt").write_text(spectrum_text("9.5 -4"))
    argv = [a.format(tmp=tmp_path) for a in args]
    proc = subprocess.run([sys.executable, SCRIPT, *argv], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert proc.stderr == message.format(tmp=tmp_path) + "\n"


@pytest.mark.parametrize("args", [["--threshold", "0"], ["--threshold", "nan"], ["--lines", "661.66,x"],
                                  ["--lines", "-5"], ["--em-iterations", "-1"], ["--seed", "1.5"]])
def test_bad_options_exit_with_code_2(args, capsys):
    with pytest.raises(SystemExit) as exit_:
        pipe.main(args)
    assert exit_.value.code == 2
    assert "error:" in capsys.readouterr().err


def test_main_analyses_a_spectrum_file(tmp_path, capsys):
    energy, counts = synthetic.hpge_mixed_source(seed=5)
    path = tmp_path / "measured.txt"
    np.savetxt(path, np.column_stack((energy, counts)), fmt=["%.6f", "%d"], header="energy counts")
    argv = ["--spectrum", str(path), "--em-iterations", "20"]
    if importlib.util.find_spec("matplotlib") is not None:
        argv += ["--plot", str(tmp_path / "figure.png")]
    assert pipe.main(argv) == 0
    out = capsys.readouterr().out
    assert "6 of 6 known lines found" in out and "0 unidentified peaks" in out
    for stage in ("peak search", "peak fits", "sharpening", "response resampling", "unfolding"):
        assert f"{stage} " in out.rsplit("Time per stage:", 1)[1]
    if "--plot" in argv:
        assert (tmp_path / "figure.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
