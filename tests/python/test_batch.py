"""Batches of spectra: the same JSON, number for number, whichever way a spectrum is run (alone, in
worker processes, on a Dask cluster); a corrupt file is listed and does not stop the batch."""
import csv
import json
from concurrent.futures import ThreadPoolExecutor

import pytest

import spectrum_files as files
from quodex.spectrum import Options, batch, cli, synthetic

LINES = (661.66, 1460.82)
FAST = ["--rl-iterations", "3", "--em-iterations", "3"]


def without_times(doc):
    return {k: v for k, v in doc.items() if k != "times"}


@pytest.fixture(scope="module")
def spectra(tmp_path_factory):
    d = tmp_path_factory.mktemp("spectra")
    for seed in range(4):
        _, counts = synthetic.source_spectrum(LINES, (5e4, 1e4 + 2e3 * seed), synthetic.scintillator_fwhm(0.07),
                                              n=1024, seed=seed, scintillator=True, calibration=(0.0, 2.93))
        files.write_spe(d / f"s{seed}.spe", counts, calibration=(0.0, 2.93))
    (d / "corrupt.spe").write_text("$DATA:\n0 1023\n12\n-4\n")
    files.write_spe(d / "short.spe", [5] * 32, calibration=(0.0, 2.93))  # read, but too short to analyse
    return d


def run_cli(spectra, out, *extra):
    code = cli.main([str(spectra), "--out-dir", str(out), "--lines", "661.66,1460.82", *FAST, *extra])
    return code, {p.name: json.loads(p.read_text()) for p in sorted(out.glob("*.json"))}


@pytest.fixture(scope="module")
def serial(spectra, tmp_path_factory):
    return run_cli(spectra, tmp_path_factory.mktemp("serial"), "--jobs", "1")


def test_a_corrupt_file_is_listed_and_the_rest_analysed(serial, capsys):
    code, docs = serial
    assert code == 1
    assert set(docs) == {"corrupt.spe.json", "s0.spe.json", "s1.spe.json", "s2.spe.json", "s3.spe.json",
                         "short.spe.json"}
    assert "corrupt.spe, line 4: $DATA: channels 0 to 1023 need 1024 counts" in docs["corrupt.spe.json"]["error"]
    assert docs["short.spe.json"]["error"].endswith("short.spe: a spectrum needs at least 64 channels, found 32")
    for name in ("s0.spe.json", "s3.spe.json"):
        assert docs[name]["missing_lines"] == [] and "error" not in docs[name]


def test_summary_table_has_a_row_per_peak(spectra, tmp_path):
    code, docs = run_cli(spectra, tmp_path, "--jobs", "1")
    with open(tmp_path / "summary.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert len(rows) == sum(len(d.get("peaks") or [None]) for d in docs.values())
    assert [r for r in rows if r["error"]][0]["file"].endswith("corrupt.spe")
    try:
        import pyarrow.parquet as pq
    except ImportError:  # not installed, or built for another NumPy: the CSV stands alone
        assert not (tmp_path / "summary.parquet").exists()
        return
    assert pq.read_table(tmp_path / "summary.parquet").num_rows == len(rows)


def test_worker_processes_give_the_same_numbers(spectra, serial, tmp_path):
    code, docs = run_cli(spectra, tmp_path, "--jobs", "2")
    assert code == serial[0]
    assert {k: without_times(v) for k, v in docs.items()} == {k: without_times(v) for k, v in serial[1].items()}


def test_dask_local_cluster_gives_the_same_numbers(spectra, serial, tmp_path):
    pytest.importorskip("dask.distributed")
    code, docs = run_cli(spectra, tmp_path, "--dask", "local", "--jobs", "2")
    assert code == serial[0]
    assert {k: without_times(v) for k, v in docs.items()} == {k: without_times(v) for k, v in serial[1].items()}


def test_a_single_run_matches_its_batch_result(spectra, serial, tmp_path):
    out = tmp_path / "one.json"
    assert cli.main([str(spectra / "s2.spe"), "--lines", "661.66,1460.82", *FAST, "--json", str(out)]) == 0
    assert without_times(json.loads(out.read_text())) == without_times(serial[1]["s2.spe.json"])


def test_python_api_keeps_input_order_with_any_executor():
    items = [synthetic.source_spectrum(LINES, (3e4, 8e3), synthetic.scintillator_fwhm(0.07), n=512, seed=s,
                                       scintillator=True) for s in range(3)]
    settings = Options(lines=LINES, rl_iterations=2, em_iterations=2)
    alone = [without_times(d) for d in batch.analyse_many(items, settings)]
    assert {(d["input"]["path"], d["input"]["format"]) for d in alone} == {("<array>", "array")}
    with ThreadPoolExecutor(3) as pool:
        threaded = [without_times(d) for d in batch.analyse_many(reversed(items), settings, pool)]
    assert threaded == alone[::-1]


@pytest.mark.parametrize("argv, message", [
    (["a.spe", "b.spe", "--json", "x.json"], "--json and --plot take one spectrum"),
    (["a.spe", "b.spe", "--jobs", "0"], "--jobs must be at least 1"),
])
def test_batch_option_errors(argv, message, capsys):
    assert cli.main(argv) == 2
    assert message in capsys.readouterr().err


def test_json_names_stay_apart():
    assert cli.json_names(["a/x.spe", "b/x.spe", "c/y.n42"]) == ["a__x.spe.json", "b__x.spe.json", "y.n42.json"]


def test_a_bad_response_fails_the_call_before_any_spectrum(tmp_path):
    from quodex.spectrum import ResponseFileError
    with pytest.raises(ResponseFileError, match="cannot read response"):
        batch.analyse_many([tmp_path / "never-read.spe"], Options(response=str(tmp_path / "none.npz")))


def test_batch_refusals_are_one_line(spectra, tmp_path, monkeypatch, capsys):
    assert cli.main([str(spectra), "--out-dir", str(tmp_path), "--response", str(tmp_path / "none.npz")]) == 2
    monkeypatch.setitem(__import__("sys").modules, "dask.distributed", None)  # not installed
    assert cli.main([str(spectra), "--out-dir", str(tmp_path), "--dask", "local"]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 2 and "cannot read response" in err[0] and "--dask needs dask.distributed" in err[1]
    assert not list(tmp_path.glob("*.json"))
