"""Helper for scripts/mutation.sh: extra mutation operators for cosmic-ray, a stratified random sample of
the mutants, the scratch copies, and the report.

  mutation_sample.py cr ARGS...            cosmic-ray's command line, with the extra operators registered
  mutation_sample.py copy SRC DEST         the working tree's files (tracked and untracked, not ignored)
  mutation_sample.py tests ROOT            the package's test files, one a line
  mutation_sample.py sample ALL.sqlite N SEED MIN OUT.sqlite...
  mutation_sample.py report ROOT OUT.txt INFO.json JOB.sqlite...

Runs with the mutation venv's interpreter (cosmic-ray 8.x); the tests run with the project's.
"""

import ast
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time
from collections import Counter, defaultdict
from pathlib import Path

PACKAGE = "quodex/spectrum"
# Tests of the compiled kernels only: they never import the package, so they cannot kill its mutants.
KERNEL_TESTS = {
    "test_mlem.py", "test_tarvel.py", "test_gaussian.py", "test_mariscotti.py", "test_frame.py",
    "test_build_gaussian_response.py", "test_reliability.py", "test_fuzz.py",
}
PRAGMA = "pragma: no mutate"


# ---------------------------------------------------------------- operators

def _operators():
    import parso
    from parso.python import tree
    from cosmic_ray.operators.operator import Example, Operator

    class ScaleNumber(Operator):
        """A float literal times 1.1 or 0.9: catches tolerances and factors no test pins down (the core
        operator only adds or subtracts 1)."""

        FACTORS = (1.1, 0.9)

        def mutation_positions(self, node):
            if isinstance(node, tree.Number) and _scalable(node.value):
                for _ in self.FACTORS:
                    yield node.start_pos, node.end_pos

        def mutate(self, node, index):
            value = float(node.value.replace("_", "")) * self.FACTORS[index]
            text = "%.6g" % value
            if not re.search(r"[.en]", text):
                text += ".0"
            return tree.Number(text, node.start_pos, prefix=node.prefix)

        @classmethod
        def examples(cls):
            return (Example("x = 2.0", "x = 2.2"), Example("x = 1e-9", "x = 9e-10", occurrence=1))

    class SwapArguments(Operator):
        """Two neighbouring positional arguments of a call swapped."""

        def mutation_positions(self, node):
            for a, b in _adjacent_positional(node):
                yield a.start_pos, b.end_pos

        def mutate(self, node, index):
            a, b = _adjacent_positional(node)[index]
            children = node.children
            i, j = children.index(a), children.index(b)
            fa, fb = a.get_first_leaf(), b.get_first_leaf()
            fa.prefix, fb.prefix = fb.prefix, fa.prefix
            children[i], children[j] = b, a
            return node

        @classmethod
        def examples(cls):
            return (Example("f(a, b, c)", "f(b, a, c)"), Example("f(a, b, c)", "f(a, c, b)", occurrence=1))

    class DropIfBody(Operator):
        """The body of an `if` or `elif` replaced by `pass`: a branch no test needs."""

        def mutation_positions(self, node):
            for body in _if_bodies(node):
                yield body.start_pos, body.end_pos

        def mutate(self, node, index):
            body = _if_bodies(node)[index]
            stmt = parso.parse("pass\n").children[0]
            if body.type == "suite":
                first = body.children[1]
                stmt.get_first_leaf().prefix = first.get_first_leaf().prefix.split("\n")[-1]
                new = tree.PythonNode("suite", [body.children[0], stmt])
            else:
                stmt.get_first_leaf().prefix = body.get_first_leaf().prefix
                new = stmt
            node.children[node.children.index(body)] = new
            return node

        @classmethod
        def examples(cls):
            return (
                Example("if a:\n    x = 1\n    y = 2\nz = 3\n", "if a:\n    pass\nz = 3\n"),
                Example("if a: return 1\nelif b: return 2\n", "if a: return 1\nelif b: pass\n", occurrence=1),
            )

    class ReturnNone(Operator):
        """`return <expression>` replaced by `return None`."""

        def mutation_positions(self, node):
            if node.type == "return_stmt" and len(node.children) == 2 and node.children[1].get_code().strip() != "None":
                yield node.start_pos, node.end_pos

        def mutate(self, node, index):
            value = node.children[1]
            node.children[1] = tree.Keyword("None", value.start_pos, prefix=value.get_first_leaf().prefix)
            return node

        @classmethod
        def examples(cls):
            return (Example("def f():\n    return x + 1\n", "def f():\n    return None\n"),)

    return {op.__name__: op for op in (ScaleNumber, SwapArguments, DropIfBody, ReturnNone)}


