import re
import struct

import numpy as np
import pytest

import spectrum_files as W
from quodex.spectrum import SpectrumFileError
from quodex.spectrum import readers
from quodex.spectrum.errors import FileFormatError
from quodex.spectrum.model import Spectrum
from quodex.spectrum.options import Options
from quodex.spectrum.readers import read_spectrum

COUNTS = np.random.default_rng(7).poisson(20, 64).astype(float)
COUNTS[10:25] = 0  # a run of zeros for CountedZeroes
CAL = (1.5, 0.5, 1e-4)
ENERGIES = np.arange(64) * 0.5 + 0.25

ROUND_TRIPS = [  # file name, writer, writer options, format, calibration back, (live, real) back
    ("a.spe", W.write_spe, dict(calibration=CAL, per_line=7), "IAEA SPE", CAL, (100, 110)),
    ("a.spe", W.write_spe, dict(calibration=CAL[:2], mca_cal=False), "IAEA SPE", CAL[:2], (100, 110)),
    ("a.n42", W.write_n42_2011, dict(calibration=CAL), "N42 2011", CAL, (100, 110)),
    ("a.n42", W.write_n42_2011, dict(calibration=CAL, counted_zeroes=True, namespace=False), "N42 2011", CAL, (100, 110)),
    ("a.n42", W.write_n42_2006, dict(calibration=CAL, counted_zeroes=True, live_time=3723, real_time=3724),
     "N42 2006", CAL, (3723, 3724)),
    ("a.chn", W.write_chn, dict(calibration=CAL, live_time=99.98), "ORTEC CHN", CAL, (99.98, 110)),
    ("a.chn", W.write_chn, dict(calibration=CAL[:2], trailer=-101), "ORTEC CHN", CAL[:2], (100, 110)),
    ("a.chn", W.write_chn, dict(trailer=None), "ORTEC CHN", None, (100, 110)),
    ("a.mca", W.write_amptek, dict(calibration=CAL, points=5), "Amptek MCA", CAL, (100, 110)),
    ("a.mca", W.write_amptek, dict(calibration=CAL[:2], points=2, unit="eV"), "Amptek MCA", CAL[:2], (100, 110)),
    ("a.mca", W.write_amptek, dict(), "Amptek MCA", None, (100, 110)),
    ("a.xml", W.write_radiacode, dict(calibration=CAL, live_time=600, background=True), "RadiaCode XML", CAL, (600, 600)),
    ("a.tka", W.write_tka, dict(live_time=12.5, real_time=13), "TKA", None, (12.5, 13)),
    ("a.txt", W.write_text, dict(), "text", None, (None, None)),
    ("a.csv", W.write_text, dict(channels=True, header="Channel,Counts"), "text", None, (None, None)),
    ("a.txt", W.write_text, dict(channels=True, sep=" "), "text", None, (None, None)),  # 0, 1, 2: channels
    ("a.csv", W.write_text, dict(energies=ENERGIES, header="Energy (keV);Counts", sep=";", decimal_comma=True, bom=True),
     "text", None, (None, None)),
    ("a.dat", W.write_text, dict(energies=ENERGIES, channels=True, sep="\t"), "text", None, (None, None)),
    ("a.dat", W.write_text, dict(energies=ENERGIES, sep="  "), "text", None, (None, None)),
]


@pytest.mark.parametrize("name, write, options, fmt, calibration, times", ROUND_TRIPS)
def test_round_trip(tmp_path, name, write, options, fmt, calibration, times):
    path = tmp_path / name
    write(path, COUNTS, **options)
    s = read_spectrum(path)
    assert (s.format, s.live_time, s.real_time, s.path) == (fmt, *times, str(path))
    assert s.counts.dtype == np.float64 and s.counts.flags.c_contiguous
    np.testing.assert_array_equal(s.counts, COUNTS)
    if calibration is None:
        assert s.calibration is None and s.notes == ()  # a file without one has nothing to note
    else:
        np.testing.assert_allclose(s.calibration.coefficients, calibration, rtol=1e-9, atol=1e-12)
    if "energies" in options:
        np.testing.assert_allclose(s.energies, options["energies"])
    else:
        assert s.energies is None


