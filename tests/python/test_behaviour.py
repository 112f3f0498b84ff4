"""What users see at the edges the other tests leave open: the generators' promises (peak positions,
areas, seeds, Poisson totals), the nominal detectors, the JSON's stated precision, help texts that tell
the defaults, formats recognised by their own reader only, and bad input refused."""
import dataclasses
import json
import math
import re
import sys

import numpy as np
import pytest

import spectrum_files as files
from quodex.spectrum import (FileFormatError, Options, OptionsError, ResponseFileError, Spectrum, analyse, batch, cli, read_spectrum,
                             report, synthetic, unfold)
from quodex.spectrum.analysis import energy_at, widened
from quodex.spectrum.calibration import apply, recalibrate
from quodex.spectrum import fit, identify
from quodex.spectrum.detector import FWHM_C, KINDS, Resolution
from quodex.spectrum.model import Calibration
from quodex.spectrum.readers import READERS, common, reader_for
from quodex.spectrum.results import PEAK_COLUMNS, Flag, Identification, IdKind, Peak, Region

FAST = dict(rl_iterations=1, em_iterations=1)
LINES = (344.28, 661.66, 1173.23, 1332.49, 1460.82)


# ---------------------------------------------------------------- the generators

def _net(axis, shape, at, half):
    """Net area and centroid of the peak at `at` over a straight baseline fitted either side."""
    inside = np.abs(axis - at) < half
    side = (np.abs(axis - at) >= half) & (np.abs(axis - at) < 2 * half)
    base = np.polyval(np.polyfit(axis[side], shape[side], 1), axis[inside])
    net = shape[inside] - base
    return net.sum(), float((net * axis[inside]).sum() / net.sum())


@pytest.mark.parametrize("e", [1500.0, 2614.5])
def test_benchmark_line_shape_puts_its_peaks_where_the_physics_does(e):
    # photopeak of unit area, single and double escapes 0.08 and 0.04 of it, 511 and 1022 keV below
    axis = synthetic.bin_centres(8192)
    k = synthetic.k_for_sigma(1.0)
    sigma = lambda en: float(synthetic.sigma_of(k, en))  # noqa: E731
    shape = synthetic.line_shape(axis, e, sigma)
    for at, area in ((e, 1.0), (e - 511.0, 0.08), (e - 1022.0, 0.04)):
        net, centroid = _net(axis, shape, at, 5 * sigma(at))
        assert net == pytest.approx(area, rel=0.01), at
        assert centroid == pytest.approx(at, abs=0.02 * sigma(at)), at


def test_benchmark_continuum_rises_towards_the_compton_edge():
    # 60 % more per keV at the edge than at the start, as a Compton continuum does
    axis = synthetic.bin_centres(8192)
    k = synthetic.k_for_sigma(1.0)
    shape = synthetic.line_shape(axis, 662.0, lambda en: float(synthetic.sigma_of(k, en)))
    edge = synthetic.compton_edge(662.0)
    near = lambda x: shape[np.abs(axis - x) < 5.0].mean()  # noqa: E731
    assert near(0.9 * edge) / near(0.1 * edge) == pytest.approx((1 + 0.6 * 0.81) / (1 + 0.6 * 0.01), rel=0.005)


def _source(**kw):
    return synthetic.source_spectrum((662.0,), (1e4,), synthetic.hpge_fwhm, **kw)


@pytest.mark.parametrize("make, kw", [
    (synthetic.hpge, dict(n=1024)), (synthetic.nai, dict(n=512)), (synthetic.hpge_mixed_source, dict(n=1024)),
    (_source, dict(n=512)),
])
def test_generators_are_seeded_with_zero_by_default(make, kw):
    default, zero, one = make(**kw)[1], make(seed=0, **kw)[1], make(seed=1, **kw)[1]
    assert np.array_equal(default, zero) and not np.array_equal(default, one)


@pytest.mark.parametrize("make, channels, sigma", [(synthetic.hpge, 8192, 1.0), (synthetic.nai, 1024, 19.7)])
def test_benchmark_spectra_hold_four_hundred_thousand_per_line(make, channels, sigma):
    axis, counts, k = make()
    assert len(axis) == channels and axis[-1] == pytest.approx(3000.0 * (1 - 0.5 / channels))
    assert float(synthetic.sigma_of(k, 662.0)) == pytest.approx(sigma)
    mean = synthetic.expected_spectrum(axis, synthetic.BENCH_LINES_KEV, [4e5] * 5, k)
    assert abs(counts.sum() - mean.sum()) < 4 * math.sqrt(mean.sum())  # a Poisson draw of that mean
    assert mean.sum() > 5 * 4e5  # five lines of 4e5 photopeak counts and their continua


