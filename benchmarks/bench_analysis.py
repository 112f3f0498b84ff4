"""The whole analysis of one spectrum, stage by stage, optionally against another source tree in the
same run.

Workloads (generated with quodex.spectrum.synthetic, seeded):
  HPGe 8192     the mixed source on 8192 channels of an HPGe detector
  NaI 16k       Cs-137, Co-60 and K-40 lines on 16384 channels of a NaI detector (7 % at 662 keV)
  pocket 256    Am-241, Cs-137 and K-40 lines on 256 channels of a small scintillator (8 % at 662 keV)

Each tree runs in a worker process of its own (PYTHONPATH set to the tree); the workers take the
analyses in turns, so both see the same machine load. The stage times are the analysis's own
(`Analysis.times`), end to end is the wall time of `analyse` without the figure. The table shows the
fastest of the rounds (on a shared machine the closest to the work's own cost); the JSON has the
medians too.

    python benchmarks/bench_analysis.py [--baseline TREE] [--rounds N] [--json FILE] [--only NAME] [--smoke]

TREE is a source tree whose kernels are built in place (for example a worktree of the main branch
after scripts/dev_build.sh).
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
STAGES = ("peak search", "peak fits", "sharpening", "response", "unfolding")

WORKER = r"""
import json, sys, time
import numpy as np
from quodex.spectrum import analyse
from quodex.spectrum.model import Spectrum
data = np.load(sys.argv[1])
spectra = {name: Spectrum(data[name + ".counts"], energies=data[name + ".energy"])
           for name in json.loads(sys.argv[2])}
for line in sys.stdin:
    name = line.strip()
    t = time.perf_counter()
    a = analyse(spectra[name])
    total = time.perf_counter() - t
    peaks = sorted((round(p.energy, 2), round(p.area, 1)) for p in a.peaks)
    print(json.dumps({"total": total, "times": a.times, "peaks": peaks, "warnings": len(a.warnings)}), flush=True)
"""


def workloads(smoke):
    sys.path.insert(0, ROOT)
    from quodex.spectrum import synthetic

    scale = 0.1 if smoke else 1.0
    out = {}
    e, c = synthetic.hpge_mixed_source(8192, seed=0, scale=scale)
    out["HPGe 8192"] = (e, c)
    out["NaI 16k"] = synthetic.source_spectrum((661.66, 1173.23, 1332.49, 1460.82), (2e5, 8e4, 8e4, 3e4),
                                               synthetic.scintillator_fwhm(0.07), n=16384 if not smoke else 4096,
                                               seed=1, scintillator=True)
    out["pocket 256"] = synthetic.source_spectrum((59.54, 661.66, 1460.82), (3e4, 5e4, 1e4),
                                                  synthetic.scintillator_fwhm(0.08), n=256, seed=2,
                                                  scintillator=True)
    return out


class Worker:
    def __init__(self, tree, data_file, names):
        env = dict(os.environ, PYTHONPATH=tree)
        self.proc = subprocess.Popen([sys.executable, "-c", WORKER, data_file, json.dumps(names)], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd=tree)

    def run(self, name):
        self.proc.stdin.write(name + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"worker failed on {name}")
        return json.loads(line)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def summary_row(results, of):
    row = {"end to end": of(r["total"] for r in results)}
    for s in STAGES:
        row[s] = of(r["times"].get(s, 0.0) for r in results)
    return row


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--baseline", default=None, help="source tree (modules built) to time side by side")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--json", default=None)
    ap.add_argument("--smoke", action="store_true", help="smaller spectra, one round: checks that it runs")
    ap.add_argument("--only", default="", help="run only the workloads whose name contains this")
    args = ap.parse_args()
    rounds = 1 if args.smoke else args.rounds
    specs = {k: v for k, v in workloads(args.smoke).items() if args.only in k}
    trees = {"this tree": ROOT}
    if args.baseline:
        trees = {"baseline": os.path.abspath(args.baseline), "this tree": ROOT}
    with tempfile.TemporaryDirectory() as tmp:
        data_file = os.path.join(tmp, "spectra.npz")
        np.savez(data_file, **{f"{k}.energy": e for k, (e, _) in specs.items()},
                 **{f"{k}.counts": c for k, (_, c) in specs.items()})
        workers = {label: Worker(tree, data_file, list(specs)) for label, tree in trees.items()}
        results = {label: {name: [] for name in specs} for label in trees}
        try:
            for name in specs:  # one warm-up each: imports, first-call set-up
                for label, w in workers.items():
                    w.run(name)
            for _ in range(rounds):
                for name in specs:
                    for label, w in workers.items():
                        results[label][name].append(w.run(name))
        finally:
            for w in workers.values():
                w.close()

    report = {}
    labels = list(trees)
    print(f"Fastest of {rounds} rounds, ms" + (" (baseline | this tree)" if len(labels) > 1 else ""))
    for name in specs:
        rows = {label: summary_row(results[label][name], min) for label in labels}
        report[name] = {"fastest_s": rows,
                        "median_s": {label: summary_row(results[label][name], statistics.median) for label in labels},
                        "peaks": {label: results[label][name][-1]["peaks"] for label in labels}}
        print(f"\n{name}")
        for stage in ("end to end",) + STAGES:
            cells = " | ".join(f"{rows[label][stage] * 1e3:9.1f}" for label in labels)
            ratio = ""
            if len(labels) > 1 and rows[labels[1]][stage] > 0:
                ratio = f"  x{rows[labels[0]][stage] / rows[labels[1]][stage]:.2f}"
            print(f"  {stage:12s} {cells}{ratio}")
        rate = " | ".join(f"{1.0 / rows[label]['end to end']:9.2f}" for label in labels)
        print(f"  {'spectra/s':12s} {rate}")
        if len(labels) > 1:
            before, after = (report[name]["peaks"][label] for label in labels)
            same = [b[0] for b in before] == [a[0] for a in after]
            print(f"  peaks: {len(before)} | {len(after)}, energies {'the same' if same else 'differ'} to 0.01 keV")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)


if __name__ == "__main__":
    main()