def _scalable(literal):
    text = literal.lower().replace("_", "")
    if text.startswith("0x") or text.startswith("0o") or text.startswith("0b") or text.endswith("j"):
        return False
    if "." not in text and "e" not in text:
        return False  # integers: counts and indices, where +-1 (the core operator) is the meaningful change
    try:
        return float(text) != 0.0
    except ValueError:
        return False


# Swapping the arguments of these changes nothing: such mutants cannot be killed.
_SYMMETRIC = {"max", "min", "np.maximum", "np.minimum", "np.hypot", "math.hypot", "np.add", "np.multiply", "P.polyadd",
              "P.polymul"}


def _callee(trailer):
    owner = trailer.parent
    if owner is None or owner.type not in ("power", "atom_expr"):
        return ""
    kids = owner.children
    return "".join(k.get_code().strip() for k in kids[:kids.index(trailer)])


def _adjacent_positional(node):
    if node.type != "arglist" or node.parent is None or node.parent.type != "trailer":
        return []
    if _callee(node.parent) in _SYMMETRIC:
        return []
    args = [c for c in node.children if not (c.type == "operator" and c.value == ",")]
    pairs = []
    for a, b in zip(args, args[1:]):
        if a.type == "argument" or b.type == "argument" or a.type == "star_expr" or b.type == "star_expr":
            continue
        if a.get_code().strip() != b.get_code().strip():
            pairs.append((a, b))
    return pairs


def _if_bodies(node):
    if node.type != "if_stmt":
        return []
    kids = node.children
    bodies = []
    for i, kid in enumerate(kids):
        if kid.type == "keyword" and kid.value in ("if", "elif"):
            body = kids[i + 3]
            if body.get_code().strip() != "pass":
                bodies.append(body)
    return bodies


class _Provider:
    def __init__(self):
        self._ops = _operators()

    def __iter__(self):
        return iter(self._ops)

    def __getitem__(self, name):
        return self._ops[name]


def cmd_cr(args):
    import cosmic_ray.cli
    import cosmic_ray.distribution.local as local
    import cosmic_ray.plugins

    cosmic_ray.plugins.OPERATOR_PROVIDERS["extra"] = _Provider()
    inner = local.mutate_and_test
    tag = os.environ.get("MUTATION_JOB", "")
    done = [0]
    todo = "?"
    if args[:1] == ["exec"] and len(args) >= 3:
        from cosmic_ray.work_db import WorkDB, use_db

        with use_db(args[2], WorkDB.Mode.open) as db:
            todo = db.num_work_items - db.num_results

    def timed(mutations, test_command, timeout):
        start = time.monotonic()
        result = inner(mutations=mutations, test_command=test_command, timeout=timeout)
        done[0] += 1
        m = list(mutations)[0]
        print(f"[{tag} {done[0]}/{todo}] {_outcome(result):9s} {time.monotonic() - start:6.1f}s  "
              f"{m.module_path}:{m.start_pos[0]} {m.operator_name}", flush=True)
        return result

    local.mutate_and_test = timed
    return cosmic_ray.cli.main(args)


# ---------------------------------------------------------------- files

