"""The tool at its edges, as a user meets it: every failure one line with its exit code, outputs checked
before the analysis, nothing overwritten or half-written, Ctrl-C and killed parents, inputs the API
refuses or warns of, and costs bounded on inputs built to run away."""
import csv
import hashlib
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import quodex
import spectrum_files as files
from quodex.spectrum import Options, Spectrum, SpectrumDataError, analyse, batch, cli, report, search, synthetic
from quodex.spectrum.model import Calibration

FAST = ["--rl-iterations", "2", "--em-iterations", "2"]
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def command(*args, code=None, **kw):
    """The command as a user runs it, in a process of its own (or the Python `code` given the arguments)."""
    if os.environ.get("QUODEX_SANITIZED"):
        # the whole analysis on instrumented kernels in a child: too slow for the timing these tests stage
        pytest.skip("process-level behaviour, not run against sanitizer builds")
    # the package this test imported (a source tree with its modules built, or the installed one)
    here = os.path.dirname(os.path.dirname(os.path.abspath(quodex.__file__)))
    env = dict(os.environ, PYTHONPATH=here + os.pathsep + os.environ.get("PYTHONPATH", ""))
    # Ctrl-C as at a terminal, even when these tests run as a background job (which ignores SIGINT)
    program = ["-m", "quodex.spectrum"] if code is None else ["-c", code]
    return subprocess.Popen([sys.executable, *program, *map(str, args)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL), **kw)


def spectrum_file(path, seed=0, n=1024, calibration=(0.0, 2.93), scale=1.0):
    _, counts = synthetic.source_spectrum((661.66, 1460.82), (5e4 * scale, 1e4 * scale),
                                          synthetic.scintillator_fwhm(0.07), n=n, seed=seed, scintillator=True,
                                          calibration=calibration)
    files.write_spe(path, counts, calibration=calibration)
    return path


@pytest.fixture
def spe(tmp_path):
    return spectrum_file(tmp_path / "a.Spe")


def one_line_error(capsys, code, expected, text):
    err = capsys.readouterr().err
    assert code == expected and err.count("\n") == 1 and "Traceback" not in err, err
    assert err.startswith("quodex-spectrum: error: ") and text in err, err


# --- every failure one line, outputs checked before the analysis ------------------------------------

def test_version(capsys):
    with pytest.raises(SystemExit) as e:
        cli.main(["--version"])
    assert e.value.code == 0 and capsys.readouterr().out.startswith("quodex-spectrum ")


@pytest.mark.parametrize("argv, text", [
    (["{spe}", "--plot", "{tmp}/out.txt"], ".txt is not an image format; name a file ending in one of"),
    (["{spe}", "--json", "{tmp}/none/out.json"], "no such directory"),
    (["{spe}", "--json", "{tmp}"], "it is a directory"),
    (["{spe}", "--json", "{spe}"], "it is an input of this run"),
    (["{spe}", "{spe}", "--out-dir", "{spe}"], "is a file, not a directory"),
    (["{spe}", "--response", "{spe}"], "not a .npz archive"),
])
def test_outputs_and_inputs_refused_before_the_analysis(argv, text, spe, tmp_path, capsys, monkeypatch):
    before = spe.read_bytes()
    monkeypatch.setattr(batch, "run", lambda *a: pytest.fail("analysed before the check"))
    code = cli.main([a.format(spe=spe, tmp=tmp_path) for a in argv])
    one_line_error(capsys, code, 2, text)
    assert spe.read_bytes() == before


@pytest.mark.parametrize("taken", ["b.Spe.json", "summary.csv", "summary.parquet", "summary.incomplete"])
def test_a_batch_output_that_cannot_be_written_stops_it_before_the_analysis(taken, spe, tmp_path, capsys,
                                                                           monkeypatch):
    out = tmp_path / "out"
    (out / taken).mkdir(parents=True)
    monkeypatch.setattr(batch, "run", lambda *a: pytest.fail("analysed before the check"))
    other = spectrum_file(tmp_path / "b.Spe", seed=1)
    one_line_error(capsys, cli.main([str(spe), str(other), "--out-dir", str(out)]), 2,
                   f"cannot write output {out / taken}: it is a directory")


