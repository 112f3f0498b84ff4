"""Readers checked on files instruments wrote and on facts from each format's own document, with small
files written byte by byte here (not by spectrum_files, which shares the readers' view of the formats)."""
from pathlib import Path

import numpy as np
import pytest

from quodex.spectrum import SpectrumFileError
from quodex.spectrum.readers import read_spectrum

# The project's shared folder stands beside the checkout (or beside a copy of it further down).
FIELD = next((p / "shared" / "field" / "dev" for p in Path(__file__).resolve().parents
              if (p / "shared" / "field" / "dev").is_dir()), Path("shared/field/dev"))

# Read by eye from the files: $DATA range, $MEAS_TIM (live real), $DATE_MEA, $MCA_CAL (trailing zero
# term dropped), the sum of the $DATA lines, DETDESC# of $SPEC_REM and $SPEC_ID.
HPGE = "NOISEPC Easy-MCA-8k SN 12310217"
NO_ID = "No sample description was entered."
MCA_FILES = [  # file, channels, live, real, start, calibration, total counts, detector, description
    ("hpge_bkg.Spe", 8192, 5400, 5453, "2022-06-16T18:38:44", (0.0, 0.2315376), 518726, HPGE, NO_ID),
    ("hpge_co60.Spe", 8192, 180, 182, "2022-06-16T16:51:18", (0.0, 0.2315376), 28899, HPGE, NO_ID),
    ("hpge_na22.Spe", 8192, 180, 210, "2022-06-16T16:42:49", (0.0, 0.2315376), 331215, HPGE, NO_ID),
    ("nai_cs137.Spe", 1024, 180, 182, "2018-01-18T09:06:58", (0.0, 1.68457), 265084, "ENXP467H MCB 337",
     "Cs137 Calibration"),
]


@pytest.mark.parametrize("name, channels, live, real, start, calibration, total, detector, description", MCA_FILES)
def test_spe_files_of_an_mca(name, channels, live, real, start, calibration, total, detector, description):
    path = FIELD / name
    if not path.is_file():
        pytest.skip(f"{path} not present")
    s = read_spectrum(path)
    assert (s.format, s.path, s.channels) == ("IAEA SPE", str(path), channels)
    assert (s.live_time, s.real_time, s.start_time) == (live, real, start)
    assert s.calibration.coefficients == pytest.approx(calibration, abs=1e-12)
    assert s.counts.sum() == total
    assert (s.detector, s.description, s.notes) == (detector, description, ())


def _write(tmp_path, name, content):
    path = tmp_path / name
    path.write_bytes(content.encode("ascii") if isinstance(content, str) else content)
    return path


# ORTEC Software File Structure Manual for DOS and Windows Systems, CHN header (32 bytes, little-endian):
# int16 -1, MCA number, segment, start seconds (2 ASCII), real time and live time as int32 counts of
# 20 ms, start date DDMMMYY then '1' for years 2000 on ('0' before), start time HHMM, channel offset,
# channel count; then one uint32 count per channel.
def _chn(date, hhmm, seconds, real_ticks, live_ticks, counts):
    return (b"\xff\xff" + b"\x01\x00" + b"\x01\x00" + seconds + real_ticks.to_bytes(4, "little")
            + live_ticks.to_bytes(4, "little") + date + hhmm + b"\x00\x00" + len(counts).to_bytes(2, "little")
            + b"".join(c.to_bytes(4, "little") for c in counts))


@pytest.mark.parametrize("date, hhmm, seconds, start", [
    (b"16JUN221", b"1651", b"07", "2022-06-16T16:51:07"),
    (b"16JUN220", b"1651", b"07", "1922-06-16T16:51:07"),
    (b"31DEC990", b"2359", b"59", "1999-12-31T23:59:59"),
    (b"01JAN001", b"0000", b"00", "2000-01-01T00:00:00"),
])
def test_chn_start_date_and_century_flag(tmp_path, date, hhmm, seconds, start):
    s = read_spectrum(_write(tmp_path, "a.chn", _chn(date, hhmm, seconds, 50, 50, [1, 2, 3])))
    assert (s.format, s.start_time) == ("ORTEC CHN", start)
    np.testing.assert_array_equal(s.counts, [1, 2, 3])


@pytest.mark.parametrize("real_ticks, live_ticks, real, live", [
    (9100, 9000, 182.0, 180.0), (270000, 3, 5400.0, 0.06), (1, 0, 0.02, 0.0),
])
def test_chn_times_count_20_ms(tmp_path, real_ticks, live_ticks, real, live):
    s = read_spectrum(_write(tmp_path, "a.chn", _chn(b"16JUN221", b"1651", b"07", real_ticks, live_ticks, [4, 5])))
    assert (s.real_time, s.live_time) == (pytest.approx(real), pytest.approx(live))


# ANSI N42.42-2011: LiveTimeDuration and RealTimeDuration are xs:duration, the ISO 8601 durations of
# W3C XML Schema Datatypes (PnYnMnDTnHnMnS).
N42 = ('<?xml version="1.0"?>\n<RadInstrumentData xmlns="http://physics.nist.gov/N42/2011/N42"><RadMeasurement id="M1">'
       '<RealTimeDuration>{real}</RealTimeDuration><Spectrum id="S1"><LiveTimeDuration>{live}</LiveTimeDuration>'
       '<ChannelData{attributes}>{data}</ChannelData></Spectrum></RadMeasurement></RadInstrumentData>\n')