def cmd_copy(src, dest):
    src, dest = Path(src), Path(dest)
    files = subprocess.run(["git", "-C", str(src), "ls-files", "-z", "-co", "--exclude-standard"],
                           check=True, capture_output=True).stdout.decode().split("\0")
    for name in files:
        if name and (src / name).is_file():
            (dest / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(src / name, dest / name)
    # The built extension modules are ignored by git but needed to import the package.
    for so in (src / "quodex").rglob("*.so"):
        target = dest / so.relative_to(src)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(so, target)


def cmd_tests(root):
    for path in sorted((Path(root) / "tests" / "python").glob("test_*.py")):
        if path.name not in KERNEL_TESTS:
            print(path.relative_to(root))


# ---------------------------------------------------------------- sampling

# Bit and shift operators in place of arithmetic fail at once on floats: trivially killed, they would
# only inflate the score.
_BIT = ("BitAnd", "BitOr", "BitXor", "LShift", "RShift")


def _annotation_spans(source):
    # Under postponed evaluation annotations are never evaluated: mutants inside them are equivalent.
    tree = ast.parse(source)
    if not any(isinstance(n, ast.ImportFrom) and n.module == "__future__"
               and any(a.name == "annotations" for a in n.names) for n in tree.body):
        return []
    spans = []
    for node in ast.walk(tree):
        found = []
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            a = node.args
            found = [x.annotation for x in a.posonlyargs + a.args + a.kwonlyargs + [a.vararg, a.kwarg]
                     if x is not None] + [node.returns]
        elif isinstance(node, ast.AnnAssign):
            found = [node.annotation]
        spans += [((n.lineno, n.col_offset), (n.end_lineno, n.end_col_offset)) for n in found if n is not None]
    return spans


def _wanted(mutation, lines, spans=()):
    name = mutation.operator_name
    m = re.match(r"core/ReplaceBinaryOperator_(\w+?)_(\w+)$", name)
    if m and m.group(2) in _BIT and m.group(1) not in _BIT:
        return False
    start = tuple(mutation.start_pos)
    if any(a <= start < b for a, b in spans):
        return False
    line = lines[mutation.start_pos[0] - 1] if mutation.start_pos[0] <= len(lines) else ""
    return PRAGMA not in line


def _module_size(path):
    # Code lines, so long docstrings and comments do not buy a module extra mutants.
    return sum(1 for line in Path(path).read_text().splitlines() if line.strip() and not line.strip().startswith("#"))


def cmd_sample(all_db, n, seed, minimum, outs):
    from cosmic_ray.work_db import WorkDB, use_db

    n, minimum = int(n), int(minimum)
    rng = random.Random(int(seed))
    by_module = defaultdict(list)
    with use_db(all_db, WorkDB.Mode.open) as db:
        items = list(db.work_items)
    lines, spans = {}, {}
    for item in items:
        m = item.mutations[0]
        path = str(m.module_path)
        if path not in lines:
            text = Path(path).read_text()
            lines[path] = text.splitlines()
            spans[path] = _annotation_spans(text)
        if _wanted(m, lines[path], spans[path]):
            by_module[path].append(item)
    modules = sorted(str(p) for p in Path(PACKAGE).rglob("*.py"))
    sizes = {p: _module_size(p) for p in modules}
    total = sum(sizes.values()) or 1
    quota = {}
    for p in modules:
        share = max(minimum, round(n * sizes[p] / total))
        quota[p] = min(share, len(by_module.get(p, [])))
    # Rounding and the minimums can leave the sample short: top it up from the largest modules.
    while sum(quota.values()) < n:
        spare = [p for p in modules if quota[p] < len(by_module.get(p, []))]
        if not spare:
            break
        p = max(spare, key=lambda p: sizes[p] / (quota[p] + 1))
        quota[p] += 1
    chosen = []
    for p in modules:
        # One mutant per source position first, so positions with many operator variants (a binary
        # operator has eleven) do not crowd out the rest of the module.
        sites = defaultdict(list)
        for item in by_module.get(p, []):
            m = item.mutations[0]
            sites[(tuple(m.start_pos), tuple(m.end_pos))].append(item)
        keys = sorted(sites)
        rng.shuffle(keys)
        picked = [rng.choice(sites[k]) for k in keys[: quota[p]]]
        if len(picked) < quota[p]:
            rest = [i for i in by_module[p] if i not in picked]
            picked += rng.sample(rest, quota[p] - len(picked))
        chosen += picked
    rng.shuffle(chosen)
    for k, out in enumerate(outs):
        with use_db(out, WorkDB.Mode.create) as db:
            db.clear()
            db.add_work_items(chosen[k:: len(outs)])
    print(f"sampled {len(chosen)} of {sum(len(v) for v in by_module.values())} mutants "
          f"({len(items)} generated) over {len(modules)} modules, seed {seed}")
    for p in modules:
        print(f"  {p:45s} {quota[p]:4d} of {len(by_module.get(p, [])):5d}")


# ---------------------------------------------------------------- report

def _outcome(result):
    if result is None:
        return "pending"
    worker = str(getattr(result.worker_outcome, "value", result.worker_outcome))
    test = str(getattr(result.test_outcome, "value", result.test_outcome))
    if worker != "normal":
        return "error"  # the mutation could not be applied or the worker failed
    if test == "killed":
        return "timeout" if result.output == "timeout" else "killed"
    if test == "survived":
        return "survived"
    return "error"


def _diff_lines(diff):
    removed, added, line = [], [], None
    for text in (diff or "").splitlines():
        if text.startswith("@@"):
            m = re.match(r"@@ -(\d+)", text)
            start = int(m.group(1))
            offset = 0
        elif text.startswith("---") or text.startswith("+++"):
            continue
        elif text.startswith("-"):
            if line is None:
                line = start + offset
            removed.append(text[1:])
            offset += 1
        elif text.startswith("+"):
            added.append(text[1:])
        elif text.startswith(" "):
            offset += 1
    return line, removed, added


def cmd_report(root, out, info_file, dbs):
    from cosmic_ray.work_db import WorkDB, use_db

    info = json.loads(Path(info_file).read_text())
    counts = defaultdict(Counter)
    by_operator = defaultdict(Counter)
    survivors = []
    for db_path in dbs:
        with use_db(db_path, WorkDB.Mode.open) as db:
            results = dict(db.results)
            for item in db.work_items:
                m = item.mutations[0]
                result = results.get(item.job_id)
                outcome = _outcome(result)
                counts[str(m.module_path)][outcome] += 1
                by_operator[re.sub(r"_\w+$", "", m.operator_name)][outcome] += 1
                if outcome == "survived":
                    line, removed, added = _diff_lines(result.diff)
                    survivors.append((str(m.module_path), line or m.start_pos[0], m.operator_name, removed, added))
    modules = sorted(set(counts) | {str(p.relative_to(root)) for p in Path(root, PACKAGE).rglob("*.py")})
    cols = ("killed", "timeout", "survived", "error", "pending")
    out_lines = [
        f"Mutation testing of {PACKAGE} ({info['tool']})",
        f"commit {info['commit']}, {info['date']}",
        f"{sum(sum(c.values()) for c in counts.values())} mutants (asked for {info['sample']}, seed {info['seed']}), {info['jobs']} jobs, per-mutant timeout {info['timeout']:.0f} s, "
        f"wall time {info.get('wall', 0) / 60:.1f} min",
        f"tests: {' '.join(info['tests'])}",
        "",
        f"{'module':45s}" + "".join(f"{c:>9s}" for c in cols) + "    score",
    ]
    total = Counter()
    for p in modules:
        c = counts.get(p, Counter())
        total.update(c)
        out_lines.append(f"{p:45s}" + "".join(f"{c[k]:9d}" for k in cols) + f"  {_score(c)}")
    out_lines.append(f"{'total':45s}" + "".join(f"{total[k]:9d}" for k in cols) + f"  {_score(total)}")
    out_lines += ["", f"{'operator':45s}" + "".join(f"{c:>9s}" for c in cols) + "    score"]
    for op in sorted(by_operator):
        c = by_operator[op]
        out_lines.append(f"{op:45s}" + "".join(f"{c[k]:9d}" for k in cols) + f"  {_score(c)}")
    out_lines += ["", "score = (killed + timeout) / (killed + timeout + survived); errors are mutants that could not be run",
                  "", f"Survivors ({len(survivors)}): each needs a test that fails on the mutated line", ""]
    for path, line, op, removed, added in sorted(survivors, key=lambda s: (s[0], s[1])):
        out_lines.append(f"{path}:{line}  [{op}]")
        shown = removed[:6] + (["..."] if len(removed) > 6 else [])
        out_lines += [f"  - {text}" for text in shown]
        out_lines += [f"  + {text}" for text in added[:6]]
        out_lines.append("")
    text = "\n".join(out_lines) + "\n"
    Path(out).write_text(text)
    print(text)


def _score(c):
    decided = c["killed"] + c["timeout"] + c["survived"]
    return f"{100.0 * (c['killed'] + c['timeout']) / decided:5.1f} %" if decided else "    -"


def main(argv):
    cmd, args = argv[0], argv[1:]
    if cmd == "cr":
        return cmd_cr(args)
    if cmd == "copy":
        return cmd_copy(*args)
    if cmd == "tests":
        return cmd_tests(*args)
    if cmd == "sample":
        return cmd_sample(args[0], args[1], args[2], args[3], args[4:])
    if cmd == "report":
        return cmd_report(args[0], args[1], args[2], args[3:])
    raise SystemExit(f"unknown command {cmd}")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]) or 0)
