"""Spectrum files of any supported format, told apart by their content.

Every format is one row of `READERS`: its name, a test of the file's first bytes and its reader. The
first row whose test accepts the file reads it; a row's `extensions` limit it to files named so, where
content alone cannot tell it from a later row. Adding a format is one module and one row."""
from __future__ import annotations

import dataclasses
import os
import stat
from dataclasses import dataclass
from typing import Callable

from ..errors import FileFormatError, SpectrumFileError
from ..model import Spectrum
from ..options import Options
from . import amptek, chn, jsonspec, n42, radiacode, root, spe, text, tka
from .common import pick_measurement, text_head

__all__ = ["read_spectrum", "reader_for", "Reader", "READERS", "HEAD", "SpectrumFileError"]

HEAD = 8192  # bytes a reader's sniff sees
MAX_BYTES = 256 << 20  # the largest spectrum file read: 10**6 channels as text take about 30 MiB


@dataclass(frozen=True)
class Reader:
    """One file format.

    Attributes
    ----------
    name : str
        The format's name (``"IAEA SPE"``).
    sniff : callable
        sniff(head: bytes) -> bool, whether the file's first `HEAD` bytes are of this format.
    read : callable
        read(data: bytes, options: Options) -> Spectrum; raises FileFormatError without the file's name.
    extensions : tuple of str
        When not empty, the row is chosen only for files of these extensions (lower case, with the dot).
    several : bool
        Its files can hold several spectra: `read` picks options.measurement itself. Other formats refuse
        a measurement other than 1.
    xml_root : str
        The root element of its XML form, named when XML of no known form is refused.
    max_bytes : int
        The largest file of this format read (`MAX_BYTES` by default); larger ones are refused unread.
    """
    name: str
    sniff: Callable[[bytes], bool]
    read: Callable[[bytes, Options], Spectrum]
    extensions: tuple = ()
    several: bool = False
    xml_root: str = ""
    max_bytes: int = MAX_BYTES


READERS = (
    Reader("ORTEC CHN", chn.sniff, chn.read),
    Reader("Amptek MCA", amptek.sniff, amptek.read),
    Reader("N42", n42.sniff, n42.read, several=True, xml_root="N42"),
    Reader("RadiaCode XML", radiacode.sniff, radiacode.read, several=True, xml_root="ResultDataFile"),
    Reader("IAEA SPE", spe.sniff, spe.read),
    Reader("ROOT", root.sniff, root.read, several=True),  # TH1 histograms, with uproot installed
    Reader("JSON", jsonspec.sniff, jsonspec.read),  # exports of any shape, read by their structure
    Reader("TKA", tka.sniff, tka.read, extensions=(".tka",)),  # one number a line is also a text file
    Reader("text", text.sniff, text.read),
)


def read_spectrum(path, options=None) -> Spectrum:
    """The spectrum in the file at `path`.

    Parameters
    ----------
    path : str or os.PathLike
    options : Options, optional
        options.measurement picks one spectrum (from 1) of a file that holds several (N42, RadiaCode
        XML, ROOT histograms); by default they are summed.

    Returns
    -------
    Spectrum
        With `path` set to the file's path.

    Raises
    ------
    SpectrumFileError
        The file cannot be read (``"cannot read PATH: ..."``); FileFormatError, a SpectrumFileError, when
        its content is of no known format or not a readable spectrum (``"PATH, WHERE: MESSAGE"``).
    TypeError
        `options` is neither an Options nor None.
    """
    if options is None:
        options = Options()
    elif not isinstance(options, Options):
        raise TypeError(f"options must be an Options or None, got {type(options).__name__}")
    path = os.fspath(path)
    try:
        data = _read_checked(path)
    except OSError as e:
        raise SpectrumFileError(f"cannot read {path}: {e.strerror or e}") from None
    except SpectrumFileError as e:
        raise e.at(path) from None
    try:
        if not data.strip():
            raise FileFormatError("empty file")
        reader = reader_for(path, data[:HEAD])
        if not reader.several:
            pick_measurement([None], options.measurement)
        spectrum = reader.read(data, options)
    except SpectrumFileError as e:
        raise e.at(path) from None
    return dataclasses.replace(spectrum, path=str(path))


def _read_checked(path):
    """The bytes of a regular file, refused before it is read whole when no format takes its head or it is
    larger than its format's `max_bytes`. Opened without blocking: a FIFO or a device is refused by
    its kind, never waited on."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    with open(fd, "rb", closefd=True) as f:
        info = os.fstat(f.fileno())
        if not stat.S_ISREG(info.st_mode):
            kind = "a directory" if stat.S_ISDIR(info.st_mode) else "not a regular file (a pipe, socket or device)"
            raise FileFormatError(kind)
        head = f.read(HEAD)
        if len(head) < HEAD or not head.strip():
            return head
        reader = reader_for(path, head)
        if info.st_size > reader.max_bytes:
            raise FileFormatError(f"{info.st_size / 2**20:.0f} MiB: larger than any {reader.name} spectrum "
                                  f"(at most {reader.max_bytes >> 20} MiB read)")
        return head + f.read()


def reader_for(path, head: bytes) -> Reader:
    """The row of `READERS` that reads a file.

    Parameters
    ----------
    path : str or os.PathLike
        The file's name; only its extension counts.
    head : bytes
        The file's first `HEAD` bytes.

    Returns
    -------
    Reader

    Raises
    ------
    FileFormatError
        No format accepts the file; the message does not name it (`read_spectrum` adds the path).
    """
    extension = os.path.splitext(os.fspath(path))[1].lower()
    for reader in READERS:
        if (not reader.extensions or extension in reader.extensions) and reader.sniff(head):
            return reader
    start = text_head(head)
    if start is None:
        raise FileFormatError("not a spectrum file (binary data of no known format)")
    if start.startswith("<"):
        roots = " nor ".join(r.xml_root for r in READERS if r.xml_root)
        raise FileFormatError(f"not a spectrum file (XML of neither {roots} form)")
    raise FileFormatError("not a spectrum file (text of no known format)")