def test_resolution_laws_at_and_below_zero():
    assert float(synthetic.hpge_fwhm(-5.0)) == pytest.approx(synthetic.HPGE_FWHM_A)  # below 0 counts as 0
    assert float(synthetic.hpge_fwhm(1332.49)) == pytest.approx(1.80)
    nai = synthetic.scintillator_fwhm(0.07)
    assert float(nai(-5.0)) == 0.0 and float(nai(662.0)) == pytest.approx(0.07 * 662.0)
    assert float(nai(4 * 662.0)) == pytest.approx(2 * 0.07 * 662.0)


@pytest.mark.parametrize("kind, relative", [("labr", 0.03), ("nai", 0.07), ("csi", 0.08), ("bgo", 0.11)])
def test_nominal_scintillators_have_their_resolution_at_662_kev(kind, relative):
    nominal = KINDS[kind].nominal
    assert nominal.a >= 0 and nominal.b > 0
    assert float(nominal.fwhm(662.0)) == pytest.approx(relative * 662.0, rel=1e-9)
    assert float(nominal.fwhm(4 * 662.0)) == pytest.approx(2 * relative * 662.0, rel=1e-9)


# ---------------------------------------------------------------- analysis helpers

def test_a_fractional_channel_lies_between_its_neighbours():
    energy = np.array([0.0, 1.0, 3.0, 6.0])
    assert [energy_at(energy, c) for c in (0.0, 0.5, 1.5, 2.25, 3.0)] == pytest.approx([0.0, 0.5, 2.0, 3.75, 6.0])


def _peak(energy, fwhm, fwhm_unc):
    return Peak(energy, 0.01, fwhm, fwhm_unc, 1e4, 100.0, (0, 1), np.zeros(6), (0, 0, 0))


@pytest.mark.parametrize("kind", ["hpge", "nai"])
@pytest.mark.parametrize("times, split", [(1.05, False), (1.3, True), (1.7, False)])  # 1.7: no pair, an edge
def test_only_a_peak_clearly_wider_than_the_resolution_is_tried_as_a_doublet(kind, times, split):
    res = KINDS[kind].nominal
    nominal = float(res.fwhm(1000.0))
    got = widened([_peak(1000.0, times * nominal, 0.001 * nominal)], res)
    assert (got is not None) == split
    assert widened([_peak(511.0, 1.5 * float(res.fwhm(511.0)), 0.001)], res) is None  # annihilation is wide


# ---------------------------------------------------------------- the reports

@pytest.fixture(scope="module")
def result():
    cal = (0.2, 0.366, 1e-7)
    _, counts = synthetic.source_spectrum(LINES, (2e4, 4e4, 3e4, 3e4, 1e4), synthetic.hpge_fwhm, n=4096, seed=3,
                                          calibration=cal)
    spectrum = Spectrum(counts, "lab/x.spe", "IAEA SPE", calibration=Calibration((0.0, 0.3665), "file"),
                        live_time=600.0, real_time=612.5)
    return analyse(spectrum, Options(lines=LINES, recalibrate=True, **FAST))


def _rounded(v, digits):
    return float(f"{v:.{digits}g}")


@pytest.mark.parametrize("field, digits", [("energy", 9), ("energy_unc", 4), ("fwhm", 5), ("area", 7),
                                           ("area_unc", 4), ("significance", 4)])
def test_json_peaks_carry_their_stated_significant_digits(result, field, digits):
    doc = json.loads(json.dumps(report.to_json(result)))
    assert len(doc["peaks"]) == len(result.peaks) >= len(LINES)
    assert [p[field] for p in doc["peaks"]] == [_rounded(getattr(p, field), digits) for p in result.peaks]


def test_json_calibration_resolution_and_unfolding_precision(result):
    doc = json.loads(json.dumps(report.to_json(result)))
    matched = result.recalibration.matched
    assert len(matched) == len(LINES)
    assert doc["calibration"]["matched_lines"] == [
        {"line": line, "before": _rounded(b, 9), "after": _rounded(f, 9), "residual": _rounded(f - line, 4)}
        for line, b, f in matched]
    res = doc["resolution"]
    assert (res["a"], res["b"]) == (_rounded(result.resolution.a, 6), _rounded(result.resolution.b, 6))
    assert res["fwhm_at_662_kev"] == _rounded(float(result.resolution.fwhm(662.0)), 4)
    assert doc["unfolding"]["chi2_per_channel"] == _rounded(result.unfolding.chi2, 4)


def test_results_show_values_not_arrays(result):
    text = repr(dataclasses.replace(result, spectrum=None))  # the spectrum shows its own counts
    assert "array(" not in text and "kind='hpge'" in text and "candidates=" in text
    region = result.regions[0]
    assert isinstance(region, Region) and "curve" not in repr(region) and f"start={region.start}" in repr(region)


# ---------------------------------------------------------------- options and inputs refused

@pytest.mark.parametrize("kwargs", [dict(lines=(0.0,)), dict(lines=(661.66, -1.0)), dict(threshold=0.0),
                                    dict(threshold=-1.0)])
