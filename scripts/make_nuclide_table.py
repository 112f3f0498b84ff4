"""Writes quodex/spectrum/data/nuclides.json, the nuclide table shipped with the package.

Run at development time only, in a virtual environment of its own that holds the data package:

    python -m venv .venv-dev && .venv-dev/bin/pip install --no-deps paceENSDF==0.6.3
    .venv-dev/bin/python scripts/make_nuclide_table.py

The source is ENSDF (the Evaluated Nuclear Structure Data File of the International Network of
Nuclear Structure and Decay Data Evaluators, distributed free of any restriction on use), as its
decay data sets were parsed into JSON by the paceENSDF package (BSD licence). The package itself is
not imported: only its JSON files are read, so nothing of it is needed at run time.

Emission probabilities are the data sets' absolute gamma intensities per decay of the parent (the
branching of the decay mode included) and the K X-ray intensities the package projects from the
conversion coefficients of the same data sets. Chain segments take their members' shares from the
branching ratios of the data sets that link them.
"""
from __future__ import annotations

import argparse
import importlib.util
import json
import os
import re
import tempfile
from pathlib import Path

SOURCE_PACKAGE = "paceENSDF"
SOURCE_VERSION = "0.6.3"
MIN_INTENSITY = 1e-3  # per decay: weaker lines do not help to name a nuclide
MIN_ENERGY_KEV = 15.0

# Nuclides met in practice: calibration and check sources, natural background, fallout and fission
# products, activation products, medical nuclides, actinides. A name ending in "m" is the first
# long-lived excited state of its nucleus.
NUCLIDES = """
Be-7 Na-22 Na-24 Mg-28 Al-26 Cl-38 Ar-41 K-40 K-42 K-43 Ca-47 Sc-46 Sc-47 Sc-48 Ti-44 V-48 Cr-51 Mn-52 Mn-54
Mn-56 Fe-59 Co-56 Co-57 Co-58 Co-60 Ni-57 Ni-65 Cu-64 Cu-67 Zn-65 Zn-69m Ga-67 Ga-68 Ge-69 As-74 As-76 Se-75
Br-82 Kr-85 Kr-85m Kr-87 Kr-88 Rb-84 Rb-86 Rb-88 Sr-85 Sr-89 Sr-91 Sr-92 Y-88 Y-91 Zr-89 Zr-95 Nb-94 Nb-95
Nb-97 Mo-99 Ru-103 Ru-105 Rh-105 Rh-106 Ru-106 Ag-108m Ag-110m Ag-111 Cd-109 Cd-115 In-111 In-114m In-116m Sn-113
Sn-117m Sn-125 Sb-122 Sb-124 Sb-125 Sb-126 Te-121 Te-123m Te-129m Te-131m Te-132 I-123 I-124 I-125 I-126 I-129
I-131 I-132 I-133 I-134 I-135 Xe-127 Xe-133 Xe-135 Xe-138 Cs-131 Cs-134 Cs-136 Cs-137 Cs-138 Ba-131 Ba-133
Ba-139 Ba-140 La-138 La-140 Ce-139 Ce-141 Ce-143 Ce-144 Pr-144 Nd-147 Pm-149 Sm-153 Eu-152 Eu-154 Eu-155
Eu-156 Gd-153 Gd-159 Tb-160 Tb-161 Dy-165 Ho-166 Ho-166m Er-169 Er-171 Tm-170 Yb-169 Yb-175 Lu-176 Lu-177
Hf-175 Hf-181 Ta-182 W-181 W-187 Re-186 Re-188 Os-191 Ir-192 Ir-194 Pt-197 Au-195 Au-198 Au-199 Hg-197 Hg-203
Tl-201 Tl-204 Pb-203 Bi-207 Rn-222 Ra-223 Ra-224 Ra-225 Ac-225 Th-227 Th-229 Pa-231 Pa-233 U-232 U-233 U-236
Np-237 Np-239 Pu-238 Pu-239 Pu-240 Pu-241 Am-241 Am-243 Cm-243 Cm-244 Cf-252
""".split()