def test_n42_measurements_sum_or_pick(tmp_path):
    path = tmp_path / "m.n42"
    parts = [COUNTS, 2 * COUNTS, 3 * COUNTS, np.ones(32), 5 * COUNTS]
    W.write_n42_2011(path, parts, calibration=CAL, classes=["Foreground"] * 4 + ["Background"])
    s = read_spectrum(path)
    np.testing.assert_array_equal(s.counts, 6 * COUNTS)
    assert (s.live_time, s.real_time) == (300, 330)
    assert "summed 3 of 4 spectra; 1 with another channel count or calibration left out" in s.notes
    assert any("background" in n for n in s.notes)
    W.write_n42_2011(tmp_path / "one.n42", [COUNTS], calibration=CAL)
    assert not any("summed" in n for n in read_spectrum(tmp_path / "one.n42").notes)  # one spectrum is no sum
    np.testing.assert_array_equal(read_spectrum(path, Options(measurement=5)).counts, 5 * COUNTS)
    with pytest.raises(SpectrumFileError, match=r"m\.n42: measurement 6 requested, the file holds 5 spectra"):
        read_spectrum(path, Options(measurement=6))


def test_a_radiacode_file_of_several_results_picks_one(tmp_path):
    W.write_radiacode(tmp_path / "r.xml", COUNTS, calibration=CAL, results=2)
    np.testing.assert_array_equal(read_spectrum(tmp_path / "r.xml", Options(measurement=2)).counts, COUNTS)
    with pytest.raises(SpectrumFileError, match=r"r\.xml: measurement 3 requested, the file holds 2 ResultData "):
        read_spectrum(tmp_path / "r.xml", Options(measurement=3))


def _chn(counts=COUNTS, n=None, tail=b""):
    head = struct.pack("<hHH2sii8s4sHH", -1, 1, 1, b"00", 500, 500, b"16JUN221", b"1651", 0,
                       len(counts) if n is None else n)
    return head + np.asarray(counts, dtype="<u4").tobytes() + tail


BOMB = ('<?xml version="1.0"?><!DOCTYPE RadInstrumentData [<!ENTITY a0 "1 ">'
        + "".join(f'<!ENTITY a{i} "{f"&a{i - 1};" * 10}">' for i in range(1, 10))
        + ']><RadInstrumentData><RadMeasurement><Spectrum><ChannelData>&a9;</ChannelData></Spectrum>'
          '</RadMeasurement></RadInstrumentData>')
XXE = ('<?xml version="1.0"?><!DOCTYPE N42InstrumentData [<!ENTITY x SYSTEM "file:///etc/passwd">]>'
       '<N42InstrumentData><Measurement><Spectrum><ChannelData>&x;</ChannelData></Spectrum></Measurement>'
       '</N42InstrumentData>')
SPE = "$SPEC_ID:\ntest\n$MEAS_TIM:\n{times}\n$DATA:\n0 {last}\n{data}\n"
N42 = '<RadInstrumentData><RadMeasurement><Spectrum><ChannelData{a}>{d}</ChannelData></Spectrum></RadMeasurement></RadInstrumentData>'
MCA = "<<PMCA SPECTRUM>>\nLIVE_TIME - {live}\n<<DATA>>\n{data}\n"
RC = ("<ResultDataFile><ResultDataList><ResultData><EnergySpectrum><NumberOfChannels>{n}</NumberOfChannels>"
      "<Spectrum>{p}</Spectrum></EnergySpectrum></ResultData></ResultDataList></ResultDataFile>")

