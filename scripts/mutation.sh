#!/usr/bin/env bash
# Mutation testing of quodex/spectrum with cosmic-ray on a stratified random sample of mutants.
#   [MUTATION_SAMPLE=200] [MUTATION_SEED=n] [MUTATION_JOBS=2] [MUTATION_TIMEOUT=s] [MUTATION_MIN=3] \
#   [PYTHON=/path/to/test/python] scripts/mutation.sh
# Every module of the package gets mutants in proportion to its code lines, at least MUTATION_MIN.
# Each job mutates its own scratch copy under build/mutation/ (never the working tree) and runs the
# package's tests, fastest file first, stopping at the first failure. Report: build/mutation/report.txt.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
root=$PWD
source scripts/common.sh

SAMPLE=${MUTATION_SAMPLE:-200}
SEED=${MUTATION_SEED:-$((RANDOM * 32768 + RANDOM))}
JOBS=${MUTATION_JOBS:-2}
MIN=${MUTATION_MIN:-3}
out=build/mutation
helper=scripts/mutation_sample.py

# The tool lives in a venv of its own, so the project's test environment stays as it is. Pinned: the
# helper hooks into cosmic-ray's operator registry and local distributor.
tool_env=.venv-mutation
if ! "$tool_env/bin/python" -c 'import cosmic_ray' 2>/dev/null; then
  echo "== installing cosmic-ray into $tool_env"
  rm -rf "$tool_env"
  "$(find_python 3.10 2>/dev/null || command -v python3)" -m venv "$tool_env"
  quiet "$tool_env/bin/python" -m pip install -q "cosmic-ray>=8.7,<9"
fi
tool="$root/$tool_env/bin/python"

# The tests run with the project's environment; the package comes from the scratch copy via PYTHONPATH.
if [ -n "${PYTHON:-}" ]; then
  test_py=$PYTHON
else
  base=$(find_python 3.10)
  req=$(default_numpy 3.10)
  env=".venv/py310-$(echo "$req" | tr -c 'A-Za-z0-9.' '_')"
  [ -x "$env/bin/python" ] || env=$(make_env "$base" "$req" "$TEST_EXTRAS")
  test_py=$root/$env/bin/python
fi
tag=$("$test_py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
if ! ls quodex/utils/numerics/kernels/*"$tag" >/dev/null 2>&1; then
  echo "== building the extension modules"
  ensure_system_packages
  PYTHON=$test_py bash scripts/dev_build.sh
fi

# What is measured: the package and tests as copied now, not as they may be when the run ends.
commit=$(git rev-parse --short HEAD)$([ -z "$(git status --porcelain -- quodex tests)" ] || echo "+changes")
echo "== scratch copies in $out"
rm -rf "$out"
mkdir -p "$out"
for ((j = 0; j < JOBS; j++)); do
  mkdir -p "$out/job$j"
  "$tool" "$helper" copy "$root" "$out/job$j"
done
work0=$root/$out/job0

# Baseline: every test file must pass unmutated; their times give the order (fast first) and the timeout.
export PYTHONDONTWRITEBYTECODE=1 MPLBACKEND=Agg
mapfile -t test_files < <("$tool" "$helper" tests "$work0")
echo "== baseline (${#test_files[@]} test files)"
(cd "$work0" && PYTHONPATH=$work0 "$test_py" -c 'import quodex.spectrum as s, sys; sys.exit(not s.__file__.startswith(sys.argv[1]))' "$work0") ||
  { echo "quodex.spectrum is not imported from the scratch copy" >&2; exit 1; }
timed=()
total=0
for f in "${test_files[@]}"; do
  start=$(date +%s.%N)
  if ! (cd "$work0" && PYTHONPATH=$work0 nice -n 10 "$test_py" -m pytest -q -x -p no:cacheprovider "$f" >"$root/$out/baseline.log" 2>&1); then
    cat "$out/baseline.log" >&2
    echo "baseline failed in $f: fix the tests before mutating" >&2
    exit 1
  fi
  t=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  total=$(awk -v a="$total" -v b="$t" 'BEGIN { print a + b }')
  printf '  %-40s %6.1f s\n' "$f" "$t"
  timed+=("$t $f")
done
mapfile -t ordered < <(printf '%s\n' "${timed[@]}" | sort -n | cut -d' ' -f2-)
# A mutant may slow the tests down; past three times the whole suite (at least a minute) it hangs.
TIMEOUT=${MUTATION_TIMEOUT:-$(awk -v t="$total" 'BEGIN { t *= 3; if (t < 60) t = 60; printf "%.0f", t }')}

for ((j = 0; j < JOBS; j++)); do
  cat >"$out/job$j.toml" <<EOF
[cosmic-ray]
module-path = "quodex/spectrum"
timeout = $TIMEOUT
excluded-modules = []
test-command = "env PYTHONPATH=$root/$out/job$j $test_py -m pytest -q -x -p no:cacheprovider ${ordered[*]}"

[cosmic-ray.distributor]
name = "local"
EOF
done

echo "== generating mutants"
(cd "$work0" && "$tool" "$root/$helper" cr init "$root/$out/job0.toml" "$root/$out/all.sqlite")
dbs=()
for ((j = 0; j < JOBS; j++)); do dbs+=("$root/$out/job$j.sqlite"); done
(cd "$work0" && "$tool" "$root/$helper" sample "$root/$out/all.sqlite" "$SAMPLE" "$SEED" "$MIN" "${dbs[@]}")

echo "== running (${JOBS} jobs, timeout ${TIMEOUT} s per mutant)"
started=$(date +%s)
pids=()
for ((j = 0; j < JOBS; j++)); do
  (cd "$out/job$j" && MUTATION_JOB=job$j nice -n 10 "$tool" "$root/$helper" cr exec "$root/$out/job$j.toml" "${dbs[$j]}") &
  pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
wall=$(($(date +%s) - started))

cat >"$out/info.json" <<EOF
{"tool": "cosmic-ray $("$tool" -c 'import importlib.metadata as m; print(m.version("cosmic-ray"))')",
 "commit": "$commit", "date": "$(date -u +%Y-%m-%dT%H:%MZ)", "sample": $SAMPLE, "seed": $SEED,
 "jobs": $JOBS, "timeout": $TIMEOUT, "wall": $wall,
 "tests": [$(printf '"%s",' "${ordered[@]}" | sed 's/,$//')]}
EOF
"$tool" "$helper" report "$work0" "$out/report.txt" "$out/info.json" "${dbs[@]}"
echo "report: $out/report.txt"
[ "$failed" = 0 ] || { echo "a mutation job failed: its unrun mutants are counted as pending" >&2; exit 1; }
