"""Reader of the XML pocket spectrometers export (root ResultDataFile, one EnergySpectrum per ResultData)."""
from __future__ import annotations

from .common import check_counts, combine, fail, finish, make_calibration, number, pick_measurement
from .xmltree import child, parse, text_of

FORMAT = "RadiaCode XML"


def sniff(head: str) -> bool:
    return "ResultDataFile" in head


def read(path, data: bytes, measurement=None):
    root = parse(path, data)
    if root.tag != "ResultDataFile":
        raise fail(path, None, f"not a ResultDataFile (root element <{root.tag}>)")
    results = root.findall("ResultDataList/ResultData") or root.findall(".//ResultData")
    if not results:
        raise fail(path, None, "no ResultData element")
    notes = []
    picked = pick_measurement(path, list(enumerate(results, 1)), measurement, ("ResultData",) * 2)
    parts = [_part(path, k, r, notes) for k, r in picked]
    total = combine(path, parts, notes, "measurements")
    return finish(path, FORMAT, total["counts"], total["locate"], total["times_at"], notes=notes,
                  calibration=total["calibration"], live_time=total["live_time"], real_time=total["real_time"],
                  start_time=total["start_time"], detector=total["detector"], description=total["description"])


def _part(path, k, result, notes):
    spectrum = child(result, "EnergySpectrum")
    if spectrum is None:
        raise fail(path, f"ResultData {k}", "no EnergySpectrum")
    if child(result, "BackgroundEnergySpectrum") is not None:
        notes.append(f"ResultData {k}: background spectrum in the file ignored")
    where = f"ResultData {k} EnergySpectrum"
    points = spectrum.findall("Spectrum/DataPoint")
    counts = [number(path, f"{where} DataPoint {i + 1}", p.text) for i, p in enumerate(points)]
    declared = text_of(spectrum, "NumberOfChannels")
    if declared is not None and number(path, f"{where} NumberOfChannels", declared) != len(counts):
        raise fail(path, f"{where} NumberOfChannels", f"{declared} channels announced, {len(counts)} DataPoint found")
    locate = (lambda i: f"{where} DataPoint {i + 1}")
    counts = check_counts(path, counts, locate)
    seconds = text_of(spectrum, "MeasurementTime")
    time = None if seconds is None else number(path, f"{where} MeasurementTime", seconds)
    coefficients = [c.text for c in spectrum.findall("EnergyCalibration/Coefficients/Coefficient")]
    calibration = make_calibration(path, f"{where} EnergyCalibration", coefficients, "file (EnergyCalibration)",
                                   len(counts), notes) if coefficients else None
    device = result.find("DeviceConfigReference/Name")
    # the device counts without dead-time correction: its one time is both live and real time
    return dict(counts=counts, locate=locate, live_time=time, real_time=time, calibration=calibration,
                times_at=dict.fromkeys(("live_time", "real_time"), f"{where} MeasurementTime"),
                start_time=text_of(result, "StartTime"), description=text_of(spectrum, "SpectrumName"),
                detector=None if device is None or not device.text else device.text.strip())
