"""Spectra whose layout is found by structure: JSON exports of any shape, ROOT histograms (with uproot)."""
import builtins
import json
import re
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from quodex.spectrum.errors import FileFormatError
from quodex.spectrum.options import Options
from quodex.spectrum.readers import jsonspec, read_spectrum

COUNTS = np.random.default_rng(3).poisson(30, 40).tolist()
ENERGIES = (np.arange(40) * 2.5 + 10).tolist()

JSON_SHAPES = [  # tree, live time, real time, calibration, energies, start time
    ({"time": "2025-03-01 12:00:00", "minutes": 10.5, "events": sum(COUNTS), "data": COUNTS},
     630.0, 630.0, None, None, "2025-03-01T12:00:00"),
    ({"schemaVersion": "2", "data": [{"deviceData": {"deviceName": "box"}, "resultData": {
        "startTime": "2022-01-01T10:00:00+01:00", "energySpectrum": {
            "numberOfChannels": 40, "energyCalibration": {"polynomialOrder": 2, "coefficients": [-11.72, 3.5, 1e-4]},
            "measurementTime": 600, "spectrum": COUNTS},
        "backgroundEnergySpectrum": {"measurementTime": 6000, "spectrum": [c + 1 for c in COUNTS]}}}]},
     600.0, 600.0, (-11.72, 3.5, 1e-4), None, "2022-01-01T10:00:00+01:00"),
    (COUNTS, None, None, None, None, None),  # a bare array
    ({"liveTime_ms": 5000, "realTimeSec": 6, "energies": ENERGIES, "counts": COUNTS}, 5.0, 6.0, None, ENERGIES, None),
    ({"spectrum": {"energy_MeV": [e / 1e3 for e in ENERGIES], "counts": COUNTS}, "duration": "PT10M"},
     600.0, 600.0, None, ENERGIES, None),
    ({"calibration": {"unit": "MeV", "coefficients": [0.001, 0.002]}, "acquisitionTime": "00:10:00", "hist": COUNTS},
     600.0, 600.0, (1.0, 2.0), None, None),
    ({"a0": 1.5, "a1": 0.5, "a2": 0.0, "realtime": 12.5, "channels": COUNTS}, None, 12.5, (1.5, 0.5), None, None),
    ({"calibration": {"offset": -3, "gain": 0.75}, "time": 1.7e9, "seconds": 90, "data": COUNTS},
     90.0, 90.0, (-3.0, 0.75), None, None),
    ({"gain": 16, "offset": 20, "c0": 2, "c1": 0.5, "data": COUNTS}, None, None, (2.0, 0.5), None, None),
    ({"gain": 16, "offset": 20, "data": COUNTS}, None, None, None, None, None),  # an amplifier's settings
    ({"settings": {"thresholds": [1, 2, 3]}, "runs": [[1, -2] * 20, COUNTS]}, None, None, None, None, None),
    ({"spectrum": [[k, c] for k, c in enumerate(COUNTS)], "live_time": 3}, 3.0, None, None, None, None),  # rows
    ({"spectrum": [[e, c] for e, c in zip(ENERGIES, COUNTS)]}, None, None, None, ENERGIES, None),
    ({"spectrum": [[1.5 * k, c] for k, c in enumerate(COUNTS)]}, None, None, None,  # keV from 0: no channels
     [1.5 * k for k in range(len(COUNTS))], None),
    ({"b": [c + 0.37 for c in COUNTS], "a": [float(c) for c in COUNTS]}, None, None, None, None, None),  # whole
    ([[k + 1, e, c] for k, (e, c) in enumerate(zip(ENERGIES, COUNTS))], None, None, None, ENERGIES, None),
    ({"time": "12:30:00", "counts": COUNTS}, None, None, None, None, "12:30:00"),
    ({"liveTime": "10:30", "realTime": "1:00:30.5", "counts": COUNTS}, 630.0, 3630.5, None, None, None),
    ({"rows": [{"Energy_MeV": e / 1e3, "counts": c, "flag": "ok"} for e, c in zip(ENERGIES, COUNTS)]},
     None, None, None, ENERGIES, None),
]