# Chain segments in equilibrium, named by their head: (member, the member it decays from). The head
# comes first; a member fed through a branch gets that branch's share.
CHAINS = {
    "U-238": [("U-238", None), ("Th-234", "U-238"), ("Pa-234m", "Th-234"), ("U-234", "Pa-234m")],
    "Ra-226": [("Ra-226", None), ("Rn-222", "Ra-226"), ("Po-218", "Rn-222"), ("Pb-214", "Po-218"),
               ("Bi-214", "Pb-214"), ("Po-214", "Bi-214")],
    "Pb-210": [("Pb-210", None), ("Bi-210", "Pb-210"), ("Po-210", "Bi-210")],
    "U-235": [("U-235", None), ("Th-231", "U-235")],
    "Ac-227": [("Ac-227", None), ("Th-227", "Ac-227"), ("Ra-223", "Th-227"), ("Rn-219", "Ra-223"),
               ("Po-215", "Rn-219"), ("Pb-211", "Po-215"), ("Bi-211", "Pb-211"), ("Tl-207", "Bi-211")],
    "Th-232": [("Th-232", None), ("Ra-228", "Th-232"), ("Ac-228", "Ra-228")],
    "Th-228": [("Th-228", None), ("Ra-224", "Th-228"), ("Rn-220", "Ra-224"), ("Po-216", "Rn-220"),
               ("Pb-212", "Po-216"), ("Bi-212", "Pb-212"), ("Tl-208", "Bi-212"), ("Po-212", "Bi-212")],
    "Cs-137": [("Cs-137", None)],  # the 661.657 keV line of Ba-137m is in the data set of Cs-137's decay
    "Ba-140": [("Ba-140", None), ("La-140", "Ba-140")],
    "Ce-144": [("Ce-144", None), ("Pr-144", "Ce-144")],
    "Ru-106": [("Ru-106", None), ("Rh-106", "Ru-106")],
    "Zr-95": [("Zr-95", None), ("Nb-95", "Zr-95")],
    "Te-132": [("Te-132", None), ("I-132", "Te-132")],
    "Am-243": [("Am-243", None), ("Np-239", "Am-243")],
    "Np-237": [("Np-237", None), ("Pa-233", "Np-237")],
    "Ge-68": [("Ge-68", None), ("Ga-68", "Ge-68")],
    "Ac-225": [("Ac-225", None), ("Fr-221", "Ac-225"), ("At-217", "Fr-221"), ("Bi-213", "At-217"),
               ("Po-213", "Bi-213"), ("Tl-209", "Bi-213"), ("Pb-209", "Po-213")],
}

_ELEMENT = re.compile(r"^([A-Z][a-z]?)(\d+)$")


def _name(ensdf_id, isomer):
    element, mass = _ELEMENT.match(ensdf_id).groups()
    return f"{element}-{mass}" + ("m" if isomer else "")


def _source_dir():
    spec = importlib.util.find_spec(SOURCE_PACKAGE)
    if spec is None or not spec.submodule_search_locations:
        raise SystemExit(f"{SOURCE_PACKAGE} {SOURCE_VERSION} is not installed in this interpreter (see the docstring)")
    return Path(next(iter(spec.submodule_search_locations)))


def _index(root):
    """Decay data sets by nuclide name: gamma singles (gg), K X-rays (gx), normalisation (ENSDF)."""
    sets = {}
    pattern = re.compile(r"^j_(gg|gx)_([A-Z][a-z]?\d+)_([\d.]+)keV_([gmu])_([A-Z][a-z]?\d+)_Z\d+\.json$")
    lowest = {}
    for path in sorted((root / "PACE_JSON").iterdir()):
        m = pattern.match(path.name)
        if not m:
            continue
        kind, parent, level, state, daughter = m.groups()
        isomer = state != "g"
        key = (parent, isomer)
        lowest.setdefault(key, set()).add(float(level))
        sets.setdefault(key, []).append((kind, float(level), daughter, path))
    out = {}
    for (parent, isomer), files in sets.items():
        first = min(lowest[(parent, isomer)])  # the first excited state where an element has several
        out[_name(parent, isomer)] = [(k, d, p) for k, lv, d, p in files if lv == first]
    return out


