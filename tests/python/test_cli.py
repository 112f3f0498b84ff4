"""The command line as a user meets it: values refused before anything runs, the batch's table, the
detector kinds, calibrations that give no energies."""
import numpy as np
import pytest

import spectrum_files as files
from quodex.spectrum import OptionsError, Spectrum, cli, detector, synthetic, unfold
from quodex.spectrum.detector import Resolution
from quodex.spectrum.model import Calibration


@pytest.mark.parametrize("argv, message", [
    (["--calibration", "1"], "expected at least c0,c1: '1'"),
    (["--calibration", "0,1,x"], "expected numbers separated by commas: '0,1,x'"),
    (["--lines", "661.66,0"], "energies must be positive numbers: '661.66,0'"),
    (["--lines", "661.66,nan"], "numbers must be finite: '661.66,nan'"),
    (["--threshold", "0"], "must be a positive number: 0"),
    (["--threshold", "inf"], "must be a positive number: inf"),
    (["--rl-iterations", "-1"], "must be at least 0: -1"),
    (["--em-iterations", "2.5"], "invalid _positive_int value"),
    (["--detector", "geiger"], "invalid choice: 'geiger'"),
])
def test_values_refused_before_anything_runs(argv, message, capsys):
    with pytest.raises(SystemExit) as e:
        cli.main(argv)
    assert e.value.code == 2 and message in capsys.readouterr().err