@pytest.mark.parametrize("tree, live, real, calibration, energies, start", JSON_SHAPES)
def test_json_counts_times_and_calibration_found_by_structure(tmp_path, tree, live, real, calibration, energies, start):
    (tmp_path / "s.json").write_text(json.dumps(tree, indent=1))
    s = read_spectrum(tmp_path / "s.json")
    np.testing.assert_array_equal(s.counts, COUNTS)
    assert (s.format, s.live_time, s.real_time, s.start_time) == ("JSON", live, real, start)
    if calibration is None:
        assert s.calibration is None
    else:
        np.testing.assert_allclose(s.calibration.coefficients, calibration, rtol=1e-12)
    if energies is None:
        assert s.energies is None
    else:
        np.testing.assert_allclose(s.energies, energies, rtol=1e-12)


def test_json_of_several_equal_arrays_reads_the_first_and_says_so(tmp_path):
    (tmp_path / "s.json").write_text(json.dumps({"spectra": [COUNTS, COUNTS[::-1]]}))
    s = read_spectrum(tmp_path / "s.json")
    np.testing.assert_array_equal(s.counts, COUNTS)
    assert s.notes == ("read spectra[0]; 1 other array(s) of 40 counts left out",)


def test_json_of_a_calibration_that_does_not_ascend_is_a_note(tmp_path):
    (tmp_path / "s.json").write_text(json.dumps({"coefficients": [500, -2.0], "data": COUNTS}))
    s = read_spectrum(tmp_path / "s.json")
    assert s.calibration is None and s.notes == ("calibration from file (coefficients) ignored: energies do not ascend",)


JSON_MALFORMED = [  # content, the message after the path
    (json.dumps({"calibration": [0, 1], "data": [1, 2, 3]}), r": no counts array found \(an array of at least 16 finite"),
    (json.dumps({"data": [-1] + COUNTS}), r": no counts array found"),
    (json.dumps({"data": [0] * 40}), r": no counts array found"),
    (json.dumps({"data": COUNTS[:-1] + [10 ** 400]}), r": no counts array found"),
    (json.dumps({"data": [[k, c, 1, 2] for k, c in enumerate(COUNTS)]}), r": no counts array found"),
    (json.dumps({"liveTime": -5, "data": COUNTS}), r", liveTime: live time must be finite and >= 0, got -5.0$"),
    ('{"data": [NaN, ' + ", ".join(map(str, COUNTS)) + "]}", r": no counts array found"),
    (json.dumps({"data": COUNTS})[:-5], r", line 1: not valid JSON: "),
    ('{"a": 1,\n "data": [1, 2,, 3]}', r", line 2: not valid JSON: Expecting value$"),
    ("[" * 100000 + "]" * 100000, r": JSON nested too deeply$"),
    ('{"data": [' + "9" * 5000 + "]}", r": no counts array found"),
    (json.dumps({"data": COUNTS, "calibration": [1, 10 ** 400, 2]}), r", calibration: calibration coefficients must be finite"),
    (json.dumps({"calibration": {"unit": "channels", "coefficients": [0, 1]}, "data": COUNTS}),
     r", calibration: calibration unit: unknown energy unit 'channels'"),
]


@pytest.mark.parametrize("content, message", JSON_MALFORMED)
def test_json_refused_in_one_line(tmp_path, content, message):
    path = tmp_path / "s.json"
    path.write_text(content)
    with pytest.raises(FileFormatError) as e:
        read_spectrum(path)
    assert re.match(re.escape(str(path)) + message, str(e.value)), str(e.value)
    assert "\n" not in str(e.value)


def test_json_larger_than_the_bound_is_refused_before_parsing(tmp_path, monkeypatch):
    monkeypatch.setattr(jsonspec, "MAX_BYTES", 1 << 10)
    (tmp_path / "s.json").write_text(json.dumps({"data": COUNTS * 30}))
    with pytest.raises(FileFormatError, match=r"s\.json: JSON of 0 MiB refused \(at most 0 MiB\)$"):
        read_spectrum(tmp_path / "s.json")


@pytest.mark.parametrize("name, content, fmt", [
    ("s.txt", json.dumps({"data": COUNTS}), "JSON"), ("s.spe", json.dumps(COUNTS), "JSON"),
    ("s.json", "[Cs-137 source]\n" + "\n".join(map(str, COUNTS)), "text"),  # a title in brackets, not JSON
    ("s.root", "root of the sample\n" + "\n".join(map(str, COUNTS)), "text"),  # no ROOT version after 'root'
])
def test_content_decides_not_the_name(tmp_path, name, content, fmt):
    (tmp_path / name).write_text(content)
    assert read_spectrum(tmp_path / name).format == fmt


