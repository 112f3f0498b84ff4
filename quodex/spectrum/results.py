"""What an analysis finds, as values: peaks with their flags and names, and the result of a whole
spectrum. Made once and never changed; a changed peak is a new one (`dataclasses.replace`)."""
from __future__ import annotations

import enum
import math
from dataclasses import dataclass, field

import numpy as np

__all__ = ["Flag", "IdKind", "Identification", "Peak", "Region", "Analysis", "PEAK_COLUMNS", "LineCheck",
           "NuclideFound"]

ANNIHILATION_KEV = 510.999


class Flag(str, enum.Enum):
    """What a reader of a peak should know about its fit.

    A str enum: ``str(flag)`` and ``flag.value`` are the names shown in reports and JSON. A peak lists
    its flags in the order below.

    Attributes
    ----------
    TAIL
        ``"tail"``: fitted with a low-energy tail and a step.
    MULTIPLET
        ``"multiplet"``: fitted together with overlapping peaks.
    POOR_FIT
        ``"poor fit"``: the model does not describe the counts of its region; still reported.
    WIDTH_AT_LIMIT
        ``"width at limit"``: its width is held by the bound of the fit.
    CENTROID_AT_EDGE
        ``"centroid at edge"``: its centre is held by the edge of its region.
    WIDE
        ``"wide"``: much wider than the resolution (a Compton edge, a backscatter bump or a group).
    """
    TAIL = "tail"  # fitted with a low-energy tail and a step
    MULTIPLET = "multiplet"  # fitted together with overlapping peaks
    POOR_FIT = "poor fit"  # the model does not describe the counts of its region
    WIDTH_AT_LIMIT = "width at limit"  # its width is held by the bound of the fit
    CENTROID_AT_EDGE = "centroid at edge"  # its centre is held by the edge of its region
    WIDE = "wide"  # much wider than the resolution: a Compton edge, a backscatter bump or a group

    def __str__(self):
        return self.value


_FLAG_ORDER = {f: i for i, f in enumerate(Flag)}


class IdKind(enum.Enum):
    """What kind of line a peak was named as; ``kind.value`` is its name in reports and tables.

    Attributes
    ----------
    LINE
        ``"line"``: one of the known lines given.
    ANNIHILATION
        ``"annihilation"``: 511 keV annihilation radiation.
    SINGLE_ESCAPE
        ``"single escape"``: a line less one annihilation photon (511 keV).
    DOUBLE_ESCAPE
        ``"double escape"``: a line less both (1022 keV).
    SUM
        ``"sum"``: two lines detected together (coincidence summing).
    BACKSCATTER
        ``"backscatter"``: a line's photons scattered back into the detector from behind it.
    COMPTON_EDGE
        ``"Compton edge"``: the top of a line's Compton continuum, found as a peak.
    """
    LINE = "line"  # a known line
    ANNIHILATION = "annihilation"  # 511 keV annihilation radiation
    SINGLE_ESCAPE = "single escape"  # a line less one annihilation photon
    DOUBLE_ESCAPE = "double escape"  # a line less both
    SUM = "sum"  # two lines detected together
    BACKSCATTER = "backscatter"  # a line scattered back into the detector
    COMPTON_EDGE = "Compton edge"  # the top of a line's Compton continuum


@dataclass(frozen=True)
class Identification:
    """The name of a peak: what kind of line it is and which.

    ``str(identification)`` is the label of reports: ``"661.657 keV"``, ``"511 keV (annihilation)"``,
    ``"single escape of 2614.51 keV"``, ``"sum of 1173.23 + 1332.49 keV"``.

    Attributes
    ----------
    kind : IdKind
        Known line, annihilation, escape or sum peak.
    line : float
        keV: the known line (LINE, ANNIHILATION), or where an escape or sum peak is expected from its
        parents' lines.
    parents : tuple of Identification
        The lines an escape (one) or sum (two) peak comes from; empty otherwise.
    listed : bool
        The line was among the known lines given (for ANNIHILATION: 511 keV was given).
    nuclide : str or None
        The library name that emits the line (a nuclide, a chain segment's head, or ``"X-rays (Pb)"``
        for fluorescence); None for a line given by the user.
    """
    kind: IdKind
    line: float
    parents: tuple = ()
    listed: bool = True
    nuclide: str | None = None

    def __str__(self):
        k = self.kind
        if k is IdKind.LINE:
            return f"{self.nuclide} {self.line:g} keV" if self.nuclide else f"{self.line:g} keV"
        if k is IdKind.ANNIHILATION:
            return f"{self.line:g} keV (annihilation)" if self.listed else "annihilation (511 keV)"
        if k is IdKind.SUM:
            return f"sum of {self.parents[0].line:g} + {self.parents[1].line:g} keV"
        return f"{k.value} of {self.parents[0].line:g} keV"


