"""Writers of small spectrum files in every format the readers take, for tests.

calibration: (c0, c1[, c2]) keV per channel index; times in seconds; None leaves a field out."""
import struct

import numpy as np


def _ints(counts):
    return [int(c) if float(c).is_integer() else float(c) for c in np.asarray(counts, dtype=float)]


def write_spe(path, counts, calibration=None, live_time=100.0, real_time=110.0, per_line=1,
              start="06/16/2022 16:51:18", detector="HPGe 40%", mca_cal=True):
    c = _ints(counts)
    out = ["$SPEC_ID:", "test spectrum", "$SPEC_REM:", "DET# 1", f"DETDESC# {detector}", "$DATE_MEA:", start]
    if live_time is not None:
        out += ["$MEAS_TIM:", f"{live_time} {real_time}"]
    out += ["$DATA:", f"0 {len(c) - 1}"]
    out += [" ".join(f"{v:8}" for v in c[i:i + per_line]) for i in range(0, len(c), per_line)]
    if calibration is not None:
        cal = list(calibration) + [0.0] * (3 - len(calibration))
        out += ["$ENER_FIT:", f"{cal[0]:f} {cal[1]:f}"]
        if mca_cal:
            out += ["$MCA_CAL:", "3", " ".join(f"{v:E}" for v in cal) + " keV"]
    _write(path, "\r\n".join(out) + "\r\n")


def _n42_cal(calibration):
    return " ".join(repr(float(v)) for v in calibration)


def _counted_zeroes(counts):
    out, zeros = [], 0
    for v in _ints(counts) + [None]:
        if v == 0:
            zeros += 1
            continue
        if zeros:
            out += [0, zeros]
            zeros = 0
        if v is not None:
            out.append(v)
    return out


def write_n42_2011(path, counts, calibration=None, live_time=100.0, real_time=110.0, counted_zeroes=False,
                   namespace=True, classes=None):
    """counts: one array, or a list of arrays (one RadMeasurement each, times per measurement)."""
    spectra = [counts] if np.ndim(counts[0]) == 0 else counts
    classes = classes or ["Foreground"] * len(spectra)
    ns = ' xmlns="http://physics.nist.gov/N42/2011/N42"' if namespace else ""
    out = [f'<?xml version="1.0"?>\n<RadInstrumentData{ns}>']
    if calibration is not None:
        out.append(f'<EnergyCalibration id="EC1"><CoefficientValues>{_n42_cal(calibration)}'
                   f'</CoefficientValues></EnergyCalibration>')
    ref = ' energyCalibrationReference="EC1"' if calibration is not None else ""
    code = ' compressionCode="CountedZeroes"' if counted_zeroes else ""
    for i, (c, kind) in enumerate(zip(spectra, classes)):
        values = _counted_zeroes(c) if counted_zeroes else _ints(c)
        out.append(f'<RadMeasurement id="M{i}"><MeasurementClassCode>{kind}</MeasurementClassCode>'
                   f'<StartDateTime>2024-01-01T00:00:{i:02d}Z</StartDateTime>'
                   f'<RealTimeDuration>PT{real_time}S</RealTimeDuration>'
                   f'<Spectrum id="S{i}"{ref}><LiveTimeDuration>PT{live_time}S</LiveTimeDuration>'
                   f'<ChannelData{code}>{" ".join(map(str, values))}</ChannelData></Spectrum></RadMeasurement>')
    _write(path, "\n".join(out) + "\n</RadInstrumentData>\n")


def write_n42_2006(path, counts, calibration=None, live_time=100.0, real_time=110.0, counted_zeroes=False):
    ns = "http://physics.nist.gov/Divisions/Div846/Gp4/ANSIN4242/2005/ANSIN4242"
    cal = "" if calibration is None else (
        f'<Calibration Type="Energy" EnergyUnits="keV"><Equation Model="Polynomial">'
        f'<Coefficients>{_n42_cal(calibration)}</Coefficients></Equation></Calibration>')
    values = _counted_zeroes(counts) if counted_zeroes else _ints(counts)
    code = ' Compression="CountedZeroes"' if counted_zeroes else ""
    _write(path, f'<?xml version="1.0"?>\n<N42InstrumentData xmlns="{ns}"><Measurement><Spectrum Type="PHA">'
                 f'<StartTime>2024-01-01T00:00:00</StartTime><RealTime>PT{real_time}S</RealTime>'
                 f'<LiveTime>PT{live_time}S</LiveTime>{cal}<ChannelData{code}>{" ".join(map(str, values))}'
                 f'</ChannelData></Spectrum></Measurement></N42InstrumentData>\n')