def test_options_refuse_values_that_mean_nothing(kwargs):
    with pytest.raises(OptionsError):
        Options(**kwargs)


@pytest.mark.parametrize("options", ["fast", {"threshold": 5}, 5])
def test_reading_with_options_of_the_wrong_type(tmp_path, options):
    files.write_tka(tmp_path / "s.tka", [1, 2, 3] * 20)
    with pytest.raises(TypeError, match="options must be an Options or None"):
        read_spectrum(tmp_path / "s.tka", options)


def _heads(tmp_path):
    counts = np.arange(64) % 7 + 1
    cal = (0.5, 1.5)
    writers = {"ORTEC CHN": lambda p: files.write_chn(p, counts, cal),
               "Amptek MCA": lambda p: files.write_amptek(p, counts, cal),
               "N42": lambda p: files.write_n42_2011(p, counts, cal),
               "RadiaCode XML": lambda p: files.write_radiacode(p, counts, cal),
               "IAEA SPE": lambda p: files.write_spe(p, counts, cal),
               "TKA": lambda p: files.write_tka(p, counts),
               "text": lambda p: files.write_text(p, counts, energies=list(np.arange(64) * 1.5 + 0.5), sep=" ")}
    heads = {}
    for name, write in writers.items():
        path = tmp_path / name.replace(" ", "_")
        write(path)
        heads[name] = path.read_bytes()[:4096]
    return heads


def test_each_format_is_read_by_its_own_reader(tmp_path):
    # a binary or XML format is claimed by its reader alone; plain-text ones by theirs first, with text
    # (the reader of last resort) behind them
    for name, head in _heads(tmp_path).items():
        claims = [r.name for r in READERS if r.sniff(head)]
        if name in ("ORTEC CHN", "Amptek MCA", "N42", "RadiaCode XML", "text"):
            assert claims == [name], name
        else:
            assert claims[0] == name and claims[-1] == "text", name
        assert reader_for("s.tka" if name == "TKA" else "s.dat", head).name == name
    assert reader_for("s.txt", _heads(tmp_path)["TKA"]).name == "text"  # one number a line, not named .tka
    for junk in (b"\x00\x01\x02\x03binary", b"<html><body>no spectrum</body></html>"):
        with pytest.raises(FileFormatError, match="^not a spectrum file"):
            reader_for("s.dat", junk)


@pytest.mark.parametrize("ref, axis", [([1.0, 1.0], [0.0, 1.0, 2.0]), ([1.0, 0.5], [0.0, 1.0, 2.0]),
                                       ([1.0, 2.0], [0.0, 0.5, 0.5])])
def test_a_response_whose_energies_do_not_ascend_is_refused(tmp_path, ref, axis):
    path = tmp_path / "r.npz"
    np.savez(path, matrix=np.ones((2, 3)), ref_energies=np.array(ref), energy_axis=np.array(axis))
    with pytest.raises(ResponseFileError, match="ascend"):
        unfold.load_response(path)


# ---------------------------------------------------------------- command line and batch

def test_the_help_tells_the_defaults_the_command_uses():
    told = 0
    for action in cli.parser()._actions:
        m = re.search(r"\(default (-?[\d.]+)\)", action.help or "")
        if m:
            told += 1
            default = getattr(cli, f"DEFAULT_{action.dest.upper()}") if action.default is None else action.default
            assert default == pytest.approx(float(m.group(1))), action.dest
    assert told >= 4
    args = cli.parser().parse_args(["x.spe"])
    made, plain = cli.options_of(args, ()), Options()
    for name in ("threshold", "rl_iterations", "em_iterations", "recalibrate", "measurement"):
        assert getattr(made, name) == getattr(plain, name), name


def test_a_summary_without_pyarrow_is_csv_only(tmp_path, monkeypatch):
    rows = batch.summary_rows([{"input": {"path": "a.spe"}, "peaks": []}])
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    written = batch.write_summary(rows, str(tmp_path / "summary"))
    assert written == [str(tmp_path / "summary.csv")] and (tmp_path / "summary.csv").exists()
    assert not (tmp_path / "summary.parquet").exists()


# ---------------------------------------------------------------- SPE sections a user can get wrong

_SPE = "$SPEC_ID:\nbad\n$MEAS_TIM:\n{times}\n$DATA:\n{bounds}\n{data}\n{cal}"