MALFORMED = [  # file name, content, the message after the path
    ("s.spe", SPE.format(times="10 11", last=3, data="1\n2\n3"), r", line 9: \$DATA: channels 0 to 3 need 4 counts, found 3 \(truncated"),
    ("s.spe", SPE.format(times="10 11", last=2, data="1\n-4\n3"), r", line 8: negative counts -4$"),
    ("s.spe", SPE.format(times="10 11", last=2, data="1 2\nnan"), r", line 8: counts must be finite: nan$"),
    ("s.spe", SPE.format(times="10 x", last=2, data="1 2 3"), r", line 4: not a number: 'x'$"),
    ("s.spe", SPE.format(times="-10 11", last=2, data="1 2 3"), r", line 4: live time must be finite and >= 0"),
    ("s.spe", SPE.format(times="10 11", last=2, data="0 0 0"), r": all counts are zero$"),
    ("s.spe", "$DATA:\n1023\n", r", line 2: \$DATA: expected first and last channel, found '1023'$"),
    ("s.n42", N42.format(a="", d="1 2 x 4"), r", ChannelData 1: value 3 is not a number: 'x'$"),
    ("s.n42", N42.format(a="", d="1 2 " + "9" * 30 + "x" * 30), r", ChannelData 1: value 3 is not a number: '9{30}x{10}'$"),
    ("s.n42", N42.format(a="", d="1 2 -3 4"), r", ChannelData 1, channel 2: negative counts -3$"),
    ("s.n42", N42.format(a=' compressionCode="CountedZeroes"', d="5 0"), r", ChannelData 1: value 2: a 0 without"),
    ("s.n42", N42.format(a=' compressionCode="CountedZeroes"', d="5 0 1e12"), r", ChannelData 1: value 3: count of zeros"),
    ("s.n42", N42.format(a=' compressionCode="CountedZeroes"', d="5 0 2.5 7"), r", ChannelData 1: value 3: count of zeros"),
    ("s.n42", N42.format(a=' compressionCode="CountedZeroes"', d="5 -3 0 2"), r", ChannelData 1, channel 1: negative counts -3$"),
    ("s.n42", '<RadInstrumentData><RadMeasurement><LiveTimeDuration>PTxS</LiveTimeDuration><Spectrum><ChannelData>1 2'
              '</ChannelData></Spectrum></RadMeasurement></RadInstrumentData>',
     r", Spectrum 1 LiveTimeDuration: not a duration: 'PTxS'$"),
    ("s.n42", N42.format(a="", d="1 2")[:-30], r", line 1: not well-formed XML"),
    ("s.n42", '<RadInstrumentData><EnergyCalibration id="EC7"><CoefficientValues>0 x</CoefficientValues>'
              '</EnergyCalibration><RadMeasurement><Spectrum energyCalibrationReference="EC7"><ChannelData>1 2'
              '</ChannelData></Spectrum></RadMeasurement></RadInstrumentData>',
     r", EnergyCalibration EC7: .*'x'"),
    ("s.n42", BOMB, r": XML refused: EntitiesForbidden"),
    ("s.n42", XXE, r": XML refused: EntitiesForbidden"),
    ("s.chn", _chn()[:20], r", header: truncated: 20 bytes of 32$"),
    ("s.chn", _chn(n=65), r", header: 65 channels announced need 260 bytes of counts, the file holds 256"),
    ("s.chn", _chn(tail=struct.pack("<hh", -102, 0)), r", trailer: truncated: 4 bytes, the energy calibration needs 16$"),
    ("s.chn", _chn(tail=struct.pack("<hh2f", -102, 0, 0, 1)), r", trailer: truncated: 12 bytes, the energy calibration needs 16$"),
    ("s.chn", _chn(tail=struct.pack("<hh3f", -7, 0, 0, 1, 0)), r", trailer: unknown type tag -7"),
    ("s.chn", _chn(tail=struct.pack("<hh3f", -102, 0, 0, float("nan"), 0)), r", trailer: calibration coefficients must be finite"),
    ("s.mca", MCA.format(live="10", data="1\n2\n3"), r", line 6: no <<END>> after <<DATA>> \(truncated"),
    ("s.mca", MCA.format(live="abc", data="1\n<<END>>"), r", line 2: LIVE_TIME is not a number: 'abc'$"),
    ("s.mca", "<<PMCA SPECTRUM>>\n<<CALIBRATION>>\nLABEL - keV\n5 10\n5 20\n<<DATA>>\n1\n2\n<<END>>\n",
     r", line 5: <<CALIBRATION>>: points must be finite at distinct channels$"),
    ("s.mca", "<<PMCA SPECTRUM>>\n<<CALIBRATION>>\nLABEL - keV\n5 10 1\n9 20\n<<DATA>>\n1\n2\n<<END>>\n",
     r", line 4: <<CALIBRATION>>: expected channel and energy, found '5 10 1'$"),
    ("s.mca", MCA.format(live="1", data="1\n-2\n<<END>>"), r", line 5: negative counts -2$"),
    ("s.xml", "<ResultDataFile><ResultDataList></ResultDataList></ResultDataFile>", r": no ResultData element$"),
    ("s.xml", RC.format(n=3, p="<DataPoint>1</DataPoint>" * 2), r", ResultData 1 EnergySpectrum NumberOfChannels: 3 channels announced, 2 DataPoint"),
    ("s.xml", RC.format(n=2, p="<DataPoint>1</DataPoint><DataPoint>inf</DataPoint>"), r", ResultData 1 EnergySpectrum DataPoint 2: counts must be finite: inf$"),
    ("s.tka", "10\n11\n1\n2 3\n", r", line 4: expected 1 number, found 2$"),
    ("s.tka", "10\n", r": expected live time, real time and counts, found 1 numbers$"),
    ("s.tka", "10\n-1\n5\n", r", line 2: real time must be finite and >= 0, got -1.0$"),
    ("s.tka", "10\n11\n\n5\n-5\n", r", line 5: negative counts -5$"),
    ("s.txt", "1.5 3\n2.5 4\n3.5 4 5\n", r", line 3: expected 2 columns \(channel or energy, counts\), found 3$"),
    ("s.txt", "Channel,Energy,Counts\n0,1.5,3\n1,2.5\n", r", line 3: expected 3 columns \(channel, energy, counts\), found 2$"),
    ("s.txt", "# energy counts\n1.5 3\n2.5 x\n", r", line 3: not a number: '2.5 x'$"),
    ("s.txt", "1.5 3\n2.5 4\n2.0 4\n", r", line 3: energies must ascend, 2 follows 2.5$"),
    ("s.txt", "1.5 3\nnan 4\n", r", line 2: energy must be finite: nan$"),
    ("s.txt", "\ufeff0;1\n1;-4\n", r", line 2: negative counts -4$"),
    ("s.txt", "1,2,3,4,5\n", r", line 1: expected at most 3 columns"),
    ("s.txt", b"\xef\xbb\xbf5\n\xff\xfe\x00\x01", r": not a spectrum file \(binary data"),
    ("s.txt", "5\n\xe9t\xe9\n".encode("latin-1"), r", line 2: not a number: '\xe9t\xe9'$"),
    ("s.txt", b"PK\x03\x04\x14\x00\x00\x00", r": not a spectrum file \(binary data"),
    ("s.txt", b"5\n" * 5000 + b"\x00\xff", r": not a text file$"),  # junk past the sniffed head
    ("s.txt", "<html><body>no</body></html>", r": not a spectrum file \(XML of neither"),
    ("s.txt", "  \n", r": empty file$"),
    ("s.spe", SPE.format(times="10 11", last=1, data="1 2") + "$MCA_CAL:\n2\n1 2 channels\n",
     r", line 10: \$MCA_CAL: unknown energy unit 'channels' \(keV, eV or MeV expected\)$"),
    ("s.csv", "Channel,Energy (s),Counts\n0,0.5,3\n1,1.5,4\n", r", line 1: column 2 'Energy \(s\)' read as energy: unknown energy unit 's'"),
]


