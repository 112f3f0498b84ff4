"""Spectrum files of any supported family, told apart by their content (the extension only breaks ties)."""
from __future__ import annotations

import os
import re

from ..model import Spectrum, SpectrumFileError
from . import amptek, chn, n42, radiacode, spe, text, tka
from .common import fail, pick_measurement

__all__ = ["read_spectrum", "sniff", "SpectrumFileError"]

_HEAD = 8192
_BINARY = re.compile(rb"[\x00-\x08\x0e-\x1a\x1c-\x1f]")


def read_spectrum(path, measurement=None) -> Spectrum:
    """The spectrum in the file at `path`. measurement: 1-based number of one spectrum in a file that
    holds several (N42, RadiaCode XML); by default they are summed. Raises SpectrumFileError."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise SpectrumFileError(f"cannot read {path}: {e.strerror or e}") from None
    reader = sniff(path, data)
    if reader in (n42, radiacode):
        return reader.read(path, data, measurement)
    pick_measurement(path, [None], measurement)
    return reader.read(path, data)


def sniff(path, data: bytes):
    """The reader module for the file's content."""
    if not data.strip():
        raise fail(path, None, "empty file")
    if chn.sniff(data):
        return chn
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        head = data[:_HEAD].decode("utf-16", errors="replace")
    elif _BINARY.search(data[:_HEAD]):
        raise fail(path, None, "not a spectrum file (binary data of no known format)")
    else:
        head = data[:_HEAD].decode("utf-8", errors="replace")
    head = head.lstrip("\ufeff \t\r\n")
    if amptek.sniff(head):
        return amptek
    if head.startswith("<"):
        for reader in (n42, radiacode):
            if reader.sniff(head):
                return reader
        raise fail(path, None, "not a spectrum file (XML of neither N42 nor ResultDataFile form)")
    if spe.sniff(head):
        return spe
    if tka.sniff(head) and os.path.splitext(path)[1].lower() == ".tka":
        return tka
    return text
