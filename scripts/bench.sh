#!/usr/bin/env bash
# Sets up the Python environment (as the test command does) and runs the benchmarks side by side with
# their NumPy/SciPy peers. Arguments go to benchmarks/run.py (--smoke, --json FILE, --only NAME).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source scripts/common.sh
PY_VERSION=${PY_VERSION:-3.10}
python=$(find_python "$PY_VERSION")
env=$(make_env "$python" "${NUMPY:-$(default_numpy "$PY_VERSION")}" "pytest hypothesis scipy mypy defusedxml")
"$env/bin/python" benchmarks/run.py "$@"