# ROOT: a TH1's fArray holds nbins + 2 values, bin 0 the underflow and bin nbins + 1 the overflow; the axis
# is uniform from fXmin to fXmax unless fXbins holds the nbins + 1 edges.

def _th1(name, title, counts, lo, hi, axis_title="", edges=(), flow=(0.0, 0.0)):
    from uproot.writing.identify import to_TAxis, to_TH1x
    counts = np.asarray(counts, dtype=np.float64)
    data = np.concatenate([[flow[0]], counts, [flow[1]]])
    axis = to_TAxis("xaxis", axis_title, len(counts), lo, hi, fXbins=np.asarray(edges, dtype=np.float64))
    return to_TH1x(name, title, data, data.sum(), data.sum(), data.sum(), 0.0, 0.0, data, axis)


def need_uproot():
    # an uproot whose own dependencies do not import (pyarrow built for another NumPy) counts as absent
    try:
        import uproot
    except ImportError as e:
        pytest.skip(f"uproot cannot be imported: {e}")
    return uproot


@pytest.fixture
def root_file(tmp_path):
    uproot = need_uproot()

    def write(*hists, name="s.root"):
        path = tmp_path / name
        with uproot.recreate(path) as f:
            for key, hist in hists:
                f[key] = hist
        return path
    return write


@pytest.mark.parametrize("axis_title, calibration, note", [
    ("Energy [keV]", (1.25, 2.5), None),
    ("E (MeV)", (1250.0, 2500.0), None),
    ("Energy / eV", (1.25e-3, 2.5e-3), None),
    ("ADC channel", None, "axis 'ADC channel' states no energy unit: bins read as channels"),
    ("Pulse height [a.u.]", None, "axis 'Pulse height [a.u.]' states no energy unit: bins read as channels"),
    ("", None, None),
])
def test_root_bins_are_energies_only_with_a_unit(root_file, axis_title, calibration, note):
    path = root_file(("spec", _th1("spec", "Cs-137 run 4", COUNTS, 0.0, 100.0, axis_title, flow=(7.0, 9.0))))
    s = read_spectrum(path)
    np.testing.assert_array_equal(s.counts, COUNTS)  # underflow and overflow bins left out
    assert (s.format, s.description, s.energies) == ("ROOT", "Cs-137 run 4", None)
    if calibration is None:
        assert s.calibration is None
    else:
        np.testing.assert_allclose(s.calibration.coefficients, calibration, rtol=1e-12)
    assert s.notes == (() if note is None else (note,))


def test_root_variable_bins_give_their_centres(root_file):
    edges = np.cumsum(np.linspace(1.0, 3.0, 41)) - 1.0
    path = root_file(("h", _th1("h", "", COUNTS, edges[0], edges[-1], "Energy [keV]", edges=edges)))
    s = read_spectrum(path)
    np.testing.assert_allclose(s.energies, (edges[:-1] + edges[1:]) / 2)
    assert s.calibration is None and s.description == "h"


def test_root_histograms_summed_or_picked(root_file):
    other = _th1("t", "time", [1.0] * 10, 0.0, 10.0, "Time [s]")
    path = root_file(("a", _th1("a", "run 1", COUNTS, 0.0, 40.0, "Energy [keV]")), ("t", other),
                     ("dir/b", _th1("b", "run 2", COUNTS, 0.0, 40.0, "Energy [keV]")))
    s = read_spectrum(path)
    np.testing.assert_array_equal(s.counts, 2 * np.asarray(COUNTS))
    assert s.notes == ("summed 2 of 3 histograms; 1 of another binning left out",)
    assert s.description == "run 1 + run 2"
    np.testing.assert_array_equal(read_spectrum(path, Options(measurement=2)).counts, [1.0] * 10)
    assert read_spectrum(path, Options(measurement=3)).description == "run 2"
    with pytest.raises(FileFormatError, match=r"s\.root: measurement 4 requested, the file holds 3 histograms"):
        read_spectrum(path, Options(measurement=4))


