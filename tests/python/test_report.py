"""What the reports say and what batches write: the text a user reads, the JSON a program reads, the
summary table, the files a batch finds, errors that survive a trip to a worker process."""
import csv
import json
import math
import pickle
import re

import numpy as np
import pytest

import spectrum_files as files
from quodex.spectrum import FileFormatError, Options, Spectrum, analyse, batch, report, synthetic
from quodex.spectrum.calibration import recalibrate
from quodex.spectrum.detector import Resolution
from quodex.spectrum.model import Calibration
from quodex.spectrum.results import Flag, Peak

FAST = dict(rl_iterations=1, em_iterations=1)
CAL = (0.2, 0.366, 1e-7)
LINES = (344.28, 661.66, 1173.23, 1332.49, 1460.82)


@pytest.fixture(scope="module")
def result():
    _, counts = synthetic.source_spectrum(LINES, (2e4, 4e4, 3e4, 3e4, 1e4), synthetic.hpge_fwhm, n=4096, seed=9, calibration=CAL)
    spectrum = Spectrum(counts, "lab/co.spe", "IAEA SPE", calibration=Calibration((0.0, 0.3665), "file ($MCA_CAL)"),
                        live_time=600.0, real_time=612.5, notes=("summed 2 measurements",))
    return analyse(spectrum, Options(lines=LINES + (2000.0,), recalibrate=True, **FAST))


def test_the_text_report(result):
    text = report.text(result).splitlines()
    assert text[0] == (f"Spectrum: lab/co.spe (IAEA SPE); 4096 channels, {result.energy[0]:.2f}..{result.energy[-1]:.2f} "
                       f"keV, {result.counts.sum():.6g} counts; live 600 s, real 612.5 s")
    c = result.calibration.coefficients
    assert text[1] == f"Calibration: {result.calibration.source}: keV = {c[0]:.7g} + {c[1]:.7g} ch + {c[2]:.7g} ch^2"
    assert text[2].startswith("  residuals (keV): 344.28: ") and text[2].count(":") == 1 + len(LINES)
    assert text[3] == f"Resolution (fitted, hpge): {result.resolution}; {float(result.resolution.fwhm(662.0)):.2f} keV at 662 keV"
    assert text[4] == f"Peaks: {len(result.peaks)} reported from {result.candidates} candidates"
    rows = {round(float(line.split()[0])): line for line in text[7:7 + len(result.peaks)]}
    for line in LINES:
        p = min(result.peaks, key=lambda p: abs(p.energy - line))
        assert rows[round(p.energy)].split()[:2] == [f"{p.energy:.3f}", f"{p.energy_unc:.3f}"]
        assert rows[round(p.energy)].endswith(f"{line:g} keV" + (f"  [{', '.join(f.value for f in p.flags)}]"
                                                                 if p.flags else ""))
    u = result.unfolding
    assert f"Unfolding: {u.source}, 2048 channels, {u.entries} response entries, covering 50..{result.energy[-1]:.0f} keV; " \
           f"folded back: chi2/channel {u.chi2:.2f}" in text
    assert "warning: summed 2 measurements" in text and "warning: known lines not found: 2000 keV" in text
    assert text.index("warning: summed 2 measurements") < text.index("warning: known lines not found: 2000 keV")
    assert text[-1] == "Time per stage: " + ", ".join(f"{k} {1e3 * v:.0f} ms" for k, v in result.times.items())
    assert text[-1].startswith("Time per stage: peak search ")
    assert not re.search(r"\b(regions|sharpened|unfolding|curve)=", repr(result))  # values, not their arrays


def test_the_json_document(result):
    doc = json.loads(json.dumps(report.to_json(result), allow_nan=False))
    assert doc["input"] == {"path": "lab/co.spe", "format": "IAEA SPE", "channels": 4096, "live_time": 600.0,
                            "real_time": 612.5, "start_time": None, "total_counts": float(result.counts.sum())}
    assert doc["calibration"]["coefficients"] == list(result.calibration.coefficients)
    for m in doc["calibration"]["matched_lines"]:
        assert m["residual"] == pytest.approx(m["after"] - m["line"], abs=1e-4) and m["line"] in LINES
    res = doc["resolution"]
    assert res["detector_kind"] == "hpge" and res["fwhm_at_662_kev"] == pytest.approx(
        float(result.resolution.fwhm(662.0)), rel=1e-3)
    assert [p["energy"] for p in doc["peaks"]] == pytest.approx([p.energy for p in result.peaks], rel=1e-8)
    assert doc["missing_lines"] == [2000.0] and doc["warnings"] == list(result.warnings)
    assert doc["unfolding"]["channels"] == 2048 and doc["unfolding"]["covers_kev"][0] == 50.0
    assert set(doc["times"]) >= {"peak search", "peak fits", "sharpening", "unfolding"}


