#!/usr/bin/env bash
# Sets up the Python environment (as the test command does) and runs the benchmarks side by side with
# their NumPy/SciPy peers. Arguments go to benchmarks/run.py (--smoke, --json FILE, --only NAME).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source scripts/common.sh
PY_VERSION=${PY_VERSION:-3.10}
python=$(find_python "$PY_VERSION")
if [ "$PY_VERSION" = 3.10 ]; then default_numpy="numpy>=1.26,<2"; else default_numpy="numpy>=2"; fi
env=$(make_env "$python" "${NUMPY:-$default_numpy}" "pytest hypothesis scipy mypy defusedxml")
"$env/bin/python" benchmarks/run.py "$@"
