#!/usr/bin/env bash
# Sets up everything on a fresh machine (system packages, Python 3.10 environment, the package) and
# runs the main example. Arguments are passed to the example.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source scripts/common.sh
ensure_system_packages
python=$(find_python "${PY_VERSION:-3.10}")
env=$(make_env "$python" "${NUMPY:-numpy>=1.26,<2}" "scipy matplotlib")
cd examples && "../$env/bin/python" response_summary.py "$@"