def test_numbers_json_cannot_hold_become_null():
    p = Peak(661.0, math.nan, 1.5, 0.01, 100.0, 0.0, (0, 9), np.zeros(6), (0, 0, 0), flags=(Flag.WIDE, Flag.TAIL))
    record = report.peak_record(p)
    assert record["energy_unc"] is None and record["significance"] is None and record["flags"] == ["tail", "wide"]
    assert record["energy"] == 661.0 and record["identification"] is None
    # the JSON's precision: energies to 9 significant digits, widths 5, areas 7, uncertainties 4
    q = Peak(661.123456789123, 0.0123456789, 1.23456789, 0.01, 12345.6789123, 123.456789, (0, 9), np.zeros(6), (0, 0, 0))
    assert report.peak_record(q) == {"energy": 661.123457, "energy_unc": 0.01235, "fwhm": 1.2346, "area": 12345.68,
                                     "area_unc": 123.5, "significance": 100.0, "identification": None, "flags": []}


def test_summary_rows_and_table(tmp_path):
    docs = [{"input": {"path": "a.spe"}, "peaks": [
        {"energy": 661.6, "energy_unc": 0.01, "fwhm": 1.5, "area": 10.0, "area_unc": 1.0, "significance": 10.0,
         "identification": "661.66 keV", "flags": ["tail", "multiplet"]},
        {"energy": 1460.8, "energy_unc": 0.02, "fwhm": 2.0, "area": 5.0, "area_unc": 1.0, "significance": 5.0,
         "identification": None, "flags": []}]},
            {"input": {"path": "b.spe"}, "peaks": []},
            {"input": {"path": "c.spe"}, "error": "c.spe, line 3: negative counts -1"}]
    rows = batch.summary_rows(docs)
    assert [(r["file"], r["energy"], r["flags"], r["error"]) for r in rows] == [
        ("a.spe", 661.6, "tail;multiplet", None), ("a.spe", 1460.8, "", None), ("b.spe", None, None, None),
        ("c.spe", None, None, "c.spe, line 3: negative counts -1")]
    written = batch.write_summary(rows, str(tmp_path / "summary"))
    with open(written[0], newline="") as f:
        table = list(csv.DictReader(f))
    assert list(table[0]) == list(batch.SUMMARY_COLUMNS) and table[0]["identification"] == "661.66 keV"
    assert [r["file"] for r in table] == ["a.spe", "a.spe", "b.spe", "c.spe"]