def write_response(path, matrix, ref, axis):
    np.savez(path, matrix=np.asarray(matrix, dtype=float), ref_energies=np.asarray(ref, dtype=float),
             energy_axis=np.asarray(axis, dtype=float))
    return path


@pytest.mark.parametrize("matrix, ref, axis, text", [
    (np.eye(3), [5000, 6000, 7000], [5000, 6000, 7000], "covers 5000..7000 keV and reaches no channel"),
    (np.zeros((3, 4)), [100, 1000, 2000], [0, 1000, 2000, 3000], "matrix is all zero"),
    (np.eye(3, dtype=int), [5000, 6000, 7000], [5000, 6000, 7000], "reaches no channel"),  # integers saved
    (np.eye(3), [100, 1000, 2000], [2000, 1000, 100], "energy_axis must ascend"),
    (np.eye(3), [2000, 1000, 100], [100, 1000, 2000], "ref_energies (at least 2) and energy_axis must ascend"),
])
def test_responses_that_cannot_unfold(matrix, ref, axis, text, spe, tmp_path, capsys):
    np.savez(tmp_path / "r.npz", matrix=matrix, ref_energies=np.asarray(ref), energy_axis=np.asarray(axis))
    one_line_error(capsys, cli.main([str(spe), "--response", str(tmp_path / "r.npz"), *FAST]), 2, text)


def test_counts_that_overflow_leave_no_json(tmp_path, capsys):
    counts = np.full(256, 100.0)
    counts[100] = 1e308
    path = tmp_path / "huge.spe"
    path.write_text("$DATA:\n0 255\n" + "\n".join(repr(float(c)) for c in counts) + "\n$ENER_FIT:\n0 3\n")
    code = cli.main([str(path), "--json", str(tmp_path / "huge.json")])
    one_line_error(capsys, code, 2, "counts in all: more than 1e+18")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["huge.spe"]


def test_unreachable_dask_scheduler_fails_in_one_line(spe, tmp_path):
    pytest.importorskip("dask.distributed")
    p = command(spe, spe, "--out-dir", tmp_path / "out", "--dask", "tcp://127.0.0.1:1")
    out, err = p.communicate(timeout=60)
    assert p.returncode == 2 and err.decode().count("\n") == 1
    assert b"cannot reach the Dask scheduler at tcp://127.0.0.1:1" in err


@pytest.mark.parametrize("argv, warning", [
    (["--seed", "3"], "quodex-spectrum: warning: --seed only seeds the synthetic spectrum"),
])
def test_options_without_effect_say_so(argv, warning, spe, capsys):
    assert cli.main([str(spe), *FAST, *argv]) == 0
    assert warning in capsys.readouterr().err


def test_a_fifo_is_refused_without_blocking(tmp_path):
    fifo = tmp_path / "f.spe"
    os.mkfifo(fifo)
    p = command(fifo)  # nothing ever writes to it
    out, err = p.communicate(timeout=30)
    assert p.returncode == 2 and err == f"quodex-spectrum: error: {fifo}: not a regular file (a pipe, socket or " \
                                        f"device)\n".encode()


def test_an_oversized_file_is_refused_unread(tmp_path, capsys):
    path = tmp_path / "big.txt"
    with open(path, "wb") as f:
        f.write(b"".join(b"%d\n" % (100 + i % 7) for i in range(5000)))
        f.truncate(300 << 20)  # sparse: nothing is stored, and reading it would take 300 MiB
    one_line_error(capsys, cli.main([str(path)]), 2, "300 MiB: larger than any text spectrum (at most 256 MiB read)")


# --- Ctrl-C, closed pipes, killed parents --------------------------------------------------------