@dataclass(frozen=True)
class Peak:
    """One fitted peak.

    Attributes
    ----------
    energy, energy_unc : float
        Centroid and its standard uncertainty, keV.
    fwhm, fwhm_unc : float
        Full width at half maximum of its Gaussian and its uncertainty, keV.
    area, area_unc : float
        Net area (counts, tail included) and its uncertainty.
    region : tuple of int
        The channels (start, stop) of the fit it comes from, stop excluded.
    params : numpy.ndarray
        A, mu, variance, tail fraction, tail slope (sigmas), step height of the fit.
    background : tuple of float
        Straight background of its fit: level at the region's centre, slope, centre (keV).
    chi2 : float
        Reduced chi-square of its region's fit.
    flags : tuple of Flag
        What to know about its fit, in the order of `Flag`, each once.
    identification : Identification or None
        Its name, None where no known line, annihilation, escape or sum fits it.
    significance : float
        ``area / area_unc`` (a property; infinite for a zero uncertainty).

    Notes
    -----
    Frozen; a changed peak is a new one (``dataclasses.replace(peak, ...)``). Peaks compare equal by
    every field but `params`.
    """
    energy: float
    energy_unc: float
    fwhm: float
    fwhm_unc: float
    area: float
    area_unc: float
    region: tuple
    params: np.ndarray = field(repr=False, compare=False)
    background: tuple = field(repr=False)
    chi2: float = math.nan
    flags: tuple = ()
    identification: Identification | None = None

    def __post_init__(self):
        object.__setattr__(self, "flags", tuple(sorted(set(map(Flag, self.flags)), key=_FLAG_ORDER.get)))

    @property
    def significance(self):
        """Net area over its uncertainty."""
        return self.area / self.area_unc if self.area_unc > 0 else math.inf

    def has(self, flag: Flag) -> bool:
        """Whether the peak carries `flag` (a `Flag`)."""
        return flag in self.flags

    def record(self):
        """The peak as a flat dict of plain values (one row of `Analysis.peaks_table`).

        Returns
        -------
        dict
            Keyed by `PEAK_COLUMNS`: the numbers as floats, ``identification`` its label and ``kind``
            its `IdKind` value (both None without one), ``flags`` the flags' values joined by ``";"``.
        """
        return {"energy": self.energy, "energy_unc": self.energy_unc, "fwhm": self.fwhm, "fwhm_unc": self.fwhm_unc,
                "area": self.area, "area_unc": self.area_unc, "significance": self.significance,
                "identification": None if self.identification is None else str(self.identification),
                "kind": None if self.identification is None else self.identification.kind.value,
                "flags": ";".join(f.value for f in self.flags), "chi2": self.chi2}


PEAK_COLUMNS = ("energy", "energy_unc", "fwhm", "fwhm_unc", "area", "area_unc", "significance", "identification",
                "kind", "flags", "chi2")
"""The columns of `Analysis.peaks_table`, in order (the keys of `Peak.record`)."""


@dataclass(frozen=True)
class Region:
    """A fitted region of the spectrum and the model fitted over it.

    Attributes
    ----------
    start, stop : int
        Its channels, ``counts[start:stop]``.
    curve : numpy.ndarray
        The fitted model (peaks, tails, steps and background), counts per channel over those channels.
    """
    start: int
    stop: int
    curve: np.ndarray = field(repr=False, compare=False)


@dataclass(frozen=True)
class LineCheck:
    """What the spectrum holds at one energy: a library line checked, or an energy asked for.

    Limits follow Currie (1968) with k = 1.645 (5 % chance of a false detection and of a missed one),
    over a window of +-1.25 FWHM of the learned resolution and a background from a FWHM wide on each
    side; net areas and limits are of the whole peak (the window's share divided out).

    Attributes
    ----------
    energy : float
        keV.
    intensity : float or None
        Photons per decay of the name's head (None for an energy asked for).
    member : str or None
        The nuclide that emits it.
    peak : float or None
        keV of the found peak that the line matched; None where none did.
    net_area, net_area_unc : float
        Counts: the peak's fitted area where one matched, else the window's counts less the
        background.
    decision_threshold, detection_limit : float
        Counts: the net area above which a line is taken as present, and the smallest net area that
        would be found with 95 % probability.
    live_time : float or None
        Seconds, to give the counts per second (None where the file does not say).
    """
    energy: float
    intensity: float | None
    member: str | None
    peak: float | None
    net_area: float
    net_area_unc: float
    decision_threshold: float
    detection_limit: float
    live_time: float | None = None

    @property
    def detected(self):
        """Whether the net area exceeds the decision threshold (or a peak matched)."""
        return self.peak is not None or self.net_area > self.decision_threshold

    def rate(self, counts):
        """Counts per second of a number of counts (None without a live time)."""
        return counts / self.live_time if self.live_time else None