def _branching(root, parent_name, daughter_name):
    """Share of the parent's decays that go to the daughter, from the ENSDF normalisation record."""
    element, mass = parent_name.rstrip("m").split("-")
    d_element, d_mass = daughter_name.rstrip("m").split("-")
    isomer = parent_name.endswith("m")
    total = 0.0
    found = False
    for path in (root / "ENSDF_JSON").glob(f"j_input_{element}{mass}_{d_element}{d_mass}_*keV.json"):
        level = path.name.rsplit("_", 1)[1][:-len("keV.json")]
        if (level != "0") != isomer:
            continue
        doc = json.loads(path.read_text())
        record = doc["decaySchemeNormalization"][0]["normalizationRecord"][0]
        br = record.get("multiplerBranchingRatio")
        total += br if br else 1.0
        found = True
    if not found:
        raise SystemExit(f"no decay data set links {parent_name} to {daughter_name}")
    return min(total, 1.0)


def _nuclide(files, half_life_from):
    lines = {}
    half_life = None
    for kind, daughter, path in files:
        doc = json.loads(path.read_text())
        if half_life is None and doc.get("halfLife"):
            half_life = doc["halfLife"][0]["halfLifeConverted"]
        if kind == "gg":
            for s in doc["decaySingles"]:
                e, i = float(s["gammaEnergy"]), float(s["absoluteGammaIntensity"]) / 100.0
                if e >= MIN_ENERGY_KEV and i > 0:
                    key = (round(e, 3), "g")
                    lines[key] = lines.get(key, 0.0) + i
        else:
            for xr in doc.get("totalProjectionXrays", []):
                for label in ("Kalpha1", "Kalpha2", "Kbeta1", "Kbeta2", "Kbeta3"):
                    e, i = xr.get(f"energy{label}"), xr.get(f"intensity{label}")
                    if e and i and e >= MIN_ENERGY_KEV:
                        key = (round(float(e), 3), "x")
                        lines[key] = lines.get(key, 0.0) + float(i) / 100.0
    kept = sorted((e, round(i, 6), k) for (e, k), i in lines.items() if i >= MIN_INTENSITY)
    return {"half_life_s": half_life, "lines": [[e, i, k] for e, i, k in kept]}


def build():
    root = _source_dir()
    index = _index(root)
    wanted = list(dict.fromkeys(NUCLIDES + [m for chain in CHAINS.values() for m, _ in chain]))
    nuclides, absent = {}, []
    for name in wanted:
        if name not in index:
            absent.append(name)
            continue
        nuclides[name] = _nuclide(index[name], name)
    segments = {}
    for head, members in CHAINS.items():
        share = {}
        rows = []
        for member, parent in members:
            s = 1.0 if parent is None else share[parent] * _branching(root, parent, member)
            share[member] = s
            rows.append([member, round(s, 6)])
        segments[head] = rows
    for rows in segments.values():
        for member, _ in rows:
            nuclides.setdefault(member, {"half_life_s": None, "lines": []})
    return {
        "source": {"evaluation": "ENSDF decay data sets (September 2023 archive)",
                   "licence": "ENSDF: free of any restriction on use; paceENSDF (the parsed JSON): BSD",
                   "via": f"{SOURCE_PACKAGE} {SOURCE_VERSION}",
                   "generator": "scripts/make_nuclide_table.py",
                   "intensity": "photons per decay of the nuclide (branching included)",
                   "kept": f"lines of at least {MIN_INTENSITY:g} per decay and {MIN_ENERGY_KEV:g} keV",
                   "absent_from_source": absent,
                   "note": "the source holds no isomeric-transition data sets: nuclides that decay only that "
                           "way (Tc-99m, Sn-117m, In-113m) are absent; Ba-137m's 661.657 keV line is in "
                           "Cs-137's data set"},
        "nuclides": nuclides,
        "segments": segments,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=str(Path(__file__).resolve().parents[1] / "quodex/spectrum/data/nuclides.json"))
    args = parser.parse_args(argv)
    table = build()
    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=out.parent, suffix=".tmp")
    with os.fdopen(fd, "w") as f:
        json.dump(table, f, indent=0, separators=(",", ":"))
        f.write("\n")
    os.chmod(tmp, 0o644)
    os.replace(tmp, out)
    n_lines = sum(len(n["lines"]) for n in table["nuclides"].values())
    print(f"{out}: {len(table['nuclides'])} nuclides, {n_lines} lines, {len(table['segments'])} chain segments; "
          f"absent from the source: {', '.join(table['source']['absent_from_source']) or 'none'}")


if __name__ == "__main__":
    main()