@pytest.mark.parametrize("text, seconds", [
    ("PT1H2M3S", 3723.0), ("PT180.5S", 180.5), ("P1DT2H", 93600.0), ("PT2M", 120.0), ("P2D", 172800.0),
])
def test_n42_durations(tmp_path, text, seconds):
    s = read_spectrum(_write(tmp_path, "a.n42", N42.format(real=text, live=text, attributes="", data="1 2 3")))
    assert (s.format, s.live_time, s.real_time) == ("N42 2011", seconds, seconds)


# ANSI N42.42 compressionCode (as published in the NIEM CBRN domain): with CountedZeroes "a 0 value ...
# the next value is the number of consecutive zero-value channels"; its example of 18 channels.
def test_n42_counted_zeroes_example_of_the_standard(tmp_path):
    data = N42.format(real="PT10S", live="PT9S", attributes=' compressionCode="CountedZeroes"',
                      data="22 5 0 1 2 1 0 2 3 4 0 8 1")
    s = read_spectrum(_write(tmp_path, "a.n42", data))
    np.testing.assert_array_equal(s.counts, [22, 5, 0, 2, 1, 0, 0, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0, 1])


# IAEA SPE Spectral Data Format (as given in the MCA166-USB manual, appendix 1): "$DATA: first channel,
# last channel" then the channel contents; $MCA_CAL: the number of coefficients, then the coefficients
# followed by their energy unit (as the MCA's files in shared/field write "... keV").
SPE = "$SPEC_ID:\nfacts\n$MEAS_TIM:\n10 11\n$DATA:\n{first} {last}\n{data}\n{calibration}"


@pytest.mark.parametrize("unit, kev_per_unit", [
    ("keV", 1.0), ("eV", 1e-3), ("MeV", 1e3), ("KEV", 1.0), ("[eV]", 1e-3), ("(MeV)", 1e3),
])
def test_spe_calibration_unit(tmp_path, unit, kev_per_unit):
    written = (2.0, 3.0, 0.5)
    s = read_spectrum(_write(tmp_path, "a.spe", SPE.format(
        first=0, last=3, data="1\n2\n3\n4", calibration=f"$MCA_CAL:\n3\n2.0 3.0 0.5 {unit}\n")))
    assert s.calibration.coefficients == pytest.approx([c * kev_per_unit for c in written])


@pytest.mark.parametrize("calibration, written", [
    ("$ENER_FIT:\n2.0 0.5\n", (2.0, 0.5)), ("$MCA_CAL:\n3\n2.0 0.5 1e-3 keV\n", (2.0, 0.5, 1e-3)),
])
def test_spe_data_from_a_channel_above_0(tmp_path, calibration, written):
    # the coefficients are in the detector's channel numbers: the first count stored is channel 100
    s = read_spectrum(_write(tmp_path, "a.spe", SPE.format(first=100, last=103, data="5 6\n7 8",
                                                           calibration=calibration)))
    np.testing.assert_allclose(s.calibration(np.arange(4)), np.polyval(written[::-1], np.arange(100, 104)))
    np.testing.assert_array_equal(s.counts, [5, 6, 7, 8])


# Amptek Spectrum File Format (DP5 SDK), its sample file: times, start, and a calibration of two points
# labelled "Energy (eV)".
AMPTEK = ("<<PMCA SPECTRUM>>\r\nTAG - Am241\r\nDESCRIPTION - Am241 Spectrum 4000 second. Accumulation\r\n"
          "GAIN - 2\r\nTHRESHOLD - 50\r\nLIVE_MODE - 0\r\nPRESET_TIME - 4000\r\nLIVE_TIME - 3983.720000\r\n"
          "REAL_TIME - 4000.000000\r\nSTART_TIME - 10/20/1998 12:17:17\r\nSERIAL_NUMBER - 1199\r\n"
          "<<CALIBRATION>>\r\nLABEL - {label}\r\n1 0.000000\r\n322 13950.000000\r\n<<ROI>>\r\n312 330\r\n"
          "<<DATA>>\r\n{data}\r\n<<END>>\r\n")


@pytest.mark.parametrize("label, kev_at_322", [("Energy (eV)", 13.95), ("keV", 13950.0), ("Energy [MeV]", 13950e3)])
def test_amptek_sample_file(tmp_path, label, kev_at_322):
    s = read_spectrum(_write(tmp_path, "a.mca", AMPTEK.format(label=label, data="\r\n".join(["7"] * 400))))
    assert (s.format, s.live_time, s.real_time) == ("Amptek MCA", 3983.72, 4000.0)
    assert (s.start_time, s.description) == ("1998-10-20T12:17:17", "Am241 Spectrum 4000 second. Accumulation")
    np.testing.assert_allclose(s.calibration([1, 322]), [0.0, kev_at_322], atol=1e-9 * kev_at_322)
    assert s.channels == 400


def test_amptek_label_of_no_energy_unit(tmp_path):
    path = _write(tmp_path, "a.mca", AMPTEK.format(label="Energy (nm)", data="7\r\n8"))
    with pytest.raises(SpectrumFileError, match=r", line 13: <<CALIBRATION>> LABEL: unknown energy unit 'nm'"):
        read_spectrum(path)