@pytest.mark.parametrize("name, content, message", MALFORMED)
def test_malformed(tmp_path, name, content, message):
    path = tmp_path / name
    path.write_bytes(content.encode() if isinstance(content, str) else content)
    with pytest.raises(SpectrumFileError) as e:
        read_spectrum(path)
    assert re.match(re.escape(str(path)) + message, str(e.value)), str(e.value)
    assert str(e.value).count(str(path)) == 1 and e.value.path == str(path)
    assert "\n" not in str(e.value)


def test_missing_file(tmp_path):
    with pytest.raises(SpectrumFileError, match=r"^cannot read .*nope\.spe: No such file or directory$"):
        read_spectrum(tmp_path / "nope.spe")


@pytest.mark.parametrize("name, write, fmt", [
    ("spectrum.txt", W.write_spe, "IAEA SPE"),
    ("spectrum.spe", W.write_n42_2011, "N42 2011"),
    ("spectrum.txt", W.write_chn, "ORTEC CHN"),
    ("spectrum.n42", W.write_amptek, "Amptek MCA"),
    ("spectrum.n42", W.write_radiacode, "RadiaCode XML"),
    ("spectrum.spe", W.write_text, "text"),
    ("spectrum.tka", W.write_text, "TKA"),  # one column: the extension breaks the tie
])
def test_content_decides(tmp_path, name, write, fmt):
    write(tmp_path / name, COUNTS)
    assert read_spectrum(tmp_path / name).format == fmt


