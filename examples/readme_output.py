"""Runs the README's examples of `quodex-spectrum` on the shipped examples/mixed_source.Spe and writes
what they print into README.md, between the markers ``<!-- output: NAME -->`` and ``<!-- end -->``,
so that the sample output cannot go stale. ``--check`` only compares (times of the stages aside) and
exits 1 when the README differs."""
import contextlib
import io
import json
import os
import re
import shlex
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINES = "59.54,661.66,1173.23,1332.49,1460.82,2614.51"
EXAMPLES = {
    "single": f"quodex-spectrum examples/mixed_source.Spe --lines {LINES} --recalibrate --json mixed.json --plot mixed.png",
    "batch": f"quodex-spectrum examples/mixed_source.Spe --lines {LINES} --recalibrate --out-dir results",
}
"""The README's commands, run as written from the checkout's root."""


def run(command):
    """(exit code, what `command` prints) run in a scratch folder that sees the checkout's examples/."""
    from quodex.spectrum import cli
    out = io.StringIO()
    with tempfile.TemporaryDirectory() as scratch:
        os.symlink(os.path.join(ROOT, "examples"), os.path.join(scratch, "examples"))
        cwd = os.getcwd()
        os.chdir(scratch)
        try:
            with contextlib.redirect_stdout(out):
                code = cli.main(shlex.split(command)[1:])
            extra = {}
            if os.path.exists("mixed.json"):
                with open("mixed.json", encoding="utf-8") as f:
                    extra["json"] = json.load(f)
        finally:
            os.chdir(cwd)
    return code, out.getvalue(), extra


def json_excerpt(doc):
    """The document's keys, each shown with its first entries."""
    short = {"program": doc["program"], "options": doc["options"],
             "input": doc["input"], "calibration": {**doc["calibration"], "matched_lines": doc["calibration"]["matched_lines"][:1] + ["..."]},
             "resolution": doc["resolution"], "peaks": doc["peaks"][:1] + ["..."], "missing_lines": doc["missing_lines"],
             "unfolding": doc["unfolding"], "warnings": doc["warnings"], "times": doc["times"]}
    return "{" + ",\n ".join(f"{json.dumps(k)}: {json.dumps(v)}" for k, v in short.items()) + "}"


def blocks():
    """Every generated README block by name."""
    code, text, extra = run(EXAMPLES["single"])
    assert code == 0, text
    out = {"single-command": EXAMPLES["single"], "single": text.rstrip("\n"), "json": json_excerpt(extra["json"])}
    code, text, _ = run(EXAMPLES["batch"])
    assert code == 0, text
    out["batch-command"], out["batch"] = EXAMPLES["batch"], text.rstrip("\n")
    return out


MARK = re.compile(r"(<!-- output: (?P<name>[\w-]+) -->\n```\w*\n)(?P<body>(?:(?!```\n<!-- end -->).)*)(```\n<!-- end -->)",
                  re.S)


def without_times(text):
    """The text with what changes from run to run or install to install masked: times, the version."""
    text = re.sub(r"Time per stage: .*", "Time per stage: ...", text)
    text = re.sub(r'("version": )"[^"]*"', r"\1...", text)
    text = text.replace(", results/summary.parquet", "")  # written where pyarrow is installed
    return re.sub(r'("times": \{)[^}]*(\})', r"\1...\2", text)


NUMBER = re.compile(r"[-+]?\d+(?:\.\d+)?(?:e[-+]?\d+)?")


def alike(a, b):
    """Whether two texts are the same but for the last digits of numbers (other NumPy and SciPy versions
    round fits differently): words equal, numbers within 0.1 % or two units of their last digit."""
    words_a, words_b = NUMBER.split(a), NUMBER.split(b)
    if words_a != words_b:
        return False
    for x, y in zip(NUMBER.findall(a), NUMBER.findall(b)):
        digits = len(x.split(".")[1].split("e")[0]) if "." in x else 0
        if abs(float(x) - float(y)) > max(1e-3 * abs(float(x)), 2 * 10.0 ** -digits):
            return False
    return True


def main(argv):
    path = os.path.join(ROOT, "README.md")
    with open(path, encoding="utf-8") as f:
        readme = f.read()
    fresh = blocks()
    new = MARK.sub(lambda m: m.group(1) + fresh[m.group("name")] + "\n" + m.group(4), readme)
    if "--check" in argv:
        stale = not alike(without_times(new), without_times(readme))
        print("README output is stale: run python examples/readme_output.py" if stale else "README output is current")
        return 1 if stale else 0
    with open(path, "w", encoding="utf-8") as f:
        f.write(new)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