def batch_folder(tmp_path, n=4):
    folder = tmp_path / "in"
    folder.mkdir()
    for i in range(n):
        spectrum_file(folder / f"s{i}.Spe", seed=i)
    return folder


def alive(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            return "zombie" not in f.read()
    except OSError:
        return False


def complete_results(out, inputs):
    """The results of a finished batch: one JSON per input, a summary that lists exactly them, no marker."""
    names = sorted(p.name for p in out.iterdir())
    assert names == sorted([f"{p.name}.json" for p in inputs] + ["summary.csv"]
                           + (["summary.parquet"] if (out / "summary.parquet").exists() else [])), names
    with open(out / "summary.csv", newline="") as f:
        listed = {r["file"] for r in csv.DictReader(f)}
    docs = [json.loads((out / f"{p.name}.json").read_text()) for p in inputs]
    assert listed == {d["input"]["path"] for d in docs} == {str(p) for p in inputs}
    return docs


@pytest.mark.parametrize("signum, jobs", [(signal.SIGINT, "1"), (signal.SIGINT, "2"), (signal.SIGKILL, "2")])
def test_an_interrupted_batch_run_again_gives_one_complete_set(signum, jobs, tmp_path):
    folder = batch_folder(tmp_path)
    out = tmp_path / "out"
    p = command(folder, "--out-dir", out, "--jobs", jobs, "--rl-iterations", "3000", "--em-iterations", "100000")
    while not (out / "summary.incomplete").exists() and p.poll() is None:
        time.sleep(0.05)
    time.sleep(0.5)
    workers = subprocess.run(["pgrep", "-P", str(p.pid)], capture_output=True, text=True).stdout.split()
    p.send_signal(signum)
    _, err = p.communicate(timeout=10)  # returns only when no process holds the pipes: workers are gone
    assert p.returncode == -signum and err == b""
    deadline = time.monotonic() + 5  # killed with their parent; gone once the kernel has reaped them
    while [w for w in workers if alive(w)] and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not [w for w in workers if alive(w)]
    assert (out / "summary.incomplete").exists() and not (out / "summary.csv").exists()
    assert not [n for n in os.listdir(out) if n.endswith(".part")]
    p = command(folder, "--out-dir", out, "--jobs", jobs, *FAST)
    assert p.wait(timeout=240) == 0
    inputs = sorted(folder.iterdir())
    docs = complete_results(out, inputs)
    assert all(d["options"]["rl_iterations"] == 2 for d in docs)  # the second run's, not a mixture


def test_ctrl_c_ends_a_long_single_analysis_at_once(spe):
    p = command(spe, "--rl-iterations", "100000", "--em-iterations", "100000")
    time.sleep(3)
    p.send_signal(signal.SIGINT)
    t0 = time.monotonic()
    _, err = p.communicate(timeout=10)
    assert p.returncode == -signal.SIGINT and err == b"" and time.monotonic() - t0 < 2


def test_a_closed_pipe_ends_quietly(spe):
    p = command(spe, *FAST)
    p.stdout.readline()
    p.stdout.close()
    assert p.wait(timeout=60) in (-signal.SIGPIPE, 141, 0)
    assert p.stderr.read() == b""


def test_a_closed_pipe_ends_quietly_when_called_off_the_main_thread(spe):
    # an embedding program's thread keeps Python's signal handling: the closed pipe is an exception there
    p = command(spe, *FAST, code="import sys, threading\nfrom quodex.spectrum import cli\nout = []\n"
                "t = threading.Thread(target=lambda: out.append(cli.main(sys.argv[1:])))\nt.start()\nt.join()\n"
                "sys.exit(out[0])")
    p.stdout.close()
    assert p.wait(timeout=60) == 141 and p.stderr.read() == b""


# --- nothing lost or overwritten ----------------------------------------------------------------

@pytest.mark.parametrize("paths, names", [
    (["d/x.Spe", "d/x.spe2"], ["x.Spe.json", "x.spe2.json"]),
    (["a/x.spe", "b/x.spe", "c/y.n42"], ["a__x.spe.json", "b__x.spe.json", "y.n42.json"]),
    (["p/a/x.spe", "q/a/x.spe"], ["p__a__x.spe.json", "q__a__x.spe.json"]),
    (["d/keep.json"], ["keep.json.json"]),
])
def test_one_output_per_input(paths, names):
    assert cli.json_names(paths) == names


def test_results_written_next_to_the_spectra(tmp_path, capsys):
    folder = batch_folder(tmp_path, 2)
    (folder / "notes.json").write_text('{"mine": 1}\n')
    inputs = sorted(folder.iterdir())
    for _ in range(2):  # the second run must not read the first run's results as spectra
        assert cli.main([str(folder), "--out-dir", str(folder), *FAST]) == 1  # notes.json is no spectrum
        assert "2 of 3 spectra analysed" in capsys.readouterr().out
    assert (folder / "notes.json").read_text() == '{"mine": 1}\n'
    with open(folder / "summary.csv", newline="") as f:
        assert {r["file"] for r in csv.DictReader(f)} == {str(p) for p in inputs}


def test_a_document_records_what_made_it(spe, tmp_path):
    assert cli.main([str(spe), "--json", str(tmp_path / "r.json"), "--threshold", "6", *FAST]) == 0
    doc = json.loads((tmp_path / "r.json").read_text())
    assert list(doc)[:3] == ["program", "options", "input"]
    assert doc["program"]["name"] == "quodex-spectrum" and doc["program"]["version"] == batch.version()
    assert doc["options"]["threshold"] == 6.0 and doc["options"]["rl_iterations"] == 2
    assert doc["input"]["bytes"] == spe.stat().st_size
    assert doc["input"]["sha256"] == hashlib.sha256(spe.read_bytes()).hexdigest()
    assert batch.is_result_file(tmp_path / "r.json") and not batch.is_result_file(spe)


def test_a_failed_write_leaves_the_old_file(tmp_path):
    path = tmp_path / "r.json"
    path.write_text("old")
    with pytest.raises(ValueError):
        report.write_json(path, {"x": float("inf")})

    def half(f):
        f.write("half")
        raise OSError("disk full")
    with pytest.raises(OSError):
        report.write_atomic(path, half)
    assert path.read_text() == "old" and os.listdir(tmp_path) == ["r.json"]


def test_a_file_name_that_is_not_utf8(tmp_path, capsys):
    folder = tmp_path / "in"
    folder.mkdir()
    spectrum_file(folder / "b.Spe")
    spectrum_file(os.fsdecode(bytes(folder) + b"/\xff.Spe"))
    assert cli.main([str(folder), "--out-dir", str(tmp_path / "out"), *FAST]) == 0
    assert "2 of 2 spectra analysed" in capsys.readouterr().out
    with open(tmp_path / "out" / "summary.csv", encoding="utf-8", newline="") as f:
        assert {r["file"] for r in csv.DictReader(f)} == {f"{folder}/\\xff.Spe", f"{folder}/b.Spe"}
    assert os.path.exists(os.fsdecode(bytes(tmp_path) + b"/out/\xff.Spe.json"))


# --- no silent nonsense ---------------------------------------------------------------------------

@pytest.mark.parametrize("counts, energies, text", [
    (np.r_[np.ones(99), np.nan], None, "counts must be finite: nan in channel 99"),
    (np.r_[np.ones(99), np.inf], None, "counts must be finite: inf in channel 99"),
    (np.r_[np.ones(50), -1.0, np.ones(49)], None, "counts must not be negative: -1 in channel 50"),
    (np.full(100, 1e17), None, "counts in all: more than 1e+18"),
    (np.ones((10, 10)), None, "counts must be 1-D"),
    (["a"] * 100, None, "counts must be numbers"),
    (np.ones(100), np.arange(100.0)[::-1] + 1, "energies must increase strictly: 100 then 99 keV at channel 1"),
    (np.ones(100), np.r_[np.arange(50.0), 49.0, np.arange(51.0, 100.0)] + 1, "energies must increase strictly"),
    (np.ones(100), np.r_[np.arange(99.0), np.nan], "energies must be finite"),
    (np.ones(100), np.arange(99.0) + 1, "99 energies for 100 channels"),
])
def test_analyse_refuses_what_the_readers_refuse(counts, energies, text):
    with pytest.raises(SpectrumDataError, match=text.replace("+", r"\+")):
        analyse(Spectrum(counts, energies=energies, calibration=Calibration((0.0, 1.0), "x")))


def test_an_implausible_scale_is_warned_of(tmp_path):
    energy, counts = synthetic.hpge_mixed_source(n=4096, seed=2)
    spectrum = Spectrum(counts, calibration=Calibration((-1500.0, 3000.0 / 4096), "offset"))
    a = analyse(spectrum, Options(rl_iterations=1, em_iterations=1))
    assert min(p.energy for p in a.peaks) < 0
    assert any("at negative energy" in w and "check the calibration's offset" in w for w in a.warnings)
    a = analyse(Spectrum(counts, calibration=Calibration((0.0, 366.0), "--calibration")),
                Options(rl_iterations=1, em_iterations=1))
    assert "the energy scale ends at 1.49877e+06 keV, outside 1 keV..20 MeV: check the calibration" in a.warnings
    a = analyse(Spectrum(counts, energies=energy), Options(rl_iterations=1, em_iterations=1))
    assert not any("calibration" in w for w in a.warnings)


# --- bounded cost ---------------------------------------------------------------------------------

def plain_merge(candidates, reach, pair=max):
    kept = []
    for c in sorted(candidates, key=lambda c: -c.significance):
        if all(abs(c.channel - k.channel) > pair(reach(c), reach(k)) for k in kept):
            kept.append(c)
    return sorted(kept, key=lambda c: c.channel)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("pair", [max, min, lambda a, b: 0.5 * (a + b)])
def test_merging_by_bisection_keeps_what_the_plain_merge_keeps(seed, pair):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(0, 400))
    whole = seed % 2 == 0  # ties of channel and significance
    cands = [search.Candidate(float(rng.integers(0, 300)) if whole else float(rng.uniform(0, 3000)),
                              float(rng.integers(1, 4)) if whole else float(rng.uniform(1, 50)),
                              int(rng.choice([1, 2, 4, 16, 64]))) for _ in range(n)]
    reach = (lambda c: 1.5 * c.scale)
    assert search.merge(cands, reach, pair) == plain_merge(cands, reach, pair)