@pytest.mark.parametrize("name, write", [
    ("a.spe", W.write_spe), ("a.chn", W.write_chn), ("a.mca", W.write_amptek), ("a.tka", W.write_tka),
    ("a.txt", W.write_text),
])
def test_one_spectrum_formats_hold_measurement_1_only(tmp_path, name, write):
    path = tmp_path / name
    write(path, COUNTS)
    np.testing.assert_array_equal(read_spectrum(path, Options(measurement=1)).counts, COUNTS)
    with pytest.raises(SpectrumFileError, match=re.escape(str(path)) + r": measurement 2 requested, the file "
                                                                      r"holds 1 spectrum \(numbered 1 to 1\)$"):
        read_spectrum(path, Options(measurement=2))


@pytest.mark.parametrize("header, sep, kev_per_unit", [
    ("Energy (MeV);Counts", ";", 1e3), ("Energy [eV],Counts", ",", 1e-3), ("E/keV\tN", "\t", 1.0),
    ("Energy (MeV) Counts", " ", 1e3), ("Energy MeV  Counts", " ", 1e3), ("E / eV  Counts", " ", 1e-3),
    ("Channel;Energy_MeV;Counts", ";", 1e3), ("keV,counts", ",", 1.0), ("Title of the sample", " ", 1.0),
])
def test_text_energy_unit_of_the_header(tmp_path, header, sep, kev_per_unit):
    path = tmp_path / "e.txt"
    channels = "Channel" in header
    W.write_text(path, COUNTS, energies=ENERGIES, channels=channels, sep=sep, header=header)
    s = read_spectrum(path)
    np.testing.assert_allclose(s.energies, ENERGIES * kev_per_unit)
    np.testing.assert_array_equal(s.counts, COUNTS)


@pytest.mark.parametrize("header, first, energies", [
    ("Channel;Counts per channel", np.arange(100, 164), None),  # named: not energies, though not 0, 1, 2
    ("keV;Counts", np.arange(64), np.arange(64)),  # named by its unit: energies, though 0, 1, 2
    ("Energy (MeV);Counts", np.arange(64), np.arange(64) * 1e3),
    ("x;y", np.arange(1, 65), None),  # unnamed: 1, 2, 3 are channels
    ("x;y", np.arange(64) + 0.5, np.arange(64) + 0.5),
])
def test_text_columns_named_by_the_header(tmp_path, header, first, energies):
    path = tmp_path / "c.csv"
    path.write_text(header + "\n" + "".join(f"{a!r};{c!r}\n" for a, c in zip(first.tolist(), COUNTS.tolist())))
    s = read_spectrum(path)
    np.testing.assert_array_equal(s.counts, COUNTS)
    if energies is None:
        assert s.energies is None
    else:
        np.testing.assert_allclose(s.energies, energies)


def _fake_read(data, options):
    if b"bad" in data:
        raise FileFormatError("bad counts", "record 2")
    return Spectrum(counts=np.ones(3), format="FAKE")


@pytest.mark.parametrize("name, content, fmt", [
    ("a.fak", b"FAKE\n1 2\n3 4\n", "FAKE"), ("a.txt", b"FAKE\n1 2\n3 4\n", "text"), ("a.fak", b"1 2\n3 4\n", "text"),
])
def test_a_format_is_one_row(tmp_path, monkeypatch, name, content, fmt):
    row = readers.Reader("FAKE", lambda head: head.startswith(b"FAKE"), _fake_read, extensions=(".fak",))
    monkeypatch.setattr(readers, "READERS", (row,) + readers.READERS)
    path = tmp_path / name
    path.write_bytes(content)
    s = read_spectrum(path)
    assert (s.format, s.path) == (fmt, str(path))
    if fmt == "FAKE":
        with pytest.raises(SpectrumFileError, match=re.escape(str(path)) + r": measurement 2 requested"):
            read_spectrum(path, Options(measurement=2))
        path.write_bytes(b"FAKE bad\n")
        with pytest.raises(FileFormatError, match="^" + re.escape(str(path)) + r", record 2: bad counts$"):
            read_spectrum(path)


@pytest.mark.parametrize("written, read", [
    ("06/16/2022 16:51:18", "2022-06-16T16:51:18"),
    ("16.06.2022 16:51:18", "2022-06-16T16:51:18"),
    ("Thursday, in the morning", "Thursday, in the morning"),  # a form we cannot read is kept as written
])
def test_start_time_in_iso_form_or_as_written(tmp_path, written, read):
    W.write_spe(tmp_path / "t.spe", COUNTS, start=written)
    assert read_spectrum(tmp_path / "t.spe").start_time == read


