"""Reader of the XML pocket spectrometers export (root ResultDataFile, one EnergySpectrum per ResultData)."""
from __future__ import annotations

from ..errors import FileFormatError
from .common import check_counts, combine, finish, make_calibration, number, pick_measurement, text_head
from .xmltree import child, parse, text_of

FORMAT = "RadiaCode XML"


def sniff(head: bytes) -> bool:
    """Whether the file is XML naming a ResultDataFile.

    The `Reader.sniff` of the table in `quodex.spectrum.readers`.
    """
    text = text_head(head) or ""
    return text.startswith("<") and "ResultDataFile" in text


def read(data: bytes, options=None):
    """The spectrum of a ResultDataFile: the sum of its ResultData, or the one options.measurement picks.

    The `Reader.read` of the table in `quodex.spectrum.readers`.
    """
    root = parse(data)
    if root.tag != "ResultDataFile":
        raise FileFormatError(f"not a ResultDataFile (root element <{root.tag}>)")
    results = root.findall("ResultDataList/ResultData") or root.findall(".//ResultData")
    if not results:
        raise FileFormatError("no ResultData element")
    notes = []
    measurement = None if options is None else options.measurement
    picked = pick_measurement(list(enumerate(results, 1)), measurement, ("ResultData",) * 2)
    parts = [_part(k, r, notes) for k, r in picked]
    total = combine(parts, notes, "measurements")
    return finish(FORMAT, total["counts"], total["locate"], total["times_at"], notes=notes,
                  calibration=total["calibration"], live_time=total["live_time"], real_time=total["real_time"],
                  start_time=total["start_time"], detector=total["detector"], description=total["description"])


def _part(k, result, notes):
    spectrum = child(result, "EnergySpectrum")
    if spectrum is None:
        raise FileFormatError("no EnergySpectrum", f"ResultData {k}")
    if child(result, "BackgroundEnergySpectrum") is not None:
        notes.append(f"ResultData {k}: background spectrum in the file ignored")
    where = f"ResultData {k} EnergySpectrum"
    points = spectrum.findall("Spectrum/DataPoint")
    counts = [number(f"{where} DataPoint {i + 1}", p.text) for i, p in enumerate(points)]
    declared = text_of(spectrum, "NumberOfChannels")
    if declared is not None and number(f"{where} NumberOfChannels", declared) != len(counts):
        raise FileFormatError(f"{declared} channels announced, {len(counts)} DataPoint found",
                              f"{where} NumberOfChannels")
    locate = (lambda i: f"{where} DataPoint {i + 1}")
    counts = check_counts(counts, locate)
    seconds = text_of(spectrum, "MeasurementTime")
    time = None if seconds is None else number(f"{where} MeasurementTime", seconds)
    coefficients = [c.text for c in spectrum.findall("EnergyCalibration/Coefficients/Coefficient")]
    calibration = make_calibration(f"{where} EnergyCalibration", coefficients, "file (EnergyCalibration)",
                                   len(counts), notes) if coefficients else None
    device = result.find("DeviceConfigReference/Name")
    # the device counts without dead-time correction: its one time is both live and real time
    return dict(counts=counts, locate=locate, live_time=time, real_time=time, calibration=calibration,
                times_at=dict.fromkeys(("live_time", "real_time"), f"{where} MeasurementTime"),
                start_time=text_of(result, "StartTime"), description=text_of(spectrum, "SpectrumName"),
                detector=None if device is None or not device.text else device.text.strip())