def test_options_the_parser_lets_through_are_refused_in_one_line(capsys):
    assert cli.main(["--measurement", "0"]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert err == ["quodex-spectrum: error: measurement must be a whole number of at least 1, got 0"]


def test_the_batch_table(tmp_path, capsys):
    _, counts = synthetic.source_spectrum((661.66,), (5e4,), synthetic.scintillator_fwhm(0.07), n=1024, seed=1,
                                          scintillator=True, calibration=(0.0, 2.93))
    (tmp_path / "in").mkdir()
    files.write_spe(tmp_path / "in" / "good.spe", counts, calibration=(0.0, 2.93))
    (tmp_path / "in" / "bad.spe").write_text("$DATA:\n0 3\n1\n")
    out = tmp_path / "out"
    assert cli.main([str(tmp_path / "in"), "--out-dir", str(out), "--jobs", "1", "--lines", "661.66,1460.82",
                     "--rl-iterations", "1", "--em-iterations", "1"]) == 1
    captured = capsys.readouterr()
    lines = captured.out.strip().splitlines()
    # no progress bar where stderr is no terminal: only the failed file's one line
    assert [e.split(": ")[0] for e in captured.err.strip().splitlines()] == ["quodex-spectrum"]
    assert lines[0].split() == ["file", "peaks", "identified", "missing", "lines", "/", "error"]
    bad, good = (line.split() for line in lines[1:3])
    assert bad[0].endswith("bad.spe") and bad[1:4] == ["-", "-", "error:"]
    # every peak of a one-line source is named: the line, its backscatter and Compton edge
    assert good[0].endswith("good.spe") and int(good[1]) >= 1 and good[2:] == [good[1], "1460.82"]
    assert lines[3] == f"1 of 2 spectra analysed; results in {out / 'summary.csv'}" + (
        f", {out / 'summary.parquet'}" if (out / "summary.parquet").exists() else "")
    assert cli.main([str(tmp_path / "in" / "good.spe"), "--out-dir", str(tmp_path / "one"), "--rl-iterations", "1",
                     "--em-iterations", "1"]) == 0  # a batch without failures
    assert capsys.readouterr().out.strip().splitlines()[-1].startswith("1 of 1 spectra analysed")


@pytest.mark.parametrize("relative, kind", [(0.004, "hpge"), (0.015, "cdte"), (0.035, "labr"), (0.07, "nai")])
def test_the_detector_kind_of_a_resolution(relative, kind):
    assert detector.kind_of(Resolution(0.0, (relative * 662.0) ** 2 / 662.0)).name == kind
    assert {k.name for k in detector.KINDS.values() if k.semiconductor} == {"hpge", "cdte"}


@pytest.mark.parametrize("coefficients, usable", [
    ((0.5, 0.3), True), ((0.5, 0.3, 1e-6), True), ((0.0, 0.0), False), ((3.0,), False), ((10.0, -0.1), False),
    ((0.0, 1.0, -1e-3), False),  # turns over at channel 500, inside the 1024 channels
])
def test_calibrations_that_give_energies(coefficients, usable):
    cal = Calibration(coefficients, "test")
    assert cal.is_usable(1024) is usable
    ch = np.array([0.0, 7.0, 1023.0])
    np.testing.assert_allclose(cal(ch), np.polynomial.polynomial.polyval(ch, coefficients), rtol=1e-14)


@pytest.mark.parametrize("coefficients", [(0.0, float("nan")), (float("inf"), 1.0), ()])
def test_a_calibration_needs_finite_coefficients(coefficients):
    with pytest.raises(ValueError, match="calibration coefficients must be finite"):
        Calibration(coefficients, "test")


def test_a_given_response_feeds_only_the_energies_it_covers():
    axis = synthetic.bin_centres(600, 3000.0)
    ref = np.geomspace(200.0, 2000.0, 12)
    matrix = synthetic.hpge_response_matrix(ref, axis)
    response = unfold.Response(matrix, ref, axis, "test")
    grid = synthetic.bin_centres(300, 3000.0)
    offsets, indices, values = unfold.response_rows(grid, response)
    rows = np.diff(offsets)
    inside = (grid > ref[0]) & (grid <= ref[-1])
    assert offsets[0] == 0 and offsets[-1] == len(values) == len(indices)
    assert np.all(rows[~inside] == 0) and np.all(rows[inside] > 0)
    i = int(np.argmin(np.abs(grid - 1000.0)))  # each row peaks near its own energy
    assert abs(indices[offsets[i] + np.argmax(values[offsets[i]:offsets[i + 1]])] - i) <= 1
    offsets, indices, values = unfold.response_rows(grid[grid < 150.0], response)  # below every reference energy
    assert offsets.tolist() == [0] * (int((grid < 150.0).sum()) + 1) and len(indices) == len(values) == 0
    energy, counts = synthetic.source_spectrum((661.66, 1332.49), (5e4, 3e4), synthetic.hpge_fwhm, n=600)
    u = unfold.unfold(energy, counts, response, 20)
    fed = (u.grid > ref[0]) & (u.grid <= ref[-1])
    assert np.all(u.unfolded[~fed] == 0) and np.all(u.unfolded[fed] > 0)  # nothing is estimated where no row feeds
    assert u.coverage == (ref[0], ref[-1]) and u.channels_fitted == int(((u.grid >= ref[0]) & (u.grid <= ref[-1])).sum())


def test_options_name_the_response_loaded_once(tmp_path):
    from quodex.spectrum import Options
    axis = synthetic.bin_centres(100)
    np.savez(tmp_path / "r.npz", matrix=np.ones((2, 100)), ref_energies=np.array([100.0, 200.0]), energy_axis=axis)
    loaded = Options(response=str(tmp_path / "r.npz")).with_response_loaded()
    assert isinstance(loaded.response, unfold.Response) and loaded.response.source == f"file {tmp_path / 'r.npz'}"
    assert loaded.with_response_loaded() is loaded and Options().with_response_loaded() == Options()
    with pytest.raises(OptionsError):
        Options(threshold="5")
    assert Spectrum(np.ones(3)).path == "<array>"


def test_a_folder_of_one_spectrum_is_a_batch(tmp_path, monkeypatch, capsys):
    (tmp_path / "in").mkdir()
    files.write_spe(tmp_path / "in" / "only.spe", [5.0] * 32, calibration=(0.0, 2.93))
    monkeypatch.chdir(tmp_path)
    assert cli.main(["in"]) == 1  # too short to analyse, listed in the batch's table
    assert (tmp_path / "quodex-spectrum-results" / "only.spe.json").is_file()
    assert "0 of 1 spectra analysed" in capsys.readouterr().out


def test_a_progress_bar_on_a_terminal(tmp_path, monkeypatch):
    pytest.importorskip("tqdm")
    import io
    import sys

    class Terminal(io.StringIO):
        def isatty(self):
            return True
    (tmp_path / "in").mkdir()
    for name in ("a.spe", "b.spe"):
        files.write_spe(tmp_path / "in" / name, [5.0] * 32, calibration=(0.0, 2.93))
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert cli.main([str(tmp_path / "in"), "--out-dir", str(tmp_path / "out"), "--jobs", "1"]) == 1
    assert "2/2" in terminal.getvalue() and "spectrum" in terminal.getvalue()


@pytest.mark.parametrize("argv, calibration", [
    (["--calibration", "-11.72,0.0955,2.3e-7", "a.spe"], (-11.72, 0.0955, 2.3e-7)),
    (["--calibration=-11.72,0.0955"], (-11.72, 0.0955)),
    (["a.spe", "--calib", "-.5,1"], (-0.5, 1.0)),
    (["--calibration", "1.5,0.5"], (1.5, 0.5)),
])
def test_a_calibration_with_a_negative_offset_as_typed(argv, calibration):
    args = cli.parser().parse_args(argv)
    assert cli.options_of(args, ()).calibration == calibration
    assert args.files == [a for a in argv if a.endswith(".spe")]


def test_a_negative_calibration_that_is_no_list_of_numbers_is_named(capsys):
    with pytest.raises(SystemExit):
        cli.main(["--calibration", "-1,x"])
    assert "expected numbers separated by commas: '-1,x'" in capsys.readouterr().err


@pytest.mark.parametrize("fault", [RuntimeError("no convergence\n  in fit"), np.linalg.LinAlgError("singular"), TypeError("x"),
                                   ZeroDivisionError("y"), IndexError("z"), MemoryError("w")])
def test_a_fault_of_the_analysis_is_named_in_one_line_and_the_batch_goes_on(fault, tmp_path, monkeypatch, capsys):
    import json
    from quodex.spectrum import batch
    (tmp_path / "in").mkdir()
    for name in ("a.spe", "b.spe"):
        files.write_spe(tmp_path / "in" / name, [5.0] * 256, calibration=(0.0, 2.93))
    real = batch.run

    def run(item, options):
        if str(getattr(item, "path", item)).endswith("a.spe"):
            raise fault
        return real(item, options)

    monkeypatch.setattr(batch, "run", run)
    named = f"internal error ({type(fault).__name__}: {' '.join(str(fault).split())})"
    assert cli.main([str(tmp_path / "in" / "a.spe"), "--rl-iterations", "1", "--em-iterations", "1"]) == 2
    assert capsys.readouterr().err.strip().splitlines() == [
        f"quodex-spectrum: error: {tmp_path / 'in' / 'a.spe'}: {named}"]
    out = tmp_path / "out"
    assert cli.main([str(tmp_path / "in"), "--out-dir", str(out), "--jobs", "1", "--rl-iterations", "1",
                     "--em-iterations", "1"]) == 1
    assert json.loads((out / "a.spe.json").read_text())["error"].endswith(named)
    assert "error" not in json.loads((out / "b.spe.json").read_text())
    assert "1 of 2 spectra analysed" in capsys.readouterr().out