def test_a_batch_finds_its_files(tmp_path):
    for name in ("b/2.spe", "b/1.spe", "a.spe", "b/.hidden.spe", "b/c/3.n42"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("x")
    found = batch.expand([str(tmp_path / "b"), str(tmp_path / "*.spe"), str(tmp_path / "none*.spe"), "plain.spe",
                          str(tmp_path / "**" / "*.n42")])
    rel = [p.replace(str(tmp_path), "").lstrip("/") for p in found]
    assert rel == ["b/1.spe", "b/2.spe", "b/c/3.n42", "a.spe", "none*.spe", "plain.spe", "b/c/3.n42"]


def test_file_errors_survive_a_worker_process(tmp_path):
    error = FileFormatError("negative counts -4", "line 11").at(tmp_path / "s.txt")
    back = pickle.loads(pickle.dumps(error))
    assert type(back) is FileFormatError and (back.message, back.where, back.path) == (
        "negative counts -4", "line 11", str(tmp_path / "s.txt"))
    assert str(back) == f"{tmp_path / 's.txt'}, line 11: negative counts -4"
    assert str(FileFormatError("empty  \n file")) == "empty file"


def test_a_line_matched_within_three_fwhm():
    # at 60 keV three FWHM (4.6 keV) reach further than 2 % of the energy (1.2 keV)
    base = Calibration((0.0, 0.3665), "file")
    recal = recalibrate(base(np.arange(4096)), base, [_peak(62.54)], (59.54,), Resolution(1.5, 0.002))
    assert recal.note == "gain corrected from the 59.54 keV line"
    assert recal.matched[0][2] == pytest.approx(59.54)


def test_one_very_precise_peak_does_not_decide_alone():
    base = Calibration((0.0, 0.3665), "file")
    found = [_peak(344.28), _peak(661.76, unc=1e-6), _peak(1173.23), _peak(1332.49)]  # 0.1 keV off, "exact"
    recal = recalibrate(base(np.arange(4096)), base, found, (344.28, 661.66, 1173.23, 1332.49), Resolution(0.8, 0.002))
    residuals = dict((line, after - line) for line, _, after in recal.matched)
    assert 0.002 < residuals[661.66] < 0.1 and all(abs(r) < 0.07 for r in residuals.values())


def _peak(energy, unc=0.02):
    return Peak(energy, unc, 1.5, 0.01, 1e4, 100.0, (0, 9), np.zeros(6), (0, 0, 0))


@pytest.mark.parametrize("found, lines, coefficients, note", [
    ([_peak(662.0)], (661.66,), (0.0, 0.3665 * 661.66 / 662.0), "gain corrected from the 661.66 keV line"),
    ([_peak(662.0), _peak(1333.0)], (661.66, 1332.49), None, "linear fit to 2 lines"),
    ([_peak(662.0), _peak(1174.0), _peak(1333.0)], (661.66, 1173.23, 1332.49), None, "quadratic fit to 3 lines"),
    ([_peak(700.0)], (661.66,), None, "no known line found"),
])
def test_recalibration_from_matched_lines(found, lines, coefficients, note):
    base = Calibration((0.0, 0.3665), "file")
    energy = base(np.arange(4096))
    recal = recalibrate(energy, base, found, lines, Resolution(0.8, 0.002))
    assert recal.note.startswith(note)
    if note.startswith("no known"):
        assert recal.calibration is None and recal.matched == []
        return
    for (line, before, after), p in zip(recal.matched, found):
        assert before == p.energy and after == pytest.approx(line, abs=1e-6)
    if coefficients:
        assert recal.calibration.coefficients == pytest.approx(coefficients)


def test_the_figure_shows_the_analysis(result, tmp_path):
    pytest.importorskip("matplotlib")
    fig = report.draw(result)
    top, mid, *zooms = fig.axes
    e = result.energy
    assert top.get_xlim() == (e[0], e[-1]) and top.get_yscale() == "log" and mid.get_yscale() == "log"
    assert top.get_title(loc="left").startswith(f"co.spe: {len(result.peaks)} peaks")
    per_kev = result.counts / np.gradient(e)
    assert top.get_ylim()[1] == pytest.approx(3.6 * per_kev.max())
    np.testing.assert_allclose(top.lines[0].get_ydata(), np.maximum(per_kev, 0.3 / np.gradient(e).mean()))
    assert len(top.lines) == 2 + len(result.regions) + len(result.peaks)  # spectra, fits, a marker a peak
    assert [t.get_text() for t in top.get_legend().get_texts()] == ["measured", "sharpened (Richardson-Lucy)"]
    markers = top.lines[2 + len(result.regions):]
    assert [m.get_color() for m in markers] == ["tab:green" if p.identification else "tab:red" for p in result.peaks]
    assert f"chi2/channel {result.unfolding.chi2:.2f}" in mid.get_legend().get_texts()[2].get_text()
    u = result.unfolding
    np.testing.assert_allclose(mid.lines[1].get_ydata(), np.maximum(u.unfolded / np.gradient(u.grid), 0.3 / np.gradient(e).mean()))
    assert [ax.get_ylabel() for ax in (top, mid, *zooms)] == ["counts / keV"] * 2 + ["counts per channel"] + [""] * 3
    strongest = sorted(sorted(result.peaks, key=lambda p: -p.significance)[:4], key=lambda p: p.energy)
    assert len(zooms) == len(strongest) == 4 < len(result.peaks)
    for ax, p in zip(zooms, strongest):
        assert ax.get_title().startswith(f"{p.identification or 'unidentified'}\n{p.energy:.2f}")
        np.testing.assert_array_equal(ax.lines[0].get_xdata(), e[p.region[0]:p.region[1]])
        curve = next(r.curve for r in result.regions if (r.start, r.stop) == p.region)
        np.testing.assert_array_equal(ax.lines[1].get_ydata(), curve)  # its region's fit
        assert ax.get_legend().get_texts()[1].get_text() == f"fit: FWHM {p.fwhm:.2f} keV"
    report.figure(result, tmp_path / "f.png")
    assert (tmp_path / "f.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_spectrum_that_fails_is_named_in_its_document():
    short = Spectrum(np.ones(10), "lab/short.spe", "IAEA SPE", energies=np.arange(10.0) + 1)
    doc = batch.analyse_one(short, Options())
    assert doc["input"] == {"path": "lab/short.spe"}
    assert doc["error"] == "lab/short.spe: a spectrum needs at least 64 channels, found 10"
    assert batch.analyse_one((np.arange(10.0) + 1, np.ones(10)))["input"]["path"] == "<array>"