@pytest.mark.parametrize("fields, message", [
    (dict(times="10"), r", line 4: \$MEAS_TIM: expected live and real time, found '10'$"),
    (dict(bounds="1 0", data="1"), r", line 6: \$DATA: bad channel range '1 0'$"),
    (dict(bounds="0.5 2", data="1 2"), r", line 6: \$DATA: bad channel range '0.5 2'$"),
    (dict(bounds="-1 1", data="1 2 3"), r", line 6: \$DATA: bad channel range '-1 1'$"),
    (dict(bounds="0 1", data="1 2 3"), r", line 7: \$DATA: channels 0 to 1 need 2 counts, found 3$"),
    (dict(cal="$MCA_CAL:\n3\n"), r", line 8: \$MCA_CAL: expected the number of coefficients and the coefficients$"),
    (dict(cal="$MCA_CAL:\n3\n1 2\n"), r", line 9: \$MCA_CAL: '3' coefficients announced, 2 given$"),
    (dict(cal="$MCA_CAL:\n0\n1 2\n"), r", line 9: \$MCA_CAL: '0' coefficients announced, 2 given$"),
    (dict(cal="$MCA_CAL:\n1.5\n1 2\n"), r", line 9: \$MCA_CAL: '1.5' coefficients announced, 2 given$"),
    (dict(cal="$ENER_FIT:\n0.5\n"), r", line 9: \$ENER_FIT: expected offset and gain, found '0.5'$"),
])
def test_spe_sections_that_cannot_be_read(tmp_path, fields, message):
    values = dict(times="10 11", bounds="0 2", data="1 2 3", cal="")
    values.update(fields)
    path = tmp_path / "s.spe"
    path.write_text(_SPE.format(**values))
    with pytest.raises(FileFormatError) as e:
        read_spectrum(path)
    assert re.match(re.escape(str(path)) + message, str(e.value)), str(e.value)


def test_spe_counts_from_a_later_first_channel(tmp_path):
    # channels 2..4 hold the counts; the calibration counts from channel 0 of the detector
    path = tmp_path / "s.spe"
    path.write_text(_SPE.format(times="10 11", bounds="2 4", data="5 6 7", cal="$ENER_FIT:\n1.0 0.5\n"))
    s = read_spectrum(path)
    assert list(s.counts) == [5, 6, 7] and s.description == "bad" and (s.live_time, s.real_time) == (10.0, 11.0)
    assert s.calibration(np.arange(3)) == pytest.approx([2.0, 2.5, 3.0])


# ---------------------------------------------------------------- fits held by their bounds

@pytest.mark.parametrize("held", [(0,), (1,), (0, 1)])
def test_each_peak_of_a_doublet_says_when_its_width_is_held(held):
    # sigma 0.8 keV: an upper bound of 0.5 keV holds the width of exactly the peaks given it
    x = np.arange(600.0, 640.0, 0.25)
    rng = np.random.default_rng(11)
    truth = sum(a * np.exp(-0.5 * ((x - c) / 0.8) ** 2) * 0.25 / (0.8 * math.sqrt(2 * math.pi))
                for a, c in ((5000.0, 615.0), (3000.0, 625.0)))
    y = rng.poisson(30.0 + truth).astype(float)
    ranges = [(0.3, 0.5) if i in held else (0.3, 3.0) for i in range(2)]
    peaks = fit.peaks_of(fit.fit_region(x, y, [614.0, 626.0], ranges), x, (0, len(x)))
    assert [p.has(Flag.WIDTH_AT_LIMIT) for p in peaks] == [i in held for i in range(2)]
    assert not any(p.has(Flag.CENTROID_AT_EDGE) for p in peaks)
    assert [p.fwhm for p in peaks] == pytest.approx([FWHM_C * (0.5 if i in held else 0.8) for i in range(2)], rel=0.1)


# ---------------------------------------------------------------- files that cannot be read at all

@pytest.mark.parametrize("name, data, message", [
    ("s.n42", b'<?xml version="1.0" encoding="no-such-code"?><N42InstrumentData></N42InstrumentData>',
     r": not readable XML: unknown encoding: no-such-code$"),
    ("s.xml", b'<?xml version="1.0" encoding="no-such-code"?><ResultDataFile></ResultDataFile>',
     r": not readable XML: unknown encoding: no-such-code$"),
    ("s.txt", b"\xff\xfe" + "1\n2\n".encode("utf-16-le") + b"\x00", r": not a text file$"),  # odd UTF-16
])
def test_undecodable_files_are_refused_with_a_file_error(tmp_path, name, data, message):
    path = tmp_path / name
    path.write_bytes(data)
    with pytest.raises(FileFormatError) as e:
        read_spectrum(path)
    assert re.match(re.escape(str(path)) + message, str(e.value)), str(e.value)