def test_a_recalibration_of_file_energies_is_printed_in_them():
    energy, counts = synthetic.hpge_mixed_source(n=4096, seed=5)
    a = analyse(Spectrum(counts, energies=energy * 1.002), Options(lines=synthetic.MIXED_SOURCE_KEV, recalibrate=True,
                                                                    rl_iterations=1, em_iterations=1))
    assert a.calibration.variable == "E"
    line = next(x for x in report.text(a).splitlines() if x.startswith("Calibration:"))
    assert " E" in line and " ch" not in line and "of the file's energies E" in line
    peak = min(a.peaks, key=lambda p: abs(p.energy - 1460.82))
    assert abs(peak.energy - 1460.82) < 0.1  # the polynomial is of the file's keV, applied as such


# --- the README's examples ------------------------------------------------------------------------

def load_example(name):
    import importlib.util
    spec = importlib.util.spec_from_file_location(name, os.path.join(ROOT, "examples", f"{name}.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_shipped_example_is_what_its_script_writes(tmp_path):
    path = load_example("make_example_spectrum").main(str(tmp_path / "x.Spe"))
    with open(path, "rb") as f, open(os.path.join(ROOT, "examples", "mixed_source.Spe"), "rb") as shipped:
        assert f.read() == shipped.read()


def test_the_readme_shows_what_its_commands_print(capsys):
    assert load_example("readme_output").main(["--check"]) == 0, capsys.readouterr().out