def write_chn(path, counts, calibration=None, live_time=100.0, real_time=110.0, trailer=-102):
    c = np.asarray(counts, dtype="<u4")
    head = struct.pack("<hHH2sii8s4sHH", -1, 1, 1, b"07", round(real_time / 0.02), round(live_time / 0.02),
                       b"16JUN221", b"1651", 0, len(c))
    tail = b""
    if trailer is not None:
        cal = list(calibration or (0.0, 0.0)) + [0.0] * 3
        tail = struct.pack("<hh3f", trailer, 0, *cal[:3]).ljust(256, b"\0") + bytes([4]) + b"HPGe"
        tail = tail.ljust(512, b"\0")
    with open(path, "wb") as f:
        f.write(head + c.tobytes() + tail)


def write_amptek(path, counts, calibration=None, live_time=100.0, real_time=110.0, points=3, unit="keV"):
    """The calibration is written as `points` (channel, energy) pairs on the polynomial."""
    out = ["<<PMCA SPECTRUM>>", "TAG - test", "DESCRIPTION - test spectrum", f"LIVE_TIME - {live_time}",
           f"REAL_TIME - {real_time}", "START_TIME - 10/20/1998 12:17:17"]
    if calibration is not None:
        scale = {"keV": 1.0, "eV": 1e3}[unit]
        out += ["<<CALIBRATION>>", f"LABEL - {unit}"]
        for ch in np.linspace(10, len(counts) - 10, points).round():
            out.append(f"{int(ch)} {float(np.polyval(list(calibration)[::-1], ch) * scale)!r}")
    out += ["<<DATA>>", *map(str, _ints(counts)), "<<END>>"]
    _write(path, "\r\n".join(out) + "\r\n")


def write_radiacode(path, counts, calibration=None, live_time=100.0, background=False, results=1):
    def spectrum(tag, c):
        cal = "" if calibration is None else (
            f"<EnergyCalibration><PolynomialOrder>{len(calibration) - 1}</PolynomialOrder><Coefficients>"
            + "".join(f"<Coefficient>{float(v)!r}</Coefficient>" for v in calibration) + "</Coefficients></EnergyCalibration>")
        return (f"<{tag}><NumberOfChannels>{len(c)}</NumberOfChannels><SpectrumName>test</SpectrumName>"
                f"<MeasurementTime>{live_time}</MeasurementTime>{cal}<Spectrum>"
                + "".join(f"<DataPoint>{v}</DataPoint>" for v in _ints(c)) + f"</Spectrum></{tag}>")
    one = ("<ResultData><DeviceConfigReference><Name>RadiaCode-102</Name></DeviceConfigReference>"
           "<StartTime>2024-01-01T00:00:00</StartTime>" + spectrum("EnergySpectrum", counts)
           + (spectrum("BackgroundEnergySpectrum", np.ones(len(counts))) if background else "") + "</ResultData>")
    _write(path, '<?xml version="1.0"?>\n<ResultDataFile><FormatVersion>120920</FormatVersion><ResultDataList>'
                 + one * results + "</ResultDataList></ResultDataFile>\n")


def write_tka(path, counts, live_time=100.0, real_time=110.0):
    _write(path, "\n".join(map(str, [live_time, real_time, *_ints(counts)])) + "\n")


def write_text(path, counts, energies=None, channels=False, sep=",", header=None, bom=False, decimal_comma=False):
    """Columns [channel] [energy] counts; header: a line written first (e.g. 'Energy (keV),Counts')."""
    columns = ([list(range(len(counts)))] if channels else []) + ([energies] if energies is not None else [])
    rows = zip(*columns, _ints(counts))
    def fmt(v):  # repr of a plain int or float: NumPy 2 scalars repr as 'np.float64(...)'
        text = repr(int(v) if isinstance(v, (int, np.integer)) else float(v))
        return text.replace(".", ",") if decimal_comma else text
    out = ([header] if header else []) + [sep.join(fmt(v) for v in row) for row in rows]
    _write(path, ("\ufeff" if bom else "") + "\n".join(out) + "\n")


def _write(path, text):
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)