def test_root_refusals(root_file, tmp_path, monkeypatch):
    path = root_file(("h", _th1("h", "", [1.0, 2.0, -2.0, 4.0], 0.0, 4.0)))
    with pytest.raises(FileFormatError, match=r"s\.root, histogram h, bin 3: negative counts -2$"):
        read_spectrum(path)
    path = root_file(("h2", np.histogram2d([1.0, 2.0], [1.0, 2.0], bins=4)), name="two.root")
    with pytest.raises(FileFormatError, match=r"two\.root: no one-dimensional histogram \(TH1\) in the file; it "
                                              r"holds TH2D$"):
        read_spectrum(path)
    (tmp_path / "bad.root").write_bytes(path.read_bytes()[:400])  # keys past the end
    with pytest.raises(FileFormatError, match=r"bad\.root: not a readable ROOT file \("):
        read_spectrum(tmp_path / "bad.root")
    monkeypatch.setitem(sys.modules, "uproot", None)
    with pytest.raises(FileFormatError, match=r"s\.root: a ROOT file: reading it needs uproot \(pip install uproot\)$"):
        read_spectrum(tmp_path / "s.root")
    real_import = builtins.__import__

    def broken(name, *args, **kw):
        if name == "uproot":
            raise ImportError("pyarrow requires NumPy 2.0 or newer")
        return real_import(name, *args, **kw)
    monkeypatch.setattr(builtins, "__import__", broken)
    with pytest.raises(FileFormatError, match=r"s\.root: a ROOT file: uproot is installed but cannot be imported "
                                              r"\(pyarrow requires NumPy 2\.0 or newer\)$"):
        read_spectrum(tmp_path / "s.root")


_JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers(-10, 10 ** 20) | st.floats(allow_nan=True) | st.text(max_size=12)
    | st.sampled_from(["PT10S", "00:10", "MeV", "2024-01-01T00:00:00", "-1", "x"]),
    lambda inner: st.lists(inner, max_size=24) | st.dictionaries(
        st.sampled_from(["data", "counts", "liveTime", "real_time_ms", "minutes", "time", "calibration",
                         "coefficients", "unit", "a0", "a1", "offset", "gain", "energies", "start", "x"]),
        inner, max_size=6),
    max_leaves=60)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(tree=_JSON_VALUES, counts=st.lists(st.integers(0, 1000), min_size=16, max_size=40))
def test_any_json_gives_a_spectrum_or_a_file_error(tmp_path, tree, counts):
    path = tmp_path / "f.json"
    for content in (tree, {"data": counts, "meta": tree}):
        path.write_text(json.dumps(content))
        try:
            s = read_spectrum(path)
        except FileFormatError as e:
            assert "\n" not in str(e)
            continue
        assert s.counts.ndim == 1 and np.all(s.counts >= 0) and s.counts.any()
        for t in (s.live_time, s.real_time):
            assert t is None or (np.isfinite(t) and t >= 0)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(cuts=st.lists(st.tuples(st.integers(0, 10 ** 6), st.integers(0, 255)), min_size=1, max_size=8))
def test_damaged_root_files_give_a_file_error(root_file, cuts):
    path = root_file(("spec", _th1("spec", "run", COUNTS, 0.0, 40.0, "Energy [keV]")), name="d.root")
    data = bytearray(path.read_bytes())
    for at, byte in cuts:
        data[at % len(data)] = byte
    path.write_bytes(bytes(data))
    try:
        read_spectrum(path)
    except FileFormatError as e:
        assert "\n" not in str(e)


@pytest.mark.parametrize("kind", ["json", "root"])
def test_the_mixed_source_found_through_json_and_root(tmp_path, kind):
    from quodex.spectrum import analyse, synthetic
    energies, counts = synthetic.hpge_mixed_source(seed=1)
    gain = energies[1] - energies[0]
    if kind == "json":
        path = tmp_path / "m.json"
        path.write_text(json.dumps({"time": "2025-03-01 12:00:00", "minutes": 10, "events": int(counts.sum()),
                                    "data": counts.astype(int).tolist(),
                                    "calibration": {"coefficients": [energies[0], gain]}}))
    else:
        recreate = need_uproot().recreate
        path = tmp_path / "m.root"
        with recreate(path) as f:
            f["h"] = _th1("h", "mixed", counts, energies[0] - gain / 2, energies[-1] + gain / 2, "Energy [keV]")
    result = analyse(read_spectrum(path), Options(rl_iterations=1, em_iterations=1))
    for line in synthetic.MIXED_SOURCE_KEV:
        peak = min(result.peaks, key=lambda p: abs(p.energy - line))
        assert abs(peak.energy - line) < 0.05, (line, peak.energy)