@pytest.mark.parametrize("calibration, reason", [((0.0, 0.0), "zero gain"), ((5.0, -0.5), "energies do not ascend")])
def test_a_calibration_that_gives_no_energies_is_a_note(tmp_path, calibration, reason):
    W.write_spe(tmp_path / "c.spe", COUNTS, calibration=calibration, mca_cal=False)
    s = read_spectrum(tmp_path / "c.spe")
    assert s.calibration is None and s.notes == (f"calibration from file ($ENER_FIT) ignored: {reason}",)


def test_n42_spectra_of_another_calibration_are_left_out_of_the_sum(tmp_path):
    path = tmp_path / "two.n42"
    path.write_text('<RadInstrumentData><EnergyCalibration id="a"><CoefficientValues>0 1</CoefficientValues>'
                    '</EnergyCalibration><EnergyCalibration id="b"><CoefficientValues>0 2</CoefficientValues>'
                    '</EnergyCalibration><RadMeasurement>'
                    '<Spectrum energyCalibrationReference="a"><ChannelData>1 2 3 4</ChannelData></Spectrum>'
                    '<Spectrum energyCalibrationReference="b"><ChannelData>5 6 7 8</ChannelData></Spectrum>'
                    '</RadMeasurement></RadInstrumentData>')
    s = read_spectrum(path)
    np.testing.assert_array_equal(s.counts, [1, 2, 3, 4])
    assert s.notes == ("summed 1 of 2 spectra; 1 with another channel count or calibration left out",)


def test_an_n42_energy_calibration_without_coefficients_is_a_note(tmp_path):
    path = tmp_path / "nocal.n42"
    path.write_text('<RadInstrumentData><EnergyCalibration id="a"><EnergyValues>0 662</EnergyValues>'
                    '</EnergyCalibration><RadMeasurement><Spectrum energyCalibrationReference="a">'
                    '<ChannelData>1 2 3 4</ChannelData></Spectrum></RadMeasurement></RadInstrumentData>')
    s = read_spectrum(path)
    np.testing.assert_array_equal(s.counts, [1, 2, 3, 4])
    assert s.calibration is None and s.notes == ("Spectrum 1: EnergyCalibration without CoefficientValues ignored",)


@pytest.mark.parametrize("name, write, detector", [("a.spe", W.write_spe, "HPGe 40%"), ("a.chn", W.write_chn, "HPGe"),
                                                   ("a.xml", W.write_radiacode, "RadiaCode-102")])
def test_the_detector_a_file_names(tmp_path, name, write, detector):
    write(tmp_path / name, COUNTS)
    assert read_spectrum(tmp_path / name).detector == detector


def test_utf16_text_as_windows_programs_write_it(tmp_path):
    path = tmp_path / "u.txt"
    path.write_bytes("Energy (keV)\tCounts\r\n".encode("utf-16") + "".join(
        f"{e}\t{int(c)}\r\n" for e, c in zip(ENERGIES, COUNTS)).encode("utf-16-le"))
    s = read_spectrum(path)
    np.testing.assert_array_equal(s.counts, COUNTS)
    np.testing.assert_allclose(s.energies, ENERGIES)
    path.write_bytes(b"\xff\xfe" + b"1\x00\n\x00\x00\xd8")  # a lone surrogate: not UTF-16 text
    with pytest.raises(SpectrumFileError, match="u.txt: not a text file$"):
        read_spectrum(path)


def test_n42_2006_energy_calibration_after_other_kinds(tmp_path):
    path = tmp_path / "c.n42"
    path.write_text('<N42InstrumentData><Measurement><Spectrum>'
                    '<Calibration Type="FWHM"><Equation Model="Polynomial"><Coefficients>1 0.01</Coefficients>'
                    '</Equation></Calibration><Calibration Type="Energy" EnergyUnits="MeV"><Equation Model="Polynomial">'
                    '<Coefficients>0.001 0.0005</Coefficients></Equation></Calibration>'
                    '<ChannelData>1 2 3 4</ChannelData></Spectrum></Measurement></N42InstrumentData>')
    assert read_spectrum(path).calibration.coefficients == pytest.approx((1.0, 0.5))