@dataclass(frozen=True)
class NuclideFound:
    """A name the identification gives the spectrum.

    Attributes
    ----------
    nuclide : str
        A nuclide, or a chain segment in equilibrium named by its head (``"Ra-226"``, ``"Th-228"``).
    members : tuple of str
        The nuclides whose lines it carries (the head first).
    confidence : float
        0..1: how well energies, relative intensities and absent lines fit; a ranking score, not a
        probability.
    peaks : tuple of float
        keV of the found peaks it explains.
    lines : tuple of LineCheck
        Its lines in the spectrum's range that it should show, strongest first, found or not.
    absent : tuple of float
        keV of lines strong enough to be seen that the counts do not show.
    """
    nuclide: str
    members: tuple
    confidence: float
    peaks: tuple
    lines: tuple
    absent: tuple = ()


@dataclass(frozen=True)
class Analysis:
    """The result of `quodex.spectrum.analyse`.

    Attributes
    ----------
    spectrum : Spectrum
        What was analysed.
    energy, counts : numpy.ndarray
        keV of every channel (after any recalibration) and the counts.
    calibration : Calibration or None
        The calibration used (None: energies given channel by channel).
    resolution : Resolution
        The detector's FWHM(E), fitted to the found peaks (its `source` says "fitted"), or the nominal
        one of the detector kind where no peak was clean enough.
    kind : str
        The detector kind (a name of `quodex.spectrum.detector.KINDS`).
    peaks : tuple of Peak
        The reported peaks, by energy.
    regions : tuple of Region
        The fitted regions, with their fitted curves.
    missing : tuple of float
        Known lines (keV) found nowhere, ascending.
    recalibration : Recalibration or None
        What the recalibration did (`quodex.spectrum.calibration.Recalibration`: the new calibration or
        None, the matched lines, a note); None without `Options.recalibrate` and lines.
    sharpened : numpy.ndarray or None
        Counts per channel after Richardson-Lucy sharpening.
    unfolding : Unfolding or None
        The ML-EM unfolding (`quodex.spectrum.unfold.Unfolding`); None where the spectrum ends below
        75 keV and no response was given.
    warnings : tuple of str
        What a user should know: the reader's notes first, then the analysis's.
    times : dict of str to float
        Seconds per stage (``"peak search"``, ``"peak fits"``, ``"sharpening"``, ``"response"``,
        ``"unfolding"``).
    candidates : int
        Candidates the search found (and the fits tried).
    nuclides : tuple of NuclideFound
        The names the nuclide library gives the spectrum, most confident first.
    unexplained : tuple of float
        keV of the peaks that no name, escape, sum or known line explains.
    limits : tuple of LineCheck
        Net areas and detection limits at the energies asked for (`Options.at`).
    library : dict
        Where the nuclide library came from (evaluation, version, licence, or the user's file).

    Notes
    -----
    Frozen; ``dataclasses.replace`` gives a changed copy. `quodex.spectrum.report` turns it into text
    and JSON.
    """
    spectrum: object
    energy: np.ndarray = field(repr=False)
    counts: np.ndarray = field(repr=False)
    calibration: object
    resolution: object
    kind: str
    peaks: tuple
    regions: tuple = field(repr=False)
    missing: tuple
    recalibration: object
    sharpened: np.ndarray | None = field(repr=False)
    unfolding: object = field(repr=False)
    warnings: tuple = ()
    times: dict = field(default_factory=dict)
    candidates: int = 0
    nuclides: tuple = ()
    unexplained: tuple = ()
    limits: tuple = ()
    library: dict = field(default_factory=dict, repr=False)

    def peaks_table(self, as_frame=None):
        """The peaks as a table, one row per peak with the columns of `PEAK_COLUMNS`.

        Parameters
        ----------
        as_frame : bool, optional
            True: a DataFrame (pandas required); False: records; None (default): a DataFrame when
            pandas is installed, else records.

        Returns
        -------
        pandas.DataFrame or list of dict
            The peaks by energy; records are the peaks' `Peak.record`.

        Raises
        ------
        ImportError
            `as_frame` is True and pandas is not installed.
        """
        records = [p.record() for p in self.peaks]
        if as_frame is False:
            return records
        try:
            import pandas as pd
        except ImportError:
            if as_frame:
                raise
            return records
        return pd.DataFrame.from_records(records, columns=list(PEAK_COLUMNS))