def _truncated_zip(path):
    np.savez(path, matrix=np.ones((2, 3)), ref_energies=np.array([1.0, 2.0]), energy_axis=np.arange(3.0))
    data = path.read_bytes()
    path.write_bytes(data[:len(data) // 2])


@pytest.mark.parametrize("make", [lambda p: None, lambda p: p.write_text("matrix\n1 2 3\n"), _truncated_zip],
                         ids=["missing", "text", "truncated"])
def test_an_unreadable_response_is_a_response_error(tmp_path, make):
    path = tmp_path / "r.npz"
    make(path)
    with pytest.raises(ResponseFileError) as e:
        unfold.load_response(path)
    assert str(path) in str(e.value) and "\n" not in str(e.value)


# ---------------------------------------------------------------- outputs that cannot be written

@pytest.fixture(scope="module")
def spe_file(tmp_path_factory):
    energy, counts = synthetic.source_spectrum((661.66,), (2e4,), synthetic.scintillator_fwhm(0.07), n=512,
                                               scintillator=True, seed=4)
    path = tmp_path_factory.mktemp("in") / "s.spe"
    files.write_spe(path, counts, calibration=(energy[0], energy[1] - energy[0]))
    return path


@pytest.mark.parametrize("option, name", [("--json", "out.json"), ("--plot", "out.png"), ("--plot", "out.x")])
def test_an_output_that_cannot_be_written_is_one_line_error(spe_file, tmp_path, capsys, option, name):
    # a folder in the way, or a figure format nobody writes
    if name != "out.x":
        (tmp_path / name).mkdir()
    argv = [str(spe_file), option, str(tmp_path / name), "--rl-iterations", "1", "--em-iterations", "1"]
    assert cli.main(argv) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith("quodex-spectrum: error: ") and str(tmp_path / name) in err[0], err


def test_a_batch_folder_that_is_a_file_or_no_workers(spe_file, tmp_path, capsys):
    (tmp_path / "taken").write_text("mine")
    assert cli.main([str(spe_file), "--out-dir", str(tmp_path / "taken")]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith("quodex-spectrum: error: ") and str(tmp_path / "taken") in err[0]
    assert (tmp_path / "taken").read_text() == "mine"
    assert cli.main([str(spe_file), "--jobs", "0"]) == 2
    assert capsys.readouterr().err.strip() == "quodex-spectrum: error: --jobs must be at least 1"


# ---------------------------------------------------------------- names of peaks

def _pk(energy, area, unc=0.01):
    return Peak(energy, unc, 2.0, 0.01, area, math.sqrt(area), (0, 1), np.zeros(6), (0, 0, 0))


SHARP = Resolution(0.0, 1e-6)  # FWHM 0.03 keV at 1 MeV: the 0.3 keV floor decides


@pytest.mark.parametrize("peaks, lines, expected", [
    ([_pk(1000.28, 1e4)], (1000.0,), ["1000 keV"]),  # within 0.3 keV, however sharp the detector
    ([_pk(1000.32, 1e4)], (1000.0,), [None]),
    ([_pk(1000.32, 1e4, unc=0.12)], (1000.0,), ["1000 keV"]),  # three centroid uncertainties
    ([_pk(999.9, 1e4), _pk(1000.05, 1e4)], (1000.0,), [None, "1000 keV"]),  # the nearer takes the line
    ([_pk(661.66, 1e5), _pk(1323.32, 1e3)], (661.66,), ["661.66 keV", "sum of 661.66 + 661.66 keV"]),
    ([_pk(661.66, 1e5), _pk(1323.32, 3e4)], (661.66,), ["661.66 keV", None]),  # too strong for a sum
])
def test_names_within_tolerance(peaks, lines, expected):
    named, missing = identify.identify(peaks, lines, SHARP, "hpge")
    assert [p.identification and str(p.identification) for p in named] == expected
    assert missing == ([] if f"{lines[0]:g} keV" in expected else list(lines))


# ---------------------------------------------------------------- recalibration

_COBALT_ETC = (344.28, 661.66, 1173.23, 1332.49, 1460.82)


@pytest.mark.parametrize("offsets, note", [
    # the 661.66 keV peak off by 1.65 keV lies 0.93 of half a FWHM (0.70 keV) off the fit; by 1.9 keV, 1.07
    ({661.66: 1.65}, "quadratic fit to 5 lines"),
    ({661.66: 1.9}, "quadratic fit to 4 lines; 1 match off the fit dropped"),
    ({661.66: 2.0, 1332.49: -2.5}, "quadratic fit to 3 lines; 2 matches off the fit dropped"),
])
def test_a_recalibration_drops_matches_more_than_half_a_fwhm_off(offsets, note):
    base = Calibration((0.0, 0.3665), "file")
    found = [_pk(line * 1.001 + offsets.get(line, 0.0), 1e4, unc=0.02) for line in _COBALT_ETC]
    recal = recalibrate(base(np.arange(4096)), base, found, _COBALT_ETC, Resolution(0.8, 0.002))
    assert recal.note == note and recal.calibration.source == f"recalibrated ({note})"
    kept = [line for line in _COBALT_ETC if line not in offsets or abs(offsets[line]) < 1.8]
    assert [m[0] for m in recal.matched] == kept
    if len(kept) < len(_COBALT_ETC):  # the rest lie on a quadratic: matched exactly
        assert [m[2] for m in recal.matched] == pytest.approx(kept, abs=1e-6)


def test_energies_given_per_channel_are_recalibrated_as_energies():
    # no calibration polynomial: the new scale maps the file's energies, here 1 % high
    energy = np.linspace(1.0, 3000.0, 4096)
    found = [_pk(line * 1.01, 1e4, unc=0.02) for line in _COBALT_ETC[:2]]
    recal = recalibrate(energy, None, found, _COBALT_ETC[:2], Resolution(0.8, 0.002))
    assert recal.note == "linear fit to 2 lines"
    assert recal.calibration.coefficients == pytest.approx((0.0, 1 / 1.01), abs=1e-9)
    new_energy, moved = apply(recal, energy, None, found)
    assert new_energy == pytest.approx(energy / 1.01) and [p.energy for p in moved] == pytest.approx(_COBALT_ETC[:2])
    assert [p.fwhm for p in moved] == pytest.approx([2.0 / 1.01] * 2)  # widths on the new scale too


# ---------------------------------------------------------------- what the readers share

@pytest.mark.parametrize("text, seconds", [
    ("PT1H2M3S", 3723.0), ("P1DT1H", 90000.0), ("PT0.5S", 0.5), ("-PT10S", -10.0), ("PT2M", 120.0),
    ("P2D", 172800.0), (" 12.5 ", 12.5),
])
def test_iso_durations(text, seconds):
    assert common.iso_duration("here", text) == seconds


@pytest.mark.parametrize("text", ["PT", "P", "T1S", "PT1X", "", None])
def test_what_is_no_duration(text):
    with pytest.raises(FileFormatError, match="^here: not a duration: "):
        common.iso_duration("here", text)


@pytest.mark.parametrize("text, iso", [
    ("06/16/2022 16:51:18", "2022-06-16T16:51:18"), ("06/16/2022  16:51", "2022-06-16T16:51:00"),
    ("2022-06-16T16:51:18", "2022-06-16T16:51:18"), ("2022-06-16 16:51:18", "2022-06-16T16:51:18"),
    ("16.06.2022 16:51:18", "2022-06-16T16:51:18"), ("  yesterday\n noon ", "yesterday noon"), ("  ", None),
])
def test_start_times_as_iso_where_they_can_be_read(text, iso):
    assert common.iso_time(text) == iso


@pytest.mark.parametrize("label, split", [
    ("Energy (keV)", ("Energy", "keV")), ("E/keV", ("E", "keV")), ("Energy [MeV]", ("Energy", "MeV")),
    ("Energy_keV", ("Energy", "keV")), ("E / eV", ("E", "eV")), ("Counts", ("Counts", None)),
    ("Energy {eV}", ("Energy", "eV")), ("channel", ("channel", None)),
])
def test_units_of_column_headings(label, split):
    assert common.split_unit(label) == split


@pytest.mark.parametrize("unit, kev", [("keV", 1.0), ("(MeV)", 1e3), ("eV", 1e-3), (" KEV ", 1.0), ("[mev]", 1e3)])
def test_energy_units(unit, kev):
    assert common.kev_per(unit) == kev


def test_a_calibration_counted_from_a_later_channel():
    # keV = 1 + 2 c + 3 c^2 in the detector's channels c; the file's first channel is c = 2
    shifted = common.shift_calibration((1.0, 2.0, 3.0), 2)
    assert shifted == pytest.approx((17.0, 14.0, 3.0))
    assert common.shift_calibration((1.0, 2.0), 0) == (1.0, 2.0)


@pytest.mark.parametrize("values, scale, coefficients, note", [
    (("1", "2", "0", "0"), 1.0, (1.0, 2.0), None),  # zero terms padded on are dropped
    (("1000", "500"), 1e-3, (1.0, 0.5), None),  # eV
    (("5", "0"), 1.0, None, "calibration from file ignored: zero gain"),
    (("5",), 1.0, None, "calibration from file ignored: zero gain"),
    (("0", "1", "-0.01"), 1.0, None, "calibration from file ignored: energies do not ascend"),
])
def test_calibrations_a_file_gives(values, scale, coefficients, note):
    notes = []
    cal = common.make_calibration("line 3", values, "file", 1024, notes, scale)
    assert (cal and cal.coefficients) == coefficients and notes == ([note] if note else [])


def test_a_calibration_of_no_number():
    with pytest.raises(FileFormatError, match=r"^line 3: calibration coefficients must be finite"):
        common.make_calibration("line 3", ("1", "inf"), "file", 1024, [])


@pytest.mark.parametrize("measurement, parts, message", [
    (None, [1, 2, 3], None), (2, [1, 2, 3], None), (3, [1, 2, 3], None),
    (4, [1, 2, 3], "measurement 4 requested, the file holds 3 spectra (numbered 1 to 3)"),
    (2, [1], "measurement 2 requested, the file holds 1 spectrum (numbered 1 to 1)"),
])
def test_picking_one_measurement(measurement, parts, message):
    if message:
        with pytest.raises(FileFormatError, match=re.escape(message) + "$"):
            common.pick_measurement(parts, measurement)
    else:
        assert common.pick_measurement(parts, measurement) == (parts if measurement is None else [measurement])


def _part(n, live=10.0, cal=(0.0, 1.0)):
    return {"counts": np.ones(n), "live_time": live, "real_time": None if live is None else live + 1,
            "calibration": Calibration(cal, "x")}


@pytest.mark.parametrize("parts, note, live, total", [
    ([_part(8), _part(8), _part(8)], "summed 3 measurements", 30.0, 24.0),
    ([_part(8), _part(9), _part(8)], "summed 2 of 3 measurements; 1 with another channel count or calibration left out",
     20.0, 16.0),
    ([_part(8), _part(8, cal=(0.0, 2.0)), _part(8, cal=(0.0, 2.0))],
     "summed 1 of 3 measurements; 2 with another channel count or calibration left out", 10.0, 8.0),
    ([_part(8), _part(8, live=None)], "summed 2 measurements", None, 16.0),
    ([_part(8)], None, 10.0, 8.0),
])
def test_measurements_summed(parts, note, live, total):
    notes = []
    out = common.combine(parts, notes)
    assert notes == ([note] if note else []) and out["live_time"] == live and out["counts"].sum() == total
    assert out["real_time"] == (None if live is None else pytest.approx(1.1 * live))  # 11 s each


@pytest.mark.parametrize("counts, message", [
    ([], "no channels found"), ([[1, 2], [3, 4]], "no channels found"), ([0, 0, 0], "all counts are zero"),
    (["a", "b"], "counts are not numbers"), ([1, -2], "channel 1: negative counts -2"),
    ([1, math.nan], "channel 1: counts must be finite: nan"),
])
def test_counts_that_make_no_spectrum(counts, message):
    with pytest.raises(FileFormatError, match="^" + re.escape(message) + "$"):
        common.finish("x", counts)


@pytest.mark.parametrize("times, message", [
    (dict(live_time=-1.0), "live time: live time must be finite and >= 0, got -1.0"),
    (dict(real_time=math.inf), "real time: real time must be finite and >= 0, got inf"),
])
def test_times_that_mean_nothing(times, message):
    with pytest.raises(FileFormatError, match="^" + re.escape(message) + "$"):
        common.finish("x", [1, 2], **times)
    s = common.finish("x", [1, 2], live_time=0.0, real_time=5.0, energies=[1, 2])
    assert s.energies.dtype == np.float64 and (s.live_time, s.real_time) == (0.0, 5.0)


# ---------------------------------------------------------------- a peak as a table row

def test_a_peak_as_a_row():
    parent = Identification(IdKind.LINE, 2614.51)
    p = Peak(2103.5, 0.02, 2.1, 0.03, 900.0, 30.0, (0, 9), np.zeros(6), (0, 0, 0), 1.1,
             flags=("wide", Flag.TAIL, "wide"), identification=Identification(IdKind.SINGLE_ESCAPE, 2103.51, (parent,)))
    row = p.record()
    assert tuple(row) == PEAK_COLUMNS
    assert row == {"energy": 2103.5, "energy_unc": 0.02, "fwhm": 2.1, "fwhm_unc": 0.03, "area": 900.0, "area_unc": 30.0,
                   "significance": 30.0, "identification": "single escape of 2614.51 keV", "kind": "single escape",
                   "flags": "tail;wide", "chi2": 1.1}
    assert p.flags == (Flag.TAIL, Flag.WIDE) and p.has(Flag.WIDE) and not p.has(Flag.MULTIPLET)
    plain = _pk(661.66, 1e4).record()
    assert (plain["identification"], plain["kind"], plain["flags"]) == (None, None, "")


def test_the_former_spectrum_option_still_names_the_file(spe_file, capsys):
    assert cli.main(["--spectrum", str(spe_file), "--rl-iterations", "1", "--em-iterations", "1"]) == 0
    assert capsys.readouterr().out.startswith(f"Spectrum: {spe_file} (IAEA SPE); 512 channels")


def test_the_smallest_response_there_can_be(tmp_path):
    # two reference energies over an axis of half-keV bins: enough; one reference energy is not
    path = tmp_path / "r.npz"
    np.savez(path, matrix=np.ones((2, 3)), ref_energies=np.array([100.0, 200.0]), energy_axis=np.array([0.5, 1.0, 1.5]))
    response = unfold.load_response(path)
    assert response.matrix.shape == (2, 3) and list(response.ref_energies) == [100.0, 200.0]
    np.savez(path, matrix=np.ones((1, 3)), ref_energies=np.array([100.0]), energy_axis=np.array([0.5, 1.0, 1.5]))
    with pytest.raises(ResponseFileError, match="ref_energies \\(at least 2\\)"):
        unfold.load_response(path)


@pytest.mark.parametrize("kind, label, escape_at_2614, peak_to_total_at_662", [
    ("hpge", "HPGe", 0.6, 1 / (1 + 662 / 350)), ("cdte", "CdTe/CZT", 0.6, 1 / (1 + 662 / 350)),
    ("labr", "LaBr3", 0.18, 1 / (1 + 662 / 700)), ("nai", "NaI(Tl)", 0.09, 1 / (1 + 662 / 700)),
    ("csi", "CsI(Tl)", 0.09, 1 / (1 + 662 / 700)), ("bgo", "BGO", 0.06, 1 / (1 + 662 / 700)),
])
def test_the_detector_kinds(kind, label, escape_at_2614, peak_to_total_at_662):
    k = KINDS[kind]
    assert k.label == label and k.nominal.source == f"nominal {label}"
    assert k.max_escape_ratio(2614.51) == pytest.approx(escape_at_2614)
    assert float(k.peak_to_total(662.0)) == pytest.approx(peak_to_total_at_662)


def test_a_spectrum_is_frozen():
    s = Spectrum(np.ones(64), energies=np.arange(64.0) + 1)
    with pytest.raises(dataclasses.FrozenInstanceError):
        s.live_time = 5.0
    assert dataclasses.replace(s, live_time=5.0).live_time == 5.0 and s.live_time is None


def test_an_n42_start_time(tmp_path):
    path = tmp_path / "s.n42"
    path.write_text('<RadInstrumentData><RadMeasurement><StartDateTime> 2022-06-16T16:51:18Z </StartDateTime>'
                    '<Spectrum><ChannelData>1 2 3</ChannelData></Spectrum></RadMeasurement></RadInstrumentData>')
    assert read_spectrum(path).start_time == "2022-06-16T16:51:18Z"


@pytest.mark.parametrize("off, matched", [(0.015, True), (0.03, False)])
def test_a_line_matched_within_two_percent(off, matched):
    # at 662 keV 2 % (13 keV) reach further than three FWHM (4.2 keV)
    base = Calibration((0.0, 0.3665), "file")
    recal = recalibrate(base(np.arange(4096)), base, [_pk(661.66 * (1 + off), 1e4)], (661.66,), Resolution(0.8, 0.002))
    assert [m[0] for m in recal.matched] == ([661.66] if matched else [])


def test_blank_lines_in_an_amptek_file(tmp_path):
    path = tmp_path / "s.mca"
    path.write_text("<<PMCA SPECTRUM>>\n\nLIVE_TIME - 10\n\n<<DATA>>\n1\n\n2\n3\n<<END>>\n")
    s = read_spectrum(path)
    assert list(s.counts) == [1, 2, 3] and s.live_time == 10.0


def test_a_negative_count_in_a_pocket_spectrometer_file(tmp_path):
    path = tmp_path / "s.xml"
    path.write_text("<ResultDataFile><ResultDataList><ResultData><EnergySpectrum><NumberOfChannels>3</NumberOfChannels>"
                    "<Spectrum><DataPoint>1</DataPoint><DataPoint>-2</DataPoint><DataPoint>3</DataPoint></Spectrum>"
                    "</EnergySpectrum></ResultData></ResultDataList></ResultDataFile>")
    with pytest.raises(FileFormatError, match=r", ResultData 1 EnergySpectrum DataPoint 2: negative counts -2$"):
        read_spectrum(path)


def test_an_n42_detector_named_by_attribute(tmp_path):
    path = tmp_path / "s.n42"
    path.write_text('<N42InstrumentData><Measurement><Spectrum Detector="Ge-1"><ChannelData>1 2 3</ChannelData>'
                    '</Spectrum></Measurement></N42InstrumentData>')
    assert read_spectrum(path).detector == "Ge-1"


@pytest.mark.parametrize("off, matched", [(2.4, True), (3.2, False)])
def test_a_low_line_matched_within_three_fwhm(off, matched):
    # at 59.54 keV three FWHM (2.6 keV) reach further than 2 % (1.2 keV)
    base = Calibration((0.0, 0.3665), "file")
    recal = recalibrate(base(np.arange(4096)), base, [_pk(59.54 + off, 1e4)], (59.54,), Resolution(0.8, 0.002))
    assert [m[0] for m in recal.matched] == ([59.54] if matched else [])


def test_no_continuum_below_zero_kev():
    axis = np.linspace(-100.0, 3000.0, 3101)
    k = synthetic.k_for_sigma(1.0)
    shape = synthetic.line_shape(axis, 662.0, lambda en: float(synthetic.sigma_of(k, max(en, 1.0))))
    assert np.all(shape[axis <= 0] < 1e-12) and shape[(axis > 0) & (axis < 50)].min() > 0


def test_the_figure_is_saved_at_90_dots_per_inch(result, tmp_path):
    pytest.importorskip("matplotlib")
    report.figure(result, tmp_path / "f.png")
    head = (tmp_path / "f.png").read_bytes()[:24]
    width, height = int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")
    inches = report.draw(result).get_size_inches()
    assert (width, height) == (round(inches[0] * 90), round(inches[1] * 90))