@pytest.mark.parametrize("header", ["energy,counts", "Energie;Impulse", "E counts"])
def test_text_energy_column_without_a_unit_is_kev(tmp_path, header):
    sep = ";" if ";" in header else "," if "," in header else " "
    (tmp_path / "e.txt").write_text(header + "\n" + "".join(f"{e}{sep}{int(c)}\n" for e, c in zip(ENERGIES, COUNTS)))
    np.testing.assert_allclose(read_spectrum(tmp_path / "e.txt").energies, ENERGIES)


def test_an_empty_section_is_no_value(tmp_path):
    (tmp_path / "e.spe").write_text("$DATE_MEA:\n$MEAS_TIM:\n10 11\n$DATA:\n0 2\n1\n2\n3\n")
    s = read_spectrum(tmp_path / "e.spe")
    assert s.start_time is None and (s.live_time, s.real_time) == (10, 11)


@pytest.mark.parametrize("first, energies", [("0,1,2,3", False), ("10,20,30,40", True), ("1.5,2.5,3.5,4.5", True)])
def test_text_first_column_channels_or_energies_and_the_header_as_description(tmp_path, first, energies):
    (tmp_path / "t.txt").write_text("Lab 3 Cs-137 source, 600 s\n" + "".join(f"{x} {c}\n" for x, c in zip(first.split(","), (5, 6, 7, 8))))
    s = read_spectrum(tmp_path / "t.txt")
    assert (s.energies is not None) == energies and s.description == "Lab 3 Cs-137 source, 600 s"


@pytest.mark.parametrize("content, counts, energies", [
    ("Channel,Energy,Counts\n0,,0\n1,,5\n2,,7\n", [0, 5, 7], None),  # the energy column left empty
    ("Channel,Energy,Counts,\n0,1.5,4,\n1,2.5,5,\n", [4, 5], [1.5, 2.5]),  # a trailing separator
    ("Energy (MeV),,Counts\n0.5,,4\n1.5,,5\n", [4, 5], [500, 1500]),
    (",Counts\n,4\n,5\n", [4, 5], None),
])
def test_text_columns_empty_on_every_line_are_absent(tmp_path, content, counts, energies):
    (tmp_path / "u.csv").write_text(content)
    s = read_spectrum(tmp_path / "u.csv")
    np.testing.assert_array_equal(s.counts, counts)
    if energies is None:
        assert s.energies is None
    else:
        np.testing.assert_allclose(s.energies, energies)


@pytest.mark.parametrize("content, message", [
    ("Channel,Energy,Counts\n0,,0\n1,2.5,5\n", r", line 2: column 2 is empty here and holds numbers on other lines$"),
    ("a;b\n;\n;\n", r": not a spectrum file \(no lines of numbers\)$"),
    ("Time/s;Height/arb.u.\n1;3\n2;4\n", r", line 1: no column of counts among the headings$"),
])
def test_text_empty_or_unnamed_columns_refused(tmp_path, content, message):
    (tmp_path / "u.csv").write_text(content)
    with pytest.raises(FileFormatError, match=re.escape(str(tmp_path / "u.csv")) + message):
        read_spectrum(tmp_path / "u.csv")


@pytest.mark.parametrize("header, sep, other", [
    ("Height/arb.u.;Counts", ";", "Height/arb.u."), ("Height;Counts", ";", "Height"),
    ("Pulse height (a.u.),Counts", ",", "Pulse height (a.u.)"), ("x/mm counts", " ", "x/mm"),
    ("x / mm  counts", " ", "x / mm"), ("Channel;Amplitude/mV;Counts", ";", "Amplitude/mV"),
])
def test_text_pulse_heights_are_never_energies(tmp_path, header, sep, other):
    first = [f"{v!r}" for v in (np.arange(64) * 0.37 + 0.5).tolist()]
    rows = [[str(k), f, str(int(c))] if header.startswith("Channel") else [f, str(int(c))]
            for k, (f, c) in enumerate(zip(first, COUNTS))]
    (tmp_path / "h.txt").write_text(header + "\n" + "".join(sep.join(r) + "\n" for r in rows))
    s = read_spectrum(tmp_path / "h.txt")
    np.testing.assert_array_equal(s.counts, COUNTS)
    assert s.energies is None and s.calibration is None
    assert s.notes == (f"column {other!r} is neither channel nor energy: read as channels",)
